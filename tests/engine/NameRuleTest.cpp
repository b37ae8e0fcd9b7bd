#include "engine/NameRule.h"

#include <gtest/gtest.h>

namespace {

using names::EVerdict;

TEST(NameRuleTest, WhatALineBecomes) {
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    const struct {
        std::string line;
        EVerdict verdict;
        std::string name; // for Name
    } cases[] = {
        {"", EVerdict::Skip, ""},
        {" \t\r", EVerdict::Skip, ""},
        {"localhost", EVerdict::Skip, ""},
        {"http://localhost:8080/a.html", EVerdict::Skip, ""}, // the host has no dot
        {"a.com", EVerdict::Name, "a.com"},
        {" \t a.com \t\r", EVerdict::Name, "a.com"},
        {"\xE3\x80\x80"
         "a.com\xC2\xA0",
         EVerdict::Name, "a.com"}, // ideographic and no-break spaces
        {"www.a.com", EVerdict::Name, "a.com"},
        {"WWW.a.com", EVerdict::Name, "WWW.a.com"}, // the removal is case-sensitive
        {"www.www.a.com", EVerdict::Name, "www.a.com"},
        {"awww.com", EVerdict::Name, "awww.com"},
        {"a.com.", EVerdict::Name, "a.com"},
        {"*.a.com", EVerdict::Name, "*.a.com"},
        {"a_b-c.a?.com", EVerdict::Name, "a_b-c.a?.com"},
        {"https://User:pw@www.Example.COM:8443/x?y#z", EVerdict::Name, "Example.COM"},
        {"HTTP://a.com", EVerdict::Name, "a.com"},
        {"http://a.com?q=1", EVerdict::Name, "a.com"},
        {"http://evil.com\\@good.com/", EVerdict::Name, "evil.com"}, // as a browser reads it
        {"\xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD", EVerdict::Name, "xn--fsqu00a.xn--fiqs8s"},
        {"\xE4\xBE\x8B\xE5\xAD\x90\xE3\x80\x82\xE4\xB8\xAD\xE5\x9B\xBD", EVerdict::Name,
         "xn--fsqu00a.xn--fiqs8s"},
        {"www.B\xC3\xBC"
         "cher.DE",
         EVerdict::Name, "xn--bcher-kva.de"},
        {name253, EVerdict::Name, name253},
        {"a.com\\", EVerdict::Backslash, ""},
        {"a.com\\\t", EVerdict::Backslash, ""},
        {"foo bar.com", EVerdict::Space, ""},
        {"foo\tbar.com", EVerdict::Space, ""},
        {"a\xE3\x80\x80"
         "b.com",
         EVerdict::Space, ""},
        {std::string("x\0y.com", 7), EVerdict::Control, ""},
        {"a.com\x7F", EVerdict::Control, ""},
        {"\"a.com\"", EVerdict::Quote, ""},
        {"a'b.com", EVerdict::Quote, ""},
        {"a.com;", EVerdict::BadChar, ""},
        {"a.com:80", EVerdict::BadChar, ""}, // a port without an address around it
        {"[::1].com", EVerdict::BadChar, ""},
        {"a..b.com", EVerdict::EmptyLabel, ""},
        {".a.com", EVerdict::EmptyLabel, ""},
        {"www.", EVerdict::EmptyLabel, ""},
        {".", EVerdict::EmptyLabel, ""},
        {"a.com..", EVerdict::EmptyLabel, ""},
        {std::string(64, 'a') + ".com", EVerdict::LabelTooLong, ""},
        {"www." + std::string(64, 'a'), EVerdict::LabelTooLong, ""},
        {"www." + label63, EVerdict::Name, label63},
        // The last label of a name too long for the quick look.
        {"a." + label63, EVerdict::Name, "a." + label63},
        {"a." + std::string(64, 'a'), EVerdict::LabelTooLong, ""},
        // Control characters at the ends are refused, never dropped as blanks are.
        {"\x01a.com", EVerdict::Control, ""},
        {"a.com\x0B", EVerdict::Control, ""},
        {"\x0C a.com", EVerdict::Control, ""},
        {"a.com\x0B\xE3\x80\x80", EVerdict::Control, ""}, // beside a blank that is not ASCII
        {name253 + "c", EVerdict::TooLong, ""},
        {std::string(9000, 'a') + ".com", EVerdict::TooLong, ""},
        {"\xEE\x80\x80.com", EVerdict::NoAsciiForm, ""}, // private use
        {"\xEF\xBF\xBD.com", EVerdict::InvalidText, ""},
        {"a\xEF\xBC\x83.com", EVerdict::BadChar, ""}, // a full-width '#' becomes '#'
    };
    for (const auto& c : cases) {
        std::string scratch;
        std::string_view name;
        EXPECT_EQ(names::nameOfLine(c.line, scratch, name), c.verdict) << testing::PrintToString(c.line);
        if (c.verdict == EVerdict::Name) {
            EXPECT_EQ(name, c.name) << testing::PrintToString(c.line);
        }
    }
}

// What the run puts before a name, and a file named after it, count in its length; a wildcard
// with nothing to anchor it would take every name.
TEST(NameRuleTest, LimitsOfTheRunAndCatchAlls) {
    const std::string labels =
        std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + ".";
    const auto nameOf = [&labels](std::size_t n) { return labels + std::string(n - labels.size(), 'd'); };
    const struct {
        std::string line;
        std::size_t nHead;
        bool bFileName;
        EVerdict verdict;
    } cases[] = {
        {nameOf(249), 4, false, EVerdict::Name}, {nameOf(250), 4, false, EVerdict::TooLong},
        {nameOf(251), 2, false, EVerdict::Name}, {nameOf(252), 2, false, EVerdict::TooLong},
        {"a.com", 248, false, EVerdict::Name},   {"a.com", 249, false, EVerdict::TooLong},
        {nameOf(250), 0, true, EVerdict::Name},  {nameOf(251), 0, true, EVerdict::FileNameTooLong},
        {"www.*", 0, false, EVerdict::CatchAll}, {"*.", 0, false, EVerdict::CatchAll},
        {"*.*", 0, false, EVerdict::CatchAll},   {"?*.?", 0, false, EVerdict::CatchAll},
        {"*.com", 0, false, EVerdict::Name},     {"*a.*", 0, false, EVerdict::Name},
        {"?.?", 0, false, EVerdict::Name}, // without a '*' it takes names of one letter only
    };
    for (const auto& c : cases) {
        std::string scratch;
        std::string_view name;
        EXPECT_EQ(names::nameOfLine(c.line, scratch, name, {c.nHead, c.bFileName}), c.verdict)
            << c.line.size() << " " << c.nHead << " " << c.line.substr(0, 10);
    }
}

// nginx has no '?', and takes a '*' only as a whole first or last label; a head (www., a prefix)
// before a leading one would put it inside the name.
TEST(NameRuleTest, WildcardsNginxHolds) {
    const struct {
        std::string_view line;
        std::size_t nHead;
        EVerdict verdict;
    } cases[] = {
        {"*.a.com", 0, EVerdict::Name},
        {"*.a.com", 4, EVerdict::ServerWildcard},
        {"a.*", 4, EVerdict::Name},
        {"a.b.*", 0, EVerdict::Name},
        {"a*.com", 0, EVerdict::ServerWildcard},
        {"a.*b", 0, EVerdict::ServerWildcard},
        {"a.*.com", 0, EVerdict::ServerWildcard},
        {"*.a.*", 0, EVerdict::ServerWildcard},
        {"a?.com", 0, EVerdict::ServerWildcard},
        {"a.com", 4, EVerdict::Name},
        {"*.*", 0, EVerdict::CatchAll},
    };
    for (const auto& c : cases) {
        std::string scratch;
        std::string_view name;
        names::tagNameLimits limits;
        limits.nHead = c.nHead;
        limits.bNginx = true;
        EXPECT_EQ(names::nameOfLine(c.line, scratch, name, limits), c.verdict) << c.line << " " << c.nHead;
    }
}

TEST(NameRuleTest, Prefixes) {
    const struct {
        std::string prefix;
        EVerdict verdict;
        std::string written;
    } cases[] = {
        {"", EVerdict::Name, ""},
        {"  ", EVerdict::Name, ""},
        {" m\t", EVerdict::Name, "m"},
        {"a.b", EVerdict::Name, "a.b"},
        {"\xE4\xBE\x8B", EVerdict::Name, "xn--fsq"},
        {"m\nInclude /x", EVerdict::Control, ""},
        {"m\n", EVerdict::Control, ""},
        {"m n", EVerdict::Space, ""},
        {"m.", EVerdict::EmptyLabel, ""},
        {"m/", EVerdict::BadChar, ""},
        {"\"m\"", EVerdict::Quote, ""},
    };
    for (const auto& c : cases) {
        std::string written = "unchanged";
        EXPECT_EQ(names::normalizePrefix(c.prefix, written), c.verdict) << testing::PrintToString(c.prefix);
        if (c.verdict == EVerdict::Name) {
            EXPECT_EQ(written, c.written);
        }
    }
}

TEST(NameRuleTest, SitePaths) {
    const struct {
        std::string path;
        names::ESitePath fault;
        names::ESitePath nginxFault = fault;
    } cases[] = {
        {"/var/www", names::ESitePath::Ok},
        {"/var/a\"b c\\#", names::ESitePath::Ok},
        {"   ", names::ESitePath::Ok},
        {"", names::ESitePath::Empty},
        {"/var/www\nInclude /etc/x.conf", names::ESitePath::Control},
        {"/var/www\r", names::ESitePath::Control},
        {std::string("/var\0/www", 9), names::ESitePath::Control},
        {"/var/\ttab", names::ESitePath::Control},
        {"/" + std::string(4096, 'a'), names::ESitePath::TooLong},
        {"/srv/${APACHE_LOG_DIR}", names::ESitePath::Variable},
        {"/srv/$HOME/{x}", names::ESitePath::Ok, names::ESitePath::Variable},
        {"/srv/a$", names::ESitePath::Ok, names::ESitePath::Variable},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(names::checkSitePath(c.path), c.fault) << testing::PrintToString(c.path);
        EXPECT_EQ(names::checkSitePath(c.path, true), c.nginxFault)
            << "nginx: " << testing::PrintToString(c.path);
    }
}

TEST(NameRuleTest, ReportsShowLinesShortAndVisible) {
    const struct {
        std::string line;
        std::size_t max;
        std::string shown;
    } cases[] = {
        {"  a b.com\r", 60, "a b.com"},
        {std::string("x\0y\x1B\x7F\tz", 7), 60, "x\\x00y\\x1b\\x7f\\tz"},
        {"\xE4\xBE\x8B\xFF", 60, "\xE4\xBE\x8B\\xff"},
        {"abcdefghij", 8, "abcde..."},
        {"abcdefgh", 8, "abcdefgh"},
        {std::string(100000, 'a'), 10, "aaaaaaa..."},
        {std::string(16, '\x01'), 10, "\\x01..."}, // an escape counts as the characters it shows
        {"abcd", 2, "ab"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(names::visibleText(c.line, c.max), c.shown) << testing::PrintToString(c.line.substr(0, 20));
}

} // namespace
