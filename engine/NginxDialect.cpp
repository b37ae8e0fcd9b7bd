#include "engine/NginxDialect.h"

#include "core/TextUtil.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kClose = "}\r\n";
constexpr int kHttpPort = 80;

// Certbot's challenges stay on plain HTTP and are served from the root; every other request goes
// to https with its host (without the port the client named) and its path and query as they came.
constexpr std::string_view kRedirect = "    location /.well-known/acme-challenge/ {\r\n"
                                       "    }\r\n"
                                       "    location / {\r\n"
                                       "        return 301 https://$host$request_uri;\r\n"
                                       "    }\r\n";

std::string openingLines(const tagAddress& address, bool bIpv6, std::string_view strParams,
                         const std::string& strQuotedRoot, std::string_view strMore = {}) {
    return "server {\r\n" + CNginxDialect::listenLines(address, bIpv6, strParams) + std::string(strMore) +
           "    root " + strQuotedRoot + ";\r\n";
}
} // namespace

std::string CNginxDialect::quoted(std::string_view strText) {
    // Inside double quotes nginx reads "\\" as '\' and "\"" as '"'; a backslash before anything
    // else would stay, but "\t", "\r" and "\n" would become control characters: every backslash is
    // escaped, so that none of them can form.
    std::string out = "\"";
    for (const char ch : strText) {
        if (ch == '\\' || ch == '"')
            out += '\\';
        out += ch;
    }
    out += '"';
    return out;
}

EHttp2 CNginxDialect::http2Of(std::string_view strVersionText) {
    if (strVersionText.find("--with-http_v2_module") == std::string_view::npos)
        return EHttp2::Off;
    // "nginx version: nginx/1.22.1": the directive from 1.25.1 on, the listen parameter before,
    // and when the version cannot be read (deprecated later, but still taken).
    constexpr std::string_view kVersion = "nginx version: nginx/";
    const std::size_t nAt = strVersionText.find(kVersion);
    if (nAt == std::string_view::npos)
        return EHttp2::ListenParam;
    int parts[3] = {0, 0, 0};
    std::size_t i = nAt + kVersion.size();
    for (int& nPart : parts) {
        const std::size_t nStart = i;
        for (; i < strVersionText.size() && strVersionText[i] >= '0' && strVersionText[i] <= '9' &&
               i - nStart < 6;
             ++i)
            nPart = nPart * 10 + (strVersionText[i] - '0');
        if (i == nStart)
            return EHttp2::ListenParam;
        if (i >= strVersionText.size() || strVersionText[i] != '.')
            break;
        ++i;
    }
    const bool bDirective =
        parts[0] > 1 || (parts[0] == 1 && (parts[1] > 25 || (parts[1] == 25 && parts[2] >= 1)));
    return bDirective ? EHttp2::Directive : EHttp2::ListenParam;
}

std::string CNginxDialect::listenLines(const tagAddress& address, bool bIpv6, std::string_view strParams) {
    const std::string strPort = std::to_string(address.nPort == 0 ? kHttpPort : address.nPort);
    const std::string strEnd = (strParams.empty() ? std::string() : " " + std::string(strParams)) + ";\r\n";
    if (!address.anyHost())
        return "    listen " + address.strHost + ":" + strPort + strEnd;
    std::string str = "    listen " + strPort + strEnd;
    if (bIpv6)
        str += "    listen [::]:" + strPort + strEnd;
    return str;
}

CNginxDialect::CNginxDialect(const tagSiteSettings& site, const tagLayout& layout)
    : m_heads(site.bWww, site.strPrefix), m_strCertPath(layout.strCertPath), m_bRedirect(layout.bRedirect) {
    if (m_strCertPath.size() > 1 && m_strCertPath.back() == '/')
        m_strCertPath.pop_back();
    const entry::tagEntryAddresses addresses = entry::entryAddresses(layout);
    const std::string strRoot = quoted(site.strSitePath);
    if (!site.strTemplate.empty()) {
        tagSiteSettings settings = site;
        settings.eServer = EServerKind::Nginx;
        m_template.emplace(std::move(settings));
    }
    m_strPlainOpen = openingLines(addresses.plain, layout.bAnyHostIpv6, {}, strRoot);
    if (addresses.bTwin)
        m_strTwinOpen = openingLines(addresses.twin, layout.bAnyHostIpv6,
                                     layout.eHttp2 == EHttp2::ListenParam ? "ssl http2" : "ssl", strRoot,
                                     layout.eHttp2 == EHttp2::Directive ? "    http2 on;\r\n" : "");
}

void CNginxDialect::appendSingleEntry(std::string_view strDomain, CByteBuffer& out) const {
    std::string names[3];
    for (std::size_t i = 0; i < m_heads.size(); ++i)
        names[i] = m_heads[i] + std::string(strDomain);
    if (m_template) {
        m_template->appendEntry(strDomain, out);
        for (std::size_t i = 0; m_pSizer && i < m_heads.size(); ++i)
            m_pSizer->add(names[i]);
        return;
    }
    appendOpening(false, out);
    appendNames(names, m_heads.size(), out);
    appendClosing(false, true, {}, out);
}

void CNginxDialect::appendOpening(bool bTwin, CByteBuffer& out) const {
    out.append(bTwin ? m_strTwinOpen : m_strPlainOpen);
}

void CNginxDialect::appendNames(const std::string* pNames, std::size_t nNames, CByteBuffer& out) const {
    out.append("    server_name");
    for (std::size_t i = 0; i < nNames; ++i) {
        out.append(" ");
        out.append(pNames[i]);
        if (m_pSizer)
            m_pSizer->add(pNames[i]);
    }
    out.append(";");
    out.append(kLineEnd);
}

std::string CNginxDialect::hashSizesLine(std::size_t nBucketSize, std::size_t nMaxSize) {
    return "server_names_hash_bucket_size " + std::to_string(nBucketSize) + "; server_names_hash_max_size " +
           std::to_string(nMaxSize) + ";";
}

void CNginxDialect::appendClosing(bool bTwin, bool bRedirect, std::string_view strCertName,
                                  CByteBuffer& out) const {
    if (!bTwin && bRedirect && m_bRedirect)
        out.append(kRedirect);
    if (bTwin) {
        const std::string strDir = text::replaceAll(m_strCertPath, "{name}", strCertName);
        out.append("    ssl_certificate ");
        out.append(quoted(strDir + "/fullchain.pem"));
        out.append(";\r\n    ssl_certificate_key ");
        out.append(quoted(strDir + "/privkey.pem"));
        out.append(";\r\n");
    }
    out.append(kClose);
}
