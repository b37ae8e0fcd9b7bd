#include "engine/ApacheConfig.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "core/FileUtil.h"
#include "core/TextUtil.h"
#include "engine/ConfScanner.h"
#include "engine/GenRequest.h"
#include "engine/ServerDump.h"
#include "engine/ServerSource.h"

namespace {

constexpr std::uint64_t kWildBit = std::uint64_t{1} << 63;
constexpr std::uint32_t kNone = CIndexTable::kNone;

std::uint32_t clampLine(std::int64_t nLine) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(nLine, 0, UINT32_MAX - 1));
}

bool startsWithNoCase(std::string_view str, std::string_view head) {
    return str.size() >= head.size() && text::sameNoCase(str.substr(0, head.size()), head);
}

// The whole labels after the last wildcard of a pattern: a name it matches ends in them.
std::string_view wildTail(std::string_view strPattern) {
    std::string_view tail = strPattern.substr(strPattern.find_last_of("*?") + 1);
    const auto nDot = tail.find('.');
    return nDot == std::string_view::npos ? std::string_view() : tail.substr(nDot + 1);
}

// The name of a file in the directory, when it is one there.
std::string_view nameIn(std::string_view strPath, std::string_view strDir) {
    if (strDir.empty() || !strPath.starts_with(strDir))
        return {};
    std::string_view name = strPath.substr(strDir.size());
    if (strDir.back() != '/' && strDir.back() != '\\') {
        if (name.empty() || (name.front() != '/' && name.front() != '\\'))
            return {};
        name.remove_prefix(1);
    }
    return name.find_first_of("/\\") == std::string_view::npos ? name : std::string_view();
}

} // namespace

// Texts one after another in blocks that never move, so that a view of one stays good.
class CApacheConfig::CArena {
public:
    static constexpr std::size_t kFirstBlock = std::size_t{4} << 10;
    static constexpr std::size_t kBlock = std::size_t{1} << 20;

    std::uint64_t add(std::string_view str) {
        if (m_vecBlocks.empty() || str.size() > m_vecBlocks.back().nSize - m_nUsed) {
            // Small at first, for the few names of a small server.
            const std::size_t nGrown =
                m_vecBlocks.empty() ? kFirstBlock : std::min(kBlock, m_vecBlocks.back().nSize * 2);
            const std::size_t nSize = std::max(nGrown, str.size());
            m_vecBlocks.push_back({std::make_unique_for_overwrite<char[]>(nSize), nSize});
            m_nUsed = 0;
        }
        if (!str.empty())
            std::memcpy(m_vecBlocks.back().pData.get() + m_nUsed, str.data(), str.size());
        const std::uint64_t nAt = (std::uint64_t{m_vecBlocks.size() - 1} << 32) | m_nUsed;
        m_nUsed += str.size();
        return nAt;
    }
    std::string_view at(std::uint64_t nAt, std::size_t nSize) const {
        return {m_vecBlocks[nAt >> 32].pData.get() + (nAt & 0xFFFFFFFFU), nSize};
    }
    // Where the next text goes, to take back all added after it.
    std::pair<std::size_t, std::size_t> mark() const { return {m_vecBlocks.size(), m_nUsed}; }
    void rollBack(std::pair<std::size_t, std::size_t> to) {
        m_vecBlocks.resize(to.first);
        m_nUsed = to.second;
    }

private:
    struct tagBlock {
        std::unique_ptr<char[]> pData;
        std::size_t nSize;
    };
    std::vector<tagBlock> m_vecBlocks;
    std::size_t m_nUsed = 0;
};

// The blocks of the vhosts of one file, found by their lines as the file goes by: the names of
// their ServerName and ServerAlias directives. A vhost in a file --split writes is the run's own
// when its first alias names the file.
class CApacheConfig::CBlockReader : public CConfScanner::CSink {
public:
    CBlockReader(CApacheConfig& config, const std::vector<std::uint32_t>& vecDefs,
                 std::string_view strSplitName)
        : m_config(config), m_vecDefs(vecDefs), m_strSplitName(strSplitName) {}

    // Every vhost wanted is behind: the rest of the file need not be read.
    bool done() const { return m_nNext == m_vecDefs.size() && m_nDef == kNone && !m_bSkipBlock; }
    // The end of the file; the line of the first vhost not found, 0 when all were.
    std::uint32_t end() {
        closeBlock();
        if (m_nNext < m_vecDefs.size() && m_nMissingLine == 0)
            m_nMissingLine = m_config.m_vecDefs[m_vecDefs[m_nNext]].nLine;
        return m_nMissingLine;
    }

