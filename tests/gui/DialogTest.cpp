#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdlib>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "ui/GeneratorDlg.h"

namespace {

// The dialog with its boxes and the opening of files recorded; with bRealBoxes the warning is a
// real message box, closed once closeWhen holds.
class CTestDlg : public CGeneratorDlg {
public:
    using CGeneratorDlg::CGeneratorDlg;

    void showWarning(const std::string& strText) override {
        warnings.push_back(strText);
        if (bRealBoxes) {
            QTimer timer;
            QObject::connect(&timer, &QTimer::timeout, [this] {
                auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (pBox && (!closeWhen || closeWhen()))
                    pBox->accept();
            });
            timer.start(5);
            CGeneratorDlg::showWarning(strText);
        }
    }
    bool openFile(const std::string& strPath, std::string&) override {
        opened.push_back(strPath);
        return true;
    }
    void showAbout() override { ++nAbout; }

    bool bRealBoxes = false;
    std::function<bool()> closeWhen;
    std::vector<std::string> warnings;
    std::vector<std::string> opened;
    int nAbout = 0;
};

class DialogTest : public ::testing::Test {
protected:
    void open() {
        m_pDlg = std::make_unique<CTestDlg>(tagDataDirs{m_dir.path(""), m_dir.path("")});
        m_pDlg->show();
        QApplication::setActiveWindow(m_pDlg.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_pDlg.get()));
    }

    template <class T> T* ctrl(const char* pName) {
        return m_pDlg->findChild<T*>(QString::fromLatin1(pName));
    }
    QPlainTextEdit* domains() { return ctrl<QPlainTextEdit>("IDC_DOMAINS"); }
    QLineEdit* sitePath() { return ctrl<QLineEdit>("IDC_SITEPATH"); }
    QPushButton* start() { return ctrl<QPushButton>("IDC_START"); }
    QPushButton* output() { return ctrl<QPushButton>("IDC_OUTPUT"); }
    QString status() { return ctrl<QLabel>("IDC_STATUS")->text(); }
    std::string outPath() { return m_dir.path("_out.txt"); }

    bool waitForStatus(const QString& strText, int nMs = 30000) {
        QElapsedTimer timer;
        timer.start();
        while (status() != strText && timer.elapsed() < nMs)
            QTest::qWait(5);
        return status() == strText;
    }

    CScopedTempDir m_dir;
    std::unique_ptr<CTestDlg> m_pDlg;
};

// At 96 dpi the dialog is 447 by 435 pixels, and each control lies where its dialog units put it.
TEST_F(DialogTest, ControlsLieWhereTheirDialogUnitsPutThem) {
    open();
    const double dScale = m_pDlg->logicalDpiX() / 96.0;
    EXPECT_EQ(m_pDlg->size(), QSize(qRound(447 * dScale), qRound(435 * dScale)));
    const struct {
        const char* name;
        int x, y, cx, cy;
    } controls[] = {
        {"IDC_DOMAINS", 7, 21, 130, 240}, {"IDC_SITEPATH", 163, 21, 128, 14},
        {"IDC_PREFIX", 163, 59, 64, 14},  {"IDC_WWW", 163, 86, 68, 10},
        {"IDC_START", 164, 123, 50, 14},  {"IDC_OUTPUT", 220, 123, 50, 14},
        {"IDC_ABOUT", 241, 269, 50, 14},  {"IDC_STATUS", 7, 275, 207, 8},
    };
    for (const auto& c : controls) {
        const QRect expected(qRound(c.x * 1.5 * dScale), qRound(c.y * 1.5 * dScale),
                             qRound(c.cx * 1.5 * dScale), qRound(c.cy * 1.5 * dScale));
        EXPECT_EQ(ctrl<QWidget>(c.name)->geometry(), expected) << c.name;
    }
    // Each field carries its label's name, for a screen reader.
    EXPECT_EQ(sitePath()->accessibleName(), "站点路径：");
    EXPECT_EQ(ctrl<QWidget>("IDC_PREFIX")->accessibleName(), "自定义前缀：");
    EXPECT_EQ(domains()->accessibleName(), "域名（超过1000行，输入文件路径）：");
}

TEST_F(DialogTest, KeysThatMustNotCloseTheDialog) {
    open();
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
    } keys[] = {{Qt::Key_Escape, Qt::NoModifier},
                {Qt::Key_F4, Qt::AltModifier},
                {Qt::Key_F10, Qt::NoModifier},
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

    // On a push button, Enter clicks it; with no output yet, that warns.
    output()->setFocus();
    QTest::keyClick(output(), Qt::Key_Return);
    EXPECT_EQ(m_pDlg->warnings, std::vector<std::string>{"输出文件不存在：\n" + outPath()});
    EXPECT_TRUE(m_pDlg->isVisible());

    // In the site path, Enter ends the dialog and saves the settings.
    sitePath()->setText("/srv/enter");
    sitePath()->setFocus();
    QTest::keyClick(sitePath(), Qt::Key_Return);
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_NE(readFile(m_dir.path("Kelvane.ini")).find("pathroot=/srv/enter\n"), std::string::npos);
}

