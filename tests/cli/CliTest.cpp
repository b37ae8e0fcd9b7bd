#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
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

// How the tool's standard streams are set up for one run.
struct tagStreams {
    const std::string* pStdIn = nullptr; // piped in; null: /dev/null
    int nStdInFd = -1;                   // or this descriptor
    bool bAppendOut = false;             // standard output appends to the file "stdout"
    bool bCloseOut = false;              // standard output and error closed
    const char* pOutDevice = nullptr;    // standard output opened on this device instead
    rlim_t nFileSizeLimit = RLIM_INFINITY;
};

class CliTest : public ::testing::Test {
protected:
    // Runs kelvane-cli with its output and errors in files of the test's directory.
    tagCliRun run(std::vector<std::string> args, const tagStreams& streams) {
        args.insert(args.begin(), KELVANE_CLI_PATH);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);

        int fds[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (streams.pStdIn) {
            EXPECT_EQ(::pipe(fds), 0);
            posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
            posix_spawn_file_actions_addclose(&actions, fds[1]);
        } else if (streams.nStdInFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, streams.nStdInFd, 0);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        }
        const std::string outPath = m_dir.path("stdout"), errPath = m_dir.path("stderr");
        if (streams.bCloseOut) {
            posix_spawn_file_actions_addclose(&actions, 1);
            posix_spawn_file_actions_addclose(&actions, 2);
        } else if (streams.pOutDevice) {
            posix_spawn_file_actions_addopen(&actions, 1, streams.pOutDevice, O_WRONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        } else {
            posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(),
                                             O_WRONLY | O_CREAT | (streams.bAppendOut ? O_APPEND : O_TRUNC),
                                             0644);
            posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit limit = old;
        limit.rlim_cur = streams.nFileSizeLimit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        ::setrlimit(RLIMIT_FSIZE, &old);
        posix_spawn_file_actions_destroy(&actions);
        if (streams.pStdIn) {
            ::close(fds[0]);
            const std::string& in = *streams.pStdIn;
            EXPECT_EQ(::write(fds[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
            ::close(fds[1]);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), readFile(outPath),
                readFile(errPath)};
    }
    tagCliRun run(std::vector<std::string> args, const std::string* pStdIn = nullptr) {
        tagStreams streams;
        streams.pStdIn = pStdIn;
        return run(std::move(args), streams);
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
        // An empty name is no file, never a wish to leave the option out.
        {"-s", "/srv", "--split", ""},
        {"-s", "/srv", "--certbot", ""},
        {"-s", "/srv", "-t", ""},
        {"-s", "/srv", "-o", ""},
        {"-s", "/srv", ""},
    };
    for (const auto& args : cases) {
        const tagCliRun r = run(args);
        EXPECT_EQ(r.nExit, 2) << testing::PrintToString(args);
        EXPECT_EQ(r.err.rfind("kelvane-cli: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("Run 'kelvane-cli --help'"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliTest, MistypedLongOptionGetsTheClosestKnownOne) {
    const struct {
        std::string typed;
        std::string suggested; // empty: no suggestion
    } cases[] = {
        {"--site-pth", "--site-path"},
        {"--sitepath=/srv", "--site-path"},
        {"--stirct", "--strict"},
        {"--templat", "--template"},
        {"--Quiet", "--quiet"},
        {"--bogus", ""},
        {"--verbose", ""},
    };
    for (const auto& c : cases) {
        const tagCliRun r = run({"-s", "/srv", c.typed, "list.txt"});
        EXPECT_EQ(r.nExit, 2) << c.typed;
        const std::string head = "kelvane-cli: unknown option '" + c.typed + "'";
        EXPECT_EQ(r.err.substr(0, head.size()), head);
        if (c.suggested.empty())
            EXPECT_EQ(r.err.find("did you mean"), std::string::npos) << r.err;
        else
            EXPECT_NE(r.err.find("; did you mean " + c.suggested + "?\n"), std::string::npos) << r.err;
    }
}

TEST_F(CliTest, HelpShowsGroupsPlaceholdersExamplesAndExitStatusesIn80Columns) {
    const tagCliRun help = run({"--help"});
    EXPECT_EQ(help.nExit, 0);
    std::istringstream lines(help.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;
    for (const char* shown : {"-s,--site-path PATH", "-p,--prefix LABEL", "-t,--template FILE",
                              "-o,--output FILE", "\nWhat each entry holds:\n", "\nFiles and messages:\n"})
        EXPECT_NE(help.out.find(shown), std::string::npos) << shown;
    EXPECT_EQ(help.out.find("TEXT"), std::string::npos) << "a placeholder that does not say what it is";
    const std::size_t examples = help.out.find("\nExamples:\n  kelvane-cli ");
    const std::size_t statuses = help.out.find("\nExit status:\n  0 ");
    ASSERT_NE(examples, std::string::npos);
    ASSERT_NE(statuses, std::string::npos);
    EXPECT_LT(help.out.rfind("--quiet"), examples) << "the examples do not come after the options";
    EXPECT_LT(examples, statuses);

    const tagCliRun version = run({"--version"});
    EXPECT_EQ(version.nExit, 0);
    EXPECT_EQ(version.out, std::string("kelvane-cli ") + KELVANE_VERSION + "\n");

    tagStreams full;
    full.pOutDevice = "/dev/full";
    for (const char* option : {"--help", "--version"}) {
        const tagCliRun r = run({option}, full);
        EXPECT_EQ(r.nExit, 1) << option;
        EXPECT_EQ(r.err, "kelvane-cli: cannot write to standard output\n") << option;
    }
}

// The progress line is rewritten in place only on a terminal that can do it; elsewhere standard
// error gets no escape codes.
TEST_F(CliTest, ProgressLineOnlyOnATerminalThatIsNotDumb) {
    const struct {
        const char* term; // null: TERM unset
        bool escapes;
    } cases[] = {{"xterm", true}, {"dumb", false}, {"", false}, {nullptr, false}};
    for (const auto& c : cases) {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        int in[2];
        ASSERT_EQ(::pipe(in), 0);
        std::vector<std::string> env;
        for (char** p = environ; *p; ++p)
            if (std::string_view(*p).substr(0, 5) != "TERM=")
                env.emplace_back(*p);
        if (c.term)
            env.push_back(std::string("TERM=") + c.term);
        std::vector<char*> envp;
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> args = {KELVANE_CLI_PATH, "-s", "/srv", "-o", m_dir.path("out.conf")};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addopen(&actions, 2, ::ptsname(master), O_RDWR, 0);
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        // Lines read while the run waits for more: the progress line has something to show. A
        // slow start (a sanitizer build) gets time to show it.
        const std::string lines = "a.com\nb.com\n";
        ASSERT_EQ(::write(in[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
        std::string err;
        char buf[4096];
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(c.escapes ? 20 : 1);
        while (std::chrono::steady_clock::now() < until && err.find('\033') == std::string::npos) {
            pollfd pfd{master, POLLIN, 0};
            if (::poll(&pfd, 1, 100) == 1) {
                const ssize_t n = ::read(master, buf, sizeof buf);
                if (n <= 0)
                    break;
                err.append(buf, static_cast<std::size_t>(n));
            }
        }
        ::close(in[1]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
            err.append(buf, static_cast<std::size_t>(n));
        ::close(master);
        EXPECT_EQ(err.find('\033') != std::string::npos, c.escapes)
            << (c.term ? c.term : "unset") << ": " << err;
        EXPECT_NE(err.find("2 entries written"), std::string::npos) << err;
    }
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
        EXPECT_EQ(r.err, "kelvane-cli: 2 entries written, 0 lines refused, 0 duplicates, 1 line skipped\n");
    }
}

TEST_F(CliTest, TemplateAndOutputFile) {
    const std::string tmpl =
        file("vhost.tmpl",
             "<VirtualHost *:8080>\n DocumentRoot \"{sitePath}\"\n ServerAlias {siteDomain}\n</VirtualHost>");
    const std::string list = file("list.txt", "a.com");
    const std::string out = m_dir.path("out.conf");
    const tagCliRun r = run({"-q", "-s", "/srv/a", "-t", tmpl, "-o", out, list});
    EXPECT_EQ(r.nExit, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(out),
              "<VirtualHost *:8080>\n DocumentRoot \"/srv/a\"\n ServerAlias a.com\n</VirtualHost>\r\n");
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
        {{"-s", "/srv", "-o", out, "-t", "/proc/self/mem", list},
         "kelvane-cli: cannot read '/proc/self/mem': "},
        {{"-s", "/srv", "-o", m_dir.path("missing/out.conf"), list},
         "kelvane-cli: cannot write '" + m_dir.path("missing/out.conf") + "': No such file or directory\n"},
        {{"-s", "/srv", "-o", "/dev/full", list},
         "kelvane-cli: cannot write '/dev/full': No space left on device\n"},
    };
    for (const auto& c : cases) {
        const tagCliRun r = run(c.args);
        EXPECT_EQ(r.nExit, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message);
        EXPECT_EQ(readFile(out), "previous");
    }
}

TEST_F(CliTest, RefusedLinesAndDuplicatesAreReportedAndTheRestWritten) {
    std::string list = "\xE4\xBE\x8B\xE5\xAD\x90.\xE4\xB8\xAD\xE5\x9B\xBD\n\xE2\x98\x83.com\nb.com\\\nB.com\n"
                       "x\ty.com\nb.com\n";
    for (int i = 0; i < 21; ++i)
        list += "a..b\n";
    const std::string path = file("list.txt", list);
    const tagCliRun r = run({"-s", "/srv", "-w", "--idn", path});
    EXPECT_EQ(r.nExit, 0);
    EXPECT_EQ(r.out, builtinEntry("/srv", "xn--fsqu00a.xn--fiqs8s www.xn--fsqu00a.xn--fiqs8s") +
                         builtinEntry("/srv", "B.com www.B.com") + builtinEntry("/srv", "b.com www.b.com"));
    const std::string head = path + ":2: no ASCII form: \xE2\x98\x83.com\n" + path +
                             ":3: a backslash: b.com\\\n" + path + ":5: a space inside: x\\ty.com\n" + path +
                             ":6: duplicate of line 4: b.com\n" + path + ":7: an empty label: a..b\n";
    EXPECT_EQ(r.err.substr(0, head.size()), head);
    EXPECT_NE(r.err.find(path + ":23: an empty label"), std::string::npos);
    EXPECT_EQ(r.err.find(path + ":24:"), std::string::npos) << "more than 20 refused lines shown";
    EXPECT_NE(r.err.find("kelvane-cli: 4 more refused lines not shown\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kelvane-cli: 3 entries written, 24 lines refused, 1 duplicate, 0 lines skipped\n"),
              std::string::npos)
        << r.err;

    const tagCliRun quiet = run({"-q", "-s", "/srv", path});
    EXPECT_EQ(quiet.nExit, 0);
    EXPECT_EQ(quiet.err, "");

    const std::string out = file("out.conf", "previous");
    const tagCliRun strict = run({"--strict", "-s", "/srv", "-o", out, path});
    EXPECT_EQ(strict.nExit, 3);
    EXPECT_NE(
        strict.err.find("kelvane-cli: 24 lines were refused (--strict); '" + out +
                        "' is left as it was; correct them, or run without --strict to write the others\n"),
        std::string::npos)
        << strict.err;
    EXPECT_EQ(readFile(out), "previous");
    // Standard output appending to a file: what the file held before stays.
    writeFile(m_dir.path("stdout"), "previous");
    tagStreams appended;
    appended.bAppendOut = true;
    const tagCliRun strictOut = run({"--strict", "-s", "/srv", path}, appended);
    EXPECT_EQ(strictOut.nExit, 3);
    EXPECT_EQ(strictOut.out, "previous");
}

// A write that fails in one output leaves every other as it was: the certbot file on a full disk
// never leaves the entries' file replaced.
TEST_F(CliTest, FailedOutputLeavesEveryOtherOutput) {
    const std::string list = file("list.txt", "a.com\nb.com\n");
    const std::string out = file("out.conf", "previous");
    const tagCliRun r = run({"-s", "/srv", "--pack", "0", "--certbot", "/dev/full", "-o", out, list});
    EXPECT_EQ(r.nExit, 1) << r.err;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(out), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.dir()), {}), 4)
        << "a temporary file is left";
    // Standard output, a stream, keeps the whole entries it was given after what it held.
    writeFile(m_dir.path("stdout"), "previous");
    tagStreams appended;
    appended.bAppendOut = true;
    const tagCliRun streamed = run({"-s", "/srv", "--certbot", "/dev/full", list}, appended);
    EXPECT_EQ(streamed.nExit, 1) << streamed.err;
    EXPECT_TRUE(streamed.out.starts_with("previous<VirtualHost *>")) << streamed.out;
    EXPECT_TRUE(streamed.out.ends_with("</VirtualHost>\r\n")) << streamed.out;
}

// A run that refused lines and would write no entry leaves every output as it was (exit 3); a list
// with no name at all is no refusal and writes its empty output as before.
TEST_F(CliTest, RunThatWritesNothingLeavesEveryOutput) {
    const std::string dir = m_dir.path("sites");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    writeFile(dir + "/a.com.conf", "previous");
    const struct {
        std::string list;
        std::vector<std::string> args;
        int nExit;
        bool bKept;
    } cases[] = {
        {"bad name.com\n", {}, 3, true},
        {"bad name.com\nlocalhost\n\n",
         {"--pack", "0", "--https", "--certbot", m_dir.path("cb.sh")},
         3,
         true},
        {"a.com\\\n", {"--split", dir, "--certbot", m_dir.path("cb.sh")}, 3, true},
        {"localhost\n\n", {}, 0, false},
        {"", {"--pack", "0"}, 0, false},
    };
    for (const auto& c : cases) {
        const std::string out = file("out.conf", "previous");
        writeFile(m_dir.path("cb.sh"), "previous");
        std::vector<std::string> args = {"-s", "/srv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (std::find(c.args.begin(), c.args.end(), "--split") == c.args.end())
            args.insert(args.end(), {"-o", out});
        const tagCliRun r = run(args, &c.list);
        EXPECT_EQ(r.nExit, c.nExit) << c.list << r.err;
        EXPECT_EQ(readFile(out) == "previous", c.bKept) << c.list;
        EXPECT_EQ(readFile(m_dir.path("cb.sh")), "previous") << c.list;
        EXPECT_EQ(readFile(dir + "/a.com.conf"), "previous");
        if (c.bKept) {
            EXPECT_NE(r.err.find("no entry written"), std::string::npos) << r.err;
        }
    }
}

// Fields that would break or inject a directive, a template that cannot hold the site path, or
// fields that cannot be used: refused before anything is read or written, by a run and by check.
TEST_F(CliTest, RefusedFieldsExitWithTwoAndTouchNothing) {
    const std::string list = file("list.txt", "a.com");
    const std::string out = file("out.conf", "previous");
    const std::string tmpl =
        file("vhost.tmpl", "<VirtualHost *>\n DocumentRoot /srv/{sitePath}\n</VirtualHost>");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-s", "/var/www\nInclude /etc/x.conf"},
         "kelvane-cli: --site-path holds a line break or another control character\n"},
        {{"-s", ""}, "kelvane-cli: --site-path must not be empty\n"},
        {{"-s", "/srv", "-p", "m\nInclude /x"},
         "kelvane-cli: --prefix 'm\\x0aInclude /x': a control character"},
        {{"-s", "/srv", "-p", "a b"}, "kelvane-cli: --prefix 'a b': a space inside"},
        {{"-s", "/srv", "-p", "m."}, "kelvane-cli: --prefix 'm.': an empty label"},
        {{"-s", "my sites", "-t", tmpl},
         "kelvane-cli: cannot use the template '" + tmpl +
             "': its line 2 cannot hold the site path so that Apache reads it back; put {sitePath} alone in "
             "double quotes\n"},
        {{"--server-kind", "nginx", "-s", "my;sites", "-t", tmpl},
         "kelvane-cli: cannot use the template '" + tmpl +
             "': its line 2 cannot hold the site path so that nginx reads it back; put {sitePath} alone in "
             "double quotes\n"},
    };
    for (const auto& c : cases) {
        for (const bool check : {false, true}) {
            std::vector<std::string> args = c.args;
            args.insert(args.end(), {"-o", out, list});
            if (check)
                args.insert(args.begin(), "check");
            const tagCliRun r = run(args);
            EXPECT_EQ(r.nExit, 2) << testing::PrintToString(args);
            EXPECT_EQ(r.err.substr(0, c.message.size()), c.message);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(readFile(out), "previous");
        }
    }
}

TEST_F(CliTest, StandardInputIsStreamedFromWhereItStandsAndNeverTakenForAFileName) {
    file("example.com", "from.the.file.com\n");
    // Text that names an existing file is a list, whatever directory the tool runs in.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.dir());
    const std::string named = "example.com";
    const tagCliRun r = run({"-s", "/x"}, &named);
    std::filesystem::current_path(cwd);
    EXPECT_EQ(r.out, builtinEntry("/x", "example.com"));

    // A GB18030 list through a pipe is decoded.
    const std::string gb = "\xD6\xD0\xCE\xC4.cn\r\nb.cn";
    const tagCliRun piped = run({"-s", "/x"}, &gb);
    EXPECT_EQ(piped.out, builtinEntry("/x", "xn--fiq228c.cn") + builtinEntry("/x", "b.cn"));

    // A regular file on standard input is read from where the shell left it.
    const std::string path = file("list.txt", "header\na.com\n");
    tagStreams streams;
    streams.nStdInFd = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::lseek(streams.nStdInFd, 7, SEEK_SET), 7);
    const tagCliRun fromOffset = run({"-s", "/x"}, streams);
    ::close(streams.nStdInFd);
    EXPECT_EQ(fromOffset.out, builtinEntry("/x", "a.com"));
}

// A UTF-8 list with GB18030 lines: each line read as it is, and the first GB18030 one told, in
// line order, from a file and from standard input.
TEST_F(CliTest, Gb18030LinesInAUtf8ListAreToldOnce) {
    const std::string list = "caf\xC3\xA9.fr\n\xD6\xD0 x.cn\nm\xC3\xBCller.de\n\xCE\xC4.cn\n";
    const std::string path = file("list.txt", list);
    for (const bool fromStdIn : {false, true}) {
        const tagCliRun r = fromStdIn ? run({"-s", "/x"}, &list) : run({"-s", "/x", path});
        const std::string name = fromStdIn ? "-" : path;
        EXPECT_EQ(r.nExit, 0);
        EXPECT_EQ(r.out, builtinEntry("/x", "xn--caf-dma.fr") + builtinEntry("/x", "xn--mller-kva.de") +
                             builtinEntry("/x", "xn--7dv.cn"));
        EXPECT_EQ(r.err.substr(0, r.err.find("kelvane-cli:")),
                  name + ":2: read as GB18030 (this line and any later one that is not UTF-8)\n" + name +
                      ":2: a space inside: \xE4\xB8\xAD x.cn\n");
    }
}

TEST_F(CliTest, ListThatFailsOrIsNoListLeavesTheOutputAndSaysWhy) {
    const std::string out = file("out.conf", "previous");
    tagStreams streams;
    streams.nStdInFd = resetSocketAfter("a.com\nb.com\n");
    const tagCliRun reset = run({"-s", "/x", "-o", out}, streams);
    ::close(streams.nStdInFd);
    EXPECT_EQ(reset.nExit, 1);
    EXPECT_EQ(reset.err, "kelvane-cli: cannot read standard input: Connection reset by peer\n");
    EXPECT_EQ(readFile(out), "previous");

    const tagCliRun zeros = run({"-s", "/x", "-o", out, "/dev/zero"});
    EXPECT_EQ(zeros.nExit, 1);
    EXPECT_EQ(zeros.err,
              "kelvane-cli: cannot read '/dev/zero': a line longer than 16 MiB; this is not a list of "
              "domain names; '" +
                  out + "' is left as it was\n");
    EXPECT_EQ(readFile(out), "previous");
}

// A closed pipe, a file size limit and closed standard streams end in a message and an exit
// status, never in a silent death or in text where the entries go.
TEST_F(CliTest, FailedWritesAreReportedAndNeverCutIntoEarlierContent) {
    std::string list;
    for (int i = 0; i < 20000; ++i)
        list += "example" + std::to_string(i) + ".com\n";
    const std::string listPath = file("list.txt", list);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    tagStreams closedPipe;
    std::vector<std::string> args = {"-s", "/x", listPath};
    {
        // Standard output is a pipe whose reader has gone.
        args.insert(args.end(), {"-o", "/dev/fd/" + std::to_string(fds[1])});
        const tagCliRun r = run(args, closedPipe);
        EXPECT_EQ(r.nExit, 1);
        EXPECT_NE(r.err.find("Broken pipe"), std::string::npos) << r.err;
        ::close(fds[1]);
    }

    const std::string before(5000, '#');
    writeFile(m_dir.path("stdout"), before);
    tagStreams appended;
    appended.bAppendOut = true;
    appended.nFileSizeLimit = 20000;
    const tagCliRun full = run({"-s", "/x", listPath}, appended);
    EXPECT_EQ(full.nExit, 1);
    EXPECT_EQ(full.err, "kelvane-cli: cannot write standard output: File too large\n");
    ASSERT_EQ(full.out.substr(0, before.size()), before) << "earlier content was cut";
    EXPECT_GT(full.out.size(), before.size()) << "the whole entries written were lost";
    std::string whole = before;
    for (int i = 0; whole.size() < full.out.size(); ++i)
        whole += builtinEntry("/x", "example" + std::to_string(i) + ".com");
    EXPECT_EQ(full.out, whole) << "not whole entries";

    const std::string out = m_dir.path("out.conf");
    tagStreams closed;
    closed.bCloseOut = true;
    const tagCliRun quietDeath =
        run({"-s", "/x", "-w", "-o", out, file("small.txt", "a.com\nb c.com\n")}, closed);
    EXPECT_EQ(quietDeath.nExit, 0);
    EXPECT_EQ(readFile(out), builtinEntry("/x", "a.com www.a.com"));
}

// A run whose list comes through a pipe the test holds, so that it cannot end before the test
// lets it, whatever the machine's speed.
class CHeldRun {
public:
    CHeldRun(std::vector<std::string> args) {
        args.insert(args.begin(), KELVANE_CLI_PATH);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        EXPECT_EQ(::pipe(m_in), 0);
        EXPECT_EQ(::pipe(m_err), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, m_in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, m_err[1], 2);
        for (const int fd : {m_in[0], m_in[1], m_err[0], m_err[1]})
            posix_spawn_file_actions_addclose(&actions, fd);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(m_in[0]);
        ::close(m_err[1]);
    }
    ~CHeldRun() {
        if (m_in[1] >= 0)
            ::close(m_in[1]);
        ::close(m_err[0]);
    }
    void feed(const std::string& bytes) {
        EXPECT_EQ(::write(m_in[1], bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Until the tool has taken all that was fed.
    bool waitTaken() {
        for (int i = 0; i < 2000; ++i) {
            int nLeft = 0;
            if (::ioctl(m_in[1], FIONREAD, &nLeft) == 0 && nLeft == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    // Standard error, up to and with the first line holding the text (or all of it).
    std::string waitFor(std::string_view text) {
        char buf[4096];
        while (m_strErr.find(text) == std::string::npos) {
            pollfd pfd{m_err[0], POLLIN, 0};
            if (::poll(&pfd, 1, 20000) <= 0)
                break;
            const ssize_t n = ::read(m_err[0], buf, sizeof buf);
            if (n <= 0)
                break;
            m_strErr.append(buf, static_cast<std::size_t>(n));
        }
        return m_strErr;
    }
    void signal(int nSignal) { ::kill(m_pid, nSignal); }
    int finish() {
        ::close(m_in[1]);
        m_in[1] = -1;
        waitFor("\x01"); // the rest of standard error
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    const std::string& err() const { return m_strErr; }

private:
    pid_t m_pid = -1;
    int m_in[2] = {-1, -1};
    int m_err[2] = {-1, -1};
    std::string m_strErr;
};

// Ctrl-C stops a run between two lines: the entries of the lines taken before it, whole, take the
// output's place; no line that comes after it is started.
TEST_F(CliTest, InterruptStopsBetweenLinesWithWholeEntries) {
    std::string before, after;
    for (int i = 0; i < 2000; ++i) {
        before += "example" + std::to_string(i) + ".com\n";
        after += "later" + std::to_string(i) + ".com\n";
    }
    // One entry per domain, and all domains in one entry, which a stop closes.
    for (const bool bPacked : {false, true}) {
        const std::string out = file(bPacked ? "packed.conf" : "out.conf", "previous");
        std::vector<std::string> args = {"-s", "/srv", "-o", out};
        if (bPacked)
            args.insert(args.end(), {"--pack", "0"});
        CHeldRun tool(args);
        tool.feed(before);
        ASSERT_TRUE(tool.waitTaken());
        tool.signal(SIGINT);
        EXPECT_NE(tool.waitFor("stopping").find("stopping"), std::string::npos) << tool.err();
        tool.feed(after);
        EXPECT_EQ(tool.finish(), 130) << tool.err();

        const std::string written = readFile(out);
        std::string expected = bPacked ? "<VirtualHost *>\r\n    DocumentRoot /srv\r\n" : "";
        const std::string close = bPacked ? "</VirtualHost>\r\n" : "";
        int domains = 0;
        while (expected.size() + close.size() < written.size() && domains < 2000) {
            const std::string name = "example" + std::to_string(domains++) + ".com";
            expected += bPacked ? "    ServerAlias " + name + "\r\n" : builtinEntry("/srv", name);
        }
        EXPECT_EQ(written, expected + close) << "entries cut, out of order, or a line after the stop";
        const std::string entries =
            bPacked ? "1 entry written" : std::to_string(domains) + " entries written";
        EXPECT_NE(tool.err().find(entries), std::string::npos) << tool.err();
    }
}

// Any other signal that would end the program ends the run without changing a file.
TEST_F(CliTest, EndingSignalsChangeNoFile) {
    const std::string dir = m_dir.path("sites");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::string out = file("out.conf", "previous");
    const std::string certbot = file("certbot.sh", "previous");
    for (const int nSignal : {SIGTERM, SIGHUP, SIGUSR1}) {
        for (const bool bSplit : {false, true}) {
            std::vector<std::string> args = {"-s", "/srv", "--pack", "2", "--certbot", certbot};
            args.insert(args.end(), {bSplit ? "--split" : "-o", bSplit ? dir : out});
            CHeldRun tool(args);
            tool.feed("a.com\nb.com\nc.com\n");
            ASSERT_TRUE(tool.waitTaken());
            tool.signal(nSignal);
            EXPECT_NE(tool.waitFor("without changing").find("without changing"), std::string::npos)
                << tool.err();
            tool.feed("d.com\n");
            EXPECT_EQ(tool.finish(), 128 + nSignal) << tool.err();
            EXPECT_EQ(readFile(out), "previous");
            EXPECT_EQ(readFile(certbot), "previous");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0);
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.dir()), {}), 3)
                << "a temporary file is left";
        }
    }
}

} // namespace

TEST_F(CliTest, LayoutOptionsThatCannotBeUsedExitWithTwo) {
    const std::string list = file("list.txt", "a.com");
    const std::string tpl = file("tpl.txt", "{siteDomain}");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--pack", "-1"}, "kelvane-cli: --pack '-1': a number"},
        {{"--pack", "1e3"}, "kelvane-cli: --pack '1e3': a number"},
        {{"--pack", "99999999999"}, "kelvane-cli: --pack '99999999999': a number"},
        {{"--listen", "localhost:80"}, "kelvane-cli: --listen 'localhost:80': not an IPv4 address"},
        {{"--listen", "*:99999"}, "kelvane-cli: --listen '*:99999': the port must be"},
        {{"--listen", "[::1]"}, "kelvane-cli: --listen '[::1]': an address needs a port"},
        {{"-t", tpl, "--pack", "2"}, "kelvane-cli: --template cannot be used"},
        {{"-t", tpl, "--https"}, "kelvane-cli: --template cannot be used"},
        {{"-t", tpl, "--listen", "*"}, "kelvane-cli: --template cannot be used"},
        {{"-t", tpl, "--certbot", m_dir.path("c.sh")}, "kelvane-cli: --template cannot be used"},
        {{"--redirect"}, "kelvane-cli: --redirect needs --https"},
        {{"--cert-path", "/c/{name}"}, "kelvane-cli: --cert-path needs --https"},
        {{"--https", "--cert-path", "/c/${X}"}, "kelvane-cli: --cert-path holds \"${\""},
        {{"--https", "--listen", "192.0.2.1:443"}, "kelvane-cli: --listen '192.0.2.1:443': with --https"},
        {{"--split", m_dir.path(""), "-o", m_dir.path("out")}, "kelvane-cli: --split writes"},
        {{"--server-kind", "iis"}, "kelvane-cli: --server-kind 'iis': apache or nginx"},
        {{"--nginx-hash-conf", m_dir.path("h.conf")},
         "kelvane-cli: --nginx-hash-conf needs --server-kind nginx"},
        {{"--server-kind", "nginx", "--https", "--cert-path", "/c/$n"}, "kelvane-cli: --cert-path holds '$'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-s", "/srv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(list);
        const tagCliRun r = run(args);
        EXPECT_EQ(r.nExit, 2) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// Two outputs that are one file, however named, would overwrite each other: a usage error before
// anything is read, and nothing is touched.
TEST_F(CliTest, OutputsThatAreOneFileAreAUsageErrorThatTouchesNothing) {
    const std::string list = file("list.txt", "a.com\nb.com\n");
    const std::string out = file("out.conf", "previous");
    ASSERT_EQ(::symlink("out.conf", m_dir.path("link.conf").c_str()), 0);
    ASSERT_EQ(::link(out.c_str(), m_dir.path("hard.conf").c_str()), 0);
    const std::string dir = m_dir.path("sites");
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    const std::vector<std::vector<std::string>> cases = {
        {"-o", out, "--certbot", m_dir.path("./out.conf")},
        {"-o", out, "--certbot", m_dir.path("link.conf")},
        {"-o", out, "--certbot", m_dir.path("hard.conf")},
        {"--certbot", "-"},
        {"--certbot", "/dev/stdout"},
        {"-o", "/dev/stdout", "--certbot", "-"},
        // A split file is told when its name is known: the second entry's here.
        {"--split", dir, "--certbot", dir + "/b.com.conf"},
        {"--server-kind", "nginx", "-o", out, "--nginx-hash-conf", m_dir.path("link.conf")},
        {"--server-kind", "nginx", "-o", m_dir.path("c.conf"), "--certbot", m_dir.path("h.conf"),
         "--nginx-hash-conf", m_dir.path("h.conf")},
        {"--server-kind", "nginx", "--split", dir, "--nginx-hash-conf", dir + "/b.com.conf"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-s", "/srv", "--https"};
        args.insert(args.end(), c.begin(), c.end());
        args.push_back(list);
        const tagCliRun r = run(args);
        EXPECT_EQ(r.nExit, 2) << testing::PrintToString(c) << r.err;
        EXPECT_NE(r.err.find("give each output a file of its own"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(readFile(out), "previous");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0)
            << testing::PrintToString(c);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.dir()), {}), 7)
        << "a temporary file is left";
}

TEST_F(CliTest, SplitSaysHowManyFilesItWrote) {
    const std::string list = file("list.txt", "a.com\nb.com\nc.com\n");
    std::filesystem::create_directory(m_dir.path("sites"));
    const tagCliRun r = run({"-s", "/srv", "--pack", "2", "--split", m_dir.path("sites"), list});
    EXPECT_EQ(r.nExit, 0) << r.err;
    EXPECT_NE(
        r.err.find("2 entries written, 0 lines refused, 0 duplicates, 0 lines skipped, 2 files written in "),
        std::string::npos)
        << r.err;
    EXPECT_NE(readFile(m_dir.path("sites/c.com.conf")).find("ServerAlias c.com\r\n"), std::string::npos);
}
