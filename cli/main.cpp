// kelvane-cli: the generation engine for servers without a desktop, scripts and long lists.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/Apply.h"
#include "cli/Certs.h"
#include "cli/Check.h"
#include "cli/CliTarget.h"
#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/GenerateThread.h"
#include "engine/NameRule.h"

namespace {

constexpr int kExitOk = exitstatus::kOk;
constexpr int kExitFile = exitstatus::kFile;
constexpr int kExitUsage = exitstatus::kUsage;
constexpr int kExitRefused = exitstatus::kFindings;

// Ctrl-C stops the run between two lines and keeps what it wrote; any other signal that would end
// the program ends the run without changing a file.
bool keepsWhatWasWritten(int nSignal) {
    return nSignal == sys::kInterrupt;
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
    std::vector<std::string> vecArgs = sys::programArguments(argc, argv);
    std::vector<char*> vecArgv;
    for (std::string& strArg : vecArgs)
        vecArgv.push_back(strArg.data());
    vecArgv.push_back(nullptr);
    argc = static_cast<int>(vecArgs.size());
    argv = vecArgv.data();
    if (argc > 1 && std::string_view(argv[1]) == "check")
        return checkMain(argc - 1, argv + 1);
    if (argc > 1 && std::string_view(argv[1]) == "apply")
        return applyMain(argc - 1, argv + 1);
    if (argc > 1 && std::string_view(argv[1]) == "certs")
        return certsMain(argc - 1, argv + 1);
    CLI::App app{
        "Writes one Apache name-based <VirtualHost *> entry for each domain of a list, or with "
        "--server-kind nginx one nginx server {} block. (kelvane-cli check reports what such a run "
        "would get wrong, and what the server's vhosts "
        "would do to its names: see kelvane-cli check --help; kelvane-cli apply puts the entries on a "
        "live server as a transaction: see kelvane-cli apply --help; kelvane-cli certs plans and checks the "
        "certificates of the entries: see kelvane-cli certs --help.)",
        "kelvane-cli"};
    tagRunOptions options;
    addRunOptions(app, options);
    app.set_help_flag("-h,--help", "Show this help and exit")->group(cmdline::kGroupOther);
    app.set_version_flag("--version", std::string("kelvane-cli ") + KELVANE_VERSION,
                         "Show the version and exit")
        ->group(cmdline::kGroupOther);
    cmdline::finishHelp(app);
    if (const std::string strUnknown = cmdline::unknownOptionText(app, argc, argv); !strUnknown.empty()) {
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
        std::fprintf(stderr, "%s\n", cmdline::parseErrorText(app, e).c_str());
        return kExitUsage;
    }

    const bool bQuiet = options.bQuiet;
    const std::string& strTemplate = options.strTemplate;
    CConsole console(!bQuiet && sys::rewritesLines(sys::kStdErr));
    tagGenRequest request;
    if (std::string strError; !makeRequest(app, options, request, strError))
        return usageError(console, strError);
    if (!strTemplate.empty() && !file::isFileExist(strTemplate)) {
        sys::tagFileInfo info;
        const std::string strReason = !sys::statPath(strTemplate, info) ? file::errorText(errno)
                                      : info.bDir                       ? file::errorText(EISDIR)
                                                                        : "not a regular file";
        console.message("kelvane-cli: cannot read '" + strTemplate + "': " + strReason);
        return kExitFile;
    }

    const bool bStdIn = request.eList == EListSource::StdIn;
    if (bStdIn && sys::isTerminal(sys::kStdIn) && !bQuiet)
        console.message(std::string("kelvane-cli: reading the list from the terminal; end it with ") +
                        sys::endOfInputKeys());

    sys::watchSignals();
    CCliTarget target;
    CGenerateThread thread(target, request);
    if (!thread.CreateThread()) {
        console.message("kelvane-cli: cannot start the worker thread");
        return kExitFile;
    }
    // A signal handler may only set a flag: the stop is asked for here, once, and said.
    bool bAsked = false;
    while (!target.waitDone(std::chrono::milliseconds(sys::signalled() != 0 ? 10 : 100))) {
        if (sys::signalled() != 0 && !bAsked) {
            bAsked = true;
            const bool bKeep = keepsWhatWasWritten(sys::signalled());
            if (bKeep)
                thread.RequestStop();
            else
                thread.RequestAbort();
            if (!bQuiet)
                console.message(
                    bKeep ? "kelvane-cli: stopping after this line; what was written is kept "
                            "(press again to end at once)"
                          : "kelvane-cli: ending without changing any file (signal again to end at once)");
        }
        const std::int64_t nLine = target.progress();
        const std::int64_t nTotal = target.total();
        if (console.showsProgress() && nLine > 0)
            console.progress("kelvane-cli: line " + std::to_string(nLine) +
                             (nTotal > 0 ? " of " + std::to_string(nTotal) : std::string()));
    }
    thread.Join();

    const tagGenResult& result = target.result();
    if (!bQuiet)
        for (const std::string& strLine : report::lineReports(result, bStdIn ? kStdInName : request.strList))
            console.message(strLine);
    switch (result.eFailure) {
    case EGenFailure::None:
        break;
    case EGenFailure::SitePath:
    case EGenFailure::Prefix:
    case EGenFailure::Clash:
        return usageError(console, report::failure(result, request.strOutFile, request.eServer));
    case EGenFailure::Template:
        // The fix is in the template, which the message names: the options were right.
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile, request.eServer));
        return kExitUsage;
    case EGenFailure::Refused:
    case EGenFailure::NothingWritten:
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile, request.eServer));
        return kExitRefused;
    case EGenFailure::Aborted:
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile, request.eServer));
        return 128 + sys::signalled();
    default:
        console.message("kelvane-cli: " + report::failure(result, request.strOutFile, request.eServer));
        return kExitFile;
    }
    if (!bQuiet) {
        std::string strSummary = "kelvane-cli: " + report::summary(result);
        if (!request.layout.strSplitDir.empty())
            strSummary += ", " + std::to_string(result.nFiles) + (result.nFiles == 1 ? " file" : " files") +
                          " written in " + request.layout.strSplitDir;
        if (result.bStopped)
            strSummary += "; stopped after line " + std::to_string(result.nLines) +
                          (target.total() > 0 ? " of " + std::to_string(target.total()) : std::string());
        console.message(strSummary);
        if (result.nCertbotLater > 0)
            console.message(
                "kelvane-cli: " + request.layout.strCertbotFile +
                " holds the first wave of certbot commands, within the authority's limits; " +
                report::counted(result.nCertbotLater, "more certificate waits", "more certificates wait") +
                " for later waves: kelvane-cli certs plan writes them all, with when each may start");
        if (result.nHashBucketSize != 0)
            console.message(
                "kelvane-cli: nginx needs in http {}: server_names_hash_bucket_size " +
                std::to_string(result.nHashBucketSize) + "; server_names_hash_max_size " +
                std::to_string(result.nHashMaxSize) + ";" +
                (request.strHashConfFile.empty() ? "" : " (written to " + request.strHashConfFile + ")"));
    }
    if (result.bStopped)
        return 128 + (sys::signalled() != 0 ? sys::signalled() : sys::kInterrupt);
    return kExitOk;
}
