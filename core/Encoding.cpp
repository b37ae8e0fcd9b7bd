#include "core/Encoding.h"

#include <cerrno>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

#include "core/TextUtil.h"

namespace enc {

namespace {

#ifndef _WIN32
const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);
#endif

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// How many continuation bytes a lead byte wants, and their range for the first of them (the
// ranges leave out overlong forms, surrogates and code points past U+10FFFF); 0 for a byte that
// cannot begin a character.
int utf8Lead(unsigned char ch, unsigned char& chLo, unsigned char& chHi) {
    chLo = 0x80;
    chHi = 0xBF;
    if (ch >= 0xC2 && ch <= 0xDF)
        return 1;
    if (ch >= 0xE0 && ch <= 0xEF) {
        if (ch == 0xE0)
            chLo = 0xA0;
        else if (ch == 0xED)
            chHi = 0x9F;
        return 2;
    }
    if (ch >= 0xF0 && ch <= 0xF4) {
        if (ch == 0xF0)
            chLo = 0x90;
        else if (ch == 0xF4)
            chHi = 0x8F;
        return 3;
    }
    return 0;
}

// The ASCII run at p, eight bytes at a time: a list is almost all ASCII.
const unsigned char* skipAscii(const unsigned char* p, const unsigned char* end) {
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080ULL)
            break;
        p += 8;
    }
    while (p < end && *p < 0x80)
        ++p;
    return p;
}

class CUtf8Decoder : public CDecoder {
public:
    void decode(std::string_view str, std::string& out, bool bFinal) override {
        const auto* p = reinterpret_cast<const unsigned char*>(str.data());
        const auto* end = p + str.size();
        while (p < end) {
            if (m_nNeed == 0) {
                const auto* run = p;
                p = skipAscii(p, end);
                out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
                if (p == end)
                    break;
                const unsigned char ch = *p++;
                m_nNeed = utf8Lead(ch, m_chLo, m_chHi);
                if (m_nNeed == 0) {
                    replacement(out);
                    continue;
                }
                m_szSeq[0] = static_cast<char>(ch);
                m_nSeq = 1;
            } else {
                const unsigned char ch = *p;
                if (ch < m_chLo || ch > m_chHi) {
                    // The character stops short: one U+FFFD for it, and this byte starts afresh.
                    replacement(out);
                    m_nNeed = 0;
                    continue;
                }
                ++p;
                m_szSeq[m_nSeq++] = static_cast<char>(ch);
                m_chLo = 0x80;
                m_chHi = 0xBF;
                if (--m_nNeed == 0)
                    out.append(m_szSeq, static_cast<std::size_t>(m_nSeq));
            }
        }
        if (bFinal && m_nNeed != 0) {
            replacement(out);
            m_nNeed = 0;
        }
    }

private:
    int m_nNeed = 0;
    int m_nSeq = 0;
    char m_szSeq[4] = {};
    unsigned char m_chLo = 0x80;
    unsigned char m_chHi = 0xBF;
};

class CUtf16Decoder : public CDecoder {
public:
    explicit CUtf16Decoder(bool bBigEndian) : m_bBigEndian(bBigEndian) {}

    void decode(std::string_view str, std::string& out, bool bFinal) override {
        for (const char c : str) {
            const auto ch = static_cast<unsigned char>(c);
            if (m_nOdd < 0) {
                m_nOdd = ch;
                continue;
            }
            const auto first = static_cast<char16_t>(m_nOdd);
            m_nOdd = -1;
            unit(m_bBigEndian ? static_cast<char16_t>(first << 8 | ch)
                              : static_cast<char16_t>(ch << 8 | first),
                 out);
        }
        if (bFinal) {
            if (m_chHigh != 0)
                replacement(out);
            if (m_nOdd >= 0)
                replacement(out);
            m_chHigh = 0;
            m_nOdd = -1;
        }
    }

private:
    void unit(char16_t u, std::string& out) {
        const bool bLow = u >= 0xDC00 && u <= 0xDFFF;
        if (m_chHigh != 0) {
            const char16_t high = m_chHigh;
            m_chHigh = 0;
            if (bLow) {
                appendUtf8(out, 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (u - 0xDC00));
                return;
            }
            replacement(out);
        }
        if (u >= 0xD800 && u <= 0xDBFF)
            m_chHigh = u;
        else if (bLow)
            replacement(out);
        else
            appendUtf8(out, u);
    }

