#include "cli/Check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/Process.h"
#include "core/Sys.h"
#include "engine/ApacheConfig.h"
#include "engine/EntryModel.h"
#include "engine/GenRequest.h"
#include "engine/ListCheck.h"
#include "engine/NameRule.h"
#include "engine/NginxConfig.h"
#include "engine/ServerCheck.h"

namespace {

constexpr int kExitOk = exitstatus::kOk;
constexpr int kExitFile = exitstatus::kFile;
constexpr int kExitUsage = exitstatus::kUsage;
constexpr int kExitFindings = exitstatus::kFindings;

void say(const std::string& strText) {
    std::fprintf(stderr, "kelvane-cli: %s\n", strText.c_str());
}

// Standard output, written in large pieces; a failed write is remembered and told at the end.
class CFindings {
public:
    ~CFindings() { flush(); }
    void add(std::string_view strLine) {
        addLine(strLine);
        ++m_nCount;
    }
    // A line that is no finding.
    void addLine(std::string_view strLine) {
        m_strBuffer.append(strLine);
        m_strBuffer.push_back('\n');
        if (m_strBuffer.size() >= 64 * 1024)
            flush();
    }
    void flush() {
        std::size_t nWritten = 0;
        if (!m_strBuffer.empty() && m_nErrno == 0 &&
            !file::writeAll(sys::kStdOut, m_strBuffer, nWritten, m_nErrno) && m_nErrno == 0)
            m_nErrno = EIO;
        m_strBuffer.clear();
    }
    std::int64_t count() const { return m_nCount; }
    int error() const { return m_nErrno; }

private:
    std::string m_strBuffer;
    std::int64_t m_nCount = 0;
    int m_nErrno = 0;
};

// The program `apache2ctl`, else `apachectl` (for nginx: `nginx`), looked for in PATH and where
// Debian puts them, as the sbin directories are often not in a user's PATH.
std::string serverCommandOf(EServerKind eServer) {
    if (eServer == EServerKind::Nginx) {
        const std::vector<std::string> vecDirs{"/usr/sbin", "/sbin", "/usr/local/sbin",
                                               "/usr/local/nginx/sbin"};
        const std::string strPath = sys::findProgram("nginx", vecDirs);
        return strPath.empty() ? "nginx -T" : "'" + strPath + "' -T";
    }
    const std::vector<std::string> vecDirs{"/usr/sbin", "/sbin", "/usr/local/sbin", "/usr/local/apache2/bin"};
    for (const char* pProgram : {"apache2ctl", "apachectl"})
        if (const std::string strPath = sys::findProgram(pProgram, vecDirs); !strPath.empty())
            return "'" + strPath + "' -S";
    return "apachectl -S";
}

// A file's name or a vhost's name from the server, as a finding shows it: its control characters
// (a line break in a file's name) escaped, so that each finding stays on a line of its own.
std::string shown(std::string_view str) {
    return names::visibleText(str, 16 * 1024);
}

std::string placeText(std::string_view strFile, std::int64_t nLine) {
    return shown(strFile) + ":" + std::to_string(nLine);
}

// Where the entries listen, as nginx reads the address: port 80 where the run writes no port.
std::string nginxAddress(const tagAddress& addr) {
    return addr.nPort == 0 ? addr.withPort(80).text() : addr.text();
}

std::string nameFindingText(std::string_view strName, const tagNameFinding& finding, EServerKind eServer) {
    const std::string strPlace = placeText(finding.name.strFile, finding.name.nLine);
    if (eServer == EServerKind::Nginx) {
        const std::string strBlock = "server {} on " + nginxAddress(finding.vhost.addr) + " at " + strPlace;
        if (finding.name.bWild)
            return "wildcard: " + std::string(strName) + " is taken by the server_name " +
                   shown(finding.name.strName) + " of " + strBlock;
        return "served: " + std::string(strName) + " is already served by " + strBlock +
               ": nginx keeps it there and ignores the entry's (\"conflicting server name\" at its start)";
    }
    const std::string strVhost = "<VirtualHost " + finding.vhost.addr.text() + "> at " + strPlace;
    if (finding.name.bWild)
        return "wildcard: " + std::string(strName) + " is taken by the wild alias " +
               shown(finding.name.strName) + " of " + strVhost;
    return "served: " + std::string(strName) + " is already served by " + strVhost;
}

std::string shadowText(const tagShadowFinding& shadow, EServerKind eServer) {
    const tagAddress& addr = shadow.vhost.addr;
    const bool bIp = !addr.anyHost();
    if (eServer == EServerKind::Nginx)
        return placeText(shadow.vhost.strFile, shadow.vhost.nLine) + ": shadow: server {} on " + addr.text() +
               " takes every request to " + addr.strHost + " on port " + std::to_string(addr.nPort) +
               " before the server {} entries on " + nginxAddress(shadow.entries) + "; use --listen " +
               addr.text();
    const std::string strFix = (bIp ? addr.strHost : std::string("'*")) + ":" +
                               (addr.nPort ? std::to_string(addr.nPort) : std::string("PORT")) +
                               (bIp ? "" : "'");
    return placeText(shadow.vhost.strFile, shadow.vhost.nLine) + ": shadow: <VirtualHost " + addr.text() +
           "> takes every request" + (bIp ? " to " + addr.strHost : "") +
           (addr.nPort ? " on port " + std::to_string(addr.nPort) : "") + " before the <VirtualHost " +
           shadow.entries.text() + "> entries; use --listen " + strFix;
}

// A finding as a line of the report.
std::string findingLine(const tagFinding& finding, const std::string& strListName, EServerKind eServer) {
    const std::string strWhere = strListName + ":" + std::to_string(finding.nLine) + ": ";
    switch (finding.eKind) {
    case tagFinding::EKind::Refused:
        return strWhere + report::reasonText(finding.eReason) + ": " + finding.strText;
    case tagFinding::EKind::Duplicate:
        return strWhere + "duplicate of line " + std::to_string(finding.nOtherLine) + ": " + finding.strText;
    case tagFinding::EKind::Clash:
        return strWhere + "clash with line " + std::to_string(finding.nOtherLine) + ": " + finding.strName +
               " is written for both lines; " + (eServer == EServerKind::Nginx ? "nginx" : "Apache") +
               " answers it from line " + std::to_string(finding.nOtherLine);
    case tagFinding::EKind::Served:
    case tagFinding::EKind::Wildcard:
        return strWhere + nameFindingText(finding.strName, finding.taken, eServer);
    case tagFinding::EKind::Shadow:
        return shadowText(finding.shadow, eServer);
    }
    return {};
}

// The block that answers, on each address of the entries, every name no block has: not a finding,
// since the entries' names are exact and go to them, but what the server does with the others.
void noteDefaultServers(const CNginxConfig& nginx, const tagLayout& layout,
                        const std::function<void(const std::string&)>& fnNote) {
    const entry::tagEntryAddresses addresses = entry::entryAddresses(layout);
    std::vector<tagAddress> vecAddrs{addresses.plain};
    if (addresses.bTwin)
        vecAddrs.push_back(addresses.twin);
    for (const tagAddress& addr : vecAddrs) {
        std::size_t nVhost = 0;
        bool bMarked = false;
        if (!nginx.defaultServer(addr, nVhost, bMarked)) {
            fnNote("no server {} listens on " + nginxAddress(addr) +
                   ": the entries' first block will answer every name no block there has");
            continue;
        }
        const tagVhostInfo vhost = nginx.vhost(nVhost);
        fnNote(placeText(vhost.strFile, vhost.nLine) + ": the server {} " +
               (vhost.strName.empty() ? std::string() : shown(vhost.strName) + " ") +
               "is the default server of " + nginxAddress(addr) +
               (bMarked ? " (default_server)" : " (the first there)") +
               ": it answers every name no block there has, not the entries' names");
    }
}

} // namespace

