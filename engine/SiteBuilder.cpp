#include "engine/SiteBuilder.h"

#include "core/TextUtil.h"
#include "engine/RunSettings.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kWwwHead = "www.";
constexpr std::string_view kPlaceholderSitePath = "{sitePath}";
constexpr std::string_view kPlaceholderDomain = "{siteDomain}";
// Blanks a pasted line may carry at its ends; a CR is what is left of a CR LF line end.
constexpr std::string_view kLineBlanks = " \t\r";
} // namespace

CSiteBuilder::CSiteBuilder(tagSiteSettings settings) : m_settings(std::move(settings)) {
    if (m_settings.strTemplate.empty()) {
        m_vecPieces = {"<VirtualHost *>\r\n    DocumentRoot " + quotedSitePath(m_settings.strSitePath) +
                           "\r\n    ServerAlias ",
                       "\r\n</VirtualHost>"};
    } else {
        // The site path goes in first, as typed: the template's author quotes it. A "{siteDomain}"
        // that the site path brings in is then filled like the template's own.
        const std::string strFilled =
            text::replaceAll(m_settings.strTemplate, kPlaceholderSitePath, m_settings.strSitePath);
        std::string_view rest = strFilled;
        for (auto hit = rest.find(kPlaceholderDomain); hit != std::string_view::npos;
             hit = rest.find(kPlaceholderDomain)) {
            m_vecPieces.emplace_back(rest.substr(0, hit));
            rest.remove_prefix(hit + kPlaceholderDomain.size());
        }
        m_vecPieces.emplace_back(rest);
    }
    m_vecPieces.back().append(kLineEnd);
}

std::string CSiteBuilder::quotedSitePath(const std::string& strSitePath) {
    if (strSitePath.find_first_of(" \t") == std::string::npos)
        return strSitePath;
    return '"' + strSitePath + '"';
}

std::string_view CSiteBuilder::domainOf(std::string_view strLine) {
    std::string_view domain = text::trimmed(strLine, kLineBlanks);
    if (domain.find('.') == std::string_view::npos)
        return {};
    // Only a leading "www." goes, and only once: "awww.com" is another site than "acom".
    if (domain.starts_with(kWwwHead))
        domain.remove_prefix(kWwwHead.size());
    return domain;
}

bool CSiteBuilder::appendEntry(std::string_view strLine, std::int64_t nLine, std::string& out) const {
    std::string_view domain = domainOf(strLine);
    // An entry without a name could never be reached, and as the first one it would become the
    // default host of every unknown name.
    if (domain.empty())
        return false;
    std::string strMapped;
    if (m_settings.pMapper && !text::isAscii(domain) && m_settings.pMapper->mapDomain(nLine, domain, strMapped))
        domain = strMapped;

    out.append(m_vecPieces.front());
    for (std::size_t i = 1; i < m_vecPieces.size(); ++i) {
        appendAliases(domain, out);
        out.append(m_vecPieces[i]);
    }
    return true;
}

void CSiteBuilder::appendAliases(std::string_view strDomain, std::string& out) const {
    out.append(strDomain);
    if (m_settings.bWww)
        out.append(" www.").append(strDomain);
    if (!m_settings.strPrefix.empty())
        out.append(" ").append(m_settings.strPrefix).append(".").append(strDomain);
}

std::string CSiteBuilder::BuildAliases(std::string_view strDomain) const {
    std::string out;
    appendAliases(strDomain, out);
    return out;
}