    bool m_bBigEndian;
    int m_nOdd = -1;
    char16_t m_chHigh = 0;
};

#ifdef _WIN32
// The system's code page 54936 where it has one. Without it (Wine), the two-byte characters go
// through code page 936, which holds the same ones, and the four-byte characters beyond the BMP
// by their arithmetic; the four-byte characters within the BMP then need the table that is
// missing, and count as invalid.
class CGb18030Decoder : public CDecoder {
public:
    static constexpr UINT kGb18030 = 54936;
    static constexpr UINT kGbk = 936;

    CGb18030Decoder()
        : m_nCodePage(::IsValidCodePage(kGb18030) ? kGb18030
                      : ::IsValidCodePage(kGbk)   ? kGbk
                                                  : 0) {}

    bool ok() const { return m_nCodePage != 0; }

    void decode(std::string_view str, std::string& out, bool bFinal) override {
        std::string_view in = str;
        if (!m_strPending.empty()) {
            m_strPending.append(str);
            in = m_strPending;
        }
        const auto* p = reinterpret_cast<const unsigned char*>(in.data());
        const std::size_t n = in.size();
        std::size_t i = 0;
        std::size_t nRun = 0; // where the one- and two-byte characters not yet converted begin
        while (i < n) {
            if (p[i] < 0x80) {
                ++i;
                continue;
            }
            const int nLength = sequenceLength(p + i, n - i);
            if (nLength < 0 && !bFinal)
                break; // a character cut at the end of this piece
            if (nLength == 2) {
                i += 2;
                continue;
            }
            convertRun(in.substr(nRun, i - nRun), out);
            if (nLength == 4 && decodeFour(p + i, out)) {
                i += 4;
            } else {
                // Not GB18030, or cut at the very end of the text.
                replacement(out);
                ++i;
            }
            nRun = i;
        }
        convertRun(in.substr(nRun, i - nRun), out);
        std::string rest(in.substr(i));
        m_strPending = std::move(rest);
    }

private:
    // 2 or 4 for a well-formed character at p, 0 for a byte no character starts with, -1 when
    // the text ends inside one.
    static int sequenceLength(const unsigned char* p, std::size_t nLeft) {
        if (p[0] < 0x81 || p[0] > 0xFE)
            return 0;
        if (nLeft < 2)
            return -1;
        if ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFE))
            return 2;
        if (p[1] < 0x30 || p[1] > 0x39)
            return 0;
        if (nLeft < 3)
            return -1;
        if (p[2] < 0x81 || p[2] > 0xFE)
            return 0;
        if (nLeft < 4)
            return -1;
        return p[3] >= 0x30 && p[3] <= 0x39 ? 4 : 0;
    }

    bool decodeFour(const unsigned char* p, std::string& out) {
        const std::uint32_t nIndex =
            ((static_cast<std::uint32_t>(p[0] - 0x81) * 10 + (p[1] - 0x30)) * 126 + (p[2] - 0x81)) * 10 +
            (p[3] - 0x30);
        // 90 30 81 30 is U+10000, and the planes above follow in order.
        constexpr std::uint32_t kFirstSupplementary = 15 * 10 * 126 * 10;
        if (nIndex >= kFirstSupplementary) {
            const std::uint32_t cp = 0x10000 + (nIndex - kFirstSupplementary);
            if (cp > 0x10FFFF)
                return false;
            appendUtf8(out, cp);
            return true;
        }
        if (m_nCodePage != kGb18030)
            return false;
        return convert(std::string_view(reinterpret_cast<const char*>(p), 4), out);
    }

    bool convert(std::string_view str, std::string& out) {
        // A character never takes more UTF-16 units than it has bytes here.
        m_strWide.resize(str.size());
        const int n =
            ::MultiByteToWideChar(m_nCodePage, MB_ERR_INVALID_CHARS, str.data(), static_cast<int>(str.size()),
                                  m_strWide.data(), static_cast<int>(m_strWide.size()));
        if (n <= 0)
            return false;
        const int nBytes =
            ::WideCharToMultiByte(CP_UTF8, 0, m_strWide.data(), n, nullptr, 0, nullptr, nullptr);
        const std::size_t nAt = out.size();
        out.resize(nAt + static_cast<std::size_t>(nBytes));
        ::WideCharToMultiByte(CP_UTF8, 0, m_strWide.data(), n, out.data() + nAt, nBytes, nullptr, nullptr);
        return true;
    }

    // A run of well-formed one- and two-byte characters: at once, or character by character when
    // the code page lacks one of them, which then becomes one U+FFFD.
    void convertRun(std::string_view run, std::string& out) {
        if (run.empty() || convert(run, out))
            return;
        for (std::size_t k = 0; k < run.size();) {
            const std::size_t nChar = static_cast<unsigned char>(run[k]) < 0x80 ? 1 : 2;
            if (!convert(run.substr(k, nChar), out))
                replacement(out);
            k += nChar;
        }
    }

    UINT m_nCodePage;
    std::string m_strPending;
    std::wstring m_strWide;
};