    bool onDirective(std::string_view strName, std::int64_t nLine) override {
        if (m_nDef == kNone && !m_bSkipBlock) {
            m_bOpening = text::sameNoCase(strName, "<VirtualHost");
            m_nOpenLine = nLine;
            return false;
        }
        if (startsWithNoCase(strName, "</VirtualHost")) {
            closeBlock();
            return false;
        }
        if (m_bSkipBlock)
            return false;
        if (text::sameNoCase(strName, "ServerName")) {
            m_config.m_vecDefs[m_nDef].nNameLine = clampLine(nLine);
            return false;
        }
        m_nAliasLine = clampLine(nLine);
        return text::sameNoCase(strName, "ServerAlias");
    }

    void onWord(std::string_view strWord) override {
        if (strWord.empty() || m_nDef == kNone)
            return;
        if (m_bFirstAlias && m_bPeek && strWord == m_strSplitName) {
            m_config.m_vecNames.resize(m_config.m_vecDefs[m_nDef].nRead);
            m_config.m_pArena->rollBack(m_arenaMark);
            m_config.m_vecDefs[m_nDef].bOwn = true;
            m_nDef = kNone;
            m_bSkipBlock = true;
            return;
        }
        m_bFirstAlias = false;
        m_config.addName(strWord, strWord.find_first_of("*?") != std::string_view::npos, m_nAliasLine);
    }

    void onDirectiveEnd(std::int64_t nLastLine) override {
        if (!m_bOpening)
            return;
        m_bOpening = false;
        // Apache gives a vhost the line its opening tag ends on; a tag on one line has one.
        while (m_nNext < m_vecDefs.size() && m_config.m_vecDefs[m_vecDefs[m_nNext]].nLine < m_nOpenLine) {
            if (m_nMissingLine == 0)
                m_nMissingLine = m_config.m_vecDefs[m_vecDefs[m_nNext]].nLine;
            ++m_nNext;
        }
        if (m_nNext == m_vecDefs.size() || m_config.m_vecDefs[m_vecDefs[m_nNext]].nLine > nLastLine)
            return;
        m_nDef = m_vecDefs[m_nNext++];
        tagDef& def = m_config.m_vecDefs[m_nDef];
        def.nRead = static_cast<std::uint32_t>(m_config.m_vecNames.size());
        def.nNameLine = 0;
        m_arenaMark = m_config.m_pArena->mark();
        m_bFirstAlias = true;
        m_bPeek = !m_strSplitName.empty() && def.nListedCount == 0;
    }

private:
    void closeBlock() {
        if (m_nDef != kNone) {
            tagDef& def = m_config.m_vecDefs[m_nDef];
            def.nReadCount = static_cast<std::uint32_t>(m_config.m_vecNames.size()) - def.nRead;
            def.bRead = true;
        }
        m_nDef = kNone;
        m_bSkipBlock = false;
    }

    CApacheConfig& m_config;
    const std::vector<std::uint32_t>& m_vecDefs; // by line
    std::string_view m_strSplitName;
    std::size_t m_nNext = 0;
    std::uint32_t m_nDef = kNone; // the vhost whose block is being read
    bool m_bSkipBlock = false;    // a block of the run's own, passed over
    bool m_bOpening = false;
    std::int64_t m_nOpenLine = 0;
    std::uint32_t m_nAliasLine = 0;
    bool m_bFirstAlias = false;
    bool m_bPeek = false;
    std::pair<std::size_t, std::size_t> m_arenaMark;
    std::uint32_t m_nMissingLine = 0;
};

CApacheConfig::CApacheConfig(FnReadFile fnReadFile)
    : m_fnReadFile(std::move(fnReadFile)), m_pArena(std::make_unique<CArena>()) {
    if (!m_fnReadFile)
        m_fnReadFile = [](const std::string& strPath, const FnPiece& fnPiece, std::string& strReason) {
            return file::readPieces(strPath, fnPiece, strReason);
        };
}

CApacheConfig::~CApacheConfig() = default;

