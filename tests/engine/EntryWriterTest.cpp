#include "engine/EntryWriter.h"

#include <filesystem>
#include <set>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "engine/GenerateThread.h"
#include "engine/NginxDialect.h"

namespace {

class CRecordingTarget : public CGenTarget {
public:
    tagGenResult result;

protected:
    void onDone(tagGenResult r) override { result = std::move(r); }
};

std::string lines(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const auto part : parts) {
        out += part;
        out += "\r\n";
    }
    return out;
}

class EntryWriterTest : public ::testing::Test {
protected:
    tagGenResult run(const std::string& list, const tagLayout& layout, bool bWww = false,
                     std::string prefix = {}, EServerKind eServer = EServerKind::Apache) {
        tagGenRequest request;
        request.eList = EListSource::Text;
        request.strList = list;
        request.strSitePath = "/srv/www";
        request.bWww = bWww;
        request.strPrefix = std::move(prefix);
        request.strOutFile = m_dir.path("out.conf");
        request.layout = layout;
        request.eServer = eServer;
        CRecordingTarget target;
        CGenerateThread thread(target, request);
        thread.Generate(std::stop_source().get_token());
        return target.result;
    }
    std::string output() const { return readFile(m_dir.path("out.conf")); }

    CScopedTempDir m_dir;
};

tagLayout packed(int nPack, tagAddress listen = {}) {
    tagLayout layout;
    layout.nPack = nPack;
    layout.listen = std::move(listen);
    return layout;
}

TEST_F(EntryWriterTest, PackedEntriesHoldEachNameOnce) {
    tagLayout certbotOnly = packed(1);
    certbotOnly.strCertbotFile = m_dir.path("certbot.sh");
    const struct {
        std::string list;
        tagLayout layout;
        bool bWww;
        std::string prefix;
        std::string out;
    } cases[] = {
        // One domain per entry with another address: the default entry but for its tag.
        {"a.com\nb.com", packed(1, {"*", 80}), true, "",
         lines({"<VirtualHost *:80>", "    DocumentRoot /srv/www", "    ServerAlias a.com www.a.com",
                "</VirtualHost>", "<VirtualHost *:80>", "    DocumentRoot /srv/www",
                "    ServerAlias b.com www.b.com", "</VirtualHost>"})},
        {"a.com\nb.com\nc.com", packed(2), false, "",
         lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias a.com",
                "    ServerAlias b.com", "</VirtualHost>", "<VirtualHost *>", "    DocumentRoot /srv/www",
                "    ServerAlias c.com", "</VirtualHost>"})},
        // A name another domain's alias already brought, a domain listed twice, and a prefix that
        // is the www alias: each name once.
        {"a.com\nm.a.com\nA.COM\nb.com", packed(0, {"[2001:db8::1]", 8080}), true, "m",
         lines({"<VirtualHost [2001:db8::1]:8080>", "    DocumentRoot /srv/www",
                "    ServerAlias a.com www.a.com m.a.com", "    ServerAlias www.m.a.com m.m.a.com",
                "    ServerAlias b.com www.b.com m.b.com", "</VirtualHost>"})},
        {"a.com", packed(0), true, "WWW",
         lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias a.com www.a.com",
                "</VirtualHost>"})},
        {"localhost", packed(0), false, "", ""},
        // --certbot alone: the entry stays on its address, with no twin.
        {"a.com", certbotOnly, false, "",
         lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias a.com", "</VirtualHost>"})},
    };
    for (const auto& c : cases) {
        const tagGenResult result = run(c.list, c.layout, c.bWww, c.prefix);
        EXPECT_EQ(result.eFailure, EGenFailure::None);
        EXPECT_EQ(output(), c.out) << c.list;
    }
}

// Every entry's names, in order, from an output: one vector per <VirtualHost>.
std::vector<std::vector<std::string>> entryNames(const std::string& out) {
    std::vector<std::vector<std::string>> entries;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("<VirtualHost"))
            entries.emplace_back();
        if (!line.starts_with("    ServerAlias "))
            continue;
        std::istringstream names(line.substr(16));
        for (std::string name; names >> name;)
            entries.back().push_back(name);
    }
    return entries;
}

