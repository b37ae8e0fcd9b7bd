#include "engine/EntryWriter.h"

#include <algorithm>
#include <cerrno>
#include <strings.h>
#include <sys/stat.h>

#include "core/FileUtil.h"
#include "core/TextUtil.h"
#include "engine/NameSet.h"

namespace {
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kClose = "</VirtualHost>\r\n";
// Pieces of a split output are small: a file holds one entry.
constexpr std::size_t kFilePieceSize = 64 * 1024;
constexpr int kHttpsPort = 443;
constexpr int kHttpPort = 80;

// The redirect keeps the challenges of certbot's webroot on plain HTTP, and drops the port a
// client named, which is the plain one.
constexpr std::string_view kRedirect = "    RewriteEngine on\r\n"
                                       "    RewriteCond %{REQUEST_URI} !^/\\.well-known/acme-challenge/\r\n"
                                       "    RewriteCond %{HTTP_HOST} ^([^:]+)\r\n"
                                       "    RewriteRule ^ https://%1%{REQUEST_URI} [R=301,L]\r\n";

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
} // namespace

bool CNameFilter::insert(std::string_view strName) {
    if (m_nUsed + 1 > m_vecSlots.size() / 4 * 3 && m_vecSlots.size() < m_nMaxSlots)
        grow();
    const bool bRoom = m_nUsed + 1 <= m_vecSlots.size() / 4 * 3;
    const std::uint64_t nHash = std::max<std::uint64_t>(CNameSet::hashNoCase(strName), 1);
    const std::size_t nMask = m_vecSlots.size() - 1;
    for (std::size_t i = nHash & nMask;; i = (i + 1) & nMask) {
        if (m_vecSlots[i] == nHash)
            return false;
        if (m_vecSlots[i] == 0) {
            if (bRoom) {
                m_vecSlots[i] = nHash;
                ++m_nUsed;
            }
            return true;
        }
    }
}

void CNameFilter::clear() {
    if (m_nUsed == 0)
        return;
    std::fill(m_vecSlots.begin(), m_vecSlots.end(), 0);
    m_nUsed = 0;
}

void CNameFilter::grow() {
    std::vector<std::uint64_t> vecOld(std::max<std::size_t>(m_vecSlots.size() * 2, 256), 0);
    vecOld.swap(m_vecSlots);
    const std::size_t nMask = m_vecSlots.size() - 1;
    for (const std::uint64_t nHash : vecOld) {
        if (nHash == 0)
            continue;
        std::size_t i = nHash & nMask;
        while (m_vecSlots[i] != 0)
            i = (i + 1) & nMask;
        m_vecSlots[i] = nHash;
    }
}

