#pragma once

#include <algorithm>
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
    // A line end at the very end starts no line: "a\n" is one line, "" none.
    std::int64_t lines() const { return m_nSeparators + (m_bOpen ? 1 : 0); }

private:
    std::int64_t m_nSeparators = 0;
    bool m_bCr = false;   // the last byte fed was a CR
    bool m_bOpen = false; // bytes came after the last line end
};

// Hands out the lines of a domain list, cut in one pass, as UTF-8; the same lines from a file, a
// pipe read in pieces of any size, or a text in memory. A byte-order mark decides the encoding of
// the whole list (UTF-8, or UTF-16); without one, each line is decided from its own bytes: UTF-8
// when it is valid UTF-8, else GB18030 when it is valid GB18030, else UTF-8 with each bad byte as
// U+FFFD. A line ends at LF, CR LF, a lone CR or a backquote; the backquote may also be the second
// byte of a GB18030 character, and belongs to it when the line before it is not valid UTF-8 and is
// well-formed GB18030 ending in a lead byte alone. A line end at the very end of the list starts
// no line.
//
// Only a piece of the input is held: a line longer than kMaxKept may be handed out cut to
// kMaxKept bytes (it is refused as too long either way), and a line longer than kMaxLineBytes
// ends the reading.
class CListReader {
public:
    static constexpr std::size_t kMaxKept = 8193;
    static constexpr std::int64_t kMaxLineBytes = 16 * 1024 * 1024;
    static constexpr std::size_t kPieceSize = 256 * 1024;
    // A line longer than this is taken as GB18030 by the form of its bytes alone: only its first
    // kMaxRaw bytes are kept, which hold whole characters that take more than kMaxKept bytes as
    // UTF-8 whatever the encoding, so that a line is cut the same wherever the pieces end.
    static constexpr std::size_t kMaxRaw = 2 * kMaxKept + 8;
    enum class EFailure { None, System, LineTooLong };

    CListReader();
    ~CListReader();
    CListReader(const CListReader&) = delete;
    CListReader& operator=(const CListReader&) = delete;

    // How much is read at a time (0: kPieceSize), for a list opened afterwards: tests cut lists
    // with it.
    void setPieceSize(std::size_t nSize) { m_nPieceSize = nSize == 0 ? kPieceSize : nSize; }

    // A list held in memory by the caller, valid until the reader is done.
    void openText(std::string_view strText);
    // A list file. A regular file is read once to count its lines, then again to hand them out;
    // anything else (a pipe, a device) is streamed once.
    bool openFile(const std::string& strPath, std::string& strReason);
    // An open descriptor (standard input), from where it stands; the reader does not close it.
    bool openFd(int fd, std::string& strReason);
    // Lets go of a list file once it has been read; what was learnt (failure, counts) stays.
    void closeFile();

    // Whether the lines were counted beforehand (not for a stream), and how many there are.
    bool counted() const { return m_bCounted; }
    std::int64_t lineCount() const { return m_nLines; }
    // The number of the first line read as GB18030; 0 when there is none (yet).
    std::int64_t firstGb18030Line() const { return m_nFirstGb18030Line; }

    // The next line, valid until the next call. False after the last line, or when the list can
    // no longer be read (failed() then tells).
    [[gnu::always_inline]] bool nextLine(std::string_view& line) {
        // Most lines are ASCII and lie whole inside the current piece, with their line end: found
        // here, without a call.
        if (m_strCarry.empty()) {
            const char* data = m_text.data();
            const char* begin = data + m_nPos;
            const char* end = data + m_text.size();
            const char* stop = findStop(begin, end);
            if (end - stop >= 2 && static_cast<signed char>(*stop) >= 0) {
                m_nPos = static_cast<std::size_t>(stop + 1 - data) + (stop[0] == '\r' && stop[1] == '\n');
                line = std::string_view(begin, static_cast<std::size_t>(stop - begin));
                ++m_nLine;
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
    // A bit for each of the sixteen bytes at p that is a line end; with bHigh, also for each byte
    // that is not ASCII.
    template <bool bHigh> static unsigned stopMask(const char* p) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                                 _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r'))),
                                    _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kBackquote)));
        if constexpr (bHigh)
            hits = _mm_or_si128(hits, bytes); // the top bit of a byte that is not ASCII
        return static_cast<unsigned>(_mm_movemask_epi8(hits));
    }
