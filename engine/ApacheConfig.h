#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/IndexTable.h"
#include "engine/ServerConfig.h"
#include "engine/ServerSource.h"

struct tagGenRequest;

// The vhosts an Apache httpd loaded: each vhost as `apache2ctl -S` lists it (address, name, file,
// line), with the names it takes read from its own block in its file, since Apache lists no alias
// for a vhost alone at its address. The names of every vhost are kept in one arena, so that memory
// goes with the names, not with the length of the listing.
//
// Apache's rule: a request reaches the vhosts at the most specific address that takes it (an IP
// address before "*", a port before any port); among them, the first in the configuration's order
// that has the name as its ServerName or a ServerAlias, or a wild alias that matches it.
class CApacheConfig : public CServerConfig {
public:
    // A saved listing past this size is not what `apache2ctl -S` prints.
    static constexpr std::size_t kMaxDumpFile = std::size_t{1} << 30;

    using tagSource = tagServerSource;
    using FnPiece = std::function<bool(std::string_view)>;
    // Reads a file in pieces, as file::readPieces does.
    using FnReadFile = std::function<bool(const std::string&, const FnPiece&, std::string&)>;
    using FnNote = std::function<void(const std::string&)>;

    // fnReadFile reads the vhosts' files: file::readPieces unless one is given.
    explicit CApacheConfig(FnReadFile fnReadFile = {});
    ~CApacheConfig() override;
    CApacheConfig(const CApacheConfig&) = delete;
    CApacheConfig& operator=(const CApacheConfig&) = delete;

    // Reads the listing, leaves out the vhosts of the run's own files and reads the others' names
    // from their files (finish). False with the whole message when the listing cannot be had.
    bool load(const tagSource& source, const tagGenRequest& request, const FnNote& fnNote,
              std::string& strError);

    // The listing's side, for CServerDump: a vhost at an address, then each alias Apache lists for
    // it, then the listing's end.
    void addVhost(const tagAddress& addr, std::string_view strName, std::string_view strFile,
                  std::int64_t nLine);
    void addListedName(std::string_view strName, bool bWild);
    void endListing();
    // After the listing: the vhosts of the run's own files (its output, the files --split writes)
    // are left out unread; the others' names are read from their files, once each. A file that
    // cannot be read, or has no vhost at a listed line, keeps the names the listing gives, and
    // fnNote says so once.
    void finish(const tagGenRequest& request, const FnNote& fnNote);

    std::size_t vhostCount() const override { return m_vecEntries.size(); }
    tagVhostInfo vhost(std::size_t nVhost) const override;
    void forEachName(std::size_t nVhost,
                     const std::function<void(const tagVhostName&)>& fnName) const override;
    bool takes(const tagAddress& addr, std::string_view strName, tagTaken& taken) const override;
    std::vector<std::size_t> shadowing(const tagAddress& addr) const override;
    bool afterOwn(const tagAddress& addr, std::size_t nVhost) const override;

    // Apache's wildcard match of an alias: '*' any run of characters, '?' any one, in any case.
    static bool wildMatch(std::string_view strPattern, std::string_view strName);

private:
    class CArena;
    class CBlockReader;

    struct tagName {
        std::uint64_t nAt; // where its text is in the arena; the top bit: a wild alias
        std::uint32_t nSize;
        std::uint32_t nLine; // its directive's; 0: the vhost's own line
    };
    // A vhost's definition, the block at a line of a file: one for all the addresses it lists.
    struct tagDef {
        std::uint32_t nFile = 0;
        std::uint32_t nLine = 0;
        std::uint32_t nName = 0;   // the name the listing gives it
        std::uint32_t nListed = 0; // the aliases the listing gives it
        std::uint32_t nListedCount = 0;
        std::uint32_t nRead = 0; // the names read from its block
        std::uint32_t nReadCount = 0;
        std::uint32_t nNameLine = 0; // its last ServerName directive; 0: none read
        bool bOwn = false;           // of the run's own files
        bool bRead = false;          // its block was found
    };
    // A vhost at one address; the vhosts of an address, in the configuration's order, follow
    // one another once the listing is read.
    struct tagEntry {
        std::uint32_t nChain;
        std::uint32_t nDef;
    };
    struct tagChain {
        tagAddress addr;
        std::uint32_t nFirst = 0; // its entries
        std::uint32_t nEnd = 0;
        std::uint32_t nOwnAt = CIndexTable::kNone; // its entries before the run's own, if loaded
    };
    struct tagExact {
        std::uint32_t nEntry;
        std::uint32_t nName;
    };
    // Wild aliases of an address with the same labels after their last wildcard, in order.
    struct tagWild {
        std::uint32_t nEntry;
        std::uint32_t nName;
        std::uint32_t nNext;
    };
    struct tagWildList {
        std::uint32_t nFirst;
        std::uint32_t nLast;
    };

    std::uint32_t addName(std::string_view strName, bool bWild, std::uint32_t nLine);
    std::string_view text(const tagName& name) const;
    std::string_view text(std::uint32_t nName) const { return text(m_vecNames[nName]); }
    bool isWild(std::uint32_t nName) const { return (m_vecNames[nName].nAt >> 63) != 0; }
    std::string_view fileText(std::uint32_t nFile) const;
    std::uint32_t findChain(const tagAddress& addr) const;
    std::uint32_t addChain(const tagAddress& addr);
    std::uint32_t fileOf(std::string_view strFile);
    // The aliases of a vhost, or its wild aliases, in the order Apache looks at them.
    template <class F> void forAliases(const tagDef& def, bool bWild, F&& fnAlias) const;
    tagVhostName nameOf(const tagDef& def, std::uint32_t nName) const;
    void markOwn(const tagGenRequest& request, std::vector<std::string>& vecSplitNames);
    void readFiles(const std::vector<std::string>& vecSplitNames, const FnNote& fnNote);
    // The aliases the listing gives that the block has too: the block's, with their lines, stay.
    void dropListedTwice();
    void index();
    // The names of an address's vhosts go into the tables when a name is first looked up there:
    // a check asks about one address or two, and the others need no tables.
    void indexChain(std::uint32_t nChain) const;
    void addExact(std::uint32_t nEntry, std::uint32_t nName) const;
    void addWild(std::uint32_t nEntry, std::uint32_t nName) const;

    FnReadFile m_fnReadFile;
    std::unique_ptr<CArena> m_pArena;
    std::vector<tagName> m_vecNames;
    std::vector<tagName> m_vecFiles;
    CIndexTable m_fileIndex;
    std::vector<tagDef> m_vecDefs;
    CIndexTable m_defIndex; // by file and line
    std::vector<tagEntry> m_vecEntries;
    std::vector<tagChain> m_vecChains;
    CIndexTable m_chainIndex;
    std::uint32_t m_nAliasDef = CIndexTable::kNone; // the vhost the listed aliases are of
    std::uint32_t m_nLastFile = CIndexTable::kNone;

    mutable std::vector<bool> m_vecChainIndexed;
    mutable std::vector<tagExact> m_vecExact;
    mutable CIndexTable m_exactIndex; // by address and name
    mutable std::vector<tagWild> m_vecWild;
    mutable std::vector<tagWildList> m_vecWildLists;
    mutable CIndexTable m_wildIndex;          // by address and the labels after the last wildcard
    mutable std::vector<bool> m_vecTailSizes; // the lengths those labels have: the others are not looked up
};
