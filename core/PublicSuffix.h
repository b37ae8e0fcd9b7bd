#pragma once

#include <string>
#include <string_view>

// Registered domains, by the Public Suffix List that the system keeps (Debian's publicsuffix
// package, read through libpsl): a.example.com and www.a.example.com belong to example.com,
// x.github.io and y.github.io to themselves, since github.io is a suffix anyone can register under.
namespace psl {

// The registered domain of a name in its ASCII form (any case; a leading "*." is a wildcard's):
// its public suffix and one label more, in lower case. Empty when the name is itself a public
// suffix or shorter, or when no list could be read.
std::string registeredDomain(std::string_view strName);
// Whether the list was read, and where from, for the user to know what grouped the names.
bool available();
std::string source();

} // namespace psl
