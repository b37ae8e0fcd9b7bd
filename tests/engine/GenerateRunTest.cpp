#include "engine/GenerateThread.h"

#include <condition_variable>
#include <csignal>
#include <deque>
#include <functional>
#include <mutex>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

// Receives every notification on the worker's thread and takes each progress at once, so that
// nothing is merged and the sequence can be checked whole.
class CRecordingTarget : public CGenTarget {
public:
    std::vector<std::int64_t> progress;
    int nDone = 0;
    bool bProgressAfterDone = false;
    tagGenResult result;
    std::function<void(std::int64_t)> onLine;

protected:
    void onProgress() override {
        bProgressAfterDone = bProgressAfterDone || nDone > 0;
        const std::int64_t nLine = takeProgress();
        progress.push_back(nLine);
        if (onLine)
            onLine(nLine);
    }
    void onDone(tagGenResult r) override {
        ++nDone;
        result = std::move(r);
    }
};

std::vector<std::int64_t> oneTo(std::int64_t n) {
    std::vector<std::int64_t> v;
    for (std::int64_t i = 1; i <= n; ++i)
        v.push_back(i);
    return v;
}

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
    tagThreadParam* param(CGenTarget& target) { return new tagThreadParam{&target, nullptr, &m_bStop, m_request}; }

    // One run on this thread, as the worker would do it.
    void run(CRecordingTarget& target) {
        auto* pParam = param(target);
        CGenerateThread thread(ThreadProc, pParam);
        EXPECT_EQ(pParam->pThread, &thread);
        ThreadProc(pParam);
        EXPECT_EQ(target.nDone, 1);
        EXPECT_FALSE(target.bProgressAfterDone);
    }

    std::string output() const { return readFile(m_request.strOutFile); }

    CScopedTempDir m_dir;
    tagGenRequest m_request;
    std::atomic<bool> m_bStop{false};
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
        EXPECT_EQ(g_nTotal.load(), c.total) << testing::PrintToString(c.list);
        EXPECT_EQ(target.progress, oneTo(c.total)) << testing::PrintToString(c.list);
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
        {"", 1, ""},
        {"a.com\r\nb.com\r\n", 3, a + b},
        {"a.com\nb.com\n", 3, a + b},
        {"\xEF\xBB\xBF" "a.com\nb.com", 2, a + b},
        {"\xD6\xD0.cn", 1, builtinEntry("/srv/www", "xn--fiq.cn")},
        {"\xFF\xFE" + std::string("a\0.\0c\0o\0m\0", 10), 1, a},
    };
    for (const auto& c : cases) {
        listFile(c.bytes);
        writeFile(m_request.strOutFile, "previous run");
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(g_nTotal.load(), c.total) << testing::PrintToString(c.bytes);
        EXPECT_EQ(target.progress, oneTo(c.total));
        EXPECT_EQ(output(), c.out) << testing::PrintToString(c.bytes);
    }
}

TEST_F(GenerateRunTest, OutputFileAsListUsesThePreviousOutput) {
    listFile("a.com\r\nb.com");
    m_request.strOutFile = m_request.strList;
    m_request.bWww = true;
    CRecordingTarget target;
    run(target);
    EXPECT_EQ(output(), builtinEntry("/srv/www", "a.com www.a.com") + builtinEntry("/srv/www", "b.com www.b.com"));
}

