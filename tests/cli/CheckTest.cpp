#include <gtest/gtest.h>

#include "TestUtil.h"
#include "cli/ShellRun.h"

namespace {

// Runs `kelvane-cli check -s /srv/www ARGS LIST` on a list of the test's own; "LIST" in the
// output stands for the list's path.
tagShellRun runCheck(const CScopedTempDir& dir, const std::string& strList, const std::string& strArgs) {
    const std::string strListPath = dir.path("list.txt");
    writeFile(strListPath, strList);
    const std::string strCommand = std::string(KELVANE_CLI_PATH) + " check -s /srv/www " + strArgs + " '" +
                                   strListPath + "' 2>/dev/null";
    tagShellRun result = runShell(strCommand);
    for (std::size_t nAt; (nAt = result.out.find(strListPath)) != std::string::npos;)
        result.out.replace(nAt, strListPath.size(), "LIST");
    return result;
}

// The findings as the report prints them, one a line; the findings themselves are the engine's.
TEST(CheckTest, ReportLines) {
    CScopedTempDir dir;
    const tagShellRun result = runCheck(dir, "a.test\nm.a.test\nA.TEST.\nbad name.test\n", "-p m");
    EXPECT_EQ(result.out,
              "LIST:2: clash with line 1: m.a.test is written for both lines; Apache answers it from "
              "line 1\nLIST:3: duplicate of line 1: A.TEST.\nLIST:4: a space inside: bad name.test\n");
    EXPECT_EQ(result.nExit, 3);
    EXPECT_EQ(runCheck(dir, "a.test\nb.test\n", "-w -p m").nExit, 0);
    // nginx, too, keeps the first block with a name.
    EXPECT_EQ(
        runCheck(dir, "a.test\nm.a.test\n", "-p m --server-kind nginx").out,
        "LIST:2: clash with line 1: m.a.test is written for both lines; nginx answers it from line 1\n");
}

TEST(CheckTest, FailuresAndUsageErrors) {
    struct {
        const char* pArgs;
        int nExit;
    } const cases[] = {
        {"--server-dump /nonexistent/dump.txt", 1},
        {"--server-dump /dev/null", 1}, // not what apache2ctl -S prints
        {"--server-cmd 'exit 7'", 1},
        // Past the limit on its output: stopped at once.
        {"--server-cmd yes", 1},
        {"--server-cmd 'echo VirtualHost configuration:'", 0},
        {"--listen example.com:80", 2},
        {"--server-cmd true --server-dump /dev/null", 2},
        {"-p 'a b'", 2},
        // Not what nginx -T prints.
        {"--server-kind nginx --server-cmd true", 1},
        {"--server-kind nginx --server-dump /dev/null", 1},
        {"--server-kind nginx --server-dump /nonexistent/dump.txt", 1},
        {"--server-kind nginx --server-cmd 'exit 1'", 1},
        {"--server-kind nginx --server-cmd true --server-dump /dev/null", 2},
        {"--server-kind nginx --server-cmd 'echo \"# configuration file /a.conf:\"'", 0},
        {"--server-kind nginx", 0},
    };
    for (const auto& c : cases) {
        CScopedTempDir dir;
        EXPECT_EQ(runCheck(dir, "example.com\n", c.pArgs).nExit, c.nExit) << c.pArgs;
    }
}

// check --server-kind nginx of a saved nginx -T: an exact name an existing block has is served by
// it still; its wildcards and regular expressions take none of the run's exact names; a block on
// an IP address on the entries' port shadows them; the run's own output counts for nothing.
TEST(CheckTest, NginxServerDump) {
    const std::string strDump = "# configuration file /etc/nginx/nginx.conf:\n"
                                "http {\n"
                                "    server {\n"
                                "        listen 80;\n"
                                "        server_name taken.test *.wild.test ~^re\\d\\.test$;\n"
                                "    }\n"
                                "    include /etc/nginx/sites/*.conf;\n"
                                "}\n"
                                "# configuration file /etc/nginx/sites/ip.conf:\n"
                                "server { listen 127.0.0.1:8080; server_name ip.test; }\n"
                                "# configuration file /etc/nginx/sites/own.conf:\n"
                                "server { listen 80; server_name own.test; }\n";
    struct {
        const char* pList;
        const char* pArgs;
        const char* pOut;
        int nExit;
    } const cases[] = {
        {"new.test\ntaken.test\nx.wild.test\nre1.test\n", "",
         "LIST:2: served: taken.test is already served by server {} on *:80 at /etc/nginx/nginx.conf:4: "
         "nginx "
         "keeps it there and ignores the entry's (\"conflicting server name\" at its start)\n",
         3},
        {"new.test\nx.wild.test\nre1.test\n", "", "", 0},
        {"TAKEN.test\n", "--listen '*:8080'",
         "/etc/nginx/sites/ip.conf:1: shadow: server {} on 127.0.0.1:8080 takes every request to 127.0.0.1 "
         "on port 8080 before the server {} entries on *:8080; use --listen 127.0.0.1:8080\n",
         3},
        {"ip.test\n", "--listen 127.0.0.1:8080",
         "LIST:1: served: ip.test is already served by server {} on 127.0.0.1:8080 at "
         "/etc/nginx/sites/ip.conf:1: nginx keeps it there and ignores the entry's (\"conflicting server "
         "name\" at its start)\n",
         3},
        {"own.test\n", "-o /etc/nginx/sites/own.conf", "", 0},
        {"own.test\n", "",
         "LIST:1: served: own.test is already served by server {} on *:80 at /etc/nginx/sites/own.conf:1: "
         "nginx keeps it there and ignores the entry's (\"conflicting server name\" at its start)\n",
         3},
    };
    for (const auto& c : cases) {
        CScopedTempDir dir;
        writeFile(dir.path("dump.txt"), strDump);
        const tagShellRun result = runCheck(dir, c.pList,
                                            std::string("--server-kind nginx --server-dump '") +
                                                dir.path("dump.txt") + "' " + c.pArgs);
        EXPECT_EQ(result.out, c.pOut) << c.pList << c.pArgs;
        EXPECT_EQ(result.nExit, c.nExit) << c.pList << c.pArgs;
    }
}

TEST(CheckTest, ServerCommandLeavesTheListOnStandardInput) {
    const std::string strCommand =
        std::string("printf 'a.test\\na.test\\n' | ") + KELVANE_CLI_PATH +
        " check -s /srv/www --server-cmd 'cat; echo VirtualHost configuration:' - 2>/dev/null";
    const tagShellRun run = runShell(strCommand);
    EXPECT_EQ(run.out, "-:2: duplicate of line 1: a.test\n");
    EXPECT_EQ(run.nExit, 3);
}

} // namespace
