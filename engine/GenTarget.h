#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

// The notifications of a generation run, with the values a Windows dialog would receive.
inline constexpr unsigned WM_USER = 0x0400;
inline constexpr unsigned WM_GEN_PROGRESS = WM_USER + 101; // lParam: the line about to be processed, from 1
inline constexpr unsigned WM_GEN_DONE = WM_USER + 102;     // wParam: an EGenFailure, 0 for none

enum class EGenFailure : unsigned { None = 0, ReadFile = 1, WriteFile = 2 };

// What a finished run carries to the front end.
struct tagGenResult {
    EGenFailure eFailure = EGenFailure::None;
    std::string strPath;   // the file that could not be read or written
    std::string strReason; // the system's reason
    bool bStopped = false;
    std::int64_t nLines = 0;   // lines taken from the list
    std::int64_t nEntries = 0; // whole entries in the output
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
