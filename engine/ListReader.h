#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Encoding.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Counts line ends: LF, CR LF, a lone CR (lists from old Mac editors) and the backquote. Fed in
// pieces of any size; a CR LF may be split between two.
class CLineCounter {
public:
    void feed(std::string_view str);
    std::int64_t separators() const { return m_nSeparators; }

private:
    std::int64_t m_nSeparators = 0;
    bool m_bCr = false; // the last byte fed was a CR
};

// Hands out the lines of a domain list, cut in one pass, as UTF-8. A list of n line ends has
// n + 1 lines, so a list ending in a line break has a last, empty line. Whatever the input, only
// a piece of it is held: a line longer than kMaxKept may be handed out cut to kMaxKept bytes (it
// is refused as too long either way), and a line longer than kMaxLineBytes ends the reading.
class CListReader {
public:
    static constexpr std::size_t kMaxKept = 8193;
    static constexpr std::int64_t kMaxLineBytes = 16 * 1024 * 1024;
    enum class EFailure { None, System, LineTooLong };

    CListReader();
    ~CListReader();
    CListReader(const CListReader&) = delete;
    CListReader& operator=(const CListReader&) = delete;

    // A list held in memory by the caller, as UTF-8, valid until the reader is done.
    void openText(std::string_view strText);
    // A list file. A regular file is read once to learn its encoding and count its lines, then
    // again to hand them out; anything else (a pipe, a device) is streamed once.
    bool openFile(const std::string& strPath, std::string& strReason);
    // An open descriptor (standard input), from where it stands; the reader does not close it.
    bool openFd(int fd, std::string& strReason);
    // Lets go of a list file once it has been read; what was learnt (failure, counts) stays.
    void closeFile();

    // Whether the lines were counted beforehand (not for a stream), and how many there are.
    bool counted() const { return m_bCounted; }
    std::int64_t lineCount() const { return m_nLines; }

    // The next line, valid until the next call. False after the last line, or when the list can
    // no longer be read (failed() then tells).
    bool nextLine(std::string_view& line) {
        // Most lines lie whole inside the current piece, with their line end: found here,
        // without a call.
        if (m_strCarry.empty()) {
            const char* data = m_text.data();
            const char* begin = data + m_nPos;
            const char* end = data + m_text.size();
            const char* sep = findSeparator(begin, end);
            if (end - sep >= 2) {
                m_nPos = static_cast<std::size_t>(sep + 1 - data) + (sep[0] == '\r' && sep[1] == '\n');
                line = std::string_view(begin, static_cast<std::size_t>(sep - begin));
                return true;
            }
        }
        return nextLineSlow(line);
    }
    bool failed() const { return m_eFailure != EFailure::None; }
    EFailure failure() const { return m_eFailure; }
    const std::string& reason() const { return m_strReason; }

    static constexpr char kBackquote = '`';
    static bool isSeparator(char ch) { return ch == '\n' || ch == '\r' || ch == kBackquote; }

#if defined(__SSE2__)
    // A bit for each of the sixteen bytes at p that is a line end.
    static unsigned separatorMask(const char* p) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
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
    enum class EMode { Raw, Decode, Auto };

    bool openDescriptor(std::string& strReason);
    bool countFile(std::string& strReason);
    bool seekToStart(std::string& strReason);
    bool nextLineSlow(std::string_view& line);
    void appendToLine(const char* begin, const char* end);
    bool refill();
    void fail(int nErrno);

    // In memory, or the current piece of the file, as UTF-8.
    std::string_view m_text;
    std::size_t m_nPos = 0;
    bool m_bCounted = false;
    std::int64_t m_nLines = 0;
    bool m_bLastGiven = false;
    bool m_bSkipLf = false; // a CR ended the last piece: an LF that starts the next one goes with it

    int m_fd = -1;
    bool m_bOwnFd = false;
    std::int64_t m_nStart = 0; // where the list begins in a regular file
    bool m_bEof = true;
    EMode m_eMode = EMode::Raw;
    enc::EEncoding m_eEncoding = enc::EEncoding::Utf8;
    std::size_t m_nBomLeft = 0; // bytes of a byte-order mark still to drop
    bool m_bAtStart = true;     // no text handed out yet
    std::unique_ptr<enc::CDecoder> m_pDecoder;
    std::unique_ptr<enc::CAutoDecoder> m_pAuto;
    std::string m_strRaw;
    std::string m_strDecoded;
    std::string m_strCarry;        // a line cut by the end of a piece, at most kMaxKept bytes of it
    std::int64_t m_nLineBytes = 0; // bytes of that line so far
    bool m_bCarryGiven = false;

    EFailure m_eFailure = EFailure::None;
    std::string m_strReason;
};
