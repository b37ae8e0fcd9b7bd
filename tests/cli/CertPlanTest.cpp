#include <gtest/gtest.h>

#include "TestUtil.h"
#include "cli/ShellRun.h"

namespace {

// `kelvane-cli certs plan ARGS LIST`, the script on standard output, then standard error.
tagShellRun runPlan(const CScopedTempDir& dir, const std::string& strList, const std::string& strArgs) {
    writeFile(dir.path("list.txt"), strList);
    const std::string strCommand =
        std::string(KELVANE_CLI_PATH) + " certs plan " + strArgs + " '" + dir.path("list.txt") + "' 2>&1";
    tagShellRun plan = runShell(strCommand);
    return plan;
}

std::size_t count(const std::string& strText, const std::string& strPart) {
    std::size_t n = 0;
    for (std::size_t nAt = strText.find(strPart); nAt != std::string::npos;
         nAt = strText.find(strPart, nAt + 1))
        ++n;
    return n;
}

} // namespace

// The waves of a plan: each certificate once, in the wave the limits allow, and a wave that may
// not start yet refuses to run.
TEST(CertPlanTest, WavesOfCommands) {
    CScopedTempDir dir;
    const std::string strList = "a.example.com\nb.example.com\nx.org\ny.org\nc.example.com\na.example.com\n";
    const struct {
        const char* pArgs;
        std::vector<std::string> vecExpected; // in the script, in this order
        std::size_t nCommands;
    } cases[] = {
        {"--pack 0",
         {"3 certificates for 5 names in 1 wave", "1)\n",
          "certbot certonly --webroot -w /srv --cert-name a.example.com -d a.example.com -d b.example.com -d "
          "c.example.com ||",
          "--cert-name x.org", "--cert-name y.org", "usage: sh $0 WAVE, WAVE from 1 to 1"},
         3},
        // One order in 3 hours: a wave each, 3 hours apart, each held back until its time.
        {"--limit-orders 1/3 --start 2030-01-01T00:00Z",
         {"5 certificates for 5 names in 5 waves", "may start at 2030-01-01T00:00:00Z", "3)\n",
          "may start at 2030-01-01T06:00:00Z", "-lt 1893477600 ]", "certs plan: 5 certificates",
          "the last may start 12 hours after the first, at 2030-01-01T12:00:00Z"},
         5},
        // Two of a registered domain in 6 hours: the third waits three waves.
        {"--limit-domain 2/6 --certbot-cmd 'certbot --server https://acme.test/dir' -w",
         {"5 certificates for 10 names in 4 waves", "certbot --server https://acme.test/dir certonly", "4)\n",
          "--cert-name c.example.com -d c.example.com -d www.c.example.com"},
         5},
    };
    for (const auto& c : cases) {
        const tagShellRun plan = runPlan(dir, strList, std::string("-s /srv ") + c.pArgs);
        EXPECT_EQ(plan.nExit, 0) << plan.out;
        std::size_t nAt = 0;
        for (const std::string& strPart : c.vecExpected) {
            const std::size_t nFound = plan.out.find(strPart, nAt);
            ASSERT_NE(nFound, std::string::npos) << c.pArgs << ": " << strPart << "\n" << plan.out;
            nAt = nFound;
        }
        EXPECT_EQ(count(plan.out, " certonly "), c.nCommands) << plan.out;
    }
}

// A run's --certbot writes the first wave's commands and says how many certificates wait.
TEST(CertPlanTest, RunWritesTheFirstWave) {
    CScopedTempDir dir;
    writeFile(dir.path("list.txt"), "a.com\nb.a.com\nc.org\nd.c.org\n");
    const std::string strCommand = std::string(KELVANE_CLI_PATH) +
                                   " -s /srv --limit-domain 1/168 --certbot '" + dir.path("cb.sh") +
                                   "' -o /dev/null '" + dir.path("list.txt") + "' 2>&1";
    const tagShellRun run = runShell(strCommand);
    const std::string& strErr = run.out;
    EXPECT_EQ(run.nExit, 0) << strErr;
    EXPECT_EQ(readFile(dir.path("cb.sh")), "certbot certonly --webroot -w /srv --cert-name a.com -d a.com\n"
                                           "certbot certonly --webroot -w /srv --cert-name c.org -d c.org\n");
    EXPECT_NE(strErr.find("2 more certificates wait for later waves"), std::string::npos) << strErr;
}

TEST(CertPlanTest, UsageErrors) {
    CScopedTempDir dir;
    const struct {
        const char* pArgs;
        const char* pMessage;
    } cases[] = {
        {"--server-addr 192.0.2.1", "--server-addr and --dns need --precheck"},
        {"--start 2026-13-01T00:00Z", "--start '2026-13-01T00:00Z'"},
        {"--limit-orders 300", "--limit-orders '300': N/HOURS"},
        {"--limit-domain 0/168", "--limit-domain '0/168'"},
        {"--cert-group some", "--cert-group 'some': domain or any"},
        {"--certbot x.sh", "--certbot: the plan is the certbot commands"},
        {"--https=every", "--https='every'"},
    };
    for (const auto& c : cases) {
        const tagShellRun plan = runPlan(dir, "a.com\n", std::string("-s /srv ") + c.pArgs);
        EXPECT_EQ(plan.nExit, 2) << c.pArgs;
        EXPECT_NE(plan.out.find(c.pMessage), std::string::npos) << plan.out;
    }
}
