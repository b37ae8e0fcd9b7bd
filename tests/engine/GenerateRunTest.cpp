#include "engine/GenerateThread.h"

#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

// Records the end; progress and total are read from the target itself.
class CRecordingTarget : public CGenTarget {
public:
    int nDone = 0;
    tagGenResult result;

protected:
    void onDone(tagGenResult r) override {
        ++nDone;
        result = std::move(r);
    }
};

// Receives the end on the worker's thread and hands it to the test's thread, as a dialog would.
class CWaitingTarget : public CGenTarget {
public:
    const tagGenResult& waitDone() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_nDone > 0; });
        return m_result;
    }
    int done() {
        std::lock_guard lock(m_mutex);
        return m_nDone;
    }

protected:
    void onDone(tagGenResult r) override {
        std::lock_guard lock(m_mutex);
        m_result = std::move(r);
        ++m_nDone;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_nDone = 0;
    tagGenResult m_result;
};

std::string repeat(std::string_view part, int n) {
    std::string out;
    for (int i = 0; i < n; ++i)
        out += part;
    return out;
}

int countOf(std::string_view text, std::string_view part) {
    int n = 0;
    for (auto pos = text.find(part); pos != std::string_view::npos; pos = text.find(part, pos + part.size()))
        ++n;
    return n;
}

class GenerateRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_request.strSitePath = "/srv/www";
        m_request.strTemplateFile = m_dir.path("\xE8\x8A\x82\xE7\x82\xB9\xE6\xA8\xA1\xE7\x89\x88.txt");
        m_request.strOutFile = m_dir.path("_out.txt");
    }

    void typedList(std::string text) {
        m_request.eList = EListSource::Text;
        m_request.strList = std::move(text);
    }
    void listFile(const std::string& bytes) {
        writeFile(m_dir.path("list.txt"), bytes);
        m_request.eList = EListSource::File;
        m_request.strList = m_dir.path("list.txt");
    }
    // One run on this thread, as the worker would do it.
    void run(CRecordingTarget& target, bool bStopFirst = false) {
        CGenerateThread thread(target, m_request);
        std::stop_source stop;
        if (bStopFirst)
            stop.request_stop();
        thread.Generate(stop.get_token());
        EXPECT_EQ(target.nDone, 1);
    }

    std::string output() const { return readFile(m_request.strOutFile); }

    CScopedTempDir m_dir;
    tagGenRequest m_request;
};

TEST_F(GenerateRunTest, TypedLists) {
    const std::string a = builtinEntry("/srv/www", "a.com");
    const std::string b = builtinEntry("/srv/www", "b.com");
    const struct {
        std::string list;
        std::int64_t total;
        std::string out;
    } cases[] = {
        {"a.com", 1, a},
        {"a.com\r\nlocalhost\r\nwww.a.com", 3, a + a},
        {"a.com`b.com", 2, a + b},
        {"a.com\nb.com", 2, a + b},
        {"a.com\rb.com", 2, a + b},
        {" a.com \r\n\tb.com", 2, a + b},
        {"localhost\r\n\r\nb.com", 3, b},
    };
    for (const auto& c : cases) {
        typedList(c.list);
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(target.total(), c.total) << testing::PrintToString(c.list);
        EXPECT_EQ(target.progress(), c.total) << testing::PrintToString(c.list);
        EXPECT_EQ(output(), c.out) << testing::PrintToString(c.list);
        EXPECT_EQ(target.result.eFailure, EGenFailure::None);
        EXPECT_EQ(target.result.nLines, c.total);
        EXPECT_EQ(target.result.nEntries, countOf(c.out, "<VirtualHost"));
    }
}

