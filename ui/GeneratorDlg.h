#pragma once

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <deque>
#include <functional>
#include <mutex>

#include "dialog/DialogView.h"
#include "dialog/GeneratorLogic.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// The dialog on Qt: widgets placed by dialog units, the key filter, and the route by which the
// worker's end reaches the dialog's thread. What the dialog does is CGeneratorLogic's.
class CGeneratorDlg : public QDialog, public CDialogView {
    Q_OBJECT
public:
    // Its files where the program's kind says (beside it when portable, else per user).
    explicit CGeneratorDlg(QWidget* pParent = nullptr);
    explicit CGeneratorDlg(tagDataDirs dirs, QWidget* pParent = nullptr);
    ~CGeneratorDlg() override;

    CGeneratorLogic& logic() { return m_logic; }

    // Pixels of a rectangle given in dialog units.
    QRect dialogUnitsToPixels(int x, int y, int cx, int cy) const;

    tagFields readFields() const override;
    void showFields(const std::string& strSitePath, const std::string& strPrefix, bool bWww) override;
    void setStatus(const std::string& strText) override;
    void setStartButton(const std::string& strText, bool bEnabled) override;
    void focusField(EField eField) override;
    void showWarning(const std::string& strText) override;
    void showAbout() override;
    bool openFile(const std::string& strPath, std::string& strReason) override;
    tagPoster poster() override;
    void setProgressTimer(bool bOn) override;

    static QString aboutText();

protected:
    void done(int nResult) override;
    void showEvent(QShowEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;
    void customEvent(QEvent* pEvent) override;

private:
    void createControls();

    QIcon m_hIcon;
    double m_dUnitX = 1.5;
    double m_dUnitY = 1.5;
    bool m_bCentred = false;
    CGeneratorLogic m_logic;

    QPlainTextEdit* m_pDomains = nullptr;
    QLineEdit* m_pSitePath = nullptr;
    QLineEdit* m_pPrefix = nullptr;
    QCheckBox* m_pWww = nullptr;
    QPushButton* m_pStart = nullptr;
    QPushButton* m_pOutput = nullptr;
    QPushButton* m_pAbout = nullptr;
    QLabel* m_pStatus = nullptr;
    QTimer* m_pProgressTimer = nullptr;

    std::mutex m_callsMutex;
    std::deque<std::function<void()>> m_calls;
};

// The font of the dialog and its boxes: SimSun where it is installed, else the Simplified
// Chinese Noto faces, so that Chinese text takes its Simplified Chinese forms whatever the locale.
QFont dialogFont();
