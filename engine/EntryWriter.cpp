#include "engine/EntryWriter.h"

#include <algorithm>

#include "core/FileUtil.h"
#include "core/PublicSuffix.h"
#include "core/TextUtil.h"

namespace {
bool isWildcard(std::string_view strName) {
    return strName.find_first_of("*?") != std::string_view::npos;
}

// Entries of other registered domains that wait aside for more of their domains: past this many,
// or this much memory, the one unused longest ends.
constexpr std::size_t kMaxWaiting = 1024;
constexpr std::size_t kMaxWaitingBytes = 1024 * 1024;

// The registered domain a certificate groups a domain by; a public suffix listed as a domain
// stands for itself.
std::string groupOf(std::string_view strDomain) {
    std::string strGroup = psl::registeredDomain(strDomain);
    if (strGroup.empty())
        strGroup.assign(strDomain);
    return strGroup;
}

// A domain of a held entry brings at most this many names; each entry at most kMaxCertNames.
int domainsThatFit(const entry::CNameHeads& heads) {
    return kMaxCertNames / static_cast<int>(heads.size());
}
} // namespace

CEntryWriter::CEntryWriter(const tagLayout& layout, const CEntryDialect& dialect, bool bWww,
                           std::string_view strAsciiPrefix, std::string_view strSitePath,
                           CRunOutputs& outputs, tagGenResult& result, tagDuplicateFn fnDuplicate,
                           std::int64_t nDomains)
    : m_layout(layout), m_dialect(dialect), m_outputs(outputs), m_result(result),
      m_fnDuplicate(std::move(fnDuplicate)), m_heads(bWww, strAsciiPrefix), m_strSitePath(strSitePath),
      m_nPerEntry(std::max(layout.nPack, 0)), m_bHeld(layout.hasCertificates()), m_nDomains(nDomains),
      m_bWriteRepeats(dialect.takesRepeatedNames()),
      m_names(layout.nPack == 1 && !layout.hasCertificates() && layout.strSplitDir.empty() && m_bWriteRepeats
                  ? CNameSet::LineOnly
                  : CNameSet::Full,
              nDomains) {
    // Every domain brings the same number of names; its names never part.
    if (m_bHeld && (m_nPerEntry == 0 || m_nPerEntry > domainsThatFit(m_heads)))
        m_nPerEntry = domainsThatFit(m_heads);
    // A certificate of one domain named twice is the same certificate, like its entry; one of
    // several domains would be issued again for other names.
    m_bNamed = !m_layout.strSplitDir.empty() || (m_bHeld && m_nPerEntry != 1);
    m_bSingle = m_nPerEntry == 1 && !m_bHeld;
    m_bByGroup = m_bHeld && m_nPerEntry != 1 && m_layout.eCertGroup == ECertGroup::Domain;
    if (!m_layout.strCertbotFile.empty())
        m_waves.emplace(m_layout.certLimits);
    if (m_bSingle && m_layout.strSplitDir.empty() && m_bWriteRepeats)
        m_queue.emplace(m_names);
    if (m_layout.strSplitDir.empty())
        m_pOut = m_outputs.output();
}

void CEntryWriter::fail(EGenFailure eFailure, const std::string& strPath, const std::string& strReason) {
    if (m_eFailure != EGenFailure::None)
        return;
    m_eFailure = eFailure;
    m_strFailPath = strPath;
    m_strFailReason = strReason;
}

EGenFailure CEntryWriter::failure(std::string& strPath, std::string& strReason) const {
    strPath = m_strFailPath;
    strReason = m_strFailReason;
    return m_eFailure;
}

