#include "cli/Check.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/EntryTemplate.h"
#include "engine/GenRequest.h"
#include "engine/ListReader.h"
#include "engine/NameRule.h"
#include "engine/NameSet.h"
#include "engine/ServerDump.h"

namespace {

constexpr int kExitOk = exitstatus::kOk;
constexpr int kExitFile = exitstatus::kFile;
constexpr int kExitUsage = exitstatus::kUsage;
constexpr int kExitFindings = exitstatus::kFindings;

// What `apache2ctl -S` prints is a few lines a vhost: anything far larger is not that.
constexpr std::size_t kMaxDump = std::size_t{1} << 30;

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

#ifdef _WIN32
std::string defaultServerCommand() {
    return "httpd -S";
}

// Windows has no /bin/sh to quote the command with: the server's listing is read from a file.
bool runServerCommand(const std::string&, std::string&, std::string& strReason) {
    strReason = "commands are not run on Windows; save the output of httpd -S to a file and give it with "
                "--server-dump FILE";
    return false;
}
#else
// The program `apache2ctl`, else `apachectl`, looked for in PATH and where Debian puts them, as
// the sbin directories are often not in a user's PATH.
std::string defaultServerCommand() {
    std::vector<std::string> vecDirs;
    if (const char* pPath = std::getenv("PATH")) {
        std::string_view path = pPath;
        while (!path.empty()) {
            const auto nColon = std::min(path.find(':'), path.size());
            if (nColon > 0)
                vecDirs.emplace_back(path.substr(0, nColon));
            path.remove_prefix(std::min(nColon + 1, path.size()));
        }
    }
    vecDirs.insert(vecDirs.end(), {"/usr/sbin", "/sbin", "/usr/local/sbin", "/usr/local/apache2/bin"});
    for (const char* pProgram : {"apache2ctl", "apachectl"})
        for (const std::string& strDir : vecDirs)
            if (const std::string strPath = strDir + "/" + pProgram; ::access(strPath.c_str(), X_OK) == 0)
                return "'" + strPath + "' -S";
    return "apachectl -S";
}

// Runs the command through /bin/sh -c, so that it is quoted as in a shell, and takes what it
// writes on both its outputs. False, with strReason, when it cannot run or does not exit with 0.
bool runServerCommand(const std::string& strCommand, std::string& strOut, std::string& strReason) {
    int outPipe[2], errPipe[2];
    if (::pipe(outPipe) != 0)
        return strReason = file::errorText(errno), false;
    if (::pipe(errPipe) != 0) {
        strReason = file::errorText(errno);
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        strReason = file::errorText(errno);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        return false;
    }
    if (pid == 0) {
        // The list may come on standard input: the command must not take it.
        const int nullFd = ::open("/dev/null", O_RDONLY);
        if (nullFd >= 0)
            ::dup2(nullFd, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        ::execl("/bin/sh", "sh", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    std::string strErr;
    std::array<pollfd, 2> fds{{{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}}};
    std::array<std::string*, 2> targets{&strOut, &strErr};
    bool bTooLarge = false;
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            } else if (targets[i]->size() < kMaxDump) {
                targets[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                bTooLarge = true;
            }
        }
    }
    for (const pollfd& pfd : fds)
        if (pfd.fd >= 0)
            ::close(pfd.fd);
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    while (!strErr.empty() && (strErr.back() == '\n' || strErr.back() == '\r'))
        strErr.pop_back();
    if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        strReason = (WIFEXITED(nStatus) ? "exit status " + std::to_string(WEXITSTATUS(nStatus))
                                        : "ended by signal " + std::to_string(WTERMSIG(nStatus))) +
                    (strErr.empty() ? std::string() : ":\n" + strErr);
        return false;
    }
    if (bTooLarge) {
        strReason = "it printed more than " + std::to_string(kMaxDump >> 20) + " MiB";
        return false;
    }
    return true;
}
#endif

std::string vhostText(const tagVhost& vhost) {
    return "<VirtualHost " + vhost.addr.text() + "> at " + vhost.strFile + ":" + std::to_string(vhost.nLine);
}

// The same path as another, through links and "..", when both exist.
std::string canonical(const std::string& strPath) {
#ifdef _WIN32
    return strPath;
#else
    char szResolved[PATH_MAX];
    return ::realpath(strPath.c_str(), szResolved) ? std::string(szResolved) : strPath;
#endif
}

// The run replaces its own output: its output file, and in its split directory the files named
// after an entry's first domain.
void dropOwnVhosts(CServerDump& dump, const tagGenRequest& request) {
    const std::string strOutput = request.strOutFile == kStdOutPath || !request.layout.strSplitDir.empty()
                                      ? std::string()
                                      : canonical(request.strOutFile);
    const std::string strSplitDir =
        request.layout.strSplitDir.empty() ? std::string() : canonical(request.layout.strSplitDir) + "/";
    // The vhosts of one file come one after another: its path is resolved once.
    std::string strLastFile, strLastCanonical;
    dump.dropIf([&](const tagVhost& vhost) {
        if (!strOutput.empty() && vhost.strFile != strLastFile) {
            strLastFile = vhost.strFile;
            strLastCanonical = canonical(vhost.strFile);
        }
        if (!strOutput.empty() && strLastCanonical == strOutput)
            return true;
        if (strSplitDir.empty() || !vhost.strFile.starts_with(strSplitDir))
            return false;
        const std::string strFirst = vhost.vecAliases.empty() ? vhost.strName : vhost.vecAliases.front();
        return vhost.strFile.substr(strSplitDir.size()) == strFirst + ".conf";
    });
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
    app.add_flag("--server", bServer,
                 "Also look at the server's vhosts, as apache2ctl -S (else apachectl -S) lists them")
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

    CServerDump dump;
    if (bServer) {
        std::string strDump, strReason;
        std::string strSource;
        if (!strServerDump.empty()) {
            strSource = "'" + strServerDump + "'";
            if (!file::readAll(strServerDump, strDump, strReason, kMaxDump)) {
                say("cannot read " + strSource + ": " + strReason);
                return kExitFile;
            }
        } else {
            const std::string strCommand = strServerCmd.empty() ? defaultServerCommand() : strServerCmd;
            strSource = "the output of " + strCommand;
            if (!runServerCommand(strCommand, strDump, strReason)) {
                say("the server command '" + strCommand + "' failed: " + strReason);
                return kExitFile;
            }
        }
        if (!dump.parse(strDump, strReason)) {
            say("cannot read " + strSource + ": " + strReason);
            return kExitFile;
        }
        dropOwnVhosts(dump, request);
    }

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
        strAsciiPrefix.empty() || (bWww && CNameSet::sameNoCase(strAsciiPrefix, "www")) ? std::string() : strAsciiPrefix + ".";
    names::tagNameLimits limits;
    limits.nHead =
        std::max<std::size_t>(bWww ? 4 : 0, strAsciiPrefix.empty() ? 0 : strAsciiPrefix.size() + 1);
    limits.bFileName = !request.layout.strSplitDir.empty();

    std::string strScratch, strPattern;
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
            const std::string& strName = entryNames[i];
            if (const int nVhost = dump.servedBy(strName); nVhost >= 0)
                findings.add(strWhere + "served: " + strName + " is already served by " +
                             vhostText(dump.vhosts()[static_cast<std::size_t>(nVhost)]));
            else if (const int nWild = dump.wildcardFor(strName, strPattern); nWild >= 0)
                findings.add(strWhere + "wildcard: " + strName + " is taken by the wild alias " + strPattern +
                             " of " + vhostText(dump.vhosts()[static_cast<std::size_t>(nWild)]));
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

    // With --https the plain entries are on port 80 unless the address names one, and their
    // twins on 443.
    std::vector<tagVhostAddr> vecEntryAddrs{
        {request.layout.listen.strHost, static_cast<unsigned>(request.layout.listen.nPort)}};
    if (request.layout.bHttps) {
        if (vecEntryAddrs[0].nPort == 0)
            vecEntryAddrs[0].nPort = 80;
        vecEntryAddrs.push_back({vecEntryAddrs[0].strHost, 443});
    }
    for (const tagVhostAddr& listen : bServer ? vecEntryAddrs : std::vector<tagVhostAddr>{}) {
        for (const std::size_t nVhost : dump.shadowing(listen)) {
            const tagVhost& vhost = dump.vhosts()[nVhost];
            const bool bIp = !vhost.addr.anyHost();
            std::string strFix = (bIp ? vhost.addr.strHost : std::string("'*")) + ":" +
                                 (vhost.addr.nPort ? std::to_string(vhost.addr.nPort) : std::string("PORT")) +
                                 (bIp ? "" : "'");
            findings.add(vhost.strFile + ":" + std::to_string(vhost.nLine) + ": shadow: <VirtualHost " +
                         vhost.addr.text() + "> takes every request" +
                         (bIp ? " to " + vhost.addr.strHost : "") +
                         (vhost.addr.nPort ? " on port " + std::to_string(vhost.addr.nPort) : "") +
                         " before the <VirtualHost " + listen.text() + "> entries; use --listen " + strFix);
        }
    }
    findings.flush();
    if (names.full())
        say("too many names to remember them all: later names were not checked for duplicates and clashes");
    if (findings.error() != 0) {
        say("cannot write standard output: " + file::errorText(findings.error()));
        return kExitFile;
    }
    return findings.count() > 0 ? kExitFindings : kExitOk;
}
