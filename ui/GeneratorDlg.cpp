#include "ui/GeneratorDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "core/Core.h"
#include "core/FileUtil.h"
#include "core/Settings.h"
#include "engine/GenerateThread.h"
#include "engine/NameRule.h"
#include "engine/RunSettings.h"
#include "ui/AppIcon.h"
#include "ui/DataDir.h"
#include "ui/QtShell.h"
#include "ui/Resource.h"

CCore* g_pCore = nullptr;
std::string g_strAppPath;

namespace {

const std::string kKeySitePath(settings::kKeySitePath);
const std::string kKeyPrefix(settings::kKeyPrefix);
const std::string kKeyWww(settings::kKeyWww);

// The dialog font: SimSun where it is installed, else the Simplified Chinese Noto faces, so
// that the Chinese text takes Simplified Chinese glyph shapes whatever the locale says.
QFont dialogFont() {
    QFont font(QStringLiteral("SimSun"));
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(9);
    return font;
}

std::string toStd(const QString& str) { return str.toStdString(); }

std::string refusalText(names::EVerdict eReason) {
    switch (eReason) {
    case names::EVerdict::Space:
        return "含有空格";
    case names::EVerdict::Control:
        return "含有控制字符";
    case names::EVerdict::Backslash:
        return "含有反斜杠";
    case names::EVerdict::Quote:
        return "含有引号";
    case names::EVerdict::BadChar:
        return "含有 Apache 不接受的字符";
    case names::EVerdict::EmptyLabel:
        return "含有空的标签";
    case names::EVerdict::LabelTooLong:
        return "有一段超过 63 个字符";
    case names::EVerdict::TooLong:
        return "过长";
    case names::EVerdict::NoAsciiForm:
        return "无法转换为 ASCII 形式";
    case names::EVerdict::InvalidText:
        return "含有无效的字节";
    case names::EVerdict::Name:
    case names::EVerdict::Skip:
        break;
    }
    return "无效";
}

// The warning for a run that failed: which file, and why.
std::string failureText(const tagGenResult& result) {
    switch (result.eFailure) {
    case EGenFailure::ReadFile:
        return "无法读取文件：" + result.strPath + "\n" + result.strReason;
    case EGenFailure::WriteFile:
        return "无法写入文件：" + result.strPath + "\n" + result.strReason;
    case EGenFailure::LineTooLong:
        return "无法读取文件：" + result.strPath + "\n其中有一行超过 16 MiB，这不是域名列表。";
    case EGenFailure::ListChanged:
        return "文件在读取过程中被修改：" + result.strPath + "\n输出文件保持原样。";
    case EGenFailure::SitePath:
        return "站点路径无效！";
    case EGenFailure::Prefix:
        return "自定义前缀无效：" + refusalText(result.ePrefix) + "！";
    case EGenFailure::Refused:
    case EGenFailure::None:
        break;
    }
    return "操作失败！";
}

// The lines of a run that wrote nothing, as the warning after the run lists them.
std::string refusedLinesText(const tagGenResult& result) {
    std::string strText = "以下 " + std::to_string(result.nRefused) + " 行未生成配置：";
    for (const tagLineReport& report : result.vecRefused)
        strText += "\n第 " + std::to_string(report.nLine) + " 行：" + refusalText(report.eReason) + "：" + report.strText;
    const auto nMore = result.nRefused - static_cast<std::int64_t>(result.vecRefused.size());
    if (nMore > 0)
        strText += "\n……另有 " + std::to_string(nMore) + " 行未列出。";
    return strText;
}

} // namespace

tagGenResult CDlgTarget::takeResult() {
    std::lock_guard lock(m_mutex);
    return std::move(m_result);
}

// Both notifications are posted under the lock that syncWithWorker takes: Qt's own locks hand the
// event over safely, but ThreadSanitizer cannot see them, and would take the event's reading on
// the dialog's thread for a race.
void CDlgTarget::onProgress() {
    std::lock_guard lock(m_mutex);
    QCoreApplication::postEvent(m_pReceiver, new QEvent(kGenProgressEvent));
}

void CDlgTarget::syncWithWorker() { std::lock_guard lock(m_mutex); }

void CDlgTarget::onDone(tagGenResult result) {
    std::lock_guard lock(m_mutex);
    m_result = std::move(result);
    QCoreApplication::postEvent(m_pReceiver, new QEvent(kGenDoneEvent));
}

