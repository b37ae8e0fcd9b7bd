#include "core/Idn.h"

#include <idn2.h>

namespace idn {

bool toAscii(std::string_view strName, std::string& strOut) {
    const std::string strInput(strName);
    char* pOut = nullptr;
    if (idn2_to_ascii_8z(strInput.c_str(), &pOut, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) != IDN2_OK)
        return false;
    strOut = pOut;
    idn2_free(pOut);
    return true;
}

} // namespace idn