int checkMain(int argc, char** argv) {
    CLI::App app{
        "Reports what a run with the same options would get wrong in the list, and with --server what "
        "the server's existing vhosts would do to its names. Writes nothing but the report.",
        "kelvane-cli check"};
    tagRunOptions options;
    addRunOptions(app, options);
    std::string strServerCmd, strServerDump;
    bool bServer = false;
    app.add_flag(
           "--server", bServer,
           "Also look at the server's vhosts, as apache2ctl -S (else apachectl -S) lists them, with their "
           "names from their files; with --server-kind nginx, the server {} blocks nginx -T prints")
        ->group(cmdline::kGroupServer);
    app.add_option(
           "--server-cmd", strServerCmd,
           "Run CMD instead of apache2ctl -S (or nginx -T), through /bin/sh -c (quote as in a shell); "
           "implies --server")
        ->type_name("CMD")
        ->group(cmdline::kGroupServer);
    app.add_option("--server-dump", strServerDump,
                   "Read a saved apache2ctl -S (or nginx -T) output instead; implies --server")
        ->type_name("FILE")
        ->group(cmdline::kGroupServer);
    bool bRoutes = false;
    app.add_flag("--routes", bRoutes,
                 "Also say where each name of the list goes after the run, one line a name: NAME -> "
                 "FILE:LINE, the existing vhost (with --server) or the run's own entry (its output, or "
                 "its file in --split, and the line of its opening), by the server's own rule on the "
                 "entries' address; the run's own output stands where the server loads it, else after "
                 "every vhost there")
        ->group(cmdline::kGroupServer);
    if (int nExit = 0; !cmdline::parseSubcommand(
            app,
            "One finding a line on standard output, LIST:LINE: kind: text (a shadowing vhost: FILE:LINE), "
            "and "
            "with --routes one line a name, NAME -> FILE:LINE. The vhosts of the run's own output (--output, "
            "the files --split writes) are not counted. Exit status: 0 no finding, 3 findings, 1 a file or "
            "the server command failed, 2 a usage error.",
            argc, argv, nExit))
        return nExit;
    const auto usage = [](const std::string& strText) {
        say(strText + "\nRun 'kelvane-cli check --help' to see the options.");
        return kExitUsage;
    };
    tagGenRequest request;
    if (std::string strError; !makeRequest(app, options, request, strError))
        return usage(strError);
    if (!strServerCmd.empty() && !strServerDump.empty())
        return usage("--server-cmd and --server-dump exclude each other");
    bServer = bServer || !strServerCmd.empty() || !strServerDump.empty();
    // A vhost file that cannot be read is a warning, not a finding: -q leaves it out.
    const bool bQuiet = options.bQuiet;
    const auto fnNote = [bQuiet](const std::string& strNote) {
        if (!bQuiet)
            say(strNote);
    };
    CApacheConfig apache;
    CNginxConfig nginx;
    const bool bNginx = request.eServer == EServerKind::Nginx;
    CServerConfig& server = bNginx ? static_cast<CServerConfig&>(nginx) : apache;
    if (bServer) {
        tagServerSource source;
        source.strDumpFile = strServerDump;
        source.strCommand = strServerCmd.empty() ? serverCommandOf(request.eServer) : strServerCmd;
        std::string strError;
        if (!(bNginx ? nginx.load(source, request, fnNote, strError)
                     : apache.load(source, request, fnNote, strError))) {
            say(strError);
            return kExitFile;
        }
    }
    if (bServer && bNginx)
        noteDefaultServers(nginx, request.layout, fnNote);

    const std::string strListName =
        request.eList == EListSource::StdIn ? std::string(kStdInName) : request.strList;
    CFindings findings;
    CListCheck check(request, bServer ? &server : nullptr);
    if (bRoutes)
        check.setRouteFn([&findings](const tagRoute& route) {
            const std::string strPlace = route.bExisting ? placeText(route.vhost.strFile, route.vhost.nLine)
                                                         : placeText(route.strFile, route.nLine);
            findings.addLine(shown(route.strName) + " -> " + strPlace);
        });
    tagGenResult result;
    const bool bRan = check.run(
        [&](const tagFinding& finding) { findings.add(findingLine(finding, strListName, request.eServer)); },
        result);
    findings.flush();
    if (!bRan) {
        const bool bUsage = result.eFailure == EGenFailure::SitePath ||
                            result.eFailure == EGenFailure::Prefix ||
                            result.eFailure == EGenFailure::Template;
        say(report::failure(result, kStdOutPath, request.eServer));
        return bUsage ? kExitUsage : kExitFile;
    }
    if (check.namesFull())
        say("too many names to remember them all: later names were not checked for duplicates and clashes");
    if (findings.error() != 0) {
        say("cannot write standard output: " + file::errorText(findings.error()));
        return kExitFile;
    }
    return findings.count() > 0 ? kExitFindings : kExitOk;
}

std::string findingText(const tagFinding& finding, const std::string& strListName, EServerKind eServer) {
    return findingLine(finding, strListName, eServer);
}

std::string defaultServerCommand(EServerKind eServer) {
    return serverCommandOf(eServer);
}
