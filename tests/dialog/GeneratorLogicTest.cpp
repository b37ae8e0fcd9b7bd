#include "dialog/GeneratorLogic.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "dialog/DataDirs.h"

namespace {

using namespace std::chrono_literals;

// A dialog without a toolkit: it records what the logic shows, and runs what the worker posts on
// the test's thread when the test pumps, as a dialog's event loop would.
class CRecordingView : public CDialogView {
public:
    tagFields fields;
    std::string strStatus = "就绪";
    std::string strButton = "开始";
    bool bButtonEnabled = true;
    EField eFocus = EField::Domains;
    bool bTimer = false;
    std::vector<std::string> warnings;
    std::vector<std::string> opened;
    std::vector<std::string> events; // "warning" and "open", in order
    int nAbout = 0;
    bool bOpenFails = false;
    // Runs while a warning box is open, as the box's own loop would.
    std::function<void()> whileBoxOpen;

    tagFields readFields() const override { return fields; }
    void showFields(const std::string& strSitePath, const std::string& strPrefix, bool bWww) override {
        fields.strSitePath = strSitePath;
        fields.strPrefix = strPrefix;
        fields.bWww = bWww;
    }
    void setStatus(const std::string& strText) override { strStatus = strText; }
    void setStartButton(const std::string& strText, bool bEnabled) override {
        strButton = strText;
        bButtonEnabled = bEnabled;
    }
    void focusField(EField eField) override { eFocus = eField; }
    void showWarning(const std::string& strText) override {
        warnings.push_back(strText);
        events.emplace_back("warning");
        if (auto fn = std::exchange(whileBoxOpen, nullptr))
            fn();
    }
    void showAbout() override { ++nAbout; }
    bool openFile(const std::string& strPath, std::string& strReason) override {
        opened.push_back(strPath);
        events.emplace_back("open");
        strReason = "no program for it";
        return !bOpenFails;
    }
    tagPoster poster() override {
        return [this](std::function<void()> fn) {
            std::lock_guard lock(m_mutex);
            m_queue.push_back(std::move(fn));
            m_cv.notify_all();
        };
    }
    void setProgressTimer(bool bOn) override { bTimer = bOn; }

    void forget() {
        warnings.clear();
        opened.clear();
        events.clear();
        strStatus = "就绪";
    }

    // Runs posted calls until done() holds, waiting for them as they come; false on a timeout.
    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(m_mutex);
            if (!m_cv.wait_until(lock, deadline, [this] { return !m_queue.empty(); }))
                return false;
            auto fn = std::move(m_queue.front());
            m_queue.pop_front();
            lock.unlock();
            fn();
        }
        return true;
    }
    std::size_t queued() {
        std::lock_guard lock(m_mutex);
        return m_queue.size();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
};

class GeneratorLogicTest : public ::testing::Test {
protected:
    void open() {
        m_pLogic = std::make_unique<CGeneratorLogic>(m_view, tagDataDirs{m_dir.path(""), m_dir.path("")});
        m_pLogic->OnInitDialog();
    }
    void close() {
        m_pLogic->OnDestroy();
        m_pLogic.reset();
    }
    bool idle() const { return m_pLogic->state() == CGeneratorLogic::EState::Idle; }
    bool runToEnd() {
        m_pLogic->OnStart();
        return m_view.pumpUntil([this] { return idle(); });
    }
    std::string outPath() { return m_dir.path("_out.txt"); }
    std::string bigList(int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += "site" + std::to_string(i) + ".example.com\n";
        writeFile(m_dir.path("list.txt"), text);
        return m_dir.path("list.txt");
    }

    CScopedTempDir m_dir;
    CRecordingView m_view;
    std::unique_ptr<CGeneratorLogic> m_pLogic;
};

TEST_F(GeneratorLogicTest, SettingsComeBackAtTheNextStartButNeverTheList) {
    open();
    EXPECT_EQ(m_view.fields.strSitePath, "");
    EXPECT_EQ(m_view.fields.strPrefix, "");
    EXPECT_FALSE(m_view.fields.bWww);
    EXPECT_EQ(m_view.eFocus, EField::Domains);
    m_view.fields = {"a.com", "/srv/www", "m", true};
    close();
    m_view.fields = {};
    open();
    EXPECT_EQ(m_view.fields.strSitePath, "/srv/www");
    EXPECT_EQ(m_view.fields.strPrefix, "m");
    EXPECT_TRUE(m_view.fields.bWww);
    EXPECT_EQ(m_view.fields.strDomains, "");
}

