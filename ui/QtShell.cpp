#include "ui/QtShell.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace {
const QString kCaption = QStringLiteral("Kelvane");
}

void CQtShell::msgboxWarning(void* hWnd, const std::string& strText) {
    // The window handle is a QWidget*, passed as such by the dialog.
    QWidget* pOwner = hWnd ? static_cast<QWidget*>(hWnd) : m_pOwner.data();
    QMessageBox::warning(pOwner, kCaption, QString::fromStdString(strText));
}

void CQtShell::openUrl(const std::string& strPath) {
    const QString path = QString::fromStdString(strPath);
    if (!QFileInfo::exists(path)) {
        msgboxWarning(nullptr, "文件不存在：\n" + strPath);
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

QString CQtShell::aboutText() {
    return QStringLiteral("Kelvane %1\n\n为共用一个站点路径的大量域名生成 Apache 基于名称的虚拟主机配置。")
        .arg(QStringLiteral(KELVANE_VERSION));
}

void CQtShell::showAbout() { QMessageBox::about(m_pOwner, QStringLiteral("关于 Kelvane"), aboutText()); }
