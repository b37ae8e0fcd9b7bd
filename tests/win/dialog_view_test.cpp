// kelvane.exe's dialog on Win32, made from its resource template on a hidden window: the
// template's controls, a long pasted list, and the end of a run reaching the dialog whatever loop
// runs its thread.

#include <windows.h>

#include <chrono>
#include <functional>
#include <vector>

#include "TestUtil.h"
#include "core/Sys.h"
#include "win/GeneratorDlg.h"
#include "win/resource.h"

namespace {

// Warnings and opened files recorded instead of shown.
class CTestDlg : public CGeneratorDlg {
public:
    explicit CTestDlg(const std::string& strDir)
        : CGeneratorDlg(GetModuleHandleW(nullptr), {strDir, strDir}) {}

    void showWarning(const std::string& strText) override { m_vecWarnings.push_back(strText); }
    bool openFile(const std::string& strPath, std::string&) override {
        m_vecOpened.push_back(strPath);
        return true;
    }
    void showAbout() override { m_vecWarnings.emplace_back("about"); }

    std::vector<std::string> m_vecWarnings;
    std::vector<std::string> m_vecOpened;
};

std::string dirOf(const CScopedTempDir& temp) {
    return temp.path("") + "\\";
}

std::wstring textOf(HWND hWnd) {
    std::wstring str(static_cast<std::size_t>(GetWindowTextLengthW(hWnd)) + 1, L'\0');
    str.resize(static_cast<std::size_t>(GetWindowTextW(hWnd, str.data(), static_cast<int>(str.size()))));
    return str;
}

// Dispatches the thread's messages the way a message box's loop does, without the dialog's own
// loop, until bDone says so or the time is up.
bool pumpUntil(const std::function<bool()>& bDone,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!bDone()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

void click(HWND hDlg, int nId) {
    SendMessageW(hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(hDlg, nId)));
}

TEST(WinDialogTest, TemplateHasTheElevenControlsInTabOrder) {
    // An edit control's border may become an extended style of the same look.
    constexpr LONG kEdit = ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_WANTRETURN | WS_TABSTOP;
    constexpr LONG kButton = BS_TYPEMASK | WS_TABSTOP;
    constexpr LONG kStatic = SS_TYPEMASK | WS_TABSTOP;
    constexpr LONG kPush = BS_PUSHBUTTON | WS_TABSTOP;
    const struct {
        int nId;
        const wchar_t* pClass;
        const wchar_t* pText;
        RECT rect; // dialog units: x, y, width, height
        LONG nMask;
        LONG nStyle;
    } rows[] = {
        {IDC_DOMAINS, L"Edit", L"", {7, 21, 130, 240}, kEdit, kEdit},
        {IDC_SITEPATH, L"Edit", nullptr, {163, 21, 128, 14}, kEdit, ES_AUTOHSCROLL | WS_TABSTOP},
        {IDC_PREFIX, L"Edit", nullptr, {163, 59, 64, 14}, kEdit, ES_AUTOHSCROLL | WS_TABSTOP},
        {IDC_WWW, L"Button", L"生产 www.域名", {163, 86, 68, 10}, kButton, BS_AUTOCHECKBOX | WS_TABSTOP},
        {IDC_START, L"Button", L"开始", {164, 123, 50, 14}, kButton, kPush},
        {IDC_OUTPUT, L"Button", L"输出结果", {220, 123, 50, 14}, kButton, kPush},
        {IDC_ABOUT, L"Button", L"关于", {241, 269, 50, 14}, kButton, kPush},
        {-1, L"Static", L"域名（超过1000行，输入文件路径）：", {7, 7, 137, 8}, kStatic, SS_LEFT},
        {IDC_STATUS, L"Static", L"就绪", {7, 275, 207, 8}, kStatic, SS_LEFT},
        {-1, L"Static", L"站点路径：", {163, 7, 41, 8}, kStatic, SS_LEFT},
        {-1, L"Static", L"自定义前缀：", {163, 45, 49, 8}, kStatic, SS_LEFT},
    };
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();

    EXPECT_EQ(textOf(hDlg), L"Kelvane");
    const LONG nDlgStyle = GetWindowLongW(hDlg, GWL_STYLE);
    EXPECT_EQ(nDlgStyle & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
    RECT client{}, size{0, 0, 298, 290};
    GetClientRect(hDlg, &client);
    MapDialogRect(hDlg, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hDlg, WM_GETFONT, 0, 0)), sizeof(font), &font);
    EXPECT_STREQ(font.lfFaceName, L"宋体");

