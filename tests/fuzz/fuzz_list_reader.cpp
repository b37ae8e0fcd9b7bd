// The list reader against a model of its rules, from memory, from a file and from a pipe read in
// pieces of a given size, and the line counter fed in two pieces.
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "core/Encoding.h"
#include "engine/ListReader.h"

namespace {

bool isLineEnd(char ch) {
    return ch == '\n' || ch == '\r' || ch == '`';
}

// Whether the text, parsed as GB18030 from its start, is well formed and ends with a lead byte
// alone: one byte below 0x80; two bytes, 0x81-0xFE then 0x40-0x7E or 0x80-0xFE; four bytes,
// 0x81-0xFE, 0x30-0x39, 0x81-0xFE, 0x30-0x39. With bWhole: whether it is well formed and whole.
bool gb18030Form(std::string_view str, bool bWhole) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(str[i]); };
    const auto lead = [](unsigned char ch) { return ch >= 0x81 && ch <= 0xFE; };
    const auto digit = [](unsigned char ch) { return ch >= 0x30 && ch <= 0x39; };
    std::size_t i = 0;
    while (i < str.size()) {
        if (at(i) < 0x80) {
            ++i;
        } else if (!lead(at(i))) {
            return false;
        } else if (i + 1 == str.size()) {
            return !bWhole;
        } else if ((at(i + 1) >= 0x40 && at(i + 1) <= 0x7E) || (at(i + 1) >= 0x80 && at(i + 1) <= 0xFE)) {
            i += 2;
        } else if (digit(at(i + 1)) && i + 3 < str.size() && lead(at(i + 2)) && digit(at(i + 3))) {
            i += 4;
        } else {
            return false; // broken, or a four-byte character cut short
        }
    }
    return bWhole;
}

// The text decoded, with its count of faults; -1 without a converter. The decoders are made once:
// opening a converter takes long.
std::string decoded(enc::EEncoding eEncoding, std::string_view str, std::int64_t& nFaults) {
    static const std::unique_ptr<enc::CDecoder> pDecoders[] = {
        enc::CDecoder::create(enc::EEncoding::Utf8), enc::CDecoder::create(enc::EEncoding::Gb18030),
        enc::CDecoder::create(enc::EEncoding::Utf16Le), enc::CDecoder::create(enc::EEncoding::Utf16Be)};
    enc::CDecoder* pDecoder = pDecoders[static_cast<int>(eEncoding)].get();
    std::string out;
    if (!pDecoder) {
        nFaults = -1;
        return out;
    }
    const std::int64_t nBefore = pDecoder->invalidCount();
    pDecoder->decode(str, out, true);
    nFaults = pDecoder->invalidCount() - nBefore;
    return out;
}

struct tagModel {
    std::vector<std::string> vecLines;
    std::int64_t nFirstGb18030Line = 0;
};

// A byte-order mark decides the whole list: UTF-16 is decoded whole, UTF-8 lines keep their bytes
// or mark the bad ones. Without one, GB18030's own mark is dropped, a backquote that completes a
// GB18030 lead byte of a line that is not UTF-8 belongs to the line, and each line is UTF-8, else
// GB18030 (only its form for a line longer than kMaxRaw), else UTF-8 with the bad bytes marked.
// A line end at the very end starts no line.
tagModel modelOf(std::string_view list) {
    const enc::tagBom bom = enc::detectBom(list);
    list.remove_prefix(bom.nBomSize);
    std::string strUtf16;
    if (bom.eEncoding == enc::EEncoding::Utf16Le || bom.eEncoding == enc::EEncoding::Utf16Be) {
        std::int64_t nFaults = 0;
        strUtf16 = decoded(bom.eEncoding, list, nFaults);
        list = strUtf16;
    } else if (bom.nBomSize == 0 && list.starts_with(enc::kGb18030Bom)) {
        list.remove_prefix(enc::kGb18030Bom.size());
    }
    const bool bEachLine = bom.nBomSize == 0;

    tagModel model;
    std::string strLine;
    const auto endLine = [&] {
        std::string strText = strLine;
        std::int64_t nFaults = 0;
        if (!enc::isValidUtf8(strLine)) {
            const std::string strGb = decoded(enc::EEncoding::Gb18030, strLine, nFaults);
            const bool bForm = gb18030Form(strLine, true);
            if (bEachLine && bForm &&
                (nFaults == 0 || (nFaults > 0 && strLine.size() > CListReader::kMaxRaw))) {
                strText = strGb;
                if (model.nFirstGb18030Line == 0)
                    model.nFirstGb18030Line = static_cast<std::int64_t>(model.vecLines.size()) + 1;
            } else {
                strText = decoded(enc::EEncoding::Utf8, strLine, nFaults);
            }
        }
        model.vecLines.push_back(strText);
        strLine.clear();
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        const char ch = list[i];
        if (!isLineEnd(ch) ||
            (ch == '`' && bEachLine && !enc::isValidUtf8(strLine) && gb18030Form(strLine, false))) {
            strLine += ch;
            continue;
        }
        if (ch == '\r' && i + 1 < list.size() && list[i + 1] == '\n')
            ++i;
        endLine();
    }
    if (!strLine.empty())
        endLine();
    return model;
}

