#include "cli/CertStatus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/CommandLine.h"
#include "cli/ExitStatus.h"
#include "cli/Report.h"
#include "cli/RunOptions.h"
#include "core/FileUtil.h"
#include "core/Sys.h"
#include "core/TextUtil.h"
#include "engine/CertFile.h"
#include "engine/CertGroups.h"
#include "engine/NameRule.h"

namespace {

constexpr const char* kGroupStatus = "Certificates (certs status only)";
constexpr std::int64_t kDaySeconds = 24 * 60 * 60;
// Far larger than any chain; a larger file is not read whole.
constexpr std::size_t kMaxChainFile = std::size_t{1} << 20;
// Directories beside the certificates looked at for ones the list no longer has.
constexpr std::size_t kMaxCertDirs = 100000;

void say(const std::string& strText) {
    std::fprintf(stderr, "kelvane-cli: %s\n", strText.c_str());
}

// A path as a line shows it: its control characters escaped, so that each item keeps to its line.
std::string shown(std::string_view str) {
    return names::visibleText(str, 16 * 1024);
}

std::string joined(const std::vector<std::string>& vecItems) {
    std::string str;
    for (const std::string& strItem : vecItems)
        str += (str.empty() ? "" : " ") + strItem;
    return str;
}

// The directory that holds every certificate's own when {name} is the pattern's last component
// ("/etc/letsencrypt/live"), else empty.
std::string certParentDir(std::string_view strPattern) {
    const auto isSeparator = [](char ch) { return ch == '/' || ch == sys::kPathSeparator; };
    while (strPattern.size() > 1 && isSeparator(strPattern.back()))
        strPattern.remove_suffix(1);
    constexpr std::string_view kName = "{name}";
    if (!strPattern.ends_with(kName))
        return {};
    std::string_view strParent = strPattern.substr(0, strPattern.size() - kName.size());
    if (strParent.find(kName) != std::string_view::npos)
        return {};
    if (strParent.empty())
        return ".";
    if (!isSeparator(strParent.back()))
        return {};
    if (strParent.size() > 1)
        strParent.remove_suffix(1);
    return std::string(strParent);
}

// What the report tells, counted for its summary.
struct tagCounts {
    std::int64_t nOk = 0, nExpiring = 0, nExpired = 0, nNotYet = 0, nMissing = 0, nUnreadable = 0;
    std::int64_t nUncovered = 0, nExtraNames = 0, nStrayDirs = 0;

    std::int64_t certificates() const {
        return nOk + nExpiring + nExpired + nNotYet + nMissing + nUnreadable;
    }
    std::int64_t needingAction() const {
        return nExpiring + nExpired + nNotYet + nMissing + nUnreadable + nUncovered;
    }
};

class CStatusReport {
public:
    CStatusReport(std::string strListName, std::string strCertPath, std::int64_t nNow, std::int64_t nDays)
        : m_strListName(std::move(strListName)), m_strCertPath(std::move(strCertPath)), m_nNow(nNow),
          m_nDays(nDays) {}

