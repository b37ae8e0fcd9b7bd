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

// The server {} blocks an nginx loaded, read from what `nginx -T` prints: every file of the
// configuration after a "# configuration file PATH:" line, the includes already read, so that each
// block and each name has its file and line. Only the blocks directly in http {} are virtual
// servers; those of upstream, stream and mail are not. A vhost is a block at one address it
// listens on, placed at its listen directive (at its server line when it has none: it listens on
// *:80).
//
// nginx's rule: a connection goes to the blocks that listen on its address and port, an IP address
// before "*"; among them, a request goes to the block with the name as an exact name, else the
// longest leading wildcard ("*.example.com"), else the longest trailing wildcard ("mail.*"), else
// the first regular expression in the configuration's order that matches, else the default server
// (default_server, else the first block there). Names match in any case; where two blocks of an
// address have the same name, the first keeps it and nginx warns "conflicting server name".
class CNginxConfig : public CServerConfig {
public:
    // A saved dump past this size is not what `nginx -T` prints.
    static constexpr std::size_t kMaxDumpFile = std::size_t{1} << 30;
    // A longer word is cut there: no name, address or path a check looks at is that long.
    static constexpr std::size_t kMaxWord = 64 * 1024;
    static constexpr std::string_view kFileHead = "# configuration file ";

    using tagSource = tagServerSource;
    using FnNote = std::function<void(const std::string&)>;

    CNginxConfig();
    ~CNginxConfig() override;
    CNginxConfig(const CNginxConfig&) = delete;
    CNginxConfig& operator=(const CNginxConfig&) = delete;

    // Reads the dump, then finish. False with the whole message when it cannot be had.
    bool load(const tagSource& source, const tagGenRequest& request, const FnNote& fnNote,
              std::string& strError);

    // The text of `nginx -T`, in pieces that may end anywhere.
    void feed(std::string_view piece);
    // The end of the text: the blocks are put together from the first file and the files its
    // includes name. False when it held no file (strReason says so).
    bool endDump(std::string& strReason);
    // After the dump: the blocks of the run's own files (its output, the files --split writes) are
    // left out; a regular expression that cannot be read here is said once by fnNote.
    void finish(const tagGenRequest& request, const FnNote& fnNote);

    std::size_t vhostCount() const override { return m_vecEntries.size(); }
    tagVhostInfo vhost(std::size_t nVhost) const override;
    // Each server_name word as written ("~..." for a regular expression); all but exact names are
    // wild.
    void forEachName(std::size_t nVhost,
                     const std::function<void(const tagVhostName&)>& fnName) const override;
    // An address "*" stands for every address, IPv4 and IPv6; port 0 for port 80, where the entries
    // of a run without a port listen.
    bool takes(const tagAddress& addr, std::string_view strName, tagTaken& taken) const override;
    bool takesFromEntries(const tagAddress& addr, std::string_view strName, tagTaken& taken) const override;
    // For each IP address on the entries' port, when they listen on "*": its default server.
    std::vector<std::size_t> shadowing(const tagAddress& addr) const override;
    bool afterOwn(const tagAddress& addr, std::size_t nVhost) const override;

    // The block that takes what no name takes at the address; bMarked: by default_server, not as
    // the first there. False when no block listens there.
    bool defaultServer(const tagAddress& addr, std::size_t& nVhost, bool& bMarked) const;

private:
    class CReader;
    enum class EName : std::uint8_t { Exact, Dot, Leading, Trailing, Regex };
    enum class EKey : std::uint8_t { Exact, Leading, Trailing };

    struct tagText {
        std::uint64_t nAt = 0;
        std::uint32_t nSize = 0;
    };
    struct tagName {
        tagText text;
        std::uint32_t nFile;
        std::uint32_t nLine;
        EName eKind;
        std::uint32_t nRegex; // Regex: its compiled form
    };
    struct tagBlock {
        std::uint32_t nFile;
        std::uint32_t nLine;
        std::uint32_t nFirstName;
        std::uint32_t nNameCount;
        bool bOwn;
    };
    struct tagEntry {
        std::uint32_t nChain;
        std::uint32_t nBlock;
        std::uint32_t nFile; // its listen directive's
        std::uint32_t nLine;
        bool bDefault;
    };
    struct tagChain {
        tagAddress addr;
        std::uint32_t nFirst = 0; // its entries
        std::uint32_t nEnd = 0;
        std::uint32_t nOwnAt = CIndexTable::kNone; // its entries before the run's own, if loaded
        std::uint32_t nDefault = 0;
    };
    struct tagRef {
        std::uint32_t nEntry;
        std::uint32_t nName;
    };

    std::string_view text(const tagText& text) const { return {m_strNames.data() + text.nAt, text.nSize}; }
    tagText keep(std::string_view str);
    std::string_view fileText(std::uint32_t nFile) const { return text(m_vecFilePaths[nFile]); }
    std::uint32_t findChain(const tagAddress& addr) const;
    std::uint32_t addChain(const tagAddress& addr);
    // What the block being read gets from its directives.
    void startBlock(std::uint32_t nFile, std::uint32_t nLine);
    void addListen(const std::vector<std::string_view>& vecWords, std::uint32_t nFile, std::uint32_t nLine);
    void addNames(const std::vector<std::string_view>& vecWords, std::uint32_t nFile, std::uint32_t nLine);
    void endBlock();
    void addEntry(const tagAddress& addr, bool bDefault, std::uint32_t nFile, std::uint32_t nLine);
    void markOwn(const tagGenRequest& request);
    void index(const FnNote& fnNote);
    std::string_view keyOf(const tagName& name) const;
    void addKey(EKey eKey, std::uint32_t nChain, std::string_view key, const tagRef& ref);
    std::uint32_t findKey(EKey eKey, std::uint32_t nChain, std::string_view key) const;
    // The chains a lookup at the address looks at, the first that has a block there first.
    std::vector<std::uint32_t> chainsOf(const tagAddress& addr) const;
    bool found(std::uint32_t nRef, bool bWild, tagTaken& taken) const;

    std::unique_ptr<CReader> m_pReader;
    std::string m_strNames; // every text kept: names, files' paths
    std::vector<tagText> m_vecFilePaths;
    std::vector<tagName> m_vecNames;
    std::vector<tagBlock> m_vecBlocks;
    std::vector<tagEntry> m_vecEntries;
    std::vector<tagChain> m_vecChains;
    CIndexTable m_chainIndex;
    std::uint32_t m_nBlock = CIndexTable::kNone; // the block being read
    std::size_t m_nBlockEntries = 0;             // where its entries start

    std::vector<tagRef> m_vecRefs;
    CIndexTable m_keyIndex;                     // by chain, kind and key
    std::vector<tagRef> m_vecRegexRefs;         // by chain, in the configuration's order
    std::vector<std::uint32_t> m_vecRegexStart; // a chain's first regex ref; one past the last chain
    struct tagRegexes;
    std::unique_ptr<tagRegexes> m_pRegexes;
};