#else
class CGb18030Decoder : public CDecoder {
public:
    CGb18030Decoder() : m_hIconv(iconv_open("UTF-8", "GB18030")) {}
    ~CGb18030Decoder() override {
        if (ok())
            iconv_close(m_hIconv);
    }
    CGb18030Decoder(const CGb18030Decoder&) = delete;
    CGb18030Decoder& operator=(const CGb18030Decoder&) = delete;

    bool ok() const { return m_hIconv != kNoIconv; }

    void decode(std::string_view str, std::string& out, bool bFinal) override {
        std::string_view in = str;
        if (!m_strPending.empty()) {
            m_strPending.append(str);
            in = m_strPending;
        }
        char* pIn = const_cast<char*>(in.data());
        std::size_t nIn = in.size();
        char buf[16384];
        while (nIn > 0) {
            char* pOut = buf;
            std::size_t nOut = sizeof buf;
            const std::size_t rc = iconv(m_hIconv, &pIn, &nIn, &pOut, &nOut);
            out.append(buf, static_cast<std::size_t>(pOut - buf));
            if (rc != static_cast<std::size_t>(-1) || errno == E2BIG)
                continue;
            if (errno == EINVAL && !bFinal)
                break; // a character cut at the end of this piece
            // Not GB18030, or cut at the very end of the text.
            replacement(out);
            ++pIn;
            --nIn;
        }
        std::string rest(pIn, nIn);
        m_strPending = std::move(rest);
    }

private:
    iconv_t m_hIconv;
    std::string m_strPending;
};

#endif

} // namespace

tagBom detectBom(std::string_view head) {
    if (head.starts_with(kUtf8Bom))
        return {EEncoding::Utf8, kUtf8Bom.size()};
    if (head.starts_with(kUtf16LeBom))
        return {EEncoding::Utf16Le, kUtf16LeBom.size()};
    if (head.starts_with(kUtf16BeBom))
        return {EEncoding::Utf16Be, kUtf16BeBom.size()};
    return {};
}

