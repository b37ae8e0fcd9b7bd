#include "engine/ListReader.h"

#include <cerrno>
#include <cstdio>

#include "core/FileUtil.h"
#include "core/Sys.h"

namespace {

constexpr std::size_t kPieceSize = 256 * 1024;

// Reads up to kPieceSize bytes; 0 at the end, -1 with errno on failure.
std::int64_t readPiece(int fd, std::string& buf) {
    buf.resize(kPieceSize);
    for (;;) {
        const std::int64_t n = sys::readFd(fd, buf.data(), buf.size());
        if (n >= 0) {
            buf.resize(static_cast<std::size_t>(n));
            return n;
        }
        if (errno != EINTR)
            return -1;
    }
}

} // namespace

// Every LF and every backquote ends a line, and so does every CR that no LF follows.
void CLineCounter::feed(std::string_view str) {
    const char* p = str.data();
    const char* end = p + str.size();
    std::int64_t n = 0;
    if (m_bCr && p != end && *p == '\n')
        --n; // the CR at the end of the last piece was counted: its LF came only now
#if defined(__SSE2__)
    // Summed per byte lane and folded into n before a lane can overflow; the byte after each one
    // is looked at too, to tell a CR LF.
    const __m128i zero = _mm_setzero_si128();
    while (end - p > 16) {
        __m128i lanes = zero;
        for (int i = 0; i < 255 && end - p > 16; ++i, p += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
            const __m128i lf = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
            const __m128i bq = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(CListReader::kBackquote));
            const __m128i lone = _mm_andnot_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8('\n')),
                                                  _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
            lanes = _mm_sub_epi8(lanes, _mm_or_si128(_mm_or_si128(lf, bq), lone));
        }
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        n += _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
    }
#endif
    for (; p != end; ++p) {
        if (*p == '\n' || *p == CListReader::kBackquote)
            ++n;
        else if (*p == '\r' && (p + 1 == end || p[1] != '\n'))
            ++n;
    }
    if (!str.empty())
        m_bCr = str.back() == '\r';
    m_nSeparators += n;
}

CListReader::CListReader() = default;

CListReader::~CListReader() {
    closeFile();
}

void CListReader::closeFile() {
    if (m_bOwnFd && m_fd >= 0) {
        sys::closeFd(m_fd);
        m_fd = -1;
    }
    m_bOwnFd = false;
}

void CListReader::openText(std::string_view strText) {
    m_text = strText;
    if (m_text.starts_with(enc::kUtf8Bom))
        m_text.remove_prefix(enc::kUtf8Bom.size());
    m_nPos = 0;
    CLineCounter counter;
    counter.feed(m_text);
    m_nLines = counter.separators() + 1;
    m_bCounted = true;
    m_bEof = true;
}

bool CListReader::openFile(const std::string& strPath, std::string& strReason) {
    m_fd = sys::openRead(strPath);
    if (m_fd < 0) {
        strReason = file::errorText(errno);
        return false;
    }
    m_bOwnFd = true;
    return openDescriptor(strReason);
}

bool CListReader::openFd(int fd, std::string& strReason) {
    m_fd = fd;
    m_bOwnFd = false;
    return openDescriptor(strReason);
}

bool CListReader::openDescriptor(std::string& strReason) {
    sys::tagFileInfo info;
    if (!sys::statFd(m_fd, info)) {
        strReason = file::errorText(errno);
        return false;
    }
    if (info.bDir) {
        strReason = file::errorText(EISDIR);
        return false;
    }
    m_text = {};
    m_nPos = 0;
    m_bEof = false;
    const std::int64_t nStart = info.bRegular ? sys::seekFd(m_fd, 0, SEEK_CUR) : -1;
    if (nStart < 0) {
        // Read once, as it comes: the encoding is told from the text itself.
        m_eMode = EMode::Auto;
        m_pAuto = std::make_unique<enc::CAutoDecoder>();
        return true;
    }
    m_nStart = nStart;
    sys::adviseSequential(m_fd, m_nStart);
    return countFile(strReason) && seekToStart(strReason);
}

bool CListReader::seekToStart(std::string& strReason) {
    if (sys::seekFd(m_fd, m_nStart, SEEK_SET) != m_nStart) {
        strReason = file::errorText(errno);
        return false;
    }
    return true;
}

