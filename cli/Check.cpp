#include "cli/Check.h"

#include <algorithm>
#include <array>
#include <cerrno>
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
#include "engine/EntryTemplate.h"
#include "engine/GenRequest.h"
#include "engine/ListReader.h"
#include "engine/NameRule.h"
#include "engine/NameSet.h"
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
        m_strBuffer.append(strLine);
        m_strBuffer.push_back('\n');
        ++m_nCount;
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

// The program `apache2ctl`, else `apachectl`, looked for in PATH and where Debian puts them, as
// the sbin directories are often not in a user's PATH.
std::string defaultServerCommand() {
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

std::string nameFindingText(std::string_view strName, const tagNameFinding& finding) {
    const std::string strVhost = "<VirtualHost " + finding.vhost.addr.text() + "> at " +
                                 placeText(finding.name.strFile, finding.name.nLine);
    if (finding.name.bWild)
        return "wildcard: " + std::string(strName) + " is taken by the wild alias " +
               shown(finding.name.strName) + " of " + strVhost;
    return "served: " + std::string(strName) + " is already served by " + strVhost;
}

std::string shadowText(const tagShadowFinding& shadow) {
    const tagAddress& addr = shadow.vhost.addr;
    const bool bIp = !addr.anyHost();
    const std::string strFix = (bIp ? addr.strHost : std::string("'*")) + ":" +
                               (addr.nPort ? std::to_string(addr.nPort) : std::string("PORT")) +
                               (bIp ? "" : "'");
    return placeText(shadow.vhost.strFile, shadow.vhost.nLine) + ": shadow: <VirtualHost " + addr.text() +
           "> takes every request" + (bIp ? " to " + addr.strHost : "") +
           (addr.nPort ? " on port " + std::to_string(addr.nPort) : "") + " before the <VirtualHost " +
           shadow.entries.text() + "> entries; use --listen " + strFix;
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
           "names from their files")
        ->group(cmdline::kGroupServer);
    app.add_option(
           "--server-cmd", strServerCmd,
           "Run CMD instead of apache2ctl -S, through /bin/sh -c (quote as in a shell); implies --server")
        ->type_name("CMD")
        ->group(cmdline::kGroupServer);
    app.add_option("--server-dump", strServerDump,
                   "Read a saved apache2ctl -S output instead; implies --server")
        ->type_name("FILE")
        ->group(cmdline::kGroupServer);
    app.set_help_flag("-h,--help", "Show this help and exit")->group(cmdline::kGroupOther);
    cmdline::finishHelp(app);
    app.footer(cmdline::wrap(
        "One finding a line on standard output, LIST:LINE: kind: text (a shadowing vhost: FILE:LINE). The "
        "vhosts of the run's own output (--output, the files --split writes) are not counted. Exit status: "
        "0 no finding, 3 findings, 1 a file or the server command failed, 2 a usage error.",
        cmdline::kHelpWidth));
    if (const std::string strUnknown = cmdline::unknownOptionText(app, argc, argv); !strUnknown.empty()) {
        std::fprintf(stderr, "%s\n", strUnknown.c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n", cmdline::parseErrorText(app, e).c_str());
        return kExitUsage;
    }
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
    std::string strAsciiPrefix;
    names::normalizePrefix(request.strPrefix, strAsciiPrefix);
    const bool bWww = request.bWww;
    // A template that a run would refuse is refused here the same way, before the list is read.
    if (const std::string& strTemplate = request.strTemplateFile; !strTemplate.empty()) {
        std::string strText, strReason;
        if (!CEntryTemplate::readFile(strTemplate, strText, strReason)) {
            say("cannot read '" + strTemplate + "': " + strReason);
            return kExitFile;
        }
        tagGenResult result;
        result.nFailLine =
            CEntryTemplate(strText, request.strSitePath, bWww || !strAsciiPrefix.empty()).failLine();
        if (result.nFailLine > 0) {
            result.eFailure = EGenFailure::Template;
            result.strPath = strTemplate;
            say(report::failure(result, kStdOutPath));
            return kExitUsage;
        }
    }
    const std::string strList = request.strList;

    CApacheConfig server;
    if (bServer) {
        CApacheConfig::tagSource source;
        source.strDumpFile = strServerDump;
        source.strCommand = strServerCmd.empty() ? defaultServerCommand() : strServerCmd;
        // A vhost file that cannot be read is a warning, not a finding: -q leaves it out.
        const bool bQuiet = options.bQuiet;
        const auto fnNote = [bQuiet](const std::string& strNote) {
            if (!bQuiet)
                say(strNote);
        };
        std::string strError;
        if (!server.load(source, request, fnNote, strError)) {
            say(strError);
            return kExitFile;
        }
    }
    const CServerCheck serverCheck(server, request.layout);
    std::vector<tagNameFinding> vecTaken;

    const bool bStdIn = request.eList == EListSource::StdIn;
    const std::string strListName = bStdIn ? std::string(kStdInName) : strList;
    CListReader reader;
    std::string strReason;
    if (!(bStdIn ? reader.openFd(sys::kStdIn, strReason) : reader.openFile(strList, strReason))) {
        say("cannot read " + (bStdIn ? std::string("standard input") : "'" + strList + "'") + ": " +
            strReason);
        return kExitFile;
    }
    const std::int64_t nTotal = reader.counted() ? reader.lineCount() : 0;
    // Every name the run would write, by the same rule and in the same bounded set, with the line
    // that first wrote it: a duplicate domain, and a name one line lists while another line's www
    // or prefix alias writes it.
    CNameSet names(CNameSet::Full);
    CFindings findings;
    // A prefix that is the www alias adds nothing.
    const std::string strPrefixHead =
        strAsciiPrefix.empty() || (bWww && CNameSet::sameNoCase(strAsciiPrefix, "www"))
            ? std::string()
            : strAsciiPrefix + ".";
    names::tagNameLimits limits;
    limits.nHead =
        std::max<std::size_t>(bWww ? 4 : 0, strAsciiPrefix.empty() ? 0 : strAsciiPrefix.size() + 1);
    limits.bFileName = !request.layout.strSplitDir.empty();

    std::string strScratch;
    std::array<std::string, 3> entryNames;
    std::int64_t nLine = 0;
    std::string_view line;
    while (reader.nextLine(line)) {
        ++nLine;
        std::string_view name;
        const names::EVerdict eVerdict = names::nameOfLine(line, strScratch, name, limits);
        if (eVerdict == names::EVerdict::Skip)
            continue;
        const std::string strWhere = strListName + ":" + std::to_string(nLine) + ": ";
        if (eVerdict != names::EVerdict::Name) {
            findings.add(strWhere + report::reasonText(eVerdict) + ": " + names::visibleText(line));
            continue;
        }
        std::size_t nNames = 0;
        entryNames[nNames++].assign(name);
        if (bWww)
            entryNames[nNames++].assign("www.").append(name);
        if (!strPrefixHead.empty())
            entryNames[nNames++].assign(strPrefixHead).append(name);
        bool bAdded = false;
        CNameSet::CRecord record = names.insert(entryNames[0], nLine, bAdded);
        if (record && !bAdded && record.domainLine() != 0) {
            findings.add(strWhere + "duplicate of line " + std::to_string(record.domainLine()) + ": " +
                         names::visibleText(line));
            continue;
        }
        for (std::size_t i = 0; i < nNames; ++i) {
            if (i > 0)
                record = names.insert(entryNames[i], nLine, bAdded);
            if (record && !bAdded && record.line() != nLine)
                findings.add(strWhere + "clash with line " + std::to_string(record.line()) + ": " +
                             entryNames[i] + " is written for both lines; Apache answers it from line " +
                             std::to_string(record.line()));
            if (i == 0 && record)
                record.setDomainLine(nLine);
        }
        if (!bServer)
            continue;
        for (std::size_t i = 0; i < nNames; ++i) {
            serverCheck.lookUp(entryNames[i], vecTaken);
            for (const tagNameFinding& finding : vecTaken)
                findings.add(strWhere + nameFindingText(entryNames[i], finding));
        }
    }
    if (reader.failed()) {
        findings.flush();
        say("cannot read " + (bStdIn ? std::string("standard input") : "'" + strList + "'") + ": " +
            reader.reason() +
            (reader.failure() == CListReader::EFailure::LineTooLong ? "; this is not a list of domain names"
                                                                    : ""));
        return kExitFile;
    }
    if (reader.counted() && nLine != nTotal) {
        findings.flush();
        say("'" + strList + "' changed while it was read");
        return kExitFile;
    }

    for (const tagShadowFinding& shadow : bServer ? serverCheck.shadows() : std::vector<tagShadowFinding>{})
        findings.add(shadowText(shadow));
    findings.flush();
    if (names.full())
        say("too many names to remember them all: later names were not checked for duplicates and clashes");
    if (findings.error() != 0) {
        say("cannot write standard output: " + file::errorText(findings.error()));
        return kExitFile;
    }
    return findings.count() > 0 ? kExitFindings : kExitOk;
}
