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

void setHome(const char* pVariable, const std::string& strValue) {
#ifdef _WIN32
    _putenv_s(pVariable, strValue.c_str());
#else
    setenv(pVariable, strValue.c_str(), 1);
#endif
}

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
        {"a.com", "/srv\nInclude /x", "",
         "站点路径不能包含换行符或其他控制字符！\n第 5 个字符是换行符（LF），在“/srv”之后。",
         EField::SitePath},
        // Line ends at the ends are dropped; inside, the warning says where.
        {"a.com", "\r\n/srv/站点\r/x\n", "",
         "站点路径不能包含换行符或其他控制字符！\n第 8 个字符是回车符（CR），在“/srv/站点”之后。",
         EField::SitePath},
        {"a.com", "\t/srv", "", "站点路径不能包含换行符或其他控制字符！\n第 1 个字符是制表符。",
         EField::SitePath},
        {"a.com", "/" + std::string(40, 'x') + "\x01", "",
         "站点路径不能包含换行符或其他控制字符！\n第 42 个字符是控制字符 U+0001，在“…" +
             std::string(30, 'x') + "”之后。",
         EField::SitePath},
        {"a.com", "/srv/${APACHE_LOG_DIR}", "", "站点路径不能包含“${”，Apache 会把它当作变量替换！",
         EField::SitePath},
        {"a.com", "/srv", "a b", "自定义前缀无效：含有空格！", EField::Prefix},
        {"a.com", "/srv", "m.", "自定义前缀无效：含有空的标签！", EField::Prefix},
        {"a.com", "/srv", "\r\n m\nx\r\n",
         "自定义前缀无效：含有控制字符！\n第 3 个字符是换行符（LF），在“ m”之后。", EField::Prefix},
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

