#include "engine/ApacheDialect.h"

#include "core/TextUtil.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kClose = "</VirtualHost>\r\n";

// The redirect keeps the challenges of certbot's webroot on plain HTTP. It takes the path from
// the request line itself, byte for byte (the decoded one would turn %3F into a '?', which
// mod_rewrite refuses in a target, and merge "//"), and mod_rewrite appends the query as it came.
// The host drops the port a client named, which is the plain one, and keeps an IPv6 literal whole.
constexpr std::string_view kRedirect =
    "    RewriteEngine on\r\n"
    "    RewriteCond %{REQUEST_URI} !^/\\.well-known/acme-challenge/\r\n"
    "    RewriteCond \"%{HTTP_HOST} %{THE_REQUEST}\" \"^(\\[[^]]+\\]|[^: ]+)(:[0-9]*)? [^ ]+ (/[^ ?]*)\"\r\n"
    "    RewriteRule ^ https://%1%3 [R=301,L,NE]\r\n";

std::string openingLines(const tagAddress& address, const std::string& strQuotedPath) {
    return "<VirtualHost " + address.text() + ">\r\n    DocumentRoot " + strQuotedPath + "\r\n";
}

tagSiteSettings singleSettings(const tagSiteSettings& site, const tagLayout& layout) {
    tagSiteSettings single = site;
    single.address = entry::entryAddresses(layout).plain;
    return single;
}
} // namespace

CApacheDialect::CApacheDialect(const tagSiteSettings& site, const tagLayout& layout)
    : m_single(singleSettings(site, layout)), m_strCertPath(layout.strCertPath),
      m_bRedirect(layout.bRedirect) {
    if (m_strCertPath.size() > 1 && m_strCertPath.back() == '/')
        m_strCertPath.pop_back();
    const entry::tagEntryAddresses addresses = entry::entryAddresses(layout);
    const std::string strQuoted = CSiteBuilder::quotedSitePath(site.strSitePath);
    m_strPlainOpen = openingLines(addresses.plain, strQuoted);
    if (addresses.bTwin)
        m_strTwinOpen = openingLines(addresses.twin, strQuoted);
}

void CApacheDialect::appendOpening(bool bTwin, CByteBuffer& out) const {
    out.append(bTwin ? m_strTwinOpen : m_strPlainOpen);
}

void CApacheDialect::appendNames(const std::string* pNames, std::size_t nNames, CByteBuffer& out) const {
    out.append("    ServerAlias");
    for (std::size_t i = 0; i < nNames; ++i) {
        out.append(" ");
        out.append(pNames[i]);
    }
    out.append(kLineEnd);
}

void CApacheDialect::appendClosing(bool bTwin, bool bRedirect, std::string_view strCertName,
                                   CByteBuffer& out) const {
    if (!bTwin && bRedirect && m_bRedirect)
        out.append(kRedirect);
    if (bTwin) {
        const std::string strDir = text::replaceAll(m_strCertPath, "{name}", strCertName);
        out.append("    SSLEngine on\r\n    SSLCertificateFile ");
        out.append(CSiteBuilder::quotedSitePath(strDir + "/fullchain.pem"));
        out.append("\r\n    SSLCertificateKeyFile ");
        out.append(CSiteBuilder::quotedSitePath(strDir + "/privkey.pem"));
        out.append(kLineEnd);
    }
    out.append(kClose);
}
