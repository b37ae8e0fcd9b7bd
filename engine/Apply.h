#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/ListCheck.h"
#include "engine/ServerConfig.h"

class CServerConfig;

// Where apply puts the entries and how it speaks to the server.
struct tagApplyConfig {
    std::string strSitesDir;   // one file per entry, as --split writes them
    std::string strEnabledDir; // a link to each file there (Debian's sites-enabled); empty: none
    std::string strTestCmd;    // the server's own test of its configuration
    std::string strReloadCmd;  // its graceful reload
    std::string strServerCmd;  // what it loaded: apache2ctl -S, nginx -T
    bool bPrune = false;       // also remove the files of an earlier apply that the list no longer has
    bool bForce = false;       // go on past the check's findings
    bool bDryRun = false;      // the plan only
    bool bNoWait = false;      // another apply on the directory ends this one at once
    bool bRecoverOnly = false; // put back what an apply that died left, and stop
    std::string strProbeIp;    // also ask each name of a written file over HTTP there; empty: not
    int nProbePort = 80;
};

enum class EApplyEnd {
    Done,      // the server serves the new files
    Planned,   // --dry-run: the plan was told
    Recovered, // --recover: what was left is put back (or nothing was left)
    Findings,  // the check found something: nothing was changed
    Busy,      // --no-wait and another apply holds the directory
    Failed,    // a step failed: everything was put back as it was (error() says why)
    RunFailed, // the list or the options could not make entries (runResult() says why)
};

// The files of a site directory against the entries of a list.
struct tagApplyPlan {
    std::vector<std::string> vecAdd, vecChange, vecRemove, vecKeep; // file names
    std::vector<std::string> vecLink, vecUnlink;                    // in the enabled directory
};

// From a list to a live server, as a transaction: the plan (the split layout against the site
// directory, and the check of the server's other vhosts), the lock, a journal, the files and
// links, the server's test, its reload, and a check that it serves each name from its planned
// file. A failed step puts back the files and links as they were, and reloads when the server had
// been reloaded; an apply that dies leaves its journal, from which the next one does the same
// before anything else.
class CApply {
public:
    // The first line of each file apply writes: it tells them from the user's.
    static constexpr std::string_view kMarker = "# kelvane-cli apply";
    using FnSay = std::function<void(const std::string&)>;
    using FnFinding = std::function<void(const tagFinding&)>;

    // request: a run's, its layout a file per entry; fnStep tells each step, fnPlanLine each line of
    // a --dry-run's plan, fnFinding each finding of the check.
    CApply(tagGenRequest request, tagApplyConfig config, FnSay fnStep, FnSay fnPlanLine, FnFinding fnFinding);
    ~CApply();
    CApply(const CApply&) = delete;
    CApply& operator=(const CApply&) = delete;

    EApplyEnd run();

    const std::string& error() const { return m_strError; }
    const tagGenResult& runResult() const { return m_runResult; }
    const tagApplyPlan& plan() const { return m_plan; }
    std::int64_t namesServed() const { return static_cast<std::int64_t>(m_vecNames.size()); }

    // The plan of the staged files, and of those the run found unchanged, against the site
    // directory; false with strError.
    static bool comparePlan(const std::string& strStaged, const std::vector<std::string>& vecUnchanged,
                            const std::string& strSitesDir, const std::string& strEnabledDir, bool bPrune,
                            tagApplyPlan& plan, std::string& strError);

private:
    bool fail(const std::string& strError);
    bool recover();
    bool makePlan();
    // bFindings: the check found something; false when it could not be made.
    bool checkServer(bool& bFindings);
    bool writeJournal(bool bReloading);
    bool applyFiles();
    // Puts back what the journal says was changed; bReload: and reloads the server.
    bool rollBack(bool bReload);
    bool runCommand(const std::string& strWhat, const std::string& strCommand, std::string& strOutput);
    bool verify(std::string& strWrong);
    // A dry run's lines for the names that another vhost serves now.
    void tellMoves();
    // Each name of a written file asked over HTTP: no answer, or a 5xx, is wrong.
    bool probe(std::string& strWrong);
    std::unique_ptr<CServerConfig> loadServer(const tagGenRequest& request, std::string& strError);
    std::string sitePath(const std::string& strName) const;
    std::string enabledPath(const std::string& strName) const;

    tagGenRequest m_request;
    tagApplyConfig m_config;
    FnSay m_fnStep;
    FnSay m_fnPlanLine;
    FnFinding m_fnFinding;
    std::string m_strWork; // the site directory's .kelvane-apply: journal, backups, new files
    std::string m_strSitesCanonical;
    int m_fdLock = -1;
    tagApplyPlan m_plan;
    // Each name of the entries, with its file's place in m_vecFiles.
    std::vector<std::pair<std::string, std::uint32_t>> m_vecNames;
    std::vector<std::string> m_vecFiles;
    std::unique_ptr<CServerConfig> m_pChecked; // what the check read, the site directory's own left out
    tagGenResult m_runResult;
    std::string m_strError;
};
