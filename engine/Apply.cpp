#include "engine/Apply.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <set>

#include "core/FileUtil.h"
#include "core/Process.h"
#include "core/Sys.h"
#include "core/TextUtil.h"
#include "engine/ApacheConfig.h"
#include "engine/EntryModel.h"
#include "engine/GenerateThread.h"
#include "engine/NginxConfig.h"
#include "engine/ServerCheck.h"
#include "engine/ServerSource.h"

namespace {
constexpr std::string_view kWorkName = ".kelvane-apply";
constexpr std::string_view kLockName = ".kelvane-apply.lock";
constexpr std::string_view kJournalHead = "kelvane-cli apply journal 1";
constexpr std::string_view kReloading = "reloading";
constexpr char kSep = sys::kPathSeparator;
// A server's test or reload that prints more, or runs longer, is not what it should be.
constexpr std::size_t kMaxCommandOutput = std::size_t{16} << 20;
constexpr std::chrono::seconds kCommandTimeout{300};

// The run's end, for apply, which waits for it on its own thread.
class CResultTarget : public CGenTarget {
public:
    tagGenResult result;

protected:
    void onDone(tagGenResult done) override { result = std::move(done); }
};

bool startsWithMarker(const std::string& strPath) {
    std::string strText, strReason;
    if (!file::readAll(strPath, strText, strReason, 4096) && strText.empty())
        return false;
    return strText.starts_with(CApply::kMarker);
}

bool isLink(const std::string& strPath) {
    sys::tagFileInfo info;
    return sys::lstatPath(strPath, info) && info.bLink;
}

bool exists(const std::string& strPath) {
    sys::tagFileInfo info;
    return sys::lstatPath(strPath, info);
}

std::string withSep(std::string strDir) {
    if (strDir.empty() || strDir.back() != kSep)
        strDir += kSep;
    return strDir;
}

// The names of a directory's entries, sorted.
bool listAll(const std::string& strDir, std::vector<std::string>& vecNames) {
    if (!file::listNames(strDir, file::kNoLimit, vecNames))
        return false;
    std::sort(vecNames.begin(), vecNames.end());
    return true;
}

bool removeTree(const std::string& strDir) {
    std::vector<std::string> vecNames;
    if (!file::listNames(strDir, file::kNoLimit, vecNames))
        return errno == ENOENT;
    for (const std::string& strName : vecNames) {
        const std::string strPath = strDir + kSep + strName;
        sys::tagFileInfo info;
        if (sys::lstatPath(strPath, info) && info.bDir && !info.bLink)
            removeTree(strPath);
        else
            sys::removeFile(strPath);
    }
    return sys::removeDir(strDir) == 0;
}
} // namespace

CApply::CApply(tagGenRequest request, tagApplyConfig config, FnSay fnStep, FnSay fnPlanLine,
               FnFinding fnFinding)
    : m_request(std::move(request)), m_config(std::move(config)), m_fnStep(std::move(fnStep)),
      m_fnPlanLine(std::move(fnPlanLine)), m_fnFinding(std::move(fnFinding)) {
    m_strWork = withSep(m_config.strSitesDir) + std::string(kWorkName);
}

CApply::~CApply() {
    m_pChecked.reset();
    if (m_fdLock >= 0)
        sys::closeFd(m_fdLock);
}

bool CApply::fail(const std::string& strError) {
    if (m_strError.empty())
        m_strError = strError;
    return false;
}

std::string CApply::sitePath(const std::string& strName) const {
    return withSep(m_config.strSitesDir) + strName;
}

std::string CApply::enabledPath(const std::string& strName) const {
    return withSep(m_config.strEnabledDir) + strName;
}

