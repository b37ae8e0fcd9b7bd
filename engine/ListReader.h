#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/Encoding.h"

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
    bool nextLine(std::string_view& line);
    bool failed() const { return m_bFailed; }
    const std::string& reason() const { return m_strReason; }

    static constexpr char kBackquote = '`';
    static std::int64_t countSeparators(std::string_view str);

private:
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
