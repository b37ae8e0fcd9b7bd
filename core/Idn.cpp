#include "core/Idn.h"

#include <cstddef>

#include <idn2.h>

namespace idn {

namespace {

// The longest name converted, in UTF-16 units; a name's ASCII form is at most 253 bytes, and
// characters that map to nothing (the soft hyphen) must not make a longer input pass.
constexpr std::size_t kMaxInput = 1024;

std::size_t utf16Length(std::string_view str) {
    std::size_t n = 0;
    for (const char ch : str) {
        const auto byte = static_cast<unsigned char>(ch);
        // A lead byte starts a character; one of four bytes needs a surrogate pair.
        if ((byte & 0xC0) != 0x80)
            n += byte >= 0xF0 ? 2 : 1;
    }
    return n;
}

} // namespace

bool toAscii(std::string_view strName, std::string& strOut) {
    if (strName.empty() || strName.find('\0') != std::string_view::npos || utf16Length(strName) > kMaxInput)
        return false;
    const std::string strInput(strName);
    char* pOut = nullptr;
    if (idn2_to_ascii_8z(strInput.c_str(), &pOut, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK)
        return false;
    strOut = pOut;
    idn2_free(pOut);
    // The name is written in lower case throughout, whatever the mapping leaves.
    for (char& ch : strOut)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return true;
}

} // namespace idn