TEST_F(GenerateRunTest, TemplateIsReadAgainForEveryRun) {
    typedList("a.com");
    m_request.strPrefix = "m";
    const struct {
        std::string templ; // as on disk; empty: no file
        std::string out;
    } runs[] = {
        {"A {siteDomain} {sitePath}", "A a.com m.a.com /srv/www\r\n"},
        {"\xEF\xBB\xBF" "B {siteDomain}", "B a.com m.a.com\r\n"},
        {"\xD6\xD0 {siteDomain}", "\xE4\xB8\xAD a.com m.a.com\r\n"},
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
        EXPECT_TRUE(target.progress.empty());
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
    EXPECT_TRUE(target.progress.empty());
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
    m_bStop = true;
    CRecordingTarget target;
    run(target);
    EXPECT_TRUE(target.progress.empty());
    EXPECT_TRUE(target.result.bStopped);
    EXPECT_EQ(output(), "");
}

TEST_F(GenerateRunTest, StopWhileALineIsBuiltLetsThatLineFinish) {
    typedList("a.com\r\nb.com\r\nc.com\r\nd.com\r\ne.com");
    CRecordingTarget target;
    target.onLine = [this](std::int64_t nLine) {
        if (nLine == 3)
            m_bStop = true;
    };
    run(target);
    EXPECT_EQ(target.progress, oneTo(3));
    EXPECT_TRUE(target.result.bStopped);
    EXPECT_EQ(target.result.nLines, 3);
    EXPECT_EQ(output(), builtinEntry("/srv/www", "a.com") + builtinEntry("/srv/www", "b.com") +
                            builtinEntry("/srv/www", "c.com"));
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
    EXPECT_EQ(output(), builtinEntry("/srv/www", "a.com www.a.com") + builtinEntry("/srv/www", "A.COM www.A.COM") +
                            builtinEntry("/srv/www", "a.com www.a.com"));
    EXPECT_EQ(r.nEntries, 3);
    EXPECT_EQ(r.nRefused, 26);
    EXPECT_EQ(r.nDuplicates, 2);
    EXPECT_EQ(r.nSkipped, 2); // localhost and the last, empty line
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

// A refused field or, in a strict run, a refused line: the run fails and the output is left.
TEST_F(GenerateRunTest, RefusalsThatLeaveThePreviousOutput) {
    const struct {
        std::string sitePath;
        std::string prefix;
        bool strict;
        EGenFailure failure;
    } cases[] = {
        {"/var/www\nInclude /etc/x.conf", "", false, EGenFailure::SitePath},
        {"", "", false, EGenFailure::SitePath},
        {"/srv", "m\nInclude /x", false, EGenFailure::Prefix},
        {"/srv", "", true, EGenFailure::Refused},
    };
    for (const auto& c : cases) {
        writeFile(m_request.strOutFile, "previous run");
        typedList("a.com\nb c.com\nd.com");
        m_request.strSitePath = c.sitePath;
        m_request.strPrefix = c.prefix;
        m_request.bStrict = c.strict;
        CRecordingTarget target;
        run(target);
        EXPECT_EQ(target.result.eFailure, c.failure) << testing::PrintToString(c.sitePath + c.prefix);
        EXPECT_EQ(output(), "previous run");
    }
}

TEST_F(GenerateRunTest, ListThatChangesWhileItIsReadFailsTheRun) {
    const std::string list = repeat("example.com\n", 100000); // several pieces
    for (const bool grow : {false, true}) {
        listFile(list);
        writeFile(m_request.strOutFile, "previous run");
        CRecordingTarget target;
        target.onLine = [&](std::int64_t nLine) {
            if (nLine != 1)
                return;
            if (grow)
                std::ofstream(m_request.strList, std::ios::app) << "more.com\n";
            else
                std::filesystem::resize_file(m_request.strList, list.size() / 2);
        };
        run(target);
        EXPECT_EQ(target.result.eFailure, EGenFailure::ListChanged) << (grow ? "grown" : "shrunk");
        EXPECT_EQ(target.result.strPath, m_request.strList);
        EXPECT_EQ(output(), "previous run");
    }
}

// Never takes its progress until the end: a receiver far behind.
class CSlowTarget : public CGenTarget {
public:
    int nProgress = 0;
    int nDone = 0;

protected:
    void onProgress() override { ++nProgress; }
    void onDone(tagGenResult) override { ++nDone; }
};

TEST_F(GenerateRunTest, ProgressIsMergedWhileTheReceiverIsBehind) {
    typedList(repeat("a.com\r\n", 1000));
    CSlowTarget target;
    auto* pParam = param(target);
    CGenerateThread thread(ThreadProc, pParam);
    ThreadProc(pParam);
    EXPECT_EQ(target.nProgress, 1);
    EXPECT_EQ(target.nDone, 1);
    EXPECT_EQ(target.takeProgress(), 1001);
}

// Stands for a dialog: notifications are queued and handled on another thread, in order.
class CQueuedTarget : public CGenTarget {
public:
    std::function<void(std::int64_t)> onLine;

    // The receiving thread's loop; returns once the end has been handled.
    void handleUntilDone() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return !m_queue.empty(); });
            const unsigned nMsg = m_queue.front();
            m_queue.pop_front();
            if (nMsg == WM_GEN_DONE) {
                nDone++;
                bMoreAfterDone = !m_queue.empty();
                return;
            }
            lock.unlock();
            const std::int64_t nLine = takeProgress();
            lines.push_back(nLine);
            if (onLine)
                onLine(nLine);
            lock.lock();
        }
    }

    std::vector<std::int64_t> lines;
    std::size_t nMaxQueued = 0;
    int nDone = 0;
    bool bMoreAfterDone = false;
    tagGenResult result;

