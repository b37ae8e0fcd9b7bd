#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DiskNameSet.h"
#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/NameSet.h"
#include "engine/OutFile.h"
#include "engine/RunOutputs.h"
#include "engine/SiteBuilder.h"

// Lays the domains of a run out in entries other than one per domain: several domains per
// entry, another address in the opening tag, a file per entry, an HTTPS twin with its
// certificate, and a certbot command per entry. Domains come one by one and are streamed: only
// an entry with a certificate, which holds at most kMaxCertNames names, is held until it ends.
// Each name is written once in an entry, as far as the run's names are remembered; a domain that
// named an entry (its file or its certificate) never names another, whatever the list's length.
class CEntryWriter {
public:
    using tagDuplicateFn = std::function<void(std::int64_t, std::int64_t, std::string_view, bool)>;

    // nDomains: how many domains may come (0: not known).
    CEntryWriter(const tagLayout& layout, const tagSiteSettings& site, CRunOutputs& outputs, CNameSet& names,
                 tagGenResult& result, tagDuplicateFn fnDuplicate, std::int64_t nDomains = 0);
    CEntryWriter(const CEntryWriter&) = delete;
    CEntryWriter& operator=(const CEntryWriter&) = delete;

    // The domain of line nLine (strLine as the list has it, for reports).
    void addDomain(std::string_view strDomain, std::int64_t nLine, std::string_view strLine);
    // A failure that ends the run: a file of an entry that could not be written, or that is
    // another output of the run (eFailure WriteFile or Clash, with the path and the reason).
    bool failed() const { return m_eFailure != EGenFailure::None || m_outputs.failed(); }
    EGenFailure failure(std::string& strPath, std::string& strReason) const;
    // Ends the last entry; its file, if it has one, waits for the outputs' commit.
    void finish();

    std::int64_t entries() const { return m_nEntries; }
    // Domains per entry, 0 for all: the pack asked for, lowered to fit a certificate.
    int domainsPerEntry() const { return m_nPerEntry; }

private:
    bool beginEntry(std::string_view strDomain, CNameSet::CRecord record);
    void endEntry();
    void fail(EGenFailure eFailure, const std::string& strPath, const std::string& strReason);
    void writeCertLines(std::string& out) const;
    // Whether the name goes in the current entry, which then holds it.
    bool takeName(std::string_view strName, CNameSet::CRecord record, std::int64_t nLine);

    tagLayout m_layout;
    CRunOutputs& m_outputs;
    CNameSet& m_names;
    tagGenResult& m_result;
    tagDuplicateFn m_fnDuplicate;
    std::string m_strSitePath;   // as typed, for certbot
    std::string m_strPrefixHead; // prefix + ".", or empty
    bool m_bWww = false;
    int m_nPerEntry = 1;
    bool m_bHeld = false;  // entries are held until they end: they have a certificate
    bool m_bNamed = false; // entries are named after their first domain: a file, a certificate
    std::string m_strPlainOpen;
    std::string m_strTwinOpen;

    COutFile* m_pOut = nullptr; // the run's output, or the current entry's file
    std::optional<COutFile> m_splitFile;
    std::int64_t m_nDomains = 0;
    std::optional<CDiskNameSet> m_namedOnDisk; // names that named an entry once the run's names are full

    std::string m_strFirst;
    std::vector<std::string> m_vecEntryNames;     // a held entry's names, to write each once
    std::array<std::uint8_t, 256> m_entrySlots{}; // their places + 1, by hash
    std::string m_strAliases;                     // a held entry's ServerAlias lines
    std::string m_strCertNames;                   // its names as certbot arguments
    std::string m_strLine;
    std::string m_strName;
    int m_nInEntry = 0;
    std::int64_t m_nEntry = 0; // the current entry, from 1
    std::int64_t m_nEntries = 0;

    EGenFailure m_eFailure = EGenFailure::None;
    std::string m_strFailPath;
    std::string m_strFailReason;
};
