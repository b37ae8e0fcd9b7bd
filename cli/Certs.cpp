#include "cli/Certs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/CertStatus.h"
#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/PublicSuffix.h"
#include "core/Resolve.h"
#include "core/Sys.h"
#include "core/TextUtil.h"
#include "engine/CertGroups.h"

namespace {

constexpr const char* kGroupPlan = "The plan (certs plan only)";

void say(const std::string& strText) {
    std::fprintf(stderr, "kelvane-cli: %s\n", strText.c_str());
}

// "3 days 9 hours", "5 hours".
std::string spanText(std::int64_t nHours) {
    const std::int64_t nDays = nHours / 24;
    const std::int64_t nRest = nHours % 24;
    if (nDays == 0)
        return report::counted(nRest, "hour", "hours");
    return report::counted(nDays, "day", "days") +
           (nRest ? " " + report::counted(nRest, "hour", "hours") : "");
}

struct tagPending {
    std::int64_t nLine = 0;
    std::string strName;
    std::string strReason;
};

// The names that do not point at this server alone, with why; every other name passes.
bool precheck(const std::vector<certs::tagCertGroup>& vecGroups, const std::string& strDns,
              const std::vector<std::string>& vecServerAddrs,
              std::unordered_map<std::string, std::string>& pending, std::string& strError) {
    std::vector<std::string> vecNames;
    for (const certs::tagCertGroup& group : vecGroups)
        for (const std::string& strName : group.vecNames)
            if (!strName.starts_with("*."))
                vecNames.push_back(strName);
    std::vector<dns::tagAnswer> vecAnswers;
    if (!dns::resolveAll(vecNames, strDns, vecAnswers, strError))
        return false;
    for (std::size_t i = 0; i < vecNames.size(); ++i) {
        const dns::tagAnswer& answer = vecAnswers[i];
        if (answer.vecAddrs.empty()) {
            pending[vecNames[i]] = answer.strReason.empty() ? "no address" : answer.strReason;
            continue;
        }
        for (const std::string& strAddr : answer.vecAddrs) {
            if (std::find(vecServerAddrs.begin(), vecServerAddrs.end(), strAddr) == vecServerAddrs.end()) {
                pending[vecNames[i]] = "points at " + strAddr + ", not at this server";
                break;
            }
        }
    }
    return true;
}

int planMain(int argc, char** argv) {
    CLI::App app{"Writes the certbot commands that obtain the certificates of a run's entries with --https "
                 "(one an entry, named after its first domain), in waves within the certificate "
                 "authority's limits (--limit-orders, --limit-domain: Let's Encrypt's by default), as a "
                 "shell script: sh FILE WAVE runs one wave. Each set of names is ordered once, so a "
                 "wave run again leaves a certificate that exists to certbot, which keeps it until it is "
                 "due, and the limit on duplicate certificates holds.",
                 "kelvane-cli certs plan"};
    tagRunOptions options;
    options.strOutput.clear();
    addRunOptions(app, options);
    bool bPrecheck = false;
    std::vector<std::string> vecServerAddrs;
    std::string strDns, strCertbotCmd = "certbot", strStart = "now";
    app.add_flag("--precheck", bPrecheck,
                 "Resolve each name (A and AAAA) first and leave out of the commands every name that does "
                 "not point at this server alone: it is listed as pending with the reason, and its "
                 "certificate is ordered without it, so that one stray name never fails a certificate")
        ->group(kGroupPlan);
    app.add_option("--server-addr", vecServerAddrs,
                   "With --precheck: an address of this server (again for more); default: this "
                   "machine's own addresses")
        ->type_name("ADDR")
        ->group(kGroupPlan);
    app.add_option("--dns", strDns,
                   "With --precheck: ask this DNS server (IPv4:PORT, [IPv6]:PORT) instead of the "
                   "system's resolver")
        ->type_name("ADDR:PORT")
        ->group(kGroupPlan);
    app.add_option("--certbot-cmd", strCertbotCmd,
                   "How the commands start instead of certbot: a program, with its own options, inserted as "
                   "typed (for another authority: 'certbot --server URL')")
        ->type_name("CMD")
        ->group(kGroupPlan);
    app.add_option("--start", strStart,
                   "When the first wave may start, in UTC: 2026-12-08T11:00Z (default now)")
        ->type_name("TIME")
        ->group(kGroupPlan);
    if (int nExit = 0; !cmdline::parseSubcommand(
            app,
            "The script goes to --output, else standard output; the summary, and a line for each pending "
            "name (LIST:LINE: pending: NAME: reason), to standard error. Exit status: 0 the plan is written, "
            "1 a file could not be read or written or the names could not be resolved, 2 a usage error.",
            argc, argv, nExit))
        return nExit;
    const auto usage = [](const std::string& strText) {
        say(strText + "\nRun 'kelvane-cli certs plan --help' to see the options.");
        return exitstatus::kUsage;
    };
    const std::string strOutput = options.strOutput;
    options.strOutput = "-";
    // The plan is for entries with certificates, as --https writes them.
    if (options.strHttps.empty())
        options.strHttps = "existing";
    tagGenRequest request;
    if (std::string strError; !makeRequest(app, options, request, strError))
        return usage(strError);
    if (!request.layout.strCertbotFile.empty())
        return usage("--certbot: the plan is the certbot commands; --output names its file");
    if (!bPrecheck && (!vecServerAddrs.empty() || !strDns.empty()))
        return usage("--server-addr and --dns need --precheck");
    std::int64_t nStart = 0;
    if (strStart == "now")
        nStart = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    else if (!report::parseUtcTime(strStart, nStart))
        return usage("--start '" + strStart + "': a time in UTC as 2026-12-08T11:00Z, or now");
    if (strCertbotCmd.empty() || strCertbotCmd.find_first_of("\r\n") != std::string::npos)
        return usage("--certbot-cmd: a command on one line");

    const auto started = std::chrono::steady_clock::now();
    const std::string strListName =
        request.eList == EListSource::StdIn ? std::string(kStdInName) : request.strList;
    // The commands, each in the earliest wave the limits allow: as the certificates come, or once
    // every name is resolved.
    certs::CWavePlan waves(request.layout.certLimits);
    std::vector<std::string> vecWaves;
    std::vector<tagPending> vecPending;
    std::unordered_map<std::string, std::string> pending;
    std::int64_t nNames = 0, nCerts = 0, nWildcards = 0;
    const auto take = [&](const certs::tagCertGroup& group) {
        std::string strArgs;
        for (std::size_t i = 0; i < group.vecNames.size(); ++i) {
            const std::string& strName = group.vecNames[i];
            if (strName.find_first_of("*?") != std::string::npos) {
                ++nWildcards;
                continue;
            }
            if (const auto it = pending.find(strName); it != pending.end()) {
                vecPending.push_back({group.vecLines[i], strName, it->second});
                continue;
            }
            strArgs += " -d " + text::shellWord(strName);
            ++nNames;
        }
        if (strArgs.empty())
            return;
        const std::size_t nWave = waves.add(group.vecRegistered);
        if (vecWaves.size() <= nWave)
            vecWaves.resize(nWave + 1);
        vecWaves[nWave] += "    " + strCertbotCmd + " certonly --webroot -w " +
                           text::shellWord(request.strSitePath) + " --cert-name " +
                           text::shellWord(group.strName) + strArgs + " || failed=$((failed + 1))\n";
        ++nCerts;
    };
    std::vector<certs::tagCertGroup> vecGroups;
    tagGenResult result;
    if (!certs::collectGroups(
            request,
            [&](certs::tagCertGroup& group) {
                if (bPrecheck)
                    vecGroups.push_back(std::move(group));
                else
                    take(group);
            },
            result)) {
        say(report::failure(result, kStdOutPath, request.eServer));
        return result.eFailure == EGenFailure::SitePath || result.eFailure == EGenFailure::Prefix
                   ? exitstatus::kUsage
                   : exitstatus::kFile;
    }
    if (!options.bQuiet)
        for (const std::string& strLine : report::lineReports(result, strListName))
            std::fprintf(stderr, "%s\n", strLine.c_str());
    if (bPrecheck) {
        if (vecServerAddrs.empty())
            vecServerAddrs = dns::localAddresses();
        for (std::string& strAddr : vecServerAddrs)
            if (strAddr.size() > 2 && strAddr.front() == '[' && strAddr.back() == ']')
                strAddr = strAddr.substr(1, strAddr.size() - 2);
        std::string strError;
        if (!precheck(vecGroups, strDns, vecServerAddrs, pending, strError)) {
            say("cannot resolve the names: " + strError);
            return exitstatus::kFile;
        }
        for (const certs::tagCertGroup& group : vecGroups)
            take(group);
    }
    std::sort(vecPending.begin(), vecPending.end(),
              [](const tagPending& a, const tagPending& b) { return a.nLine < b.nLine; });

    const std::int64_t nWaves = static_cast<std::int64_t>(vecWaves.size());
    const std::int64_t nLastHours = nWaves > 0 ? waves.startHours(vecWaves.size() - 1) : 0;
    const std::string strWhat = report::counted(nCerts, "certificate", "certificates") + " for " +
                                report::counted(nNames, "name", "names") + " in " +
                                report::counted(nWaves, "wave", "waves");
    std::string strScript = "#!/bin/sh\n# kelvane-cli certs plan: " + strWhat;
    if (!vecPending.empty())
        strScript += ", " + report::counted(static_cast<std::int64_t>(vecPending.size()), "name", "names") +
                     " pending";
    const tagCertLimits& limits = request.layout.certLimits;
    strScript += ".\n# Within " + report::counted(limits.nOrders, "new order", "new orders") + " in " +
                 report::counted(limits.nOrdersHours, "hour", "hours") + " and " +
                 report::counted(limits.nPerDomain, "new certificate", "new certificates") +
                 " of a registered domain in " + report::counted(limits.nPerDomainHours, "hour", "hours") +
                 ".\n# Run each wave once it may start: sh FILE WAVE\n";
    for (const tagPending& item : vecPending)
        strScript += "# pending: " + item.strName + ": " + item.strReason + "\n";
    const auto startOf = [&](std::size_t nWave) { return nStart + waves.startHours(nWave) * 3600; };
    strScript += "failed=0\ncase ${1:-} in\n";
    for (std::size_t nWave = 0; nWave < vecWaves.size(); ++nWave) {
        const std::int64_t nStartSeconds = startOf(nWave);
        strScript +=
            std::to_string(nWave + 1) + ")\n    # " +
            report::counted(static_cast<std::int64_t>(waves.ordersIn(nWave)), "certificate", "certificates") +
            "; may start at " + report::utcTime(startOf(nWave)) + "\n";
        strScript += "    if [ \"$(date -u +%s)\" -lt " + std::to_string(nStartSeconds) +
                     " ]; then\n        echo \"$0: wave " + std::to_string(nWave + 1) + " may start at " +
                     report::utcTime(startOf(nWave)) +
                     ", within the authority's limits\" >&2\n        exit 3\n    fi\n";
        strScript += vecWaves[nWave] + "    ;;\n";
    }
    strScript += "*)\n    echo \"" +
                 (nWaves == 0 ? std::string("$0: this plan orders nothing")
                              : "usage: sh $0 WAVE, WAVE from 1 to " + std::to_string(nWaves)) +
                 "\" >&2\n    exit 2\n    ;;\nesac\n"
                 "if [ \"$failed\" -gt 0 ]; then\n    echo \"$0: $failed certbot commands failed\" >&2\n"
                 "    exit 1\nfi\n";

    std::string strReason;
    if (strOutput.empty() || strOutput == kStdOutPath) {
        std::size_t nWritten = 0;
        int nErrno = 0;
        if (!file::writeAll(sys::kStdOut, strScript, nWritten, nErrno)) {
            say("cannot write standard output: " + file::errorText(nErrno));
            return exitstatus::kFile;
        }
    } else if (!file::replaceAtomically(strOutput, strScript, strReason)) {
        say("cannot write '" + strOutput + "': " + strReason);
        return exitstatus::kFile;
    }
    if (!options.bQuiet) {
        for (const tagPending& item : vecPending)
            std::fprintf(stderr, "%s:%lld: pending: %s: %s\n", strListName.c_str(),
                         static_cast<long long>(item.nLine), item.strName.c_str(), item.strReason.c_str());
        if (nWildcards > 0)
            say(report::counted(nWildcards, "wildcard name", "wildcard names") +
                " left out: certbot's webroot method cannot obtain a wildcard (use a DNS challenge)");
        const double fSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        char szSeconds[32];
        std::snprintf(szSeconds, sizeof szSeconds, "%.2f s", fSeconds);
        say("certs plan: " + strWhat +
            (nWaves > 1 ? "; the last may start " + spanText(nLastHours) + " after the first, at " +
                              report::utcTime(startOf(vecWaves.size() - 1))
                        : std::string()) +
            (vecPending.empty()
                 ? std::string()
                 : "; " + report::counted(static_cast<std::int64_t>(vecPending.size()), "name", "names") +
                       " pending") +
            " (" + szSeconds + ")");
    }
    return exitstatus::kOk;
}

} // namespace

int certsMain(int argc, char** argv) {
    const std::string_view strWhat = argc > 1 ? std::string_view(argv[1]) : std::string_view();
    if (strWhat == "plan")
        return planMain(argc - 1, argv + 1);
    if (strWhat == "status")
        return certsStatusMain(argc - 1, argv + 1);
    if (strWhat == "-h" || strWhat == "--help") {
        std::printf("%s", cmdline::wrap("kelvane-cli certs plan [options] [LIST]: the certbot commands of "
                                        "the entries' certificates, in waves within the authority's limits; "
                                        "see kelvane-cli certs plan --help.\nkelvane-cli certs status "
                                        "[options] [LIST]: the certificates the entries name, what they "
                                        "cover and when they expire; see kelvane-cli certs status --help.",
                                        cmdline::kHelpWidth)
                              .append("\n")
                              .c_str());
        return exitstatus::kOk;
    }
    say(std::string(strWhat.empty() ? "certs needs plan or status"
                                    : "certs: plan or status, not '" + std::string(strWhat) + "'") +
        "\nRun 'kelvane-cli certs --help' to see them.");
    return exitstatus::kUsage;
}
