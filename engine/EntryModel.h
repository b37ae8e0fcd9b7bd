#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/Address.h"
#include "engine/GenRequest.h"

// What an entry of a run holds, the same for every layout, every server and for check: the names
// a domain brings, and the addresses the entries are at.
namespace entry {

inline constexpr int kHttpPort = 80;
inline constexpr int kHttpsPort = 443;

// The heads of a domain's names, in the order they are written: none (the domain itself), "www."
// with www, "PREFIX." with a prefix. A prefix that is the www alias adds no name of its own: each
// name is written once.
class CNameHeads {
public:
    // strAsciiPrefix: checked and in ASCII form; empty for none.
    CNameHeads(bool bWww, std::string_view strAsciiPrefix);

    std::size_t size() const { return m_nHeads; }
    const std::string& operator[](std::size_t i) const { return m_heads[i]; }
    // What the longest head adds to a name.
    std::size_t longest() const;

private:
    std::array<std::string, 3> m_heads;
    std::size_t m_nHeads = 1;
};

// The addresses of a layout's entries: the plain ones at --listen, on port 80 with HTTPS when it
// names none, and with HTTPS their twins on port 443 of the same host.
struct tagEntryAddresses {
    tagAddress plain;
    bool bTwin = false;
    tagAddress twin;
};
tagEntryAddresses entryAddresses(const tagLayout& layout);

} // namespace entry
