#include "engine/GenerateThread.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/EntryModel.h"
#include "engine/EntryTemplate.h"
#include "engine/EntryWriter.h"
#include "engine/ListReader.h"
#include "engine/NameSet.h"
#include "engine/NginxDialect.h"
#include "engine/OutFile.h"
#include "engine/RunOutputs.h"
#include "engine/RunStart.h"

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
    m_target.postDone(std::move(result));
}

namespace {

using runstart::fail;

bool readTemplate(const std::string& strPath, std::string& strTemplate, tagGenResult& result) {
    std::string strReason;
    if (file::isFileExist(strPath) && !CEntryTemplate::readFile(strPath, strTemplate, strReason)) {
        fail(result, EGenFailure::ReadFile, strPath, strReason);
        return false;
    }
    return true;
}

// The lines into the sink: each line's verdict, the refusals and the skips. True when a strict
// run refused a line: from then on nothing is written.
class CLines {
public:
    CLines(const tagGenRequest& request, const names::tagNameLimits& limits, CEntrySink& sink,
           tagGenResult& result)
        : m_request(request), m_limits(limits), m_sink(sink), m_result(result) {}

    void take(std::string_view strLine, std::int64_t nLine) {
        std::string_view name;
        const names::EVerdict eVerdict = names::nameOfLine(strLine, m_strScratch, name, m_limits);
        if (eVerdict == names::EVerdict::Name) {
            if (!m_bDiscard)
                m_sink.addDomain(name, nLine, strLine);
        } else if (eVerdict == names::EVerdict::Skip) {
            ++m_result.nSkipped;
        } else {
            if (m_result.vecRefused.size() < tagGenResult::kMaxReports)
                m_result.vecRefused.push_back({nLine, eVerdict, 0, names::visibleText(strLine)});
            ++m_result.nRefused;
            m_bDiscard = m_bDiscard || m_request.bStrict;
        }
    }
    bool discarding() const { return m_bDiscard; }

private:
    const tagGenRequest& m_request;
    const names::tagNameLimits& m_limits;
    CEntrySink& m_sink;
    tagGenResult& m_result;
    std::string m_strScratch;
    bool m_bDiscard = false;
};

// What the names written need of nginx's server names hash: at the top of the output (at its end
// on a stream, which cannot be written again), in the hash file, and in the result.
void tellHashSizes(CNginxHashSizer& sizer, CRunOutputs& outputs, tagGenResult& result) {
    CNginxHashSizer::tagSizes sizes;
    if (int nErrno = 0; !sizer.sizes(sizes, nErrno))
        return fail(result, EGenFailure::WriteFile, "(a temporary file)", file::errorText(nErrno));
    const std::string strLine = CNginxDialect::hashSizesLine(sizes.nBucketSize, sizes.nMaxSize);
    const std::string strComment = "# what these names need in http {}: " + strLine;
    if (COutFile* pOut = outputs.output(); pOut && pOut->isStream()) {
        pOut->buffer().append(strComment + "\r\n");
        pOut->entryDone();
    } else if (pOut && !pOut->writeHead(strComment)) {
        return fail(result, EGenFailure::WriteFile, {}, file::errorText(EIO));
    }
    if (COutFile* pConf = outputs.hashConf()) {
        pConf->buffer().append(
            "# The server names hash that the entries' names need: include it in http {}.\r\n"
            "server_names_hash_bucket_size " +
            std::to_string(sizes.nBucketSize) + ";\r\n" + "server_names_hash_max_size " +
            std::to_string(sizes.nMaxSize) + ";\r\n");
        pConf->entryDone();
    }
    result.nHashBucketSize = sizes.nBucketSize;
    result.nHashMaxSize = sizes.nMaxSize;
}
} // namespace

