#include "engine/EntryWriter.h"

#include <algorithm>

#include "core/FileUtil.h"
#include "core/TextUtil.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kClose = "</VirtualHost>\r\n";
constexpr int kHttpsPort = 443;
constexpr int kHttpPort = 80;

// The redirect keeps the challenges of certbot's webroot on plain HTTP. It takes the path from
// the request line itself, byte for byte (the decoded one would turn %3F into a '?', which
// mod_rewrite refuses in a target, and merge "//"), and mod_rewrite appends the query as it came.
// The host drops the port a client named, which is the plain one, and keeps an IPv6 literal whole.
constexpr std::string_view kRedirect =
    "    RewriteEngine on\r\n"
    "    RewriteCond %{REQUEST_URI} !^/\\.well-known/acme-challenge/\r\n"
    "    RewriteCond \"%{HTTP_HOST} %{THE_REQUEST}\" \"^(\\[[^]]+\\]|[^: ]+)(:[0-9]*)? [^ ]+ (/[^ ?]*)\"\r\n"
    "    RewriteRule ^ https://%1%3 [R=301,L,NE]\r\n";

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

std::string openingLines(const tagListenAddress& address, const std::string& strQuotedPath) {
    return "<VirtualHost " + address.text() + ">\r\n    DocumentRoot " + strQuotedPath + "\r\n";
}

bool isWildcard(std::string_view strName) {
    return strName.find_first_of("*?") != std::string_view::npos;
}
} // namespace

CEntryWriter::CEntryWriter(const tagLayout& layout, const tagSiteSettings& site, CRunOutputs& outputs,
                           CNameSet& names, tagGenResult& result, tagDuplicateFn fnDuplicate,
                           std::int64_t nDomains)
    : m_layout(layout), m_outputs(outputs), m_names(names), m_result(result),
      m_fnDuplicate(std::move(fnDuplicate)), m_strSitePath(site.strSitePath), m_bWww(site.bWww),
      m_nDomains(nDomains) {
    // A prefix that is the www alias adds nothing.
    if (!site.strPrefix.empty() && !(m_bWww && CNameSet::sameNoCase(site.strPrefix, "www")))
        m_strPrefixHead = site.strPrefix + ".";
    if (m_layout.strCertPath.size() > 1 && m_layout.strCertPath.back() == '/')
        m_layout.strCertPath.pop_back();
    m_nPerEntry = std::max(m_layout.nPack, 0);
    m_bHeld = m_layout.hasCertificates();
    if (m_bHeld) {
        // Every domain brings the same number of names; its names never part.
        const int nNames = 1 + (m_bWww ? 1 : 0) + (m_strPrefixHead.empty() ? 0 : 1);
        const int nFit = kMaxCertNames / nNames;
        if (m_nPerEntry == 0 || m_nPerEntry > nFit)
            m_nPerEntry = nFit;
    }
    // A certificate of one domain named twice is the same certificate, like its entry; one of
    // several domains would be issued again for other names.
    m_bNamed = !m_layout.strSplitDir.empty() || (m_bHeld && m_nPerEntry != 1);
    const std::string strQuoted = CSiteBuilder::quotedSitePath(site.strSitePath);
    tagListenAddress plain = m_layout.listen;
    if (m_layout.bHttps) {
        if (plain.nPort == 0)
            plain.nPort = kHttpPort;
        m_strTwinOpen = openingLines(plain.withPort(kHttpsPort), strQuoted);
    }
    m_strPlainOpen = openingLines(plain, strQuoted);
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
    bool bAdded = false;
    CNameSet::CRecord record = m_names.insert(strDomain, nLine, bAdded);
    if (record) {
        if (!bAdded && record.domainLine() != 0) {
            const bool bCut = strLine.size() > 64;
            m_fnDuplicate(nLine, record.domainLine(), strLine.substr(0, 64), bCut);
        } else {
            record.setDomainLine(nLine);
        }
    }
    if (m_nPerEntry > 0 && m_nInEntry == m_nPerEntry)
        endEntry();
    if (m_nInEntry == 0 && !beginEntry(strDomain, record))
        return;
    ++m_nInEntry;

    // One line per domain with those of its names the entry does not hold yet.
    m_strLine.assign("    ServerAlias");
    const std::size_t nHead = m_strLine.size();
    const auto addName = [&](std::string_view strHead, CNameSet::CRecord nameRecord) {
        m_strName.assign(strHead).append(strDomain);
        if (!strHead.empty()) {
            bool bNew = false;
            nameRecord = m_bHeld ? CNameSet::CRecord() : m_names.insert(m_strName, nLine, bNew);
        }
        if (!takeName(m_strName, nameRecord, nLine))
            return;
        m_strLine += ' ';
        m_strLine += m_strName;
    };
    addName({}, record);
    if (m_bWww)
        addName("www.", {});
    if (!m_strPrefixHead.empty())
        addName(m_strPrefixHead, {});
    if (m_strLine.size() == nHead)
        return;
    m_strLine += kLineEnd;
    if (m_bHeld) {
        m_strAliases += m_strLine;
    } else {
        m_pOut->buffer().append(m_strLine);
        m_pOut->entryDone();
    }
}