CGeneratorDlg::CGeneratorDlg(QString strDataDir, QWidget* pParent)
    : QDialog(pParent), m_hIcon(appIcon()), m_strDataDir(std::move(strDataDir)), m_target(this) {
    setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
    setWindowTitle(QStringLiteral("Kelvane"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(dialogFont());
    createControls();
    OnInitDialog();
}

CGeneratorDlg::~CGeneratorDlg() {
    if (!m_bDestroyed)
        OnDestroy();
}

QRect CGeneratorDlg::dialogUnitsToPixels(int x, int y, int cx, int cy) const {
    return QRect(qRound(x * m_dUnitX), qRound(y * m_dUnitY), qRound(cx * m_dUnitX), qRound(cy * m_dUnitY));
}

void CGeneratorDlg::createControls() {
    // A horizontal dialog unit is a quarter of the font's average character width, a vertical
    // one an eighth of its height.
    const QFontMetricsF metrics(font());
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_dUnitX = metrics.horizontalAdvance(alphabet) / alphabet.size() / 4.0;
    m_dUnitY = metrics.height() / 8.0;
    setFixedSize(dialogUnitsToPixels(0, 0, 298, 290).size());

    const auto place = [this](QWidget* pWidget, int nId, const char* pName, QRect rect) {
        pWidget->setObjectName(QString::fromLatin1(pName));
        pWidget->setProperty("controlId", nId);
        pWidget->setGeometry(rect);
        pWidget->installEventFilter(this);
    };

    // The seven tab stops, in tab order.
    m_pDomains = new QPlainTextEdit(this);
    m_pDomains->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pDomains->setTabChangesFocus(true);
    place(m_pDomains, IDC_DOMAINS, "IDC_DOMAINS", dialogUnitsToPixels(7, 21, 130, 240));
    m_pSitePath = new QLineEdit(this);
    place(m_pSitePath, IDC_SITEPATH, "IDC_SITEPATH", dialogUnitsToPixels(163, 21, 128, 14));
    m_pPrefix = new QLineEdit(this);
    place(m_pPrefix, IDC_PREFIX, "IDC_PREFIX", dialogUnitsToPixels(163, 59, 64, 14));
    m_pWww = new QCheckBox(QStringLiteral("生产 www.域名"), this);
    place(m_pWww, IDC_WWW, "IDC_WWW", dialogUnitsToPixels(163, 86, 68, 10));
    m_pStart = new QPushButton(QStringLiteral("开始"), this);
    place(m_pStart, IDC_START, "IDC_START", dialogUnitsToPixels(164, 123, 50, 14));
    m_pOutput = new QPushButton(QStringLiteral("输出结果"), this);
    place(m_pOutput, IDC_OUTPUT, "IDC_OUTPUT", dialogUnitsToPixels(220, 123, 50, 14));
    m_pAbout = new QPushButton(QStringLiteral("关于"), this);
    place(m_pAbout, IDC_ABOUT, "IDC_ABOUT", dialogUnitsToPixels(241, 269, 50, 14));
    for (QPushButton* pButton : {m_pStart, m_pOutput, m_pAbout}) {
        // No default button: Enter clicks only the button that has the focus.
        pButton->setAutoDefault(false);
        pButton->setDefault(false);
    }
    setTabOrder(m_pDomains, m_pSitePath);
    setTabOrder(m_pSitePath, m_pPrefix);
    setTabOrder(m_pPrefix, m_pWww);
    setTabOrder(m_pWww, m_pStart);
    setTabOrder(m_pStart, m_pOutput);
    setTabOrder(m_pOutput, m_pAbout);

    // The four static texts.
    auto* pListLabel = new QLabel(QStringLiteral("域名（超过1000行，输入文件路径）："), this);
    pListLabel->setGeometry(dialogUnitsToPixels(7, 7, 137, 8));
    m_pStatus = new QLabel(QStringLiteral("就绪"), this);
    place(m_pStatus, IDC_STATUS, "IDC_STATUS", dialogUnitsToPixels(7, 275, 207, 8));
    auto* pSiteLabel = new QLabel(QStringLiteral("站点路径："), this);
    pSiteLabel->setGeometry(dialogUnitsToPixels(163, 7, 41, 8));
    auto* pPrefixLabel = new QLabel(QStringLiteral("自定义前缀："), this);
    pPrefixLabel->setGeometry(dialogUnitsToPixels(163, 45, 49, 8));

    connect(m_pStart, &QPushButton::clicked, this, &CGeneratorDlg::OnStart);
    connect(m_pOutput, &QPushButton::clicked, this, &CGeneratorDlg::OnOutput);
    connect(m_pAbout, &QPushButton::clicked, this, &CGeneratorDlg::OnAbout);

    m_pProgressPause = new QTimer(this);
    m_pProgressPause->setSingleShot(true);
    m_pProgressPause->setInterval(50);
    connect(m_pProgressPause, &QTimer::timeout, this, [this] { showProgress(m_target.takeProgress()); });
}

namespace {
// Escape never closes the dialog; Alt combinations and F10 do nothing.
bool isSwallowedKey(const QKeyEvent* pKey) {
    return pKey->key() == Qt::Key_Escape || pKey->key() == Qt::Key_F10 || (pKey->modifiers() & Qt::AltModifier);
}
} // namespace

bool CGeneratorDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);

    const QString strDir = m_strDataDir.isEmpty() ? programDataDir() : chooseDataDir(m_strDataDir, m_strDataDir);
    g_pCore = new CCore(toStd(strDir));
    m_pShell = std::make_unique<CQtShell>(this);
    g_pCore->setShell(m_pShell.get());
    g_pCore->autoFileConfig();

    g_strAppPath = toStd(strDir);
    g_strTemplateFile = g_strAppPath + "节点模版.txt";
    g_strOutFile = g_strAppPath + "_out.txt";

    m_pSitePath->setText(QString::fromStdString(g_pCore->getConfigStr(kKeySitePath)));
    m_pPrefix->setText(QString::fromStdString(g_pCore->getConfigStr(kKeyPrefix)));
    m_pWww->setChecked(g_pCore->getConfigB(kKeyWww) != 0);

    g_nTotal = 0;
    m_bRunning = 0;
    m_bStop = true;
    m_pDomains->setFocus();
    return true;
}

