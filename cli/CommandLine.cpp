#include "cli/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "cli/ExitStatus.h"

namespace cmdline {

namespace {

// CLI11's layout with one blank line between two groups, not two.
class CHelpFormatter : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* pApp, std::string strName,
                          CLI::AppFormatMode eMode) const override {
        std::string strText = CLI::Formatter::make_help(pApp, std::move(strName), eMode);
        for (std::size_t nPos; (nPos = strText.find("\n\n\n")) != std::string::npos;)
            strText.erase(nPos, 1);
        return strText;
    }
};

} // namespace

std::string wrap(std::string_view strText, std::size_t nWidth) {
    std::string strOut;
    std::size_t nLine = 0;
    std::size_t nPos = 0;
    while (nPos < strText.size()) {
        if (strText[nPos] == ' ') {
            ++nPos;
            continue;
        }
        if (strText[nPos] == '\n') {
            strOut += '\n';
            nLine = 0;
            ++nPos;
            continue;
        }
        const std::size_t nEnd = std::min(strText.find_first_of(" \n", nPos), strText.size());
        const std::string_view strWord = strText.substr(nPos, nEnd - nPos);
        if (nLine > 0 && nLine + 1 + strWord.size() > nWidth) {
            strOut += '\n';
            nLine = 0;
        } else if (nLine > 0) {
            strOut += ' ';
            ++nLine;
        }
        strOut += strWord;
        nLine += strWord.size();
        nPos = nEnd;
    }
    return strOut;
}

