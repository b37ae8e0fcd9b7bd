#include "dialog/DataDirs.h"

#include <cstdlib>
#include <filesystem>

#ifdef _WIN32

#include <windows.h>

namespace {

std::filesystem::path fromUtf8(const std::string& str) {
    return std::filesystem::path(std::u8string(str.begin(), str.end()));
}

std::string toUtf8(const std::filesystem::path& path) {
    const std::u8string str = path.u8string();
    return std::string(str.begin(), str.end());
}

std::string withSlash(std::string str) {
    if (!str.empty() && !str.ends_with('\\') && !str.ends_with('/'))
        str += '\\';
    return str;
}

// Whether a file can be made in the directory: its permissions say little on Windows, and a
// read-only folder such as Program Files shows only when a write is refused.
bool canWriteIn(const std::string& strDir) {
    const std::filesystem::path probe =
        fromUtf8(strDir + "Kelvane-" + std::to_string(GetCurrentProcessId()) + ".probe");
    const HANDLE hFile = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(hFile);
    return true;
}

} // namespace

tagDataDirs userDataDirs() {
    std::error_code ec;
    const wchar_t* pAppData = _wgetenv(L"APPDATA");
    std::filesystem::path dir =
        pAppData && pAppData[0] ? std::filesystem::path(pAppData) : std::filesystem::temp_directory_path(ec);
    dir /= L"Kelvane";
    std::filesystem::create_directories(dir, ec);
    const std::string strDir = withSlash(toUtf8(dir));
    return {strDir, strDir};
}

// The program is portable: its files stay beside it unless that folder cannot be written.
tagDataDirs chooseDataDirs(const std::string& strExeDir) {
    const std::string strDir = withSlash(strExeDir);
    if (canWriteIn(strDir))
        return {strDir, strDir};
    return userDataDirs();
}

std::string homeDir() {
    const wchar_t* pProfile = _wgetenv(L"USERPROFILE");
    return pProfile && pProfile[0] ? toUtf8(std::filesystem::path(pProfile)) : std::string();
}

#else

#include <pwd.h>
#include <unistd.h>

namespace {

std::string withSlash(std::string str) {
    if (!str.ends_with('/'))
        str += '/';
    return str;
}

// The base named by an XDG variable, or the home directory's default for it.
std::string xdgBase(const char* pVariable, const char* pDefault) {
    const char* pValue = std::getenv(pVariable);
    // Only an absolute path counts, as the XDG rules say.
    if (pValue && pValue[0] == '/')
        return withSlash(pValue);
    const char* pHome = std::getenv("HOME");
    return withSlash(pHome && pHome[0] ? pHome : "/tmp") + pDefault;
}

std::string made(std::string strDir) {
    std::error_code ec;
    std::filesystem::create_directories(strDir, ec);
    return withSlash(std::move(strDir));
}

} // namespace

tagDataDirs userDataDirs() {
    return {made(xdgBase("XDG_CONFIG_HOME", ".config/") + "Kelvane"),
            made(xdgBase("XDG_DATA_HOME", ".local/share/") + "Kelvane")};
}

tagDataDirs chooseDataDirs(const std::string& strExeDir) {
    const std::string strDir = withSlash(strExeDir);
    std::error_code ec;
    if (std::filesystem::is_regular_file(strDir + std::string(kPortableMarker), ec) &&
        ::access(strDir.c_str(), W_OK) == 0)
        return {strDir, strDir};
    return userDataDirs();
}

std::string homeDir() {
    if (const char* pHome = std::getenv("HOME"); pHome && pHome[0])
        return pHome;
    const passwd* pEntry = ::getpwuid(::getuid());
    return pEntry && pEntry->pw_dir ? pEntry->pw_dir : std::string();
}

#endif