TEST_F(EntryWriterTest, CertificateEntriesHoldAtMostAHundredNamesAndNeverPartADomain) {
    std::string list;
    for (int i = 0; i < 250; ++i)
        list += "d" + std::to_string(i) + ".com\n";
    const struct {
        int nPack;
        bool bWww;
        std::string prefix;
        std::size_t nNamesPerEntry; // of each but the last
    } cases[] = {
        {0, true, "m", 99},    {0, false, "", 100}, {0, true, "", 100},  {40, true, "", 80},
        {7, true, "m", 21},    {50, true, "", 100}, {51, true, "", 100}, {100, false, "", 100},
        {101, false, "", 100}, {34, true, "m", 99},
    };
    for (const auto& c : cases) {
        tagLayout layout = packed(c.nPack);
        layout.bHttps = layout.bHttpsAll = true;
        layout.eCertGroup = ECertGroup::Any;
        run(list, layout, c.bWww, c.prefix);
        const auto entries = entryNames(output());
        ASSERT_FALSE(entries.empty());
        std::set<std::string> seen;
        for (std::size_t i = 0; i < entries.size(); i += 2) {
            EXPECT_EQ(entries[i], entries[i + 1]) << "the twin has other names";
            if (i + 2 < entries.size()) {
                EXPECT_EQ(entries[i].size(), c.nNamesPerEntry) << c.nPack;
            }
            EXPECT_LE(entries[i].size(), 100U);
            EXPECT_TRUE(entries[i].front().starts_with("d")) << "a domain parted: " << entries[i].front();
            seen.insert(entries[i].begin(), entries[i].end());
        }
        const std::size_t nNames = 1 + (c.bWww ? 1 : 0) + (c.prefix.empty() ? 0 : 1);
        EXPECT_EQ(seen.size(), 250 * nNames) << "a name is lost or doubled";
    }
}

// Each option's own effect: --https alone puts the plain entry on port 80 unless --listen names a
// port, its twin on 443, and writes no rewrite lines; --redirect adds them to the plain entry only.
TEST_F(EntryWriterTest, HttpsAloneAndWithRedirect) {
    const struct {
        tagAddress listen;
        bool bRedirect;
        std::string plain, twin;
    } cases[] = {
        {{"*", 0}, false, "<VirtualHost *:80>", "<VirtualHost *:443>"},
        {{"*", 8080}, false, "<VirtualHost *:8080>", "<VirtualHost *:443>"},
        {{"[2001:db8::1]", 0}, false, "<VirtualHost [2001:db8::1]:80>", "<VirtualHost [2001:db8::1]:443>"},
        {{"*", 0}, true, "<VirtualHost *:80>", "<VirtualHost *:443>"},
    };
    for (const auto& c : cases) {
        tagLayout layout = packed(1, c.listen);
        layout.bHttps = layout.bHttpsAll = true;
        layout.bRedirect = c.bRedirect;
        run("a.com", layout);
        const std::string out = output();
        const std::size_t nTwin = out.find(c.twin + "\r\n");
        EXPECT_TRUE(out.starts_with(c.plain + "\r\n")) << out;
        ASSERT_NE(nTwin, std::string::npos) << out;
        EXPECT_EQ(out.substr(0, nTwin).find("RewriteEngine on") != std::string::npos, c.bRedirect) << out;
        EXPECT_EQ(out.find("Rewrite", nTwin), std::string::npos) << "the twin redirects: " << out;
    }
}

