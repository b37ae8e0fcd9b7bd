#include "cli/CliTarget.h"

#include <cstdio>

void CConsole::clearProgressLocked() {
    if (m_bProgressShown) {
        std::fputs("\r\033[K", stderr);
        m_bProgressShown = false;
    }
}

void CConsole::progress(const std::string& strText) {
    if (!m_bProgress)
        return;
    std::lock_guard lock(m_mutex);
    std::fprintf(stderr, "\r%s\033[K", strText.c_str());
    std::fflush(stderr);
    m_bProgressShown = true;
}

void CConsole::message(const std::string& strText) {
    std::lock_guard lock(m_mutex);
    clearProgressLocked();
    std::fprintf(stderr, "%s\n", strText.c_str());
    std::fflush(stderr);
}

void CConsole::clearProgress() {
    std::lock_guard lock(m_mutex);
    clearProgressLocked();
}

bool CCliTarget::waitDone(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [this] { return m_bDone; });
}

void CCliTarget::onDone(tagGenResult result) {
    std::lock_guard lock(m_mutex);
    m_result = std::move(result);
    m_bDone = true;
    m_cv.notify_all();
}
