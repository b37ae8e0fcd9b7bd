#include "engine/GenerateThread.h"

#include <system_error>

#include <unistd.h>

#include "core/FileUtil.h"
#include "engine/EntryWriter.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/OutFile.h"

namespace {
// A template is a few lines of text: anything much larger is not one, and is not held.
constexpr std::size_t kMaxTemplateSize = 1024 * 1024;
} // namespace

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
    m_target.setTotal(nTotal);
    m_builder.emplace(tagSiteSettings{request.strSitePath, strPrefix, request.bWww, m_strTemplate});
    CNameSet names(nTotal);

    // The default layout is the built-in block, or the template, one entry per domain; any
    // other is the entry writer's, which has outputs of its own.
    const bool bLayout = !request.layout.isDefault();
    COutFile out;
    std::optional<CEntryWriter> writer;
    if (bLayout) {
        writer.emplace(request.layout, tagSiteSettings{request.strSitePath, strPrefix, request.bWww, {}});
        std::string strPath;
        if (!writer->open(request.strOutFile, strPath, strReason))
            return fail(EGenFailure::WriteFile, strPath, strReason);
        m_pWriter = &*writer;
    } else {
        if (!out.open(request.strOutFile, strReason))
            return fail(EGenFailure::WriteFile, request.strOutFile, strReason);
        m_pOut = &out;
    }
    const auto outFailed = [&] { return bLayout ? writer->failed() : out.failed(); };
    m_pNames = &names;
    m_pResult = &result;
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
    m_bDiscard = false;

    for (m_nLine = 1;; ++m_nLine) {
        if (stop.stop_requested()) {
            result.bStopped = true;
            break;
        }
        std::string_view line;
        if (!reader.nextLine(line))
            break;
        m_target.setProgress(m_nLine);
        BuildSite(line);
        result.nLines = m_nLine;
        if (outFailed())
            break;
    }
    names.flush(m_fnDuplicate);
    m_pOut = nullptr;
    m_pWriter = nullptr;
    m_pNames = nullptr;
    m_pResult = nullptr;
    result.bDuplicatesPartial = names.full();
    result.nFirstGb18030Line = reader.firstGb18030Line();

    if (reader.failed()) {
        fail(reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                    : EGenFailure::ReadFile,
             strListName, reader.reason());
    } else if (!result.bStopped && !outFailed() && reader.counted() && result.nLines != nTotal) {
        fail(EGenFailure::ListChanged, strListName, {});
    } else if (m_bDiscard) {
        fail(EGenFailure::Refused, {}, {});
    }
    // Windows cannot replace a file that is open, and the output may be the list itself.
    reader.closeFile();
    // A named output takes its place only after a run that went well (or was stopped with whole
    // entries); standard output keeps the whole entries it was given, but for a strict refusal.
    const bool bFailed = result.eFailure != EGenFailure::None;
    if (bLayout) {
        // The entry a failed run is in never takes the place of a file, even with files of
        // their own.
        std::string strPath;
        const bool bStream = request.strOutFile == kStdOutPath && request.layout.strSplitDir.empty();
        if (m_bDiscard || (bFailed && !bStream)) {
            writer->discard();
        } else if (!writer->close(strPath, strReason) && !bFailed) {
            fail(EGenFailure::WriteFile, strPath, strReason);
        }
        result.nEntries = writer->entries();
        result.nFiles = writer->files();
        return;
    }
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
        if (m_pWriter && !m_bDiscard) {
            m_pWriter->addDomain(name);
        } else if (!m_bDiscard) {
            m_builder->appendEntry(name, m_pOut->buffer());
            m_pOut->entryDone();
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