TEST_F(GeneratorLogicTest, RefusedInputsWarnAndFocusTheFieldToFix) {
    const struct {
        std::string list, site, prefix;
        std::string warning;
        EField focus;
    } cases[] = {
        {"", "", "", "域名列表不能为空！", EField::Domains},
        {" \r\n\t\n ", "/srv", "", "域名列表不能为空！", EField::Domains},
        {"a.com", "", "", "站点路径不能为空！", EField::SitePath},
        {"a.com", "/srv\nInclude /x", "", "站点路径不能包含换行符或其他控制字符！", EField::SitePath},
        {"a.com", "/srv/${APACHE_LOG_DIR}", "", "站点路径不能包含“${”，Apache 会把它当作变量替换！",
         EField::SitePath},
        {"a.com", "/srv", "a b", "自定义前缀无效：含有空格！", EField::Prefix},
        {"a.com", "/srv", "m.", "自定义前缀无效：含有空的标签！", EField::Prefix},
    };
    open();
    for (const auto& c : cases) {
        m_view.warnings.clear();
        m_view.eFocus = EField::Domains;
        m_view.fields = {c.list, c.site, c.prefix, false};
        m_pLogic->OnStart();
        EXPECT_EQ(m_view.warnings, std::vector<std::string>{c.warning});
        EXPECT_EQ(m_view.eFocus, c.focus) << c.warning;
        EXPECT_TRUE(idle());
        EXPECT_EQ(m_view.strButton, "开始");
    }
    // A site path of blanks is accepted.
    m_view.fields = {"a.com", "   ", "", false};
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(readFile(outPath()), builtinEntry("\"   \"", "a.com"));
}

TEST_F(GeneratorLogicTest, RunShowsItsStatesAndEndsWithTheOutputOpened) {
    open();
    m_view.fields = {"a.com\nlocalhost\nwww.b.com\nfoo bar.com", "/srv/www", "", true};
    m_pLogic->OnStart();
    EXPECT_EQ(m_view.strButton, "停止");
    EXPECT_TRUE(m_view.bButtonEnabled);
    EXPECT_EQ(m_view.strStatus, "执行中");
    EXPECT_TRUE(m_view.bTimer);
    ASSERT_TRUE(m_view.pumpUntil([this] { return idle(); }));
    EXPECT_EQ(m_view.strStatus, "操作结束！");
    EXPECT_EQ(m_view.strButton, "开始");
    EXPECT_TRUE(m_view.bButtonEnabled);
    EXPECT_FALSE(m_view.bTimer);
    EXPECT_EQ(readFile(outPath()),
              builtinEntry("/srv/www", "a.com www.a.com") + builtinEntry("/srv/www", "b.com www.b.com"));
    // The refused line is listed before the output opens.
    EXPECT_EQ(m_view.warnings,
              std::vector<std::string>{"以下 1 行未生成配置：\n第 4 行：含有空格：foo bar.com"});
    EXPECT_EQ(m_view.events, (std::vector<std::string>{"warning", "open"}));
    EXPECT_EQ(m_view.opened, std::vector<std::string>{outPath()});

    // The template is read anew for each run.
    writeFile(m_dir.path("节点模版.txt"), "{siteDomain}");
    m_view.fields = {"a.com\nwww.b.com", "/srv/www", "", false};
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(readFile(outPath()), "a.com\r\nb.com\r\n");
}

