#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/GenRequest.h"
#include "engine/OutFile.h"
#include "engine/SiteBuilder.h"

// Names without regard to case, by a 64-bit fingerprint, in a table that grows with them up to a
// number of slots (kMaxSlots unless told), so that memory stays bounded in an entry of a whole
// list: names that come once it is three quarters full are no longer remembered.
class CNameFilter {
public:
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 20;
    static constexpr std::size_t kNoLimit = ~std::size_t{0};

    explicit CNameFilter(std::size_t nMaxSlots = kMaxSlots) : m_nMaxSlots(nMaxSlots) {}

    // True when the name was not in the set; it is then, while there is room.
    bool insert(std::string_view strName);
    void clear();

private:
    void grow();

    std::size_t m_nMaxSlots;
    std::vector<std::uint64_t> m_vecSlots; // 0: empty
    std::size_t m_nUsed = 0;
};

// Lays the domains of a run out in entries other than one per domain: several domains per
// entry, another address in the opening tag, a file per entry, an HTTPS twin with its
// certificate, and a certbot command per entry. Domains come one by one and are streamed: only
// an entry with a certificate, which holds at most kMaxCertNames names, is held until it ends.
class CEntryWriter {
public:
    CEntryWriter(const tagLayout& layout, const tagSiteSettings& site);
    ~CEntryWriter();
    CEntryWriter(const CEntryWriter&) = delete;
    CEntryWriter& operator=(const CEntryWriter&) = delete;

    // Opens the certbot file, and the output unless each entry goes to a file of its own.
    bool open(const std::string& strOutFile, std::string& strPath, std::string& strReason);
    void addDomain(std::string_view strDomain);
    bool failed() const;
    // Ends the last entry and puts every output in place; false with the file and the reason
    // when one could not be written: what was not yet in place is then dropped.
    bool close(std::string& strPath, std::string& strReason);
    // Drops what is not yet in place; files of earlier entries stay.
    void discard();

    std::int64_t entries() const { return m_nEntries; }
    std::int64_t files() const { return m_nFiles; }
    // Domains per entry, 0 for all: the pack asked for, lowered to fit a certificate.
    int domainsPerEntry() const { return m_nPerEntry; }

private:
    bool beginEntry(std::string_view strDomain);
    void endEntry();
    void fail(const std::string& strPath, const std::string& strReason);
    void writeCertLines(std::string& out) const;

    tagLayout m_layout;
    std::string m_strSitePath;   // as typed, for certbot
    std::string m_strPrefixHead; // prefix + ".", or empty
    bool m_bWww = false;
    int m_nPerEntry = 1;
    bool m_bHeld = false;  // entries are held until they end: they have a certificate
    bool m_bNamed = false; // entries are named after their first domain: a file, a certificate
    std::string m_strPlainOpen;
    std::string m_strTwinOpen;

    std::optional<COutFile> m_out;
    std::string m_strOutPath;
    std::optional<COutFile> m_certbot;

    CNameFilter m_entryNames;
    // The names that named an entry: all of them, since a file or certificate named twice would
    // take the first one's place.
    CNameFilter m_firstNames{CNameFilter::kNoLimit};
    std::string m_strFirst;
    std::string m_strAliases;   // a held entry's ServerAlias lines
    std::string m_strCertNames; // its names as certbot arguments
    std::string m_strLine;
    int m_nInEntry = 0;
    std::int64_t m_nEntries = 0;
    std::int64_t m_nFiles = 0;

    bool m_bFailed = false;
    std::string m_strFailPath;
    std::string m_strFailReason;
};
