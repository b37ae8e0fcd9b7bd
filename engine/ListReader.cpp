#include "engine/ListReader.h"

#include <optional>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "core/FileUtil.h"
#include "core/TextUtil.h"

namespace {

constexpr std::size_t kPieceSize = 256 * 1024;

// Reads up to kPieceSize bytes; 0 at the end, -1 with errno on failure.
ssize_t readPiece(int fd, std::string& buf) {
    buf.resize(kPieceSize);
    for (;;) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n >= 0) {
            buf.resize(static_cast<std::size_t>(n));
            return n;
        }
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

CListReader::CListReader() = default;

CListReader::~CListReader() {
    if (m_fd >= 0)
        ::close(m_fd);
}

std::int64_t CListReader::countSeparators(std::string_view str) {
    const char* p = str.data();
    const char* end = p + str.size();
    std::int64_t n = 0;
#if defined(__SSE2__)
    // Hits are summed per byte lane (a hit is -1) and folded into n before a lane can overflow.
    const __m128i zero = _mm_setzero_si128();
    while (end - p >= 16) {
        __m128i lanes = zero;
        for (int i = 0; i < 255 && end - p >= 16; ++i, p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(CListReader::kBackquote)));
        }
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        n += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    }
#endif
    for (; p != end; ++p)
        n += isSeparator(*p) ? 1 : 0;
    return n;
}

void CListReader::openText(std::string_view strText) {
    m_text = strText;
    if (m_text.starts_with(enc::kUtf8Bom))
        m_text.remove_prefix(enc::kUtf8Bom.size());
    m_nPos = 0;
    m_nLines = countSeparators(m_text) + 1;
    m_bLastGiven = false;
}

void CListReader::openOwnedText(std::string strText) {
    m_strOwned = std::move(strText);
    openText(m_strOwned);
}

bool CListReader::openFile(const std::string& strPath, std::string& strReason) {
    m_fd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        strReason = file::errorText(errno);
        return false;
    }
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!countFile(false, strReason))
        return false;
    if (m_bDecode && !countFile(true, strReason))
        return false;
    if (::lseek(m_fd, 0, SEEK_SET) != 0) {
        strReason = file::errorText(errno);
        return false;
    }
    if (m_bDecode)
        m_pDecoder = std::make_unique<enc::CGb18030Decoder>();
    m_bEof = false;
    m_bAtStart = true;
    m_text = {};
    m_nPos = 0;
    m_bLastGiven = false;
    return true;
}

// Counts the separators; without bDecode it also checks that the file is UTF-8, and asks for
// a second count through the GB18030 decoder when it is not.
bool CListReader::countFile(bool bDecode, std::string& strReason) {
    if (::lseek(m_fd, 0, SEEK_SET) != 0) {
        strReason = file::errorText(errno);
        return false;
    }
    enc::CUtf8Validator validator;
    // Opening the converter loads a module: only for a file that needs it.
    std::optional<enc::CGb18030Decoder> decoder;
    if (bDecode && !decoder.emplace().ok()) {
        strReason = "no GB18030 converter is available";
        return false;
    }
    std::int64_t nSeparators = 0;
    std::string strDecoded;
    for (;;) {
        const ssize_t n = readPiece(m_fd, m_strRaw);
        if (n < 0) {
            strReason = file::errorText(errno);
            return false;
        }
        if (bDecode) {
            strDecoded.clear();
            decoder->decode(m_strRaw, strDecoded, n == 0);
            nSeparators += countSeparators(strDecoded);
        } else {
            nSeparators += countSeparators(m_strRaw);
            // A piece of ASCII only is valid as it is, unless it cuts a character short.
            if (!text::isAscii(m_strRaw) || !validator.finish())
                validator.feed(m_strRaw);
        }
        if (n == 0)
            break;
    }
    m_bDecode = bDecode || !validator.finish();
    m_nLines = nSeparators + 1;
    return true;
}

void CListReader::fail(int nErrno) {
    m_bFailed = true;
    m_strReason = file::errorText(nErrno);
}

// Moves on to the next piece of the file, as UTF-8.
bool CListReader::refill() {
    const ssize_t n = readPiece(m_fd, m_strRaw);
    if (n < 0) {
        fail(errno);
        return false;
    }
    m_bEof = n == 0;
    if (m_bDecode) {
        m_strDecoded.clear();
        m_pDecoder->decode(m_strRaw, m_strDecoded, m_bEof);
        m_text = m_strDecoded;
    } else {
        m_text = m_strRaw;
    }
    m_nPos = 0;
    if (m_bAtStart && !m_text.empty()) {
        m_bAtStart = false;
        if (m_text.starts_with(enc::kUtf8Bom))
            m_nPos = enc::kUtf8Bom.size();
    }
    return true;
}

bool CListReader::nextLineSlow(std::string_view& line) {
    if (m_bFailed || m_bLastGiven)
        return false;
    if (m_bCarryGiven) {
        m_strCarry.clear();
        m_bCarryGiven = false;
    }
    for (;;) {
        const char* begin = m_text.data() + m_nPos;
        const char* end = m_text.data() + m_text.size();
        const char* sep = findSeparator(begin, end);
        if (sep != end) {
            m_nPos = static_cast<std::size_t>(sep + 1 - m_text.data());
            if (m_strCarry.empty()) {
                line = std::string_view(begin, static_cast<std::size_t>(sep - begin));
            } else {
                m_strCarry.append(begin, sep);
                line = m_strCarry;
                m_bCarryGiven = true;
            }
            return true;
        }
        m_strCarry.append(begin, end);
        m_nPos = m_text.size();
        if (m_bEof) {
            // What follows the last separator is the last line, empty or not.
            m_bLastGiven = true;
            line = m_strCarry;
            m_bCarryGiven = true;
            return true;
        }
        if (!refill())
            return false;
    }
}