bool CEntryWriter::takeName(std::string_view strName, CNameSet::CRecord record, std::int64_t nLine) {
    if (m_bHeld) {
        // At most kMaxCertNames names: a small table of the entry's own tells them apart.
        std::size_t i = m_names.hash(strName) % m_entrySlots.size();
        for (; m_entrySlots[i] != 0; i = (i + 1) % m_entrySlots.size())
            if (CNameSet::sameNoCase(m_vecEntryNames[m_entrySlots[i] - 1u], strName))
                return false;
        m_vecEntryNames.emplace_back(strName);
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
    }
    if (m_bNamed && record)
        record.addFlags(CNameSet::kNamed);
    ++m_nEntry;
    m_vecEntryNames.clear();
    m_entrySlots.fill(0);
    m_strFirst.assign(strDomain);
    m_strAliases.clear();
    m_strCertNames.clear();
    if (!m_bHeld)
        m_pOut->buffer().append(m_strPlainOpen);
    return true;
}

void CEntryWriter::writeCertLines(std::string& out) const {
    const std::string strDir = text::replaceAll(m_layout.strCertPath, "{name}", m_strFirst);
    out += "    SSLEngine on\r\n    SSLCertificateFile ";
    out += CSiteBuilder::quotedSitePath(strDir + "/fullchain.pem");
    out += "\r\n    SSLCertificateKeyFile ";
    out += CSiteBuilder::quotedSitePath(strDir + "/privkey.pem");
    out += kLineEnd;
}

void CEntryWriter::endEntry() {
    if (m_nInEntry == 0)
        return;
    m_nInEntry = 0;
    COutFile& out = *m_pOut;
    if (m_bHeld) {
        std::string strEntry = m_strPlainOpen + m_strAliases;
        if (m_layout.bRedirect)
            strEntry += kRedirect;
        strEntry += kClose;
        if (m_layout.bHttps) {
            strEntry += m_strTwinOpen + m_strAliases;
            writeCertLines(strEntry);
            strEntry += kClose;
        }
        out.buffer().append(strEntry);
        if (COutFile* pCertbot = m_outputs.certbot(); pCertbot && !m_strCertNames.empty()) {
            pCertbot->buffer().append("certbot certonly --webroot -w " + shellWord(m_strSitePath) +
                                      " --cert-name " + shellWord(m_strFirst) + m_strCertNames + "\n");
            pCertbot->entryDone();
        }
    } else {
        out.buffer().append(kClose);
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
    if (!failed())
        endEntry();
    if (m_splitFile) {
        m_splitFile->discard();
        m_splitFile.reset();
    }
}
