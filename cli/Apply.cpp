#include "cli/Apply.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Check.h"
#include "cli/CliTarget.h"
#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/Process.h"
#include "core/Sys.h"
#include "engine/Address.h"
#include "engine/Apply.h"

namespace {

constexpr const char* kGroupApply = "The server (apply)";

void say(const std::string& strText) {
    std::fprintf(stderr, "kelvane-cli: %s\n", strText.c_str());
}

bool isDir(const std::string& strPath) {
    sys::tagFileInfo info;
    return sys::statPath(strPath, info) && info.bDir;
}

// Where this system's server keeps its sites, and its commands: Debian's and Ubuntu's Apache and
// nginx (sites-available, linked from sites-enabled), RHEL's Apache (conf.d), nginx elsewhere.
void systemDefaults(EServerKind eServer, tagApplyConfig& config) {
    const std::vector<std::string> vecDirs{"/usr/sbin", "/sbin", "/usr/local/sbin", "/usr/local/nginx/sbin",
                                           "/usr/local/apache2/bin"};
    const auto quoted = [](const std::string& strPath) { return "'" + strPath + "'"; };
    if (eServer == EServerKind::Nginx) {
        const std::string strNginx = sys::findProgram("nginx", vecDirs);
        const std::string strCmd = strNginx.empty() ? "nginx" : quoted(strNginx);
        config.strTestCmd = strCmd + " -t";
        config.strReloadCmd = strCmd + " -s reload";
        config.strServerCmd = strCmd + " -T";
        if (isDir("/etc/nginx/sites-available")) {
            config.strSitesDir = "/etc/nginx/sites-available";
            config.strEnabledDir = "/etc/nginx/sites-enabled";
        } else {
            config.strSitesDir = "/etc/nginx/conf.d";
        }
        return;
    }
    std::string strCtl = sys::findProgram("apache2ctl", vecDirs);
    if (strCtl.empty())
        strCtl = sys::findProgram("apachectl", vecDirs);
    const std::string strCmd = strCtl.empty() ? "apachectl" : quoted(strCtl);
    config.strTestCmd = strCmd + " configtest";
    config.strReloadCmd = strCmd + " graceful";
    config.strServerCmd = strCmd + " -S";
    if (isDir("/etc/apache2/sites-available")) {
        config.strSitesDir = "/etc/apache2/sites-available";
        config.strEnabledDir = "/etc/apache2/sites-enabled";
    } else {
        config.strSitesDir = "/etc/httpd/conf.d";
    }
}

} // namespace

