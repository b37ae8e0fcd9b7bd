#pragma once

#include <string>
#include <string_view>

// Text helpers shared by the core services and the engine. Text is UTF-8: every separator and
// blank we search for is ASCII, and an ASCII byte never occurs inside a multi-byte character,
// so byte-wise searches keep to whole characters.
namespace text {

inline constexpr std::string_view kBlanks = " \t\r\n";

// Removes blanks, tabs, CRs and LFs at both ends, in place.
void trimStr(std::string& str);

// The view without the given characters at both ends.
std::string_view trimmed(std::string_view str, std::string_view chars);

// A word for a POSIX shell: as it is when it holds nothing the shell reads, else in single quotes.
std::string shellWord(std::string_view str);

// Replaces every occurrence of what, left to right, in one pass: what the replacement brings in
// is not searched again.
std::string replaceAll(std::string_view str, std::string_view what, std::string_view with);

bool isAscii(std::string_view str);

// The same text, ASCII letters in either case.
bool sameNoCase(std::string_view a, std::string_view b);

} // namespace text