TEST_F(GenerateRunTest, ListFiles) {
    const std::string a = builtinEntry("/srv/www", "a.com");
    const std::string b = builtinEntry("/srv/www", "b.com");
    const struct {
        std::string bytes;
        std::int64_t total;
        std::string out;
    } cases[] = {
        {"", 0, ""},
        {"a.com\r\nb.com\r\n", 2, a + b},
        {"a.com\nb.com\n", 2, a + b},
        {"\xEF\xBB\xBF"
         "a.com\nb.com",
         2, a + b},
        {"\xD6\xD0.cn", 1, builtinEntry("/srv/www", "xn--fiq.cn")},
        {"\xFF\xFE" + std::string("a\0.\0c\0o\0m\0", 10), 1, a},
    };
    for (const auto& c : cases) {
        listFile(c.bytes);
        writeFile(m_request.strOutFile, "previous run");
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(target.total(), c.total) << testing::PrintToString(c.bytes);
        EXPECT_EQ(target.progress(), c.total);
        EXPECT_EQ(output(), c.out) << testing::PrintToString(c.bytes);
    }
}

TEST_F(GenerateRunTest, OutputFileAsListUsesThePreviousOutput) {
    listFile("a.com\r\nb.com");
    m_request.strOutFile = m_request.strList;
    m_request.bWww = true;
    CRecordingTarget target;
    run(target);
    EXPECT_EQ(output(),
              builtinEntry("/srv/www", "a.com www.a.com") + builtinEntry("/srv/www", "b.com www.b.com"));
}

TEST_F(GenerateRunTest, TemplateIsReadAgainForEveryRun) {
    typedList("a.com");
    m_request.strPrefix = "m";
    const struct {
        std::string templ; // as on disk; empty: no file
        std::string out;
    } runs[] = {
        {"A {siteDomain} {sitePath}", "A a.com m.a.com /srv/www\r\n"},
        {"\xEF\xBB\xBF"
         "B {siteDomain}",
         "B a.com m.a.com\r\n"},
        // Apache reads bytes: a template in GB18030 is written in GB18030.
        {"\xD6\xD0 {siteDomain}", "\xD6\xD0 a.com m.a.com\r\n"},
        {"", builtinEntry("/srv/www", "a.com m.a.com")},
    };
    for (const auto& r : runs) {
        std::filesystem::remove(m_request.strTemplateFile);
        if (!r.templ.empty())
            writeFile(m_request.strTemplateFile, r.templ);
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(output(), r.out) << r.templ;
    }
}

TEST_F(GenerateRunTest, FilesThatCannotBeReadStopTheRunBeforeTheOutputIsTouched) {
    for (const bool badList : {true, false}) {
        writeFile(m_request.strOutFile, "previous run");
        listFile("a.com");
        // A regular file whose reading fails, whatever the user's rights.
        const std::string bad = "/proc/self/mem";
        if (badList)
            m_request.strList = bad;
        m_request.strTemplateFile = badList ? m_dir.path("none.txt") : bad;
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(target.result.eFailure, EGenFailure::ReadFile);
        EXPECT_EQ(target.result.strPath, bad);
        EXPECT_FALSE(target.result.strReason.empty());
        EXPECT_EQ(target.progress(), 0);
        EXPECT_EQ(output(), "previous run");
    }
}

TEST_F(GenerateRunTest, OutputThatCannotBeCreatedEndsTheRunWithTheReason) {
    typedList("a.com");
    m_request.strOutFile = m_dir.path("missing/_out.txt");
    CRecordingTarget target;
    run(target);
    EXPECT_EQ(target.result.eFailure, EGenFailure::WriteFile);
    EXPECT_EQ(target.result.strPath, m_request.strOutFile);
    EXPECT_EQ(target.result.strReason, "No such file or directory");
    EXPECT_EQ(target.progress(), 0);
}

TEST_F(GenerateRunTest, FailedWriteEndsTheRunAtOnceAndLeavesThePreviousOutput) {
    typedList(repeat("example.com\r\n", 100000));
    writeFile(m_request.strOutFile, "previous run");
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit limit = old;
    limit.rlim_cur = 3 * 1024 * 1024 + 5;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    CRecordingTarget target;
    run(target);
    ::setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_EQ(target.result.eFailure, EGenFailure::WriteFile);
    EXPECT_EQ(target.result.strReason, "File too large");
    EXPECT_LT(target.result.nLines, 100000) << "the run went on after the failure";
    EXPECT_EQ(output(), "previous run");
}