// Every line of the model comes out, in order, a long one whole or cut to kMaxKept bytes, and the
// count known beforehand (not for a stream) agrees.
void expectLines(CListReader& reader, const tagModel& model, bool bCounted) {
    std::string_view line;
    std::size_t n = 0;
    while (reader.nextLine(line)) {
        FUZZ_CHECK(n < model.vecLines.size());
        const std::string_view text = model.vecLines[n];
        FUZZ_CHECK(line == text ||
                   (text.size() > CListReader::kMaxKept && line == text.substr(0, CListReader::kMaxKept)));
        ++n;
    }
    FUZZ_CHECK(!reader.failed());
    FUZZ_CHECK(n == model.vecLines.size());
    FUZZ_CHECK(reader.firstGb18030Line() == model.nFirstGb18030Line);
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
    const std::size_t nPieceRoot = fdp.ConsumeIntegral<std::uint8_t>();
    const std::size_t nSplit = fdp.ConsumeIntegral<std::uint16_t>();
    const std::string strList = fdp.ConsumeRemainingBytesAsString();
    const std::string_view list = strList;
    // 0: the reader's own size. At most a hundred reads or so, as reading a byte at a time is slow:
    // the smallest pieces for the shortest lists.
    const std::size_t nPiece = nPieceRoot == 0 ? 0 : std::max(nPieceRoot * nPieceRoot, list.size() / 128);

    // The count does not depend on where the text is cut, not even between a CR and its LF; a
    // line end at the very end starts no line.
    const std::size_t nCut = std::min(nSplit, list.size());
    CLineCounter counter;
    counter.feed(list.substr(0, nCut));
    counter.feed(list.substr(nCut));
    std::int64_t nEnds = 0;
    for (std::size_t i = 0; i < list.size(); ++i)
        nEnds += isLineEnd(list[i]) && !(list[i] == '\r' && i + 1 < list.size() && list[i + 1] == '\n');
    FUZZ_CHECK(counter.separators() == nEnds);
    FUZZ_CHECK(counter.lines() == nEnds + (!list.empty() && !isLineEnd(list.back())));

    const tagModel model = modelOf(list);
    CListReader memReader;
    memReader.openText(list);
    expectLines(memReader, model, true);

    CListReader fileReader;
    if (nPiece != 0)
        fileReader.setPieceSize(nPiece);
    std::string strReason;
    FUZZ_CHECK(fileReader.openFile(writeList(list), strReason));
    expectLines(fileReader, model, true);

    // Standard input, read once in the same pieces.
    if (list.size() <= 32768) { // all of it fits in the pipe before anyone reads
        int fds[2];
        FUZZ_CHECK(::pipe2(fds, O_CLOEXEC) == 0);
        FUZZ_CHECK(::write(fds[1], list.data(), list.size()) == static_cast<ssize_t>(list.size()));
        ::close(fds[1]);
        CListReader pipeReader;
        if (nPiece != 0)
            pipeReader.setPieceSize(nPiece);
        FUZZ_CHECK(pipeReader.openFd(fds[0], strReason));
        expectLines(pipeReader, model, false);
        ::close(fds[0]);
    }
    return 0;
}
