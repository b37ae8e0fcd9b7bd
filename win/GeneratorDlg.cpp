#include "win/GeneratorDlg.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <utility>

#include "core/Sys.h"
#include "win/resource.h"

namespace {

const std::string kCaption = "Kelvane";
constexpr UINT_PTR kProgressTimer = 1;
constexpr UINT kProgressMs = 50;

using tagCall = std::function<void()>;

// Escape never closes the dialog; Alt combinations and F10 (system keys) do nothing.
bool isSwallowedKey(const MSG& msg) {
    return (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) || msg.message == WM_SYSKEYDOWN;
}

std::wstring windowText(HWND hWnd) {
    std::wstring str(static_cast<std::size_t>(GetWindowTextLengthW(hWnd)) + 1, L'\0');
    str.resize(static_cast<std::size_t>(GetWindowTextW(hWnd, str.data(), static_cast<int>(str.size()))));
    return str;
}

std::string systemMessage(DWORD nError) {
    wchar_t* pText = nullptr;
    const DWORD nLength = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                             FORMAT_MESSAGE_IGNORE_INSERTS,
                                         nullptr, nError, 0, reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    std::wstring strText(pText ? pText : L"", nLength);
    LocalFree(pText);
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' || strText.back() == L' '))
        strText.pop_back();
    return strText.empty() ? "错误 " + std::to_string(nError) : sys::narrow(strText);
}

bool isPushButton(HWND hWnd) {
    wchar_t szClass[8] = {};
    GetClassNameW(hWnd, szClass, 8);
    const LONG nType = GetWindowLongW(hWnd, GWL_STYLE) & BS_TYPEMASK;
    return _wcsicmp(szClass, L"Button") == 0 && (nType == BS_PUSHBUTTON || nType == BS_DEFPUSHBUTTON);
}

// A one-line edit pastes the clipboard's text only up to its first line break, without a word:
// the site path and the prefix take it whole, and the dialog's logic says what a line end means.
LRESULT CALLBACK pasteWholeProc(HWND hEdit, UINT nMessage, WPARAM wParam, LPARAM lParam, UINT_PTR nId,
                                DWORD_PTR) {
    if (nMessage == WM_PASTE) {
        std::wstring strText;
        bool bText = false;
        if (OpenClipboard(hEdit)) {
            if (const HANDLE hData = GetClipboardData(CF_UNICODETEXT)) {
                if (const auto* pText = static_cast<const wchar_t*>(GlobalLock(hData))) {
                    strText = pText;
                    bText = true;
                    GlobalUnlock(hData);
                }
            }
            CloseClipboard();
        }
        if (bText)
            SendMessageW(hEdit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(strText.c_str()));
        return 0;
    }
    if (nMessage == WM_NCDESTROY)
        RemoveWindowSubclass(hEdit, pasteWholeProc, nId);
    return DefSubclassProc(hEdit, nMessage, wParam, lParam);
}

// The dialog manager makes a push button the default one when it takes the focus, and may leave
// it so when the focus moves on: drawn with the default frame, it would promise that Enter in a
// field starts it, where Enter closes the dialog. No button ever takes that style.
LRESULT CALLBACK neverDefaultProc(HWND hButton, UINT nMessage, WPARAM wParam, LPARAM lParam, UINT_PTR nId,
                                  DWORD_PTR) {
    if (nMessage == BM_SETSTYLE && (wParam & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
        wParam = (wParam & ~static_cast<WPARAM>(BS_TYPEMASK)) | BS_PUSHBUTTON;
    else if (nMessage == WM_NCDESTROY)
        RemoveWindowSubclass(hButton, neverDefaultProc, nId);
    return DefSubclassProc(hButton, nMessage, wParam, lParam);
}

HICON loadIcon(HINSTANCE hInstance, int nMetricX, int nMetricY) {
    return static_cast<HICON>(LoadImageW(hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                         GetSystemMetrics(nMetricX), GetSystemMetrics(nMetricY),
                                         LR_DEFAULTCOLOR));
}

} // namespace

CGeneratorDlg::CGeneratorDlg(HINSTANCE hInstance, tagDataDirs dirs)
    : m_hInstance(hInstance), m_hIcon(loadIcon(hInstance, SM_CXICON, SM_CYICON)),
      m_hSmallIcon(loadIcon(hInstance, SM_CXSMICON, SM_CYSMICON)), m_logic(*this, std::move(dirs)) {}

CGeneratorDlg::~CGeneratorDlg() {
    Close();
    m_logic.Shutdown();
    dropPendingEnds();
    if (m_hIcon)
        DestroyIcon(m_hIcon);
    if (m_hSmallIcon)
        DestroyIcon(m_hSmallIcon);
}

bool CGeneratorDlg::Create() {
    return CreateDialogParamW(m_hInstance, MAKEINTRESOURCEW(IDD_MAIN_DIALOG), nullptr, DialogProc,
                              reinterpret_cast<LPARAM>(this)) != nullptr;
}

bool CGeneratorDlg::DoModal(int nCmdShow) {
    if (!Create())
        return false;
    ShowWindow(m_hWnd, nCmdShow);
    RunLoop();
    return true;
}

void CGeneratorDlg::RunLoop() {
    const HWND hDlg = m_hWnd;
    // A loop of its own, since only here can keys be filtered before the dialog manager sees
    // them. Loops the system runs (a message box, a moved window) skip this, which is why the
    // worker's end is a window message and not something this loop handles.
    MSG msg;
    while (!m_bClosed && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (isSwallowedKey(msg) && (msg.hwnd == hDlg || IsChild(hDlg, msg.hwnd)))
            continue;
        // Enter on a push button clicks it: as none is the default one, the dialog manager would
        // take it for Enter in a field.
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && IsChild(hDlg, msg.hwnd) &&
            isPushButton(msg.hwnd)) {
            if (IsWindowEnabled(msg.hwnd))
                SendMessageW(hDlg, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(msg.hwnd), BN_CLICKED),
                             reinterpret_cast<LPARAM>(msg.hwnd));
            continue;
        }
        if (!IsDialogMessageW(hDlg, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    m_logic.Shutdown();
    dropPendingEnds();
}

// The worker's end may have been posted after the window went: its call is freed unmade.
void CGeneratorDlg::dropPendingEnds() {
    if (!m_hWnd)
        return;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_GEN_DONE, WM_GEN_DONE, PM_REMOVE))
        if (msg.message == WM_GEN_DONE && msg.hwnd == m_hWnd)
            delete reinterpret_cast<tagCall*>(msg.lParam);
}

INT_PTR CALLBACK CGeneratorDlg::DialogProc(HWND hDlg, UINT nMessage, WPARAM wParam, LPARAM lParam) {
    if (nMessage == WM_INITDIALOG) {
        SetWindowLongPtrW(hDlg, DWLP_USER, lParam);
        auto* pDlg = reinterpret_cast<CGeneratorDlg*>(lParam);
        pDlg->m_hWnd = hDlg;
        pDlg->OnInitDialog();
        return FALSE; // the focus is set: in the list field
    }
    auto* pDlg = reinterpret_cast<CGeneratorDlg*>(GetWindowLongPtrW(hDlg, DWLP_USER));
    return pDlg ? pDlg->OnMessage(nMessage, wParam, lParam) : FALSE;
}

INT_PTR CGeneratorDlg::OnMessage(UINT nMessage, WPARAM wParam, LPARAM lParam) {
    switch (nMessage) {
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED)
            OnCommand(LOWORD(wParam));
        return TRUE;
    case WM_TIMER:
        if (wParam == kProgressTimer)
            m_logic.OnProgressTimer();
        return TRUE;
    case WM_GEN_DONE: {
        const std::unique_ptr<tagCall> pCall(reinterpret_cast<tagCall*>(lParam));
        if (pCall && *pCall)
            (*pCall)();
        return TRUE;
    }
    case WM_CLOSE:
        Close();
        return TRUE;
    case WM_DESTROY:
        KillTimer(m_hWnd, kProgressTimer);
        return TRUE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(m_hIcon);
    default:
        return FALSE;
    }
}

