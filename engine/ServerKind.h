#pragma once

#include <cstdint>
#include <string_view>

// The web server a run's entries are for.
enum class EServerKind : std::uint8_t { Apache, Nginx };

inline std::string_view serverKindName(EServerKind eKind) {
    return eKind == EServerKind::Nginx ? "nginx" : "apache";
}