bool CUtf8Validator::feed(std::string_view str) {
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    const auto* end = p + str.size();
    while (m_bValid && p < end) {
        if (m_nNeed == 0) {
            p = skipAscii(p, end);
            if (p == end)
                break;
            m_nNeed = utf8Lead(*p++, m_chLo, m_chHi);
            if (m_nNeed == 0)
                m_bValid = false;
        } else {
            const unsigned char ch = *p++;
            if (ch < m_chLo || ch > m_chHi) {
                m_bValid = false;
                break;
            }
            m_chLo = 0x80;
            m_chHi = 0xBF;
            --m_nNeed;
        }
    }
    return m_bValid;
}

bool isValidUtf8(std::string_view str) {
    CUtf8Validator validator;
    validator.feed(str);
    return validator.finish();
}

bool CGb18030Validator::feed(std::string_view str) {
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    const auto* end = p + str.size();
    while (m_bValid && p < end) {
        if (m_nState == 0) {
            p = skipAscii(p, end);
            if (p == end)
                break;
        }
        const unsigned char ch = *p++;
        const bool bLead = ch >= 0x81 && ch <= 0xFE;
        const bool bDigit = ch >= 0x30 && ch <= 0x39;
        switch (m_nState) {
        case 0:
            m_bValid = bLead;
            m_nState = 1;
            break;
        case 1:
            // A digit begins a four-byte character.
            m_bValid = bDigit || (ch >= 0x40 && ch != 0x7F && ch != 0xFF);
            m_nState = bDigit ? 2 : 0;
            break;
        case 2:
            m_bValid = bLead;
            m_nState = 3;
            break;
        default:
            m_bValid = bDigit;
            m_nState = 0;
            break;
        }
    }
    return m_bValid;
}

bool gb18030Complete() {
#ifdef _WIN32
    return ::IsValidCodePage(CGb18030Decoder::kGb18030) != 0;
#else
    return CGb18030Decoder().ok();
#endif
}

std::unique_ptr<CDecoder> CDecoder::create(EEncoding eEncoding) {
    switch (eEncoding) {
    case EEncoding::Gb18030: {
        auto pDecoder = std::make_unique<CGb18030Decoder>();
        if (!pDecoder->ok())
            return nullptr;
        return pDecoder;
    }
    case EEncoding::Utf16Le:
        return std::make_unique<CUtf16Decoder>(false);
    case EEncoding::Utf16Be:
        return std::make_unique<CUtf16Decoder>(true);
    case EEncoding::Utf8:
        break;
    }
    return std::make_unique<CUtf8Decoder>();
}

namespace {
// GB18030 when the text is valid GB18030 but not valid UTF-8, else UTF-8.
EEncoding utf8OrGb18030(std::string_view str) {
    if (isValidUtf8(str))
        return EEncoding::Utf8;
    auto pGb = CDecoder::create(EEncoding::Gb18030);
    if (!pGb)
        return EEncoding::Utf8;
    std::string strDecoded;
    pGb->decode(str, strDecoded, true);
    return pGb->invalidCount() == 0 ? EEncoding::Gb18030 : EEncoding::Utf8;
}
} // namespace

tagBom detectEncoding(std::string_view str) {
    const tagBom bom = detectBom(str);
    if (bom.nBomSize != 0)
        return bom;
    return {utf8OrGb18030(str), 0};
}

void decodeText(std::string& str) {
    const tagBom bom = detectEncoding(str);
    const std::string_view text = std::string_view(str).substr(bom.nBomSize);
    if (bom.eEncoding == EEncoding::Utf8 && isValidUtf8(text)) {
        str.erase(0, bom.nBomSize);
        return;
    }
    auto pDecoder = CDecoder::create(bom.eEncoding);
    if (!pDecoder)
        pDecoder = CDecoder::create(EEncoding::Utf8);
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    pDecoder->decode(text, out, true);
    if (bom.eEncoding == EEncoding::Gb18030 && out.starts_with(kUtf8Bom))
        out.erase(0, kUtf8Bom.size());
    str = std::move(out);
}

} // namespace enc
