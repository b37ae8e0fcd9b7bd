// kelvane-cli: the generation engine for servers without a desktop, scripts and long lists.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "cli/CliTarget.h"
#include "cli/IdnMapper.h"
#include "core/Encoding.h"
#include "core/FileUtil.h"
#include "core/TextUtil.h"
#include "engine/GenerateThread.h"
#include "engine/RunSettings.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;

std::atomic<bool> g_bStop{false};
volatile std::sig_atomic_t g_nSignal = 0;

extern "C" void onSignal(int nSignal) {
    g_nSignal = nSignal;
    g_bStop.store(true);
}

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl-C ends the program at once, should a write hang.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed pipe is reported as a failed write, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
}

int fileError(CConsole& console, const char* pVerb, const std::string& strPath, const std::string& strReason) {
    console.message(std::string("kelvane-cli: cannot ") + pVerb + " '" + strPath + "': " + strReason);
    return kExitFile;
}

// Reads a list that cannot be read twice (a pipe, a terminal) whole, as the typed list.
bool readStream(int fd, std::string& strOut, std::string& strReason) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            strOut.append(buf, static_cast<std::size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR) {
            strReason = file::errorText(errno);
            return false;
        }
    }
    enc::decodeText(strOut);
    return true;
}

// Puts the list into the run settings: a regular file by its path, so that the engine streams
// it; anything else read here.
bool takeList(const std::string& strList, std::string& strReason) {
    const bool bStdIn = strList.empty() || strList == "-";
    const int fd = bStdIn ? STDIN_FILENO : ::open(strList.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        strReason = file::errorText(errno);
        return false;
    }
    struct stat st {};
    bool bOk = ::fstat(fd, &st) == 0;
    if (!bOk) {
        strReason = file::errorText(errno);
    } else if (S_ISDIR(st.st_mode)) {
        strReason = file::errorText(EISDIR);
        bOk = false;
    } else if (S_ISREG(st.st_mode)) {
        g_strDomains = bStdIn ? "/dev/stdin" : strList;
    } else {
        g_strDomains.clear();
        bOk = readStream(fd, g_strDomains, strReason);
    }
    if (!bStdIn)
        ::close(fd);
    return bOk;
}

std::string counted(std::int64_t n, const char* pOne, const char* pMany) {
    return std::to_string(n) + " " + (n == 1 ? pOne : pMany);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Writes one Apache name-based <VirtualHost *> entry for each domain of a list.", "kelvane-cli"};
    std::string strSitePath, strPrefix, strTemplate, strOutput = "-", strList = "-";
    bool bWww = false, bIdn = false, bQuiet = false;
    app.add_option("-s,--site-path", strSitePath, "Document root of every entry")->required();
    app.add_option("-p,--prefix", strPrefix, "Extra host label: also LABEL.domain");
    app.add_flag("-w,--www", bWww, "Also www.domain");
    app.add_option("-t,--template", strTemplate, "Entry template with {sitePath} and {siteDomain}");
    app.add_option("-o,--output", strOutput, "Output file (default or -: standard output)");
    app.add_flag("--idn", bIdn, "Write domains with non-ASCII letters in their ASCII (xn--) form");
    app.add_flag("-q,--quiet", bQuiet, "No progress and no summary");
    app.add_option("LIST", strList, "List file, one domain per line (default or -: standard input)");
    app.set_version_flag("--version", std::string("kelvane-cli ") + KELVANE_VERSION);
    try {
        app.parse(argc, argv);
        if (strSitePath.empty())
            throw CLI::ValidationError("--site-path", "must not be empty");
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    CConsole console(!bQuiet && ::isatty(STDERR_FILENO));
    if ((strList.empty() || strList == "-") && ::isatty(STDIN_FILENO) && !bQuiet)
        console.message("kelvane-cli: reading the list from the terminal; end it with Ctrl-D");
    std::string strReason;
    if (!takeList(strList, strReason))
        return fileError(console, "read", strList == "-" ? "standard input" : strList, strReason);
    if (!strTemplate.empty() && !file::isFileExist(strTemplate)) {
        struct stat st {};
        strReason = ::stat(strTemplate.c_str(), &st) != 0 ? file::errorText(errno)
                    : S_ISDIR(st.st_mode)                 ? file::errorText(EISDIR)
                                                          : "not a regular file";
        return fileError(console, "read", strTemplate, strReason);
    }

    CIdnMapper idn(console);
    if (bIdn && !text::isAscii(strPrefix)) {
        std::string strAscii;
        if (CIdnMapper::toAscii(strPrefix, strAscii, strReason))
            strPrefix = strAscii;
        else
            console.message("kelvane-cli: prefix '" + strPrefix + "' has no ASCII form (" + strReason +
                            "); kept as typed");
    }
    g_strSitePath = strSitePath;
    g_strPrefix = strPrefix;
    g_bWww = bWww ? 1 : 0;
    g_strTemplateFile = strTemplate;
    g_strOutFile = strOutput.empty() ? std::string(kStdOutPath) : strOutput;
    g_pDomainMapper = bIdn ? &idn : nullptr;

    installSignalHandlers();
    CCliTarget target;
    auto* pParam = new tagThreadParam{&target, nullptr, &g_bStop};
    auto* pThread = new CGenerateThread(ThreadProc, pParam);
    pThread->m_bAutoDelete = false;
    if (!pThread->CreateThread()) {
        delete pThread;
        delete pParam;
        console.message("kelvane-cli: cannot start the worker thread");
        return kExitFile;
    }
    while (!target.waitDone(std::chrono::milliseconds(100))) {
        if (console.showsProgress() && g_nTotal.load() > 0)
            console.progress("kelvane-cli: line " + std::to_string(target.takeProgress()) + " of " +
                             std::to_string(g_nTotal.load()));
    }
    pThread->Join();
    delete pThread;

    const tagGenResult& result = target.result();
    if (result.eFailure != EGenFailure::None) {
        const std::string strPath = result.strPath == kStdOutPath ? "standard output" : result.strPath;
        return fileError(console, result.eFailure == EGenFailure::ReadFile ? "read" : "write", strPath,
                         result.strReason);
    }
    if (!bQuiet) {
        std::string strSummary = "kelvane-cli: " + counted(result.nEntries, "entry", "entries") + " written, " +
                                 counted(result.nLines - result.nEntries, "line", "lines") + " skipped";
        if (result.bStopped)
            strSummary += "; stopped after line " + std::to_string(result.nLines) + " of " +
                          std::to_string(g_nTotal.load());
        console.message(strSummary);
    }
    if (result.bStopped)
        return 128 + (g_nSignal != 0 ? static_cast<int>(g_nSignal) : SIGINT);
    return kExitOk;
}
