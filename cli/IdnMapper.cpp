#include "cli/IdnMapper.h"

#include <idn2.h>

#include "cli/CliTarget.h"

bool CIdnMapper::toAscii(std::string_view strName, std::string& strOut, std::string& strReason) {
    char* pOut = nullptr;
    const int rc = idn2_to_ascii_8z(std::string(strName).c_str(), &pOut, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc != IDN2_OK) {
        strReason = idn2_strerror(rc);
        return false;
    }
    strOut = pOut;
    idn2_free(pOut);
    return true;
}

bool CIdnMapper::mapDomain(std::int64_t nLine, std::string_view strDomain, std::string& strOut) {
    std::string strReason;
    if (toAscii(strDomain, strOut, strReason))
        return true;
    m_console.message("kelvane-cli: line " + std::to_string(nLine) + ": '" + std::string(strDomain) +
                      "' has no ASCII form (" + strReason + "); kept as typed");
    return false;
}
