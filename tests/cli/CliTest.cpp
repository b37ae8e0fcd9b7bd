#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestUtil.h"

extern char** environ;

namespace {

struct tagCliRun {
    int nExit = -1;
    std::string out;
    std::string err;
};

class CliTest : public ::testing::Test {
protected:
    // Runs kelvane-cli with its standard input from a pipe (or /dev/null) and its output in files.
    tagCliRun run(std::vector<std::string> args, const std::string* pStdIn = nullptr) {
        args.insert(args.begin(), KELVANE_CLI_PATH);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        int fds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (pStdIn) {
            EXPECT_EQ(::pipe(fds), 0);
            posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
            posix_spawn_file_actions_addclose(&actions, fds[1]);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        const std::string outPath = m_dir.path("stdout"), errPath = m_dir.path("stderr");
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        if (pStdIn) {
            ::close(fds[0]);
            EXPECT_EQ(::write(fds[1], pStdIn->data(), pStdIn->size()), static_cast<ssize_t>(pStdIn->size()));
            ::close(fds[1]);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile(outPath),
                readFile(errPath)};
    }

    std::string file(const std::string& name, std::string_view content) {
        writeFile(m_dir.path(name), content);
        return m_dir.path(name);
    }

    CScopedTempDir m_dir;
};

TEST_F(CliTest, UsageErrorsExitWithTwoAndAHint) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-w", "list.txt"},
        {"-s", ""},
        {"-s", "/srv", "--bogus"},
        {"-s", "/srv", "one.txt", "two.txt"},
        {"-s"},
    };
    for (const auto& args : cases) {
        const tagCliRun r = run(args);
        EXPECT_EQ(r.nExit, 2) << testing::PrintToString(args);
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliTest, HelpAndVersion) {
    const tagCliRun help = run({"--help"});
    EXPECT_EQ(help.nExit, 0);
    for (const char* option : {"--site-path", "--prefix", "--www", "--template", "--output", "--idn", "--quiet"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const tagCliRun version = run({"--version"});
    EXPECT_EQ(version.nExit, 0);
    EXPECT_EQ(version.out, std::string("kelvane-cli ") + KELVANE_VERSION + "\n");
}

TEST_F(CliTest, ListFromAFileOrStandardInputToStandardOutput) {
    const std::string list = "a.com\nlocalhost\n www.b.com\r\n";
    const std::string expected = builtinEntry("\"/srv/my sites\"", "a.com www.a.com m.a.com") +
                                 builtinEntry("\"/srv/my sites\"", "b.com www.b.com m.b.com");
    const std::string path = file("list.txt", list);
    for (const bool fromStdIn : {false, true}) {
        const tagCliRun r = fromStdIn ? run({"-s", "/srv/my sites", "-w", "-p", "m"}, &list)
                                      : run({"--site-path", "/srv/my sites", "--www", "--prefix", "m", path});
        EXPECT_EQ(r.nExit, 0) << r.err;
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "kelvane-cli: 2 entries written, 2 lines skipped\n");
    }
}

TEST_F(CliTest, TemplateAndOutputFile) {
    const std::string tmpl = file("vhost.tmpl", "<VirtualHost *:8080>\n DocumentRoot \"{sitePath}\"\n ServerAlias {siteDomain}\n</VirtualHost>");
    const std::string list = file("list.txt", "a.com");
    const std::string out = m_dir.path("out.conf");
    const tagCliRun r = run({"-q", "-s", "/srv/a", "-t", tmpl, "-o", out, list});
    EXPECT_EQ(r.nExit, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(out), "<VirtualHost *:8080>\n DocumentRoot \"/srv/a\"\n ServerAlias a.com\n</VirtualHost>\r\n");
}

TEST_F(CliTest, FilesThatCannotBeUsedExitWithOneAndLeaveTheOutput) {
    const std::string list = file("list.txt", "a.com");
    const std::string out = file("out.conf", "previous");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-s", "/srv", "-o", out, m_dir.path("none.txt")},
         "kelvane-cli: cannot read '" + m_dir.path("none.txt") + "': No such file or directory\n"},
        {{"-s", "/srv", "-o", out, m_dir.dir().string()},
         "kelvane-cli: cannot read '" + m_dir.dir().string() + "': Is a directory\n"},
        {{"-s", "/srv", "-o", out, "-t", m_dir.path("none.tmpl"), list},
         "kelvane-cli: cannot read '" + m_dir.path("none.tmpl") + "': No such file or directory\n"},
        {{"-s", "/srv", "-o", out, "-t", "/proc/self/mem", list}, "kelvane-cli: cannot read '/proc/self/mem': "},
        {{"-s", "/srv", "-o", m_dir.path("missing/out.conf"), list},
         "kelvane-cli: cannot write '" + m_dir.path("missing/out.conf") + "': No such file or directory\n"},
        {{"-s", "/srv", "-o", "/dev/full", list}, "kelvane-cli: cannot write '/dev/full': No space left on device\n"},
    };
    for (const auto& c : cases) {
        const tagCliRun r = run(c.args);
        EXPECT_EQ(r.nExit, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message);
        EXPECT_EQ(readFile(out), "previous");
    }
}

TEST_F(CliTest, IdnWritesAsciiFormsAndWarnsOfNamesWithoutOne) {
    const std::string list = file("list.txt", "\xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD\n"
                                              "\xE2\x98\x83\xE2\x98\x83.com\nb.com");
    const tagCliRun plain = run({"-s", "/srv", list});
    EXPECT_NE(plain.out.find("ServerAlias \xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD\r\n"), std::string::npos);

    const tagCliRun idn = run({"-s", "/srv", "-w", "--idn", list});
    EXPECT_EQ(idn.nExit, 0);
    EXPECT_EQ(idn.out, builtinEntry("/srv", "xn--fsqu00a.xn--fiqs8s www.xn--fsqu00a.xn--fiqs8s") +
                           builtinEntry("/srv", "\xE2\x98\x83\xE2\x98\x83.com www.\xE2\x98\x83\xE2\x98\x83.com") +
                           builtinEntry("/srv", "b.com www.b.com"));
    EXPECT_NE(idn.err.find("kelvane-cli: line 2: '\xE2\x98\x83\xE2\x98\x83.com' has no ASCII form"), std::string::npos)
        << idn.err;
}

TEST_F(CliTest, InterruptStopsBetweenLinesWithWholeEntries) {
    std::string list;
    for (int i = 0; i < 400000; ++i)
        list += "example" + std::to_string(i) + ".com\n";
    const std::string listPath = file("list.txt", list);
    const std::string fifo = m_dir.path("out.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    std::vector<std::string> args = {KELVANE_CLI_PATH, "-s", "/srv", "-o", fifo, listPath};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string errPath = m_dir.path("stderr");
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // The tool cannot get far ahead of a reader that has not read: interrupt it after the first
    // piece, then read the rest.
    const int fd = ::open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string out(65536, '\0');
    ssize_t n = ::read(fd, out.data(), out.size());
    ASSERT_GT(n, 0);
    out.resize(static_cast<std::size_t>(n));
    ::kill(pid, SIGINT);
    char buf[65536];
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);

    std::string expected;
    int entries = 0;
    while (expected.size() < out.size())
        expected += builtinEntry("/srv", "example" + std::to_string(entries++) + ".com");
    EXPECT_EQ(out, expected) << "entries cut or out of order";
    EXPECT_LT(entries, 400000) << "the run was not stopped";
    const std::string err = readFile(errPath);
    EXPECT_NE(err.find(std::to_string(entries) + " entries written"), std::string::npos) << err;
}

} // namespace