#endif

    // The first line end at or after p, or end.
    static const char* findSeparator(const char* p, const char* end) {
        return find<false>(p, end);
    }
    // The first line end or byte that is not ASCII at or after p, or end.
    static const char* findStop(const char* p, const char* end) {
        return find<true>(p, end);
    }

private:
    // How the bytes read become lines: each on its own merit, UTF-8 only (a UTF-8 byte-order
    // mark), or already decoded to UTF-8 (UTF-16).
    enum class EMode { Lines, Utf8, Decoded };

    template <bool bHigh> static const char* find(const char* p, const char* end) {
#if defined(__SSE2__)
        for (; end - p >= 16; p += 16)
            if (const unsigned mask = stopMask<bHigh>(p))
                return p + __builtin_ctz(mask);
#endif
        for (; p != end; ++p)
            if (isSeparator(*p) || (bHigh && static_cast<signed char>(*p) < 0))
                return p;
        return end;
    }

    void shareSource(const CListReader& other);
    bool openDescriptor(std::string& strReason);
    bool countLines(std::string& strReason);
    bool seekToStart(std::string& strReason);
    // Out of line, so that the inline part stays small enough to be inlined.
    [[gnu::noinline]] bool nextLineSlow(std::string_view& line);
    bool readMore();
    bool refill();
    void feedLine(const char* begin, const char* end);
    void appendToLine(const char* begin, const char* end);
    std::string_view lineText(std::string_view raw, bool bCut);
    void fail(int nErrno);

    // In memory, or the current piece of the list (as UTF-8 when decoded).
    std::string_view m_text;
    std::size_t m_nPos = 0;
    bool m_bCounted = false;
    std::int64_t m_nLines = 0;
    std::int64_t m_nLine = 0; // lines handed out
    std::int64_t m_nFirstGb18030Line = 0;
    bool m_bCountOnly = false; // the lines are only counted, not decoded
    bool m_bSkipLf = false;    // a CR ended the last piece: an LF that starts the next one goes with it
    std::size_t m_nPieceSize = kPieceSize;

    int m_fd = -1; // none for a text in memory
    bool m_bOwnFd = false;
    std::string_view m_memory; // a text in memory not yet taken
    std::int64_t m_nStart = 0; // where the list begins in a regular file
    bool m_bEof = false;
    bool m_bAtStart = true; // nothing read yet: a byte-order mark may come
    EMode m_eMode = EMode::Lines;
    std::unique_ptr<enc::CDecoder> m_pDecoder; // the list's, with a UTF-16 byte-order mark
    std::unique_ptr<enc::CDecoder> m_pGb18030; // made for the first line that needs it
    std::unique_ptr<enc::CDecoder> m_pUtf8;
    bool m_bNoGb18030 = false;      // the system has no converter for it
    std::unique_ptr<char[]> m_pRaw; // the piece read: its first m_nRaw bytes, of m_nRawRoom
    std::size_t m_nRaw = 0;
    std::size_t m_nRawRoom = 0;
    std::string m_strDecoded;

    // The line under way, when it does not lie whole in one piece: its first kMaxRaw bytes, and
    // what its bytes so far are.
    std::string m_strCarry;
    std::int64_t m_nLineBytes = 0;
    bool m_bCarryGiven = false;
    enc::CUtf8Validator m_utf8;
    enc::CGb18030Validator m_gb18030;
    std::string m_strLine; // a line decoded

    EFailure m_eFailure = EFailure::None;
    std::string m_strReason;
};