TEST_F(GenerateRunTest, StopBeforeTheFirstLineLeavesAnEmptyOutput) {
    writeFile(m_request.strOutFile, "previous run");
    typedList("a.com\r\nb.com");
    CRecordingTarget target;
    run(target, true);
    EXPECT_EQ(target.progress(), 0);
    EXPECT_TRUE(target.result.bStopped);
    EXPECT_EQ(output(), "");
}

TEST_F(GenerateRunTest, RefusedLinesAndDuplicatesAreReportedWithTheirLines) {
    std::string list = "a.com\nfoo bar.com\nlocalhost\nA.COM\nb.com\\\nwww.a.com\n";
    for (int i = 0; i < 24; ++i)
        list += "bad_" + std::to_string(i) + "..com\n";
    typedList(list);
    m_request.bWww = true;
    CRecordingTarget target;
    run(target);
    const tagGenResult& r = target.result;
    EXPECT_EQ(r.eFailure, EGenFailure::None);
    EXPECT_EQ(output(), builtinEntry("/srv/www", "a.com www.a.com") +
                            builtinEntry("/srv/www", "A.COM www.A.COM") +
                            builtinEntry("/srv/www", "a.com www.a.com"));
    EXPECT_EQ(r.nEntries, 3);
    EXPECT_EQ(r.nRefused, 26);
    EXPECT_EQ(r.nDuplicates, 2);
    EXPECT_EQ(r.nSkipped, 1); // localhost: the line break at the end starts no line
    ASSERT_EQ(r.vecRefused.size(), tagGenResult::kMaxReports);
    EXPECT_EQ(r.vecRefused[0].nLine, 2);
    EXPECT_EQ(r.vecRefused[0].eReason, names::EVerdict::Space);
    EXPECT_EQ(r.vecRefused[0].strText, "foo bar.com");
    EXPECT_EQ(r.vecRefused[1].nLine, 5);
    EXPECT_EQ(r.vecRefused[1].eReason, names::EVerdict::Backslash);
    EXPECT_EQ(r.vecRefused[2].eReason, names::EVerdict::EmptyLabel);
    ASSERT_EQ(r.vecDuplicates.size(), 2u);
    EXPECT_EQ(r.vecDuplicates[0].nLine, 4);
    EXPECT_EQ(r.vecDuplicates[0].nFirstLine, 1);
    EXPECT_EQ(r.vecDuplicates[1].nLine, 6);
    EXPECT_EQ(r.vecDuplicates[1].strText, "www.a.com");
}

// A refused field, a template that cannot hold the site path or, in a strict run, a refused line:
// the run fails and the output is left. The first two are refused before the list is read.
TEST_F(GenerateRunTest, RefusalsThatLeaveThePreviousOutput) {
    const struct {
        std::string sitePath;
        std::string prefix;
        std::string templ; // empty: none
        bool strict;
        EGenFailure failure;
        std::int64_t failLine = 0;
    } cases[] = {
        {"/var/www\nInclude /etc/x.conf", "", "", false, EGenFailure::SitePath},
        {"", "", "", false, EGenFailure::SitePath},
        {"/srv", "m\nInclude /x", "", false, EGenFailure::Prefix},
        {"/my sites", "", "<VirtualHost *>\n  DocumentRoot /srv/{sitePath}\n</VirtualHost>", false,
         EGenFailure::Template, 2},
        {"/srv", "m", "ServerAlias {siteDomain}\r\nDocumentRoot x{sitePath}", false, EGenFailure::None},
        {"/{siteDomain}", "m", "ServerAlias {siteDomain}\r\nDocumentRoot x{sitePath}", false,
         EGenFailure::Template, 2},
        {"/srv", "", "", true, EGenFailure::Refused},
    };
    for (const auto& c : cases) {
        writeFile(m_request.strOutFile, "previous run");
        listFile("a.com\nb c.com\nd.com");
        std::filesystem::remove(m_request.strTemplateFile);
        if (!c.templ.empty())
            writeFile(m_request.strTemplateFile, c.templ);
        m_request.strSitePath = c.sitePath;
        m_request.strPrefix = c.prefix;
        m_request.bStrict = c.strict;
        CRecordingTarget target;
        run(target);
        const std::string label = testing::PrintToString(c.sitePath + c.prefix + c.templ);
        EXPECT_EQ(target.result.eFailure, c.failure) << label;
        if (c.failure == EGenFailure::None)
            continue;
        EXPECT_EQ(output(), "previous run") << label;
        EXPECT_EQ(target.result.nFailLine, c.failLine) << label;
        if (c.failure == EGenFailure::Template) {
            EXPECT_EQ(target.result.strPath, m_request.strTemplateFile);
            EXPECT_EQ(target.total(), 0) << "the list was read";
        }
    }
}