// nginx's blocks: the listen lines (host "*" on IPv6 too where the system has it), the root, a
// server_name line a domain; the twin's ssl and certificate; the redirect beside the challenges.
TEST_F(EntryWriterTest, NginxBlocksInEveryLayout) {
    const std::string plain80 = lines({"server {", "    listen 80;", "    root \"/srv/www\";"});
    const struct {
        tagLayout layout;
        bool bIpv6;
        std::string expected;
    } cases[] = {
        {packed(1, {"127.0.0.1", 8080}), true,
         lines({"server {", "    listen 127.0.0.1:8080;", "    root \"/srv/www\";",
                "    server_name a.com www.a.com;", "}", "server {", "    listen 127.0.0.1:8080;",
                "    root \"/srv/www\";", "    server_name b.org www.b.org;", "}"})},
        {packed(0), true,
         lines({"server {", "    listen 80;", "    listen [::]:80;", "    root \"/srv/www\";",
                "    server_name a.com www.a.com;", "    server_name b.org www.b.org;", "}"})},
        {[] {
             tagLayout layout = packed(2);
             layout.bHttps = layout.bRedirect = layout.bHttpsAll = true;
             layout.eCertGroup = ECertGroup::Any;
             layout.strCertPath = "/c/{name}/";
             return layout;
         }(),
         false,
         plain80 +
             lines({"    server_name a.com www.a.com;", "    server_name b.org www.b.org;",
                    "    location /.well-known/acme-challenge/ {", "    }", "    location / {",
                    "        return 301 https://$host$request_uri;", "    }", "}", "server {",
                    "    listen 443 ssl;", "    root \"/srv/www\";", "    server_name a.com www.a.com;",
                    "    server_name b.org www.b.org;", "    ssl_certificate \"/c/a.com/fullchain.pem\";",
                    "    ssl_certificate_key \"/c/a.com/privkey.pem\";", "}"})},
    };
    for (const auto& c : cases) {
        tagLayout layout = c.layout;
        layout.bAnyHostIpv6 = c.bIpv6;
        const tagGenResult result = run("a.com\nb.org\nwww.a.com\n", layout, true, "www", EServerKind::Nginx);
        EXPECT_EQ(result.eFailure, EGenFailure::None);
        // A line of 160 bytes on top says what the names need of nginx's hash: here its defaults.
        const std::string strOut = output();
        const std::string strHead = strOut.substr(0, std::min<std::size_t>(strOut.size(), 160));
        EXPECT_TRUE(
            strHead.starts_with("# what these names need in http {}: server_names_hash_bucket_size 64; "
                                "server_names_hash_max_size 512; ") &&
            strHead.ends_with(" \r\n"))
            << strHead;
        EXPECT_EQ(strOut.substr(strHead.size()), c.expected) << layout.nPack;
    }
}

