#include "core/Idn.h"

#include <gtest/gtest.h>

namespace {

// libidn2 converts by IDNA 2008; Windows' IdnToAscii by IDNA 2003, which maps ß to ss, final ς to σ,
// drops the joiners and lets symbols pass. An empty answer: no ASCII form.
TEST(IdnTest, AsciiFormByTheSystemsStandard) {
    const struct {
        std::string name;
        std::string idna2008;
        std::string idna2003;
    } cases[] = {
        {"例子.中国", "xn--fsqu00a.xn--fiqs8s", "xn--fsqu00a.xn--fiqs8s"},
        {"Bücher.DE", "xn--bcher-kva.de", "xn--bcher-kva.de"},
        {"ＥＸＡＭＰＬＥ．ｃｏｍ", "example.com", "example.com"},
        {"\xEE\x80\x80.com", "", ""}, // private use
        {"faß.de", "xn--fa-hia.de", "fass.de"},
        {"ς.gr", "xn--3xa.gr", "xn--4xa.gr"},
        {"a\xE2\x80\x8D"
         "b.com",
         "", "ab.com"},
        {"☃☃.com", "", "xn--n3ha.com"},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        const std::string& expected = c.idna2003;
#else
        const std::string& expected = c.idna2008;
#endif
        std::string out;
        const bool bOk = idn::toAscii(c.name, out);
        EXPECT_EQ(bOk, !expected.empty()) << c.name;
        if (bOk) {
            EXPECT_EQ(out, expected) << c.name;
        }
    }
}

} // namespace
