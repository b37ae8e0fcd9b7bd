#pragma once

#include <string>
#include <string_view>

// Internationalised domain names. Browsers send only the ASCII form of a name (例子.中国 is
// xn--fsqu00a.xn--fiqs8s), and Apache answers a raw UTF-8 Host with 400, so a name with other
// letters is written in that form.
namespace idn {

// The ASCII form of a name by IDNA 2008 (with the mappings browsers make: upper case, full-width
// forms); false when it has none.
bool toAscii(std::string_view strName, std::string& strOut);

} // namespace idn
