#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "core/IniFile.h"

// The window operations of the core services. The dialog supplies them; without one they do
// nothing, so that this library never needs a GUI.
class CShell {
public:
    virtual ~CShell() = default;
    virtual void msgboxWarning(void* hWnd, const std::string& strText) = 0;
    virtual void openUrl(const std::string& strPath) = 0;
    virtual void showAbout() = 0;
};

// Files, text and remembered settings, for the dialog thread and the worker at once: every
// operation is safe when both call it at the same moment.
class CCore {
public:
    // strConfigDir: where "Kelvane.ini" lives; empty means the program's directory.
    explicit CCore(std::string strConfigDir = {});

    void autoFileConfig();
    std::string getAppPath() const;
    std::string getConfigPath() const { return m_strConfigPath; }

    std::string getConfigStr(const std::string& strKey) const;
    int getConfigB(const std::string& strKey) const;
    bool saveConfigStr(const std::string& strKey, const std::string& strValue);
    bool saveConfigB(const std::string& strKey, int bValue);

    static void trimStr(std::string& str);
    static int isFileExist(const std::string& strPath);
    // The whole file as UTF-8 text; empty when missing or unreadable.
    static std::string readTxtFile(const std::string& strPath);
    // The file then exists and is empty; false when it could not be made so.
    static bool createFile(const std::string& strPath, int nFlag);
    // Appends the text, then CR LF, in one write.
    static bool logAdd(const std::string& strPath, const std::string& strText, int nFlag);
    static std::int64_t getFgCount(const std::string& strText, char chSep);
    static std::string getFg(const std::string& strText, char chSep, std::int64_t i);

    void setShell(CShell* pShell);
    void msgboxWarning(void* hWnd, const std::string& strText);
    void openUrl(const std::string& strPath);
    void showAbout();

    // Why the last settings operation failed, for a front end that wants to say so.
    std::string lastConfigError() const;

private:
    bool saveLocked();
    CShell* shell() const;

    mutable std::mutex m_mutex;
    std::string m_strConfigPath;
    CIniFile m_ini;
    std::string m_strConfigError;
    CShell* m_pShell = nullptr;
};

// The directory of the running executable, ending in '/'.
std::string executableDir();
