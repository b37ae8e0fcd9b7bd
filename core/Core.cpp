#include "core/Core.h"

#include <filesystem>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Settings.h"
#include "core/TextUtil.h"

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

CCore::CCore(std::string strConfigDir) {
    if (!strConfigDir.empty() && !strConfigDir.ends_with('/'))
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

void CCore::trimStr(std::string& str) { text::trimStr(str); }

int CCore::isFileExist(const std::string& strPath) { return file::isFileExist(strPath) ? 1 : 0; }
