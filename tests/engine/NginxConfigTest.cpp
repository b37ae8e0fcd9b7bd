#include <filesystem>
#include <memory>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "engine/GenRequest.h"
#include "engine/NginxConfig.h"

namespace {

const std::string kData = KELVANE_TEST_DATA;

struct tagLoaded {
    std::unique_ptr<CNginxConfig> pConfig;
    std::vector<std::string> vecNotes;
};

// A dump read as it comes from a command, nPiece bytes at a time.
tagLoaded loadDump(const std::string& strDump, std::size_t nPiece, const tagGenRequest& request = {}) {
    tagLoaded loaded{std::make_unique<CNginxConfig>(), {}};
    for (std::size_t i = 0; i < strDump.size(); i += nPiece)
        loaded.pConfig->feed(std::string_view(strDump).substr(i, nPiece));
    std::string strReason;
    EXPECT_TRUE(loaded.pConfig->endDump(strReason)) << strReason;
    loaded.pConfig->finish(request, [&](const std::string& strNote) { loaded.vecNotes.push_back(strNote); });
    return loaded;
}

tagLoaded loadData(const std::string& strFile, const tagGenRequest& request = {}) {
    return loadDump(readFile(kData + "/" + strFile), 7, request);
}

std::string shortPlace(std::string_view strFile, std::int64_t nLine) {
    return std::filesystem::path(strFile).filename().string() + ":" + std::to_string(nLine);
}

tagAddress address(const char* pAddr) {
    tagAddress addr;
    EXPECT_TRUE(tagAddress::parseListed(pAddr, addr)) << pAddr;
    return addr;
}

// A vhost in one line: "ADDR NAME FILE:LINE|name FILE:LINE|..."
std::string describe(const CServerConfig& config, std::size_t nVhost) {
    const tagVhostInfo vhost = config.vhost(nVhost);
    std::string str =
        vhost.addr.text() + " " + std::string(vhost.strName) + " " + shortPlace(vhost.strFile, vhost.nLine);
    config.forEachName(nVhost, [&](const tagVhostName& name) {
        str += "|" + std::string(name.bWild ? "~" : "") + std::string(name.strName) + " " +
               shortPlace(name.strFile, name.nLine);
    });
    return str;
}

TEST(NginxConfigTest, ReadsEveryBlock) {
    struct {
        const char* pFile;
        std::vector<std::string> vecVhosts;
    } const cases[] = {
        // Captured from a private nginx 1.22: a name from an included snippet, a listen on "80" and
        // "[::]:80" of one block, a server in an upstream, a name two blocks have.
        {"nginx-T-loopback.txt",
         {"127.0.0.1:29000 first.test nginx.conf:10|first.test nginx.conf:11|www.first.test nginx.conf:11"
          "|~.dot.test names.conf:2|~*.lead.test names.conf:2",
          "127.0.0.1:29000 first.test b.conf:2|first.test b.conf:3|second.test b.conf:3",
          "*:29000 Upper.Test a.conf:2|Upper.Test a.conf:4|~tail.* a.conf:4"
          "|~~^(?<sub>[a-z]+)\\.re\\.test$ a.conf:4"}},
        // Text before the first file, quotes and escapes, '#' and ';' in words, comments, a server
        // in stream and in upstream, several listens and a UNIX socket, localhost, a name over two
        // lines, a block without listen, includes relative and absolute, CR LF.
        {"nginx-T-tricky.txt",
         {"127.0.0.1:8080 crlf.test a.conf:2|crlf.test a.conf:3|Second.CRLF.test a.conf:3",
          "127.0.0.1:8080 .example.com nginx.conf:17|~.example.com nginx.conf:19"
          "|~~^www\\d+\\.example\\.net$ nginx.conf:19| nginx.conf:19|~mail.* nginx.conf:22"
          "|~*.shop.test nginx.conf:22",
          "[::1]:8080 crlf.test a.conf:2|crlf.test a.conf:3|Second.CRLF.test a.conf:3",
          "[::1]:8080 example.com b.conf:2|example.com b.conf:4|www.example.com b.conf:4"
          "|~*.example.com b.conf:4|x.example.com b.conf:4",
          "*:8080 example.com b.conf:3|example.com b.conf:4|www.example.com b.conf:4"
          "|~*.example.com b.conf:4|x.example.com b.conf:4",
          "*:8080 .example.com nginx.conf:16|~.example.com nginx.conf:19"
          "|~~^www\\d+\\.example\\.net$ nginx.conf:19| nginx.conf:19|~mail.* nginx.conf:22"
          "|~*.shop.test nginx.conf:22",
          "*:8080 ~(?P<name>.+)\\.re\\.test abs.conf:2|~~(?P<name>.+)\\.re\\.test abs.conf:3"
          "|~~^(?i)inline\\.test$ abs.conf:3|late.test abs.conf:3",
          "*:80 q;uote.test nginx.conf:11|q;uote.test nginx.conf:12|sq#.test nginx.conf:12"
          "|esc\"aped.test nginx.conf:12|semi\\;colon.test nginx.conf:12|a#b.test nginx.conf:12"}},
    };
    for (const auto& c : cases) {
        const std::string strDump = readFile(kData + "/" + c.pFile);
        // Whole, in pieces, and a byte at a time: pieces may end anywhere.
        for (const std::size_t nPiece : {strDump.size(), std::size_t{7}, std::size_t{1}}) {
            const tagLoaded loaded = loadDump(strDump, nPiece);
            std::vector<std::string> vecGot;
            for (std::size_t i = 0; i < loaded.pConfig->vhostCount(); ++i)
                vecGot.push_back(describe(*loaded.pConfig, i));
            EXPECT_EQ(vecGot, c.vecVhosts) << c.pFile << " in pieces of " << nPiece;
        }
    }
}

// The block whose name takes a request for a name at an address, by nginx's rule (takes), and
// the one that keeps the name once entries there have it too (takesFromEntries).
TEST(NginxConfigTest, FindsTheBlockThatTakesAName) {
    struct {
        const char* pFile;
        const char* pAddr;
        const char* pName;
        const char* pTakes; // "served NAME FILE:LINE", "wildcard ...", or "" for none
        const char* pFromEntries;
    } const cases[] = {
        // The first block of an address keeps a name two have.
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "first.test", "served first.test nginx.conf:11",
         "served first.test nginx.conf:11"},
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "second.test", "served second.test b.conf:3",
         "served second.test b.conf:3"},
        // ".dot.test" is the exact name and the leading wildcard.
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "dot.test", "served .dot.test names.conf:2",
         "served .dot.test names.conf:2"},
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "a.b.dot.test", "wildcard .dot.test names.conf:2", ""},
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "a.lead.test", "wildcard *.lead.test names.conf:2", ""},
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "*.lead.test", "served *.lead.test names.conf:2",
         "served *.lead.test names.conf:2"},
        {"nginx-T-loopback.txt", "127.0.0.1:29000", "*.dot.test", "served .dot.test names.conf:2",
         "served .dot.test names.conf:2"},
        {"nginx-T-loopback.txt", "*:29000", "upper.test", "served Upper.Test a.conf:4",
         "served Upper.Test a.conf:4"},
        {"nginx-T-loopback.txt", "*:29000", "tail.example", "wildcard tail.* a.conf:4", ""},
        {"nginx-T-loopback.txt", "*:29000", "tail.*", "served tail.* a.conf:4", "served tail.* a.conf:4"},
        {"nginx-T-loopback.txt", "*:29000", "ABC.re.TEST", "wildcard ~^(?<sub>[a-z]+)\\.re\\.test$ a.conf:4",
         ""},
        {"nginx-T-loopback.txt", "*:29000", "1.re.test", "", ""},
        // A block takes names only at its own address.
        {"nginx-T-loopback.txt", "*:29000", "first.test", "", ""},
        {"nginx-T-loopback.txt", "127.0.0.2:29000", "first.test", "", ""},
        // The exact name of an earlier block before a later block's ".example.com".
        {"nginx-T-tricky.txt", "*:8080", "Example.COM", "served example.com b.conf:4",
         "served example.com b.conf:4"},
        {"nginx-T-tricky.txt", "127.0.0.1:8080", "example.com", "served .example.com nginx.conf:19",
         "served .example.com nginx.conf:19"},
        // The longest leading wildcard, then the longest trailing one, then the first regex.
        {"nginx-T-tricky.txt", "*:8080", "a.b.example.com", "wildcard *.example.com b.conf:4", ""},
        {"nginx-T-tricky.txt", "*:8080", "x.shop.test", "wildcard *.shop.test nginx.conf:22", ""},
        {"nginx-T-tricky.txt", "*:8080", "mail.shop.test", "wildcard *.shop.test nginx.conf:22", ""},
        {"nginx-T-tricky.txt", "*:8080", "mail.example.org", "wildcard mail.* nginx.conf:22", ""},
        {"nginx-T-tricky.txt", "*:8080", "WWW12.example.net",
         "wildcard ~^www\\d+\\.example\\.net$ nginx.conf:19", ""},
        // A named group, as PCRE writes it.
        {"nginx-T-tricky.txt", "*:8080", "a.b.re.test", "wildcard ~(?P<name>.+)\\.re\\.test abs.conf:3", ""},
        // A regex std::regex cannot read takes every name that comes to it.
        {"nginx-T-tricky.txt", "*:8080", "other.test", "wildcard ~^(?i)inline\\.test$ abs.conf:3", ""},
        {"nginx-T-tricky.txt", "*:8080", "late.test", "served late.test abs.conf:3",
         "served late.test abs.conf:3"},
        {"nginx-T-tricky.txt", "*:8080", "", "served  nginx.conf:19", "served  nginx.conf:19"},
        {"nginx-T-tricky.txt", "127.0.0.1:8080", "second.crlf.test", "served Second.CRLF.test a.conf:3",
         "served Second.CRLF.test a.conf:3"},
        {"nginx-T-tricky.txt", "[::1]:8080", "crlf.test", "served crlf.test a.conf:3",
         "served crlf.test a.conf:3"},
        {"nginx-T-tricky.txt", "127.0.0.1:8080", "commented.test", "", ""},
        // Words as nginx reads them; the entries of a run without a port are on port 80.
        {"nginx-T-tricky.txt", "*", "Q;UOTE.test", "served q;uote.test nginx.conf:12",
         "served q;uote.test nginx.conf:12"},
        {"nginx-T-tricky.txt", "*:80", "esc\"aped.test", "served esc\"aped.test nginx.conf:12",
         "served esc\"aped.test nginx.conf:12"},
        // An escaped ';' ends no directive; nginx keeps the '\\' before it.
        {"nginx-T-tricky.txt", "*:80", "a#b.test", "served a#b.test nginx.conf:12",
         "served a#b.test nginx.conf:12"},
        {"nginx-T-tricky.txt", "*:80", "semi\\;colon.test", "served semi\\;colon.test nginx.conf:12",
         "served semi\\;colon.test nginx.conf:12"},
        {"nginx-T-tricky.txt", "*:80", "sq#.test", "served sq#.test nginx.conf:12",
         "served sq#.test nginx.conf:12"},
        {"nginx-T-tricky.txt", "*:80", "in.comment.test", "", ""},
        {"nginx-T-tricky.txt", "*:12345", "x.test", "", ""},
    };
    const auto found = [](bool bFound, const tagTaken& taken) {
        if (!bFound)
            return std::string();
        return std::string(taken.name.bWild ? "wildcard " : "served ") + std::string(taken.name.strName) +
               " " + shortPlace(taken.name.strFile, taken.name.nLine);
    };
    for (const auto& c : cases) {
        const tagLoaded loaded = loadData(c.pFile);
        tagTaken taken;
        const tagAddress addr = address(c.pAddr);
        EXPECT_EQ(found(loaded.pConfig->takes(addr, c.pName, taken), taken), c.pTakes)
            << c.pAddr << " " << c.pName;
        EXPECT_EQ(found(loaded.pConfig->takesFromEntries(addr, c.pName, taken), taken), c.pFromEntries)
            << c.pAddr << " " << c.pName;
    }
}

