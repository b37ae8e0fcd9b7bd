#include "core/Idn.h"

#ifdef _WIN32
#include <windows.h>

#include "core/Sys.h"
#else
#include <idn2.h>
#endif

namespace idn {

#ifdef _WIN32
// Windows converts by IDNA 2003: its mapping (NFKC, case folding) is applied to the input, and
// where the two standards differ (ß, ς, the joiners) it gives the IDNA 2003 form.
bool toAscii(std::string_view strName, std::string& strOut) {
    const std::wstring strWide = sys::widen(std::string(strName));
    if (strWide.empty() || strWide.size() > 1024)
        return false;
    wchar_t buf[1024];
    const int n = ::IdnToAscii(0, strWide.data(), static_cast<int>(strWide.size()), buf, 1024);
    if (n <= 0)
        return false;
    strOut = sys::narrow(std::wstring(buf, static_cast<std::size_t>(n)));
    // Windows leaves an all-ASCII label as it came; the name is written in lower case throughout.
    for (char& ch : strOut)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return true;
}
#else

bool toAscii(std::string_view strName, std::string& strOut) {
    const std::string strInput(strName);
    char* pOut = nullptr;
    if (idn2_to_ascii_8z(strInput.c_str(), &pOut, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK)
        return false;
    strOut = pOut;
    idn2_free(pOut);
    return true;
}
#endif

} // namespace idn
