// kelvane.exe: the dialog.

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <string>

#include "core/Sys.h"
#include "dialog/DataDirs.h"
#include "win/GeneratorDlg.h"

namespace {

// The directory of this program, ending in a backslash.
std::string programDir() {
    std::wstring strPath(MAX_PATH, L'\0');
    for (;;) {
        const DWORD nLength = GetModuleFileNameW(nullptr, strPath.data(), static_cast<DWORD>(strPath.size()));
        if (nLength < strPath.size()) {
            strPath.resize(nLength);
            break;
        }
        strPath.resize(strPath.size() * 2);
    }
    strPath.erase(strPath.find_last_of(L"\\/") + 1);
    return sys::narrow(strPath);
}

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int nCmdShow) {
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    // Opening the output may start a shell extension, which wants COM on this thread.
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    int nExit = 0;
    {
        CGeneratorDlg dlg(hInstance, chooseDataDirs(programDir()));
        if (!dlg.DoModal(nCmdShow)) {
            MessageBoxW(nullptr, L"无法创建对话框。", L"Kelvane", MB_OK | MB_ICONERROR);
            nExit = 1;
        }
    }
    if (SUCCEEDED(hrCom))
        CoUninitialize();
    return nExit;
}
