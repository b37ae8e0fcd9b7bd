#include <filesystem>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "cli/ShellRun.h"

namespace {

const std::string kCerts = std::string(KELVANE_TEST_DATA) + "/certs/";

// Certificates as certbot keeps them, one directory each: example.test's names (with a wildcard),
// an expired one, a broken one, one the list no longer has; and what is not a certificate.
void makeLive(const CScopedTempDir& dir) {
    const auto put = [&dir](const char* pName, std::string_view bytes) {
        std::filesystem::create_directories(dir.dir() / "live" / pName);
        writeFile(dir.path(std::string("live/") + pName + "/fullchain.pem"), bytes);
    };
    put("example.test", readFile(kCerts + "fullchain.pem"));
    put("old.example.test", readFile(kCerts + "expired.pem"));
    put("broken.test", readFile(kCerts + "san.pem").substr(0, 300));
    put("gone.example.test", readFile(kCerts + "cn-only.pem"));
    std::filesystem::create_directories(dir.dir() / "live" / "empty.test");
    writeFile(dir.path("live/README"), "not a certificate\n");
}

// Runs `kelvane-cli certs status -s /srv/www --cert-path DIR/live/{name} ARGS LIST`; "LIST" and
// "LIVE" in the output stand for the list's path and the certificates' directory.
tagShellRun runStatus(const CScopedTempDir& dir, const std::string& strList, const std::string& strArgs,
                      const char* pListPath = nullptr) {
    const std::string strListPath = pListPath ? pListPath : dir.path("list.txt");
    const std::string strLive = dir.path("live");
    if (!pListPath)
        writeFile(strListPath, strList);
    const std::string strCommand = std::string(KELVANE_CLI_PATH) + " certs status -s /srv/www --cert-path '" +
                                   strLive + "/{name}' " + strArgs + " '" + strListPath + "' 2>/dev/null";
    tagShellRun result = runShell(strCommand);
    for (const auto& [strFrom, strTo] : {std::pair{strListPath, "LIST"}, std::pair{strLive, "LIVE"}})
        for (std::size_t nAt; (nAt = result.out.find(strFrom)) != std::string::npos;)
            result.out.replace(nAt, strFrom.size(), strTo);
    return result;
}

TEST(CertStatusTest, ReportLines) {
    const std::string strStray =
        "LIVE/gone.example.test: not in the list: a certificate no group of the list names\n";
    const std::string strExampleOk = "example.test: ok: expires 2027-04-01T12:00:00Z (114 days left); "
                                     "registered example.test; covers example.test www.example.test\n";
    struct {
        const char* pList;
        const char* pArgs;
        std::string strOut;
        int nExit;
    } const cases[] = {
        // Each kind of item once, and the summary.
        {"example.test\nold.example.test\nmissing.test\nbroken.test\n", "-w --now 2026-12-08T10:00:00Z",
         strExampleOk +
             "old.example.test: expired: expired 2025-04-01T00:00:00Z (616 days ago); registered "
             "example.test; covers old.example.test\n"
             "missing.test: missing: registered missing.test; LIVE/missing.test/fullchain.pem: No such file "
             "or directory\n"
             "broken.test: unreadable: registered broken.test; LIVE/broken.test/fullchain.pem: truncated\n"
             "LIST:2: not covered: www.old.example.test: not on the certificate old.example.test\n"
             "example.test: not in the list: *.shop.example.test is on its certificate\n" +
             strStray +
             "summary: 4 certificates: 1 ok, 0 expiring within 30 days, 1 expired, 0 not yet valid, 1 "
             "missing, 1 unreadable; 1 name not covered; not in the list: 1 name on certificates, 1 "
             "certificate beside them\n",
         3},
        // Covered, with only names beside it that the list no longer has: nothing to do.
        {"example.test\n", "-q -w --now 2026-12-08T10:00:00Z",
         strExampleOk + "example.test: not in the list: *.shop.example.test is on its certificate\n" +
             "LIVE/broken.test: not in the list: a certificate no group of the list names\n" + strStray +
             "LIVE/old.example.test: not in the list: a certificate no group of the list names\n",
         0},
        // Two names an entry, whatever their registered domains: the wildcard covers a name of its one
        // label; broken.test's certificate is not its group's.
        {"example.test\nx.shop.example.test\nold.example.test\nbroken.test\n",
         "-q --pack 2 --cert-group any --now 2027-03-15T00:00:00Z",
         "example.test: expiring: expires 2027-04-01T12:00:00Z (17 days left); registered example.test; "
         "covers example.test x.shop.example.test\n"
         "old.example.test: expired: expired 2025-04-01T00:00:00Z (713 days ago); registered "
         "example.test broken.test; covers old.example.test\n"
         "LIST:4: not covered: broken.test: not on the certificate old.example.test\n"
         "example.test: not in the list: www.example.test is on its certificate\n"
         "LIVE/broken.test: not in the list: a certificate no group of the list names\n" +
             strStray,
         3},
        {"example.test\n", "-q --now 2027-03-15T00:00:00Z --days 10",
         "example.test: ok: expires 2027-04-01T12:00:00Z (17 days left); registered example.test; covers "
         "example.test\n"
         "example.test: not in the list: www.example.test is on its certificate\n"
         "example.test: not in the list: *.shop.example.test is on its certificate\n"
         "LIVE/broken.test: not in the list: a certificate no group of the list names\n" +
             strStray + "LIVE/old.example.test: not in the list: a certificate no group of the list names\n",
         0},
        // Without subjectAltName, the CN is the certificate's one name.
        {"gone.example.test\nexample.test\nold.example.test\nbroken.test\n", "-q --now 2025-12-31T23:59:59Z",
         "gone.example.test: not yet valid: valid from 2026-06-01T00:00:00Z, expires "
         "2027-06-01T00:00:00Z (516 days left); registered example.test; covers none of its names\n"
         "example.test: not yet valid: valid from 2026-01-01T00:00:00Z, expires 2027-04-01T12:00:00Z "
         "(455 days left); registered example.test; covers example.test\n"
         "old.example.test: expired: expired 2025-04-01T00:00:00Z (274 days ago); registered "
         "example.test; covers old.example.test\n"
         "broken.test: unreadable: registered broken.test; LIVE/broken.test/fullchain.pem: truncated\n"
         "LIST:1: not covered: gone.example.test: not on the certificate gone.example.test\n"
         "gone.example.test: not in the list: plain.example.test is on its certificate\n"
         "example.test: not in the list: www.example.test is on its certificate\n"
         "example.test: not in the list: *.shop.example.test is on its certificate\n",
         3},
    };
    for (const auto& c : cases) {
        CScopedTempDir dir;
        makeLive(dir);
        const tagShellRun result = runStatus(dir, c.pList, c.pArgs);
        EXPECT_EQ(result.out, c.strOut) << c.pArgs;
        EXPECT_EQ(result.nExit, c.nExit) << c.pArgs;
    }
}

TEST(CertStatusTest, FailuresAndUsageErrors) {
    struct {
        const char* pArgs;
        int nExit;
    } const cases[] = {
        {"--days 1x", 2},
        {"--days ''", 2},
        {"--now 2026-12-08", 2},
        {"--now 2026-02-30T10:00:00Z", 2},
        {"--now 2026-12-08T24:00:00Z", 2},
        {"-t /dev/null", 2},
        {"--cert-group none", 2},
        {"-p 'a b'", 2},
        {"--now 2026-12-08T10:00:00Z --days 0", 0},
    };
    for (const auto& c : cases) {
        CScopedTempDir dir;
        makeLive(dir);
        EXPECT_EQ(runStatus(dir, "example.test\n", c.pArgs).nExit, c.nExit) << c.pArgs;
    }
    CScopedTempDir dir;
    EXPECT_EQ(runStatus(dir, "", "--now 2026-12-08T10:00:00Z", "/nonexistent/list.txt").nExit, 1);
}

} // namespace