int applyMain(int argc, char** argv) {
    CLI::App app{"Puts the entries of a list on a live server as a transaction: one file an entry in the "
                 "server's site directory (as --split writes them), then the server's own test, a graceful "
                 "reload and a check that it serves each name from its file; a failed step puts every file "
                 "and link back as it was. Try it with --dry-run first.",
                 "kelvane-cli apply"};
    tagRunOptions options;
    addRunOptions(app, options);
    // --recover needs no list and no site path: only the directory and the server's commands.
    app.get_option("--site-path")->required(false);
    tagApplyConfig config;
    std::string strSitesDir, strEnabledDir, strTestCmd, strReloadCmd, strServerCmd;
    app.add_option("--sites-dir", strSitesDir,
                   "The directory of the site files (default: /etc/apache2/sites-available, else "
                   "/etc/httpd/conf.d; for nginx /etc/nginx/sites-available, else /etc/nginx/conf.d)")
        ->type_name("DIR")
        ->group(kGroupApply);
    app.add_option("--enabled-dir", strEnabledDir,
                   "A link there to each file, as the server reads them (default with the default site "
                   "directory: its sites-enabled; none with --sites-dir)")
        ->type_name("DIR")
        ->group(kGroupApply);
    app.add_option("--test-cmd", strTestCmd,
                   "The server's test of its configuration (default: apache2ctl configtest, nginx -t)")
        ->type_name("CMD")
        ->group(kGroupApply);
    app.add_option("--reload-cmd", strReloadCmd,
                   "Its graceful reload (default: apache2ctl graceful, nginx -s reload)")
        ->type_name("CMD")
        ->group(kGroupApply);
    app.add_option("--server-cmd", strServerCmd,
                   "What it loaded, for the check before and the verification after (default: apache2ctl "
                   "-S, nginx -T); each command runs through /bin/sh -c")
        ->type_name("CMD")
        ->group(kGroupApply);
    app.add_flag("--prune", config.bPrune,
                 "Also remove the files an earlier apply wrote (their first line says so) that the list no "
                 "longer has; never a file of the user's")
        ->group(kGroupApply);
    app.add_flag("--force", config.bForce, "Go on past the check's findings")->group(kGroupApply);
    app.add_flag("--dry-run", config.bDryRun,
                 "Print the plan (add, change, remove, keep FILE; link, unlink LINK; move NAME FROM -> FILE) "
                 "and the check's "
                 "findings, and change nothing")
        ->group(kGroupApply);
    app.add_flag("--no-wait", config.bNoWait, "When another apply holds the directory, end at once (exit 1)")
        ->group(kGroupApply);
    app.add_flag("--recover", config.bRecoverOnly,
                 "Only put back what an apply that died left (any apply does that first), and stop")
        ->group(kGroupApply);
    std::string strProbe;
    app.add_option("--probe", strProbe,
                   "After the reload, also ask each name of a written file over HTTP at ADDR (IPv4:PORT or "
                   "[IPv6]:PORT) with its Host header: no answer, or a 5xx, puts everything back")
        ->type_name("ADDR")
        ->group(kGroupApply);
    if (int nExit = 0; !cmdline::parseSubcommand(
            app,
            "Exit status: 0 done (or planned, or recovered), 1 a step failed and everything was put back (or "
            "another apply holds the directory, with --no-wait), 2 a usage error, 3 the check found "
            "something "
            "(nothing was changed; --force goes on).",
            argc, argv, nExit))
        return nExit;
    const auto usage = [](const std::string& strText) {
        say(strText + "\nRun 'kelvane-cli apply --help' to see the options.");
        return exitstatus::kUsage;
    };
    for (const char* pszOption : {"--output", "--split", "--template", "--certbot", "--nginx-hash-conf"})
        if (app.count(pszOption) > 0)
            return usage(std::string(pszOption) +
                         " is not for apply, which writes a file an entry in the site directory");
    tagGenRequest request;
    if (config.bRecoverOnly) {
        request.eServer = options.strServerKind == "nginx" ? EServerKind::Nginx : EServerKind::Apache;
    } else if (app.count("--site-path") == 0) {
        return usage("--site-path is required");
    } else if (std::string strError; !makeRequest(app, options, request, strError)) {
        return usage(strError);
    }
    systemDefaults(request.eServer, config);
    if (!strSitesDir.empty()) {
        config.strSitesDir = strSitesDir;
        config.strEnabledDir.clear();
    }
    if (app.count("--enabled-dir") > 0)
        config.strEnabledDir = strEnabledDir;
    if (!strProbe.empty()) {
        tagAddress probeAddr;
        std::string strReason;
        if (!tagAddress::parseListen(strProbe, probeAddr, strReason) || probeAddr.anyHost() ||
            probeAddr.nPort == 0)
            return usage("--probe '" + strProbe + "': an IPv4:PORT or [IPv6]:PORT address" +
                         (strReason.empty() ? std::string() : " (" + strReason + ")"));
        config.strProbeIp = probeAddr.strHost;
        if (config.strProbeIp.starts_with('['))
            config.strProbeIp = config.strProbeIp.substr(1, config.strProbeIp.size() - 2);
        config.nProbePort = probeAddr.nPort;
    }
    for (const auto& [pValue, pTarget] :
         {std::pair{&strTestCmd, &config.strTestCmd}, std::pair{&strReloadCmd, &config.strReloadCmd},
          std::pair{&strServerCmd, &config.strServerCmd}})
        if (!pValue->empty())
            *pTarget = *pValue;
    // The list is read twice, for the files and for the names each is to serve: standard input
    // is read first.
    if (request.eList == EListSource::StdIn) {
        std::string strText;
        char buffer[64 * 1024];
        for (std::int64_t n; (n = sys::readFd(sys::kStdIn, buffer, sizeof buffer)) > 0;)
            strText.append(buffer, static_cast<std::size_t>(n));
        request.eList = EListSource::Text;
        request.strList = std::move(strText);
    }

    // A closed pipe on the plan's lines is a failed write, not the end of an apply mid-way.
    sys::failWritesInsteadOfSignals();
    const auto start = std::chrono::steady_clock::now();
    const bool bQuiet = options.bQuiet;
    const std::string strListName = request.eList == EListSource::File ? request.strList : std::string("-");
    std::int64_t nFindings = 0;
    // On a terminal each step takes the place of the last on one line; elsewhere a line each.
    CConsole console(!bQuiet && sys::rewritesLines(sys::kStdErr));
    CApply apply(
        request, config,
        [bQuiet, &console](const std::string& strStep) {
            if (bQuiet)
                return;
            if (console.showsProgress())
                console.progress("kelvane-cli: " + strStep);
            else
                console.message("kelvane-cli: " + strStep);
        },
        [&console](const std::string& strLine) {
            console.clearProgress();
            std::printf("%s\n", strLine.c_str());
        },
        [&](const tagFinding& finding) {
            ++nFindings;
            console.clearProgress();
            std::printf("%s\n", findingText(finding, strListName, request.eServer).c_str());
        });
    const EApplyEnd eEnd = apply.run();
    std::fflush(stdout);
    console.clearProgress();
    const tagApplyPlan& plan = apply.plan();
    switch (eEnd) {
    case EApplyEnd::Done: {
        const double fSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char szTime[32];
        std::snprintf(szTime, sizeof szTime, "%.1f s", fSeconds);
        if (!bQuiet)
            say("applied: " + std::to_string(plan.vecAdd.size()) + " added, " +
                std::to_string(plan.vecChange.size()) + " changed, " + std::to_string(plan.vecRemove.size()) +
                " removed, " + std::to_string(plan.vecKeep.size()) + " unchanged; " +
                std::to_string(apply.namesServed()) + " names served from " + config.strSitesDir + "; " +
                szTime);
        return exitstatus::kOk;
    }
    case EApplyEnd::Planned:
    case EApplyEnd::Recovered:
        return exitstatus::kOk;
    case EApplyEnd::Findings:
        say(std::to_string(nFindings) + (nFindings == 1 ? " finding" : " findings") +
            (config.bDryRun ? "" : ": nothing was changed; correct them, or apply with --force"));
        return exitstatus::kFindings;
    case EApplyEnd::Busy:
    case EApplyEnd::Failed:
        say(apply.error());
        return exitstatus::kFile;
    case EApplyEnd::RunFailed: {
        const tagGenResult& result = apply.runResult();
        say(report::failure(result, "-", request.eServer));
        const bool bUsage =
            result.eFailure == EGenFailure::SitePath || result.eFailure == EGenFailure::Prefix;
        return bUsage ? exitstatus::kUsage : exitstatus::kFile;
    }
    }
    return exitstatus::kFile;
}