CEntryWriter::CEntryWriter(const tagLayout& layout, const tagSiteSettings& site)
    : m_layout(layout), m_strSitePath(site.strSitePath), m_bWww(site.bWww) {
    if (!site.strPrefix.empty())
        m_strPrefixHead = site.strPrefix + ".";
    if (m_layout.strCertPath.size() > 1 && m_layout.strCertPath.back() == '/')
        m_layout.strCertPath.pop_back();
    m_nPerEntry = std::max(m_layout.nPack, 0);
    m_bHeld = m_layout.hasCertificates();
    if (m_bHeld) {
        // Every domain brings the same number of names; its names never part.
        const bool bPrefixIsWww = ::strcasecmp(site.strPrefix.c_str(), "www") == 0;
        const int nNames =
            1 + (m_bWww ? 1 : 0) + (!site.strPrefix.empty() && !(m_bWww && bPrefixIsWww) ? 1 : 0);
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
}

CEntryWriter::~CEntryWriter() {
    discard();
}

bool CEntryWriter::open(const std::string& strOutFile, std::string& strPath, std::string& strReason) {
    if (!m_layout.strSplitDir.empty()) {
        struct stat st {};
        if (::stat(m_layout.strSplitDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            strPath = m_layout.strSplitDir;
            strReason = file::errorText(::stat(m_layout.strSplitDir.c_str(), &st) != 0 ? errno : ENOTDIR);
            return false;
        }
    } else {
        m_out.emplace();
        m_strOutPath = strOutFile;
        if (!m_out->open(strOutFile, strReason)) {
            strPath = strOutFile;
            m_out.reset();
            return false;
        }
    }
    if (!m_layout.strCertbotFile.empty()) {
        m_certbot.emplace();
        m_certbot->setPieceSize(kFilePieceSize);
        if (!m_certbot->open(m_layout.strCertbotFile, strReason)) {
            strPath = m_layout.strCertbotFile;
            m_certbot.reset();
            discard();
            return false;
        }
    }
    return true;
}

bool CEntryWriter::failed() const {
    return m_bFailed || (m_out && m_out->failed()) || (m_certbot && m_certbot->failed());
}

void CEntryWriter::fail(const std::string& strPath, const std::string& strReason) {
    if (m_bFailed)
        return;
    m_bFailed = true;
    m_strFailPath = strPath;
    m_strFailReason = strReason;
}

void CEntryWriter::addDomain(std::string_view strDomain) {
    if (m_bFailed)
        return;
    if (m_nPerEntry > 0 && m_nInEntry == m_nPerEntry)
        endEntry();
    if (m_nInEntry == 0 && !beginEntry(strDomain))
        return;
    ++m_nInEntry;

    // One line per domain with those of its names the entry does not hold yet.
    m_strLine.assign("    ServerAlias");
    const std::size_t nHead = m_strLine.size();
    const auto addName = [this](std::string_view strHead, std::string_view strName) {
        const std::string strFull = std::string(strHead) + std::string(strName);
        if (!m_entryNames.insert(strFull))
            return;
        m_strLine += ' ';
        m_strLine += strFull;
        if (m_certbot) {
            m_strCertNames += " -d ";
            m_strCertNames += shellWord(strFull);
        }
    };
    addName({}, strDomain);
    if (m_bWww)
        addName("www.", strDomain);
    if (!m_strPrefixHead.empty())
        addName(m_strPrefixHead, strDomain);
    if (m_strLine.size() == nHead)
        return;
    m_strLine += kLineEnd;
    if (m_bHeld) {
        m_strAliases += m_strLine;
    } else {
        m_out->buffer().append(m_strLine);
        m_out->entryDone();
    }
}

bool CEntryWriter::beginEntry(std::string_view strDomain) {
    // A domain that already named an entry is served there: a second file or certificate of
    // that name would take the first one's place.
    if (m_bNamed && !m_firstNames.insert(strDomain))
        return false;
    m_entryNames.clear();
    m_strFirst.assign(strDomain);
    m_strAliases.clear();
    m_strCertNames.clear();
    if (!m_layout.strSplitDir.empty()) {
        m_strOutPath = m_layout.strSplitDir + "/" + m_strFirst + ".conf";
        m_out.emplace();
        m_out->setPieceSize(kFilePieceSize);
        std::string strReason;
        if (!m_out->open(m_strOutPath, strReason)) {
            m_out.reset();
            fail(m_strOutPath, strReason);
            return false;
        }
    }
    if (!m_bHeld)
        m_out->buffer().append(m_strPlainOpen);
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
    COutFile& out = *m_out;
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
        if (m_certbot) {
            m_certbot->buffer().append("certbot certonly --webroot -w " + shellWord(m_strSitePath) +
                                       " --cert-name " + shellWord(m_strFirst) + m_strCertNames + "\n");
            m_certbot->entryDone();
        }
    } else {
        out.buffer().append(kClose);
    }
    out.entryDone();
    m_nEntries += m_layout.bHttps ? 2 : 1;
    if (!m_layout.strSplitDir.empty()) {
        std::string strReason;
        if (!out.close(strReason))
            fail(m_strOutPath, strReason);
        else
            ++m_nFiles;
        m_out.reset();
    }
}

bool CEntryWriter::close(std::string& strPath, std::string& strReason) {
    if (!m_bFailed)
        endEntry();
    const auto closeOne = [this](std::optional<COutFile>& out, const std::string& strOutPath) {
        std::string strWhy;
        if (out && !out->close(strWhy))
            fail(strOutPath, strWhy);
        out.reset();
    };
    if (!m_bFailed)
        closeOne(m_out, m_strOutPath);
    if (!m_bFailed)
        closeOne(m_certbot, m_layout.strCertbotFile);
    if (!m_bFailed)
        return true;
    discard();
    strPath = m_strFailPath;
    strReason = m_strFailReason;
    return false;
}

void CEntryWriter::discard() {
    if (m_out)
        m_out->discard();
    m_out.reset();
    if (m_certbot)
        m_certbot->discard();
    m_certbot.reset();
}