    void addGroup(const certs::tagCertGroup& group) {
        m_vecGroupNames.push_back(group.strName);
        const std::string strHead = group.strName + ": ";
        const std::string strRegistered = "registered " + joined(group.vecRegistered);
        const std::string strPath =
            certs::certDir(m_strCertPath, group.strName) + "/" + std::string(certs::kChainFile);
        std::string strBytes, strReason;
        sys::tagFileInfo fileInfo;
        if (!sys::statPath(strPath, fileInfo) && (errno == ENOENT || errno == ENOTDIR)) {
            ++m_counts.nMissing;
            m_strGroups += strHead + "missing: " + strRegistered + "; " + shown(strPath) + ": " +
                           file::errorText(ENOENT) + "\n";
            return;
        }
        certs::tagCertInfo cert;
        if (!file::readAll(strPath, strBytes, strReason, kMaxChainFile) ||
            !certs::readCertificate(strBytes, cert, strReason)) {
            ++m_counts.nUnreadable;
            m_strGroups +=
                strHead + "unreadable: " + strRegistered + "; " + shown(strPath) + ": " + strReason + "\n";
            return;
        }

        std::string strState;
        if (m_nNow > cert.nNotAfter) {
            ++m_counts.nExpired;
            strState = "expired: expired " + report::utcTime(cert.nNotAfter) + " (" +
                       report::counted((m_nNow - cert.nNotAfter) / kDaySeconds, "day", "days") + " ago)";
        } else {
            const std::string strLeft =
                "expires " + report::utcTime(cert.nNotAfter) + " (" +
                report::counted((cert.nNotAfter - m_nNow) / kDaySeconds, "day", "days") + " left)";
            if (m_nNow < cert.nNotBefore) {
                ++m_counts.nNotYet;
                strState = "not yet valid: valid from " + report::utcTime(cert.nNotBefore) + ", " + strLeft;
            } else if (cert.nNotAfter - m_nNow < m_nDays * kDaySeconds) {
                ++m_counts.nExpiring;
                strState = "expiring: " + strLeft;
            } else {
                ++m_counts.nOk;
                strState = "ok: " + strLeft;
            }
        }
        std::vector<std::string> vecCovered;
        for (std::size_t i = 0; i < group.vecNames.size(); ++i) {
            const std::string& strName = group.vecNames[i];
            if (certs::covers(cert, strName)) {
                vecCovered.push_back(strName);
                continue;
            }
            ++m_counts.nUncovered;
            const std::int64_t nLine = i < group.vecLines.size() ? group.vecLines[i] : 0;
            m_strUncovered += m_strListName + ":" + std::to_string(nLine) + ": not covered: " + strName +
                              ": not on the certificate " + group.strName + "\n";
        }
        m_strGroups += strHead + strState + "; " + strRegistered + "; covers " +
                       (vecCovered.empty() ? "none of its names" : joined(vecCovered)) + "\n";

        // A certificate's name that serves none of the group's names is one the list dropped.
        for (const std::string& strCertName : cert.vecNames) {
            certs::tagCertInfo one;
            one.vecNames = {strCertName};
            if (std::none_of(group.vecNames.begin(), group.vecNames.end(),
                             [&one](const std::string& strName) { return certs::covers(one, strName); })) {
                ++m_counts.nExtraNames;
                m_strNotInList += strHead + "not in the list: " + strCertName + " is on its certificate\n";
            }
        }
    }

    // The certificate directories beside the groups' own that no group of the list names.
    void addStrayDirs(const std::function<void(const std::string&)>& fnNote) {
        const std::string strParent = certParentDir(m_strCertPath);
        if (strParent.empty())
            return;
        std::vector<std::string> vecEntries;
        if (!file::listNames(strParent, kMaxCertDirs, vecEntries)) {
            if (errno != ENOENT)
                fnNote("cannot look for certificates the list no longer has in " + shown(strParent) + ": " +
                       file::errorText(errno));
            return;
        }
        std::sort(vecEntries.begin(), vecEntries.end());
        for (const std::string& strEntry : vecEntries) {
            if (std::any_of(
                    m_vecGroupNames.begin(), m_vecGroupNames.end(),
                    [&strEntry](const std::string& strName) { return text::sameNoCase(strName, strEntry); }))
                continue;
            const std::string strDir = certs::certDir(m_strCertPath, strEntry);
            sys::tagFileInfo info;
            if (!sys::statPath(strDir, info) || !info.bDir ||
                !file::isFileExist(strDir + "/" + std::string(certs::kChainFile)))
                continue;
            ++m_counts.nStrayDirs;
            m_strNotInList += shown(strDir) + ": not in the list: a certificate no group of the list names\n";
        }
    }

    std::string text(bool bSummary) const {
        std::string str = m_strGroups + m_strUncovered + m_strNotInList;
        if (!bSummary)
            return str;
        const tagCounts& c = m_counts;
        str += "summary: " + report::counted(c.certificates(), "certificate", "certificates") + ": " +
               std::to_string(c.nOk) + " ok, " + std::to_string(c.nExpiring) + " expiring within " +
               report::counted(m_nDays, "day", "days") + ", " + std::to_string(c.nExpired) + " expired, " +
               std::to_string(c.nNotYet) + " not yet valid, " + std::to_string(c.nMissing) + " missing, " +
               std::to_string(c.nUnreadable) + " unreadable; " +
               report::counted(c.nUncovered, "name", "names") +
               " not covered; not in the list: " + report::counted(c.nExtraNames, "name", "names") +
               " on certificates, " + report::counted(c.nStrayDirs, "certificate", "certificates") +
               " beside them\n";
        return str;
    }

