#include "core/TextUtil.h"

#include <gtest/gtest.h>

namespace {

TEST(TextUtilTest, TrimStrRemovesBlanksTabsAndLineBreaksAtBothEnds) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"x", "x"},
        {" x ", "x"},
        {"\r\n\t x y \t\r\n", "x y"},
        {"  x  y  ", "x  y"},
        {" \t\r\n ", ""},
        {"\xE4\xB8\xAD ", "\xE4\xB8\xAD"},
    };
    for (const auto& c : cases) {
        std::string str = c.in;
        text::trimStr(str);
        EXPECT_EQ(str, c.out) << "input '" << c.in << "'";
    }
}

TEST(TextUtilTest, ReplaceAllIsOnePassWithoutOverlaps) {
    const struct {
        std::string text, what, with, out;
    } cases[] = {
        {"www.a.com", "www.", "", "a.com"}, {"wwwww.w.d", "www.", "", "www.d"},
        {"aaa", "aa", "b", "ba"},           {"{x}{x}", "{x}", "{x}{x}", "{x}{x}{x}{x}"},
        {"none", "zz", "y", "none"},        {"abc", "", "y", "abc"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(text::replaceAll(c.text, c.what, c.with), c.out) << c.text;
}

TEST(TextUtilTest, IsAsciiLooksAtEveryByte) {
    std::string str(40, 'a');
    EXPECT_TRUE(text::isAscii(str));
    for (std::size_t i = 0; i < str.size(); ++i) {
        std::string withHigh = str;
        withHigh[i] = '\xE4';
        EXPECT_FALSE(text::isAscii(withHigh)) << "at " << i;
    }
}

} // namespace
