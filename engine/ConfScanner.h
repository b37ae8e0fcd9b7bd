#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Apache's configuration text as its parser reads it, fed in pieces of any size so that a file
// of any length goes through a little memory: a line that ends in a backslash goes on on the
// next one, a line whose first character is '#' is a comment (a byte-order mark is no blank to
// Apache, and no comment), and a directive is words that blanks separate and quotes (" or ')
// group, a backslash in a quoted word escaping its quote or a backslash, and two backslashes
// outside quotes giving one. Environment variables (${NAME}) are left as they are.
class CConfScanner {
public:
    // A word longer than this is passed over: no name a request carries is that long.
    static constexpr std::size_t kMaxWord = 64 * 1024;

    // What the scanner finds, in the order of the text.
    class CSink {
    public:
        virtual ~CSink() = default;
        // A directive whose name (its first word) starts on nLine; true to be given its words.
        virtual bool onDirective(std::string_view strName, std::int64_t nLine) = 0;
        virtual void onWord(std::string_view strWord) = 0;
        // The directive ends on nLastLine, the last line it goes on to.
        virtual void onDirectiveEnd(std::int64_t nLastLine) = 0;
    };

    explicit CConfScanner(CSink& sink) : m_sink(sink) {}

    void feed(std::string_view piece);
    // The end of the text: a last line without a line break is taken as whole.
    void finish();

private:
    enum class EState { LineStart, Between, Bare, BareEscape, Quoted, QuotedEscape, Skip };

    void take(char ch); // a character of a line, after the joining of lines
    void endLine();
    void endWord();
    void release(); // the characters held back to see whether a line goes on

    CSink& m_sink;
    std::int64_t m_nLine = 1;
    std::int64_t m_nWordLine = 0;
    // Held: 1 for a backslash, 2 for a backslash and a CR, which a line break would drop.
    int m_nHeld = 0;
    EState m_eState = EState::LineStart;
    char m_chQuote = 0;
    bool m_bInDirective = false; // the line's first word was taken
    bool m_bDirectiveNamed = false;
    std::string m_strWord;
    bool m_bWordCut = false;
};