    bool needsAction() const { return m_counts.needingAction() > 0; }

private:
    std::string m_strListName;
    std::string m_strCertPath;
    std::int64_t m_nNow;
    std::int64_t m_nDays;
    std::vector<std::string> m_vecGroupNames;
    std::string m_strGroups, m_strUncovered, m_strNotInList;
    tagCounts m_counts;
};

} // namespace

int certsStatusMain(int argc, char** argv) {
    CLI::App app{"Reads the certificate of each group a run with the same options asks for, from "
                 "--cert-path, and says what it covers and when it expires, which names of the list no "
                 "certificate covers, and which names and certificates the list no longer has. Changes "
                 "nothing.",
                 "kelvane-cli certs status"};
    tagRunOptions options;
    addRunOptions(app, options);
    std::string strDays = "30", strNow;
    app.add_option("--days", strDays,
                   "A certificate that expires within N days needs renewing (default 30, as certbot renews)")
        ->type_name("N")
        ->group(kGroupStatus);
    app.add_option("--now", strNow,
                   "Take TIME, in UTC as 2026-12-08T10:00:00Z, for the present instead of the clock")
        ->type_name("TIME")
        ->group(kGroupStatus);
    if (int nExit = 0; !cmdline::parseSubcommand(
            app,
            "One item a line on standard output: GROUP: STATE: ... for each certificate (ok, expiring, "
            "expired, "
            "not yet valid, missing, unreadable), LIST:LINE: not covered: NAME for a name of the list its "
            "certificate lacks (the names of a missing or unreadable one are not repeated), and ...: not in "
            "the list: for a certificate's name or a certificate directory beside the groups' that the list "
            "no longer has; then a summary (not with -q). Exit status: 0 nothing to do, 3 a certificate to "
            "get or renew within --days (or a name it lacks), 1 the list could not be read, 2 a usage error.",
            argc, argv, nExit))
        return nExit;
    const auto usage = [](const std::string& strText) {
        say(strText + "\nRun 'kelvane-cli certs status --help' to see the options.");
        return exitstatus::kUsage;
    };
    if (strDays.empty() || strDays.size() > 5 || strDays.find_first_not_of("0123456789") != std::string::npos)
        return usage("--days '" + names::visibleText(strDays) + "': a number of days, from 0 to 99999");
    std::int64_t nNow = 0;
    if (strNow.empty())
        nNow = std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
                   .count();
    else if (!report::parseUtcTime(strNow, nNow))
        return usage("--now '" + names::visibleText(strNow) + "': a time in UTC as 2026-12-08T10:00:00Z");
    if (!options.strTemplate.empty())
        return usage("--template: a template's entries have no certificates");
    // The run's entries have certificates here whatever its HTTPS options: --cert-path and
    // --cert-group may be given alone.
    if (options.strHttps.empty()) {
        options.strHttps = "existing";
        if (app.count("--http2") == 0)
            options.strHttp2 = "off"; // spares asking nginx for what nothing here writes
    }
    tagGenRequest request;
    if (std::string strError; !makeRequest(app, options, request, strError))
        return usage(strError);

    const std::string strListName =
        request.eList == EListSource::StdIn ? std::string(kStdInName) : request.strList;
    CStatusReport report(strListName, request.layout.strCertPath, nNow, std::stoll(strDays));
    tagGenResult result;
    if (!certs::collectGroups(
            request, [&report](certs::tagCertGroup& group) { report.addGroup(group); }, result)) {
        const bool bUsage =
            result.eFailure == EGenFailure::SitePath || result.eFailure == EGenFailure::Prefix;
        say(report::failure(result, kStdOutPath, request.eServer));
        return bUsage ? exitstatus::kUsage : exitstatus::kFile;
    }
    const bool bQuiet = options.bQuiet;
    report.addStrayDirs([bQuiet](const std::string& strNote) {
        if (!bQuiet)
            say(strNote);
    });
    const std::string strText = report.text(!bQuiet);
    std::size_t nWritten = 0;
    int nErrno = 0;
    if (!file::writeAll(sys::kStdOut, strText, nWritten, nErrno)) {
        say("cannot write standard output: " + file::errorText(nErrno != 0 ? nErrno : EIO));
        return exitstatus::kFile;
    }
    return report.needsAction() ? exitstatus::kFindings : exitstatus::kOk;
}
