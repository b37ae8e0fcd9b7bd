#pragma once

#include <QDialog>
#include <QEvent>
#include <QIcon>
#include <atomic>
#include <memory>
#include <mutex>

#include "engine/GenTarget.h"

class CCore;
class CGenerateThread;
class CShell;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;

// The core services object, owned by the dialog from its start to its close.
extern CCore* g_pCore;

// Events of our own that carry the worker's notifications to the dialog's thread. Posted events
// are handled by whatever loop runs there: the dialog's own, a message box's, the about box's.
inline const QEvent::Type kGenProgressEvent = static_cast<QEvent::Type>(QEvent::User + 101);
inline const QEvent::Type kGenDoneEvent = static_cast<QEvent::Type>(QEvent::User + 102);

// Receives the worker's notifications and posts them to the dialog.
class CDlgTarget : public CGenTarget {
public:
    explicit CDlgTarget(QObject* pReceiver) : m_pReceiver(pReceiver) {}
    tagGenResult takeResult();
    // Orders what the worker did before its last notification before what follows here.
    void syncWithWorker();

protected:
    void onProgress() override;
    void onDone(tagGenResult result) override;

private:
    QObject* m_pReceiver;
    std::mutex m_mutex; // the result crosses threads under a lock the sanitizers can see
    tagGenResult m_result;
};

class CGeneratorDlg : public QDialog {
    Q_OBJECT
public:
    // strDataDir: where the template, the output and the settings live; empty: the program's.
    explicit CGeneratorDlg(QString strDataDir = {}, QWidget* pParent = nullptr);
    ~CGeneratorDlg() override;

    int ReadInputs(bool bValidate);
    void SetStatus(const QString& strText);
    bool isRunning() const { return m_bRunning != 0; }

    // Pixels of a rectangle given in dialog units of the dialog's font.
    QRect dialogUnitsToPixels(int x, int y, int cx, int cy) const;

protected:
    void done(int nResult) override;
    void keyPressEvent(QKeyEvent* pEvent) override;
    bool eventFilter(QObject* pObject, QEvent* pEvent) override;
    bool event(QEvent* pEvent) override;

private:
    void createControls();
    bool OnInitDialog();
    void OnDestroy();
    void OnStart();
    void OnOutput();
    void OnAbout();
    void OnGenProgress();
    void showProgress(std::int64_t nLine);
    void OnGenDone();
    void endWorker();

    int m_bRunning = 0;
    std::atomic<bool> m_bStop{true}; // true: "STOP", a stop is asked for or no run is active
    QIcon m_hIcon;
    QString m_strDataDir;
    double m_dUnitX = 1.5;
    double m_dUnitY = 1.5;
    bool m_bDestroyed = false;

    CDlgTarget m_target;
    CGenerateThread* m_pThread = nullptr;
    std::unique_ptr<CShell> m_pShell;

    QPlainTextEdit* m_pDomains = nullptr;
    QLineEdit* m_pSitePath = nullptr;
    QLineEdit* m_pPrefix = nullptr;
    QCheckBox* m_pWww = nullptr;
    QPushButton* m_pStart = nullptr;
    QPushButton* m_pOutput = nullptr;
    QPushButton* m_pAbout = nullptr;
    QLabel* m_pStatus = nullptr;
    QTimer* m_pProgressPause = nullptr;
};