bool CApacheConfig::load(const tagSource& source, const tagGenRequest& request, const FnNote& fnNote,
                         std::string& strError) {
    CServerDump dump(*this);
    std::string strSource, strReason;
    if (!readServerSource(
            source, kMaxDumpFile, "a listing of vhosts",
            [&dump](std::string_view piece) { dump.feed(piece); }, strSource, strError))
        return false;
    if (!dump.finish(strReason)) {
        strError = "cannot read " + strSource + ": " + strReason;
        return false;
    }
    finish(request, fnNote);
    return true;
}

// Those read from its block first: where both have a name, the block tells its line.
template <class F> void CApacheConfig::forAliases(const tagDef& def, bool bWild, F&& fnAlias) const {
    for (std::uint32_t n = def.nRead; n < def.nRead + def.nReadCount; ++n)
        if (isWild(n) == bWild)
            fnAlias(n);
    for (std::uint32_t n = def.nListed; n < def.nListed + def.nListedCount; ++n)
        if (isWild(n) == bWild)
            fnAlias(n);
}

std::uint32_t CApacheConfig::addName(std::string_view strName, bool bWild, std::uint32_t nLine) {
    // Four thousand million names do not fit in memory: this only keeps the indices sound.
    if (m_vecNames.size() >= kNone - 1)
        return kNone;
    m_vecNames.push_back(
        {m_pArena->add(strName) | (bWild ? kWildBit : 0), static_cast<std::uint32_t>(strName.size()), nLine});
    return static_cast<std::uint32_t>(m_vecNames.size() - 1);
}

std::string_view CApacheConfig::text(const tagName& name) const {
    return m_pArena->at(name.nAt & ~kWildBit, name.nSize);
}

std::string_view CApacheConfig::fileText(std::uint32_t nFile) const {
    return text(m_vecFiles[nFile]);
}

std::uint32_t CApacheConfig::findChain(const tagAddress& addr) const {
    return m_chainIndex.find(CIndexTable::hashNoCase(addr.strHost, addr.nPort),
                             [&](std::uint32_t nChain) { return m_vecChains[nChain].addr.sameAs(addr); });
}

std::uint32_t CApacheConfig::addChain(const tagAddress& addr) {
    if (const std::uint32_t nFound = findChain(addr); nFound != kNone)
        return nFound;
    m_chainIndex.insert(CIndexTable::hashNoCase(addr.strHost, addr.nPort),
                        static_cast<std::uint32_t>(m_vecChains.size()));
    m_vecChains.push_back({addr});
    return static_cast<std::uint32_t>(m_vecChains.size() - 1);
}

std::uint32_t CApacheConfig::fileOf(std::string_view strFile) {
    // The vhosts of a file mostly come one after another.
    if (m_nLastFile != kNone && fileText(m_nLastFile) == strFile)
        return m_nLastFile;
    const std::uint64_t nHash = CIndexTable::hashNoCase(strFile);
    m_nLastFile = m_fileIndex.find(nHash, [&](std::uint32_t nFile) { return fileText(nFile) == strFile; });
    if (m_nLastFile == kNone) {
        m_nLastFile = static_cast<std::uint32_t>(m_vecFiles.size());
        m_fileIndex.insert(nHash, m_nLastFile);
        m_vecFiles.push_back({m_pArena->add(strFile), static_cast<std::uint32_t>(strFile.size()), 0});
    }
    return m_nLastFile;
}

void CApacheConfig::addVhost(const tagAddress& addr, std::string_view strName, std::string_view strFile,
                             std::int64_t nLine) {
    m_nAliasDef = kNone;
    if (m_vecEntries.size() >= kNone - 1 || m_vecNames.size() >= kNone - 1)
        return;
    const std::uint32_t nChain = addChain(addr);
    const std::uint32_t nFile = fileOf(strFile);
    const std::uint32_t nDefLine = clampLine(nLine);
    const std::uint64_t nHash = CIndexTable::hashNoCase({}, (std::uint64_t{nFile} << 32) | nDefLine);
    std::uint32_t nDef = m_defIndex.find(nHash, [&](std::uint32_t n) {
        return m_vecDefs[n].nFile == nFile && m_vecDefs[n].nLine == nDefLine;
    });
    if (nDef == kNone) {
        nDef = static_cast<std::uint32_t>(m_vecDefs.size());
        m_defIndex.insert(nHash, nDef);
        tagDef def;
        def.nFile = nFile;
        def.nLine = nDefLine;
        // Vhosts without a ServerName all have the server's: it is kept once.
        const bool bSameName =
            !m_vecDefs.empty() && m_vecDefs.back().nName != kNone && text(m_vecDefs.back().nName) == strName;
        def.nName = bSameName ? m_vecDefs.back().nName : addName(strName, false, 0);
        m_vecDefs.push_back(def);
    }
    m_vecEntries.push_back({nChain, nDef});
    // A vhost at several shared addresses is listed with its aliases at each: they are taken once.
    if (m_vecDefs[nDef].nListedCount == 0)
        m_nAliasDef = nDef;
}

