#pragma once

#include <optional>

#include "engine/EntryDialect.h"
#include "engine/EntryModel.h"
#include "engine/GenRequest.h"
#include "engine/NginxHash.h"
#include "engine/SiteBuilder.h"

// Entries as nginx reads them: a server {} block with its listen lines, the site path as root and
// a server_name line of names for each domain; ssl on the HTTPS twin's listen lines with its
// certificate's files; the redirect as a return in a location of its own, beside one that leaves
// certbot's challenges on plain HTTP. Every path is quoted so that nginx reads back the bytes typed;
// a '$' cannot be written (nginx would take it for a variable) and is refused before a run.
class CNginxDialect : public CEntryDialect {
public:
    // site.strPrefix: checked and in ASCII form. A template is for entries of one domain.
    CNginxDialect(const tagSiteSettings& site, const tagLayout& layout);

    // A string nginx reads back as strText: in double quotes, '\' and '"' escaped.
    static std::string quoted(std::string_view strText);
    // The listen lines of an address: host "*" is every IPv4 address, and with bIpv6 every IPv6 one.
    static std::string listenLines(const tagAddress& address, bool bIpv6, std::string_view strParams);

    // HTTP/2 as the nginx whose `nginx -V` printed strVersionText has it: none without its module.
    static EHttp2 http2Of(std::string_view strVersionText);

    std::int64_t templateFailLine() const override { return m_template ? m_template->templateFailLine() : 0; }
    void appendSingleEntry(std::string_view strDomain, CByteBuffer& out) const override;
    void appendOpening(bool bTwin, CByteBuffer& out) const override;
    void appendNames(const std::string* pNames, std::size_t nNames, CByteBuffer& out) const override;
    void appendClosing(bool bTwin, bool bRedirect, std::string_view strCertName,
                       CByteBuffer& out) const override;
    // nginx warns of each at every start ("conflicting server name").
    bool takesRepeatedNames() const override { return false; }

    // Each name written is also told to pSizer, which must outlive the writing.
    void setHashSizer(CNginxHashSizer* pSizer) { m_pSizer = pSizer; }
    // The first line of an output that is a named file, which says what its names need.
    static constexpr std::size_t kHashHeadSize = 160;
    // The line that says what the names need, as the top of an output and the hash file say it.
    static std::string hashSizesLine(std::size_t nBucketSize, std::size_t nMaxSize);

private:
    entry::CNameHeads m_heads;
    std::string m_strPlainOpen;
    std::string m_strTwinOpen;
    std::string m_strCertPath;
    bool m_bRedirect = false;
    CNginxHashSizer* m_pSizer = nullptr;
    std::optional<CSiteBuilder> m_template; // the user's template, for entries of one domain
};
