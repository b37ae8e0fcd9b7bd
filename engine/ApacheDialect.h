#pragma once

#include "engine/EntryDialect.h"
#include "engine/EntryModel.h"
#include "engine/GenRequest.h"
#include "engine/SiteBuilder.h"

// Entries as Apache httpd reads them: name-based <VirtualHost> blocks, a ServerAlias line of names
// for each domain, DocumentRoot and the certificate's files written so that Apache reads back the
// paths typed, mod_ssl for the HTTPS twin and mod_rewrite for the redirect.
class CApacheDialect : public CEntryDialect {
public:
    // site.strPrefix: checked and in ASCII form.
    CApacheDialect(const tagSiteSettings& site, const tagLayout& layout);

    std::int64_t templateFailLine() const override { return m_single.templateFailLine(); }
    void appendSingleEntry(std::string_view strDomain, CByteBuffer& out) const override {
        m_single.appendEntry(strDomain, out);
    }
    void appendOpening(bool bTwin, CByteBuffer& out) const override;
    void appendNames(const std::string* pNames, std::size_t nNames, CByteBuffer& out) const override;
    void appendClosing(bool bTwin, bool bRedirect, std::string_view strCertName,
                       CByteBuffer& out) const override;
    bool takesRepeatedNames() const override { return true; }

private:
    CSiteBuilder m_single;
    std::string m_strPlainOpen;
    std::string m_strTwinOpen;
    std::string m_strCertPath;
    bool m_bRedirect = false;
};