// Clicks and typing through Qt's own events; the end of the run reaches the dialog while a real
// message box runs its own loop, and is handled once.
TEST_F(DialogTest, RunByClicksEndsThroughTheEventRouteWhileABoxIsOpen) {
    open();
    // A refused field: the warning, and the focus in that field.
    domains()->setPlainText("a.com");
    QTest::mouseClick(start(), Qt::LeftButton);
    EXPECT_EQ(m_pDlg->warnings, std::vector<std::string>{"站点路径不能为空！"});
    EXPECT_EQ(QApplication::focusWidget(), sitePath());

    std::string list;
    for (int i = 0; i < 300000; ++i)
        list += "site" + std::to_string(i) + ".example.com\n";
    writeFile(m_dir.path("list.txt"), list);
    domains()->setPlainText(QString::fromStdString(m_dir.path("list.txt")));
    QTest::keyClicks(sitePath(), "/srv/www");
    m_pDlg->warnings.clear();
    QTest::mouseClick(start(), Qt::LeftButton);
    EXPECT_EQ(start()->text(), "停止");
    m_pDlg->bRealBoxes = true;
    m_pDlg->closeWhen = [this] { return start()->text() == "开始"; };
    m_pDlg->showWarning("a box of some other kind");
    EXPECT_EQ(status(), "操作结束！");
    EXPECT_EQ(m_pDlg->opened, std::vector<std::string>{outPath()});
    QTest::qWait(100);
    EXPECT_EQ(m_pDlg->opened.size(), 1u) << "the end was handled twice";
}

// A list file's path with a typo, and a list whose every name is refused: a warning, and the
// previous output keeps its bytes and is not opened.
TEST_F(DialogTest, ATypoedListPathOrARefusedListLeavesTheOutputAsItWas) {
    open();
    const std::string missing = m_dir.path("lists/domains.txt");
    const struct {
        QString list;
        std::string warning; // its start
        bool bRun;           // else refused before the run, with the focus in the list
    } cases[] = {
        {QString::fromStdString(missing), "无法读取列表文件：" + missing + "\nNo such file or directory",
         false},
        {"foo bar.com\nlocalhost\nb\"c.com", "未生成任何配置：", true},
    };
    sitePath()->setText("/srv/www");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list.toStdString());
        writeFile(outPath(), "previous");
        m_pDlg->warnings.clear();
        domains()->setPlainText(c.list);
        QTest::mouseClick(start(), Qt::LeftButton);
        ASSERT_TRUE(waitForStatus(c.bRun ? "操作失败！" : "就绪"));
        ASSERT_EQ(m_pDlg->warnings.size(), 1u);
        EXPECT_EQ(m_pDlg->warnings[0].substr(0, c.warning.size()), c.warning);
        if (!c.bRun) {
            EXPECT_EQ(QApplication::focusWidget(), domains());
        }
        EXPECT_EQ(readFile(outPath()), "previous");
        EXPECT_TRUE(m_pDlg->opened.empty());
    }
}

// A site path pasted with its line break runs; no button becomes the default one on a click.
TEST_F(DialogTest, PastedSitePathRunsAndNoButtonBecomesTheDefault) {
    open();
    domains()->setPlainText("example.com");
    QApplication::clipboard()->setText("/var/www/sites\n");
    sitePath()->setFocus();
    sitePath()->paste();
    ASSERT_EQ(sitePath()->text(), "/var/www/sites\n");
    QTest::mouseClick(start(), Qt::LeftButton);
    ASSERT_TRUE(waitForStatus("操作结束！"));
    EXPECT_TRUE(m_pDlg->warnings.empty());
    EXPECT_EQ(sitePath()->text(), "/var/www/sites");
    EXPECT_EQ(readFile(outPath()), builtinEntry("/var/www/sites", "example.com"));
    for (const char* pName : {"IDC_OUTPUT", "IDC_ABOUT", "IDC_START"}) {
        QTest::mouseClick(ctrl<QPushButton>(pName), Qt::LeftButton);
        for (QPushButton* pButton : m_pDlg->findChildren<QPushButton*>())
            EXPECT_FALSE(pButton->isDefault())
                << pName << " clicked, " << pButton->objectName().toStdString();
    }
    ASSERT_TRUE(waitForStatus("操作结束！"));
}

// The window goes at once, even while the worker still writes; the settings are saved.
TEST_F(DialogTest, CloseDuringARunHidesTheWindowAtOnce) {
    open();
    std::string list;
    for (int i = 0; i < 3000000; ++i)
        list += "site" + std::to_string(i) + ".example.com\n";
    writeFile(m_dir.path("list.txt"), list);
    domains()->setPlainText(QString::fromStdString(m_dir.path("list.txt")));
    sitePath()->setText("/srv/close");
    QTest::mouseClick(start(), Qt::LeftButton);
    ASSERT_TRUE(waitForStatus("执行中") || status().startsWith("执行中"));
    m_pDlg->reject();
    EXPECT_FALSE(m_pDlg->isVisible());
    EXPECT_NE(readFile(m_dir.path("Kelvane.ini")).find("pathroot=/srv/close\n"), std::string::npos);
    m_pDlg.reset();
    const std::string out = readFile(outPath());
    EXPECT_TRUE(out.empty() || out.ends_with("</VirtualHost>\r\n"));
}

} // namespace

// Qt's libraries are not built with ThreadSanitizer: what their own threads do (a message box
// loads its icon on a pooled thread) looks like races to it. Read by ThreadSanitizer only.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\ncalled_from_lib:libQt6Gui.so.6\ncalled_from_lib:libQt6Widgets."
           "so.6\n";
}

int main(int argc, char** argv) {
    // Tests need no display.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