// HTTP/2 in the form of the nginx that `nginx -V` describes, on the HTTPS block alone.
TEST(NginxHttp2Test, FormOfTheInstalledNginx) {
    const std::string module = " configure arguments: --with-http_ssl_module --with-http_v2_module";
    const struct {
        std::string version;
        EHttp2 expected;
        const char* twinLines; // between the listen line and root
    } cases[] = {
        {"nginx version: nginx/1.22.1\nbuilt with OpenSSL 3.0.9" + module, EHttp2::ListenParam,
         "    listen 443 ssl http2;\r\n"},
        {"nginx version: nginx/1.25.0" + module, EHttp2::ListenParam, "    listen 443 ssl http2;\r\n"},
        {"nginx version: nginx/1.25.1" + module, EHttp2::Directive,
         "    listen 443 ssl;\r\n    http2 on;\r\n"},
        {"nginx version: nginx/1.27.3 (Ubuntu)" + module, EHttp2::Directive,
         "    listen 443 ssl;\r\n    http2 on;\r\n"},
        {"nginx version: nginx/2.0" + module, EHttp2::Directive, "    listen 443 ssl;\r\n    http2 on;\r\n"},
        {"nginx version: openresty/1.21.4.1" + module, EHttp2::ListenParam, "    listen 443 ssl http2;\r\n"},
        {"nginx version: nginx/1.26.2 configure arguments: --with-http_ssl_module", EHttp2::Off,
         "    listen 443 ssl;\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CNginxDialect::http2Of(c.version), c.expected) << c.version;
        tagLayout layout;
        layout.bHttps = true;
        layout.bAnyHostIpv6 = false;
        layout.eHttp2 = c.expected;
        const CNginxDialect dialect({"/srv", "", false, "", {}}, layout);
        CByteBuffer twin;
        dialect.appendOpening(true, twin);
        EXPECT_EQ(std::string(twin.view()),
                  "server {\r\n" + std::string(c.twinLines) + "    root \"/srv\";\r\n")
            << c.version;
        CByteBuffer plain;
        dialect.appendOpening(false, plain);
        EXPECT_EQ(std::string(plain.view()), "server {\r\n    listen 80;\r\n    root \"/srv\";\r\n");
    }
}

TEST_F(EntryWriterTest, HttpsTwinRedirectAndCertbotLines) {
    tagLayout layout = packed(2, {"192.0.2.10", 8080});
    layout.bHttps = layout.bHttpsAll = true;
    layout.eCertGroup = ECertGroup::Any;
    layout.bRedirect = true;
    layout.strCertPath = "/etc/ssl/it's {name}/";
    layout.strCertbotFile = m_dir.path("certbot.sh");
    // The last entry holds wildcards alone: it gets no certbot line.
    const tagGenResult result = run("a.com\n*.b.com\nc.com\n*.d.com\n*.e.com", layout, true);
    EXPECT_EQ(result.nEntries, 6);
    const std::string redirect = "    RewriteEngine on\r\n"
                                 "    RewriteCond %{REQUEST_URI} !^/\\.well-known/acme-challenge/\r\n"
                                 "    RewriteCond \"%{HTTP_HOST} %{THE_REQUEST}\" \"^(\\[[^]]+\\]|[^: "
                                 "]+)(:[0-9]*)? [^ ]+ (/[^ ?]*)\"\r\n"
                                 "    RewriteRule ^ https://%1%3 [R=301,L,NE]\r\n";
    const std::string first =
        lines({"<VirtualHost 192.0.2.10:8080>", "    DocumentRoot /srv/www",
               "    ServerAlias a.com www.a.com", "    ServerAlias *.b.com www.*.b.com"}) +
        redirect +
        lines({"</VirtualHost>", "<VirtualHost 192.0.2.10:443>", "    DocumentRoot /srv/www",
               "    ServerAlias a.com www.a.com", "    ServerAlias *.b.com www.*.b.com", "    SSLEngine on",
               "    SSLCertificateFile \"/etc/ssl/it's a.com/fullchain.pem\"",
               "    SSLCertificateKeyFile \"/etc/ssl/it's a.com/privkey.pem\"", "</VirtualHost>"});
    EXPECT_EQ(output().substr(0, first.size()), first);
    // The webroot method cannot prove a wildcard: those names get no -d, and the run says so.
    EXPECT_EQ(readFile(layout.strCertbotFile),
              "certbot certonly --webroot -w /srv/www --cert-name a.com -d a.com -d www.a.com\n"
              "certbot certonly --webroot -w /srv/www --cert-name c.com -d c.com -d www.c.com\n");
    EXPECT_EQ(result.nWildcards, 6);
}

TEST_F(EntryWriterTest, SplitWritesAFilePerEntryAndLeavesOthersAlone) {
    const std::string dir = m_dir.path("sites");
    std::filesystem::create_directory(dir);
    writeFile(dir + "/other.conf", "mine");
    writeFile(dir + "/a.com.conf", "previous");
    tagLayout layout = packed(2);
    layout.strSplitDir = dir;
    // c.com is listed again where it would name the third entry: the second file of that name
    // would take the place of the first.
    const tagGenResult result = run("a.com\nb.com\nc.com\nd.com\nC.com\ne.com", layout);
    EXPECT_EQ(result.eFailure, EGenFailure::None);
    EXPECT_EQ(result.nFiles, 3);
    const struct {
        std::string file;
        std::string content;
    } files[] = {
        {"other.conf", "mine"},
        {"a.com.conf", lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias a.com",
                              "    ServerAlias b.com", "</VirtualHost>"})},
        {"c.com.conf", lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias c.com",
                              "    ServerAlias d.com", "</VirtualHost>"})},
        {"e.com.conf",
         lines({"<VirtualHost *>", "    DocumentRoot /srv/www", "    ServerAlias e.com", "</VirtualHost>"})},
    };
    for (const auto& f : files)
        EXPECT_EQ(readFile(dir + "/" + f.file), f.content) << f.file;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4);
}

// The split directory is written, never what a link or a pipe in it leads to; every name that
// can name a file does, however long, and a temporary name is never longer than the file's.
TEST_F(EntryWriterTest, SplitReplacesLinksAndPipesInItsDirectory) {
    const std::string dir = m_dir.path("sites");
    std::filesystem::create_directory(dir);
    writeFile(m_dir.path("victim.txt"), "victim");
    std::filesystem::create_symlink("../victim.txt", dir + "/a.com.conf");
    ASSERT_EQ(::mkfifo((dir + "/b.com.conf").c_str(), 0600), 0);
    const std::string labels =
        std::string(63, 'x') + "." + std::string(63, 'y') + "." + std::string(63, 'z') + ".";
    const std::string name250 = labels + std::string(250 - labels.size(), 'w');
    tagLayout layout;
    layout.strSplitDir = dir;
    const tagGenResult result = run("a.com\nb.com\n" + name250 + "\n" + name250 + "w\n", layout);
    EXPECT_EQ(result.eFailure, EGenFailure::None);
    EXPECT_EQ(result.nFiles, 3);
    EXPECT_EQ(result.nRefused, 1) << "a name too long to name a file";
    EXPECT_EQ(readFile(m_dir.path("victim.txt")), "victim");
    for (const std::string& file : {std::string("a.com"), std::string("b.com"), name250}) {
        EXPECT_TRUE(
            std::filesystem::is_regular_file(std::filesystem::symlink_status(dir + "/" + file + ".conf")))
            << file;
        EXPECT_NE(readFile(dir + "/" + file + ".conf").find("ServerAlias " + file + "\r\n"),
                  std::string::npos);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 3) << "a temporary file is left";
}

