// The name rule against a model of what a name may hold, and the text a report shows.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "FuzzCheck.h"
#include "core/Encoding.h"
#include "engine/NameRule.h"

namespace {

bool isNameChar(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
           ch == '_' || ch == '*' || ch == '?';
}

// ASCII letters, digits, '-', '_', '*' and '?' in dot-separated labels of 1 to 63, 253 in all.
bool isNameShape(std::string_view str) {
    if (str.empty() || str.size() > names::kMaxName)
        return false;
    std::size_t nLabel = 0;
    for (const char ch : str) {
        if (ch == '.') {
            if (nLabel == 0)
                return false;
            nLabel = 0;
        } else if (!isNameChar(ch) || ++nLabel > names::kMaxLabel) {
            return false;
        }
    }
    return nLabel > 0;
}

names::ESitePath modelSitePath(std::string_view str) {
    if (str.empty())
        return names::ESitePath::Empty;
    for (const char ch : str)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            return names::ESitePath::Control;
    if (str.size() > names::kMaxSitePath)
        return names::ESitePath::TooLong;
    // Apache would put a variable in for it.
    return str.find("${") == std::string_view::npos ? names::ESitePath::Ok : names::ESitePath::Variable;
}

std::size_t utf8Chars(std::string_view str) {
    std::size_t n = 0;
    for (const char ch : str)
        n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const auto nMaxChars = fdp.ConsumeIntegralInRange<std::size_t>(0, 100);
    const std::string strLine = fdp.ConsumeRemainingBytesAsString();

    FUZZ_CHECK((names::checkName(strLine) == names::EVerdict::Name) == isNameShape(strLine));

    std::string strScratch;
    std::string_view name;
    const names::EVerdict eVerdict = names::nameOfLine(strLine, strScratch, name);
    if (eVerdict == names::EVerdict::Name)
        FUZZ_CHECK(isNameShape(name) && names::checkName(name) == names::EVerdict::Name);
    // A plain name with a dot is taken as it is, but for a wildcard with nothing to anchor it.
    const bool bCatchAll =
        strLine.find('*') != std::string::npos && strLine.find_first_not_of("*?.") == std::string::npos;
    const bool bPlain = isNameShape(strLine) && strLine.find('.') != std::string::npos &&
                        !strLine.starts_with("www.") && !bCatchAll;
    if (bCatchAll && eVerdict != names::EVerdict::Skip)
        FUZZ_CHECK(eVerdict != names::EVerdict::Name);
    if (bPlain)
        FUZZ_CHECK(eVerdict == names::EVerdict::Name && name == strLine);

    std::string strPrefix;
    if (names::normalizePrefix(strLine, strPrefix) == names::EVerdict::Name)
        FUZZ_CHECK(strPrefix.empty() || names::checkName(strPrefix) == names::EVerdict::Name);

    FUZZ_CHECK(names::checkSitePath(strLine) == modelSitePath(strLine));

    // What a report shows is printable UTF-8, and no longer than asked.
    const std::string strVisible = names::visibleText(strLine, nMaxChars);
    FUZZ_CHECK(enc::isValidUtf8(strVisible));
    for (const char ch : strVisible)
        FUZZ_CHECK(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F);
    FUZZ_CHECK(utf8Chars(strVisible) <= nMaxChars);
    return 0;
}
