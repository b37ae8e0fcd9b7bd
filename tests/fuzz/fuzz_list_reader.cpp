// The list reader against a model of line ends, from memory and from a file, and the line
// counter fed in two pieces.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "core/Encoding.h"
#include "engine/ListReader.h"

namespace {

// A line ends at LF, at CR LF (one end), at a lone CR and at a backquote; n ends make n + 1 lines.
std::vector<std::string> modelLines(std::string_view str) {
    std::vector<std::string> vecLines(1);
    for (std::size_t i = 0; i < str.size(); ++i) {
        const char ch = str[i];
        if (ch != '\n' && ch != '\r' && ch != '`') {
            vecLines.back() += ch;
            continue;
        }
        if (ch == '\r' && i + 1 < str.size() && str[i + 1] == '\n')
            ++i;
        vecLines.emplace_back();
    }
    return vecLines;
}

// Every line of the model comes out, in order, a long one whole or cut to kMaxKept bytes, and the
// count known beforehand (not for a stream) agrees.
void expectLines(CListReader& reader, const std::vector<std::string>& vecModel, bool bCounted = true) {
    std::string_view line;
    std::size_t n = 0;
    while (reader.nextLine(line)) {
        FUZZ_CHECK(n < vecModel.size());
        const std::string_view model = vecModel[n];
        FUZZ_CHECK(line == model ||
                   (model.size() > CListReader::kMaxKept && line == model.substr(0, CListReader::kMaxKept)));
        ++n;
    }
    FUZZ_CHECK(!reader.failed());
    FUZZ_CHECK(n == vecModel.size());
    FUZZ_CHECK(reader.counted() == bCounted);
    FUZZ_CHECK(!bCounted || reader.lineCount() == static_cast<std::int64_t>(n));
}

// The list as a regular file that lives in memory, named by a path the reader can open.
std::string writeList(std::string_view str) {
    static const int fd = ::memfd_create("kelvane-fuzz-list", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0 && ::ftruncate(fd, 0) == 0);
    FUZZ_CHECK(::pwrite(fd, str.data(), str.size(), 0) == static_cast<ssize_t>(str.size()));
    return "/proc/self/fd/" + std::to_string(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const std::size_t nSplit = fdp.ConsumeIntegral<std::uint16_t>();
    const std::string strList = fdp.ConsumeRemainingBytesAsString();
    const std::string_view list = strList;

    // The count does not depend on where the text is cut, not even between a CR and its LF.
    const std::size_t nCut = std::min(nSplit, list.size());
    CLineCounter counter;
    counter.feed(list.substr(0, nCut));
    counter.feed(list.substr(nCut));
    FUZZ_CHECK(counter.separators() + 1 == static_cast<std::int64_t>(modelLines(list).size()));

    // In memory the bytes are taken as they are, without a UTF-8 byte-order mark.
    CListReader memReader;
    memReader.openText(list);
    expectLines(memReader,
                modelLines(list.starts_with(enc::kUtf8Bom) ? list.substr(enc::kUtf8Bom.size()) : list));

    // From a file, valid UTF-8 without a mark comes as it is; anything else as the whole text decodes.
    const bool bPlain = enc::isValidUtf8(list) && !list.starts_with(enc::kUtf8Bom);
    std::string strDecoded = strList;
    enc::decodeText(strDecoded);
    CListReader fileReader;
    std::string strReason;
    FUZZ_CHECK(fileReader.openFile(writeList(list), strReason));
    const std::vector<std::string> vecFileLines = modelLines(bPlain ? list : std::string_view(strDecoded));
    expectLines(fileReader, vecFileLines);

    // Standard input, read once: below the decoder's window it decides as the whole text does.
    if (list.size() <= 32768) { // all of it fits in the pipe before anyone reads
        int fds[2];
        FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
        FUZZ_CHECK(::write(fds[1], list.data(), list.size()) == static_cast<ssize_t>(list.size()));
        ::close(fds[1]);
        CListReader pipeReader;
        FUZZ_CHECK(pipeReader.openFd(fds[0], strReason));
        expectLines(pipeReader, vecFileLines, false);
        ::close(fds[0]);
    }
    return 0;
}
