#include <cerrno>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/FileUtil.h"
#include "engine/ApacheConfig.h"
#include "engine/ConfScanner.h"
#include "engine/GenRequest.h"
#include "engine/ServerCheck.h"
#include "engine/ServerDump.h"

namespace {

const std::string kData = KELVANE_TEST_DATA;

struct tagLoaded {
    std::unique_ptr<CApacheConfig> pConfig;
    std::vector<std::string> vecNotes;
};

// A listing read as it comes from a command, a few bytes at a time, then the vhosts' files.
tagLoaded loadListing(std::string strListing, const tagGenRequest& request = {},
                      CApacheConfig::FnReadFile fnReadFile = {}) {
    for (std::size_t nAt; (nAt = strListing.find("@DATA@")) != std::string::npos;)
        strListing.replace(nAt, 6, kData);
    tagLoaded loaded{std::make_unique<CApacheConfig>(std::move(fnReadFile)), {}};
    CServerDump dump(*loaded.pConfig);
    for (std::size_t i = 0; i < strListing.size(); i += 7)
        dump.feed(std::string_view(strListing).substr(i, 7));
    std::string strReason;
    EXPECT_TRUE(dump.finish(strReason)) << strReason;
    loaded.pConfig->finish(request, [&](const std::string& strNote) { loaded.vecNotes.push_back(strNote); });
    return loaded;
}

tagLoaded loadData(const std::string& strFile, const tagGenRequest& request = {}) {
    return loadListing(readFile(kData + "/" + strFile), request);
}

std::string shortPlace(std::string_view strFile, std::int64_t nLine) {
    return std::filesystem::path(strFile).filename().string() + ":" + std::to_string(nLine);
}

// A vhost in one line: "ADDR NAME FILE:LINE aliases... | wild..."
std::string describe(const CServerConfig& config, std::size_t nVhost) {
    const tagVhostInfo vhost = config.vhost(nVhost);
    std::string str = vhost.addr.text() + " " + std::string(vhost.strName) + " " +
                      std::string(vhost.strFile) + ":" + std::to_string(vhost.nLine);
    bool bFirst = true, bWildSeen = false;
    config.forEachName(nVhost, [&](const tagVhostName& name) {
        if (name.bWild && !bWildSeen)
            str += " |";
        bWildSeen = bWildSeen || name.bWild;
        if (!bFirst)
            str += " " + std::string(name.strName);
        bFirst = false;
    });
    return bWildSeen ? str : str + " |";
}

// "served NAME FILE:LINE", "wildcard PATTERN FILE:LINE", or "" when no vhost there takes the name.
std::string takenAt(const CServerConfig& config, const char* pAddr, const char* pName) {
    tagAddress addr;
    EXPECT_TRUE(tagAddress::parseListed(pAddr, addr)) << pAddr;
    tagTaken taken;
    if (!config.takes(addr, pName, taken))
        return "";
    return std::string(taken.name.bWild ? "wildcard " : "served ") + std::string(taken.name.strName) + " " +
           shortPlace(taken.name.strFile, taken.name.nLine);
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
        // A lone vhost's aliases come from its file, in the file's order.
        {"apache2-S-order.txt",
         {"*:80 first.test " + kData + "/vhosts-order.conf:1 | *.w.test *.b.w.test",
          "*:80 second.test " + kData + "/vhosts-order.conf:5 exact.w.test | *.x.test",
          "*:80 third.test " + kData + "/vhosts-order.conf:10 solo.test | ?.x.test",
          "*:443 secure.test " + kData + "/vhosts-order.conf:14 tls.test |",
          "*:8080 one.test " + kData + "/vhosts-lone.conf:2 a.test v.w.test | *.w.test"}},
    };
    for (const auto& c : cases) {
        const tagLoaded loaded = loadData(c.pFile);
        std::vector<std::string> vecGot;
        std::vector<std::string> vecFiles;
        for (std::size_t i = 0; i < loaded.pConfig->vhostCount(); ++i) {
            vecGot.push_back(describe(*loaded.pConfig, i));
            const std::string strFile(loaded.pConfig->vhost(i).strFile);
            if (std::find(vecFiles.begin(), vecFiles.end(), strFile) == vecFiles.end() &&
                !strFile.starts_with(kData))
                vecFiles.push_back(strFile);
        }
        EXPECT_EQ(vecGot, c.vecVhosts) << c.pFile;
        // A file that cannot be read is said once, whatever the number of its vhosts.
        EXPECT_EQ(loaded.vecNotes.size(), vecFiles.size()) << c.pFile;
    }
}

