#pragma once

#include <windows.h>

#include "dialog/DialogView.h"
#include "dialog/GeneratorLogic.h"

// The worker's end of a run, posted to the dialog window; lParam owns the call to make.
inline constexpr UINT WM_GEN_DONE = WM_USER + 102;

// The dialog on Win32, from its resource template: the message loop with its key filter, and the
// window messages that carry the worker's end to the dialog's thread. What the dialog does is
// CGeneratorLogic's.
class CGeneratorDlg : public CDialogView {
public:
    CGeneratorDlg(HINSTANCE hInstance, tagDataDirs dirs);
    ~CGeneratorDlg() override;
    CGeneratorDlg(const CGeneratorDlg&) = delete;
    CGeneratorDlg& operator=(const CGeneratorDlg&) = delete;

    // Shows the dialog and runs its messages until it closes; false when it cannot be created.
    bool DoModal(int nCmdShow);
    // The window, not shown yet; false when it cannot be created.
    bool Create();
    // Runs the dialog's messages until it closes, then waits for a worker that still runs.
    void RunLoop();
    HWND hWnd() const { return m_hWnd; }

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

private:
    static INT_PTR CALLBACK DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam);
    void OnInitDialog();
    void OnCommand(int nId);
    void Close();
    void dropPendingEnds();
    int messageBox(const std::string& strText, const std::string& strCaption, UINT nType);
    HWND item(int nId) const { return GetDlgItem(m_hWnd, nId); }

    HINSTANCE m_hInstance;
    HWND m_hWnd = nullptr;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    int m_nBoxes = 0;             // message boxes open over the dialog
    bool m_bClosePending = false; // a close asked for while a box was open
    bool m_bClosed = false;
    CGeneratorLogic m_logic;
};