EApplyEnd CApply::run() {
    sys::tagFileInfo info;
    if (!sys::statPath(m_config.strSitesDir, info) || !info.bDir) {
        fail("cannot use the site directory " + m_config.strSitesDir + ": " +
             file::errorText(sys::statPath(m_config.strSitesDir, info) ? ENOTDIR : errno));
        return EApplyEnd::Failed;
    }
    for (const std::string* pDir : {&m_config.strSitesDir, &m_config.strEnabledDir}) {
        if (!pDir->empty() && !m_config.bDryRun && !sys::canCreateIn(*pDir)) {
            fail("cannot write in " + *pDir + ": " + file::errorText(errno) +
                 (errno == EACCES || errno == EPERM ? " (run apply as the user who owns it, often root)"
                                                    : ""));
            return EApplyEnd::Failed;
        }
    }
    m_strSitesCanonical = withSep(file::canonicalPath(m_config.strSitesDir));

    if (!m_config.bDryRun) {
        const std::string strLock = withSep(m_config.strSitesDir) + std::string(kLockName);
        m_fdLock = sys::lockFile(strLock, false);
        if (m_fdLock < 0 && errno == EWOULDBLOCK) {
            if (m_config.bNoWait) {
                fail("another apply is changing " + m_config.strSitesDir + " (--no-wait)");
                return EApplyEnd::Busy;
            }
            m_fnStep("waiting for another apply on " + m_config.strSitesDir);
            m_fdLock = sys::lockFile(strLock, true);
        }
        if (m_fdLock < 0) {
            fail("cannot lock " + strLock + ": " + file::errorText(errno));
            return EApplyEnd::Failed;
        }
        // What an apply that died left comes first.
        if (!recover())
            return EApplyEnd::Failed;
        if (m_config.bRecoverOnly)
            return EApplyEnd::Recovered;
    }

    if (m_config.bDryRun) {
        // A plan of its own, beside any apply that holds the directory.
        m_strWork =
            file::createDirBeside(withSep(m_config.strSitesDir) + std::string(kWorkName).substr(1) + "-plan");
        if (m_strWork.empty()) {
            fail("cannot make a directory in " + m_config.strSitesDir + ": " + file::errorText(errno));
            return EApplyEnd::Failed;
        }
    } else if (removeTree(m_strWork), sys::makeDir(m_strWork) != 0) {
        fail("cannot make " + m_strWork + ": " + file::errorText(errno));
        return EApplyEnd::Failed;
    }
    const auto cleanUp = [this] { removeTree(m_strWork); };
    if (!makePlan()) {
        cleanUp();
        return m_runResult.eFailure != EGenFailure::None ? EApplyEnd::RunFailed : EApplyEnd::Failed;
    }
    const tagApplyPlan& plan = m_plan;
    m_fnStep("plan: " + std::to_string(plan.vecAdd.size()) + " to add, " +
             std::to_string(plan.vecChange.size()) + " to change, " + std::to_string(plan.vecRemove.size()) +
             " to remove, " + std::to_string(plan.vecKeep.size()) + " unchanged");
    if (m_config.bDryRun) {
        for (const auto& [pFiles, pszWhat] :
             {std::pair{&plan.vecAdd, "add "}, std::pair{&plan.vecChange, "change "},
              std::pair{&plan.vecRemove, "remove "}, std::pair{&plan.vecKeep, "keep "}})
            for (const std::string& strName : *pFiles)
                m_fnPlanLine(pszWhat + sitePath(strName));
        for (const std::string& strName : plan.vecLink)
            m_fnPlanLine("link " + enabledPath(strName));
        for (const std::string& strName : plan.vecUnlink)
            m_fnPlanLine("unlink " + enabledPath(strName));
    }
    bool bFindings = false;
    if (!checkServer(bFindings)) {
        cleanUp();
        return EApplyEnd::Failed;
    }
    if (m_config.bDryRun) {
        tellMoves();
        cleanUp();
        return bFindings ? EApplyEnd::Findings : EApplyEnd::Planned;
    }
    if (bFindings && !m_config.bForce) {
        cleanUp();
        return EApplyEnd::Findings;
    }
    if (plan.vecAdd.empty() && plan.vecChange.empty() && plan.vecRemove.empty() && plan.vecLink.empty() &&
        plan.vecUnlink.empty()) {
        cleanUp();
        m_fnStep("nothing to change");
        return EApplyEnd::Done;
    }

    if (!writeJournal(false) || !applyFiles()) {
        rollBack(false);
        return EApplyEnd::Failed;
    }
    std::string strOutput;
    m_fnStep("testing the configuration: " + m_config.strTestCmd);
    if (!runCommand("the configuration test", m_config.strTestCmd, strOutput)) {
        rollBack(false);
        return EApplyEnd::Failed;
    }
    m_fnStep("reloading: " + m_config.strReloadCmd);
    if (!writeJournal(true) || !runCommand("the reload", m_config.strReloadCmd, strOutput)) {
        rollBack(true);
        return EApplyEnd::Failed;
    }
    m_fnStep("verifying " + std::to_string(m_vecNames.size()) + " names");
    if (std::string strWrong; !verify(strWrong)) {
        fail("the server does not serve what was planned: " + strWrong);
        rollBack(true);
        return EApplyEnd::Failed;
    }
    if (std::string strWrong; !m_config.strProbeIp.empty() && !probe(strWrong)) {
        fail("the server does not answer every name it was given: " + strWrong);
        rollBack(true);
        return EApplyEnd::Failed;
    }
    // Committed: the journal goes first, then what it kept.
    sys::removeFile(m_strWork + kSep + "journal");
    sys::syncDir(m_strWork);
    cleanUp();
    return EApplyEnd::Done;
}

