#include "engine/ListReader.h"

#include <cerrno>
#include <cstdio>

#include "core/FileUtil.h"
#include "core/Sys.h"

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
    if (!str.empty()) {
        m_bCr = str.back() == '\r';
        m_bOpen = !CListReader::isSeparator(str.back());
    }
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
    m_memory = strText;
    std::string strReason;
    countLines(strReason); // a text in memory is read without fail
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
    const std::int64_t nStart = info.bRegular ? sys::seekFd(m_fd, 0, SEEK_CUR) : -1;
    if (nStart < 0)
        return true; // read once, as it comes
    m_nStart = nStart;
    sys::adviseSequential(m_fd, m_nStart);
    return countLines(strReason) && seekToStart(strReason);
}

bool CListReader::seekToStart(std::string& strReason) {
    if (m_fd >= 0 && sys::seekFd(m_fd, m_nStart, SEEK_SET) != m_nStart) {
        strReason = file::errorText(errno);
        return false;
    }
    return true;
}

// A reader of the same list from its start, that only counts.
void CListReader::shareSource(const CListReader& other) {
    m_fd = other.m_fd;
    m_memory = other.m_memory;
    m_nPieceSize = other.m_nPieceSize;
    m_bCountOnly = true;
}

// A list that is valid UTF-8, or has a byte-order mark, is counted by its line ends, which all end
// a line there; any other by the line splitter itself, so that the count is what nextLine gives.
bool CListReader::countLines(std::string& strReason) {
    if (!seekToStart(strReason))
        return false;
    bool bByEnds = true;
    CLineCounter counter;
    {
        CListReader scan;
        scan.shareSource(*this);
        enc::CUtf8Validator validator;
        do {
            if (!scan.refill()) {
                strReason = scan.m_strReason;
                return false;
            }
            counter.feed(scan.m_text);
            bByEnds = scan.m_eMode != EMode::Lines || validator.feed(scan.m_text);
        } while (bByEnds && !scan.m_bEof);
        bByEnds = bByEnds && validator.finish();
    }
    m_nLines = counter.lines();
    if (!bByEnds) {
        if (!seekToStart(strReason))
            return false;
        CListReader split;
        split.shareSource(*this);
        std::string_view line;
        while (split.nextLine(line)) {
        }
        // A line too long for a list ends the reading at the same place later.
        if (split.failure() == EFailure::System) {
            strReason = split.m_strReason;
            return false;
        }
        m_nLines = split.m_nLine;
    }
    m_bCounted = true;
    return true;
}

void CListReader::fail(int nErrno) {
    m_eFailure = EFailure::System;
    m_strReason = file::errorText(nErrno);
}

// Reads more of the list after the m_nRaw bytes m_pRaw holds.
bool CListReader::readMore() {
    // Room made once, and not cleared: the system writes it.
    if (m_nRawRoom < m_nRaw + m_nPieceSize) {
        auto pRoom = std::make_unique_for_overwrite<char[]>(m_nRaw + m_nPieceSize);
        std::copy_n(m_pRaw.get(), m_nRaw, pRoom.get());
        m_pRaw = std::move(pRoom);
        m_nRawRoom = m_nRaw + m_nPieceSize;
    }
    for (;;) {
        const std::int64_t n = sys::readFd(m_fd, m_pRaw.get() + m_nRaw, m_nPieceSize);
        if (n >= 0) {
            m_nRaw += static_cast<std::size_t>(n);
            m_bEof = n == 0;
            return true;
        }
        if (errno != EINTR) {
            fail(errno);
            return false;
        }
    }
}

namespace {
// Whether the bytes may be the start of a byte-order mark that more bytes would complete.
bool maybeBomStart(std::string_view str) {
    for (const std::string_view bom : {enc::kUtf8Bom, enc::kUtf16LeBom, enc::kUtf16BeBom, enc::kGb18030Bom})
        if (str.size() < bom.size() && bom.starts_with(str))
            return true;
    return false;
}
} // namespace

// Moves on to the next piece of the list; at its start, a byte-order mark decides how it is read.
bool CListReader::refill() {
    m_text = {};
    m_nPos = 0;
    std::string_view raw;
    if (m_fd >= 0) {
        m_nRaw = 0;
        if (!readMore())
            return false;
        while (m_bAtStart && !m_bEof && maybeBomStart(std::string_view(m_pRaw.get(), m_nRaw)))
            if (!readMore())
                return false;
        raw = std::string_view(m_pRaw.get(), m_nRaw);
    } else {
        raw = m_memory;
        m_memory = {};
        m_bEof = true;
    }
    if (m_bAtStart) {
        m_bAtStart = false;
        const enc::tagBom bom = enc::detectBom(raw);
        raw.remove_prefix(bom.nBomSize);
        if (bom.nBomSize == 0) {
            // GB18030 has a byte-order mark of its own: it goes too, and each line still decides.
            if (raw.starts_with(enc::kGb18030Bom))
                raw.remove_prefix(enc::kGb18030Bom.size());
        } else if (bom.eEncoding == enc::EEncoding::Utf8) {
            m_eMode = EMode::Utf8;
        } else {
            m_eMode = EMode::Decoded;
            m_pDecoder = enc::CDecoder::create(bom.eEncoding);
        }
    }
    if (m_eMode == EMode::Decoded) {
        m_strDecoded.clear();
        m_pDecoder->decode(raw, m_strDecoded, m_bEof);
        m_text = m_strDecoded;
    } else {
        m_text = raw;
    }
    return true;
}