void CGeneratorDlg::OnInitDialog() {
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
    // A multi-line field takes some 32,000 characters unless told otherwise: a pasted list
    // longer than that would be cut without a word.
    SendDlgItemMessageW(m_hWnd, IDC_DOMAINS, EM_SETLIMITTEXT, 0, 0);
    for (const int nId : {IDC_SITEPATH, IDC_PREFIX})
        SetWindowSubclass(item(nId), pasteWholeProc, 0, 0);
    for (const int nId : {IDC_START, IDC_OUTPUT, IDC_ABOUT})
        SetWindowSubclass(item(nId), neverDefaultProc, 0, 0);
    m_logic.OnInitDialog();
}

void CGeneratorDlg::OnCommand(int nId) {
    switch (nId) {
    case IDC_START:
        m_logic.OnStart();
        break;
    case IDC_OUTPUT:
        m_logic.OnOutput();
        break;
    case IDC_ABOUT:
        m_logic.OnAbout();
        break;
    case IDOK:     // Enter in a one-line field or on the check box
    case IDCANCEL: // the close box
        Close();
        break;
    default:
        break;
    }
}

// The fields are read and the settings saved while the controls stand; the worker is waited for
// once the loop has ended, out of sight.
void CGeneratorDlg::Close() {
    if (m_bClosed || !m_hWnd)
        return;
    if (m_nBoxes > 0) {
        m_bClosePending = true;
        return;
    }
    m_bClosed = true;
    ShowWindow(m_hWnd, SW_HIDE);
    m_logic.OnDestroy();
    DestroyWindow(m_hWnd);
}