bool CApply::makePlan() {
    const std::string strNew = m_strWork + kSep + "new";
    if (sys::makeDir(strNew) != 0)
        return fail("cannot make " + strNew + ": " + file::errorText(errno));
    tagGenRequest request = m_request;
    request.layout.strSplitDir = strNew;
    request.layout.strFileHead = std::string(kMarker) + ": this file is replaced by the next apply\r\n";
    // A file with the same bytes as the one in place is not even written.
    request.layout.strUnchangedDir = m_config.strSitesDir;
    request.strOutFile.clear();
    CResultTarget target;
    {
        CGenerateThread thread(target, request);
        thread.Generate({});
    }
    m_runResult = target.result;
    if (m_runResult.eFailure != EGenFailure::None)
        return false;

    // Each name and the file that is to serve it.
    tagGenRequest named = request;
    named.layout.strSplitDir = strNew;
    CListCheck names(named, nullptr);
    std::string strLastFile;
    names.setRouteFn([&](const tagRoute& route) {
        const std::string_view file = route.strFile;
        const std::string strName(file.substr(file.rfind(kSep) + 1));
        if (m_vecFiles.empty() || strLastFile != strName) {
            m_vecFiles.push_back(strName);
            strLastFile = strName;
        }
        m_vecNames.emplace_back(std::string(route.strName),
                                static_cast<std::uint32_t>(m_vecFiles.size() - 1));
    });
    tagGenResult result;
    if (!names.run([](const tagFinding&) {}, result))
        return fail("cannot read the list again: " + result.strReason);
    return comparePlan(strNew, m_runResult.vecUnchanged, m_config.strSitesDir, m_config.strEnabledDir,
                       m_config.bPrune, m_plan, m_strError);
}

