#include "engine/SiteBuilder.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

std::string entryFor(const tagSiteSettings& settings, std::string_view name) {
    CByteBuffer out;
    CSiteBuilder(settings).appendEntry(name, out);
    return std::string(out.view());
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
        {true, "a.b", "d.com www.d.com a.b.d.com"},
    };
    for (const auto& c : cases) {
        tagSiteSettings settings;
        settings.bWww = c.www;
        settings.strPrefix = c.prefix;
        settings.strTemplate = "{siteDomain}";
        EXPECT_EQ(entryFor(settings, "d.com"), c.aliases + "\r\n");
    }
}

// Apache reads a directive's argument up to a blank, or between quotes in which a backslash
// escapes only a backslash or the quote; unquoted it takes "\\" for "\", and a line that ends in
// a backslash goes on on the next line. What is written must read back as the path typed.
TEST(BuildSiteTest, SitePathsAreWrittenSoThatApacheReadsThemBack) {
    const struct {
        std::string sitePath;
        std::string written;
    } cases[] = {
        {"/var/www", "/var/www"},
        {"D:\\web", "D:\\web"},
        {"/var/w#x", "/var/w#x"},
        {"/var/a\"b", "/var/a\"b"},
        {"/srv/my sites", "\"/srv/my sites\""},
        {"/var/a\"b c", "\"/var/a\\\"b c\""},
        {"/var/my www\\", "\"/var/my www\\\\\""},
        {"D:\\web\\", "\"D:\\web\\\\\""},
        {"\\\\server\\share", "\"\\\\\\server\\share\""},
        {"\"/quoted\"", "\"\\\"/quoted\\\"\""},
        {"'/single'", "\"'/single'\""},
        {"   ", "\"   \""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CSiteBuilder::quotedSitePath(c.sitePath), c.written) << c.sitePath;
        tagSiteSettings settings;
        settings.strSitePath = c.sitePath;
        EXPECT_EQ(entryFor(settings, "d.com"), builtinEntry(c.written, "d.com"));
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
         "<VirtualHost *:8080>\n  DocumentRoot \"/srv/my sites\"\n  ServerAlias d.com "
         "www.d.com\n</VirtualHost>\r\n"},
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
        EXPECT_EQ(entryFor(settings, "d.com"), c.entry) << c.templ;
    }
}

} // namespace