TEST_F(GeneratorLogicTest, StopTurnsTheButtonIntoADisabledStoppingUntilTheEnd) {
    open();
    m_view.fields = {bigList(2000000), "/srv/www", "", false};
    m_pLogic->OnStart();
    // Progress shows at the view's timer, with the total.
    while (m_view.strStatus == "执行中" && !m_view.queued()) {
        m_pLogic->OnProgressTimer();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(m_view.strStatus.starts_with("执行中... ")) << m_view.strStatus;
    EXPECT_TRUE(m_view.strStatus.ends_with("/2000000")) << m_view.strStatus;
    m_pLogic->OnStart();
    if (!m_view.queued()) { // the run may have ended on its own meanwhile
        EXPECT_EQ(m_view.strButton, "正在停止");
        EXPECT_FALSE(m_view.bButtonEnabled);
    }
    ASSERT_TRUE(m_view.pumpUntil([this] { return idle(); }));
    EXPECT_EQ(m_view.strStatus, "操作结束！");
    EXPECT_EQ(m_view.strButton, "开始");
    const std::string out = readFile(outPath());
    EXPECT_TRUE(out.empty() || out.ends_with("</VirtualHost>\r\n"));
    EXPECT_EQ(m_view.opened, std::vector<std::string>{outPath()});
}

TEST_F(GeneratorLogicTest, FailuresSayWhichFileAndWhy) {
    const struct {
        std::function<void(const CScopedTempDir&)> setUp;
        bool bOpenFails;
        bool bRun;
        std::string status;
        std::string warning;
    } cases[] = {
        {[](const CScopedTempDir& dir) { std::filesystem::create_directory(dir.path("_out.txt")); }, false,
         true, "操作失败！", "无法写入文件：" + m_dir.path("_out.txt") + "\nIs a directory"},
#ifndef _WIN32 // a file that exists and cannot be read
        {[](const CScopedTempDir& dir) {
             std::filesystem::create_symlink("/proc/self/mem", dir.path("节点模版.txt"));
         },
         false, true, "操作失败！", "无法读取文件：" + m_dir.path("节点模版.txt") + "\n"},
#endif
        {[](const CScopedTempDir&) {}, true, true, "操作结束！",
         "无法打开输出文件：\n" + m_dir.path("_out.txt") + "\nno program"},
        {[](const CScopedTempDir&) {}, false, false, "就绪", "输出文件不存在：\n" + m_dir.path("_out.txt")},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(m_dir.path("_out.txt"));
        std::filesystem::remove(utf8Path(m_dir.path("节点模版.txt")));
        c.setUp(m_dir);
        m_view.forget();
        m_view.bOpenFails = c.bOpenFails;
        open();
        m_view.fields = {"a.com", "/srv/www", "", false};
        if (c.bRun)
            ASSERT_TRUE(runToEnd());
        else
            m_pLogic->OnOutput();
        EXPECT_EQ(m_view.strStatus, c.status);
        ASSERT_EQ(m_view.warnings.size(), 1u) << c.warning;
        EXPECT_EQ(m_view.warnings[0].substr(0, c.warning.size()), c.warning);
        close();
    }
}

TEST_F(GeneratorLogicTest, EndOfRunIsHandledOnceWhileABoxIsOpen) {
    open();
    m_view.fields = {bigList(300000), "/srv/www", "", false};
    m_pLogic->OnStart();
    m_view.whileBoxOpen = [this] { EXPECT_TRUE(m_view.pumpUntil([this] { return idle(); })); };
    m_view.showWarning("a box of some other kind");
    EXPECT_EQ(m_view.strStatus, "操作结束！");
    EXPECT_EQ(m_view.opened, std::vector<std::string>{outPath()});
    EXPECT_EQ(m_view.queued(), 0u) << "the end was posted twice";
}

TEST_F(GeneratorLogicTest, CloseDuringARunSavesAtOnceAndWaitsForTheWorker) {
    open();
    m_view.fields = {bigList(3000000), "/srv/close", "", false};
    m_pLogic->OnStart();
    while (m_view.strStatus == "执行中" && m_view.queued() == 0) {
        m_pLogic->OnProgressTimer();
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(m_view.queued(), 0u) << "the run ended before the close";
    m_pLogic->OnDestroy();
    EXPECT_NE(readFile(m_dir.path("Kelvane.ini")).find("pathroot=/srv/close\n"), std::string::npos)
        << "the settings were not saved at once";
    m_pLogic->Shutdown();
    // The end may come after the close: it changes nothing then.
    m_view.pumpUntil([this] { return m_view.queued() == 0; }, 100ms);
    EXPECT_TRUE(m_view.opened.empty());
    const std::string out = readFile(outPath());
    std::size_t pos = 0;
    for (int i = 0; pos < out.size(); ++i) {
        const std::string entry = builtinEntry("/srv/close", "site" + std::to_string(i) + ".example.com");
        ASSERT_EQ(out.compare(pos, entry.size(), entry), 0) << "entry " << i << " is cut or wrong";
        pos += entry.size();
    }
    m_pLogic.reset();
}

#ifndef _WIN32
// The per-user directories of POSIX systems, from the XDG variables.
TEST(DataDirsTest, PortableBesideTheProgramElsePerUser) {
    CScopedTempDir dir;
    const std::string exeDir = dir.path("bin");
    std::filesystem::create_directory(exeDir);
    setenv("XDG_CONFIG_HOME", dir.path("config").c_str(), 1);
    setenv("XDG_DATA_HOME", dir.path("data").c_str(), 1);
    const tagDataDirs installed = chooseDataDirs(exeDir);
    EXPECT_EQ(installed.strConfigDir, dir.path("config/Kelvane/"));
    EXPECT_EQ(installed.strDataDir, dir.path("data/Kelvane/"));
    EXPECT_TRUE(std::filesystem::is_directory(installed.strDataDir));

    writeFile(exeDir + "/" + std::string(kPortableMarker), "");
    const tagDataDirs portable = chooseDataDirs(exeDir);
    EXPECT_EQ(portable.strConfigDir, exeDir + "/");
    EXPECT_EQ(portable.strDataDir, exeDir + "/");
    if (::geteuid() != 0) { // root may write anywhere
        ::chmod(exeDir.c_str(), 0555);
        EXPECT_EQ(chooseDataDirs(exeDir).strDataDir, dir.path("data/Kelvane/"));
        ::chmod(exeDir.c_str(), 0755);
    }
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
}
#endif

} // namespace
