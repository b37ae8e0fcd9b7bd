#include "ui/GeneratorDlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>

#include "core/Core.h"
#include "ui/AppIcon.h"

namespace {

const QString kCaption = QStringLiteral("Kelvane");

// Carries a call from the worker to the dialog's thread. Posted events are handled by whatever
// loop runs there (the dialog's own, a message box's), and die with the dialog unhandled.
// The type of the events that tell the dialog's thread that a call from the worker waits.
const QEvent::Type kCallEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

QString fromStd(const std::string& str) {
    return QString::fromStdString(str);
}

// Escape never closes the dialog; Alt combinations and F10 do nothing.
bool isSwallowedKey(const QKeyEvent* pKey) {
    return pKey->key() == Qt::Key_Escape || pKey->key() == Qt::Key_F10 ||
           (pKey->modifiers() & Qt::AltModifier);
}

} // namespace

QFont dialogFont() {
    QFont font(QStringLiteral("SimSun"));
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("NSimSun"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC"),
                      QStringLiteral("WenQuanYi Micro Hei")});
    font.setPointSize(9);
    return font;
}

CGeneratorDlg::CGeneratorDlg(QWidget* pParent) : CGeneratorDlg(chooseDataDirs(executableDir()), pParent) {}

CGeneratorDlg::CGeneratorDlg(tagDataDirs dirs, QWidget* pParent)
    : QDialog(pParent), m_hIcon(appIcon()), m_logic(*this, std::move(dirs)) {
    setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
    setWindowTitle(kCaption);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(m_hIcon);
    setFont(dialogFont());
    createControls();
    m_logic.OnInitDialog();
}

CGeneratorDlg::~CGeneratorDlg() {
    m_logic.OnDestroy();
    // The worker may still post its end to this view: it is waited for while the view stands.
    m_logic.Shutdown();
}

// A dialog unit is a quarter of the dialog font's average character width across, an eighth of
// its height down. The dialog's font measures 6 by 12 pixels at 96 dpi, whatever font draws the
// text here, so the units come from those and the screen's dpi.
QRect CGeneratorDlg::dialogUnitsToPixels(int x, int y, int cx, int cy) const {
    return QRect(qRound(x * m_dUnitX), qRound(y * m_dUnitY), qRound(cx * m_dUnitX), qRound(cy * m_dUnitY));
}

void CGeneratorDlg::createControls() {
    const double dScale = logicalDpiX() / 96.0;
    m_dUnitX = 6.0 / 4.0 * dScale;
    m_dUnitY = 12.0 / 8.0 * dScale;
    setFixedSize(dialogUnitsToPixels(0, 0, 298, 290).size());

    // Each control is named after its id, by which tests find it.
    const auto place = [this](QWidget* pWidget, const char* pName, QRect rect) {
        pWidget->setObjectName(QString::fromLatin1(pName));
        pWidget->setGeometry(rect);
        pWidget->installEventFilter(this);
    };

    // The seven tab stops, in tab order.
    m_pDomains = new QPlainTextEdit(this);
    m_pDomains->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_pDomains->setTabChangesFocus(true);
    place(m_pDomains, "IDC_DOMAINS", dialogUnitsToPixels(7, 21, 130, 240));
    m_pSitePath = new QLineEdit(this);
    place(m_pSitePath, "IDC_SITEPATH", dialogUnitsToPixels(163, 21, 128, 14));
    m_pPrefix = new QLineEdit(this);
    place(m_pPrefix, "IDC_PREFIX", dialogUnitsToPixels(163, 59, 64, 14));
    m_pWww = new QCheckBox(QStringLiteral("生产 www.域名"), this);
    place(m_pWww, "IDC_WWW", dialogUnitsToPixels(163, 86, 68, 10));
    m_pStart = new QPushButton(QStringLiteral("开始"), this);
    place(m_pStart, "IDC_START", dialogUnitsToPixels(164, 123, 50, 14));
    m_pOutput = new QPushButton(QStringLiteral("输出结果"), this);
    place(m_pOutput, "IDC_OUTPUT", dialogUnitsToPixels(220, 123, 50, 14));
    m_pAbout = new QPushButton(QStringLiteral("关于"), this);
    place(m_pAbout, "IDC_ABOUT", dialogUnitsToPixels(241, 269, 50, 14));
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

    // The four static texts; each field's label names it for a screen reader.
    const auto label = [this](const QString& strText, QRect rect, QWidget* pBuddy) {
        auto* pLabel = new QLabel(strText, this);
        pLabel->setGeometry(rect);
        if (pBuddy) {
            pLabel->setBuddy(pBuddy);
            pBuddy->setAccessibleName(strText);
        }
        return pLabel;
    };
    label(QStringLiteral("域名（超过1000行，输入文件路径）："), dialogUnitsToPixels(7, 7, 137, 8),
          m_pDomains);
    m_pStatus = label(QStringLiteral("就绪"), dialogUnitsToPixels(7, 275, 207, 8), nullptr);
    place(m_pStatus, "IDC_STATUS", m_pStatus->geometry());
    label(QStringLiteral("站点路径："), dialogUnitsToPixels(163, 7, 41, 8), m_pSitePath);
    label(QStringLiteral("自定义前缀："), dialogUnitsToPixels(163, 45, 49, 8), m_pPrefix);

    connect(m_pStart, &QPushButton::clicked, this, [this] { m_logic.OnStart(); });
    connect(m_pOutput, &QPushButton::clicked, this, [this] { m_logic.OnOutput(); });
    connect(m_pAbout, &QPushButton::clicked, this, [this] { m_logic.OnAbout(); });

    m_pProgressTimer = new QTimer(this);
    m_pProgressTimer->setInterval(50);
    connect(m_pProgressTimer, &QTimer::timeout, this, [this] { m_logic.OnProgressTimer(); });
}

