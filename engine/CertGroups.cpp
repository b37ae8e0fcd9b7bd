#include "engine/CertGroups.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <unordered_set>

#include "core/FileUtil.h"
#include "core/PublicSuffix.h"
#include "core/Sys.h"
#include "core/TextUtil.h"
#include "engine/EntryDialect.h"
#include "engine/EntryModel.h"
#include "engine/EntryWriter.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/RunOutputs.h"
#include "engine/RunStart.h"

namespace certs {

std::string certDir(std::string_view strCertPath, std::string_view strCertName) {
    std::string strDir = text::replaceAll(strCertPath, "{name}", strCertName);
    if (strDir.size() > 1 && (strDir.back() == '/' || strDir.back() == sys::kPathSeparator))
        strDir.pop_back();
    return strDir;
}

bool filesReadable(std::string_view strCertPath, std::string_view strCertName, std::string& strReason) {
    const std::string strDir = certDir(strCertPath, strCertName);
    for (const std::string_view strFile : {kChainFile, kKeyFile}) {
        const std::string strPath = strDir + "/" + std::string(strFile);
        const int fd = sys::openRead(strPath);
        if (fd < 0) {
            strReason = strPath + ": " + file::errorText(errno);
            return false;
        }
        sys::closeFd(fd);
    }
    return true;
}

namespace {
// Names of certificates beside each other that are listed at once, at most.
constexpr std::size_t kMaxListed = 64 * 1024;

std::string lowerCase(std::string_view str) {
    std::string strLower(str);
    for (char& ch : strLower)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return strLower;
}
} // namespace

CCertFiles::CCertFiles(std::string strCertPath) : m_strCertPath(std::move(strCertPath)) {
    // "/etc/letsencrypt/live/{name}", "/etc/ssl/{name}/tls": {name} a whole component, once.
    const std::size_t nAt = m_strCertPath.find("{name}");
    const std::size_t nEnd = nAt + 6;
    const auto separator = [](char ch) { return ch == '/' || ch == sys::kPathSeparator; };
    if (nAt == std::string::npos || nAt == 0 || !separator(m_strCertPath[nAt - 1]) ||
        m_strCertPath.find("{name}", nEnd) != std::string::npos ||
        (nEnd < m_strCertPath.size() && !separator(m_strCertPath[nEnd])))
        return;
    m_strDir = m_strCertPath.substr(0, nAt - 1);
    if (m_strDir.empty())
        m_strDir = m_strCertPath.substr(0, 1);
    std::vector<std::string> vecNames;
    if (file::listNames(m_strDir, kMaxListed, vecNames)) {
        m_bListed = vecNames.size() < kMaxListed;
        for (const std::string& strName : vecNames)
            m_names.insert(lowerCase(strName));
    } else if (errno == ENOENT || errno == ENOTDIR) {
        m_bListed = true;
    }
    if (!m_bListed)
        m_names.clear();
}

bool CCertFiles::readable(std::string_view strCertName, std::string& strReason) {
    if (m_bListed && !m_names.contains(lowerCase(strCertName))) {
        strReason = certDir(m_strCertPath, strCertName) + "/" + std::string(kChainFile) + ": " +
                    file::errorText(ENOENT);
        return false;
    }
    return filesReadable(m_strCertPath, strCertName, strReason);
}

bool collectGroups(const tagGenRequest& requestIn, const std::function<void(tagCertGroup&)>& fnGroup,
                   tagGenResult& result) {
    // The run's layout with certificates, whether their files are there or not, written nowhere.
    tagGenRequest request = requestIn;
    request.layout.bHttps = true;
    request.layout.bHttpsAll = true;
    request.layout.strCertbotFile.clear();
    request.layout.strUnchangedDir.clear();
    request.strHashConfFile.clear();
    std::string strPrefix, strPath, strReason;
    if (!runstart::checkFields(request, strPrefix, result))
        return false;
    CListReader reader;
    std::string strListName;
    if (!runstart::openList(request, reader, strListName, result))
        return false;
    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;
    CRunOutputs outputs(request.strOutFile, {}, request.layout.strSplitDir);
    outputs.setDry();
    outputs.open(strPath, strReason);
    const std::unique_ptr<CEntryDialect> pDialect =
        runstart::makeDialect(request, {request.strSitePath, strPrefix, request.bWww, {}, {}}, nullptr);
    tagGenResult writerResult;
    CEntryWriter writer(
        request.layout, *pDialect, request.bWww, strPrefix, request.strSitePath, outputs, writerResult,
        [&result](std::int64_t nLine, std::int64_t nFirst, std::string_view strText, bool bCut) {
            runstart::reportDuplicate(result, nLine, nFirst, strText, bCut);
        },
        nTotal);
    // A name an earlier entry holds is served there (the first entry takes it, on either
    // server): its certificate is that entry's.
    CNameSet seen(CNameSet::LineOnly, nTotal, std::size_t{128} << 20);
    std::unordered_set<std::string> seenPast; // once the set is full: a plan needs every name once
    tagCertGroup group;
    writer.setPlacedFn([&](const CEntryWriter::tagPlaced& placed) {
        group.strName.assign(placed.strFirst);
        group.vecNames.clear();
        group.vecLines.clear();
        for (std::size_t i = 0; i < placed.nNames; ++i) {
            bool bAdded = false;
            if (const CNameSet::CRecord record =
                    seen.insert(placed.pNames[i], placed.pListLines[i], bAdded)) {
                if (!bAdded)
                    continue;
            } else if (!seenPast.insert(placed.pNames[i]).second) {
                continue;
            }
            group.vecNames.push_back(placed.pNames[i]);
            group.vecLines.push_back(placed.pListLines[i]);
        }
        if (group.vecNames.empty())
            return;
        group.vecRegistered.clear();
        if (!placed.strGroup.empty()) {
            group.vecRegistered.emplace_back(placed.strGroup);
        } else {
            for (const std::string& strName : group.vecNames) {
                std::string strGroup = psl::registeredDomain(strName);
                if (strGroup.empty())
                    strGroup = strName;
                if (std::find(group.vecRegistered.begin(), group.vecRegistered.end(), strGroup) ==
                    group.vecRegistered.end())
                    group.vecRegistered.push_back(std::move(strGroup));
            }
        }
        fnGroup(group);
    });

    names::tagNameLimits limits;
    limits.nHead = entry::CNameHeads(request.bWww, strPrefix).longest();
    limits.bFileName = !request.layout.strSplitDir.empty();
    limits.bNginx = request.eServer == EServerKind::Nginx;
    std::string strScratch;
    std::string_view line;
    std::int64_t nLine = 0;
    while (reader.nextLine(line)) {
        ++nLine;
        std::string_view name;
        const names::EVerdict eVerdict = names::nameOfLine(line, strScratch, name, limits);
        if (eVerdict == names::EVerdict::Skip) {
            ++result.nSkipped;
        } else if (eVerdict != names::EVerdict::Name) {
            ++result.nRefused;
            if (result.vecRefused.size() < tagGenResult::kMaxReports)
                result.vecRefused.push_back({nLine, eVerdict, 0, names::visibleText(line)});
        } else {
            writer.addDomain(name, nLine, line);
        }
    }
    result.nLines = nLine;
    writer.finish();
    if (reader.failed()) {
        runstart::fail(result,
                       reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                              : EGenFailure::ReadFile,
                       strListName, reader.reason());
        return false;
    }
    if (writer.failed()) {
        const EGenFailure eFailure = writer.failure(strPath, strReason);
        runstart::fail(result, eFailure, strPath, strReason);
        return false;
    }
    return true;
}

CWavePlan::CWavePlan(const tagCertLimits& limits) : m_limits(limits) {
    m_limits.nOrders = std::max(m_limits.nOrders, 1);
    m_limits.nOrdersHours = std::max(m_limits.nOrdersHours, 1);
    m_limits.nPerDomain = std::max(m_limits.nPerDomain, 1);
    m_limits.nPerDomainHours = std::max(m_limits.nPerDomainHours, 0);
    m_nSpan = static_cast<std::size_t>((m_limits.nPerDomainHours + m_limits.nOrdersHours - 1) /
                                       m_limits.nOrdersHours) +
              1;
}

std::size_t CWavePlan::freeWaveFrom(std::size_t nWave) {
    const auto reach = [this](std::size_t n) {
        while (m_vecOrders.size() <= n) {
            m_vecNextFree.push_back(m_vecOrders.size());
            m_vecOrders.push_back(0);
        }
    };
    std::size_t nFree = nWave;
    for (reach(nFree); m_vecNextFree[nFree] != nFree; reach(nFree))
        nFree = m_vecNextFree[nFree];
    for (std::size_t n = nWave; n != nFree;) {
        const std::size_t nNext = m_vecNextFree[n];
        m_vecNextFree[n] = nFree;
        n = nNext;
    }
    return nFree;
}

std::size_t CWavePlan::add(const std::vector<std::string>& vecRegistered) {
    const auto nPerDomain = static_cast<std::size_t>(m_limits.nPerDomain);
    std::size_t nFrom = 0;
    for (const std::string& strGroup : vecRegistered) {
        const auto it = m_recent.find(strGroup);
        if (it == m_recent.end())
            continue;
        const std::vector<std::uint32_t>& vecWaves = it->second;
        nFrom = std::max<std::size_t>(nFrom, vecWaves.back());
        if (vecWaves.size() >= nPerDomain)
            nFrom = std::max<std::size_t>(nFrom, vecWaves[vecWaves.size() - nPerDomain] + m_nSpan);
    }
    const std::size_t nWave = freeWaveFrom(nFrom);
    if (++m_vecOrders[nWave] >= static_cast<std::size_t>(m_limits.nOrders))
        m_vecNextFree[nWave] = nWave + 1;
    for (const std::string& strGroup : vecRegistered) {
        std::vector<std::uint32_t>& vecWaves = m_recent[strGroup];
        vecWaves.push_back(static_cast<std::uint32_t>(nWave));
        if (vecWaves.size() > nPerDomain)
            vecWaves.erase(vecWaves.begin());
    }
    return nWave;
}

} // namespace certs
