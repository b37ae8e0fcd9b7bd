#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class CDomainMapper;

// What an entry is made of; fixed for a whole run.
struct tagSiteSettings {
    std::string strSitePath;
    std::string strPrefix;
    bool bWww = false;
    std::string strTemplate; // empty: the built-in block
    CDomainMapper* pMapper = nullptr;
};

// Turns one line of the list into one name-based virtual host entry.
class CSiteBuilder {
public:
    explicit CSiteBuilder(tagSiteSettings settings);

    // Appends the entry for the line, with its closing CR LF, to out; returns false and appends
    // nothing when the line has no domain. nLine (from 1) names the line to the domain mapper.
    bool appendEntry(std::string_view strLine, std::int64_t nLine, std::string& out) const;

    // The domain of a line, or empty when the line writes no entry.
    static std::string_view domainOf(std::string_view strLine);

    void appendAliases(std::string_view strDomain, std::string& out) const;
    std::string BuildAliases(std::string_view strDomain) const;

    // Apache refuses a DocumentRoot with an unquoted blank in it.
    static std::string quotedSitePath(const std::string& strSitePath);

private:
    tagSiteSettings m_settings;
    // The entry cut where the alias list goes: pieces[0] aliases pieces[1] ... aliases pieces[n].
    std::vector<std::string> m_vecPieces;
};
