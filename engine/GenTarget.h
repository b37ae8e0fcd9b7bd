#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/NameRule.h"

// The notifications of a generation run, with the values a Windows dialog would receive (the
// window system's first private message is 0x400; it is not named here, so that a Windows front
// end can include this next to the system's headers).
inline constexpr unsigned WM_GEN_PROGRESS = 0x465; // lParam: the line about to be processed, from 1
inline constexpr unsigned WM_GEN_DONE = 0x466;     // wParam: an EGenFailure, 0 for none

enum class EGenFailure : unsigned {
    None = 0,
    ReadFile = 1,    // strPath could not be read: strReason says why
    WriteFile = 2,   // strPath could not be written: strReason says why
    LineTooLong = 3, // strPath holds a line longer than any list has: not a list of names
    ListChanged = 4, // strPath changed while it was read
    SitePath = 5,    // the site path is refused: eSitePath says why
    Prefix = 6,      // the prefix is refused: ePrefix says why
    Refused = 7,     // a line was refused in a strict run
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
    bool bStopped = false;
    std::int64_t nLines = 0;   // lines taken from the list
    std::int64_t nEntries = 0; // whole entries in the output
    std::int64_t nSkipped = 0; // blank lines and lines without a dot
    std::int64_t nRefused = 0;
    std::int64_t nDuplicates = 0;
    bool bDuplicatesPartial = false; // too many names to remember them all: later ones unchecked
    std::vector<tagLineReport> vecRefused;
    std::vector<tagLineReport> vecDuplicates;
};

// Where the worker's notifications go: a front end implements it (the dialog posts events to its
// thread, the command-line tool prints, tests record). Progress is merged while the receiver is
// behind: a new notification goes out only once the previous one has been taken, so one run never
// floods a queue, and the receiver always gets to see the last line.
class CGenTarget {
public:
    virtual ~CGenTarget() = default;

    // Worker side, before each line: two plain memory operations when the receiver is behind.
    void postProgress(std::int64_t nLine) {
        m_nLatest.store(nLine, std::memory_order_relaxed);
        if (!m_bPending.load(std::memory_order_relaxed) && !m_bPending.exchange(true))
            onProgress();
    }

    // Worker side, at the end: makes sure the receiver sees the last line before the end.
    void flushProgress() {
        // Stored again in the one order of all seq_cst operations: if the receiver's takeProgress
        // comes after the exchange below, it reads this value.
        const std::int64_t nLast = m_nLatest.load(std::memory_order_relaxed);
        m_nLatest.store(nLast);
        if (m_nTaken.load() != nLast && !m_bPending.exchange(true))
            onProgress();
    }

    // Worker side, exactly once and last.
    void postDone(tagGenResult result) { onDone(std::move(result)); }

    // Receiver side, when it handles a progress notification: the latest line, and leave to
    // send the next one.
    std::int64_t takeProgress() {
        m_bPending.store(false);
        const std::int64_t nLine = m_nLatest.load();
        m_nTaken.store(nLine);
        return nLine;
    }

    // Receiver side: the latest line, without leave to send the next notification yet.
    std::int64_t peekProgress() const { return m_nLatest.load(); }

protected:
    // WM_GEN_PROGRESS: called on the worker thread; the receiver calls takeProgress when it
    // handles it.
    virtual void onProgress() = 0;
    // WM_GEN_DONE: called on the worker thread; the worker touches nothing shared afterwards.
    virtual void onDone(tagGenResult result) = 0;

private:
    std::atomic<std::int64_t> m_nLatest{0};
    std::atomic<std::int64_t> m_nTaken{0};
    std::atomic<bool> m_bPending{false};
};
