#include "engine/GenerateThread.h"

#include <system_error>

#include "core/FileUtil.h"
#include "engine/ListReader.h"
#include "engine/OutFile.h"
#include "engine/RunSettings.h"

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
    Run(result);
    m_builder.reset();
    m_hTarget->flushProgress();
    m_hTarget->postDone(std::move(result));
    return 1;
}

void CGenerateThread::Run(tagGenResult& result) {
    const auto fail = [&result](EGenFailure eFailure, const std::string& strPath, std::string strReason) {
        result.eFailure = eFailure;
        result.strPath = strPath;
        result.strReason = std::move(strReason);
    };
    std::string strReason;

    // The list and the template are read before the output is touched, so that a file that
    // cannot be read leaves the previous output as it was.
    CListReader reader;
    const std::string& strList = g_strDomains;
    if (file::isFileExist(strList)) {
        if (g_strOutFile != kStdOutPath && file::isSameFile(strList, g_strOutFile)) {
            // The previous output is the list: read it whole before it is emptied.
            std::string strText;
            if (!file::readText(strList, strText, strReason))
                return fail(EGenFailure::ReadFile, strList, strReason);
            reader.openOwnedText(std::move(strText));
        } else if (!reader.openFile(strList, strReason)) {
            return fail(EGenFailure::ReadFile, strList, strReason);
        }
    } else {
        reader.openText(strList);
    }

    m_strTemplate.clear();
    if (file::isFileExist(g_strTemplateFile) && !file::readText(g_strTemplateFile, m_strTemplate, strReason))
        return fail(EGenFailure::ReadFile, g_strTemplateFile, strReason);

    const std::int64_t nTotal = reader.lineCount();
    g_nTotal.store(nTotal);
    m_builder.emplace(tagSiteSettings{g_strSitePath, g_strPrefix, g_bWww != 0, m_strTemplate, g_pDomainMapper});

    COutFile out;
    if (!out.open(g_strOutFile, strReason))
        return fail(EGenFailure::WriteFile, g_strOutFile, strReason);
    m_pOut = &out;

    for (m_nLine = 1; m_nLine <= nTotal; ++m_nLine) {
        if (m_pStop->load(std::memory_order_acquire)) {
            result.bStopped = true;
            break;
        }
        m_hTarget->postProgress(m_nLine);
        std::string_view line;
        if (!reader.nextLine(line)) {
            if (reader.failed())
                fail(EGenFailure::ReadFile, strList, reader.reason());
            break; // a file that shrank since it was counted ends here
        }
        BuildSite(line);
        result.nLines = m_nLine;
        if (out.failed())
            break;
    }

    m_pOut = nullptr;
    if (!out.close(strReason) && result.eFailure == EGenFailure::None)
        fail(EGenFailure::WriteFile, g_strOutFile, strReason);
    result.nEntries = out.entriesWritten();
}

void CGenerateThread::BuildSite(std::string_view strLine) {
    if (m_builder->appendEntry(strLine, m_nLine, m_pOut->buffer()))
        m_pOut->entryDone();
}

std::string CGenerateThread::BuildAliases(std::string_view strDomain) const {
    if (m_builder)
        return m_builder->BuildAliases(strDomain);
    return CSiteBuilder(tagSiteSettings{g_strSitePath, g_strPrefix, g_bWww != 0, {}, nullptr})
        .BuildAliases(strDomain);
}