std::size_t editDistance(std::string_view a, std::string_view b) {
    // Three rows of the table: two back for a swap of neighbours.
    std::vector<std::size_t> vecPrev2(b.size() + 1), vecPrev(b.size() + 1), vecRow(b.size() + 1);
    std::iota(vecPrev.begin(), vecPrev.end(), std::size_t{0});
    for (std::size_t i = 1; i <= a.size(); ++i) {
        vecRow[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t nCost = a[i - 1] == b[j - 1] ? 0 : 1;
            vecRow[j] = std::min({vecPrev[j] + 1, vecRow[j - 1] + 1, vecPrev[j - 1] + nCost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                vecRow[j] = std::min(vecRow[j], vecPrev2[j - 2] + 1);
        }
        vecPrev2.swap(vecPrev);
        vecPrev.swap(vecRow);
    }
    return vecPrev[b.size()];
}

std::string closestOption(std::string_view strTyped, const std::vector<std::string>& vecKnown) {
    strTyped = strTyped.substr(0, strTyped.find('='));
    if (strTyped.size() < 3 || strTyped.substr(0, 2) != "--")
        return {};
    std::string strBest;
    std::size_t nBest = 0;
    for (const std::string& strKnown : vecKnown) {
        // "--site" is the start of "--site-path": as close as one edit.
        const bool bPrefix = strKnown.size() > strTyped.size() && strKnown.starts_with(strTyped);
        const std::size_t nDistance = bPrefix ? 1 : editDistance(strTyped, strKnown);
        if (strBest.empty() || nDistance < nBest) {
            strBest = strKnown;
            nBest = nDistance;
        }
    }
    // Past a third of the name, the option meant is more likely one the tool does not have.
    const std::size_t nName = strTyped.size() - 2;
    return nBest <= std::max<std::size_t>(1, nName / 3) ? strBest : std::string();
}

std::vector<std::string> longOptions(const CLI::App& app) {
    std::vector<std::string> vecNames;
    for (const CLI::Option* pOption : app.get_options())
        for (const std::string& strName : pOption->get_lnames())
            vecNames.push_back("--" + strName);
    for (const CLI::App* pSub : app.get_subcommands({}))
        for (std::string& strName : longOptions(*pSub))
            vecNames.push_back(std::move(strName));
    std::sort(vecNames.begin(), vecNames.end());
    vecNames.erase(std::unique(vecNames.begin(), vecNames.end()), vecNames.end());
    return vecNames;
}

namespace {

void layOut(CLI::App& app) {
    auto pFormatter = std::make_shared<CHelpFormatter>();
    pFormatter->column_width(kHelpColumn);
    app.formatter(pFormatter);
    for (CLI::Option* pOption : app.get_options())
        pOption->description(wrap(pOption->get_description(), kHelpWidth - kHelpColumn));
    for (CLI::App* pSub : app.get_subcommands({})) {
        pSub->description(wrap(pSub->get_description(), kHelpWidth - kHelpColumn));
        layOut(*pSub);
    }
}

} // namespace

void finishHelp(CLI::App& app) {
    layOut(app);
    app.description(wrap(app.get_description(), kHelpWidth));
    // The examples and exit statuses are the program's, shown once at the end of its own help.
    app.footer(helpFooter());
}

std::string helpFooter() {
    return "Examples:\n"
           "  kelvane-cli -w -p m -s /var/www/sites -o sites.conf domains.txt\n"
           "  sort -u domains.txt | kelvane-cli -q -s /srv/www > sites.conf\n"
           "  kelvane-cli --strict -s /srv/www -t vhost.tmpl -o sites.conf domains.txt\n"
           "  kelvane-cli check --server -w -s /srv/www domains.txt\n"
           "  kelvane-cli --server-kind nginx -w -s /srv/www -o sites.conf domains.txt\n"
           "  kelvane-cli --server-kind nginx -s /srv/www --pack 0 -o all.conf \\\n"
           "      --nginx-hash-conf names-hash.conf domains.txt\n"
           "  kelvane-cli --server-kind nginx -s /srv/www --split sites.d domains.txt\n"
           "  kelvane-cli --server-kind nginx -s /srv --https --redirect -o tls.conf list\n"
           "  kelvane-cli --server-kind nginx -s /srv/www -t nginx-site.conf domains.txt\n"
           "  kelvane-cli check --routes --server-kind nginx --server -s /srv domains.txt\n"
           "  kelvane-cli certs plan -w -s /srv --pack 0 --precheck -o plan.sh domains.txt\n"
           "  kelvane-cli -w -s /srv/www --pack 0 --https --redirect -o tls.conf domains.txt\n"
           "  kelvane-cli certs status -w -s /srv/www --pack 0 domains.txt\n"
           "\n"
           "Exit status:\n"
           "  0    the run completed, even if some lines were refused\n"
           "  1    a file could not be read or written; the message names it\n"
           "  2    a usage error, a site path, prefix or template that cannot be written,\n"
           "       or two outputs that are one file; nothing was read or written\n"
           "  3    --strict, and a line was refused; or lines were refused and none was\n"
           "       written: every output was left as it was\n"
           "  130  stopped by Ctrl-C; every entry written so far is whole\n"
           "  128+N ended by signal N (SIGTERM, SIGHUP, ...); no file was changed";
}

std::string unknownOptionText(const CLI::App& app, int argc, const char* const* argv) {
    const std::vector<std::string> vecKnown = longOptions(app);
    for (int i = 1; i < argc; ++i) {
        const std::string_view strArg = argv[i];
        if (strArg == "--")
            break;
        if (!strArg.starts_with("--") || strArg.size() == 2)
            continue;
        const std::string strName(strArg.substr(0, strArg.find('=')));
        if (std::find(vecKnown.begin(), vecKnown.end(), strName) != vecKnown.end())
            continue;
        std::string strText = "kelvane-cli: unknown option '" + std::string(strArg) + "'";
        if (const std::string strClosest = closestOption(strArg, vecKnown); !strClosest.empty())
            strText += "; did you mean " + strClosest + "?";
        return strText + kNextStep;
    }
    return {};
}

std::string parseErrorText(const CLI::App& app, const CLI::ParseError& error) {
    if (dynamic_cast<const CLI::ExtrasError*>(&error) == nullptr)
        return "kelvane-cli: " + std::string(error.what()) + kNextStep;
    std::string strText;
    const std::vector<std::string> vecKnown = longOptions(app);
    for (const std::string& strExtra : app.remaining(true)) {
        if (!strText.empty())
            strText += '\n';
        if (strExtra.size() > 1 && strExtra[0] == '-') {
            strText += "kelvane-cli: unknown option '" + strExtra + "'";
            if (const std::string strClosest = closestOption(strExtra, vecKnown); !strClosest.empty())
                strText += "; did you mean " + strClosest + "?";
        } else {
            strText += "kelvane-cli: '" + strExtra +
                       "' is one list too many: give one list file, or none to read "
                       "standard input";
        }
    }
    if (strText.empty())
        strText = "kelvane-cli: " + std::string(error.what());
    return strText + kNextStep;
}

bool parseSubcommand(CLI::App& app, std::string_view strFooter, int argc, char** argv, int& nExit) {
    app.set_help_flag("-h,--help", "Show this help and exit")->group(kGroupOther);
    finishHelp(app);
    app.footer(wrap(strFooter, kHelpWidth));
    if (const std::string strUnknown = unknownOptionText(app, argc, argv); !strUnknown.empty()) {
        std::fprintf(stderr, "%s\n", strUnknown.c_str());
        nExit = exitstatus::kUsage;
        return false;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        nExit = app.exit(e);
        return false;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s\n", parseErrorText(app, e).c_str());
        nExit = exitstatus::kUsage;
        return false;
    }
    return true;
}

} // namespace cmdline
