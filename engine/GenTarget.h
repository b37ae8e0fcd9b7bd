#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/NameRule.h"

enum class EGenFailure : unsigned {
    None = 0,
    ReadFile = 1,    // strPath could not be read: strReason says why
    WriteFile = 2,   // strPath could not be written: strReason says why
    LineTooLong = 3, // strPath holds a line longer than any list has: not a list of names
    ListChanged = 4, // strPath changed while it was read
    SitePath = 5,    // the site path is refused: eSitePath says why
    Prefix = 6,      // the prefix is refused: ePrefix says why
    Refused = 7,     // a line was refused in a strict run
    // Every line that held a name was refused: no output was touched.
    NothingWritten = 8,
    // The template cannot hold the site path safely: strPath is the template, nFailLine the line.
    Template = 9,
    // Two outputs of the run are the same file: strPath is one, strReason names the other.
    Clash = 10,
    // A signal ended the run: no output was touched.
    Aborted = 11,
};

// A line of the list that wrote nothing, or a name seen before.
struct tagLineReport {
    std::int64_t nLine = 0;
    names::EVerdict eReason = names::EVerdict::Name; // Name for a duplicate
    std::int64_t nFirstLine = 0;                     // a duplicate: where the name first appeared
    std::string strText;                             // the line, as a report shows it
};

// What a finished run carries to the front end.
struct tagGenResult {
    static constexpr std::size_t kMaxReports = 20; // of each kind; the counts go on

    EGenFailure eFailure = EGenFailure::None;
    std::string strPath;   // the file that could not be read or written; "-" is standard input or output
    std::string strReason; // the system's reason
    names::ESitePath eSitePath = names::ESitePath::Ok;
    names::EVerdict ePrefix = names::EVerdict::Name;
    std::int64_t nFailLine = 0; // Template: the template's line that cannot hold the site path
    bool bStopped = false;
    std::int64_t nLines = 0;   // lines taken from the list
    std::int64_t nEntries = 0; // whole entries in the output
    std::int64_t nFiles = 0;   // files written, when each entry has a file of its own
    std::int64_t nSkipped = 0; // blank lines and lines without a dot
    std::int64_t nRefused = 0;
    std::int64_t nDuplicates = 0;
    bool bDuplicatesPartial = false;    // too many names to remember them all: later ones unchecked
    std::int64_t nFirstGb18030Line = 0; // the first line read as GB18030; 0 when none
    std::vector<tagLineReport> vecRefused;
    std::vector<tagLineReport> vecDuplicates;
    // Wildcard names that got no certbot argument (strText: the name).
    std::int64_t nWildcards = 0;
    std::vector<tagLineReport> vecWildcards;
    // --https: entries written without their HTTPS twin, as their certificate's files could not
    // be read (strText: its names, and which file cannot be read and why; nLine: its first
    // domain's line).
    std::int64_t nWaitingEntries = 0;
    std::int64_t nWaitingNames = 0;
    std::vector<tagLineReport> vecWaiting;
    // --certbot: certificates whose commands wait for a later wave.
    std::int64_t nCertbotLater = 0;
    // nginx: the server names hash that the names written need; 0 for Apache or a run that failed.
    std::size_t nHashBucketSize = 0;
    std::size_t nHashMaxSize = 0;
    // The split files not written because they were unchanged (tagLayout::strUnchangedDir).
    std::vector<std::string> vecUnchanged;
};

// Where a run tells how far it has come and how it ended. A front end implements onDone; progress
// is a value the front end reads at its own pace (a timer in the dialog, the main loop of the
// command-line tool), so that a run never floods an event queue.
class CGenTarget {
public:
    virtual ~CGenTarget() = default;

    // Worker side, before its first line: how many lines the run has (0 while not known: a list
    // read from a stream is not counted beforehand).
    void setTotal(std::int64_t nTotal) { m_nTotal.store(nTotal, std::memory_order_relaxed); }
    // Worker side, before each line.
    void setProgress(std::int64_t nLine) { m_nProgress.store(nLine, std::memory_order_relaxed); }
    // Worker side, exactly once and last.
    void postDone(tagGenResult result) { onDone(std::move(result)); }

    // Any thread: the line the run is at (0 before the first), and the total.
    std::int64_t progress() const { return m_nProgress.load(std::memory_order_relaxed); }
    std::int64_t total() const { return m_nTotal.load(std::memory_order_relaxed); }

protected:
    // Called on the worker thread; the worker touches nothing of the target afterwards.
    virtual void onDone(tagGenResult result) = 0;

private:
    std::atomic<std::int64_t> m_nProgress{0};
    std::atomic<std::int64_t> m_nTotal{0};
};