void CEntryWriter::addDomain(std::string_view strDomain, std::int64_t nLine, std::string_view strLine) {
    if (failed())
        return;
    if (m_queue) {
        // The default: an entry for each domain, whatever names came before.
        m_queue->add(strDomain, strLine, nLine, m_fnDuplicate);
        const std::size_t nFrom = m_pOut->buffer().size();
        m_dialect.appendSingleEntry(strDomain, m_pOut->buffer());
        if (m_fnPlaced) {
            for (std::size_t i = 0; i < m_heads.size(); ++i)
                m_names3[i].assign(m_heads[i]).append(strDomain);
            const std::array<std::int64_t, 3> lines{nLine, nLine, nLine};
            placed(m_nOutLines + 1, m_names3.data(), lines.data(), m_heads.size());
            countLines(nFrom);
        }
        m_pOut->entryDone();
        ++m_nEntries;
        return;
    }
    bool bAdded = false;
    CNameSet::CRecord record = m_names.insert(strDomain, nLine, bAdded);
    if (record) {
        if (!bAdded && record.domainLine() != 0) {
            m_fnDuplicate(nLine, record.domainLine(), strLine.substr(0, 64), strLine.size() > 64);
            // Its names are the ones written for it before.
            if (!m_bWriteRepeats)
                return;
        } else {
            record.setDomainLine(nLine);
        }
    }
    if (m_bByGroup) {
        if (std::string strGroup = groupOf(strDomain); m_entry.nDomains == 0 || strGroup != m_entry.strGroup)
            takeUpGroup(std::move(strGroup));
    }
    if (m_nPerEntry > 0 && m_entry.nDomains == m_nPerEntry)
        endEntry();
    if (m_entry.nDomains == 0 && !beginEntry(strDomain, nLine, record))
        return;
    ++m_entry.nDomains;
    if (m_bSingle) {
        const std::size_t nFrom = m_pOut->buffer().size();
        m_dialect.appendSingleEntry(strDomain, m_pOut->buffer());
        if (m_fnPlaced) {
            for (std::size_t i = 0; i < m_heads.size(); ++i)
                m_names3[i].assign(m_heads[i]).append(strDomain);
            const std::array<std::int64_t, 3> lines{nLine, nLine, nLine};
            placed(m_nOutLines + 1, m_names3.data(), lines.data(), m_heads.size());
            countLines(nFrom);
        }
        return;
    }

    // One line per domain with those of its names the entry does not hold yet.
    std::size_t nNames = 0;
    for (std::size_t i = 0; i < m_heads.size(); ++i) {
        std::string& strName = m_names3[nNames];
        strName.assign(m_heads[i]).append(strDomain);
        CNameSet::CRecord nameRecord = record;
        if (i > 0)
            nameRecord = m_bHeld ? CNameSet::CRecord() : m_names.insert(strName, nLine, bAdded);
        if (takeName(strName, nameRecord, nLine))
            ++nNames;
    }
    if (nNames == 0)
        return;
    if (m_bHeld) {
        m_dialect.appendNames(m_names3.data(), nNames, m_entry.held);
    } else {
        const std::size_t nFrom = m_pOut->buffer().size();
        m_dialect.appendNames(m_names3.data(), nNames, m_pOut->buffer());
        if (m_fnPlaced) {
            const std::array<std::int64_t, 3> lines{nLine, nLine, nLine};
            placed(m_nEntryLine, m_names3.data(), lines.data(), nNames);
            countLines(nFrom);
        }
        m_pOut->entryDone();
    }
}

bool CEntryWriter::takeName(std::string_view strName, CNameSet::CRecord record, std::int64_t nLine) {
    if (m_bHeld) {
        // At most kMaxCertNames names: a small table of the entry's own tells them apart.
        std::size_t i = m_names.hash(strName) % m_entry.slots.size();
        for (; m_entry.slots[i] != 0; i = (i + 1) % m_entry.slots.size())
            if (text::sameNoCase(m_entry.vecNames[m_entry.slots[i] - 1u], strName))
                return false;
        m_entry.vecNames.emplace_back(strName);
        if (m_fnPlaced)
            m_entry.vecLines.push_back(nLine);
        m_entry.slots[i] = static_cast<std::uint8_t>(m_entry.vecNames.size());
        if (m_outputs.certbot()) {
            if (isWildcard(strName)) {
                // certbot's webroot method cannot prove a wildcard: it gets no -d of its own.
                if (m_result.vecWildcards.size() < tagGenResult::kMaxReports)
                    m_result.vecWildcards.push_back({nLine, names::EVerdict::Name, 0, std::string(strName)});
                ++m_result.nWildcards;
            } else {
                m_entry.strCertNames += " -d ";
                m_entry.strCertNames += text::shellWord(strName);
            }
        }
        return true;
    }
    // Streamed: the run's names tell which entry last wrote a name, as far as they are remembered.
    if (record && record.entry() == m_nEntry)
        return false;
    if (record)
        record.setEntry(m_nEntry);
    return true;
}