int CGeneratorDlg::messageBox(const std::string& strText, const std::string& strCaption, UINT nType) {
    ++m_nBoxes;
    const int nResult =
        MessageBoxW(m_hWnd, sys::widen(strText).c_str(), sys::widen(strCaption).c_str(), nType);
    if (--m_nBoxes == 0 && m_bClosePending) {
        m_bClosePending = false;
        PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }
    return nResult;
}

tagFields CGeneratorDlg::readFields() const {
    return {sys::narrow(windowText(item(IDC_DOMAINS))), sys::narrow(windowText(item(IDC_SITEPATH))),
            sys::narrow(windowText(item(IDC_PREFIX))), IsDlgButtonChecked(m_hWnd, IDC_WWW) == BST_CHECKED};
}

void CGeneratorDlg::showFields(const std::string& strSitePath, const std::string& strPrefix, bool bWww) {
    SetDlgItemTextW(m_hWnd, IDC_SITEPATH, sys::widen(strSitePath).c_str());
    SetDlgItemTextW(m_hWnd, IDC_PREFIX, sys::widen(strPrefix).c_str());
    CheckDlgButton(m_hWnd, IDC_WWW, bWww ? BST_CHECKED : BST_UNCHECKED);
}

void CGeneratorDlg::setStatus(const std::string& strText) {
    SetDlgItemTextW(m_hWnd, IDC_STATUS, sys::widen(strText).c_str());
}

void CGeneratorDlg::setStartButton(const std::string& strText, bool bEnabled) {
    const HWND hButton = item(IDC_START);
    SetWindowTextW(hButton, sys::widen(strText).c_str());
    // A disabled button that kept the focus would leave the keyboard nowhere.
    if (!bEnabled && GetFocus() == hButton)
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, 0, FALSE);
    EnableWindow(hButton, bEnabled);
}

void CGeneratorDlg::focusField(EField eField) {
    const int nId = eField == EField::Domains    ? IDC_DOMAINS
                    : eField == EField::SitePath ? IDC_SITEPATH
                                                 : IDC_PREFIX;
    SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item(nId)), TRUE);
}

void CGeneratorDlg::showWarning(const std::string& strText) {
    messageBox(strText, kCaption, MB_OK | MB_ICONWARNING);
}

void CGeneratorDlg::showAbout() {
    messageBox("Kelvane " KELVANE_VERSION
               "\n\n为共用一个站点路径的大量域名生成 Apache 基于名称的虚拟主机配置。",
               "关于 Kelvane", MB_OK | MB_ICONINFORMATION);
}

bool CGeneratorDlg::openFile(const std::string& strPath, std::string& strReason) {
    std::wstring strWide = sys::widen(strPath);
    for (wchar_t& ch : strWide)
        if (ch == L'/')
            ch = L'\\';
    // The extended call gives the system's own error code, which has a text, where the plain
    // one gives codes of its own; the failure is told by the dialog's warning, not by a box of
    // the system's besides.
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_FLAG_NO_UI;
    info.hwnd = m_hWnd;
    info.lpFile = strWide.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&info))
        return true;
    const DWORD nError = GetLastError();
    const auto nCode = reinterpret_cast<INT_PTR>(info.hInstApp);
    if (nError == ERROR_NO_ASSOCIATION || nCode == SE_ERR_NOASSOC || nCode == SE_ERR_ASSOCINCOMPLETE)
        strReason = "系统中没有可以打开它的程序。";
    else
        strReason = systemMessage(nError);
    return false;
}

// Only the window's handle goes to the worker: a post to a window that has gone fails, and the
// call is freed here.
tagPoster CGeneratorDlg::poster() {
    const HWND hDlg = m_hWnd;
    return [hDlg](tagCall fn) {
        auto pCall = std::make_unique<tagCall>(std::move(fn));
        if (PostMessageW(hDlg, WM_GEN_DONE, 0, reinterpret_cast<LPARAM>(pCall.get())))
            pCall.release();
    };
}

void CGeneratorDlg::setProgressTimer(bool bOn) {
    if (bOn)
        SetTimer(m_hWnd, kProgressTimer, kProgressMs, nullptr);
    else
        KillTimer(m_hWnd, kProgressTimer);
}
