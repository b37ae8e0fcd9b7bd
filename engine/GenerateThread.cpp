#include "engine/GenerateThread.h"

#include <algorithm>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/EntryTemplate.h"
#include "engine/EntryWriter.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/OutFile.h"
#include "engine/RunOutputs.h"

CGenerateThread::CGenerateThread(CGenTarget& target, tagGenRequest request)
    : m_target(target), m_request(std::move(request)) {}

CGenerateThread::~CGenerateThread() {
    if (m_thread.joinable()) {
        m_thread.request_stop();
        m_thread.join();
    }
}

bool CGenerateThread::CreateThread() {
    try {
        m_thread = std::jthread([this](std::stop_token stop) { Generate(std::move(stop)); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CGenerateThread::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

void CGenerateThread::Generate(std::stop_token stop) {
    tagGenResult result;
    Run(stop, result);
    m_builder.reset();
    m_target.postDone(std::move(result));
}

void CGenerateThread::Run(std::stop_token& stop, tagGenResult& result) {
    const tagGenRequest& request = m_request;
    const auto fail = [&result](EGenFailure eFailure, const std::string& strPath, std::string strReason) {
        result.eFailure = eFailure;
        result.strPath = strPath;
        result.strReason = std::move(strReason);
    };
    std::string strReason;

    // The fields first: a refused one starts nothing. The front ends say so before they start a
    // run; this holds for any caller.
    result.eSitePath = names::checkSitePath(request.strSitePath);
    if (result.eSitePath != names::ESitePath::Ok)
        return fail(EGenFailure::SitePath, {}, {});
    std::string strPrefix;
    result.ePrefix = names::normalizePrefix(request.strPrefix, strPrefix);
    if (result.ePrefix != names::EVerdict::Name)
        return fail(EGenFailure::Prefix, {}, {});

    // The template, then the outputs, the list, and last the output: a template that cannot hold
    // the site path, or two outputs that are one file, start nothing, and a file that cannot be read
    // leaves the previous output as it was.
    m_strTemplate.clear();
    if (file::isFileExist(request.strTemplateFile) &&
        !CEntryTemplate::readFile(request.strTemplateFile, m_strTemplate, strReason))
        return fail(EGenFailure::ReadFile, request.strTemplateFile, strReason);
    m_builder.emplace(tagSiteSettings{request.strSitePath, strPrefix, request.bWww, m_strTemplate});
    if ((result.nFailLine = m_builder->templateFailLine()) > 0)
        return fail(EGenFailure::Template, request.strTemplateFile, {});
    const bool bLayout = !request.layout.isDefault();
    CRunOutputs outputs(request.strOutFile, request.layout.strCertbotFile, request.layout.strSplitDir);
    if (std::string strPath, strOther; !outputs.check(strPath, strOther))
        return fail(EGenFailure::Clash, strPath, strOther);

    CListReader reader;
    std::string strListName;
    switch (request.eList) {
    case EListSource::Text:
        reader.openText(request.strList);
        break;
    case EListSource::File:
        strListName = request.strList;
        if (!reader.openFile(strListName, strReason))
            return fail(EGenFailure::ReadFile, strListName, strReason);
        break;
    case EListSource::StdIn:
        strListName = std::string(kStdInName);
        if (!reader.openFd(sys::kStdIn, strReason))
            return fail(EGenFailure::ReadFile, strListName, strReason);
        break;
    }

    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;
    m_target.setTotal(nTotal);
    m_limits = {};
    m_limits.nHead = request.bWww ? 4 : 0;
    if (!strPrefix.empty())
        m_limits.nHead = std::max(m_limits.nHead, strPrefix.size() + 1);
    m_limits.bFileName = !request.layout.strSplitDir.empty();

    if (std::string strPath; !outputs.open(strPath, strReason))
        return fail(EGenFailure::WriteFile, strPath, strReason);
    m_fnDuplicate = [&result](std::int64_t nLine, std::int64_t nFirstLine, std::string_view strText,
                              bool bCut) {
        if (result.vecDuplicates.size() < tagGenResult::kMaxReports) {
            // A text cut short shows as cut.
            std::string strShown = names::visibleText(strText, bCut ? 57 : 60);
            if (bCut && !strShown.ends_with("..."))
                strShown += "...";
            result.vecDuplicates.push_back({nLine, names::EVerdict::Name, nFirstLine, std::move(strShown)});
        }
        ++result.nDuplicates;
    };
    // The default layout only reports the names it has seen again; the others also write each
    // name once in an entry, and name each file and certificate once.
    CNameSet names(bLayout ? CNameSet::Full : CNameSet::LineOnly, nTotal);
    CNameQueue queue(names);
    std::optional<CEntryWriter> writer;
    if (bLayout)
        writer.emplace(request.layout, tagSiteSettings{request.strSitePath, strPrefix, request.bWww, {}},
                       outputs, names, result, m_fnDuplicate);
    m_pWriter = writer ? &*writer : nullptr;
    m_pOut = outputs.output();
    m_pQueue = &queue;
    m_pResult = &result;
    m_bDiscard = false;
    m_nBuilt = 0;
    const auto failed = [&] { return outputs.failed() || (writer && writer->failed()); };

    for (m_nLine = 1;; ++m_nLine) {
        if (stop.stop_requested()) {
            result.bStopped = true;
            break;
        }
        std::string_view line;
        if (!reader.nextLine(line))
            break;
        // A line that came only after the stop (a stream waits for its lines) is not started.
        if (stop.stop_requested()) {
            result.bStopped = true;
            break;
        }
        m_target.setProgress(m_nLine);
        BuildSite(line);
        result.nLines = m_nLine;
        if (failed())
            break;
    }
    queue.flush(m_fnDuplicate);
    if (writer)
        writer->finish();
    m_pOut = nullptr;
    m_pWriter = nullptr;
    m_pQueue = nullptr;
    m_pResult = nullptr;
    result.bDuplicatesPartial = names.full();
    result.nFirstGb18030Line = reader.firstGb18030Line();

    std::string strPath;
    const EGenFailure eWriter = writer ? writer->failure(strPath, strReason) : EGenFailure::None;
    const std::int64_t nEntries = writer ? writer->entries() : m_nBuilt;
    if (m_bAbort.load()) {
        fail(EGenFailure::Aborted, {}, {});
    } else if (eWriter != EGenFailure::None) {
        fail(eWriter, strPath, strReason);
    } else if (reader.failed()) {
        fail(reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                    : EGenFailure::ReadFile,
             strListName, reader.reason());
    } else if (!result.bStopped && !failed() && reader.counted() && result.nLines != nTotal) {
        fail(EGenFailure::ListChanged, strListName, {});
    } else if (m_bDiscard) {
        fail(EGenFailure::Refused, {}, {});
    } else if (nEntries == 0 && result.nRefused > 0) {
        // Lines were refused and none written: the previous output is worth more than none.
        fail(EGenFailure::NothingWritten, {}, {});
    }
    // Windows cannot replace a file that is open, and the output may be the list itself.
    reader.closeFile();
    switch (result.eFailure) {
    case EGenFailure::None:
        // Whole entries only, stopped or not; every output in its place, or none.
        if (!outputs.commit(strPath, strReason))
            fail(EGenFailure::WriteFile, strPath, strReason);
        break;
    case EGenFailure::Refused:
    case EGenFailure::NothingWritten:
    case EGenFailure::Aborted:
    case EGenFailure::Clash:
        outputs.discard();
        break;
    default:
        // Standard output keeps the whole entries it was given; no file changes.
        outputs.abandon();
        break;
    }
    COutFile* pOut = outputs.output();
    if (result.eFailure == EGenFailure::None) {
        result.nEntries = writer ? writer->entries() : pOut->entriesWritten();
        result.nFiles = outputs.splitFiles();
    } else if (pOut && pOut->isStream()) {
        result.nEntries = writer ? writer->entries() : pOut->entriesWritten();
    }
}

void CGenerateThread::BuildSite(std::string_view strLine) {
    std::string_view name;
    const names::EVerdict eVerdict = names::nameOfLine(strLine, m_strScratch, name, m_limits);
    tagGenResult& result = *m_pResult;
    if (eVerdict == names::EVerdict::Name) {
        if (m_bDiscard)
            return;
        if (m_pWriter) {
            m_pWriter->addDomain(name, m_nLine, strLine);
        } else {
            m_pQueue->add(name, strLine, m_nLine, m_fnDuplicate);
            m_builder->appendEntry(name, m_pOut->buffer());
            m_pOut->entryDone();
            ++m_nBuilt;
        }
    } else if (eVerdict == names::EVerdict::Skip) {
        ++result.nSkipped;
    } else {
        if (result.vecRefused.size() < tagGenResult::kMaxReports)
            result.vecRefused.push_back({m_nLine, eVerdict, 0, names::visibleText(strLine)});
        ++result.nRefused;
        m_bDiscard = m_bDiscard || m_request.bStrict;
    }
}
