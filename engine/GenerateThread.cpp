#include "engine/GenerateThread.h"

#include <system_error>

#include <unistd.h>

#include "core/FileUtil.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/OutFile.h"

std::atomic<std::int64_t> g_nTotal{0};

namespace {
// A template is a few lines of text: anything much larger is not one, and is not held.
constexpr std::size_t kMaxTemplateSize = 1024 * 1024;
} // namespace

unsigned ThreadProc(void* pParam) {
    auto* pRecord = static_cast<tagThreadParam*>(pParam);
    pRecord->pThread->Generate(pRecord);
    delete pRecord;
    return 0;
}

CGenerateThread::CGenerateThread(THREADPROC pfnThreadProc, tagThreadParam* pParam)
    : m_pfnThreadProc(pfnThreadProc), m_pParam(pParam) {
    pParam->pThread = this;
}

CGenerateThread::~CGenerateThread() {
    if (m_thread.joinable())
        m_thread.join();
}

bool CGenerateThread::CreateThread() {
    const bool bAutoDelete = m_bAutoDelete;
    std::thread thread;
    try {
        thread = std::thread([this, bAutoDelete] {
            m_pfnThreadProc(m_pParam);
            if (bAutoDelete)
                delete this;
        });
    } catch (const std::system_error&) {
        return false;
    }
    // A self-deleting object may be gone as soon as the thread runs: touch no member then.
    if (bAutoDelete)
        thread.detach();
    else
        m_thread = std::move(thread);
    return true;
}

void CGenerateThread::Join() {
    if (m_thread.joinable())
        m_thread.join();
}

int CGenerateThread::Generate(tagThreadParam* pParam) {
    m_hTarget = pParam->hTarget;
    m_pStop = pParam->pStop;
    tagGenResult result;
    Run(pParam->request, result);
    m_builder.reset();
    m_hTarget->flushProgress();
    m_hTarget->postDone(std::move(result));
    return 1;
}

void CGenerateThread::Run(const tagGenRequest& request, tagGenResult& result) {
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

    // The list and the template are read before the output is touched, so that a file that
    // cannot be read leaves the previous output as it was.
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
        if (!reader.openFd(STDIN_FILENO, strReason))
            return fail(EGenFailure::ReadFile, strListName, strReason);
        break;
    }

    m_strTemplate.clear();
    if (file::isFileExist(request.strTemplateFile) &&
        !file::readText(request.strTemplateFile, m_strTemplate, strReason, kMaxTemplateSize))
        return fail(EGenFailure::ReadFile, request.strTemplateFile, strReason);

    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;
    g_nTotal.store(nTotal);
    m_builder.emplace(tagSiteSettings{request.strSitePath, strPrefix, request.bWww, m_strTemplate});
    CNameSet names(nTotal);

    COutFile out;
    if (!out.open(request.strOutFile, strReason))
        return fail(EGenFailure::WriteFile, request.strOutFile, strReason);
    m_pOut = &out;
    m_pNames = &names;
    m_pResult = &result;
    m_fnDuplicate = [&result](std::int64_t nLine, std::int64_t nFirstLine, std::string_view strText, bool bCut) {
        if (result.vecDuplicates.size() < tagGenResult::kMaxReports) {
            // A text cut short shows as cut.
            std::string strShown = names::visibleText(strText, bCut ? 57 : 60);
            if (bCut && !strShown.ends_with("..."))
                strShown += "...";
            result.vecDuplicates.push_back({nLine, names::EVerdict::Name, nFirstLine, std::move(strShown)});
        }
        ++result.nDuplicates;
    };
    m_bStrict = request.bStrict;
    m_bDiscard = false;

    for (m_nLine = 1;; ++m_nLine) {
        if (m_pStop->load(std::memory_order_acquire)) {
            result.bStopped = true;
            break;
        }
        std::string_view line;
        if (!reader.nextLine(line))
            break;
        m_hTarget->postProgress(m_nLine);
        BuildSite(line);
        result.nLines = m_nLine;
        if (out.failed())
            break;
    }
    names.flush(m_fnDuplicate);
    m_pOut = nullptr;
    m_pNames = nullptr;
    m_pResult = nullptr;
    result.bDuplicatesPartial = names.full();

    if (reader.failed()) {
        fail(reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                     : EGenFailure::ReadFile,
             strListName, reader.reason());
    } else if (!result.bStopped && !out.failed() && reader.counted() && result.nLines != nTotal) {
        fail(EGenFailure::ListChanged, strListName, {});
    } else if (m_bDiscard) {
        fail(EGenFailure::Refused, {}, {});
    }
    // A named output takes its place only after a run that went well (or was stopped with whole
    // entries); standard output keeps the whole entries it was given, but for a strict refusal.
    const bool bFailed = result.eFailure != EGenFailure::None;
    if (m_bDiscard || (bFailed && request.strOutFile != kStdOutPath)) {
        out.discard();
    } else if (!out.close(strReason) && !bFailed) {
        fail(EGenFailure::WriteFile, request.strOutFile, strReason);
    }
    result.nEntries = out.entriesWritten();
}

void CGenerateThread::BuildSite(std::string_view strLine) {
    std::string_view name;
    const names::EVerdict eVerdict = names::nameOfLine(strLine, m_strScratch, name);
    tagGenResult& result = *m_pResult;
    if (eVerdict == names::EVerdict::Name) {
        m_pNames->add(name, strLine, m_nLine, m_fnDuplicate);
        if (!m_bDiscard) {
            m_builder->appendEntry(name, m_pOut->buffer());
            m_pOut->entryDone();
        }
    } else if (eVerdict == names::EVerdict::Skip) {
        ++result.nSkipped;
    } else {
        if (result.vecRefused.size() < tagGenResult::kMaxReports)
            result.vecRefused.push_back({m_nLine, eVerdict, 0, names::visibleText(strLine)});
        ++result.nRefused;
        m_bDiscard = m_bDiscard || m_bStrict;
    }
}

std::string CGenerateThread::BuildAliases(std::string_view strDomain) const {
    if (m_builder)
        return m_builder->BuildAliases(strDomain);
    return {};
}
