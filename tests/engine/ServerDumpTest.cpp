#include <gtest/gtest.h>

#include "TestUtil.h"
#include "engine/ServerDump.h"

namespace {

CServerDump parsedDump(const std::string& strFile) {
    CServerDump dump;
    std::string strReason;
    EXPECT_TRUE(dump.parse(readFile(std::string(KELVANE_TEST_DATA) + "/" + strFile), strReason)) << strReason;
    return dump;
}

// A vhost in one line: "ADDR NAME FILE:LINE aliases... | wild..."
std::string describe(const tagVhost& vhost) {
    std::string str =
        vhost.addr.text() + " " + vhost.strName + " " + vhost.strFile + ":" + std::to_string(vhost.nLine);
    for (const auto& strAlias : vhost.vecAliases)
        str += " " + strAlias;
    str += " |";
    for (const auto& strWild : vhost.vecWild)
        str += " " + strWild;
    return str;
}

TEST(ServerDumpTest, ReadsEveryVhost) {
    struct {
        const char* pFile;
        std::vector<std::string> vecVhosts;
    } const cases[] = {
        {"apache2-S-loopback.txt",
         {"[::1]:28083 v6.test /tmp/s2cap/conf dir/sites one.conf:20 |",
          "[::1]:28084 both.test /tmp/s2cap/conf dir/sites one.conf:23 |",
          "127.0.0.1:28084 both.test /tmp/s2cap/conf dir/sites one.conf:23 |",
          "127.0.0.1:28082 ip.test /tmp/s2cap/conf dir/sites one.conf:17 |",
          "127.0.0.1:28082 ip2.test /tmp/s2cap/conf dir/sites one.conf:27 | *.ip2.test",
          "* first.test /tmp/s2cap/conf dir/sites one.conf:1 www.first.test | *.wild.test shop?.test",
          "* main.invalid /tmp/s2cap/conf dir/sites one.conf:6 noname.test |",
          "*:28081 port.test /tmp/s2cap/conf dir/sites one.conf:10 alias.port.test |",
          "*:28081 second.port.test /tmp/s2cap/conf dir/sites one.conf:14 |",
          "*:28085 dflt.test /tmp/s2cap/conf dir/sites one.conf:31 |",
          "*:28086 single.test /tmp/s2cap/conf dir/sites one.conf:34 |"}},
        {"apache2-S-generated.txt",
         {"*:28090 127.0.0.1 /tmp/s2cap2/httpd.conf:7 |",
          "* 127.0.0.1 /tmp/s2cap2/many.conf:1 alpha.test www.alpha.test m.alpha.test |",
          "* 127.0.0.1 /tmp/s2cap2/many.conf:5 bravo.test www.bravo.test m.bravo.test |",
          "* 127.0.0.1 /tmp/s2cap2/many.conf:9 charlie.test www.charlie.test m.charlie.test |"}},
        // Warnings before the section, CR LF, a long IPv6 address, a file with blanks, brackets
        // and colons, a line of an unknown kind, the section's end before a look-alike line.
        {"apache2-S-tricky.txt",
         {"[2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:8443 long.v6.test /srv/conf (old)/a:b.conf:12 |",
          "*:80 Upper.Test /etc/apache2/sites enabled/000 default.conf:1 WWW.Upper.Test | *.Shop.Test "
          "cdn-??.test",
          "*:80 later.test /etc/apache2/sites enabled/later.conf:7 www.upper.test | *",
          "* old.test /etc/httpd/old.conf:3 |", "192.0.2.10:* bare.ip.test /etc/httpd/ip.conf:9 |"}},
    };
    for (const auto& c : cases) {
        const CServerDump dump = parsedDump(c.pFile);
        std::vector<std::string> vecGot;
        for (const tagVhost& vhost : dump.vhosts())
            vecGot.push_back(describe(vhost));
        EXPECT_EQ(vecGot, c.vecVhosts) << c.pFile;
    }
}

TEST(ServerDumpTest, RefusesTextWithoutVhostSection) {
    CServerDump dump;
    std::string strReason;
    for (const char* pText : {"", "Syntax OK\n", "AH00526: Syntax error on line 3\n"})
        EXPECT_FALSE(dump.parse(pText, strReason)) << pText;
}

TEST(ServerDumpTest, FindsTheVhostThatTakesAName) {
    // name, the first vhost that serves it exactly, the first whose wild alias takes it (by name
    // and line), the pattern
    struct {
        const char* pName;
        const char* pServed;
        const char* pWild;
        const char* pPattern;
    } const cases[] = {
        {"upper.test", "Upper.Test:1", "later.test:7", "*"},
        {"www.UPPER.test", "Upper.Test:1", "later.test:7", "*"},
        {"a.b.shop.test", "", "Upper.Test:1", "*.Shop.Test"},
        {"shop.test", "", "later.test:7", "*"}, // "*.shop.test" wants a label before
        {"cdn-01.test", "", "Upper.Test:1", "cdn-??.test"},
        {"cdn-1.test", "", "later.test:7", "*"},
        {"old.test", "old.test:3", "later.test:7", "*"},
        {"long.v6.test", "long.v6.test:12", "later.test:7", "*"},
    };
    const CServerDump dump = parsedDump("apache2-S-tricky.txt");
    const auto where = [&dump](int nVhost) {
        if (nVhost < 0)
            return std::string();
        const tagVhost& vhost = dump.vhosts()[static_cast<std::size_t>(nVhost)];
        return vhost.strName + ":" + std::to_string(vhost.nLine);
    };
    for (const auto& c : cases) {
        std::string strPattern;
        EXPECT_EQ(where(dump.servedBy(c.pName)), c.pServed) << c.pName;
        EXPECT_EQ(where(dump.wildcardFor(c.pName, strPattern)), c.pWild) << c.pName;
        EXPECT_EQ(strPattern, c.pPattern) << c.pName;
    }
}

TEST(ServerDumpTest, WildMatchIsApachesCaseBlindGlob) {
    struct {
        const char* pPattern;
        const char* pName;
        bool bMatch;
    } const cases[] = {
        {"*.example.com", "www.example.com", true},
        {"*.example.com", "a.b.example.com", true},
        {"*.example.com", "example.com", false},
        {"*.EXAMPLE.com", "Www.example.COM", true},
        {"shop?.test", "shop1.test", true},
        {"shop?.test", "shop.test", false},
        {"shop?.test", "shop12.test", false},
        {"*", "", true},
        {"a*b*c", "axxbyyc", true},
        {"a*b*c", "axxbyyb", false},
        {"**.test", "x.test", true},
        {"*.test*", "a.test.example", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CServerDump::wildMatch(c.pPattern, c.pName), c.bMatch) << c.pPattern << " " << c.pName;
}

TEST(ServerDumpTest, ShadowingAddresses) {
    // The entries' address, and the addresses (with the line of their first vhost) that take
    // requests before them.
    struct {
        const char* pListen;
        std::vector<std::string> vecShadows;
    } const cases[] = {
        {"*",
         {"[::1]:28083:20", "[::1]:28084:23", "127.0.0.1:28084:23", "127.0.0.1:28082:17", "*:28081:10",
          "*:28085:31", "*:28086:34"}},
        {"*:28081", {}},
        {"*:28082", {"127.0.0.1:28082:17"}},
        {"127.0.0.1:28082", {}},
        {"*:80", {}},
    };
    const CServerDump dump = parsedDump("apache2-S-loopback.txt");
    for (const auto& c : cases) {
        tagVhostAddr listen;
        ASSERT_TRUE(tagVhostAddr::parse(c.pListen, listen)) << c.pListen;
        std::vector<std::string> vecGot;
        for (const std::size_t i : dump.shadowing(listen))
            vecGot.push_back(dump.vhosts()[i].addr.text() + ":" + std::to_string(dump.vhosts()[i].nLine));
        EXPECT_EQ(vecGot, c.vecShadows) << c.pListen;
    }
}

TEST(ServerDumpTest, DroppedFileLeavesOtherVhosts) {
    CServerDump dump = parsedDump("apache2-S-generated.txt");
    dump.dropIf([](const tagVhost& vhost) { return vhost.strFile == "/tmp/s2cap2/many.conf"; });
    ASSERT_EQ(dump.vhosts().size(), 1U);
    EXPECT_EQ(dump.servedBy("alpha.test"), -1);
}

TEST(ServerDumpTest, Addresses) {
    struct {
        const char* pText;
        const char* pParsed; // null: refused
    } const cases[] = {
        {"*", "*"},
        {"*:*", "*"},
        {"*:80", "*:80"},
        {"_default_:443", "*:443"},
        {"192.0.2.10:80", "192.0.2.10:80"},
        {"192.0.2.10", "192.0.2.10:*"},
        {"[2001:db8::1]:80", "[2001:db8::1]:80"},
        {"*:0", nullptr},
        {"*:65536", nullptr},
        {"*:", nullptr},
        {"*:8o", nullptr},
        {"example.com:80", nullptr},
        {"300.1.1.1:80", nullptr},
        {"[2001:db8::1", nullptr},
        {"[2001:db8::1]80", nullptr},
        {"2001:db8::1", nullptr},
        {"ServerRoot:", nullptr},
    };
    for (const auto& c : cases) {
        tagVhostAddr addr;
        const bool bParsed = tagVhostAddr::parse(c.pText, addr);
        EXPECT_EQ(bParsed, c.pParsed != nullptr) << c.pText;
        if (bParsed && c.pParsed) {
            EXPECT_EQ(addr.text(), c.pParsed) << c.pText;
        }
    }
}

} // namespace
