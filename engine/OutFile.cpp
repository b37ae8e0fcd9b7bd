#include "engine/OutFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "core/FileUtil.h"
#include "engine/RunSettings.h"

COutFile::COutFile() = default;

COutFile::~COutFile() {
    std::string strReason;
    close(strReason);
}

bool COutFile::open(const std::string& strPath, std::string& strReason) {
    if (strPath == kStdOutPath) {
        m_fd = STDOUT_FILENO;
        m_bOwnFd = false;
    } else {
        m_fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            strReason = file::errorText(errno);
            return false;
        }
        m_bOwnFd = true;
    }
    struct stat st {};
    m_bRegular = ::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode);
    // Where our first byte lands, so that a failed write can be cut back to whole entries
    // without touching what was in the file before (standard output may append).
    const int nFlags = ::fcntl(m_fd, F_GETFL);
    m_nBytes = !m_bRegular ? 0 : (nFlags >= 0 && (nFlags & O_APPEND)) ? st.st_size : ::lseek(m_fd, 0, SEEK_CUR);
    m_bufFill.reserve(m_nPieceSize + 4096);
    m_bufWrite.reserve(m_nPieceSize + 4096);
    try {
        m_writer = std::thread(&COutFile::writerLoop, this);
    } catch (const std::system_error& e) {
        strReason = e.what();
        if (m_bOwnFd)
            ::close(m_fd);
        m_fd = -1;
        return false;
    }
    return true;
}

void COutFile::waitIdle(std::unique_lock<std::mutex>& lock) {
    m_cv.wait(lock, [this] { return !m_bHasWork; });
}

void COutFile::handOff() {
    {
        std::unique_lock lock(m_mutex);
        waitIdle(lock);
        m_bufFill.swap(m_bufWrite);
        m_vecFillEnds.swap(m_vecWriteEnds);
        m_bHasWork = true;
    }
    m_cv.notify_all();
    m_bufFill.clear();
    m_vecFillEnds.clear();
}

void COutFile::writerLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_bHasWork || m_bQuit; });
        if (!m_bHasWork)
            return;
        lock.unlock();
        writePiece();
        lock.lock();
        m_bHasWork = false;
        m_cv.notify_all();
    }
}

// Runs on the writer thread, which owns m_bufWrite and m_vecWriteEnds while m_bHasWork is set.
void COutFile::writePiece() {
    if (m_bFailed.load(std::memory_order_relaxed) || m_bufWrite.empty())
        return;
    std::size_t nWritten = 0;
    int nErrno = 0;
    const bool bOk = file::writeAll(m_fd, m_bufWrite.view(), nWritten, nErrno);
    // The entries that reached the file whole; a part of one is cut off again.
    const auto itWhole = std::upper_bound(m_vecWriteEnds.begin(), m_vecWriteEnds.end(), nWritten);
    const std::size_t nWhole = itWhole == m_vecWriteEnds.begin() ? 0 : *(itWhole - 1);
    if (!bOk && m_bRegular && nWhole < nWritten)
        (void)::ftruncate(m_fd, m_nBytes + static_cast<off_t>(nWhole));
    std::lock_guard lock(m_mutex);
    m_nEntries += itWhole - m_vecWriteEnds.begin();
    m_nBytes += static_cast<std::int64_t>(nWhole);
    if (!bOk) {
        m_nErrno = nErrno;
        m_bFailed.store(true);
    }
}

bool COutFile::close(std::string& strReason) {
    if (m_fd < 0)
        return true;
    if (!m_bufFill.empty())
        handOff();
    {
        std::unique_lock lock(m_mutex);
        waitIdle(lock);
        m_bQuit = true;
    }
    m_cv.notify_all();
    m_writer.join();
    int nErrno = m_nErrno;
    if (m_bOwnFd && ::close(m_fd) != 0 && nErrno == 0)
        nErrno = errno;
    m_fd = -1;
    if (nErrno != 0) {
        m_bFailed.store(true);
        strReason = file::errorText(nErrno);
        return false;
    }
    return true;
}

std::int64_t COutFile::entriesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_nEntries;
}