    // The children in the template's order, which is the tab order.
    HWND hChild = GetWindow(hDlg, GW_CHILD);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.nId);
        ASSERT_NE(hChild, nullptr);
        wchar_t szClass[32] = {};
        GetClassNameW(hChild, szClass, 32);
        EXPECT_EQ(_wcsicmp(szClass, row.pClass), 0) << sys::narrow(szClass);
        EXPECT_EQ(GetDlgCtrlID(hChild), row.nId);
        if (row.pText) {
            EXPECT_EQ(textOf(hChild), row.pText);
        }
        EXPECT_EQ(GetWindowLongW(hChild, GWL_STYLE) & row.nMask, row.nStyle);
        if (_wcsicmp(row.pClass, L"Edit") == 0) {
            EXPECT_TRUE((GetWindowLongW(hChild, GWL_STYLE) & WS_BORDER) ||
                        (GetWindowLongW(hChild, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
        }
        // Position and size are each converted from dialog units on their own.
        RECT expected = row.rect, actual{};
        MapDialogRect(hDlg, &expected);
        GetWindowRect(hChild, &actual);
        MapWindowPoints(nullptr, hDlg, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right - actual.left, expected.right);
        EXPECT_EQ(actual.bottom - actual.top, expected.bottom);
        hChild = GetWindow(hChild, GW_HWNDNEXT);
    }
    EXPECT_EQ(hChild, nullptr);
}

// A pasted list is taken whole, however long, with its lines as the field gives them.
TEST(WinDialogTest, LongPastedListIsTakenWhole) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    std::wstring strList;
    for (int i = 0; i < 5000; ++i)
        strList += L"site" + std::to_wstring(i) + L".example.com\r\n";
    SendDlgItemMessageW(dlg.hWnd(), IDC_DOMAINS, EM_REPLACESEL, FALSE,
                        reinterpret_cast<LPARAM>(strList.c_str()));
    EXPECT_EQ(dlg.readFields().strDomains, sys::narrow(strList));
}

void setClipboard(HWND hOwner, const std::wstring& strText) {
    ASSERT_TRUE(OpenClipboard(hOwner));
    EmptyClipboard();
    const std::size_t nBytes = (strText.size() + 1) * sizeof(wchar_t);
    const HGLOBAL hData = GlobalAlloc(GMEM_MOVEABLE, nBytes);
    memcpy(GlobalLock(hData), strText.c_str(), nBytes);
    GlobalUnlock(hData);
    SetClipboardData(CF_UNICODETEXT, hData);
    CloseClipboard();
}

// A one-line field takes a paste whole, line breaks and all; the dialog's logic drops those at
// the ends and refuses one inside, saying where.
TEST(WinDialogTest, PasteIntoTheSitePathIsTakenWhole) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();
    SetDlgItemTextW(hDlg, IDC_DOMAINS, L"example.com");
    const struct {
        const wchar_t* pPasted;
        const char* pWarning; // nullptr: the run writes the entry
    } rows[] = {
        {L"/var/www/sites\r\n", nullptr},
        {L"/srv\r\nInclude /x",
         "站点路径不能包含换行符或其他控制字符！\n第 5 个字符是回车符（CR），在“/srv”之后。"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(sys::narrow(row.pPasted));
        dlg.m_vecWarnings.clear();
        dlg.m_vecOpened.clear();
        setClipboard(hDlg, row.pPasted);
        SetDlgItemTextW(hDlg, IDC_SITEPATH, L"");
        SendDlgItemMessageW(hDlg, IDC_SITEPATH, WM_PASTE, 0, 0);
        EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_SITEPATH)), row.pPasted);
        click(hDlg, IDC_START);
        if (row.pWarning) {
            EXPECT_EQ(dlg.m_vecWarnings, std::vector<std::string>{row.pWarning});
            continue;
        }
        ASSERT_TRUE(pumpUntil([&] { return !dlg.m_vecOpened.empty(); }));
        EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_SITEPATH)), L"/var/www/sites");
        EXPECT_EQ(readFile(dirOf(temp) + "_out.txt"), builtinEntry("/var/www/sites", "example.com"));
    }
}

// No push button takes the default style, whether clicked or reached by Tab, so that none looks
// as if Enter in a field would click it; Enter on a button with the focus still clicks it.
TEST(WinDialogTest, NoButtonBecomesTheDefaultOne) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();
    ShowWindow(hDlg, SW_SHOW);
    SetForegroundWindow(hDlg);
    pumpUntil([] { return false; }, std::chrono::milliseconds(300));
    const auto defaultButtons = [&] {
        std::vector<int> vecIds;
        for (const int nId : {IDC_START, IDC_OUTPUT, IDC_ABOUT})
            if ((GetWindowLongW(GetDlgItem(hDlg, nId), GWL_STYLE) & BS_TYPEMASK) != BS_PUSHBUTTON)
                vecIds.push_back(nId);
        // The dialog's own default id, IDOK, names no control: Enter in a field closes the dialog.
        if (const LRESULT nDef = SendMessageW(hDlg, DM_GETDEFID, 0, 0);
            HIWORD(nDef) == DC_HASDEFID && GetDlgItem(hDlg, LOWORD(nDef)))
            vecIds.push_back(-LOWORD(nDef));
        return vecIds;
    };
    const struct {
        int nId;
        bool bClick; // else the focus moves there as Tab moves it
        std::string warning;
    } rows[] = {
        {IDC_START, true, "域名列表不能为空！"}, // the focus goes to the list
        {IDC_OUTPUT, true, "输出文件不存在：\n" + dirOf(temp) + "_out.txt"},
        {IDC_ABOUT, true, "about"},
        {IDC_START, false, ""},
        {IDC_SITEPATH, false, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.nId);
        dlg.m_vecWarnings.clear();
        if (row.bClick)
            SendDlgItemMessageW(hDlg, row.nId, BM_CLICK, 0, 0);
        else
            SendMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, row.nId)), TRUE);
        pumpUntil([] { return false; }, std::chrono::milliseconds(100));
        EXPECT_EQ(dlg.m_vecWarnings,
                  row.warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{row.warning});
        EXPECT_EQ(defaultButtons(), std::vector<int>{});
    }

    // Enter on Output, which has the focus, clicks it; the close box then ends the loop.
    SendMessageW(hDlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hDlg, IDC_OUTPUT)), TRUE);
    dlg.m_vecWarnings.clear();
    PostMessageW(GetDlgItem(hDlg, IDC_OUTPUT), WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(hDlg, WM_CLOSE, 0, 0);
    dlg.RunLoop();
    EXPECT_EQ(dlg.m_vecWarnings, std::vector<std::string>{"输出文件不存在：\n" + dirOf(temp) + "_out.txt"});
}