int CGeneratorDlg::ReadInputs(bool bValidate) {
    g_strSitePath = toStd(m_pSitePath->text());
    g_strPrefix = toStd(m_pPrefix->text());
    // The engine's lines end in CR LF, as a Windows edit control gives them.
    g_strDomains = toStd(m_pDomains->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
    g_bWww = m_pWww->isChecked() ? 1 : 0;
    if (!bValidate)
        return 1;

    CCore::trimStr(g_strDomains);
    if (g_strDomains.empty()) {
        m_pDomains->setFocus();
        g_pCore->msgboxWarning(static_cast<QWidget*>(this), "域名列表不能为空！");
        return 0;
    }
    const auto refuse = [this](QWidget* pField, const std::string& strText) {
        pField->setFocus();
        g_pCore->msgboxWarning(static_cast<QWidget*>(this), strText);
        return 0;
    };
    switch (names::checkSitePath(g_strSitePath)) {
    case names::ESitePath::Empty:
        return refuse(m_pSitePath, "站点路径不能为空！");
    case names::ESitePath::Control:
        return refuse(m_pSitePath, "站点路径不能包含换行符或其他控制字符！");
    case names::ESitePath::TooLong:
        return refuse(m_pSitePath, "站点路径过长（超过 " + std::to_string(names::kMaxSitePath) + " 字节）！");
    case names::ESitePath::Variable:
        return refuse(m_pSitePath, "站点路径不能包含“${”，Apache 会把它当作变量替换！");
    case names::ESitePath::Ok:
        break;
    }
    std::string strPrefix;
    if (const names::EVerdict eVerdict = names::normalizePrefix(g_strPrefix, strPrefix);
        eVerdict != names::EVerdict::Name)
        return refuse(m_pPrefix, "自定义前缀无效：" + refusalText(eVerdict) + "！");
    return 1;
}

void CGeneratorDlg::SetStatus(const QString& strText) { m_pStatus->setText(strText); }

void CGeneratorDlg::OnStart() {
    if (m_bRunning) {
        m_bStop = true;
        m_pStart->setText(QStringLiteral("正在停止"));
        m_pStart->setEnabled(false);
        return;
    }
    if (!ReadInputs(true))
        return;
    m_pStart->setText(QStringLiteral("停止"));
    m_bRunning = 1;

    tagGenRequest request;
    // A list that names an existing file is that file.
    request.eList = file::isFileExist(g_strDomains) ? EListSource::File : EListSource::Text;
    request.strList = g_strDomains;
    request.strSitePath = g_strSitePath;
    request.strPrefix = g_strPrefix;
    request.bWww = g_bWww != 0;
    request.strTemplateFile = g_strTemplateFile;
    request.strOutFile = g_strOutFile;
    auto* pParam = new tagThreadParam{&m_target, nullptr, &m_bStop, std::move(request)};
    m_bStop = false;
    m_pThread = new CGenerateThread(ThreadProc, pParam);
    // The dialog keeps the thread, so that a close can wait for it.
    m_pThread->m_bAutoDelete = false;
    if (m_pThread->CreateThread()) {
        SetStatus(QStringLiteral("执行中"));
        return;
    }
    delete m_pThread;
    m_pThread = nullptr;
    delete pParam;
    g_pCore->msgboxWarning(static_cast<QWidget*>(this), "Cannot Start New Thread");
    m_bStop = true;
    m_bRunning = 0;
    m_pStart->setText(QStringLiteral("开始"));
    m_pStart->setEnabled(true);
}

void CGeneratorDlg::OnOutput() { g_pCore->openUrl(g_strOutFile); }

void CGeneratorDlg::OnAbout() { g_pCore->showAbout(); }

bool CGeneratorDlg::event(QEvent* pEvent) {
    m_target.syncWithWorker();
    if (pEvent->type() == kGenProgressEvent) {
        OnGenProgress();
        return true;
    }
    if (pEvent->type() == kGenDoneEvent) {
        OnGenDone();
        return true;
    }
    return QDialog::event(pEvent);
}

// The line is shown at once; the next notification is let through only after a pause, so that
// a long run costs the dialog's thread some twenty updates a second, not one per turn of its loop.
void CGeneratorDlg::OnGenProgress() {
    showProgress(m_target.peekProgress());
    m_pProgressPause->start();
}

void CGeneratorDlg::showProgress(std::int64_t nLine) {
    SetStatus(QStringLiteral("执行中... %1/%2").arg(nLine).arg(g_nTotal.load()));
}

// The worker has posted its end and touches nothing of ours any more: only its thread is left
// to wait for.
void CGeneratorDlg::endWorker() {
    if (m_pThread) {
        m_pThread->Join();
        delete m_pThread;
        m_pThread = nullptr;
    }
}

void CGeneratorDlg::OnGenDone() {
    if (m_bDestroyed)
        return;
    endWorker();
    m_pProgressPause->stop();
    m_target.takeProgress(); // the next run starts with its notifications let through
    const tagGenResult result = m_target.takeResult();
    m_bStop = true;
    m_bRunning = 0;
    m_pStart->setText(QStringLiteral("开始"));
    m_pStart->setEnabled(true);
    if (result.eFailure != EGenFailure::None) {
        SetStatus(QStringLiteral("操作失败！"));
        g_pCore->msgboxWarning(static_cast<QWidget*>(this), failureText(result));
        return;
    }
    SetStatus(QStringLiteral("操作结束！"));
    if (result.nRefused > 0)
        g_pCore->msgboxWarning(static_cast<QWidget*>(this), refusedLinesText(result));
    g_pCore->openUrl(g_strOutFile);
}

void CGeneratorDlg::done(int nResult) {
    if (!m_bDestroyed)
        OnDestroy();
    QDialog::done(nResult);
}

void CGeneratorDlg::OnDestroy() {
    m_bDestroyed = true;
    if (m_bRunning) {
        // The worker finishes at most the line it is on; what it uses is rewritten and released
        // below only once it has ended.
        m_bStop = true;
        endWorker();
        m_pProgressPause->stop();
        QCoreApplication::removePostedEvents(this, kGenProgressEvent);
        QCoreApplication::removePostedEvents(this, kGenDoneEvent);
        m_bRunning = 0;
    }
    ReadInputs(false);
    if (g_pCore) {
        g_pCore->saveConfigStr(kKeySitePath, g_strSitePath);
        g_pCore->saveConfigStr(kKeyPrefix, g_strPrefix);
        g_pCore->saveConfigB(kKeyWww, g_bWww);
        delete g_pCore;
        g_pCore = nullptr;
    }
}

void CGeneratorDlg::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
        // Enter on a push button clicks it; in the site path, the prefix or on the check box it
        // ends the dialog as the close box does.
        if (auto* pButton = qobject_cast<QPushButton*>(focusWidget()))
            pButton->click();
        else
            accept();
        return;
    }
    if (isSwallowedKey(pEvent))
        return;
    QDialog::keyPressEvent(pEvent);
}

bool CGeneratorDlg::eventFilter(QObject* pObject, QEvent* pEvent) {
    if ((pEvent->type() == QEvent::KeyPress || pEvent->type() == QEvent::ShortcutOverride) &&
        isSwallowedKey(static_cast<QKeyEvent*>(pEvent)))
        return true;
    return QDialog::eventFilter(pObject, pEvent);
}