void CGenerateThread::Run(std::stop_token& stop, tagGenResult& result) {
    const tagGenRequest& request = m_request;
    std::string strPrefix, strTemplate, strPath, strReason;
    // The fields, the template, the outputs and the list: any of them refused or unreadable starts
    // nothing and leaves every output as it was.
    if (!runstart::checkFields(request, strPrefix, result) ||
        !readTemplate(request.strTemplateFile, strTemplate, result))
        return;
    const tagSiteSettings site{request.strSitePath, strPrefix, request.bWww, strTemplate, {}};
    std::optional<CNginxHashSizer> sizer;
    if (request.eServer == EServerKind::Nginx)
        sizer.emplace();
    const std::unique_ptr<CEntryDialect> pDialect =
        runstart::makeDialect(request, site, sizer ? &*sizer : nullptr);
    const CEntryDialect& dialect = *pDialect;
    if ((result.nFailLine = dialect.templateFailLine()) > 0)
        return fail(result, EGenFailure::Template, request.strTemplateFile, {});
    CRunOutputs outputs(request.strOutFile, request.layout.strCertbotFile, request.layout.strSplitDir,
                        request.eServer == EServerKind::Nginx ? request.strHashConfFile : std::string());
    outputs.setUnchangedDir(request.layout.strUnchangedDir);
    if (std::string strOther; !outputs.check(strPath, strOther))
        return fail(result, EGenFailure::Clash, strPath, strOther);
    CListReader reader;
    std::string strListName;
    if (!runstart::openList(request, reader, strListName, result))
        return;
    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;
    m_target.setTotal(nTotal);
    if (!outputs.open(strPath, strReason))
        return fail(result, EGenFailure::WriteFile, strPath, strReason);
    runstart::beginOutputs(request, outputs);

    // The sink, and the lines into it.
    CEntryWriter sink(
        request.layout, dialect, request.bWww, strPrefix, request.strSitePath, outputs, result,
        [&result](std::int64_t nLine, std::int64_t nFirst, std::string_view strText, bool bCut) {
            runstart::reportDuplicate(result, nLine, nFirst, strText, bCut);
        },
        nTotal);
    names::tagNameLimits limits;
    limits.nHead = entry::CNameHeads(request.bWww, strPrefix).longest();
    limits.bFileName = !request.layout.strSplitDir.empty();
    limits.bNginx = request.eServer == EServerKind::Nginx;
    CLines lines(request, limits, sink, result);
    for (std::int64_t nLine = 1;; ++nLine) {
        std::string_view line;
        // A line that comes only after a stop (a stream waits for its lines) is not started.
        if (stop.stop_requested() || !reader.nextLine(line) || stop.stop_requested()) {
            result.bStopped = stop.stop_requested();
            break;
        }
        m_target.setProgress(nLine);
        lines.take(line, nLine);
        result.nLines = nLine;
        // A failed output drops what comes after: looking now and then ends the run soon enough.
        if (nLine % 64 == 0 && sink.failed())
            break;
    }
    sink.finish();
    result.bDuplicatesPartial = sink.namesFull();
    result.nFirstGb18030Line = reader.firstGb18030Line();

    // The end: whole entries only, stopped or not; every output in its place, or none.
    const EGenFailure eSink = sink.failure(strPath, strReason);
    if (m_bAbort.load()) {
        fail(result, EGenFailure::Aborted, {}, {});
    } else if (eSink != EGenFailure::None) {
        fail(result, eSink, strPath, strReason);
    } else if (reader.failed()) {
        fail(result,
             reader.failure() == CListReader::EFailure::LineTooLong ? EGenFailure::LineTooLong
                                                                    : EGenFailure::ReadFile,
             strListName, reader.reason());
    } else if (!result.bStopped && !sink.failed() && reader.counted() && result.nLines != nTotal) {
        fail(result, EGenFailure::ListChanged, strListName, {});
    } else if (lines.discarding()) {
        fail(result, EGenFailure::Refused, {}, {});
    } else if (sink.entries() == 0 && result.nRefused > 0) {
        // Lines were refused and none written: the previous output is worth more than none.
        fail(result, EGenFailure::NothingWritten, {}, {});
    }
    if (sizer && result.eFailure == EGenFailure::None)
        tellHashSizes(*sizer, outputs, result);
    // Windows cannot replace a file that is open, and the output may be the list itself.
    reader.closeFile();
    switch (result.eFailure) {
    case EGenFailure::None:
        if (!outputs.commit(strPath, strReason))
            fail(result, EGenFailure::WriteFile, strPath, strReason);
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
    const bool bStreamed = pOut && pOut->isStream();
    if (result.eFailure == EGenFailure::None || bStreamed)
        result.nEntries = pOut && request.layout.isDefault() ? pOut->entriesWritten() : sink.entries();
    if (result.eFailure == EGenFailure::None) {
        result.nFiles = outputs.splitFiles();
        result.vecUnchanged = outputs.takeUnchanged();
    }
}