void CApacheConfig::addListedName(std::string_view strName, bool bWild) {
    if (m_nAliasDef == kNone || strName.empty())
        return;
    tagDef& def = m_vecDefs[m_nAliasDef];
    if (def.nListedCount == 0)
        def.nListed = static_cast<std::uint32_t>(m_vecNames.size());
    if (addName(strName, bWild, 0) != kNone)
        ++def.nListedCount;
}

void CApacheConfig::endListing() {
    m_nAliasDef = kNone;
    m_nLastFile = kNone;
    // Only the listing looks vhosts up by their place.
    m_defIndex.clear();
    m_fileIndex.clear();
}

void CApacheConfig::finish(const tagGenRequest& request, const FnNote& fnNote) {
    endListing();
    std::vector<std::string> vecSplitNames;
    markOwn(request, vecSplitNames);
    readFiles(vecSplitNames, fnNote);
    dropListedTwice();
    index();
}

void CApacheConfig::dropListedTwice() {
    CIndexTable readNames;
    for (tagDef& def : m_vecDefs) {
        if (!def.bRead || def.nListedCount == 0)
            continue;
        readNames.clear();
        const auto fnFind = [&](std::uint32_t nName) {
            const std::uint64_t nHash = CIndexTable::hashNoCase(text(nName));
            return std::pair(nHash,
                             readNames.find(nHash, [&](std::uint32_t n) { return text(n) == text(nName); }));
        };
        for (std::uint32_t n = def.nRead; n < def.nRead + def.nReadCount; ++n)
            if (const auto [nHash, nFound] = fnFind(n); nFound == kNone)
                readNames.insert(nHash, n);
        std::uint32_t nKept = 0;
        for (std::uint32_t n = def.nListed; n < def.nListed + def.nListedCount; ++n)
            if (fnFind(n).second == kNone)
                m_vecNames[def.nListed + nKept++] = m_vecNames[n];
        def.nListedCount = nKept;
    }
}

void CApacheConfig::markOwn(const tagGenRequest& request, std::vector<std::string>& vecSplitNames) {
    vecSplitNames.assign(m_vecFiles.size(), std::string());
    const std::string& strSplitDir = request.layout.strSplitDir;
    const std::string strOutput = strSplitDir.empty() && request.strOutFile != kStdOutPath
                                      ? file::canonicalPath(request.strOutFile)
                                      : std::string();
    const std::string strSplit = strSplitDir.empty() ? std::string() : file::canonicalPath(strSplitDir);
    if (strOutput.empty() && strSplit.empty())
        return;
    std::vector<bool> vecOwnFile(m_vecFiles.size(), false);
    for (std::uint32_t nFile = 0; nFile < m_vecFiles.size(); ++nFile) {
        const std::string strPath = file::canonicalPath(std::string(fileText(nFile)));
        if (!strOutput.empty()) {
            vecOwnFile[nFile] = strPath == strOutput;
        } else if (const std::string_view name = nameIn(strPath, strSplit);
                   name.size() > 5 && name.ends_with(".conf")) {
            vecSplitNames[nFile] = name.substr(0, name.size() - 5);
        }
    }
    // A vhost --split wrote is named after its first alias; where Apache lists that, the file
    // need not be read to tell.
    for (tagDef& def : m_vecDefs) {
        const std::string& strSplitName = vecSplitNames[def.nFile];
        def.bOwn = vecOwnFile[def.nFile];
        if (def.bOwn || strSplitName.empty() || def.nListedCount == 0)
            continue;
        bool bExactSeen = false, bWildSeen = false;
        for (std::uint32_t i = def.nListed; i < def.nListed + def.nListedCount; ++i) {
            bool& bSeen = isWild(i) ? bWildSeen : bExactSeen;
            if (!bSeen && text(i) == strSplitName)
                def.bOwn = true;
            bSeen = true;
        }
    }
}