bool CApply::comparePlan(const std::string& strStaged, const std::vector<std::string>& vecUnchanged,
                         const std::string& strSitesDir, const std::string& strEnabledDir, bool bPrune,
                         tagApplyPlan& plan, std::string& strError) {
    plan = {};
    std::vector<std::string> vecNew, vecOld;
    if (!listAll(strStaged, vecNew) || !listAll(strSitesDir, vecOld)) {
        strError = "cannot list " + strSitesDir + ": " + file::errorText(errno);
        return false;
    }
    plan.vecKeep = vecUnchanged;
    const std::string strSites = withSep(strSitesDir);
    for (const std::string& strName : vecNew) {
        const std::string strOld = strSites + strName;
        sys::tagFileInfo info;
        if (!sys::lstatPath(strOld, info)) {
            plan.vecAdd.push_back(strName);
            continue;
        }
        // Only a file an earlier apply wrote is replaced: never the user's file, or a link, of
        // the name an entry would have.
        if (!info.bRegular || info.bLink || !startsWithMarker(strOld)) {
            strError = strOld +
                       " is not a file apply wrote (its first line would say so), and an entry of the "
                       "list would replace it: rename it, or remove it if the entry is to take its place";
            return false;
        }
        std::string strNewText, strOldText, strReason;
        const bool bSame = file::readAll(withSep(strStaged) + strName, strNewText, strReason) &&
                           file::readAll(strOld, strOldText, strReason) && strNewText == strOldText;
        (bSame ? plan.vecKeep : plan.vecChange).push_back(strName);
    }
    std::sort(plan.vecKeep.begin(), plan.vecKeep.end());
    std::set<std::string> setNew(vecNew.begin(), vecNew.end());
    setNew.insert(vecUnchanged.begin(), vecUnchanged.end());
    for (const std::string& strName : vecOld) {
        if (setNew.count(strName) != 0 || strName.starts_with('.') || !strName.ends_with(".conf"))
            continue;
        sys::tagFileInfo info;
        if (bPrune && sys::lstatPath(strSites + strName, info) && info.bRegular && !info.bLink &&
            startsWithMarker(strSites + strName))
            plan.vecRemove.push_back(strName);
    }
    if (strEnabledDir.empty())
        return true;
    // A link of the same name to each file; a file or another link of the user's there is left.
    const std::string strEnabled = withSep(strEnabledDir);
    const std::string strSitesCanonical = withSep(file::canonicalPath(strSitesDir));
    for (const std::string& strName : setNew)
        if (!exists(strEnabled + strName))
            plan.vecLink.push_back(strName);
    for (const std::string& strName : plan.vecRemove) {
        std::string strTarget;
        if (sys::readSymlink(strEnabled + strName, strTarget) &&
            file::samePath(file::canonicalPath(strEnabled + strName), strSitesCanonical + strName))
            plan.vecUnlink.push_back(strName);
    }
    return true;
}

std::unique_ptr<CServerConfig> CApply::loadServer(const tagGenRequest& request, std::string& strError) {
    tagServerSource source;
    source.strCommand = m_config.strServerCmd;
    const auto fnNote = [this](const std::string& strNote) { m_fnStep(strNote); };
    if (request.eServer == EServerKind::Nginx) {
        auto pNginx = std::make_unique<CNginxConfig>();
        if (!pNginx->load(source, request, fnNote, strError))
            return nullptr;
        return pNginx;
    }
    auto pApache = std::make_unique<CApacheConfig>();
    if (!pApache->load(source, request, fnNote, strError))
        return nullptr;
    return pApache;
}

bool CApply::checkServer(bool& bFindings) {
    // The server's other vhosts against the entries: the files of the site directory that are
    // Kelvane's are the run's own, wherever the server includes them from.
    tagGenRequest request = m_request;
    request.layout.strSplitDir = m_config.strSitesDir;
    request.strOutFile.clear();
    m_fnStep("checking what the server loaded: " + m_config.strServerCmd);
    std::string strError;
    m_pChecked = loadServer(request, strError);
    if (!m_pChecked)
        return fail(strError);
    CListCheck check(request, m_pChecked.get());
    tagGenResult result;
    const bool bRan = check.run(
        [&](const tagFinding& finding) {
            bFindings = true;
            m_fnFinding(finding);
        },
        result);
    if (!bRan)
        return fail("cannot check the list: " + result.strReason);
    return true;
}