// The end of a run is a window message, so a loop that is not the dialog's (a message box's)
// delivers it; it is handled once.
TEST(WinDialogTest, RunEndsInALoopNotTheDialogs) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();
    SetDlgItemTextW(hDlg, IDC_DOMAINS, L"example.com\r\nlocalhost");
    SetDlgItemTextW(hDlg, IDC_SITEPATH, L"/srv/站点");
    click(hDlg, IDC_START);
    EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_START)), L"停止");

    ASSERT_TRUE(pumpUntil([&] { return !dlg.m_vecOpened.empty(); }));
    pumpUntil([] { return false; }, std::chrono::milliseconds(300)); // whatever else was posted
    EXPECT_EQ(dlg.m_vecOpened, std::vector<std::string>{dirOf(temp) + "_out.txt"});
    EXPECT_TRUE(dlg.m_vecWarnings.empty());
    EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_START)), L"开始");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hDlg, IDC_START)));
    EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_STATUS)), L"操作结束！");
    EXPECT_EQ(readFile(dirOf(temp) + "_out.txt"), builtinEntry("/srv/站点", "example.com"));
}

// A second click stops the run: the button is "正在停止" and disabled until the run's end, which
// opens the output as any end does.
TEST(WinDialogTest, SecondClickStopsTheRun) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();
    const HWND hStart = GetDlgItem(hDlg, IDC_START);
    std::string strList;
    for (int i = 0; i < 1000000; ++i)
        strList += "site" + std::to_string(i) + ".example.com\n";
    writeFile(temp.path("list.txt"), strList);
    SetDlgItemTextW(hDlg, IDC_DOMAINS, sys::widen(temp.path("list.txt")).c_str());
    SetDlgItemTextW(hDlg, IDC_SITEPATH, L"/srv/www");
    click(hDlg, IDC_START);
    click(hDlg, IDC_START);
    EXPECT_EQ(textOf(hStart), L"正在停止");
    EXPECT_FALSE(IsWindowEnabled(hStart));

    ASSERT_TRUE(pumpUntil([&] { return !dlg.m_vecOpened.empty(); }));
    EXPECT_EQ(textOf(hStart), L"开始");
    EXPECT_TRUE(IsWindowEnabled(hStart));
    EXPECT_EQ(textOf(GetDlgItem(hDlg, IDC_STATUS)), L"操作结束！");
    // A whole run would write some four times the list's size.
    EXPECT_LT(readFile(dirOf(temp) + "_out.txt").size(), strList.size());
}

// Closed during a run: the settings are saved, the worker is waited for, and its end, posted to
// a window that has gone, is dropped.
TEST(WinDialogTest, CloseDuringRunSavesAndEnds) {
    CScopedTempDir temp;
    CTestDlg dlg(dirOf(temp));
    ASSERT_TRUE(dlg.Create());
    const HWND hDlg = dlg.hWnd();
    // A list long enough to be still running at the close, named by its file.
    std::string strList;
    for (int i = 0; i < 1000000; ++i)
        strList += "site" + std::to_string(i) + ".example.com\n";
    writeFile(temp.path("list.txt"), strList);
    SetDlgItemTextW(hDlg, IDC_DOMAINS, sys::widen(temp.path("list.txt")).c_str());
    SetDlgItemTextW(hDlg, IDC_SITEPATH, L"/srv/www");
    CheckDlgButton(hDlg, IDC_WWW, BST_CHECKED);
    click(hDlg, IDC_START);
    SendMessageW(hDlg, WM_CLOSE, 0, 0);
    dlg.RunLoop();

    EXPECT_FALSE(IsWindow(hDlg));
    EXPECT_TRUE(dlg.m_vecOpened.empty());
    const std::string strIni = readFile(dirOf(temp) + "Kelvane.ini");
    EXPECT_NE(strIni.find("pathroot=/srv/www"), std::string::npos) << strIni;
    EXPECT_NE(strIni.find("bwww=1"), std::string::npos) << strIni;
}

} // namespace
