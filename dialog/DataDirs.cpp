#include "dialog/DataDirs.h"

#include <filesystem>

#include "core/Sys.h"

namespace {

std::string withSeparator(std::string str) {
    if (!str.empty() && !str.ends_with('/') && !str.ends_with(sys::kPathSeparator))
        str += sys::kPathSeparator;
    return str;
}

std::string made(const std::string& strDir) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(std::u8string(strDir.begin(), strDir.end())),
                                        ec);
    return withSeparator(strDir);
}

} // namespace

tagDataDirs userDataDirs() {
    return {made(sys::userConfigBase() + "Kelvane"), made(sys::userDataBase() + "Kelvane")};
}

// A Windows program is portable: its files stay beside it unless that folder cannot be written.
// Elsewhere only a program that carries the portable marker beside it does so.
tagDataDirs chooseDataDirs(const std::string& strExeDir) {
    const std::string strDir = withSeparator(strExeDir);
    std::error_code ec;
    const std::string strMarker = strDir + std::string(kPortableMarker);
    const bool bPortable = sys::kPortableByDefault ||
                           std::filesystem::is_regular_file(
                               std::filesystem::path(std::u8string(strMarker.begin(), strMarker.end())), ec);
    if (bPortable && sys::canCreateIn(strDir))
        return {strDir, strDir};
    return userDataDirs();
}

std::string homeDir() {
    return sys::homeDir();
}