bool CApply::writeJournal(bool bReloading) {
    std::string strText = std::string(kJournalHead) + "\n";
    for (const auto& [pFiles, pszWhat] :
         {std::pair{&m_plan.vecAdd, "add "}, std::pair{&m_plan.vecChange, "change "},
          std::pair{&m_plan.vecRemove, "remove "}, std::pair{&m_plan.vecLink, "link "},
          std::pair{&m_plan.vecUnlink, "unlink "}})
        for (const std::string& strName : *pFiles)
            strText += pszWhat + strName + "\n";
    if (bReloading)
        strText += std::string(kReloading) + "\n";
    if (!bReloading) {
        // The files a change or a removal replaces keep a second name until the commit.
        const std::string strBackup = m_strWork + kSep + "backup";
        if (sys::makeDir(strBackup) != 0)
            return fail("cannot make " + strBackup + ": " + file::errorText(errno));
        for (const std::vector<std::string>* pFiles : {&m_plan.vecChange, &m_plan.vecRemove})
            for (const std::string& strName : *pFiles)
                if (sys::hardLink(sitePath(strName), strBackup + kSep + strName) != 0)
                    return fail("cannot keep " + sitePath(strName) + ": " + file::errorText(errno));
        sys::syncDir(strBackup);
    }
    std::string strReason;
    if (!file::replaceAtomically(m_strWork + kSep + "journal", strText, strReason))
        return fail("cannot write the journal in " + m_strWork + ": " + strReason);
    sys::syncDir(m_strWork);
    return true;
}

bool CApply::applyFiles() {
    const std::size_t nWrite = m_plan.vecAdd.size() + m_plan.vecChange.size();
    m_fnStep(
        "writing " + std::to_string(nWrite) + (nWrite == 1 ? " file" : " files") +
        (m_plan.vecRemove.empty() ? std::string() : ", removing " + std::to_string(m_plan.vecRemove.size())));
    const std::string strNew = m_strWork + kSep + "new";
    for (const std::vector<std::string>* pFiles : {&m_plan.vecAdd, &m_plan.vecChange})
        for (const std::string& strName : *pFiles)
            if (sys::renameOver(strNew + kSep + strName, sitePath(strName)) != 0)
                return fail("cannot write " + sitePath(strName) + ": " + file::errorText(errno));
    for (const std::string& strName : m_plan.vecRemove)
        if (sys::removeFile(sitePath(strName)) != 0)
            return fail("cannot remove " + sitePath(strName) + ": " + file::errorText(errno));
    sys::syncDir(m_config.strSitesDir);
    for (const std::string& strName : m_plan.vecLink)
        if (sys::makeSymlink(m_strSitesCanonical + strName, enabledPath(strName)) != 0)
            return fail("cannot link " + enabledPath(strName) + ": " + file::errorText(errno));
    for (const std::string& strName : m_plan.vecUnlink)
        if (sys::removeFile(enabledPath(strName)) != 0)
            return fail("cannot remove " + enabledPath(strName) + ": " + file::errorText(errno));
    if (!m_config.strEnabledDir.empty())
        sys::syncDir(m_config.strEnabledDir);
    return true;
}

bool CApply::rollBack(bool bReload) {
    const std::string strBackup = m_strWork + kSep + "backup";
    for (const std::string& strName : m_plan.vecLink)
        if (isLink(enabledPath(strName)))
            sys::removeFile(enabledPath(strName));
    for (const std::string& strName : m_plan.vecUnlink)
        if (!exists(enabledPath(strName)))
            sys::makeSymlink(m_strSitesCanonical + strName, enabledPath(strName));
    for (const std::string& strName : m_plan.vecAdd)
        if (startsWithMarker(sitePath(strName)))
            sys::removeFile(sitePath(strName));
    for (const std::vector<std::string>* pFiles : {&m_plan.vecChange, &m_plan.vecRemove})
        for (const std::string& strName : *pFiles)
            if (exists(strBackup + kSep + strName))
                sys::renameOver(strBackup + kSep + strName, sitePath(strName));
    sys::syncDir(m_config.strSitesDir);
    if (!m_config.strEnabledDir.empty())
        sys::syncDir(m_config.strEnabledDir);
    bool bOk = true;
    if (bReload) {
        m_fnStep("reloading what the server served before: " + m_config.strReloadCmd);
        std::string strOutput, strError = m_strError;
        bOk = runCommand("the reload", m_config.strReloadCmd, strOutput);
        m_strError = strError + (bOk ? "" : "; and the reload of the previous files failed too");
    }
    sys::removeFile(m_strWork + kSep + "journal");
    sys::syncDir(m_strWork);
    removeTree(m_strWork);
    m_fnStep("rolled back: the files and links are as they were");
    return bOk;
}

