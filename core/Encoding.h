#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Text in the product is UTF-8. Files come as UTF-8, as GB18030 (a superset of code page 936,
// what older tools on Chinese systems write) or as UTF-16 with a byte-order mark (what Windows
// Notepad saves as "Unicode"). Whatever cannot be decoded becomes U+FFFD, so no stray byte is
// ever passed on as it is.
namespace enc {

inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
inline constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
inline constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
inline constexpr std::string_view kGb18030Bom = "\x84\x31\x95\x33"; // U+FEFF in GB18030
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";    // U+FFFD

enum class EEncoding { Utf8, Gb18030, Utf16Le, Utf16Be };

// What a byte-order mark at the start of a text says, and how long the mark is; nBomSize is 0
// when there is none (and the encoding is then Utf8, for want of better).
struct tagBom {
    EEncoding eEncoding = EEncoding::Utf8;
    std::size_t nBomSize = 0;
};
tagBom detectBom(std::string_view head);

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

// Checks the form of GB18030 fed in pieces of any size: a byte below 0x80, or a lead byte 0x81-0xFE
// followed by 0x40-0x7E or 0x80-0xFE, or by a digit, a lead byte and a digit. The form only: a
// well-formed character may still be one that the encoding leaves unassigned.
class CGb18030Validator {
public:
    bool feed(std::string_view str);
    bool finish() const { return m_bValid && m_nState == 0; }
    bool valid() const { return m_bValid; }
    // Well formed so far, and ending with a lead byte alone, which any second byte completes.
    bool awaitsSecondByte() const { return m_bValid && m_nState == 1; }

private:
    bool m_bValid = true;
    int m_nState = 0; // bytes of the character under way
};

// False where the system's GB18030 converter lacks the four-byte characters of the BMP (Wine has
// no code page 54936); they then count as invalid.
bool gb18030Complete();

// Turns text in one encoding into UTF-8, in pieces of any size. A character cut at the end of a
// piece waits for the next one, unless bFinal says there is none; anything that is not text in
// the encoding becomes U+FFFD and is counted.
class CDecoder {
public:
    virtual ~CDecoder() = default;
    virtual void decode(std::string_view str, std::string& out, bool bFinal) = 0;
    std::int64_t invalidCount() const { return m_nInvalid; }

    // Null only for GB18030 where the system has no converter for it.
    static std::unique_ptr<CDecoder> create(EEncoding eEncoding);

protected:
    void replacement(std::string& out) {
        out.append(kReplacement);
        ++m_nInvalid;
    }

private:
    std::int64_t m_nInvalid = 0;
};

// Which encoding a whole text is in: a byte-order mark decides; else UTF-8 when the text is valid
// UTF-8, else GB18030 when it is valid GB18030, else UTF-8 (with U+FFFD).
tagBom detectEncoding(std::string_view str);

// Makes a file's whole text UTF-8 by those rules, without its byte-order mark (GB18030's too).
void decodeText(std::string& str);

} // namespace enc
