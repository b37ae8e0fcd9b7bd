#include "engine/SiteBuilder.h"

#include <cstring>

#include "engine/EntryModel.h"
#include "engine/EntryTemplate.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
} // namespace

CSiteBuilder::CSiteBuilder(tagSiteSettings settings) : m_settings(std::move(settings)) {
    if (m_settings.strTemplate.empty()) {
        m_vecPieces = {"<VirtualHost " + m_settings.address.text() + ">\r\n    DocumentRoot " +
                           quotedSitePath(m_settings.strSitePath) + "\r\n    ServerAlias ",
                       "\r\n</VirtualHost>"};
    } else {
        CEntryTemplate entry(m_settings.strTemplate, m_settings.strSitePath,
                             m_settings.bWww || !m_settings.strPrefix.empty(), m_settings.eServer);
        m_nTemplateFailLine = entry.failLine();
        m_vecPieces = entry.takePieces();
    }
    m_vecPieces.back().append(kLineEnd);
    for (const auto& strPiece : m_vecPieces)
        m_nPiecesSize += strPiece.size();
    const entry::CNameHeads heads(m_settings.bWww, m_settings.strPrefix);
    for (std::size_t i = 1; i < heads.size(); ++i)
        m_nHeadsSize += (m_heads[m_nHeads++] = " " + heads[i]).size();
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
    return strDomain.size() * (m_nHeads + 1) + m_nHeadsSize;
}

char* CSiteBuilder::writeAliases(std::string_view strDomain, char* p) const {
    p = copy(p, strDomain);
    for (std::size_t i = 0; i < m_nHeads; ++i)
        p = copy(copy(p, m_heads[i]), strDomain);
    return p;
}
