#include "cli/Report.h"

#include <chrono>
#include <cstdio>

#include <algorithm>

#include "engine/GenRequest.h"

namespace report {

std::string counted(std::int64_t n, const char* pOne, const char* pMany) {
    return std::to_string(n) + " " + (n == 1 ? pOne : pMany);
}

namespace {

std::string fileName(std::string_view strPath, bool bOutput) {
    if (strPath == (bOutput ? kStdOutPath : kStdInName))
        return bOutput ? "standard output" : "standard input";
    return "'" + std::string(strPath) + "'";
}

} // namespace

std::string reasonText(names::EVerdict eReason) {
    switch (eReason) {
    case names::EVerdict::Space:
        return "a space inside";
    case names::EVerdict::Control:
        return "a control character";
    case names::EVerdict::Backslash:
        return "a backslash";
    case names::EVerdict::Quote:
        return "a quote";
    case names::EVerdict::BadChar:
        return "a character Apache does not take";
    case names::EVerdict::EmptyLabel:
        return "an empty label";
    case names::EVerdict::LabelTooLong:
        return "a label longer than 63 characters";
    case names::EVerdict::TooLong:
        return "too long";
    case names::EVerdict::NoAsciiForm:
        return "no ASCII form";
    case names::EVerdict::InvalidText:
        return "bytes that are not text";
    case names::EVerdict::CatchAll:
        return "a wildcard that takes every name";
    case names::EVerdict::FileNameTooLong:
        return "too long to name a file";
    case names::EVerdict::ServerWildcard:
        return "a wildcard nginx does not take ('?', or a '*' that is not a whole first or last label)";
    case names::EVerdict::Name:
    case names::EVerdict::Skip:
        break;
    }
    return "refused";
}

std::string sitePathText(names::ESitePath eFault, EServerKind eServer) {
    switch (eFault) {
    case names::ESitePath::Empty:
        return "must not be empty";
    case names::ESitePath::Control:
        return "holds a line break or another control character";
    case names::ESitePath::TooLong:
        return "is longer than " + std::to_string(names::kMaxSitePath) + " bytes";
    case names::ESitePath::Variable:
        return eServer == EServerKind::Nginx ? "holds '$', which nginx would read as a variable"
                                             : "holds \"${\", which Apache would replace with a variable";
    case names::ESitePath::Ok:
        break;
    }
    return {};
}

std::vector<std::string> lineReports(const tagGenResult& result, std::string_view strListName) {
    std::vector<const tagLineReport*> vecAll;
    for (const auto* pReports : {&result.vecRefused, &result.vecDuplicates})
        for (const auto& report : *pReports)
            vecAll.push_back(&report);
    std::stable_sort(vecAll.begin(), vecAll.end(), [](auto* a, auto* b) { return a->nLine < b->nLine; });
    std::vector<std::string> vecLines;
    const std::string strGb18030 = std::string(strListName) + ":" + std::to_string(result.nFirstGb18030Line) +
                                   ": read as GB18030 (this line and any later one that is not UTF-8)";
    bool bGb18030Told = result.nFirstGb18030Line == 0;
    for (const tagLineReport* pReport : vecAll) {
        if (!bGb18030Told && pReport->nLine >= result.nFirstGb18030Line) {
            vecLines.push_back(strGb18030);
            bGb18030Told = true;
        }
        const std::string strWhy = pReport->eReason == names::EVerdict::Name
                                       ? "duplicate of line " + std::to_string(pReport->nFirstLine)
                                       : reasonText(pReport->eReason);
        vecLines.push_back(std::string(strListName) + ":" + std::to_string(pReport->nLine) + ": " + strWhy +
                           ": " + pReport->strText);
    }
    if (!bGb18030Told)
        vecLines.push_back(strGb18030);
    const auto nMoreRefused = result.nRefused - static_cast<std::int64_t>(result.vecRefused.size());
    if (nMoreRefused > 0)
        vecLines.push_back("kelvane-cli: " +
                           counted(nMoreRefused, "more refused line", "more refused lines") + " not shown");
    const auto nMoreDuplicates = result.nDuplicates - static_cast<std::int64_t>(result.vecDuplicates.size());
    if (nMoreDuplicates > 0)
        vecLines.push_back("kelvane-cli: " + counted(nMoreDuplicates, "more duplicate", "more duplicates") +
                           " not shown");
    if (result.bDuplicatesPartial)
        vecLines.push_back(
            "kelvane-cli: too many names to remember them all: later names were not checked for "
            "duplicates");
    for (const tagLineReport& report : result.vecWildcards)
        vecLines.push_back(std::string(strListName) + ":" + std::to_string(report.nLine) +
                           ": no certbot argument for " + report.strText +
                           ": certbot's webroot method cannot obtain a wildcard name (use a DNS challenge)");
    if (const auto nMore = result.nWildcards - static_cast<std::int64_t>(result.vecWildcards.size());
        nMore > 0)
        vecLines.push_back("kelvane-cli: " + counted(nMore, "more wildcard name", "more wildcard names") +
                           " without a certbot argument not shown");
    for (const tagLineReport& report : result.vecWaiting)
        vecLines.push_back(std::string(strListName) + ":" + std::to_string(report.nLine) +
                           ": waiting for a certificate, plain HTTP only until then: " + report.strText);
    if (const auto nMore = result.nWaitingEntries - static_cast<std::int64_t>(result.vecWaiting.size());
        nMore > 0)
        vecLines.push_back("kelvane-cli: " + counted(nMore, "more entry", "more entries") +
                           " waiting for a certificate not shown (kelvane-cli certs status lists them all)");
    return vecLines;
}

std::string summary(const tagGenResult& result) {
    std::string strSummary = counted(result.nEntries, "entry", "entries") + " written, " +
                             counted(result.nRefused, "line", "lines") + " refused, " +
                             counted(result.nDuplicates, "duplicate", "duplicates") + ", " +
                             counted(result.nSkipped, "line", "lines") + " skipped";
    if (result.nWaitingEntries > 0)
        strSummary += ", " + counted(result.nWaitingNames, "name", "names") + " of " +
                      counted(result.nWaitingEntries, "entry", "entries") + " waiting for a certificate";
    return strSummary;
}

std::string failure(const tagGenResult& result, std::string_view strOutput, EServerKind eServer) {
    const bool bStdOut = strOutput == kStdOutPath;
    const std::string strKept = bStdOut ? "" : "; " + fileName(strOutput, true) + " is left as it was";
    switch (result.eFailure) {
    case EGenFailure::ReadFile:
        return "cannot read " + fileName(result.strPath, false) + ": " + result.strReason;
    case EGenFailure::WriteFile:
        return "cannot write " + fileName(result.strPath, true) + ": " + result.strReason;
    case EGenFailure::LineTooLong:
        return "cannot read " + fileName(result.strPath, false) + ": " + result.strReason +
               "; this is not a list of domain names" + strKept;
    case EGenFailure::ListChanged:
        return fileName(result.strPath, false) + " changed while it was read" +
               (bStdOut ? "; the output is incomplete" : strKept) + "; run again once nothing writes to it";
    case EGenFailure::Refused:
        return counted(result.nRefused, "line was", "lines were") + " refused (--strict)" + strKept +
               "; correct them, or run without --strict to write the others";
    case EGenFailure::NothingWritten:
        return "no entry written: " + counted(result.nRefused, "line was", "lines were") + " refused" +
               (bStdOut
                    ? ""
                    : " and no other line held a name; " + fileName(strOutput, true) + " is left as it was") +
               "; correct the list and run again";
    case EGenFailure::Template:
        return "cannot use the template " + fileName(result.strPath, false) + ": its line " +
               std::to_string(result.nFailLine) + " cannot hold the site path so that " +
               std::string(eServer == EServerKind::Nginx ? "nginx" : "Apache") +
               " reads it back; put {sitePath} alone in double "
               "quotes";
    case EGenFailure::Clash:
        return (result.strPath == result.strReason
                    ? fileName(result.strPath, true) + " would be written twice"
                    : fileName(result.strPath, true) + " and " + fileName(result.strReason, true) +
                          " are the same file") +
               "; give each output a file of its own";
    case EGenFailure::Aborted:
        return "ended by a signal; no file was changed";
    case EGenFailure::SitePath:
        return "--site-path " + sitePathText(result.eSitePath);
    case EGenFailure::Prefix:
        return "--prefix: " + reasonText(result.ePrefix);
    case EGenFailure::None:
        break;
    }
    return {};
}

std::string utcTime(std::int64_t nTime) {
    using namespace std::chrono;
    const sys_seconds time{seconds(nTime)};
    const sys_days day = floor<days>(time);
    const year_month_day date(day);
    const hh_mm_ss<seconds> clock(time - day);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return buffer;
}

bool parseUtcTime(std::string_view str, std::int64_t& nTime) {
    if (str.ends_with('Z'))
        str.remove_suffix(1);
    if ((str.size() != 16 && str.size() != 19) || str[4] != '-' || str[7] != '-' || str[10] != 'T' ||
        str[13] != ':' || (str.size() == 19 && str[16] != ':'))
        return false;
    const auto number = [str](std::size_t nAt, int& n) {
        n = 0;
        for (std::size_t i = nAt; i < nAt + (nAt == 0 ? 4 : 2); ++i) {
            if (str[i] < '0' || str[i] > '9')
                return false;
            n = n * 10 + (str[i] - '0');
        }
        return true;
    };
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    if (!number(0, nYear) || !number(5, nMonth) || !number(8, nDay) || !number(11, nHour) ||
        !number(14, nMinute) || (str.size() == 19 && !number(17, nSecond)))
        return false;
    const std::chrono::year_month_day date{std::chrono::year(nYear),
                                           std::chrono::month(static_cast<unsigned>(nMonth)),
                                           std::chrono::day(static_cast<unsigned>(nDay))};
    if (!date.ok() || nHour > 23 || nMinute > 59 || nSecond > 59)
        return false;
    nTime = std::chrono::sys_days(date).time_since_epoch().count() * std::int64_t{24 * 60 * 60} +
            nHour * 3600 + nMinute * 60 + nSecond;
    return true;
}

} // namespace report
