#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/Core.h"
#include "engine/GenerateThread.h"
#include "ui/DataDir.h"
#include "ui/GeneratorDlg.h"
#include "ui/QtShell.h"

namespace {

// Records the window operations; a "modal box" is a nested event loop, as a real one runs.
class CRecordingShell : public CShell {
public:
    void msgboxWarning(void*, const std::string& strText) override {
        warnings.push_back(strText);
        events.push_back("warning");
        runModal();
    }
    void openUrl(const std::string& strPath) override {
        opened.push_back(strPath);
        events.push_back("open");
    }
    void showAbout() override {
        ++nAbout;
        runModal();
    }

    // While a box is "open", this decides when it closes; none: at once.
    std::function<bool()> closeWhen;
    std::vector<std::string> warnings;
    std::vector<std::string> opened;
    std::vector<std::string> events;
    int nAbout = 0;
    std::vector<std::string> openedWhileModal;

private:
    void runModal() {
        if (!closeWhen)
            return;
        QElapsedTimer timer;
        timer.start();
        const auto before = opened.size();
        while (!closeWhen() && timer.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        openedWhileModal.assign(opened.begin() + static_cast<std::ptrdiff_t>(before), opened.end());
    }
};

class DialogTest : public ::testing::Test {
protected:
    void open() {
        m_pDlg = std::make_unique<CGeneratorDlg>(QString::fromStdString(m_dir.dir().string()));
        g_pCore->setShell(&m_shell);
        m_pDlg->show();
        QApplication::setActiveWindow(m_pDlg.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    }
    void close() {
        m_pDlg->reject();
        m_pDlg.reset();
    }
    void TearDown() override { m_pDlg.reset(); }

    template <class T> T* ctrl(const char* pName) { return m_pDlg->findChild<T*>(QString::fromLatin1(pName)); }
    QPlainTextEdit* domains() { return ctrl<QPlainTextEdit>("IDC_DOMAINS"); }
    QLineEdit* sitePath() { return ctrl<QLineEdit>("IDC_SITEPATH"); }
    QLineEdit* prefix() { return ctrl<QLineEdit>("IDC_PREFIX"); }
    QCheckBox* www() { return ctrl<QCheckBox>("IDC_WWW"); }
    QPushButton* start() { return ctrl<QPushButton>("IDC_START"); }
    QPushButton* output() { return ctrl<QPushButton>("IDC_OUTPUT"); }
    QPushButton* about() { return ctrl<QPushButton>("IDC_ABOUT"); }
    QString status() { return ctrl<QLabel>("IDC_STATUS")->text(); }
    std::string ini() { return readFile(m_dir.path("Kelvane.ini")); }
    std::string outPath() { return m_dir.path("_out.txt"); }

    // A list file of n lines, each a domain of its own.
    std::string bigList(int n) {
        std::string text;
        text.reserve(static_cast<std::size_t>(n) * 20);
        for (int i = 0; i < n; ++i)
            text += "site" + std::to_string(i) + ".example.com\n";
        writeFile(m_dir.path("list.txt"), text);
        return m_dir.path("list.txt");
    }

    bool waitForStatus(const QString& strText, int nMs = 30000) {
        QElapsedTimer timer;
        timer.start();
        while (status() != strText && timer.elapsed() < nMs)
            QTest::qWait(5);
        return status() == strText;
    }

    // Fills the list and the site path, and clicks Start.
    void startRun(const std::string& list, const QString& site) {
        domains()->setPlainText(QString::fromStdString(list));
        sitePath()->setText(site);
        QTest::mouseClick(start(), Qt::LeftButton);
    }

    // Waits until the status shows the first progress of a run.
    bool waitForProgress() {
        QElapsedTimer timer;
        timer.start();
        while (!status().startsWith("执行中...") && timer.elapsed() < 20000)
            QTest::qWait(1);
        return status().startsWith("执行中...");
    }

    CScopedTempDir m_dir;
    CRecordingShell m_shell;
    std::unique_ptr<CGeneratorDlg> m_pDlg;
};

int countEntries(const std::string& text) {
    int n = 0;
    for (auto pos = text.find("</VirtualHost>\r\n"); pos != std::string::npos; pos = text.find("</VirtualHost>\r\n", pos + 1))
        ++n;
    return n;
}

TEST_F(DialogTest, FirstStartShowsTheNeverSavedStore) {
    open();
    EXPECT_EQ(m_pDlg->windowTitle(), "Kelvane");
    EXPECT_EQ(sitePath()->text(), "");
    EXPECT_EQ(prefix()->text(), "");
    EXPECT_FALSE(www()->isChecked());
    EXPECT_EQ(domains()->toPlainText(), "");
    EXPECT_EQ(status(), "就绪");
    EXPECT_EQ(start()->text(), "开始");
    EXPECT_EQ(output()->text(), "输出结果");
    EXPECT_EQ(about()->text(), "关于");
    EXPECT_EQ(www()->text(), "生产 www.域名");
    EXPECT_EQ(QApplication::focusWidget(), domains());
    EXPECT_FALSE(start()->isDefault() || output()->isDefault() || about()->isDefault());
}

TEST_F(DialogTest, SettingsAreSavedAtCloseAndLoadedAtStart) {
    open();
    domains()->setPlainText("a.com");
    sitePath()->setText(" /srv/my sites ");
    prefix()->setText("m");
    www()->setChecked(true);
    close(); // no run was ever started
    EXPECT_EQ(ini(), "[Kelvane]\nbwww=1\npathroot= /srv/my sites \nsubdomain=m\n");

    open();
    EXPECT_EQ(sitePath()->text(), " /srv/my sites ");
    EXPECT_EQ(prefix()->text(), "m");
    EXPECT_TRUE(www()->isChecked());
    EXPECT_EQ(domains()->toPlainText(), "") << "the list is never remembered";
}

TEST_F(DialogTest, RefusedInputsWarnAndFocusTheFieldToFix) {
    const struct {
        QString list, site, prefix;
        std::string warning;
        const char* focus;
    } cases[] = {
        {"", "", "", "域名列表不能为空！", "IDC_DOMAINS"},
        {" \r\n\t\n ", "/srv", "", "域名列表不能为空！", "IDC_DOMAINS"},
        {"a.com", "", "", "站点路径不能为空！", "IDC_SITEPATH"},
        {"a.com", "/srv\tInclude /x", "", "站点路径不能包含换行符或其他控制字符！", "IDC_SITEPATH"},
        {"a.com", "/srv", "a b", "自定义前缀无效：含有空格！", "IDC_PREFIX"},
    };
    open();
    for (const auto& c : cases) {
        m_shell.warnings.clear();
        domains()->setPlainText(c.list);
        sitePath()->setText(c.site);
        prefix()->setText(c.prefix);
        about()->setFocus();
        QTest::mouseClick(start(), Qt::LeftButton);
        EXPECT_EQ(m_shell.warnings, std::vector<std::string>{c.warning});
        EXPECT_EQ(QApplication::focusWidget(), ctrl<QWidget>(c.focus));
        EXPECT_EQ(start()->text(), "开始");
        EXPECT_FALSE(m_pDlg->isRunning());
    }
    // A site path of blanks is accepted.
    domains()->setPlainText("a.com");
    sitePath()->setText("   ");
    prefix()->setText("");
    QTest::mouseClick(start(), Qt::LeftButton);
    EXPECT_TRUE(waitForStatus("操作结束！"));
    EXPECT_EQ(readFile(outPath()), builtinEntry("\"   \"", "a.com"));
}

TEST_F(DialogTest, WholeRunEndsWithTheOutputOpened) {
    open();
    domains()->setPlainText("a.com\nlocalhost\nwww.b.com\nfoo bar.com");
    sitePath()->setText("/srv/www");
    www()->setChecked(true);
    QTest::mouseClick(start(), Qt::LeftButton);
    EXPECT_TRUE(m_pDlg->isRunning());
    EXPECT_EQ(start()->text(), "停止");
    ASSERT_TRUE(waitForStatus("操作结束！"));
    EXPECT_EQ(start()->text(), "开始");
    EXPECT_TRUE(start()->isEnabled());
    EXPECT_FALSE(m_pDlg->isRunning());
    EXPECT_EQ(m_shell.opened, std::vector<std::string>{outPath()});
    EXPECT_EQ(readFile(outPath()), builtinEntry("/srv/www", "a.com www.a.com") + builtinEntry("/srv/www", "b.com www.b.com"));
    EXPECT_EQ(g_nTotal.load(), 4);
    // The refused line is listed before the output opens.
    EXPECT_EQ(m_shell.warnings, std::vector<std::string>{"以下 1 行未生成配置：\n第 4 行：含有空格：foo bar.com"});
    EXPECT_EQ(m_shell.events, (std::vector<std::string>{"warning", "open"}));

    // The fields stay editable and count from the next Start; the template is read anew.
    writeFile(m_dir.path("节点模版.txt"), "{siteDomain}");
    www()->setChecked(false);
    domains()->setPlainText("a.com\nlocalhost\nwww.b.com");
    QTest::mouseClick(start(), Qt::LeftButton);
    ASSERT_TRUE(waitForStatus("操作结束！"));
    EXPECT_EQ(readFile(outPath()), "a.com\r\nb.com\r\n");
}

TEST_F(DialogTest, StopTurnsTheButtonIntoADisabledStoppingUntilTheEnd) {
    const std::string list = bigList(2000000);
    open();
    startRun(list, "/srv/www");
    ASSERT_TRUE(waitForProgress()) << status().toStdString();
    QTest::mouseClick(start(), Qt::LeftButton);
    if (m_pDlg->isRunning()) { // the run may have ended on its own meanwhile
        EXPECT_EQ(start()->text(), "正在停止");
        EXPECT_FALSE(start()->isEnabled());
    }
    ASSERT_TRUE(waitForStatus("操作结束！"));
    EXPECT_EQ(start()->text(), "开始");
    EXPECT_TRUE(start()->isEnabled());
    const std::string out = readFile(outPath());
    EXPECT_LT(countEntries(out), 2000000) << "the run was not stopped";
    EXPECT_TRUE(out.empty() || out.ends_with("</VirtualHost>\r\n"));
    EXPECT_EQ(m_shell.opened, std::vector<std::string>{outPath()});
}

TEST_F(DialogTest, FailedRunSaysWhichFileAndWhyAndOpensNothing) {
    const struct {
        std::function<void(const CScopedTempDir&)> setUp;
        std::string warning;
    } cases[] = {
        {[](const CScopedTempDir& dir) { std::filesystem::create_directory(dir.path("_out.txt")); },
         "无法写入文件：" + m_dir.path("_out.txt") + "\nIs a directory"},
        {[](const CScopedTempDir& dir) { std::filesystem::create_symlink("/proc/self/mem", dir.path("节点模版.txt")); },
         "无法读取文件：" + m_dir.path("节点模版.txt") + "\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(m_dir.path("_out.txt"));
        std::filesystem::remove(m_dir.path("节点模版.txt"));
        c.setUp(m_dir);
        m_shell.warnings.clear();
        m_shell.opened.clear();
        open();
        domains()->setPlainText("a.com");
        sitePath()->setText("/srv/www");
        QTest::mouseClick(start(), Qt::LeftButton);
        ASSERT_TRUE(waitForStatus("操作失败！"));
        EXPECT_EQ(start()->text(), "开始");
        EXPECT_TRUE(start()->isEnabled());
        ASSERT_EQ(m_shell.warnings.size(), 1u);
        EXPECT_EQ(m_shell.warnings[0].substr(0, c.warning.size()), c.warning);
        EXPECT_TRUE(m_shell.opened.empty());
        close();
    }
}

TEST_F(DialogTest, KeysThatMustNotCloseTheDialog) {
    open();
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } keys[] = {{Qt::Key_Escape, Qt::NoModifier}, {Qt::Key_F4, Qt::AltModifier}, {Qt::Key_F10, Qt::NoModifier},
                {Qt::Key_Space, Qt::AltModifier}};
    for (const char* pField : {"IDC_DOMAINS", "IDC_SITEPATH", "IDC_START"}) {
        for (const auto& k : keys) {
            ctrl<QWidget>(pField)->setFocus();
            QTest::keyClick(ctrl<QWidget>(pField), k.key, k.modifiers);
            EXPECT_TRUE(m_pDlg->isVisible()) << pField << " key " << k.key;
        }
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_dir.path("Kelvane.ini"))));
}

TEST_F(DialogTest, EnterAndTabFollowTheFieldWithTheFocus) {
    open();
    // In the list, Enter breaks the line and Tab moves on.
    domains()->setFocus();
    QTest::keyClicks(domains(), "a.com");
    QTest::keyClick(domains(), Qt::Key_Return);
    QTest::keyClicks(domains(), "b.com");
    EXPECT_EQ(domains()->toPlainText(), "a.com\nb.com");
    QTest::keyClick(domains(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), sitePath());

    // On a push button, Enter clicks it.
    output()->setFocus();
    QTest::keyClick(output(), Qt::Key_Return);
    EXPECT_EQ(m_shell.opened, std::vector<std::string>{outPath()});
    EXPECT_TRUE(m_pDlg->isVisible());

    // In the site path, Enter ends the dialog and saves the settings.
    sitePath()->setText("/srv/enter");
    sitePath()->setFocus();
    QTest::keyClick(sitePath(), Qt::Key_Return);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_NE(ini().find("pathroot=/srv/enter\n"), std::string::npos);
}

TEST_F(DialogTest, EndOfRunIsHandledWhileABoxIsOpen) {
    for (const bool aboutBox : {true, false}) {
        m_shell.opened.clear();
        open();
        domains()->setPlainText(QString::fromStdString(bigList(300000)));
        sitePath()->setText("/srv/www");
        m_shell.closeWhen = [this] { return !m_pDlg->isRunning(); };
        QTest::mouseClick(start(), Qt::LeftButton);
        if (aboutBox)
            QTest::mouseClick(about(), Qt::LeftButton);
        else
            g_pCore->msgboxWarning(m_pDlg.get(), "a box of some other kind");
        m_shell.closeWhen = nullptr;
        EXPECT_EQ(m_shell.openedWhileModal, std::vector<std::string>{outPath()}) << (aboutBox ? "about" : "warning");
        EXPECT_EQ(status(), "操作结束！");
        EXPECT_EQ(start()->text(), "开始");
        QTest::qWait(50);
        EXPECT_EQ(m_shell.opened.size(), 1u) << "the end was handled twice";
        close();
    }
}

TEST_F(DialogTest, CloseDuringALongRunWaitsForTheWorkerAndSaves) {
    const std::string list = bigList(3000000);
    open();
    startRun(list, "/srv/close");
    ASSERT_TRUE(waitForProgress());
    ASSERT_TRUE(m_pDlg->isRunning()) << "the run ended before the close";

    QElapsedTimer timer;
    timer.start();
    close();
    EXPECT_LT(timer.elapsed(), 3000) << "the close did not return promptly";
    EXPECT_EQ(g_pCore, nullptr);
    EXPECT_NE(ini().find("pathroot=/srv/close\n"), std::string::npos);
    const std::string out = readFile(outPath());
    // Every entry whole, in list order.
    std::size_t pos = 0;
    for (int i = 0; pos < out.size(); ++i) {
        const std::string entry = builtinEntry("/srv/close", "site" + std::to_string(i) + ".example.com");
        ASSERT_EQ(out.compare(pos, entry.size(), entry), 0) << "entry " << i << " is cut or wrong";
        pos += entry.size();
    }
    EXPECT_LT(countEntries(out), 3000000) << "the close did not stop the run";
    QTest::qWait(100);
    EXPECT_EQ(readFile(outPath()).size(), out.size()) << "the worker went on after the close";
    EXPECT_TRUE(m_shell.opened.empty()) << "the output was opened after the close";
}

TEST_F(DialogTest, ControlsLieInsideTheDialogWithoutOverlapping) {
    open();
    std::vector<QWidget*> controls;
    for (const char* pName : {"IDC_DOMAINS", "IDC_SITEPATH", "IDC_PREFIX", "IDC_WWW", "IDC_START", "IDC_OUTPUT",
                              "IDC_ABOUT", "IDC_STATUS"})
        controls.push_back(ctrl<QWidget>(pName));
    for (std::size_t i = 0; i < controls.size(); ++i) {
        EXPECT_TRUE(m_pDlg->rect().contains(controls[i]->geometry())) << controls[i]->objectName().toStdString();
        for (std::size_t j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << controls[i]->objectName().toStdString() << " and " << controls[j]->objectName().toStdString();
    }
    // The dialog keeps the proportions of its dialog units.
    EXPECT_EQ(m_pDlg->size(), m_pDlg->dialogUnitsToPixels(0, 0, 298, 290).size());
}

TEST(QtShellTest, OutputBeforeTheFirstRunWarnsOfTheMissingFile) {
    CScopedTempDir dir;
    QWidget owner;
    CQtShell shell(&owner);
    QString shown;
    QTimer::singleShot(0, [&shown] {
        if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = pBox->text();
            pBox->accept();
        }
    });
    shell.openUrl(dir.path("_out.txt"));
    EXPECT_EQ(shown.toStdString(), "文件不存在：\n" + dir.path("_out.txt"));
}

TEST(DataDirTest, ProgramDirectoryUnlessItCannotBeWritten) {
    CScopedTempDir dir;
    const QString exeDir = QString::fromStdString(dir.dir().string());
    const QString fallback = QString::fromStdString(dir.path("data/Kelvane"));
    EXPECT_EQ(chooseDataDir(exeDir, fallback), exeDir + "/");
    EXPECT_EQ(chooseDataDir(QString::fromStdString(dir.path("missing")), fallback), fallback + "/");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path("data/Kelvane")));
}

} // namespace

int main(int argc, char** argv) {
    // Tests need no display.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
