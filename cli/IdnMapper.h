#pragma once

#include <string>
#include <string_view>

#include "engine/RunSettings.h"

class CConsole;

// Writes a domain with non-ASCII letters in its ASCII form (例子.中国 → xn--fsqu00a.xn--fiqs8s):
// browsers send only that form, and Apache answers a raw UTF-8 Host with 400.
class CIdnMapper : public CDomainMapper {
public:
    explicit CIdnMapper(CConsole& console) : m_console(console) {}
    bool mapDomain(std::int64_t nLine, std::string_view strDomain, std::string& strOut) override;

    // The ASCII form of a name; false with the reason when it has none.
    static bool toAscii(std::string_view strName, std::string& strOut, std::string& strReason);

private:
    CConsole& m_console;
};