// Per address of the entries: the blocks of IP addresses on their port that take every request
// there first (each address's default server), and the default server of their own address.
TEST(NginxConfigTest, ShadowsAndDefaultServers) {
    struct {
        const char* pFile;
        const char* pListen;
        std::string strOwnFile; // the run's output
        std::vector<std::string> vecShadows;
        std::string strDefault; // "FILE:LINE marked|first", "" for none
    } const cases[] = {
        {"nginx-T-tricky.txt", "*:8080", "", {"nginx.conf:17", "a.conf:2"}, "abs.conf:2 marked"},
        {"nginx-T-tricky.txt", "127.0.0.1:8080", "", {}, "nginx.conf:17 marked"},
        {"nginx-T-tricky.txt", "[::1]:8080", "", {}, "a.conf:2 first"},
        {"nginx-T-tricky.txt", "*", "", {}, "nginx.conf:11 first"},
        {"nginx-T-tricky.txt", "*:443", "", {}, ""},
        // The run's own output is left out: its blocks shadow nothing and are no default.
        {"nginx-T-tricky.txt",
         "*:8080",
         "/etc/nginx/conf.d/a.conf",
         {"nginx.conf:17", "b.conf:2"},
         "abs.conf:2 marked"},
        {"nginx-T-tricky.txt", "[::1]:8080", "/etc/nginx/conf.d/a.conf", {}, "b.conf:2 first"},
        {"nginx-T-loopback.txt", "*:29000", "", {"nginx.conf:10"}, "a.conf:2 first"},
        {"nginx-T-loopback.txt", "*:29000", "/tmp/ncap/sites/a.conf", {"nginx.conf:10"}, ""},
    };
    for (const auto& c : cases) {
        tagGenRequest request;
        request.strOutFile = c.strOwnFile;
        const tagLoaded loaded = loadData(c.pFile, request);
        const tagAddress listen = address(c.pListen);
        std::vector<std::string> vecGot;
        for (const std::size_t i : loaded.pConfig->shadowing(listen))
            vecGot.push_back(shortPlace(loaded.pConfig->vhost(i).strFile, loaded.pConfig->vhost(i).nLine));
        EXPECT_EQ(vecGot, c.vecShadows) << c.pFile << " " << c.pListen << " " << c.strOwnFile;
        std::size_t nVhost = 0;
        bool bMarked = false;
        std::string strDefault;
        if (loaded.pConfig->defaultServer(listen, nVhost, bMarked))
            strDefault =
                shortPlace(loaded.pConfig->vhost(nVhost).strFile, loaded.pConfig->vhost(nVhost).nLine) +
                (bMarked ? " marked" : " first");
        EXPECT_EQ(strDefault, c.strDefault) << c.pFile << " " << c.pListen << " " << c.strOwnFile;
    }
}

