#include "engine/SiteBuilder.h"

#include <cstring>

#include "engine/EntryTemplate.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kWwwAlias = " www.";
} // namespace

CSiteBuilder::CSiteBuilder(tagSiteSettings settings) : m_settings(std::move(settings)) {
    if (m_settings.strTemplate.empty()) {
        m_vecPieces = {"<VirtualHost *>\r\n    DocumentRoot " + quotedSitePath(m_settings.strSitePath) +
                           "\r\n    ServerAlias ",
                       "\r\n</VirtualHost>"};
    } else {
        CEntryTemplate entry(m_settings.strTemplate, m_settings.strSitePath,
                             m_settings.bWww || !m_settings.strPrefix.empty());
        m_nTemplateFailLine = entry.failLine();
        m_vecPieces = entry.takePieces();
    }
    m_vecPieces.back().append(kLineEnd);
    for (const auto& strPiece : m_vecPieces)
        m_nPiecesSize += strPiece.size();
    // A prefix that is the www alias adds no name of its own: each name is written once.
    const std::string_view prefix = m_settings.strPrefix;
    const bool bPrefixIsWww = prefix.size() == 3 && (prefix[0] | 0x20) == 'w' && (prefix[1] | 0x20) == 'w' &&
                              (prefix[2] | 0x20) == 'w';
    if (!prefix.empty() && !(m_settings.bWww && bPrefixIsWww))
        m_strPrefixHead = " " + m_settings.strPrefix + ".";
}

namespace {
[[gnu::always_inline]] inline char* copy(char* p, std::string_view str) {
    return copyBytes(p, str.data(), str.size());
}
} // namespace

std::string CSiteBuilder::quotedSitePath(std::string_view strSitePath, bool bBlankLater) {
    // Unquoted, Apache ends the path at a blank, reads a leading quote as an opening one, takes
    // "\\" for "\", and joins a line ending in "\" with the next.
    const bool bQuote = bBlankLater || strSitePath.empty() ||
                        strSitePath.find_first_of(" \t") != std::string_view::npos ||
                        strSitePath.front() == '"' || strSitePath.front() == '\'' ||
                        strSitePath.find("\\\\") != std::string_view::npos || strSitePath.back() == '\\';
    if (!bQuote)
        return std::string(strSitePath);
    // Inside quotes a backslash escapes only a backslash or a quote: those are doubled, and so is
    // one before the closing quote.
    std::string out = "\"";
    for (std::size_t i = 0; i < strSitePath.size(); ++i) {
        const char ch = strSitePath[i];
        if (ch == '"')
            out += "\\\"";
        else if (ch == '\\' &&
                 (i + 1 == strSitePath.size() || strSitePath[i + 1] == '\\' || strSitePath[i + 1] == '"'))
            out += "\\\\";
        else
            out += ch;
    }
    out += '"';
    return out;
}

void CSiteBuilder::appendEntry(std::string_view domain, CByteBuffer& out) const {
    const std::size_t nAliases = aliasesSize(domain);
    const std::size_t nPieces = m_vecPieces.size();
    char* const pStart = out.reserveTail(m_nPiecesSize + nAliases * (nPieces - 1));
    char* p = copy(pStart, m_vecPieces[0]);
    if (nPieces > 1) {
        const char* pAliases = p;
        p = copy(writeAliases(domain, p), m_vecPieces[1]);
        for (std::size_t i = 2; i < nPieces; ++i)
            p = copy(copy(p, std::string_view(pAliases, nAliases)), m_vecPieces[i]);
    }
    out.commit(static_cast<std::size_t>(p - pStart));
}

std::size_t CSiteBuilder::aliasesSize(std::string_view strDomain) const {
    std::size_t n = strDomain.size();
    if (m_settings.bWww)
        n += kWwwAlias.size() + strDomain.size();
    if (!m_strPrefixHead.empty())
        n += m_strPrefixHead.size() + strDomain.size();
    return n;
}

char* CSiteBuilder::writeAliases(std::string_view strDomain, char* p) const {
    p = copy(p, strDomain);
    if (m_settings.bWww)
        p = copy(copy(p, kWwwAlias), strDomain);
    if (!m_strPrefixHead.empty())
        p = copy(copy(p, m_strPrefixHead), strDomain);
    return p;
}
