#include "core/IniFile.h"

#include <filesystem>

#include "core/FileUtil.h"
#include "core/Settings.h"
#include "core/TextUtil.h"

bool CIniFile::load(const std::string& strPath, std::string& strReason) {
    m_mapValues.clear();
    std::error_code ec;
    if (!std::filesystem::exists(strPath, ec) && !ec)
        return true; // never saved
    std::string strText;
    if (!file::readAll(strPath, strText, strReason))
        return false;
    if (strText.starts_with("\xEF\xBB\xBF"))
        strText.erase(0, 3);
    bool bOurSection = true; // keys before any section header are ours too
    std::string_view rest = strText;
    while (!rest.empty()) {
        const auto eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        const auto head = text::trimmed(line, " \t");
        if (head.empty() || head.front() == ';' || head.front() == '#')
            continue;
        if (head.front() == '[' && head.back() == ']') {
            bOurSection = text::trimmed(head.substr(1, head.size() - 2), " \t") == settings::kSection;
            continue;
        }
        const auto eq = line.find('=');
        if (!bOurSection || eq == std::string_view::npos)
            continue;
        m_mapValues[std::string(text::trimmed(line.substr(0, eq), " \t"))] = parseValue(line.substr(eq + 1));
    }
    return true;
}

bool CIniFile::save(const std::string& strPath, std::string& strReason) const {
    std::string strText;
    strText.append("[").append(settings::kSection).append("]\n");
    for (const auto& [key, value] : m_mapValues)
        strText.append(key).append("=").append(formatValue(value)).append("\n");
    return file::replaceAtomically(strPath, strText, strReason);
}

std::string CIniFile::get(std::string_view strKey) const {
    const auto it = m_mapValues.find(strKey);
    return it == m_mapValues.end() ? std::string() : it->second;
}

void CIniFile::set(std::string_view strKey, std::string_view strValue) {
    m_mapValues.insert_or_assign(std::string(strKey), std::string(strValue));
}

std::string CIniFile::parseValue(std::string_view str) {
    std::string out;
    out.reserve(str.size());
    for (std::size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '\\' && i + 1 < str.size()) {
            const char next = str[i + 1];
            if (next == '\\' || next == 'n' || next == 'r') {
                out += next == '\\' ? '\\' : next == 'n' ? '\n' : '\r';
                ++i;
                continue;
            }
        }
        out += str[i];
    }
    return out;
}

std::string CIniFile::formatValue(std::string_view str) {
    std::string out;
    out.reserve(str.size());
    for (const char ch : str) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else
            out += ch;
    }
    return out;
}
