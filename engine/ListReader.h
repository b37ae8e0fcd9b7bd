#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Encoding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Hands out the lines of a domain list, cut in one pass. A line ends at LF (a CR LF leaves its
// CR to the line, which trims it) or at a backquote; a lone CR does not end one. A list of n
// separators has n + 1 lines, so a list ending in a line break has a last, empty line.
class CListReader {
public:
    CListReader();
    ~CListReader();
    CListReader(const CListReader&) = delete;
    CListReader& operator=(const CListReader&) = delete;

    // A list held in memory by the caller, valid until the reader is done.
    void openText(std::string_view strText);
    // A list the reader keeps.
    void openOwnedText(std::string strText);
    // A list file, streamed: read once to learn its encoding and count its lines, then again to
    // hand them out, so that only a piece of it is ever in memory.
    bool openFile(const std::string& strPath, std::string& strReason);

    std::int64_t lineCount() const { return m_nLines; }

    // The next line, valid until the next call. False after the last line, or when the file can no
    // longer be read (failed() then tells).
    bool nextLine(std::string_view& line) {
        // Most lines lie whole inside the current piece: found here, without a call.
        if (m_strCarry.empty()) {
            const char* begin = m_text.data() + m_nPos;
            const char* end = m_text.data() + m_text.size();
            const char* sep = findSeparator(begin, end);
            if (sep != end) {
                m_nPos = static_cast<std::size_t>(sep + 1 - m_text.data());
                line = std::string_view(begin, static_cast<std::size_t>(sep - begin));
                return true;
            }
        }
        return nextLineSlow(line);
    }
    bool failed() const { return m_bFailed; }
    const std::string& reason() const { return m_strReason; }

    static constexpr char kBackquote = '`';
    static std::int64_t countSeparators(std::string_view str);
    static bool isSeparator(char ch) { return ch == '\n' || ch == kBackquote; }

#if defined(__SSE2__)
    // A bit for each of the sixteen bytes at p that is a separator.
    static unsigned separatorMask(const char* p) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                          _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kBackquote)));
        return static_cast<unsigned>(_mm_movemask_epi8(hits));
    }
#endif

    static const char* findSeparator(const char* p, const char* end) {
#if defined(__SSE2__)
        for (; end - p >= 16; p += 16)
            if (const unsigned mask = separatorMask(p))
                return p + __builtin_ctz(mask);
#endif
        for (; p != end; ++p)
            if (isSeparator(*p))
                return p;
        return end;
    }

private:
    bool nextLineSlow(std::string_view& line);
    bool countFile(bool bDecode, std::string& strReason);
    bool refill();
    void fail(int nErrno);

    // In memory, or the current piece of the file, as UTF-8.
    std::string_view m_text;
    std::size_t m_nPos = 0;
    std::string m_strOwned;
    std::int64_t m_nLines = 1;
    bool m_bLastGiven = false;

    int m_fd = -1;
    bool m_bEof = true;
    bool m_bDecode = false;
    bool m_bAtStart = true;
    std::string m_strRaw;
    std::string m_strDecoded;
    std::string m_strCarry; // a line cut by the end of a piece
    bool m_bCarryGiven = false;
    std::unique_ptr<enc::CGb18030Decoder> m_pDecoder;

    bool m_bFailed = false;
    std::string m_strReason;
};