// A site path or prefix pasted with its line end is taken without it, and shown so.
TEST_F(GeneratorLogicTest, LineEndsAtTheEndsOfThePastedFieldsAreDropped) {
    const struct {
        std::string site, prefix;
        std::string shownSite, aliases;
    } cases[] = {
        {"/var/www/sites\n", "", "/var/www/sites", "a.com"},
        {"\r\n/srv/站点\r\n\r\n", "m\r\n", "/srv/站点", "a.com m.a.com"},
        {"/srv ", "\rm", "/srv ", "a.com m.a.com"}, // a blank is part of the path
    };
    open();
    for (const auto& c : cases) {
        m_view.fields = {"a.com", c.site, c.prefix, false};
        ASSERT_TRUE(runToEnd());
        EXPECT_TRUE(m_view.warnings.empty()) << m_view.warnings[0];
        EXPECT_EQ(m_view.fields.strSitePath, c.shownSite);
        const std::string quoted = c.shownSite.ends_with(' ') ? "\"" + c.shownSite + "\"" : c.shownSite;
        EXPECT_EQ(readFile(outPath()), builtinEntry(quoted, c.aliases));
    }
    // Nor are they remembered.
    m_view.fields = {"a.com", "/srv/www\r\n", "\nm", false};
    close();
    const std::string ini = readFile(m_dir.path("Kelvane.ini"));
    EXPECT_NE(ini.find("pathroot=/srv/www\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("subdomain=m\n"), std::string::npos) << ini;
}

// A one-line list with the form of a path names a list file: when it cannot be read, the
// warning says so and nothing is written; anything else is the list, or the file it names.
TEST_F(GeneratorLogicTest, AListThatIsAPathNamesAFileThatMustBeReadable) {
    writeFile(m_dir.path("list.txt"), "b.com\n");
    const std::string home = m_dir.path("home");
    std::filesystem::create_directory(home);
    writeFile(m_dir.path("home/list.txt"), "c.com\n");
#ifdef _WIN32
    const char* pHomeVar = "USERPROFILE";
#else
    const char* pHomeVar = "HOME";
    std::filesystem::create_symlink("loop", m_dir.path("loop"));
#endif
    const char* pOldHome = std::getenv(pHomeVar);
    const std::string oldHome = pOldHome ? pOldHome : "";
    setHome(pHomeVar, home);
    const std::string missing = m_dir.path("lists/domains.txt");
    const struct {
        std::string list;
        std::string warning; // its start; empty: the run writes aliases
        std::string aliases;
    } cases[] = {
        {"  " + missing + "\r\n", "无法读取列表文件：" + missing + "\n", ""},
        {"D:\\lists\\domains.txt", "无法读取列表文件：D:\\lists\\domains.txt\n", ""},
        {"z:/lists/domains.txt", "无法读取列表文件：z:/lists/domains.txt\n", ""},
        {"~/missing.txt", "无法读取列表文件：" + home + "/missing.txt\n", ""},
        {m_dir.path(""), "无法读取列表文件：" + m_dir.path("") + "\nIs a directory", ""},
        {missing, "无法读取列表文件：" + missing + "\nNo such file or directory", ""},
#ifndef _WIN32 // Wine would look for the server
        {"\\\\server\\lists\\domains.txt", "无法读取列表文件：\\\\server\\lists\\domains.txt\nNo such file",
         ""},
        {"/etc/passwd/domains.txt", "无法读取列表文件：/etc/passwd/domains.txt\nNot a directory", ""},
        {m_dir.path("loop"), "无法读取列表文件：" + m_dir.path("loop") + "\nToo many levels", ""},
        {"/dev/null", "无法读取列表文件：/dev/null\n不是普通文件", ""},
#endif
        {m_dir.path("list.txt"), "", "b.com"},
        {"~/list.txt", "", "c.com"},
        {"https://a.com/list.txt", "", "a.com"},
        {missing + "\na.com", "", "a.com"}, // two lines: a list, the first one refused
    };
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        m_view.forget();
        m_view.eFocus = EField::SitePath;
        writeFile(outPath(), "previous");
        m_view.fields = {c.list, "/srv", "", false};
        if (!c.warning.empty()) {
            m_pLogic->OnStart();
            EXPECT_TRUE(idle());
            ASSERT_EQ(m_view.warnings.size(), 1u);
            EXPECT_EQ(m_view.warnings[0].substr(0, c.warning.size()), c.warning);
            EXPECT_EQ(m_view.eFocus, EField::Domains);
            EXPECT_EQ(readFile(outPath()), "previous");
            EXPECT_TRUE(m_view.opened.empty());
            continue;
        }
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(readFile(outPath()), builtinEntry("/srv", c.aliases));
        EXPECT_EQ(m_view.opened, std::vector<std::string>{outPath()});
    }
#ifndef _WIN32
    if (::geteuid() != 0) { // root reads anything
        ::chmod(m_dir.path("list.txt").c_str(), 0);
        m_view.forget();
        m_view.fields = {m_dir.path("list.txt"), "/srv", "", false};
        m_pLogic->OnStart();
        EXPECT_EQ(m_view.warnings, std::vector<std::string>{"无法读取列表文件：" + m_dir.path("list.txt") +
                                                            "\nPermission denied"});
    }
#endif
    setHome(pHomeVar, oldHome);
}

// A run in which every line that holds a name is refused writes nothing: the previous output
// stays and is not opened, and the box lists the refused lines. A list of no names runs as any.
TEST_F(GeneratorLogicTest, ARunThatRefusesEveryNameLeavesTheOutputAsItWas) {
    writeFile(m_dir.path("refused.txt"), "localhost\n\n1\"a.com\n");
    const std::string head = "未生成任何配置：所有含域名的行都被拒绝，输出文件保持原样。\n";
    const struct {
        std::string list;
        std::vector<std::string> warnings;
        std::string out; // "previous": left as it was, and not opened
    } cases[] = {
        {"foo bar.com\nlocalhost\nb\\d.com",
         {head + "以下 2 行未生成配置：\n第 1 行：含有空格：foo bar.com\n第 3 行：含有反斜杠：b\\d.com"},
         "previous"},
        {m_dir.path("refused.txt"),
         {head + "以下 1 行未生成配置：\n第 3 行：含有引号：1\"a.com"},
         "previous"},
        {"localhost\n\n foo \n", {}, ""},
    };
    open();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        m_view.forget();
        writeFile(outPath(), "previous");
        m_view.fields = {c.list, "/srv", "", false};
        ASSERT_TRUE(runToEnd());
        EXPECT_EQ(m_view.warnings, c.warnings);
        EXPECT_EQ(readFile(outPath()), c.out);
        EXPECT_EQ(m_view.opened.empty(), c.out == "previous");
        EXPECT_EQ(m_view.strStatus, c.out == "previous" ? "操作失败！" : "操作结束！");
    }
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
