// Where kelvane.exe keeps its files: beside itself when it may write there, else in the user's
// application data folder.

#include <windows.h>

#include <cstdlib>

#include "TestUtil.h"
#include "dialog/DataDirs.h"

namespace {

// Points %APPDATA% at a folder of the test's for as long as it lives.
class CAppDataOverride {
public:
    explicit CAppDataOverride(const std::filesystem::path& dir) {
        if (const wchar_t* pOld = _wgetenv(L"APPDATA"))
            m_strOld = pOld;
        _wputenv_s(L"APPDATA", dir.c_str());
    }
    ~CAppDataOverride() { _wputenv_s(L"APPDATA", m_strOld.c_str()); }
    CAppDataOverride(const CAppDataOverride&) = delete;
    CAppDataOverride& operator=(const CAppDataOverride&) = delete;

private:
    std::wstring m_strOld;
};

TEST(DataDirsTest, BesideTheProgramOnlyWhenItsFolderCanBeWritten) {
    const struct {
        const char* pName;
        const char* pExeDir; // under the test's folder; "" for the folder itself
        bool bMake;          // a folder is made there
        bool bBeside;
    } cases[] = {
        {"a folder with a Chinese name", "程序", true, true},
        {"given with its separator", "程序\\", true, true},
        {"a folder that is gone", "gone", false, false},
        {"a file, not a folder", "file.txt", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pName);
        CScopedTempDir temp;
        CAppDataOverride appData(temp.dir() / "AppData");
        const std::string strExeDir = temp.path(c.pExeDir);
        if (c.bMake)
            std::filesystem::create_directories(utf8Path(strExeDir));
        writeFile(temp.path("file.txt"), "not a folder");

        const tagDataDirs dirs = chooseDataDirs(strExeDir);

        const std::string strExpected =
            c.bBeside ? temp.path("程序") + "\\" : temp.path("AppData\\Kelvane") + "\\";
        EXPECT_EQ(dirs.strConfigDir, strExpected);
        EXPECT_EQ(dirs.strDataDir, strExpected);
        EXPECT_TRUE(std::filesystem::is_directory(utf8Path(strExpected)));
        // The write test leaves nothing behind.
        if (c.bBeside) {
            EXPECT_TRUE(std::filesystem::is_empty(utf8Path(strExpected)));
        }
    }
}

} // namespace
