#include "engine/SiteBuilder.h"
#include "engine/EntryTemplate.h"

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
        // A prefix that is the www alias writes no name twice.
        {true, "WWW", "d.com www.d.com"},
        {false, "www", "d.com www.d.com"},
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

// What Windows Notepad saves as "Unicode": UTF-16LE with its byte-order mark; here of Latin-1 text.
std::string unicodeFile(std::string_view latin1) {
    std::string out = "\xFF\xFE";
    for (const char ch : latin1)
        out += {ch, '\0'};
    return out;
}

// A template file's bytes and a site path: the entry written, or the template's line refused. The
// bytes are kept outside the placeholders; each "{sitePath}" is written so that Apache's reader
// gets the words the author meant, with the path typed in its place.
// An nginx template is read as nginx reads it, across lines: the site path reads back exactly.
TEST(BuildSiteTest, NginxTemplates) {
    const struct {
        std::string text;
        std::string sitePath;
        std::string entry; // without its CR LF; empty: refused
        std::int64_t failLine = 0;
    } cases[] = {
        // A word of its own: in double quotes, every backslash and quote escaped.
        {"root {sitePath};", "/srv/a b", "root \"/srv/a b\";"},
        {"root {sitePath};", "/a\\tb\\", "root \"/a\\\\tb\\\\\";"},
        {"root\n    {sitePath};", "x;y{z}#", "root\n    \"x;y{z}#\";"},
        {"root {sitePath}{", "/a", "root \"/a\"{"},
        // Inside a string: that string's quote and every backslash escaped.
        {"set $p \"{sitePath}\";", "a\"b'c\\n", "set $p \"a\\\"b'c\\\\n\";"},
        {"set $p '{sitePath}';", "it's", "set $p 'it\\'s';"},
        {"set $p \"C:\\{sitePath}\";", "web", "set $p \"C:\\web\";"},
        {"set $p \"C:\\{sitePath}\";", "\\web", "set $p \"C:\\\\\\web\";"},
        {"set $p \"C:\\{sitePath}\";", "\"", "", 1},
        // Part of a larger word: escaped where that reads back, refused where a blank, ';' or '{'
        // would end the word.
        {"root /srv/{sitePath}/htdocs;", "site1", "root /srv/site1/htdocs;"},
        {"root /srv/{sitePath}/htdocs;", "it's \"x\"", "", 1},
        {"x;\nroot /srv/{sitePath};", "a;b", "", 2},
        {"x;\nroot /srv/{sitePath};", "a{b", "", 2},
        {"root /srv/{sitePath};", "a}b", "root /srv/a}b;"},
        // A comment runs to the line's end: as typed.
        {"# {sitePath}\nroot {sitePath};", "/a b", "# /a b\nroot \"/a b\";"},
        {"server_name {siteDomain};\nroot {sitePath};", "/x", "server_name d.com www.d.com;\nroot \"/x\";"},
    };
    for (const auto& c : cases) {
        tagSiteSettings settings;
        settings.strTemplate = c.text;
        settings.strSitePath = c.sitePath;
        settings.bWww = true;
        settings.eServer = EServerKind::Nginx;
        const CSiteBuilder builder(settings);
        EXPECT_EQ(builder.templateFailLine(), c.failLine) << c.text << " | " << c.sitePath;
        if (c.failLine == 0) {
            CByteBuffer out;
            builder.appendEntry("d.com", out);
            EXPECT_EQ(out.view(), c.entry + "\r\n") << c.text << " | " << c.sitePath;
        }
    }
}

