#pragma once

#include <map>
#include <string>
#include <string_view>

// A settings file of one section of key=value lines. Values keep their blanks; a backslash,
// CR and LF are escaped so that any text round-trips.
class CIniFile {
public:
    // Reads the file; a missing file is an empty store.
    bool load(const std::string& strPath, std::string& strReason);
    // Writes the whole store through a temporary file renamed over the old one.
    bool save(const std::string& strPath, std::string& strReason) const;

    std::string get(std::string_view strKey) const;
    void set(std::string_view strKey, std::string_view strValue);

    static std::string parseValue(std::string_view str);
    static std::string formatValue(std::string_view str);

private:
    std::map<std::string, std::string, std::less<>> m_mapValues;
};