bool CApply::recover() {
    std::string strJournal, strReason;
    if (!file::readAll(m_strWork + kSep + "journal", strJournal, strReason)) {
        // No journal: nothing was changed; whatever was left is of no use.
        removeTree(m_strWork);
        return true;
    }
    if (!strJournal.starts_with(kJournalHead))
        return fail("cannot read the journal " + m_strWork + "/journal: not a journal of this program");
    m_fnStep("an earlier apply did not end: putting back the files it changed");
    m_plan = {};
    bool bReloading = false;
    std::size_t nAt = strJournal.find('\n');
    while (nAt != std::string::npos && nAt + 1 < strJournal.size()) {
        const std::size_t nEnd = strJournal.find('\n', nAt + 1);
        const std::string strLine =
            strJournal.substr(nAt + 1, nEnd == std::string::npos ? std::string::npos : nEnd - nAt - 1);
        nAt = nEnd;
        const std::size_t nSpace = strLine.find(' ');
        const std::string strWhat = strLine.substr(0, nSpace);
        const std::string strName = nSpace == std::string::npos ? std::string() : strLine.substr(nSpace + 1);
        // A name is a file of the directory: nothing that leads out of it.
        if (!strName.empty() &&
            (strName.find(kSep) != std::string::npos || strName == "." || strName == ".."))
            return fail("cannot read the journal " + m_strWork +
                        "/journal: a name that leaves the directory");
        if (strWhat == "add")
            m_plan.vecAdd.push_back(strName);
        else if (strWhat == "change")
            m_plan.vecChange.push_back(strName);
        else if (strWhat == "remove")
            m_plan.vecRemove.push_back(strName);
        else if (strWhat == "link")
            m_plan.vecLink.push_back(strName);
        else if (strWhat == "unlink")
            m_plan.vecUnlink.push_back(strName);
        else if (strWhat == kReloading)
            bReloading = true;
    }
    if (!rollBack(bReloading))
        return fail(m_strError);
    m_plan = {};
    return true;
}

bool CApply::runCommand(const std::string& strWhat, const std::string& strCommand, std::string& strOutput) {
    strOutput.clear();
    sys::tagCommandResult result;
    sys::runCommand(
        strCommand, {kMaxCommandOutput, kCommandTimeout},
        [&strOutput](std::string_view piece) {
            if (strOutput.size() < 64 * 1024)
                strOutput.append(piece.substr(0, 64 * 1024 - strOutput.size()));
        },
        result);
    if (result.eEnd == sys::ECommandEnd::Exited && result.nCode == 0)
        return true;
    std::string strWhy;
    switch (result.eEnd) {
    case sys::ECommandEnd::Exited:
        strWhy = "exit status " + std::to_string(result.nCode);
        break;
    case sys::ECommandEnd::Signalled:
        strWhy = "ended by signal " + std::to_string(result.nCode);
        break;
    case sys::ECommandEnd::TooLarge:
        strWhy = "it printed too much";
        break;
    case sys::ECommandEnd::TooLong:
        strWhy = "it ran too long";
        break;
    case sys::ECommandEnd::NotRun:
        strWhy = result.strReason;
        break;
    }
    const std::string strMessage(text::trimmed(result.strErr + strOutput, " \t\r\n"));
    return fail(strWhat + " failed (" + strCommand + ": " + strWhy + ")" +
                (strMessage.empty() ? std::string() : ":\n" + strMessage));
}

