#include "engine/EntryWriter.h"

#include <algorithm>

#include "core/FileUtil.h"
#include "core/TextUtil.h"

namespace {
// A word for a POSIX shell: as it is when it holds nothing the shell reads, else in single quotes.
std::string shellWord(std::string_view str) {
    const bool bPlain = !str.empty() && std::all_of(str.begin(), str.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
               ch == '.' || ch == '-' || ch == '_' || ch == '/';
    });
    if (bPlain)
        return std::string(str);
    return "'" + text::replaceAll(str, "'", "'\\''") + "'";
}

bool isWildcard(std::string_view strName) {
    return strName.find_first_of("*?") != std::string_view::npos;
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
    if (m_nPerEntry > 0 && m_nInEntry == m_nPerEntry)
        endEntry();
    if (m_nInEntry == 0 && !beginEntry(strDomain, record))
        return;
    ++m_nInEntry;
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
        m_dialect.appendNames(m_names3.data(), nNames, m_held);
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
        std::size_t i = m_names.hash(strName) % m_entrySlots.size();
        for (; m_entrySlots[i] != 0; i = (i + 1) % m_entrySlots.size())
            if (text::sameNoCase(m_vecEntryNames[m_entrySlots[i] - 1u], strName))
                return false;
        m_vecEntryNames.emplace_back(strName);
        if (m_fnPlaced)
            m_vecEntryLines.push_back(nLine);
        m_entrySlots[i] = static_cast<std::uint8_t>(m_vecEntryNames.size());
        if (m_outputs.certbot()) {
            if (isWildcard(strName)) {
                // certbot's webroot method cannot prove a wildcard: it gets no -d of its own.
                if (m_result.vecWildcards.size() < tagGenResult::kMaxReports)
                    m_result.vecWildcards.push_back({nLine, names::EVerdict::Name, 0, std::string(strName)});
                ++m_result.nWildcards;
            } else {
                m_strCertNames += " -d ";
                m_strCertNames += shellWord(strName);
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

bool CEntryWriter::beginEntry(std::string_view strDomain, CNameSet::CRecord record) {
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
    m_vecEntryNames.clear();
    m_vecEntryLines.clear();
    if (m_splitFile) {
        m_nOutLines = 0;
        if (m_fnPlaced)
            countLines(0);
    }
    m_entrySlots.fill(0);
    m_strFirst.assign(strDomain);
    m_held.clear();
    m_strCertNames.clear();
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
    const std::string strSplitFile = m_layout.strSplitDir.empty() ? std::string() : m_strFirst + ".conf";
    m_fnPlaced({strSplitFile, nLine, pNames, pListLines, nNames});
}

void CEntryWriter::endEntry() {
    if (m_nInEntry == 0)
        return;
    m_nInEntry = 0;
    COutFile& out = *m_pOut;
    if (m_bHeld) {
        CByteBuffer& buffer = out.buffer();
        const std::size_t nFrom = buffer.size();
        if (m_fnPlaced)
            placed(m_nOutLines + 1, m_vecEntryNames.data(), m_vecEntryLines.data(), m_vecEntryNames.size());
        m_dialect.appendOpening(false, buffer);
        buffer.append(m_held.view());
        m_dialect.appendClosing(false, m_strFirst, buffer);
        if (m_layout.bHttps) {
            m_dialect.appendOpening(true, buffer);
            buffer.append(m_held.view());
            m_dialect.appendClosing(true, m_strFirst, buffer);
        }
        if (m_fnPlaced)
            countLines(nFrom);
        if (COutFile* pCertbot = m_outputs.certbot(); pCertbot && !m_strCertNames.empty()) {
            pCertbot->buffer().append("certbot certonly --webroot -w " + shellWord(m_strSitePath) +
                                      " --cert-name " + shellWord(m_strFirst) + m_strCertNames + "\n");
            pCertbot->entryDone();
        }
    } else if (!m_bSingle) {
        const std::size_t nFrom = out.buffer().size();
        m_dialect.appendClosing(false, m_strFirst, out.buffer());
        if (m_fnPlaced)
            countLines(nFrom);
    }
    out.entryDone();
    m_nEntries += m_layout.bHttps ? 2 : 1;
    if (m_splitFile) {
        std::string strReason;
        if (!m_outputs.finishSplitFile(*m_splitFile, strReason))
            fail(EGenFailure::WriteFile, m_layout.strSplitDir + "/" + m_strFirst + ".conf", strReason);
        m_splitFile.reset();
        m_pOut = nullptr;
    }
}

void CEntryWriter::finish() {
    if (m_queue)
        m_queue->flush(m_fnDuplicate);
    if (!failed())
        endEntry();
    if (m_splitFile) {
        m_splitFile->discard();
        m_splitFile.reset();
    }
}
