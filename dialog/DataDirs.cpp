#include "dialog/DataDirs.h"

#include <cstdlib>
#include <filesystem>
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
