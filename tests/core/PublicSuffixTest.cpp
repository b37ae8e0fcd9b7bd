#include "core/PublicSuffix.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The same answers on Linux (the system's list) and Windows (the same list, built in). An empty
// answer: the name is a public suffix or shorter.
TEST(PublicSuffixTest, RegisteredDomain) {
    ASSERT_TRUE(psl::available()) << psl::source();
    const struct {
        std::string name;
        std::string registered;
    } cases[] = {
        {"a.example.com", "example.com"},
        {"WWW.Example.COM", "example.com"},
        {"*.a.example.com", "example.com"},
        {"a.example.com.", "example.com"},
        // A suffix anyone can register under, by a private entry of the list.
        {"x.github.io", "x.github.io"},
        {"github.io", ""},
        {"foo.s3.amazonaws.com", "foo.s3.amazonaws.com"},
        // Suffixes of more than one label, and a top-level domain in its ASCII form (中国).
        {"a.b.co.uk", "b.co.uk"},
        {"co.uk", ""},
        {"a.b.xn--fiqs8s", "b.xn--fiqs8s"},
        {"localhost", ""},
        {"com", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(psl::registeredDomain(c.name), c.registered) << c.name;
}

} // namespace
