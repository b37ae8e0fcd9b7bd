#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/CertGroups.h"
#include "engine/DiskNameSet.h"
#include "engine/EntryDialect.h"
#include "engine/EntryModel.h"
#include "engine/EntrySink.h"
#include "engine/GenRequest.h"
#include "engine/NameSet.h"
#include "engine/OutFile.h"
#include "engine/RunOutputs.h"

// The layouts, for every server: one entry per domain (the default), several domains per entry,
// a file per entry, an HTTPS twin with its certificate, and a certbot command per entry; the
// server's dialect writes the text. Domains come one by one and are streamed: only an entry with
// a certificate, which holds at most kMaxCertNames names, is held until it ends. Each name is
// written once in an entry, as far as the run's names are remembered; a domain that named an
// entry (its file or its certificate) never names another, whatever the list's length.
class CEntryWriter : public CEntrySink {
public:
    using tagDuplicateFn = std::function<void(std::int64_t, std::int64_t, std::string_view, bool)>;
    // Where an entry's names stand: the file --split makes for it ("" for the run's output), the
    // line of its opening there, and the names with the lines of the list that brought them.
    struct tagPlaced {
        std::string_view strFirst; // the entry's first domain
        std::string_view strGroup; // with certificates by registered domain: the entry's
        std::string_view strSplitFile;
        std::int64_t nLine = 0;
        const std::string* pNames = nullptr;
        const std::int64_t* pListLines = nullptr;
        std::size_t nNames = 0;
    };
    using FnPlaced = std::function<void(const tagPlaced&)>;

    // strAsciiPrefix: the prefix checked and in ASCII form. nDomains: how many domains may come
    // (0: not known). fnDuplicate(nLine, nFirstLine, strText, bCut) is told each domain seen again.
    CEntryWriter(const tagLayout& layout, const CEntryDialect& dialect, bool bWww,
                 std::string_view strAsciiPrefix, std::string_view strSitePath, CRunOutputs& outputs,
                 tagGenResult& result, tagDuplicateFn fnDuplicate, std::int64_t nDomains = 0);
    CEntryWriter(const CEntryWriter&) = delete;
    CEntryWriter& operator=(const CEntryWriter&) = delete;

    void addDomain(std::string_view strDomain, std::int64_t nLine, std::string_view strLine) override;
    void finish() override;
    bool failed() const override { return m_eFailure != EGenFailure::None || m_outputs.failed(); }
    EGenFailure failure(std::string& strPath, std::string& strReason) const override;
    std::int64_t entries() const override { return m_nEntries; }
    bool namesFull() const override { return m_names.full(); }

    // Domains per entry, 0 for all: the pack asked for, lowered to fit a certificate.
    int domainsPerEntry() const { return m_nPerEntry; }
    // fnPlaced is told where each name is written, as it is, for a check of the names' routes:
    // the lines of the output are then counted. Before the first domain.
    void setPlacedFn(FnPlaced fnPlaced);

private:
    bool beginEntry(std::string_view strDomain, std::int64_t nLine, CNameSet::CRecord record);
    void endEntry();
    // The entry of the domain's registered domain becomes the current one: begun when the domain
    // begins it. Another that was current waits aside.
    void takeUpGroup(std::string strGroup);
    void endWaitingEntries();
    void writeCertbotLine();
    void fail(EGenFailure eFailure, const std::string& strPath, const std::string& strReason);
    // Whether the name goes in the current entry, which then holds it.
    bool takeName(std::string_view strName, CNameSet::CRecord record, std::int64_t nLine);
    // The lines of what the output's buffer holds from nFrom on, counted when names are placed.
    void countLines(std::size_t nFrom);
    void placed(std::int64_t nLine, const std::string* pNames, const std::int64_t* pListLines,
                std::size_t nNames);

    tagLayout m_layout;
    const CEntryDialect& m_dialect;
    CRunOutputs& m_outputs;
    tagGenResult& m_result;
    tagDuplicateFn m_fnDuplicate;
    entry::CNameHeads m_heads;
    std::string m_strSitePath; // as typed, for certbot
    int m_nPerEntry = 1;
    bool m_bHeld = false;   // entries are held until they end: they have a certificate
    bool m_bNamed = false;  // entries are named after their first domain: a file, a certificate
    bool m_bSingle = false; // each domain is an entry of its own, streamed
    std::int64_t m_nDomains = 0;
    bool m_bWriteRepeats = true; // a domain listed again is written again

    // The names of the run. A run of single entries that only reports the names it sees again
    // looks them up a few lines late, through a queue, so that memory never stalls it.
    CNameSet m_names;
    std::optional<CNameQueue> m_queue;
    std::optional<CDiskNameSet> m_namedOnDisk; // names that named an entry once the run's names are full

    COutFile* m_pOut = nullptr; // the run's output, or the current entry's file
    std::optional<COutFile> m_splitFile;

    // The entry being written. A held one keeps its names until it ends; with certificates by
    // registered domain, the entries of other registered domains wait aside, the longest unused
    // ended first when too many wait, so that a domain joins its own even when the list is not
    // in their order.
    struct tagEntry {
        std::string strFirst;
        std::string strGroup;                  // the registered domain of its certificate
        std::int64_t nFirstLine = 0;           // its first domain's line of the list
        std::vector<std::string> vecNames;     // a held entry's names, to write each once
        std::vector<std::int64_t> vecLines;    // and their lines of the list, when they are placed
        std::array<std::uint8_t, 256> slots{}; // their places + 1, by hash
        CByteBuffer held;                      // a held entry's lines of names
        std::string strCertNames;              // its names as certbot arguments
        std::int64_t nDomains = 0;
        std::int64_t nOrder = 0; // entries that wait aside end in the order they began
        std::size_t nBytes = 0;  // what it holds while it waits aside, about
    };
    tagEntry m_entry;
    bool m_bByGroup = false;       // entries hold the names of one registered domain
    std::list<tagEntry> m_waiting; // most recently used first
    std::unordered_map<std::string, std::list<tagEntry>::iterator> m_waitingByGroup;
    std::size_t m_nWaitingBytes = 0;
    std::int64_t m_nBegun = 0;
    std::optional<certs::CWavePlan> m_waves;      // --certbot: which certificates the first wave takes
    std::optional<certs::CCertFiles> m_certFiles; // --https: which certificates' files are there
    std::array<std::string, 3> m_names3;          // a domain's names not yet in its entry
    std::int64_t m_nEntry = 0;                    // the current entry, from 1
    std::int64_t m_nEntries = 0;

    FnPlaced m_fnPlaced;
    std::int64_t m_nOutLines = 0;  // lines in the current output so far, when names are placed
    std::int64_t m_nEntryLine = 0; // the current entry's opening line

    EGenFailure m_eFailure = EGenFailure::None;
    std::string m_strFailPath;
    std::string m_strFailReason;
};
