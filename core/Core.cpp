#include "core/Core.h"

#include <filesystem>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Settings.h"
#include "core/TextUtil.h"

#ifdef _WIN32
#include <windows.h>

#include "core/Sys.h"

namespace {
bool endsWithSeparator(const std::string& str) {
    return str.ends_with('/') || str.ends_with('\\');
}
} // namespace

std::string executableDir() {
    // Long paths too: the buffer grows until the whole name fits.
    std::wstring strPath(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, strPath.data(), static_cast<DWORD>(strPath.size()));
        if (n == 0)
            return {};
        if (n < strPath.size()) {
            strPath.resize(n);
            break;
        }
        strPath.resize(strPath.size() * 2);
    }
    std::string strDir = sys::narrow(strPath);
    strDir.erase(strDir.find_last_of("/\\") + 1);
    return strDir;
}
#else
namespace {
bool endsWithSeparator(const std::string& str) {
    return str.ends_with('/');
}
} // namespace

std::string executableDir() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        path = std::filesystem::current_path(ec) / "kelvane";
    auto strDir = path.parent_path().string();
    if (!strDir.ends_with('/'))
        strDir += '/';
    return strDir;
}
#endif

CCore::CCore(std::string strConfigDir) {
    if (!strConfigDir.empty() && !endsWithSeparator(strConfigDir))
        strConfigDir += '/';
    m_strConfigPath = strConfigDir + std::string(settings::kFileName);
}

void CCore::autoFileConfig() {
    std::lock_guard lock(m_mutex);
    std::string strReason;
    if (!m_ini.load(m_strConfigPath, strReason))
        m_strConfigError = m_strConfigPath + ": " + strReason;
}

std::string CCore::getConfigStr(const std::string& strKey) const {
    std::lock_guard lock(m_mutex);
    return m_ini.get(strKey);
}

int CCore::getConfigB(const std::string& strKey) const {
    std::lock_guard lock(m_mutex);
    return m_ini.get(strKey) == "1" ? 1 : 0;
}

bool CCore::saveConfigStr(const std::string& strKey, const std::string& strValue) {
    std::lock_guard lock(m_mutex);
    m_ini.set(strKey, strValue);
    return saveLocked();
}

bool CCore::saveConfigB(const std::string& strKey, int bValue) {
    std::lock_guard lock(m_mutex);
    m_ini.set(strKey, bValue ? "1" : "0");
    return saveLocked();
}

bool CCore::saveLocked() {
    std::string strReason;
    if (m_ini.save(m_strConfigPath, strReason))
        return true;
    m_strConfigError = m_strConfigPath + ": " + strReason;
    return false;
}

std::string CCore::lastConfigError() const {
    std::lock_guard lock(m_mutex);
    return m_strConfigError;
}

void CCore::trimStr(std::string& str) {
    text::trimStr(str);
}

int CCore::isFileExist(const std::string& strPath) {
    return file::isFileExist(strPath) ? 1 : 0;
}
