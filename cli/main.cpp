// kelvane-cli: the generation engine for servers without a desktop, scripts and long lists.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#endif

#include <CLI/CLI.hpp>

#include "cli/CliTarget.h"
#include "cli/Report.h"
#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/GenerateThread.h"
#include "engine/NameRule.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFile = 1;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;

std::atomic<bool> g_bStop{false};
volatile std::sig_atomic_t g_nSignal = 0;

extern "C" void onSignal(int nSignal) {
    g_nSignal = nSignal;
    g_bStop.store(true);
}

#ifdef _WIN32
// Ctrl-C and Ctrl-Break in the console: the run stops between two lines; a second one ends the
// program at once, should a write hang.
BOOL WINAPI onConsoleCtrl(DWORD nEvent) {
    if (nEvent != CTRL_C_EVENT && nEvent != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_bStop.load())
        return FALSE;
    g_nSignal = SIGINT;
    g_bStop.store(true);
    return TRUE;
}

void installSignalHandlers() { ::SetConsoleCtrlHandler(onConsoleCtrl, TRUE); }

// The arguments as the user typed them, in UTF-8 whatever the system's code page; the console
// shows UTF-8; the list and the entries pass through standard input and output unchanged.
std::vector<std::string> prepareConsole() {
    ::SetConsoleOutputCP(CP_UTF8);
    ::_setmode(sys::kStdIn, _O_BINARY);
    ::_setmode(sys::kStdOut, _O_BINARY);
    std::vector<std::string> vecArgs;
    int nArgs = 0;
    if (wchar_t** ppArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs)) {
        for (int i = 0; i < nArgs; ++i)
            vecArgs.push_back(sys::narrow(ppArgs[i]));
        ::LocalFree(ppArgs);
    }
    return vecArgs;
}
#else
void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl-C ends the program at once, should a write hang.
    sa.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed pipe and a file size limit are reported as failed writes, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}
#endif

int usageError(CConsole& console, const std::string& strText) {
    console.message("kelvane-cli: " + strText + "\nRun with --help for more information.");
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv) {
    file::guardStdFds();
#ifdef _WIN32
    std::vector<std::string> vecArgs = prepareConsole();
    std::vector<char*> vecArgv;
    for (std::string& strArg : vecArgs)
        vecArgv.push_back(strArg.data());
    vecArgv.push_back(nullptr);
    if (!vecArgs.empty()) {
        argc = static_cast<int>(vecArgs.size());
        argv = vecArgv.data();
    }
#endif
    CLI::App app{"Writes one Apache name-based <VirtualHost *> entry for each domain of a list.", "kelvane-cli"};
    std::string strSitePath, strPrefix, strTemplate, strOutput = "-", strList = "-";
    bool bWww = false, bIdn = false, bQuiet = false, bStrict = false;
    app.add_option("-s,--site-path", strSitePath, "Document root of every entry")->required();
    app.add_option("-p,--prefix", strPrefix, "Extra host label: also LABEL.domain");
    app.add_flag("-w,--www", bWww, "Also www.domain");
    app.add_option("-t,--template", strTemplate, "Entry template with {sitePath} and {siteDomain}");
    app.add_option("-o,--output", strOutput, "Output file (default or -: standard output)");
    app.add_flag("--strict", bStrict, "A refused line fails the run (exit 3) and leaves the output untouched");
    app.add_flag("--idn", bIdn, "Accepted for older scripts: names are always written in their ASCII form");
    app.add_flag("-q,--quiet", bQuiet, "No progress, no summary and no warnings; errors still show");
    app.add_option("LIST", strList, "List file, one domain per line (default or -: standard input)");
    app.set_version_flag("--version", std::string("kelvane-cli ") + KELVANE_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? kExitOk : kExitUsage;
    }

    CConsole console(!bQuiet && sys::isTerminal(sys::kStdErr) && sys::enableTerminalEscapes(sys::kStdErr));
    if (const names::ESitePath eFault = names::checkSitePath(strSitePath); eFault != names::ESitePath::Ok)
        return usageError(console, "--site-path " + report::sitePathText(eFault));
    std::string strAsciiPrefix;
    if (const names::EVerdict eVerdict = names::normalizePrefix(strPrefix, strAsciiPrefix);
        eVerdict != names::EVerdict::Name)
        return usageError(console, "--prefix '" + names::visibleText(strPrefix) + "': " + report::reasonText(eVerdict) +
                                       " (a prefix is one or more labels of letters, digits, '-' and '_')");
    if (!strTemplate.empty() && !file::isFileExist(strTemplate)) {
        sys::tagFileInfo info;
        const std::string strReason = !sys::statPath(strTemplate, info) ? file::errorText(errno)
                                      : info.bDir                        ? file::errorText(EISDIR)
                                                                         : "not a regular file";
        console.message("kelvane-cli: cannot read '" + strTemplate + "': " + strReason);
        return kExitFile;
    }

    const bool bStdIn = strList.empty() || strList == "-";
    if (bStdIn && sys::isTerminal(sys::kStdIn) && !bQuiet)
        console.message(std::string("kelvane-cli: reading the list from the terminal; end it with ") +
#ifdef _WIN32
                        "Ctrl-Z and Enter");
#else
                        "Ctrl-D");
#endif
    tagGenRequest request;
    request.eList = bStdIn ? EListSource::StdIn : EListSource::File;
    request.strList = bStdIn ? std::string() : strList;
    request.strSitePath = strSitePath;
    request.strPrefix = strPrefix;
    request.bWww = bWww;
    request.strTemplateFile = strTemplate;
    request.strOutFile = strOutput.empty() ? std::string(kStdOutPath) : strOutput;
    request.bStrict = bStrict;

    installSignalHandlers();
    CCliTarget target;
    CGenerateThread thread(target, request);
    if (!thread.CreateThread()) {
        console.message("kelvane-cli: cannot start the worker thread");
        return kExitFile;
    }
    // A signal handler may only set a flag: the stop is asked for here.
    while (!target.waitDone(std::chrono::milliseconds(g_bStop.load() ? 10 : 100))) {
        if (g_bStop.load())
            thread.RequestStop();
        const std::int64_t nLine = target.progress();
        const std::int64_t nTotal = target.total();
        if (console.showsProgress() && nLine > 0)
            console.progress("kelvane-cli: line " + std::to_string(nLine) +
                             (nTotal > 0 ? " of " + std::to_string(nTotal) : std::string()));
    }
    thread.Join();

    const tagGenResult& result = target.result();
    if (!bQuiet)
        for (const std::string& strLine : report::lineReports(result, bStdIn ? kStdInName : strList))
            console.message(strLine);
    switch (result.eFailure) {
    case EGenFailure::None:
        break;
    case EGenFailure::SitePath:
    case EGenFailure::Prefix:
        return usageError(console, report::failure(result, request.strOutFile));
    case EGenFailure::Refused:
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile));
        return kExitRefused;
    default:
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile));
        return kExitFile;
    }
    if (!bQuiet) {
        std::string strSummary = "kelvane-cli: " + report::summary(result);
        if (result.bStopped)
            strSummary += "; stopped after line " + std::to_string(result.nLines) +
                          (target.total() > 0 ? " of " + std::to_string(target.total()) : std::string());
        console.message(strSummary);
    }
    if (result.bStopped)
        return 128 + (g_nSignal != 0 ? static_cast<int>(g_nSignal) : SIGINT);
    return kExitOk;
}