tagFields CGeneratorDlg::readFields() const {
    return {m_pDomains->toPlainText().toStdString(), m_pSitePath->text().toStdString(),
            m_pPrefix->text().toStdString(), m_pWww->isChecked()};
}

void CGeneratorDlg::showFields(const std::string& strSitePath, const std::string& strPrefix, bool bWww) {
    m_pSitePath->setText(fromStd(strSitePath));
    m_pPrefix->setText(fromStd(strPrefix));
    m_pWww->setChecked(bWww);
}

void CGeneratorDlg::setStatus(const std::string& strText) {
    m_pStatus->setText(fromStd(strText));
}

void CGeneratorDlg::setStartButton(const std::string& strText, bool bEnabled) {
    m_pStart->setText(fromStd(strText));
    m_pStart->setEnabled(bEnabled);
}

void CGeneratorDlg::focusField(EField eField) {
    QWidget* pField = eField == EField::Domains    ? static_cast<QWidget*>(m_pDomains)
                      : eField == EField::SitePath ? static_cast<QWidget*>(m_pSitePath)
                                                   : static_cast<QWidget*>(m_pPrefix);
    pField->setFocus();
}

void CGeneratorDlg::showWarning(const std::string& strText) {
    QMessageBox::warning(this, kCaption, fromStd(strText));
}

QString CGeneratorDlg::aboutText() {
    return QStringLiteral("Kelvane %1\n\n为共用一个站点路径的大量域名生成 Apache 基于名称的虚拟主机配置。")
        .arg(QStringLiteral(KELVANE_VERSION));
}

void CGeneratorDlg::showAbout() {
    QMessageBox::about(this, QStringLiteral("关于 Kelvane"), aboutText());
}

bool CGeneratorDlg::openFile(const std::string& strPath, std::string& strReason) {
    if (QDesktopServices::openUrl(QUrl::fromLocalFile(fromStd(strPath))))
        return true;
    strReason = "系统中没有可以打开它的程序。";
    return false;
}

// A call waits in m_calls, and an event for it goes to the QObject, which stands until the worker
// has been waited for in the destructor. The call and its event are made under the lock that the
// dialog's thread takes before it reads either, so the worker's writes come before those reads
// for every checker too (Qt's own locks are invisible to ThreadSanitizer).
tagPoster CGeneratorDlg::poster() {
    return [this](std::function<void()> fn) {
        QEvent* pEvent = nullptr;
        {
            const std::lock_guard lock(m_callsMutex);
            m_calls.push_back(std::move(fn));
            pEvent = new QEvent(kCallEvent);
        }
        QCoreApplication::postEvent(this, pEvent);
    };
}

void CGeneratorDlg::setProgressTimer(bool bOn) {
    if (bOn)
        m_pProgressTimer->start();
    else
        m_pProgressTimer->stop();
}

// Only the worker's calls come as events of a type of our own; one event, one call, in order.
void CGeneratorDlg::customEvent(QEvent* /*pEvent*/) {
    std::function<void()> fn;
    {
        const std::lock_guard lock(m_callsMutex);
        if (m_calls.empty())
            return;
        fn = std::move(m_calls.front());
        m_calls.pop_front();
    }
    fn();
}

void CGeneratorDlg::done(int nResult) {
    // The window goes at once; a worker stuck in a write is waited for out of sight.
    hide();
    m_logic.OnDestroy();
    QDialog::done(nResult);
}

// Centred on the screen, frame included, once the window system has given it one.
void CGeneratorDlg::showEvent(QShowEvent* pEvent) {
    QDialog::showEvent(pEvent);
    if (m_bCentred)
        return;
    m_bCentred = true;
    if (const QScreen* pScreen = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(pScreen->availableGeometry().center());
        move(frame.topLeft());
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