// Learns what the bytes of the line under way are: UTF-8 still, GB18030 still.
void CListReader::feedLine(const char* begin, const char* end) {
    if (m_eMode == EMode::Decoded)
        return;
    const std::string_view bytes(begin, static_cast<std::size_t>(end - begin));
    m_utf8.feed(bytes);
    if (m_eMode == EMode::Lines)
        m_gb18030.feed(bytes);
}

void CListReader::appendToLine(const char* begin, const char* end) {
    const auto n = static_cast<std::size_t>(end - begin);
    m_nLineBytes += static_cast<std::int64_t>(n);
    if (m_strCarry.size() < kMaxRaw)
        m_strCarry.append(begin, std::min(n, kMaxRaw - m_strCarry.size()));
}

// The line as UTF-8, from its bytes (its first kMaxRaw when bCut) and what feedLine learnt of them.
std::string_view CListReader::lineText(std::string_view raw, bool bCut) {
    ++m_nLine;
    const bool bUtf8 = m_utf8.finish();
    const bool bGb18030 = m_eMode == EMode::Lines && m_gb18030.finish();
    m_utf8 = {};
    m_gb18030 = {};
    if (bUtf8 || m_bCountOnly)
        return raw.substr(0, kMaxKept);
    m_strLine.clear();
    if (bGb18030 && !m_pGb18030 && !m_bNoGb18030) {
        // Opening the converter loads a module: only for a list that needs it.
        m_pGb18030 = enc::CDecoder::create(enc::EEncoding::Gb18030);
        m_bNoGb18030 = !m_pGb18030;
    }
    if (bGb18030 && m_pGb18030) {
        // Its form says GB18030; the converter tells the characters it has (of a line cut short,
        // the form alone decides).
        const std::int64_t nFaults = m_pGb18030->invalidCount();
        m_pGb18030->decode(raw, m_strLine, true);
        if (bCut || m_pGb18030->invalidCount() == nFaults) {
            if (m_nFirstGb18030Line == 0)
                m_nFirstGb18030Line = m_nLine;
            return std::string_view(m_strLine).substr(0, kMaxKept);
        }
        m_strLine.clear();
    }
    if (!m_pUtf8)
        m_pUtf8 = enc::CDecoder::create(enc::EEncoding::Utf8);
    m_pUtf8->decode(raw, m_strLine, true);
    return std::string_view(m_strLine).substr(0, kMaxKept);
}

bool CListReader::nextLineSlow(std::string_view& line) {
    if (failed())
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
        const char* from = begin;
        const char* sep = end;
        for (;;) {
            sep = findSeparator(from, end);
            feedLine(from, sep);
            // A backquote that completes a GB18030 character belongs to it.
            if (sep == end || *sep != kBackquote || m_eMode != EMode::Lines || m_utf8.finish() ||
                !m_gb18030.awaitsSecondByte())
                break;
            feedLine(sep, sep + 1);
            from = sep + 1;
        }
        if (sep != end) {
            m_nPos = static_cast<std::size_t>(sep + 1 - data);
            if (*sep == '\r') {
                if (sep + 1 == end)
                    m_bSkipLf = true;
                else if (sep[1] == '\n')
                    ++m_nPos;
            }
            std::string_view raw(begin, static_cast<std::size_t>(sep - begin));
            bool bCut = raw.size() > kMaxRaw;
            if (m_nLineBytes != 0) {
                appendToLine(begin, sep);
                raw = m_strCarry;
                bCut = m_nLineBytes > static_cast<std::int64_t>(kMaxRaw);
                m_bCarryGiven = true;
            }
            line = lineText(raw.substr(0, kMaxRaw), bCut);
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
            // A line end at the very end of the list starts no line.
            if (m_nLineBytes == 0)
                return false;
            line = lineText(m_strCarry, m_nLineBytes > static_cast<std::int64_t>(kMaxRaw));
            m_bCarryGiven = true;
            m_nLineBytes = 0;
            return true;
        }
        if (!refill())
            return false;
    }
}
