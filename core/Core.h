#pragma once

#include <mutex>
#include <string>

#include "core/IniFile.h"

// The remembered settings and the text and file helpers of the dialog: every operation is safe
// when two threads call it at the same moment.
class CCore {
public:
    // strConfigDir: where "Kelvane.ini" lives.
    explicit CCore(std::string strConfigDir);

    void autoFileConfig();
    std::string getConfigPath() const { return m_strConfigPath; }

    std::string getConfigStr(const std::string& strKey) const;
    int getConfigB(const std::string& strKey) const;
    bool saveConfigStr(const std::string& strKey, const std::string& strValue);
    bool saveConfigB(const std::string& strKey, int bValue);

    static void trimStr(std::string& str);
    static int isFileExist(const std::string& strPath);

    // Why the last settings operation failed, for a front end that wants to say so.
    std::string lastConfigError() const;

private:
    bool saveLocked();

    mutable std::mutex m_mutex;
    std::string m_strConfigPath;
    CIniFile m_ini;
    std::string m_strConfigError;
};

// The directory of the running executable, ending in '/'.
std::string executableDir();