TEST_F(EntryWriterTest, SplitIntoWhatIsNoDirectoryFailsNamingIt) {
    writeFile(m_dir.path("file"), "x");
    for (const std::string& dir : {m_dir.path("missing"), m_dir.path("file")}) {
        tagLayout layout;
        layout.strSplitDir = dir;
        const tagGenResult result = run("a.com", layout);
        EXPECT_EQ(result.eFailure, EGenFailure::WriteFile);
        EXPECT_EQ(result.strPath, dir);
    }
}

// A file that cannot be written stops the run: the run says which one, no file of it takes its
// place, and nothing of it is left.
TEST_F(EntryWriterTest, SplitStopsAtAFileThatCannotBeWritten) {
    const std::string dir = m_dir.path("sites");
    std::filesystem::create_directories(dir + "/b.com.conf");
    writeFile(dir + "/a.com.conf", "previous");
    tagLayout layout;
    layout.strSplitDir = dir;
    const tagGenResult result = run("a.com\nb.com\nc.com", layout);
    EXPECT_EQ(result.eFailure, EGenFailure::WriteFile);
    EXPECT_EQ(result.strPath, dir + "/b.com.conf");
    EXPECT_EQ(result.nFiles, 0);
    EXPECT_EQ(readFile(dir + "/a.com.conf"), "previous");
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/b.com.conf"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "a temporary file is left";
}

// Two names are one only when their texts are, in any case: one hash for different names finds
// both apart; a full set forgets new names but never takes a new name for one it holds.
TEST(NameSetTest, TellsNamesApartByTheirTextWithinItsBudget) {
    // One arena piece and the first table: 768 names fit.
    CNameSet names(CNameSet::Full, 0, 1024 * 1024 + 4 * 1024);
    bool bAdded = false;
    for (int i = 0; i < 800; ++i)
        names.insert("n" + std::to_string(i) + ".com", i + 1, bAdded);
    EXPECT_TRUE(names.full());
    const struct {
        std::string name;
        std::uint64_t nHash; // 0: the set's own
        std::int64_t nFound; // the line of the record found, 0 when none
    } cases[] = {
        {"n0.com", 0, 1},  {"N767.COM", 0, 768},        {"n768.com", 0, 0},          {"n0.co", 0, 0},
        {"n0.com.", 0, 0}, {"shop.example.com", 42, 0}, {"3j59.vx0btth69j6", 42, 0}, {"n1.com", 0, 2},
    };
    for (const auto& c : cases) {
        const std::uint64_t nHash = c.nHash ? c.nHash : names.hash(c.name);
        const CNameSet::CRecord record = names.find(c.name, nHash);
        EXPECT_EQ(record ? record.line() : 0, c.nFound) << c.name;
    }
    // Two names of one hash, in a set with room: both kept, each found by its own text.
    CNameSet roomy(CNameSet::LineOnly);
    roomy.insert("shop.example.com", 42, 1, bAdded);
    EXPECT_TRUE(bAdded);
    const CNameSet::CRecord second = roomy.insert("3j59.vx0btth69j6", 42, 2, bAdded);
    EXPECT_TRUE(bAdded);
    EXPECT_EQ(second.line(), 2);
    EXPECT_EQ(roomy.find("SHOP.example.COM", 42).line(), 1);
    // The first and last letters, in either case on either side.
    roomy.insert("A-z.Z-a", 3, bAdded);
    EXPECT_EQ(roomy.find("a-Z.z-A").line(), 3);
}