// Learns the encoding and counts the lines: a byte-order mark decides; else the file is UTF-8 as
// it is when it is valid UTF-8, else GB18030 when it is valid GB18030, else UTF-8 with U+FFFD.
bool CListReader::countFile(std::string& strReason) {
    // Runs fn over the pieces of the whole list, the byte-order mark left out.
    const auto forEachPiece = [&](std::size_t nBom, auto&& fn) {
        if (!seekToStart(strReason))
            return false;
        std::size_t nSkip = nBom;
        for (;;) {
            const std::int64_t n = readPiece(m_fd, m_strRaw);
            if (n < 0) {
                strReason = file::errorText(errno);
                return false;
            }
            std::string_view piece = m_strRaw;
            const std::size_t nDrop = std::min(nSkip, piece.size());
            piece.remove_prefix(nDrop);
            nSkip -= nDrop;
            fn(piece, n == 0);
            if (n == 0)
                return true;
        }
    };
    const auto countDecoded = [&](enc::CDecoder& decoder, std::size_t nBom, std::int64_t& nSeparators) {
        CLineCounter counter;
        std::string strDecoded;
        const bool bOk = forEachPiece(nBom, [&](std::string_view piece, bool bFinal) {
            strDecoded.clear();
            decoder.decode(piece, strDecoded, bFinal);
            counter.feed(strDecoded);
        });
        nSeparators = counter.separators();
        return bOk;
    };

    if (!seekToStart(strReason))
        return false;
    const std::int64_t nHead = readPiece(m_fd, m_strRaw);
    if (nHead < 0) {
        strReason = file::errorText(errno);
        return false;
    }
    const enc::tagBom bom = enc::detectBom(m_strRaw);
    m_nBomLeft = bom.nBomSize;
    m_eEncoding = bom.eEncoding;
    std::int64_t nSeparators = 0;

    if (bom.eEncoding == enc::EEncoding::Utf16Le || bom.eEncoding == enc::EEncoding::Utf16Be) {
        auto pDecoder = enc::CDecoder::create(bom.eEncoding);
        if (!countDecoded(*pDecoder, bom.nBomSize, nSeparators))
            return false;
        m_eMode = EMode::Decode;
    } else {
        // Line ends are ASCII, and stay where they are whether the text is UTF-8 as it is or
        // with U+FFFD: this one count serves both.
        CLineCounter counter;
        enc::CUtf8Validator validator;
        const bool bOk = forEachPiece(bom.nBomSize, [&](std::string_view piece, bool) {
            counter.feed(piece);
            validator.feed(piece);
        });
        if (!bOk)
            return false;
        nSeparators = counter.separators();
        m_eMode = validator.finish() ? EMode::Raw : EMode::Decode;
        if (m_eMode == EMode::Decode && bom.nBomSize == 0) {
            // Opening the converter loads a module: only for a file that needs it.
            if (auto pGb = enc::CDecoder::create(enc::EEncoding::Gb18030)) {
                std::int64_t nGbSeparators = 0;
                if (!countDecoded(*pGb, 0, nGbSeparators))
                    return false;
                if (pGb->invalidCount() == 0) {
                    m_eEncoding = enc::EEncoding::Gb18030;
                    nSeparators = nGbSeparators;
                }
            }
        }
    }
    if (m_eMode == EMode::Decode)
        m_pDecoder = enc::CDecoder::create(m_eEncoding);
    m_nLines = nSeparators + 1;
    m_bCounted = true;
    return true;
}

void CListReader::fail(int nErrno) {
    m_eFailure = EFailure::System;
    m_strReason = file::errorText(nErrno);
}

// Moves on to the next piece of the file, as UTF-8.
bool CListReader::refill() {
    const std::int64_t n = readPiece(m_fd, m_strRaw);
    if (n < 0) {
        fail(errno);
        return false;
    }
    m_bEof = n == 0;
    std::string_view raw = m_strRaw;
    const std::size_t nDrop = std::min(m_nBomLeft, raw.size());
    raw.remove_prefix(nDrop);
    m_nBomLeft -= nDrop;
    switch (m_eMode) {
    case EMode::Raw:
        m_text = raw;
        break;
    case EMode::Decode:
        m_strDecoded.clear();
        m_pDecoder->decode(raw, m_strDecoded, m_bEof);
        // GB18030 has a byte-order mark of its own, which decodes to UTF-8's: it goes too.
        if (m_bAtStart && m_eEncoding == enc::EEncoding::Gb18030 && m_strDecoded.starts_with(enc::kUtf8Bom))
            m_strDecoded.erase(0, enc::kUtf8Bom.size());
        m_text = m_strDecoded;
        break;
    case EMode::Auto:
        m_strDecoded.clear();
        m_pAuto->decode(raw, m_strDecoded, m_bEof);
        m_text = m_strDecoded;
        break;
    }
    m_nPos = 0;
    m_bAtStart = m_bAtStart && m_text.empty();
    return true;
}

void CListReader::appendToLine(const char* begin, const char* end) {
    const auto n = static_cast<std::size_t>(end - begin);
    m_nLineBytes += static_cast<std::int64_t>(n);
    if (m_strCarry.size() < kMaxKept)
        m_strCarry.append(begin, std::min(n, kMaxKept - m_strCarry.size()));
}

bool CListReader::nextLineSlow(std::string_view& line) {
    if (failed() || m_bLastGiven)
        return false;
    if (m_bCarryGiven) {
        m_strCarry.clear();
        m_bCarryGiven = false;
    }
    for (;;) {
        if (m_bSkipLf) {
            if (m_nPos < m_text.size()) {
                m_nPos += m_text[m_nPos] == '\n' ? 1 : 0;
                m_bSkipLf = false;
            } else if (m_bEof) {
                m_bSkipLf = false;
            } else {
                if (!refill())
                    return false;
                continue;
            }
        }
        const char* data = m_text.data();
        const char* begin = data + m_nPos;
        const char* end = data + m_text.size();
        const char* sep = findSeparator(begin, end);
        if (sep != end) {
            m_nPos = static_cast<std::size_t>(sep + 1 - data);
            if (*sep == '\r') {
                if (sep + 1 == end)
                    m_bSkipLf = true;
                else if (sep[1] == '\n')
                    ++m_nPos;
            }
            if (m_strCarry.empty()) {
                line = std::string_view(begin, static_cast<std::size_t>(sep - begin));
            } else {
                appendToLine(begin, sep);
                line = m_strCarry;
                m_bCarryGiven = true;
            }
            m_nLineBytes = 0;
            return true;
        }
        appendToLine(begin, end);
        m_nPos = m_text.size();
        // A list held in memory is whole already; from a file, a line this long is no list.
        if (m_fd >= 0 && m_nLineBytes > kMaxLineBytes) {
            m_eFailure = EFailure::LineTooLong;
            m_strReason = "a line longer than 16 MiB";
            return false;
        }
        if (m_bEof) {
            // What follows the last line end is the last line, empty or not.
            m_bLastGiven = true;
            line = m_strCarry;
            m_bCarryGiven = true;
            m_nLineBytes = 0;
            return true;
        }
        if (!refill())
            return false;
    }
}