void CApacheConfig::readFiles(const std::vector<std::string>& vecSplitNames, const FnNote& fnNote) {
    std::vector<std::uint32_t> vecOrder(m_vecDefs.size());
    std::iota(vecOrder.begin(), vecOrder.end(), 0U);
    std::sort(vecOrder.begin(), vecOrder.end(), [this](std::uint32_t a, std::uint32_t b) {
        return std::pair(m_vecDefs[a].nFile, m_vecDefs[a].nLine) <
               std::pair(m_vecDefs[b].nFile, m_vecDefs[b].nLine);
    });
    std::vector<std::uint32_t> vecDefs;
    for (std::size_t nAt = 0; nAt < vecOrder.size();) {
        const std::uint32_t nFile = m_vecDefs[vecOrder[nAt]].nFile;
        vecDefs.clear();
        for (; nAt < vecOrder.size() && m_vecDefs[vecOrder[nAt]].nFile == nFile; ++nAt)
            if (!m_vecDefs[vecOrder[nAt]].bOwn)
                vecDefs.push_back(vecOrder[nAt]);
        if (vecDefs.empty())
            continue;
        const std::string strPath(fileText(nFile));
        CBlockReader reader(*this, vecDefs, vecSplitNames[nFile]);
        CConfScanner scanner(reader);
        std::string strReason;
        const bool bRead = m_fnReadFile(
            strPath,
            [&](std::string_view piece) {
                scanner.feed(piece);
                return !reader.done();
            },
            strReason);
        if (bRead)
            scanner.finish();
        const std::uint32_t nMissing = reader.end();
        if (!fnNote)
            continue;
        if (!bRead)
            fnNote("cannot read '" + strPath + "': " + strReason +
                   "; its vhosts are checked with the names apache2ctl -S lists");
        else if (nMissing != 0)
            fnNote("'" + strPath + "' has no <VirtualHost> at line " + std::to_string(nMissing) +
                   ", where apache2ctl -S lists one: that vhost is checked with the names it lists");
    }
}

void CApacheConfig::index() {
    // Where the run's own vhosts stand among the others of their address: its entries go there.
    std::vector<std::uint32_t> vecKept(m_vecChains.size(), 0);
    for (tagChain& chain : m_vecChains)
        chain.nOwnAt = CIndexTable::kNone;
    for (const tagEntry& entry : m_vecEntries) {
        tagChain& chain = m_vecChains[entry.nChain];
        if (!(m_vecDefs[entry.nDef].bOwn))
            ++vecKept[entry.nChain];
        else if (chain.nOwnAt == CIndexTable::kNone)
            chain.nOwnAt = vecKept[entry.nChain];
    }
    std::erase_if(m_vecEntries, [this](const tagEntry& entry) { return m_vecDefs[entry.nDef].bOwn; });
    std::stable_sort(m_vecEntries.begin(), m_vecEntries.end(),
                     [](const tagEntry& a, const tagEntry& b) { return a.nChain < b.nChain; });
    for (tagChain& chain : m_vecChains)
        chain.nFirst = chain.nEnd = 0;
    for (std::uint32_t i = 0; i < m_vecEntries.size(); ++i) {
        tagChain& chain = m_vecChains[m_vecEntries[i].nChain];
        if (chain.nEnd == 0)
            chain.nFirst = i;
        chain.nEnd = i + 1;
    }
    m_vecExact.clear();
    m_exactIndex.clear();
    m_vecWild.clear();
    m_vecWildLists.clear();
    m_wildIndex.clear();
    m_vecTailSizes.clear();
    m_vecChainIndexed.assign(m_vecChains.size(), false);
}

void CApacheConfig::indexChain(std::uint32_t nChain) const {
    m_vecChainIndexed[nChain] = true;
    const tagChain& chain = m_vecChains[nChain];
    std::size_t nNames = 0;
    for (std::uint32_t i = chain.nFirst; i < chain.nEnd; ++i) {
        const tagDef& def = m_vecDefs[m_vecEntries[i].nDef];
        nNames += 1 + def.nReadCount + def.nListedCount;
    }
    m_exactIndex.reserve(m_vecExact.size() + nNames);
    m_vecExact.reserve(m_vecExact.size() + nNames);
    // In Apache's order: a vhost's ServerName and aliases, then its wild aliases.
    for (std::uint32_t i = chain.nFirst; i < chain.nEnd; ++i) {
        const tagDef& def = m_vecDefs[m_vecEntries[i].nDef];
        addExact(i, def.nName);
        forAliases(def, false, [&](std::uint32_t n) { addExact(i, n); });
        forAliases(def, true, [&](std::uint32_t n) { addWild(i, n); });
    }
}