protected:
    void onProgress() override { post(WM_GEN_PROGRESS); }
    void onDone(tagGenResult r) override {
        result = std::move(r);
        post(WM_GEN_DONE);
    }

private:
    // Notifies under the lock: once the end is handled the receiver may destroy the target, which
    // must not happen while the worker is still inside the notification.
    void post(unsigned nMsg) {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(nMsg);
        nMaxQueued = std::max(nMaxQueued, m_queue.size());
        m_cv.notify_one();
    }

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<unsigned> m_queue;
};

TEST_F(GenerateRunTest, WorkerThreadNotifiesInOrderAndEndsExactlyOnce) {
    constexpr int kLines = 200000;
    typedList(repeat("www.example.com\r\n", kLines - 1) + "last.com");
    CQueuedTarget target;
    auto* pParam = param(target);
    auto* pThread = new CGenerateThread(ThreadProc, pParam); // deletes itself
    ASSERT_TRUE(pThread->CreateThread());
    target.handleUntilDone();

    EXPECT_EQ(target.nDone, 1);
    EXPECT_FALSE(target.bMoreAfterDone);
    EXPECT_LE(target.nMaxQueued, 2u) << "one progress waiting at most, then the end";
    ASSERT_FALSE(target.lines.empty());
    EXPECT_TRUE(std::is_sorted(target.lines.begin(), target.lines.end()));
    EXPECT_EQ(target.lines.back(), kLines);
    EXPECT_EQ(target.result.nEntries, kLines);
    EXPECT_EQ(countOf(output(), "</VirtualHost>\r\n"), kLines);
}

TEST_F(GenerateRunTest, StopOnAWorkerThreadLeavesWholeEntries) {
    constexpr int kLines = 500000;
    listFile(repeat("example.com\n", kLines));
    m_request.bWww = true;
    const struct {
        std::int64_t stopAt; // 0: before the first line
    } cases[] = {{0}, {1000}};
    for (const auto& c : cases) {
        writeFile(m_request.strOutFile, "previous run");
        m_bStop = c.stopAt == 0;
        CQueuedTarget target;
        target.onLine = [this, &c](std::int64_t nLine) {
            if (nLine >= c.stopAt)
                m_bStop = true;
        };
        auto* pParam = param(target);
        auto* pThread = new CGenerateThread(ThreadProc, pParam);
        pThread->m_bAutoDelete = false;
        ASSERT_TRUE(pThread->CreateThread());
        target.handleUntilDone();
        pThread->Join();
        delete pThread;

        EXPECT_EQ(target.nDone, 1);
        EXPECT_FALSE(target.bMoreAfterDone);
        EXPECT_TRUE(target.result.bStopped);
        EXPECT_LT(target.result.nLines, kLines);
        EXPECT_GE(target.result.nLines, c.stopAt);
        if (c.stopAt == 0) {
            EXPECT_TRUE(target.lines.empty());
        }
        EXPECT_EQ(output(), repeat(builtinEntry("/srv/www", "example.com www.example.com"),
                                   static_cast<int>(target.result.nLines)));
    }
}

} // namespace
