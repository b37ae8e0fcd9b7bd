#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "engine/GenTarget.h"

// Standard error, shared by the progress line and the messages of both threads.
class CConsole {
public:
    explicit CConsole(bool bProgress) : m_bProgress(bProgress) {}
    bool showsProgress() const { return m_bProgress; }
    // Rewrites the progress line.
    void progress(const std::string& strText);
    // A line of its own; the progress line is cleared first.
    void message(const std::string& strText);
    // The progress line, if shown, is cleared.
    void clearProgress();

private:
    void clearProgressLocked();

    std::mutex m_mutex;
    bool m_bProgress;
    bool m_bProgressShown = false;
};

// Receives the end of the run, which wakes the main thread at once; progress is read at its own
// pace.
class CCliTarget : public CGenTarget {
public:
    // Waits for the end of the run for at most the given time; true once it has ended.
    bool waitDone(std::chrono::milliseconds timeout);
    const tagGenResult& result() const { return m_result; }

protected:
    void onDone(tagGenResult result) override;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_bDone = false;
    tagGenResult m_result;
};