void CApacheConfig::addExact(std::uint32_t nEntry, std::uint32_t nName) const {
    if (nName == kNone)
        return;
    const std::uint32_t nChain = m_vecEntries[nEntry].nChain;
    const std::string_view name = text(nName);
    const std::uint64_t nHash = CIndexTable::hashNoCase(name, nChain);
    const auto fnSame = [&](std::uint32_t nExact) {
        const tagExact& exact = m_vecExact[nExact];
        return m_vecEntries[exact.nEntry].nChain == nChain && text::sameNoCase(text(exact.nName), name);
    };
    // An earlier vhost at the address has it: that one takes it.
    if (m_exactIndex.find(nHash, fnSame) != kNone)
        return;
    m_exactIndex.insert(nHash, static_cast<std::uint32_t>(m_vecExact.size()));
    m_vecExact.push_back({nEntry, nName});
}

void CApacheConfig::addWild(std::uint32_t nEntry, std::uint32_t nName) const {
    const std::uint32_t nChain = m_vecEntries[nEntry].nChain;
    const std::string_view tail = wildTail(text(nName));
    const std::uint64_t nHash = CIndexTable::hashNoCase(tail, nChain);
    const std::uint32_t nList = m_wildIndex.find(nHash, [&](std::uint32_t n) {
        const tagWild& first = m_vecWild[m_vecWildLists[n].nFirst];
        return m_vecEntries[first.nEntry].nChain == nChain &&
               text::sameNoCase(wildTail(text(first.nName)), tail);
    });
    const auto nWild = static_cast<std::uint32_t>(m_vecWild.size());
    m_vecWild.push_back({nEntry, nName, kNone});
    if (nList != kNone) {
        m_vecWild[m_vecWildLists[nList].nLast].nNext = nWild;
        m_vecWildLists[nList].nLast = nWild;
        return;
    }
    m_wildIndex.insert(nHash, static_cast<std::uint32_t>(m_vecWildLists.size()));
    m_vecWildLists.push_back({nWild, nWild});
    if (m_vecTailSizes.size() <= tail.size())
        m_vecTailSizes.resize(tail.size() + 1);
    m_vecTailSizes[tail.size()] = true;
}

tagVhostName CApacheConfig::nameOf(const tagDef& def, std::uint32_t nName) const {
    const tagName& name = m_vecNames[nName];
    std::uint32_t nLine = name.nLine;
    if (nLine == 0)
        nLine = nName == def.nName && def.nNameLine != 0 ? def.nNameLine : def.nLine;
    return {text(name), isWild(nName), fileText(def.nFile), nLine};
}

tagVhostInfo CApacheConfig::vhost(std::size_t nVhost) const {
    const tagEntry& entry = m_vecEntries[nVhost];
    const tagDef& def = m_vecDefs[entry.nDef];
    return {m_vecChains[entry.nChain].addr, def.nName == kNone ? std::string_view() : text(def.nName),
            fileText(def.nFile), def.nLine};
}

void CApacheConfig::forEachName(std::size_t nVhost,
                                const std::function<void(const tagVhostName&)>& fnName) const {
    const tagDef& def = m_vecDefs[m_vecEntries[nVhost].nDef];
    if (def.nName != kNone)
        fnName(nameOf(def, def.nName));
    for (const bool bWild : {false, true})
        forAliases(def, bWild, [&](std::uint32_t n) { fnName(nameOf(def, n)); });
}