TEST(BuildSiteTest, TemplateFiles) {
    const struct {
        std::string file;
        std::string sitePath;
        bool www;
        std::string entry; // without its CR LF; empty: refused
        std::int64_t failLine = 0;
    } cases[] = {
        // Bytes that are not UTF-8 reach Apache as they are.
        {"DocumentRoot \"/srv/\xE9t\xE9\"", "/x", false, "DocumentRoot \"/srv/\xE9t\xE9\""},
        {"# \xD6\xD0\xCE\xC4 {sitePath}\n\xFF\xFE", "/x", false, "# \xD6\xD0\xCE\xC4 /x\n\xFF\xFE"},
        {unicodeFile("DR \"{sitePath}\" \xE9"), "/x", false, "DR \"/x\" \xC3\xA9"},
        {"\xEF\xBB\xBF"
         "DR {sitePath}",
         "/x", false, "DR /x"},
        // In a quoted string: the quote and the backslashes Apache would pair, escaped.
        {"DocumentRoot \"{sitePath}\"", "/nx/web\\", false, "DocumentRoot \"/nx/web\\\\\""},
        {"DocumentRoot \"{sitePath}\"", "/nx/a\"b", false, "DocumentRoot \"/nx/a\\\"b\""},
        {"DR '{sitePath}'", "/it's\\\\x\\", false, "DR '/it\\'s\\\\\\x\\\\'"},
        {"DR '{sitePath}'", "/a\"b", false, "DR '/a\"b'"},
        {"DR \"{sitePath}", "/a\"b", false, "DR \"/a\\\"b"},
        {"DR \"{sitePath}", "/a\\", false, "", 1}, // the escaped backslash would join the next line
        {"<VirtualHost *:8080>\n  DocumentRoot \"{sitePath}\"\n  ServerAlias {siteDomain}\n</VirtualHost>",
         "/srv/my sites", true,
         "<VirtualHost *:8080>\n  DocumentRoot \"/srv/my sites\"\n  ServerAlias d.com "
         "www.d.com\n</VirtualHost>"},
        // A backslash of the template before the placeholder stays one.
        {"DR \"C:\\{sitePath}\"", "\\web", false, "DR \"C:\\\\\\web\""},
        {"DR \"C:\\{sitePath}\"", "\"q", false, "DR \"C:\\\\\\\"q\""},
        {"DR \"C:\\{sitePath}\"", "web", false, "DR \"C:\\web\""},
        {"DR C:\\{sitePath}", "\\web", false, "", 1},
        // A word of its own: as the built-in entry writes it.
        {"DR {sitePath}", "/my sites\\", false, "DR \"/my sites\\\\\""},
        {"DR {sitePath}\nX", "D:\\web\\", false, "DR \"D:\\web\\\\\"\nX"},
        {"DR {sitePath}\r\nX", "/my sites", false, "DR \"/my sites\"\r\nX"}, // a CR is a blank
        {"<Directory {sitePath}>", "/my sites", false, "<Directory \"/my sites\">"},
        {"<Directory {sitePath}>", "/a>b", false, "<Directory /a>b>"},
        {"<Directory /x> {sitePath}", "a", false, "<Directory /x> a"},
        {"<Directory /x> {sitePath}", "a>b", false, "", 1},
        // Part of a larger word: as typed, where that reads back.
        {"DR /srv/{sitePath}/htdocs", "site1", false, "DR /srv/site1/htdocs"},
        {"DR /srv/{sitePath}/htdocs", "my site", false, "", 1},
        {"DR /srv/{sitePath}", "a\\\\b", false, "", 1},
        {"X\nDR x{sitePath}\nY", "a\\", false, "", 2},
        {"{sitePath}{sitePath}", "/{sitePath}", true, "/{sitePath}/{sitePath}"},
        // A comment: as typed, but never joined to the next line.
        {"# root: {sitePath}", "/my \"sites\"", false, "# root: /my \"sites\""},
        {"A\n# root: {sitePath}\nB", "/web\\", false, "", 2},
        // Lines Apache joins are read as one.
        {"DR \\\n  {sitePath}", "/a b", false, "DR \\\n  \"/a b\""},
        {"DR /x{sitePath}\\\r\n y", "/a", false, "DR /x/a\\\r\n y"},
        // An alias list the site path brings in holds a blank when it may hold more than one name.
        {"{sitePath}", "/{siteDomain}", true, "\"/d.com www.d.com\""},
        {"{sitePath}", "/{siteDomain}", false, "/d.com"},
        {"DR x{sitePath}", "/{siteDomain}", true, "", 1},
        // Apache would read a variable in "${".
        {"DR \"{sitePath}{x}\"", "/a$", false, "", 1},
        {"DR \"${sitePath}\"", "{x}", false, "", 1},
        {"DR \"{sitePath}{siteDomain}\"", "/a$", false, "DR \"/a$d.com\""},
        {"no placeholders", "/x", true, "no placeholders"},
        {" ", "/x", true, " "},
        {"\r\n", "/x", true, "\r\n"},
        {"{siteDomain}|{siteDomain}", "/x", true, "d.com www.d.com|d.com www.d.com"},
        {"{siteDomain", "/x", true, "{siteDomain"},
    };
    CScopedTempDir dir;
    const std::string path = dir.path("template.txt");
    for (const auto& c : cases) {
        writeFile(path, c.file);
        tagSiteSettings settings;
        std::string reason;
        ASSERT_TRUE(CEntryTemplate::readFile(path, settings.strTemplate, reason)) << reason;
        settings.strSitePath = c.sitePath;
        settings.bWww = c.www;
        const CSiteBuilder builder(settings);
        EXPECT_EQ(builder.templateFailLine(), c.failLine) << c.file << " | " << c.sitePath;
        if (c.failLine == 0) {
            CByteBuffer out;
            builder.appendEntry("d.com", out);
            EXPECT_EQ(out.view(), c.entry + "\r\n") << c.file << " | " << c.sitePath;
        }
    }
    // UTF-16 that is not text is refused, not written with replacement characters.
    writeFile(path, std::string("\xFF\xFE\x00\xD8", 4));
    std::string text, reason;
    EXPECT_FALSE(CEntryTemplate::readFile(path, text, reason));
    EXPECT_FALSE(reason.empty());
}

} // namespace
