#include "engine/SiteBuilder.h"

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "engine/RunSettings.h"

namespace {

std::string entryFor(const tagSiteSettings& settings, std::string_view line) {
    CByteBuffer out;
    CSiteBuilder(settings).appendEntry(line, 1, out);
    return std::string(out.view());
}

TEST(BuildSiteTest, DomainOfALine) {
    const struct {
        std::string line;
        std::string domain;
    } cases[] = {
        {"", ""},
        {"localhost", ""},
        {"a.com", "a.com"},
        {"www.a.com", "a.com"},
        {"WWW.a.com", "WWW.a.com"},       // the removal is case-sensitive
        {"wwwww.w.d", "wwwww.w.d"},       // "www." is not at the start
        {"www.www.a.com", "www.a.com"},   // removed once
        {"awww.com", "awww.com"},         // a different domain than acom
        {"a.www.com", "a.www.com"},
        {"www.", ""},
        {" \t a.com \t\r", "a.com"},      // pasted blanks and a CR LF's CR
        {"  www.a.com", "a.com"},         // blanks go first, then the head
        {"\r", ""},
        {"a.com b.com", "a.com b.com"},
        {"\xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD", "\xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CSiteBuilder::domainOf(c.line), c.domain) << testing::PrintToString(c.line);
}

TEST(BuildSiteTest, AliasLists) {
    const struct {
        bool www;
        std::string prefix;
        std::string aliases;
    } cases[] = {
        {false, "", "d.com"},
        {true, "", "d.com www.d.com"},
        {false, "m", "d.com m.d.com"},
        {true, "m", "d.com www.d.com m.d.com"},
        {false, " ", "d.com  .d.com"}, // a prefix of blanks counts as given
    };
    for (const auto& c : cases) {
        tagSiteSettings settings;
        settings.bWww = c.www;
        settings.strPrefix = c.prefix;
        EXPECT_EQ(CSiteBuilder(settings).BuildAliases("d.com"), c.aliases);
    }
}

TEST(BuildSiteTest, BuiltInBlock) {
    const struct {
        std::string sitePath;
        std::string line;
        std::string entry; // empty: no entry
    } cases[] = {
        {"/var/www", "d.com", builtinEntry("/var/www", "d.com www.d.com m.d.com")},
        {"/var/www", "www.d.com", builtinEntry("/var/www", "d.com www.d.com m.d.com")},
        {"/var/www", "WWW.d.com", builtinEntry("/var/www", "WWW.d.com www.WWW.d.com m.WWW.d.com")},
        {"D:\\web", "d.com", builtinEntry("D:\\web", "d.com www.d.com m.d.com")},
        {"/srv/my sites", "d.com", builtinEntry("\"/srv/my sites\"", "d.com www.d.com m.d.com")},
        {"/srv/tab\there", "d.com", builtinEntry("\"/srv/tab\there\"", "d.com www.d.com m.d.com")},
        {"/var/www", "localhost", ""},
        {"/var/www", "", ""},
        {"/var/www", "www.", ""},
        {"/var/www", " \t ", ""},
    };
    for (const auto& c : cases) {
        tagSiteSettings settings;
        settings.strSitePath = c.sitePath;
        settings.strPrefix = "m";
        settings.bWww = true;
        EXPECT_EQ(entryFor(settings, c.line), c.entry) << c.sitePath << " / " << c.line;
    }
}

TEST(BuildSiteTest, TemplateForm) {
    const struct {
        std::string templ;
        std::string sitePath;
        std::string entry;
    } cases[] = {
        {"<VirtualHost *:8080>\n  DocumentRoot \"{sitePath}\"\n  ServerAlias {siteDomain}\n</VirtualHost>",
         "/srv/my sites",
         "<VirtualHost *:8080>\n  DocumentRoot \"/srv/my sites\"\n  ServerAlias d.com www.d.com\n</VirtualHost>\r\n"},
        {"no placeholders", "/x", "no placeholders\r\n"},
        {" ", "/x", " \r\n"},
        {"\r\n", "/x", "\r\n\r\n"},
        {"{siteDomain}|{siteDomain}", "/x", "d.com www.d.com|d.com www.d.com\r\n"},
        {"{sitePath}{sitePath}", "/{sitePath}", "/{sitePath}/{sitePath}\r\n"},
        // The site path goes in first; a domain placeholder it brings in is then filled.
        {"{sitePath}", "/{siteDomain}", "/d.com www.d.com\r\n"},
        {"{siteDomain", "/x", "{siteDomain\r\n"},
    };
    for (const auto& c : cases) {
        tagSiteSettings settings;
        settings.strSitePath = c.sitePath;
        settings.bWww = true;
        settings.strTemplate = c.templ;
        EXPECT_EQ(entryFor(settings, "www.d.com"), c.entry) << c.templ;
    }
}

class CUpperMapper : public CDomainMapper {
public:
    bool mapDomain(std::int64_t nLine, std::string_view strDomain, std::string& strOut) override {
        lines.push_back(nLine);
        if (strDomain.starts_with("bad"))
            return false;
        strOut = "xn--" + std::to_string(strDomain.size()) + ".cn";
        return true;
    }
    std::vector<std::int64_t> lines;
};

TEST(BuildSiteTest, OnlyNonAsciiDomainsGoThroughTheMapper) {
    CUpperMapper mapper;
    tagSiteSettings settings;
    settings.strSitePath = "/s";
    settings.bWww = true;
    settings.pMapper = &mapper;
    CSiteBuilder builder(settings);
    CByteBuffer out;
    builder.appendEntry("a.com", 1, out);
    builder.appendEntry("www.\xE4\xBE\x8B.cn", 2, out);
    builder.appendEntry("bad\xE4\xBE\x8B.cn", 3, out);
    EXPECT_EQ(out.view(), builtinEntry("/s", "a.com www.a.com") + builtinEntry("/s", "xn--6.cn www.xn--6.cn") +
                       builtinEntry("/s", "bad\xE4\xBE\x8B.cn www.bad\xE4\xBE\x8B.cn"));
    EXPECT_EQ(mapper.lines, (std::vector<std::int64_t>{2, 3}));
}

} // namespace