TEST(ListenAddressTest, AcceptsTheFourFormsOnly) {
    const struct {
        std::string text;
        bool bOk;
        std::string written;
    } cases[] = {
        {"*", true, "*"},
        {"*:80", true, "*:80"},
        {"*:65535", true, "*:65535"},
        {"192.0.2.10:80", true, "192.0.2.10:80"},
        {"[2001:db8::1]:80", true, "[2001:db8::1]:80"},
        {"[::ffff:192.0.2.1]:443", true, "[::ffff:192.0.2.1]:443"},
        {"", false, ""},
        {"*:0", false, ""},
        {"*:65536", false, ""},
        {"*:080", false, ""},
        {"*:+80", false, ""},
        {"*:", false, ""},
        {"192.0.2.10", false, ""},
        {"192.0.2.256:80", false, ""},
        {"192.0.2:80", false, ""},
        {"example.com:80", false, ""},
        {"2001:db8::1:80", false, ""},
        {"[2001:db8::g]:80", false, ""},
        {"[192.0.2.1]:80", false, ""},
        {"[fe80::1%eth0]:80", false, ""},
        {"* :80", false, ""},
    };
    for (const auto& c : cases) {
        tagAddress address;
        std::string reason;
        EXPECT_EQ(tagAddress::parseListen(c.text, address, reason), c.bOk) << c.text;
        if (c.bOk)
            EXPECT_EQ(address.text(), c.written);
        else
            EXPECT_FALSE(reason.empty()) << c.text;
    }
}

} // namespace

// An HTTPS twin only where both files of its certificate can be read, and the redirect only beside
// it; --https=all writes every twin.
TEST_F(EntryWriterTest, HttpsTwinOnlyWhereTheCertificateIs) {
    // Certificates in a directory each (listed once), in directories named otherwise (each looked
    // for), and under a directory that does not exist.
    for (const std::string strDir : {"a.com", "a.com.d", "b.com", "b.com.d"})
        std::filesystem::create_directories(m_dir.path("live/" + strDir));
    for (const char* pFile :
         {"live/a.com/fullchain.pem", "live/a.com/privkey.pem", "live/a.com.d/fullchain.pem",
          "live/a.com.d/privkey.pem", "live/b.com/fullchain.pem", "live/b.com.d/fullchain.pem"})
        writeFile(m_dir.path(pFile), "pem");
    const struct {
        std::string strPattern;
        bool bAll;
        const char* pTwins; // the first domains of the entries with a twin
    } cases[] = {
        {"live/{name}", false, "a.com"},
        {"live/{name}.d/", false, "a.com"},
        {"gone/{name}", false, ""},
        {"live/{name}", true, "a.com b.com c.com"},
    };
    for (const auto& c : cases) {
        tagLayout layout;
        layout.bHttps = layout.bRedirect = true;
        layout.bHttpsAll = c.bAll;
        layout.strCertPath = m_dir.path(c.strPattern);
        const tagGenResult result = run("a.com\nb.com\nc.com\n", layout, true);
        const std::string out = output();
        std::int64_t nTwins = 0;
        for (const char* pName : {"a.com", "b.com", "c.com"}) {
            const bool bTwin = std::string_view(c.pTwins).find(pName) != std::string_view::npos;
            nTwins += bTwin ? 1 : 0;
            const std::size_t nPlain = out.find(
                "<VirtualHost *:80>\r\n    DocumentRoot /srv/www\r\n    ServerAlias " + std::string(pName));
            ASSERT_NE(nPlain, std::string::npos) << pName << "\n" << out;
            const std::size_t nEnd = out.find("</VirtualHost>", nPlain);
            EXPECT_EQ(out.substr(nPlain, nEnd - nPlain).find("RewriteEngine") != std::string::npos, bTwin)
                << c.strPattern << " " << pName;
            EXPECT_EQ(out.find("<VirtualHost *:443>\r\n    DocumentRoot /srv/www\r\n    ServerAlias " +
                               std::string(pName)) != std::string::npos,
                      bTwin)
                << c.strPattern << " " << pName;
        }
        EXPECT_EQ(result.nEntries, 3 + nTwins);
        EXPECT_EQ(result.nWaitingEntries, 3 - nTwins);
        EXPECT_EQ(result.nWaitingNames, 2 * (3 - nTwins));
        if (c.strPattern != "gone/{name}" && !c.bAll) {
            ASSERT_EQ(result.vecWaiting.size(), 2u);
            EXPECT_EQ(result.vecWaiting[0].nLine, 2);
            EXPECT_TRUE(result.vecWaiting[0].strText.starts_with("b.com www.b.com ("))
                << result.vecWaiting[0].strText;
            EXPECT_NE(result.vecWaiting[0].strText.find("privkey.pem: "), std::string::npos)
                << result.vecWaiting[0].strText;
            EXPECT_NE(result.vecWaiting[1].strText.find("/fullchain.pem: "), std::string::npos)
                << result.vecWaiting[1].strText;
        }
    }
}
