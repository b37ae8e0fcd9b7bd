#include "core/Encoding.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iconv.h>

#include "core/TextUtil.h"

namespace enc {

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
const iconv_t kNoIconv = reinterpret_cast<iconv_t>(-1);
} // namespace

bool CUtf8Validator::feed(std::string_view str) {
    const auto* p = reinterpret_cast<const unsigned char*>(str.data());
    const auto* end = p + str.size();
    while (m_bValid && p < end) {
        if (m_nNeed == 0) {
            while (end - p >= 8) {
                std::uint64_t word;
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ULL)
                    break;
                p += 8;
            }
            if (p == end)
                break;
            const unsigned char ch = *p++;
            if (ch < 0x80)
                continue;
            m_chLo = 0x80;
            m_chHi = 0xBF;
            if (ch >= 0xC2 && ch <= 0xDF) {
                m_nNeed = 1;
            } else if (ch >= 0xE0 && ch <= 0xEF) {
                m_nNeed = 2;
                if (ch == 0xE0)
                    m_chLo = 0xA0; // overlong
                else if (ch == 0xED)
                    m_chHi = 0x9F; // surrogates
            } else if (ch >= 0xF0 && ch <= 0xF4) {
                m_nNeed = 3;
                if (ch == 0xF0)
                    m_chLo = 0x90; // overlong
                else if (ch == 0xF4)
                    m_chHi = 0x8F; // past U+10FFFF
            } else {
                m_bValid = false;
            }
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

CGb18030Decoder::CGb18030Decoder() : m_hIconv(iconv_open("UTF-8", "GB18030")) {}

CGb18030Decoder::~CGb18030Decoder() {
    if (ok())
        iconv_close(static_cast<iconv_t>(m_hIconv));
}

bool CGb18030Decoder::ok() const { return static_cast<iconv_t>(m_hIconv) != kNoIconv; }

void CGb18030Decoder::decode(std::string_view str, std::string& out, bool bFinal) {
    if (!ok())
        return;
    std::string_view in = str;
    if (!m_strPending.empty()) {
        m_strPending.append(str);
        in = m_strPending;
    }
    auto* cd = static_cast<iconv_t>(m_hIconv);
    char* pIn = const_cast<char*>(in.data());
    std::size_t nIn = in.size();
    char buf[16384];
    while (nIn > 0) {
        char* pOut = buf;
        std::size_t nOut = sizeof buf;
        const std::size_t rc = iconv(cd, &pIn, &nIn, &pOut, &nOut);
        out.append(buf, static_cast<std::size_t>(pOut - buf));
        if (rc != static_cast<std::size_t>(-1))
            continue;
        if (errno == E2BIG)
            continue;
        if (errno == EINVAL && !bFinal)
            break; // a character cut at the end of this piece
        // Not GB18030, or cut at the very end of the text.
        out.append(kReplacement);
        ++pIn;
        --nIn;
    }
    std::string rest(pIn, nIn);
    m_strPending = std::move(rest);
}

bool decodeText(std::string& str) {
    if (!isValidUtf8(str)) {
        CGb18030Decoder decoder;
        if (!decoder.ok())
            return false;
        std::string out;
        out.reserve(str.size() + str.size() / 2);
        decoder.decode(str, out, true);
        str = std::move(out);
    }
    if (str.starts_with(kUtf8Bom))
        str.erase(0, kUtf8Bom.size());
    return true;
}

} // namespace enc
