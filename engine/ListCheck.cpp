#include "engine/ListCheck.h"

#include <array>
#include <memory>
#include <optional>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/EntryDialect.h"
#include "engine/EntryModel.h"
#include "engine/EntryTemplate.h"
#include "engine/EntryWriter.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/RunStart.h"

CListCheck::CListCheck(const tagGenRequest& request, const CServerConfig* pServer)
    : m_request(request), m_pServer(pServer) {}

bool CListCheck::run(const std::function<void(const tagFinding&)>& fnFinding, tagGenResult& result) {
    const auto fail = [&result](EGenFailure eFailure, const std::string& strPath, std::string strReason) {
        runstart::fail(result, eFailure, strPath, std::move(strReason));
        return false;
    };
    std::string strPrefix, strReason;
    if (!runstart::checkFields(m_request, strPrefix, result))
        return false;
    const entry::CNameHeads heads(m_request.bWww, strPrefix);
    // A template that a run would refuse is refused here the same way, before the list is read.
    std::string strText;
    if (const std::string& strTemplate = m_request.strTemplateFile; !strTemplate.empty()) {
        if (!CEntryTemplate::readFile(strTemplate, strText, strReason))
            return fail(EGenFailure::ReadFile, strTemplate, strReason);
        result.nFailLine =
            CEntryTemplate(strText, m_request.strSitePath, heads.size() > 1, m_request.eServer).failLine();
        if (result.nFailLine > 0)
            return fail(EGenFailure::Template, strTemplate, {});
    }

    CListReader reader;
    std::string strListName;
    if (!runstart::openList(m_request, reader, strListName, result))
        return false;
    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;

    // Every name the run would write, by the same rule and in the same bounded set, with the line
    // that first wrote it: a duplicate domain, and a name one line lists while another line's www
    // or prefix alias writes it.
    CNameSet names(CNameSet::Full, nTotal);
    names::tagNameLimits limits;
    limits.nHead = heads.longest();
    limits.bFileName = !m_request.layout.strSplitDir.empty();
    limits.bNginx = m_request.eServer == EServerKind::Nginx;
    std::optional<CServerCheck> server;
    if (m_pServer)
        server.emplace(*m_pServer, m_request.layout);
    std::vector<tagNameFinding> vecTaken;

    // The routes: the run's entries laid out nowhere, each name told where it stands as it is
    // placed, once (the first line that writes it), unless an existing vhost serves it first.
    tagGenResult dryResult;
    CRunOutputs dryOutputs(m_request.strOutFile, {}, m_request.layout.strSplitDir);
    std::unique_ptr<CEntryDialect> pDialect;
    std::optional<CEntryWriter> writer;
    if (m_fnRoute) {
        dryOutputs.setDry();
        std::string strPath;
        dryOutputs.open(strPath, strReason);
        runstart::beginOutputs(m_request, dryOutputs);
        pDialect = runstart::makeDialect(
            m_request, {m_request.strSitePath, strPrefix, m_request.bWww, strText, {}}, nullptr);
        writer.emplace(
            m_request.layout, *pDialect, m_request.bWww, strPrefix, m_request.strSitePath, dryOutputs,
            dryResult, [](std::int64_t, std::int64_t, std::string_view, bool) {}, nTotal);
        std::string strSplitPath;
        writer->setPlacedFn([&](const CEntryWriter::tagPlaced& placed) {
            for (std::size_t i = 0; i < placed.nNames; ++i) {
                const std::string& strName = placed.pNames[i];
                if (const CNameSet::CRecord record = names.find(strName);
                    record && record.line() != placed.pListLines[i])
                    continue;
                tagRoute route;
                route.strName = strName;
                tagNameFinding taken;
                if (server && server->takenFirst(strName, taken)) {
                    route.bExisting = true;
                    route.vhost = taken.vhost;
                } else if (placed.strSplitFile.empty()) {
                    route.strFile = m_request.strOutFile;
                } else {
                    strSplitPath =
                        m_request.layout.strSplitDir + sys::kPathSeparator + std::string(placed.strSplitFile);
                    route.strFile = strSplitPath;
                }
                route.nLine = placed.nLine;
                m_fnRoute(route);
            }
        });
    }
    std::array<std::string, 3> entryNames;
    std::string strScratch;
    std::int64_t nLine = 0;
    std::string_view line;
    while (reader.nextLine(line)) {
        ++nLine;
        std::string_view name;
        const names::EVerdict eVerdict = names::nameOfLine(line, strScratch, name, limits);
        if (eVerdict == names::EVerdict::Skip)
            continue;
        tagFinding finding;
        finding.nLine = nLine;
        if (eVerdict != names::EVerdict::Name) {
            finding.eReason = eVerdict;
            finding.strText = names::visibleText(line);
            fnFinding(finding);
            continue;
        }
        for (std::size_t i = 0; i < heads.size(); ++i)
            entryNames[i].assign(heads[i]).append(name);
        bool bAdded = false;
        // After this line's names are in the set, which tells the routes the first line of each.
        const auto feedWriter = [&] {
            if (writer)
                writer->addDomain(name, nLine, line);
        };
        CNameSet::CRecord record = names.insert(entryNames[0], nLine, bAdded);
        if (record && !bAdded && record.domainLine() != 0) {
            finding.eKind = tagFinding::EKind::Duplicate;
            finding.nOtherLine = record.domainLine();
            finding.strText = names::visibleText(line);
            fnFinding(finding);
            feedWriter();
            continue;
        }
        for (std::size_t i = 0; i < heads.size(); ++i) {
            if (i > 0)
                record = names.insert(entryNames[i], nLine, bAdded);
            if (record && !bAdded && record.line() != nLine) {
                finding.eKind = tagFinding::EKind::Clash;
                finding.nOtherLine = record.line();
                finding.strName = entryNames[i];
                fnFinding(finding);
            }
            if (i == 0 && record)
                record.setDomainLine(nLine);
        }
        feedWriter();
        if (!server)
            continue;
        for (std::size_t i = 0; i < heads.size(); ++i) {
            server->lookUp(entryNames[i], vecTaken);
            for (const tagNameFinding& taken : vecTaken) {
                finding.eKind = taken.name.bWild ? tagFinding::EKind::Wildcard : tagFinding::EKind::Served;
                finding.strName = entryNames[i];
                finding.taken = taken;
                fnFinding(finding);
            }
        }
    }
    if (writer)
        writer->finish();
    dryOutputs.discard();
    m_bNamesFull = names.full();
    if (reader.failed())
        return fail(reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                           : EGenFailure::ReadFile,
                    strListName, reader.reason());
    if (reader.counted() && nLine != nTotal)
        return fail(EGenFailure::ListChanged, strListName, {});
    if (server) {
        for (const tagShadowFinding& shadow : server->shadows()) {
            tagFinding finding;
            finding.eKind = tagFinding::EKind::Shadow;
            finding.shadow = shadow;
            fnFinding(finding);
        }
    }
    return true;
}