TEST(NginxConfigTest, NotesAndRefusals) {
    // A regular expression std::regex cannot read is said once, with its place, however many
    // addresses its block has.
    const tagLoaded loaded = loadData("nginx-T-tricky.txt");
    ASSERT_EQ(loaded.vecNotes.size(), 1U);
    EXPECT_EQ(loaded.vecNotes[0].find("/etc/nginx/abs.conf:3: the regular expression ~^(?i)inline"), 0U)
        << loaded.vecNotes[0];
    // Text that holds no file of nginx's is not a dump.
    for (const char* pText : {"", "nginx: [emerg] unknown directive\n", "#configuration file /a:\n",
                              "x # configuration file /a.conf:\n"}) {
        CNginxConfig config;
        config.feed(pText);
        std::string strReason;
        EXPECT_FALSE(config.endDump(strReason)) << pText;
    }
}

} // namespace

// A regular expression the library cannot take safely is said once and counted as taking every
// name no exact name or wildcard takes, never given to the library.
TEST(NginxConfigTest, RegexesTheLibraryCannotTakeAreNotGivenToIt) {
    for (const std::string& pattern : std::vector<std::string>{
             "~^a{99999999999}$", "~(x)\\\\799999999999", "~^(" + std::string(2000, 'a') + ")$", "~^a[$"}) {
        const tagLoaded loaded =
            loadDump("# configuration file /n.conf:\nhttp {\n    server {\n        listen 80;\n"
                     "        server_name \"" +
                         pattern + "\";\n    }\n}\n",
                     5);
        ASSERT_EQ(loaded.vecNotes.size(), 1u) << pattern;
        EXPECT_NE(loaded.vecNotes[0].find("cannot be read here"), std::string::npos) << loaded.vecNotes[0];
        tagAddress addr;
        ASSERT_TRUE(tagAddress::parseListed("*:80", addr));
        tagTaken taken;
        EXPECT_TRUE(loaded.pConfig->takes(addr, "any.test", taken)) << pattern;
    }
}
