#pragma once

#include <QPointer>
#include <QWidget>

#include "core/Core.h"

// The core services' window operations on Qt: modal boxes owned by the dialog, and files
// opened in their associated programs without a shell.
class CQtShell : public CShell {
public:
    explicit CQtShell(QWidget* pOwner) : m_pOwner(pOwner) {}

    void msgboxWarning(void* hWnd, const std::string& strText) override;
    void openUrl(const std::string& strPath) override;
    void showAbout() override;

    static QString aboutText();

private:
    QPointer<QWidget> m_pOwner;
};