bool CApply::verify(std::string& strWrong) {
    // What the server loaded now, every vhost counted: the files apply wrote among them.
    tagGenRequest request = m_request;
    request.layout.strSplitDir.clear();
    request.strOutFile = std::string(kStdOutPath);
    std::string strError;
    const std::unique_ptr<CServerConfig> pServer = loadServer(request, strError);
    if (!pServer) {
        strWrong = strError;
        return false;
    }
    const tagAddress addr = entry::entryAddresses(m_request.layout).plain;
    std::vector<std::string> vecCanonical(m_vecFiles.size());
    std::vector<std::string> vecVhostFiles(pServer->vhostCount());
    std::size_t nWrong = 0;
    for (const auto& [strName, nFile] : m_vecNames) {
        if (vecCanonical[nFile].empty())
            vecCanonical[nFile] = m_strSitesCanonical + m_vecFiles[nFile];
        tagTaken taken;
        const bool bTaken = pServer->takes(addr, strName, taken);
        if (bTaken && vecVhostFiles[taken.nVhost].empty())
            vecVhostFiles[taken.nVhost] =
                file::canonicalPath(std::string(pServer->vhost(taken.nVhost).strFile));
        if (bTaken && file::samePath(vecVhostFiles[taken.nVhost], vecCanonical[nFile]))
            continue;
        if (nWrong++ < 10)
            strWrong += (nWrong > 1 ? ", " : "") + strName + " (" +
                        (bTaken ? std::string(pServer->vhost(taken.nVhost).strFile) + ":" +
                                      std::to_string(pServer->vhost(taken.nVhost).nLine)
                                : std::string("no vhost")) +
                        ")";
    }
    if (nWrong > 10)
        strWrong += " and " + std::to_string(nWrong - 10) + " more";
    return nWrong == 0;
}

bool CApply::probe(std::string& strWrong) {
    std::set<std::string> setWritten(m_plan.vecAdd.begin(), m_plan.vecAdd.end());
    setWritten.insert(m_plan.vecChange.begin(), m_plan.vecChange.end());
    std::size_t nAsked = 0, nWrong = 0;
    for (const auto& [strName, nFile] : m_vecNames) {
        if (setWritten.count(m_vecFiles[nFile]) == 0 || strName.find('*') != std::string::npos)
            continue;
        if (nAsked++ == 0)
            m_fnStep("asking the written names over HTTP at " + m_config.strProbeIp + ":" +
                     std::to_string(m_config.nProbePort));
        const int nStatus = sys::httpStatus(m_config.strProbeIp, m_config.nProbePort, strName, 5000);
        if (nStatus >= 0 && nStatus < 500)
            continue;
        if (nWrong++ < 10)
            strWrong += (nWrong > 1 ? ", " : "") + strName + " (" +
                        (nStatus < 0 ? file::errorText(errno) : "HTTP " + std::to_string(nStatus)) + ")";
    }
    if (nWrong > 10)
        strWrong += " and " + std::to_string(nWrong - 10) + " more";
    return nWrong == 0;
}

void CApply::tellMoves() {
    // What the server loaded now, every vhost counted, against the file each name is planned in.
    tagGenRequest request = m_request;
    request.layout.strSplitDir.clear();
    request.strOutFile = std::string(kStdOutPath);
    std::string strError;
    const std::unique_ptr<CServerConfig> pServer = loadServer(request, strError);
    if (!pServer)
        return;
    const tagAddress addr = entry::entryAddresses(m_request.layout).plain;
    std::vector<std::string> vecVhostFiles(pServer->vhostCount());
    const CServerCheck after(*m_pChecked, m_request.layout);
    for (const auto& [strName, nFile] : m_vecNames) {
        // A name that another vhost keeps after the run is a finding, not a move.
        tagTaken taken;
        tagNameFinding kept;
        if (!pServer->takes(addr, strName, taken) || after.takenFirst(strName, kept))
            continue;
        const tagVhostInfo vhost = pServer->vhost(taken.nVhost);
        if (vecVhostFiles[taken.nVhost].empty())
            vecVhostFiles[taken.nVhost] = file::canonicalPath(std::string(vhost.strFile));
        if (!file::samePath(vecVhostFiles[taken.nVhost], m_strSitesCanonical + m_vecFiles[nFile]))
            m_fnPlanLine("move " + strName + " " + std::string(vhost.strFile) + ":" +
                         std::to_string(vhost.nLine) + " -> " + sitePath(m_vecFiles[nFile]));
    }
}