// The output is a named pipe that the test does not drain at first: the run then waits inside
// its first pieces, and the list is changed behind it.
TEST_F(GenerateRunTest, ListThatChangesWhileItIsReadFailsTheRun) {
    const std::string list = repeat("example.com\n", 200000); // many pieces
    for (const bool grow : {false, true}) {
        listFile(list);
        m_request.strOutFile = m_dir.path("out.fifo");
        std::filesystem::remove(m_request.strOutFile);
        ASSERT_EQ(::mkfifo(m_request.strOutFile.c_str(), 0600), 0);
        CWaitingTarget target;
        CGenerateThread thread(target, m_request);
        ASSERT_TRUE(thread.CreateThread());
        const int fd = ::open(m_request.strOutFile.c_str(), O_RDONLY);
        while (target.progress() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (grow)
            std::ofstream(m_request.strList, std::ios::app) << "more.com\n";
        else
            std::filesystem::resize_file(m_request.strList, list.size() / 2);
        char buf[65536];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
        ::close(fd);
        const tagGenResult& result = target.waitDone();
        EXPECT_EQ(result.eFailure, EGenFailure::ListChanged) << (grow ? "grown" : "shrunk");
        EXPECT_EQ(result.strPath, m_request.strList);
    }
}

TEST_F(GenerateRunTest, WorkerThreadEndsExactlyOnceWithTheLastLine) {
    constexpr int kLines = 200000;
    typedList(repeat("www.example.com\r\n", kLines - 1) + "last.com");
    CWaitingTarget target;
    CGenerateThread thread(target, m_request);
    ASSERT_TRUE(thread.CreateThread());
    const tagGenResult& result = target.waitDone();
    thread.Join();
    EXPECT_EQ(target.done(), 1);
    EXPECT_EQ(target.progress(), kLines);
    EXPECT_EQ(target.total(), kLines);
    EXPECT_EQ(result.nEntries, kLines);
    EXPECT_EQ(countOf(output(), "</VirtualHost>\r\n"), kLines);
}

TEST_F(GenerateRunTest, StopOnAWorkerThreadLeavesWholeEntries) {
    constexpr int kLines = 500000;
    listFile(repeat("example.com\n", kLines));
    m_request.bWww = true;
    writeFile(m_request.strOutFile, "previous run");
    CWaitingTarget target;
    CGenerateThread thread(target, m_request);
    ASSERT_TRUE(thread.CreateThread());
    while (target.progress() < 1000 && target.done() == 0)
        std::this_thread::yield();
    thread.RequestStop();
    const tagGenResult& result = target.waitDone();
    thread.Join();
    EXPECT_TRUE(result.bStopped);
    EXPECT_LT(result.nLines, kLines);
    EXPECT_GE(result.nLines, 1000);
    EXPECT_EQ(output(), repeat(builtinEntry("/srv/www", "example.com www.example.com"),
                               static_cast<int>(result.nLines)));
}

} // namespace