void CEntryWriter::takeUpGroup(std::string strGroup) {
    if (m_entry.nDomains > 0) {
        if (!m_layout.strSplitDir.empty()) {
            // A file is written whole, one at a time.
            endEntry();
        } else {
            m_entry.nBytes = m_entry.held.size() + m_entry.strCertNames.size() + sizeof(tagEntry) + 512 +
                             m_entry.vecNames.size() * (sizeof(std::string) + sizeof(std::int64_t));
            for (const std::string& strName : m_entry.vecNames)
                m_entry.nBytes += strName.size();
            m_nWaitingBytes += m_entry.nBytes;
            m_waiting.push_front(std::move(m_entry));
            m_waitingByGroup[m_waiting.front().strGroup] = m_waiting.begin();
        }
    }
    m_entry = tagEntry();
    if (const auto it = m_waitingByGroup.find(strGroup); it != m_waitingByGroup.end()) {
        m_entry = std::move(*it->second);
        m_nWaitingBytes -= m_entry.nBytes;
        m_waiting.erase(it->second);
        m_waitingByGroup.erase(it);
    } else {
        m_entry.strGroup = std::move(strGroup);
    }
    while ((m_waiting.size() > kMaxWaiting || m_nWaitingBytes > kMaxWaitingBytes) && !failed()) {
        tagEntry current = std::move(m_entry);
        m_entry = std::move(m_waiting.back());
        m_nWaitingBytes -= m_entry.nBytes;
        m_waitingByGroup.erase(m_entry.strGroup);
        m_waiting.pop_back();
        endEntry();
        m_entry = std::move(current);
    }
}

void CEntryWriter::endWaitingEntries() {
    std::vector<tagEntry> vecWaiting;
    vecWaiting.reserve(m_waiting.size() + 1);
    if (m_entry.nDomains > 0)
        vecWaiting.push_back(std::move(m_entry));
    m_entry = tagEntry();
    for (tagEntry& entry : m_waiting)
        vecWaiting.push_back(std::move(entry));
    m_waiting.clear();
    m_waitingByGroup.clear();
    m_nWaitingBytes = 0;
    std::sort(vecWaiting.begin(), vecWaiting.end(),
              [](const tagEntry& a, const tagEntry& b) { return a.nOrder < b.nOrder; });
    for (tagEntry& entry : vecWaiting) {
        if (failed())
            break;
        m_entry = std::move(entry);
        endEntry();
    }
}

bool CEntryWriter::beginEntry(std::string_view strDomain, std::int64_t nLine, CNameSet::CRecord record) {
    // A file or certificate named after a domain that named one before would take its place.
    if (m_bNamed && record && (record.flags() & CNameSet::kNamed))
        return false;
    if (m_bNamed && !record && m_layout.strSplitDir.empty()) {
        // Past what the run's names hold, the names of certificates are kept on disk; a split
        // directory keeps its own, as a file of that name can be made only once.
        if (!m_namedOnDisk)
            m_namedOnDisk.emplace(static_cast<std::uint64_t>(m_nDomains / std::max(m_nPerEntry, 1)));
        if (!m_namedOnDisk->insert(strDomain)) {
            if (m_namedOnDisk->failed())
                fail(EGenFailure::WriteFile, "a temporary file", file::errorText(m_namedOnDisk->error()));
            return false;
        }
    }
    if (!m_layout.strSplitDir.empty()) {
        m_splitFile.emplace();
        std::string strPath, strReason;
        switch (m_outputs.openSplitFile(strDomain, *m_splitFile, strPath, strReason)) {
        case CRunOutputs::ESplitFile::Opened:
            break;
        case CRunOutputs::ESplitFile::NamedBefore:
            // Its file is an earlier entry's: the domain is served there.
            m_splitFile.reset();
            return false;
        case CRunOutputs::ESplitFile::Clash:
            m_splitFile.reset();
            fail(EGenFailure::Clash, strPath, strReason);
            return false;
        case CRunOutputs::ESplitFile::Failed:
            m_splitFile.reset();
            fail(EGenFailure::WriteFile, strPath, strReason);
            return false;
        }
        m_pOut = &*m_splitFile;
        m_pOut->buffer().append(m_layout.strFileHead);
    }
    if (m_bNamed && record)
        record.addFlags(CNameSet::kNamed);
    ++m_nEntry;
    m_entry.vecNames.clear();
    m_entry.vecLines.clear();
    if (m_splitFile) {
        m_nOutLines = 0;
        if (m_fnPlaced)
            countLines(0);
    }
    m_entry.slots.fill(0);
    m_entry.strFirst.assign(strDomain);
    m_entry.nFirstLine = nLine;
    m_entry.nOrder = ++m_nBegun;
    m_entry.held.clear();
    m_entry.strCertNames.clear();
    if (!m_bHeld && !m_bSingle) {
        const std::size_t nFrom = m_pOut->buffer().size();
        m_nEntryLine = m_nOutLines + 1;
        m_dialect.appendOpening(false, m_pOut->buffer());
        if (m_fnPlaced)
            countLines(nFrom);
    }
    return true;
}

void CEntryWriter::setPlacedFn(FnPlaced fnPlaced) {
    m_fnPlaced = std::move(fnPlaced);
    // What the output holds before the first entry (nginx's line on the hash) comes first.
    if (m_fnPlaced && m_pOut)
        countLines(0);
}