TEST(ServerDumpTest, RefusesTextWithoutVhostSection) {
    for (const char* pText : {"", "Syntax OK\n", "AH00526: Syntax error on line 3\n"}) {
        CApacheConfig config;
        CServerDump dump(config);
        dump.feed(pText);
        std::string strReason;
        EXPECT_FALSE(dump.finish(strReason)) << pText;
    }
}

TEST(ServerDumpTest, FindsTheVhostThatTakesAName) {
    struct {
        const char* pDump;
        const char* pAddr;
        const char* pName;
        const char* pTaken;
    } const cases[] = {
        {"apache2-S-tricky.txt", "*:80", "upper.test", "served Upper.Test 000 default.conf:1"},
        {"apache2-S-tricky.txt", "*:80", "www.UPPER.test", "served WWW.Upper.Test 000 default.conf:1"},
        {"apache2-S-tricky.txt", "*:80", "a.b.shop.test", "wildcard *.Shop.Test 000 default.conf:1"},
        // "*.shop.test" wants a label before: the catch-all of the later vhost takes it.
        {"apache2-S-tricky.txt", "*:80", "shop.test", "wildcard * later.conf:7"},
        {"apache2-S-tricky.txt", "*:80", "cdn-01.test", "wildcard cdn-??.test 000 default.conf:1"},
        {"apache2-S-tricky.txt", "*:80", "cdn-1.test", "wildcard * later.conf:7"},
        {"apache2-S-tricky.txt", "*", "old.test", "served old.test old.conf:3"},
        {"apache2-S-tricky.txt", "*", "upper.test", ""},
        {"apache2-S-tricky.txt", "*:80", "old.test", "wildcard * later.conf:7"},
        {"apache2-S-tricky.txt", "[2001:DB8:aaaa:bbbb:cccc:dddd:eeee:ffff]:8443", "long.v6.test",
         "served long.v6.test a:b.conf:12"},
        {"apache2-S-tricky.txt", "192.0.2.10", "bare.ip.test", "served bare.ip.test ip.conf:9"},
        {"apache2-S-tricky.txt", "192.0.2.10:80", "bare.ip.test", ""},
        // A vhost alone on its port: its names from its file, with their directives' lines.
        {"apache2-S-order.txt", "*:8080", "a.test", "served a.test vhosts-lone.conf:4"},
        {"apache2-S-order.txt", "*:8080", "x.W.test", "wildcard *.w.test vhosts-lone.conf:4"},
        {"apache2-S-order.txt", "*:8080", "one.test", "served one.test vhosts-lone.conf:3"},
        // Its exact alias before its wild alias, wherever each stands.
        {"apache2-S-order.txt", "*:8080", "v.W.test", "served v.w.test vhosts-lone.conf:6"},
        {"apache2-S-order.txt", "*:80", "a.test", ""},
        // A vhost takes a name only at its own address and port.
        {"apache2-S-order.txt", "*:443", "tls.test", "served tls.test vhosts-order.conf:16"},
        {"apache2-S-order.txt", "*:80", "tls.test", ""},
        {"apache2-S-order.txt", "*", "tls.test", ""},
        {"apache2-S-order.txt", "127.0.0.1:443", "tls.test", ""},
        // Two wild aliases of a vhost: the first in the file; of two vhosts: the first vhost.
        {"apache2-S-order.txt", "*:80", "a.b.w.test", "wildcard *.w.test vhosts-order.conf:3"},
        {"apache2-S-order.txt", "*:80", "q.x.test", "wildcard *.x.test vhosts-order.conf:8"},
        // An earlier vhost's wild alias before a later one's exact name.
        {"apache2-S-order.txt", "*:80", "exact.w.test", "wildcard *.w.test vhosts-order.conf:3"},
        {"apache2-S-order.txt", "*:80", "solo.test", "served solo.test vhosts-order.conf:12"},
        {"apache2-S-order.txt", "*:80", "second.test", "served second.test vhosts-order.conf:6"},
    };
    for (const auto& c : cases) {
        const tagLoaded loaded = loadData(c.pDump);
        EXPECT_EQ(takenAt(*loaded.pConfig, c.pAddr, c.pName), c.pTaken) << c.pAddr << " " << c.pName;
    }
}

