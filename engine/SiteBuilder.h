#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ByteBuffer.h"

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
    bool appendEntry(std::string_view strLine, std::int64_t nLine, CByteBuffer& out) const;

    // The domain of a line, or empty when the line writes no entry.
    static std::string_view domainOf(std::string_view strLine);

    std::string BuildAliases(std::string_view strDomain) const;

    // Apache refuses a DocumentRoot with an unquoted blank in it.
    static std::string quotedSitePath(const std::string& strSitePath);

private:
    bool appendEntryFor(std::string_view strDomain, CByteBuffer& out) const;
    std::size_t aliasesSize(std::string_view strDomain) const;
    char* writeAliases(std::string_view strDomain, char* p) const;

    tagSiteSettings m_settings;
    std::string m_strPrefixHead; // " " + prefix + ".", or empty
    std::size_t m_nPiecesSize = 0;
    // The entry cut where the alias list goes: pieces[0] aliases pieces[1] ... aliases pieces[n].
    std::vector<std::string> m_vecPieces;
};