void CEntryWriter::countLines(std::size_t nFrom) {
    const std::string_view text = m_pOut->buffer().view().substr(nFrom);
    m_nOutLines += std::count(text.begin(), text.end(), '\n');
}

void CEntryWriter::placed(std::int64_t nLine, const std::string* pNames, const std::int64_t* pListLines,
                          std::size_t nNames) {
    const std::string strSplitFile =
        m_layout.strSplitDir.empty() ? std::string() : m_entry.strFirst + ".conf";
    m_fnPlaced({m_entry.strFirst, m_entry.strGroup, strSplitFile, nLine, pNames, pListLines, nNames});
}

void CEntryWriter::endEntry() {
    if (m_entry.nDomains == 0)
        return;
    m_entry.nDomains = 0;
    COutFile& out = *m_pOut;
    if (m_bHeld) {
        // An HTTPS twin whose certificate's files cannot be read would stop the server from
        // starting: the entry waits for its certificate on plain HTTP, without the redirect.
        bool bTwin = m_layout.bHttps;
        if (bTwin && !m_layout.bHttpsAll) {
            std::string strReason;
            if (!m_certFiles)
                m_certFiles.emplace(m_layout.strCertPath);
            bTwin = m_certFiles->readable(m_entry.strFirst, strReason);
            if (!bTwin) {
                ++m_result.nWaitingEntries;
                m_result.nWaitingNames += static_cast<std::int64_t>(m_entry.vecNames.size());
                if (m_result.vecWaiting.size() < tagGenResult::kMaxReports) {
                    std::string strText;
                    for (const std::string& strName : m_entry.vecNames)
                        strText.append(strText.empty() ? "" : " ").append(strName);
                    m_result.vecWaiting.push_back(
                        {m_entry.nFirstLine, names::EVerdict::Name, 0, strText + " (" + strReason + ")"});
                }
            }
        }
        CByteBuffer& buffer = out.buffer();
        const std::size_t nFrom = buffer.size();
        if (m_fnPlaced)
            placed(m_nOutLines + 1, m_entry.vecNames.data(), m_entry.vecLines.data(),
                   m_entry.vecNames.size());
        m_dialect.appendOpening(false, buffer);
        buffer.append(m_entry.held.view());
        m_dialect.appendClosing(false, bTwin, m_entry.strFirst, buffer);
        if (bTwin) {
            m_dialect.appendOpening(true, buffer);
            buffer.append(m_entry.held.view());
            m_dialect.appendClosing(true, true, m_entry.strFirst, buffer);
        }
        if (m_fnPlaced)
            countLines(nFrom);
        writeCertbotLine();
        m_nEntries += bTwin ? 2 : 1;
    } else if (!m_bSingle) {
        const std::size_t nFrom = out.buffer().size();
        m_dialect.appendClosing(false, true, m_entry.strFirst, out.buffer());
        if (m_fnPlaced)
            countLines(nFrom);
    }
    out.entryDone();
    if (!m_bHeld)
        ++m_nEntries;
    if (m_splitFile) {
        std::string strReason;
        if (!m_outputs.finishSplitFile(*m_splitFile, strReason))
            fail(EGenFailure::WriteFile, m_layout.strSplitDir + "/" + m_entry.strFirst + ".conf", strReason);
        m_splitFile.reset();
        m_pOut = nullptr;
    }
}

void CEntryWriter::writeCertbotLine() {
    COutFile* pCertbot = m_outputs.certbot();
    if (!pCertbot || m_entry.strCertNames.empty())
        return;
    // The first wave's orders, within the authority's limits: the rest wait for a plan.
    std::vector<std::string> vecGroups;
    if (m_bByGroup) {
        vecGroups.push_back(m_entry.strGroup);
    } else {
        for (const std::string& strName : m_entry.vecNames)
            if (std::string strGroup = groupOf(strName);
                std::find(vecGroups.begin(), vecGroups.end(), strGroup) == vecGroups.end())
                vecGroups.push_back(std::move(strGroup));
    }
    if (m_waves->add(vecGroups) > 0) {
        ++m_result.nCertbotLater;
        return;
    }
    pCertbot->buffer().append("certbot certonly --webroot -w " + text::shellWord(m_strSitePath) +
                              " --cert-name " + text::shellWord(m_entry.strFirst) + m_entry.strCertNames +
                              "\n");
    pCertbot->entryDone();
}

void CEntryWriter::finish() {
    if (m_queue)
        m_queue->flush(m_fnDuplicate);
    if (!failed()) {
        if (m_bByGroup)
            endWaitingEntries();
        else
            endEntry();
    }
    if (m_splitFile) {
        m_splitFile->discard();
        m_splitFile.reset();
    }
}