TEST(ServerDumpTest, LooksUpEachNameAtEachAddressOfTheEntries) {
    struct {
        const char* pListen;
        bool bHttps;
        const char* pName;
        std::vector<std::string> vecFound; // "ENTRIES-ADDRESS FILE:LINE"
    } const cases[] = {
        {"*", true, "tls.test", {"*:443 vhosts-order.conf:16"}},
        {"*", true, "solo.test", {"*:80 vhosts-order.conf:12"}},
        {"*", false, "solo.test", {}},
        {"*:8080", true, "a.test", {"*:8080 vhosts-lone.conf:4"}},
        {"*:8080", false, "a.test", {"*:8080 vhosts-lone.conf:4"}},
        // The twin is at the entries' own address, which no vhost of *:443 shares.
        {"192.0.2.1:8080", true, "tls.test", {}},
    };
    const tagLoaded loaded = loadData("apache2-S-order.txt");
    for (const auto& c : cases) {
        tagLayout layout;
        std::string strReason;
        ASSERT_TRUE(tagAddress::parseListen(c.pListen, layout.listen, strReason)) << c.pListen;
        layout.bHttps = c.bHttps;
        const CServerCheck check(*loaded.pConfig, layout);
        std::vector<tagNameFinding> vecFindings;
        check.lookUp(c.pName, vecFindings);
        std::vector<std::string> vecGot;
        for (const tagNameFinding& finding : vecFindings)
            vecGot.push_back(finding.entries.text() + " " +
                             shortPlace(finding.name.strFile, finding.name.nLine));
        EXPECT_EQ(vecGot, c.vecFound) << c.pListen << " " << c.bHttps << " " << c.pName;
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
        EXPECT_EQ(CApacheConfig::wildMatch(c.pPattern, c.pName), c.bMatch) << c.pPattern << " " << c.pName;
}

TEST(ServerDumpTest, ShadowingAddresses) {
    // The entries' address, and the addresses (with the line of their first vhost) that take
    // requests before them.
    struct {
        const char* pDump;
        const char* pListen;
        std::vector<std::string> vecShadows;
        std::string strOwnFile; // the run's output
    } const cases[] = {
        {"apache2-S-loopback.txt",
         "*",
         {"[::1]:28083:20", "[::1]:28084:23", "127.0.0.1:28084:23", "127.0.0.1:28082:17", "*:28081:10",
          "*:28085:31", "*:28086:34"},
         ""},
        {"apache2-S-loopback.txt", "*:28081", {}, ""},
        {"apache2-S-loopback.txt", "*:28082", {"127.0.0.1:28082:17"}, ""},
        {"apache2-S-loopback.txt", "127.0.0.1:28082", {}, ""},
        {"apache2-S-loopback.txt", "*:80", {}, ""},
        // An IP address without a port takes every port of it.
        {"apache2-S-tricky.txt", "*:80", {"192.0.2.10:*:9"}, ""},
        {"apache2-S-tricky.txt",
         "*",
         {"[2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff]:8443:12", "*:80:1", "192.0.2.10:*:9"},
         ""},
        {"apache2-S-tricky.txt", "192.0.2.10:80", {}, ""},
        // An address whose vhosts are all the run's own shadows nothing.
        {"apache2-S-order.txt", "*", {"*:80:1", "*:443:14"}, kData + "/vhosts-lone.conf"},
    };
    for (const auto& c : cases) {
        tagGenRequest request;
        request.strOutFile = c.strOwnFile;
        const tagLoaded loaded = loadData(c.pDump, request);
        tagAddress listen;
        ASSERT_TRUE(tagAddress::parseListed(c.pListen, listen)) << c.pListen;
        std::vector<std::string> vecGot;
        for (const std::size_t i : loaded.pConfig->shadowing(listen)) {
            const tagVhostInfo vhost = loaded.pConfig->vhost(i);
            vecGot.push_back(vhost.addr.text() + ":" + std::to_string(vhost.nLine));
        }
        EXPECT_EQ(vecGot, c.vecShadows) << c.pDump << " " << c.pListen;
    }
}

TEST(ServerDumpTest, FileNameWithLineBreakLeavesTheRestRead) {
    CScopedTempDir dir;
    const std::string strBroken = dir.path("a\nb.conf");
    writeFile(strBroken, "<VirtualHost *:28801>\n    ServerName one.test\n    ServerAlias a.test *.w.test\n"
                         "</VirtualHost>\n");
    // As Apache prints it: the file's name goes on on the next line.
    const std::string strListing = "VirtualHost configuration:\n"
                                   "*:28801                is a NameVirtualHost\n"
                                   "         default server one.test (" +
                                   strBroken +
                                   ":1)\n"
                                   "         port 28801 namevhost one.test (" +
                                   strBroken +
                                   ":1)\n"
                                   "                 alias a.test\n"
                                   "                 wild alias *.w.test\n"
                                   "         port 28801 namevhost dflt.test (/nonexistent/two.conf:15)\n"
                                   "*:28802                one.test (" +
                                   strBroken +
                                   ":1)\n"
                                   "*:*                    main.invalid (/nonexistent/two.conf:13)\n"
                                   "ServerRoot: \"/tmp\"\n";
    const tagLoaded loaded = loadListing(strListing);
    std::vector<std::string> vecGot;
    for (std::size_t i = 0; i < loaded.pConfig->vhostCount(); ++i)
        vecGot.push_back(describe(*loaded.pConfig, i));
    const std::vector<std::string> vecExpected{
        "*:28801 one.test " + strBroken + ":1 a.test | *.w.test",
        "*:28801 dflt.test /nonexistent/two.conf:15 |",
        "*:28802 one.test " + strBroken + ":1 a.test | *.w.test",
        "* main.invalid /nonexistent/two.conf:13 |",
    };
    EXPECT_EQ(vecGot, vecExpected);
    EXPECT_EQ(takenAt(*loaded.pConfig, "*:28802", "x.w.test"), "wildcard *.w.test a\nb.conf:3");
}

// A vhost is found in its file at the line its opening tag ends on, and its block is read to its
// end, however far past the file's first piece that is.
TEST(ServerDumpTest, VhostBlocksAreReadWhole) {
    const struct {
        std::string strFile;
        int nLine; // as apache2ctl -S lists it
    } cases[] = {
        {"<VirtualHost \\\n    *:28801>\n    ServerAlias late.test\n</VirtualHost>\n", 2},
        {"<VirtualHost *:28801>\n#" + std::string(100000, 'x') +
             "\n    ServerAlias late.test\n</VirtualHost>\n",
         1},
    };
    for (const auto& c : cases) {
        CScopedTempDir dir;
        writeFile(dir.path("big.conf"), c.strFile);
        const tagLoaded loaded = loadListing("VirtualHost configuration:\n*:28801 one.test (" +
                                             dir.path("big.conf") + ":" + std::to_string(c.nLine) + ")\n");
        EXPECT_EQ(takenAt(*loaded.pConfig, "*:28801", "late.test"), "served late.test big.conf:3") << c.nLine;
        EXPECT_TRUE(loaded.vecNotes.empty()) << c.nLine;
    }
}

TEST(ServerDumpTest, RunsOwnFilesAreLeftOutThroughLinks) {
    CScopedTempDir dir;
    std::filesystem::create_directories(dir.dir() / "sites-available");
    std::filesystem::create_directories(dir.dir() / "sites-enabled");
    const auto vhostFile = [&](const std::string& strName, const std::string& strBody) {
        writeFile(dir.path("sites-available/" + strName), strBody);
        std::filesystem::create_symlink("../sites-available/" + strName,
                                        dir.dir() / "sites-enabled" / strName);
        return dir.path("sites-enabled/" + strName);
    };
    // Written by --split: named after the first alias; Apache lists the aliases of the first
    // two, not of the third, alone on its port.
    const std::string strA = vhostFile("a.test.conf", "<VirtualHost *>\n    ServerAlias a.test www.a.test\n"
                                                      "</VirtualHost>\n");
    const std::string strW = vhostFile("*.w.test.conf", "<VirtualHost *>\n    ServerAlias *.w.test\n"
                                                        "</VirtualHost>\n");
    const std::string strB = vhostFile("b.test.conf", "<VirtualHost *:81>\n    ServerAlias b.test\n"
                                                      "</VirtualHost>\n");
    // Not: its first alias is not its file's name.
    const std::string strHand = vhostFile(
        "hand.test.conf", "<VirtualHost *>\n    ServerName hand.test\n    ServerAlias www.hand.test\n"
                          "</VirtualHost>\n");
    // A run's single output.
    const std::string strMany = vhostFile("many.conf", "<VirtualHost *:82>\n    ServerAlias m.test\n"
                                                       "</VirtualHost>\n");
    const std::string strListing = "VirtualHost configuration:\n"
                                   "*:81                   127.0.0.1 (" +
                                   strB +
                                   ":1)\n"
                                   "*:82                   127.0.0.1 (" +
                                   strMany +
                                   ":1)\n"
                                   "*:*                    is a NameVirtualHost\n"
                                   "         port * namevhost 127.0.0.1 (" +
                                   strA +
                                   ":1)\n"
                                   "                 alias a.test\n"
                                   "                 alias www.a.test\n"
                                   "         port * namevhost 127.0.0.1 (" +
                                   strW +
                                   ":1)\n"
                                   "                 wild alias *.w.test\n"
                                   "         port * namevhost hand.test (" +
                                   strHand +
                                   ":1)\n"
                                   "                 alias www.hand.test\n";
    struct {
        std::string strOutFile;
        std::string strSplitDir;
        std::vector<std::string> vecLeft; // the files of the vhosts left
        std::vector<std::string> vecRead;
    } const cases[] = {
        {"-", dir.path("sites-enabled/../sites-available"), {strMany, strHand}, {strB, strHand, strMany}},
        {dir.path("sites-available/many.conf"), "", {strB, strA, strW, strHand}, {strB, strA, strW, strHand}},
        {"-", "", {strB, strMany, strA, strW, strHand}, {strB, strMany, strA, strW, strHand}},
    };
    for (const auto& c : cases) {
        tagGenRequest request;
        request.strOutFile = c.strOutFile;
        request.layout.strSplitDir = c.strSplitDir;
        std::vector<std::string> vecRead;
        const tagLoaded loaded = loadListing(
            strListing, request,
            [&](const std::string& strPath, const CApacheConfig::FnPiece& fnPiece, std::string& strReason) {
                vecRead.push_back(strPath);
                return file::readPieces(strPath, fnPiece, strReason);
            });
        std::vector<std::string> vecLeft;
        for (std::size_t i = 0; i < loaded.pConfig->vhostCount(); ++i)
            vecLeft.emplace_back(loaded.pConfig->vhost(i).strFile);
        EXPECT_EQ(vecLeft, c.vecLeft) << c.strOutFile << " " << c.strSplitDir;
        std::sort(vecRead.begin(), vecRead.end());
        std::vector<std::string> vecExpectedRead = c.vecRead;
        std::sort(vecExpectedRead.begin(), vecExpectedRead.end());
        EXPECT_EQ(vecRead, vecExpectedRead) << c.strOutFile << " " << c.strSplitDir;
        EXPECT_TRUE(loaded.vecNotes.empty());
    }
}

TEST(ServerDumpTest, ServerCommandLimits) {
    CScopedTempDir dir;
    const std::string strPidFile = dir.path("pid");
    struct {
        std::string strCommand;
        std::string strError;
    } const cases[] = {
        {"yes", "the server command 'yes' printed more than 1 MiB"},
        {"sleep 30", "the server command 'sleep 30' did not end within 300 ms"},
        // What it started ends with it.
        {"sleep 30 & echo $! >'" + strPidFile + "'; wait", "did not end within 300 ms"},
        {"exec >&- 2>&-; sleep 30", "did not end within 300 ms"},
        {"echo VirtualHost configuration:; echo no such config >&2; exit 3",
         "failed: exit status 3:\nno such config"},
    };
    for (const auto& c : cases) {
        CApacheConfig config;
        CApacheConfig::tagSource source;
        source.strCommand = c.strCommand;
        source.nMaxOutput = std::size_t{1} << 20;
        source.timeout = std::chrono::milliseconds(300);
        std::string strError;
        EXPECT_FALSE(config.load(source, {}, {}, strError)) << c.strCommand;
        EXPECT_NE(strError.find(c.strError), std::string::npos) << strError;
    }
    // The process the command left behind was killed with it: gone, or waiting for its parent.
    const pid_t pid = std::stoi(readFile(strPidFile));
    bool bGone = false;
    for (int i = 0; i < 200 && !bGone; ++i) {
        const std::string strStat = readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto nClose = strStat.rfind(')');
        bGone = strStat.empty() || (nClose != std::string::npos && strStat.substr(nClose + 2, 1) == "Z");
        if (!bGone)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(bGone) << pid;
    if (!bGone)
        ::kill(pid, SIGKILL);
}

TEST(ServerDumpTest, ConfigWordsAsApacheSplitsThem) {
    // The text, and each directive with its line and words: "LINE NAME|WORD|WORD;".
    struct {
        const char* pText;
        const char* pWords;
    } const cases[] = {
        {"ServerAlias a.test  b.test\tc.test\n", "1 ServerAlias|a.test|b.test|c.test;"},
        {"  ServerAlias a.test \\\n    b.test\nX y\n", "1 ServerAlias|a.test|b.test;3 X|y;"},
        {"ServerAlias a\\\r\nb\r\n", "1 ServerAlias|ab;"},
        {"ServerAlias \"q z.test\" 'x\\'y' \"a\\\\b\" \"c\\d\"\n", "1 ServerAlias|q z.test|x'y|a\\b|c\\d;"},
        {"ServerAlias \"a\"b \"unended\n", "1 ServerAlias|a|b|unended;"},
        {"ServerAlias a\\\\b c\\d \"\"\n", "1 ServerAlias|a\\b|c\\d|;"},
        {"# ServerAlias no.test \\\nServerAlias still.comment\nServerAlias yes.test",
         "3 ServerAlias|yes.test;"},
        {"\xEF\xBB\xBFServerName x\n", "1 \xEF\xBB\xBFServerName|x;"},
        {"\n\n   \n\tServerName x # not a comment\n", "4 ServerName|x|#|not|a|comment;"},
        {"A \\\n\\\n\\\nB\n", "1 A|B;"},
        {"A b\\", "1 A|b\\;"},
        {"# a \\\r\nServerAlias still.comment\r\nServerAlias yes.test\r\n", "3 ServerAlias|yes.test;"},
    };
    class CRecorder : public CConfScanner::CSink {
    public:
        std::string m_str;
        bool onDirective(std::string_view strName, std::int64_t nLine) override {
            m_str += std::to_string(nLine) + " " + std::string(strName);
            return true;
        }
        void onWord(std::string_view strWord) override { m_str += "|" + std::string(strWord); }
        void onDirectiveEnd(std::int64_t) override { m_str += ";"; }
    };
    for (const auto& c : cases) {
        const std::string_view text = c.pText;
        // Whole, and a byte at a time: pieces may end anywhere.
        for (const std::size_t nPiece : {text.size(), std::size_t{1}}) {
            CRecorder recorder;
            CConfScanner scanner(recorder);
            for (std::size_t i = 0; i < text.size(); i += nPiece)
                scanner.feed(text.substr(i, nPiece));
            scanner.finish();
            EXPECT_EQ(recorder.m_str, c.pWords) << c.pText << " in pieces of " << nPiece;
        }
    }
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
        tagAddress addr;
        const bool bParsed = tagAddress::parseListed(c.pText, addr);
        EXPECT_EQ(bParsed, c.pParsed != nullptr) << c.pText;
        if (bParsed && c.pParsed) {
            EXPECT_EQ(addr.text(), c.pParsed) << c.pText;
        }
    }
}

} // namespace
