#pragma once

#include <string_view>

// Every remembered setting, in one place. A key never saved reads as empty text or 0.
namespace settings {

inline constexpr std::string_view kFileName = "Kelvane.ini";
inline constexpr std::string_view kSection = "Kelvane";

inline constexpr std::string_view kKeySitePath = "pathroot";
inline constexpr std::string_view kKeyPrefix = "subdomain";
inline constexpr std::string_view kKeyWww = "bwww";

} // namespace settings
