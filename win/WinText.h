#pragma once

#include <string>
#include <string_view>

// Text is UTF-8 inside the program and UTF-16 at the system's wide calls. Invalid input becomes
// U+FFFD rather than vanishing.
std::wstring widen(std::string_view str);
std::string narrow(std::wstring_view str);
