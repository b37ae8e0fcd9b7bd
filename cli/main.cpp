// kelvane-cli: the generation engine for servers without a desktop, scripts and long lists.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "cli/CliTarget.h"
#include "cli/CommandLine.h"
#include "cli/Report.h"
#include "core/FileUtil.h"
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

int usageError(CConsole& console, const std::string& strText) {
    console.message("kelvane-cli: " + strText + std::string(cmdline::kNextStep));
    return kExitUsage;
}

// The help or the version went to standard output; a full disk or a closed pipe there is a
// failure, not a success.
int printedOrFailed(int nExit) {
    std::cout.flush();
    if (std::cout)
        return nExit;
    std::fprintf(stderr, "kelvane-cli: cannot write to standard output\n");
    return kExitFile;
}

} // namespace

int main(int argc, char** argv) {
    file::guardStdFds();
    CLI::App app{"Writes one Apache name-based <VirtualHost *> entry for each domain of a list.", "kelvane-cli"};
    std::string strSitePath, strPrefix, strTemplate, strOutput = "-", strList = "-";
    bool bWww = false, bIdn = false, bQuiet = false, bStrict = false;
    using namespace cmdline;
    app.add_option("-s,--site-path", strSitePath, "The DocumentRoot of every entry (required)")
        ->required()
        ->type_name("PATH")
        ->option_text("PATH")
        ->group(kGroupEntries);
    app.add_option("-p,--prefix", strPrefix, "Also the alias LABEL.domain")
        ->type_name("LABEL")
        ->group(kGroupEntries);
    app.add_flag("-w,--www", bWww, "Also the alias www.domain")->group(kGroupEntries);
    app.add_option(
           "-t,--template", strTemplate,
           "Fill FILE for each domain instead of the built-in entry: {sitePath} becomes the site path, "
           "{siteDomain} the aliases")
        ->type_name("FILE")
        ->group(kGroupEntries);
    app.add_flag("--idn", bIdn, "Accepted for older scripts: names are always written in their ASCII form")
        ->group(kGroupEntries);
    app.add_option("-o,--output", strOutput, "The output file; none, or -: standard output")
        ->type_name("FILE")
        ->group(kGroupFiles);
    app.add_flag("--strict", bStrict, "A refused line fails the run (exit 3) and leaves the output as it was")
        ->group(kGroupFiles);
    app.add_flag("-q,--quiet", bQuiet, "No progress, no summary and no warnings; errors still show")
        ->group(kGroupFiles);
    app.add_option("LIST", strList, "The list file, one domain per line; none, or -: standard input")
        ->type_name("");
    app.set_help_flag("-h,--help", "Show this help and exit")->group(kGroupOther);
    app.set_version_flag("--version", std::string("kelvane-cli ") + KELVANE_VERSION,
                         "Show the version and exit")
        ->group(kGroupOther);
    finishHelp(app);
    if (const std::string strUnknown = unknownOptionText(app, argc, argv); !strUnknown.empty()) {
        std::fprintf(stderr, "%s\n", strUnknown.c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return printedOrFailed(app.exit(e));
    } catch (const CLI::CallForVersion& e) {
        return printedOrFailed(app.exit(e));
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n", parseErrorText(app, e).c_str());
        return kExitUsage;
    }

    CConsole console(!bQuiet && CConsole::rewritesLines(STDERR_FILENO));
    if (const names::ESitePath eFault = names::checkSitePath(strSitePath); eFault != names::ESitePath::Ok)
        return usageError(console, "--site-path " + report::sitePathText(eFault));
    std::string strAsciiPrefix;
    if (const names::EVerdict eVerdict = names::normalizePrefix(strPrefix, strAsciiPrefix);
        eVerdict != names::EVerdict::Name)
        return usageError(console, "--prefix '" + names::visibleText(strPrefix) + "': " + report::reasonText(eVerdict) +
                                       " (a prefix is one or more labels of letters, digits, '-' and '_')");
    if (!strTemplate.empty() && !file::isFileExist(strTemplate)) {
        struct stat st {};
        const std::string strReason = ::stat(strTemplate.c_str(), &st) != 0 ? file::errorText(errno)
                                      : S_ISDIR(st.st_mode)                 ? file::errorText(EISDIR)
                                                                            : "not a regular file";
        console.message("kelvane-cli: cannot read '" + strTemplate + "': " + strReason);
        return kExitFile;
    }

    const bool bStdIn = strList.empty() || strList == "-";
    if (bStdIn && ::isatty(STDIN_FILENO) && !bQuiet)
        console.message("kelvane-cli: reading the list from the terminal; end it with Ctrl-D");
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