bool CApacheConfig::takes(const tagAddress& addr, std::string_view strName, tagTaken& taken) const {
    const std::uint32_t nChain = findChain(addr);
    if (nChain == kNone)
        return false;
    if (!m_vecChainIndexed[nChain])
        indexChain(nChain);
    std::uint32_t nBestEntry = kNone, nBestName = kNone, nBestWild = kNone;
    const std::uint32_t nExact =
        m_exactIndex.find(CIndexTable::hashNoCase(strName, nChain), [&](std::uint32_t n) {
            return m_vecEntries[m_vecExact[n].nEntry].nChain == nChain &&
                   text::sameNoCase(text(m_vecExact[n].nName), strName);
        });
    if (nExact != kNone) {
        nBestEntry = m_vecExact[nExact].nEntry;
        nBestName = m_vecExact[nExact].nName;
    }
    // The lists of wild aliases that may take the name: those of each run of whole labels at its
    // end, and of none. A wild alias of an earlier vhost, or earlier in the same one, goes first.
    for (std::size_t nFrom = 0; !m_vecWild.empty();) {
        const std::string_view tail = nFrom <= strName.size() ? strName.substr(nFrom) : std::string_view();
        if (tail.size() < m_vecTailSizes.size() && m_vecTailSizes[tail.size()]) {
            const std::uint32_t nList =
                m_wildIndex.find(CIndexTable::hashNoCase(tail, nChain), [&](std::uint32_t n) {
                    const tagWild& first = m_vecWild[m_vecWildLists[n].nFirst];
                    return m_vecEntries[first.nEntry].nChain == nChain &&
                           text::sameNoCase(wildTail(text(first.nName)), tail);
                });
            for (std::uint32_t n = nList == kNone ? kNone : m_vecWildLists[nList].nFirst; n != kNone;
                 n = m_vecWild[n].nNext) {
                const tagWild& wild = m_vecWild[n];
                if (nBestWild != kNone ? n >= nBestWild : wild.nEntry >= nBestEntry)
                    break;
                if (wildMatch(text(wild.nName), strName)) {
                    nBestWild = n;
                    nBestEntry = wild.nEntry;
                    nBestName = wild.nName;
                    break;
                }
            }
        }
        if (tail.empty())
            break;
        const auto nDot = strName.find('.', nFrom);
        nFrom = nDot == std::string_view::npos ? strName.size() + 1 : nDot + 1;
    }
    if (nBestEntry == kNone)
        return false;
    taken.nVhost = nBestEntry;
    taken.name = nameOf(m_vecDefs[m_vecEntries[nBestEntry].nDef], nBestName);
    return true;
}

std::vector<std::size_t> CApacheConfig::shadowing(const tagAddress& listen) const {
    std::vector<std::size_t> vecFound;
    for (const tagChain& chain : m_vecChains) {
        if (chain.nEnd == chain.nFirst)
            continue;
        const tagAddress& addr = chain.addr;
        // Apache looks for the most specific address first: an IP address before "*", a port
        // before any port.
        const bool bHostCovers = listen.anyHost() || text::sameNoCase(listen.strHost, addr.strHost);
        const bool bPortCovers = listen.nPort == 0 || listen.nPort == addr.nPort || addr.nPort == 0;
        const bool bMoreSpecific =
            (listen.anyHost() && !addr.anyHost()) || (listen.nPort == 0 && addr.nPort != 0);
        if (bHostCovers && bPortCovers && bMoreSpecific)
            vecFound.push_back(chain.nFirst);
    }
    return vecFound;
}

bool CApacheConfig::wildMatch(std::string_view strPattern, std::string_view strName) {
    const auto lower = [](char ch) {
        return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    };
    std::size_t p = 0, n = 0;
    std::size_t nStar = std::string_view::npos, nResume = 0;
    while (n < strName.size()) {
        if (p < strPattern.size() && strPattern[p] == '*') {
            nStar = p++;
            nResume = n;
        } else if (p < strPattern.size() &&
                   (strPattern[p] == '?' || lower(strPattern[p]) == lower(strName[n]))) {
            ++p;
            ++n;
        } else if (nStar != std::string_view::npos) {
            p = nStar + 1;
            n = ++nResume;
        } else {
            return false;
        }
    }
    while (p < strPattern.size() && strPattern[p] == '*')
        ++p;
    return p == strPattern.size();
}

bool CApacheConfig::afterOwn(const tagAddress& addr, std::size_t nVhost) const {
    const std::uint32_t nChain = findChain(addr);
    if (nChain == CIndexTable::kNone)
        return false;
    const tagChain& chain = m_vecChains[nChain];
    return chain.nOwnAt != CIndexTable::kNone && nVhost >= std::size_t{chain.nFirst} + chain.nOwnAt &&
           nVhost < chain.nEnd;
}
