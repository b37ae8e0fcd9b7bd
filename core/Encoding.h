#pragma once

#include <string>
#include <string_view>

// Text in the product is UTF-8. Files written by older tools on Chinese systems are GB18030
// (a superset of code page 936); anything that is not valid UTF-8 is read as that.
namespace enc {

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// Checks UTF-8 fed in pieces of any size; a character may be split between two pieces.
class CUtf8Validator {
public:
    bool feed(std::string_view str);
    // True when everything fed so far is valid and no character is left unfinished.
    bool finish() const { return m_bValid && m_nNeed == 0; }
    bool valid() const { return m_bValid; }

private:
    bool m_bValid = true;
    int m_nNeed = 0;
    unsigned char m_chLo = 0x80;
    unsigned char m_chHi = 0xBF;
};

bool isValidUtf8(std::string_view str);

// Converts GB18030 to UTF-8 in pieces of any size. A byte sequence that is not GB18030 becomes
// U+FFFD, so nothing stops the conversion and no byte is passed through unconverted.
class CGb18030Decoder {
public:
    CGb18030Decoder();
    ~CGb18030Decoder();
    CGb18030Decoder(const CGb18030Decoder&) = delete;
    CGb18030Decoder& operator=(const CGb18030Decoder&) = delete;

    bool ok() const;
    // Appends the UTF-8 of str to out. A character cut at the end of str waits for the next
    // piece, unless bFinal says there is none.
    void decode(std::string_view str, std::string& out, bool bFinal);

private:
    void* m_hIconv;
    std::string m_strPending;
};

// Makes a file's text UTF-8: GB18030 when it is not valid UTF-8, then without a leading
// byte-order mark. Returns false only when no GB18030 converter is available.
bool decodeText(std::string& str);

} // namespace enc
