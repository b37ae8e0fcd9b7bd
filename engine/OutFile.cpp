#include "engine/OutFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/GenRequest.h"

COutFile::COutFile() = default;

COutFile::~COutFile() {
    discard();
}

namespace {
// The descriptor a path names ("/dev/stdout", "/dev/fd/3"), or -1.
int descriptorOfPath(std::string_view strPath) {
    if (strPath == "/dev/stdout")
        return sys::kStdOut;
    if (strPath == "/dev/stderr")
        return sys::kStdErr;
    for (const std::string_view head : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!strPath.starts_with(head) || strPath.size() == head.size() || strPath.size() > head.size() + 9)
            continue;
        int fd = 0;
        for (const char ch : strPath.substr(head.size())) {
            if (ch < '0' || ch > '9')
                return -1;
            fd = fd * 10 + (ch - '0');
        }
        return fd;
    }
    return -1;
}
} // namespace

bool COutFile::open(const std::string& strPath, std::string& strReason) {
    if (strPath == kStdOutPath)
        return openStream(sys::kStdOut, strReason);
    // A path that names an open descriptor is that stream, appending where it appends.
    if (const int fdNamed = descriptorOfPath(strPath); fdNamed >= 0) {
        m_fd = sys::dupFd(fdNamed);
        if (m_fd < 0) {
            strReason = file::errorText(errno);
            return false;
        }
        m_bOwnFd = true;
        return start(strReason);
    }
    const std::string strTarget = file::resolveLinks(strPath);
    sys::tagFileInfo info;
    const bool bExists = sys::statPath(strTarget, info);
    if (bExists && info.bDir) {
        // Said as such on every system (Windows would only say access is denied).
        strReason = file::errorText(EISDIR);
        return false;
    }
    if (bExists && !info.bRegular) {
        // A named pipe or a device cannot be replaced: it is written as it is.
        m_fd = sys::openWrite(strTarget);
    } else {
        m_fd = file::createTempBeside(strTarget, m_strTemp);
        if (m_fd >= 0)
            m_strTarget = strTarget;
    }
    if (m_fd < 0) {
        strReason = file::errorText(errno);
        m_strTemp.clear();
        return false;
    }
    m_bOwnFd = true;
    return start(strReason);
}

bool COutFile::openStaged(const std::string& strStaged, const std::string& strTarget, std::string& strReason,
                          bool& bExists) {
    bExists = false;
    m_fd = file::createExclusive(strStaged, strTarget);
    if (m_fd < 0) {
        bExists = errno == EEXIST;
        strReason = file::errorText(errno);
        return false;
    }
    m_strTemp = strStaged;
    m_strTarget = strTarget;
    m_bOwnFd = true;
    return start(strReason);
}

bool COutFile::openStream(int fd, std::string& strReason) {
    m_fd = fd;
    m_bOwnFd = false;
    return start(strReason);
}

void COutFile::openNull(bool bStream) {
    m_bNull = true;
    m_bNullStream = bStream;
    m_bSync = true;
}

bool COutFile::start(std::string& strReason) {
    sys::tagFileInfo info;
    m_bRegular = sys::statFd(m_fd, info) && info.bRegular;
    // Where our first byte lands, so that a failed write can be cut back to whole entries
    // without touching what was in the file before (standard output may append).
    m_nStart = !m_bRegular ? 0 : sys::isAppendFd(m_fd) ? info.nSize : sys::seekFd(m_fd, 0, SEEK_CUR);
    m_nBytes = m_nStart;
    m_bufFill.reserve(m_nPieceSize + 4096);
    m_bufWrite.reserve(m_nPieceSize + 4096);
    if (m_bSync)
        return true;
    try {
        m_writer = std::thread(&COutFile::writerLoop, this);
    } catch (const std::system_error& e) {
        strReason = e.what();
        discard();
        return false;
    }
    return true;
}

void COutFile::reserveHead(std::size_t nSize) {
    if (isStream() || nSize < 2)
        return;
    m_nHead = nSize;
    m_bufFill.append(std::string(nSize - 2, ' '));
    m_bufFill.append("\r\n");
}

bool COutFile::writeHead(std::string_view strLine) {
    if (m_fd < 0 || strLine.size() + 2 > m_nHead)
        return false;
    if (!m_bufFill.empty())
        handOff();
    if (!m_bSync) {
        std::unique_lock lock(m_mutex);
        waitIdle(lock);
    }
    if (m_bFailed.load())
        return false;
    const std::string strHead =
        std::string(strLine) + std::string(m_nHead - 2 - strLine.size(), ' ') + "\r\n";
    return sys::writeAt(m_fd, strHead.data(), strHead.size(), m_nStart) ==
           static_cast<std::int64_t>(strHead.size());
}

void COutFile::waitIdle(std::unique_lock<std::mutex>& lock) {
    m_cv.wait(lock, [this] { return !m_bHasWork; });
}

void COutFile::handOff() {
    if (m_bSync) {
        m_bufFill.swap(m_bufWrite);
        m_vecFillEnds.swap(m_vecWriteEnds);
        writePiece();
        m_bufFill.clear();
        m_vecFillEnds.clear();
        return;
    }
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
    if (m_bNull) {
        m_nEntries += static_cast<std::int64_t>(m_vecWriteEnds.size());
        return;
    }
    if (m_bFailed.load(std::memory_order_relaxed) || m_bufWrite.empty())
        return;
    std::size_t nWritten = 0;
    int nErrno = 0;
    const bool bOk = file::writeAll(m_fd, m_bufWrite.view(), nWritten, nErrno);
    // The pieces of a file that will take its name by a rename go on to the disk while the next
    // ones are built: a file system may push out the whole file before such a rename returns.
    if (bOk && !m_strTemp.empty())
        sys::startWriteback(m_fd, m_nBytes, static_cast<std::int64_t>(nWritten));
    // The entries that reached the file whole; a part of one is cut off again.
    const auto itWhole = std::upper_bound(m_vecWriteEnds.begin(), m_vecWriteEnds.end(), nWritten);
    const std::size_t nWhole = itWhole == m_vecWriteEnds.begin() ? 0 : *(itWhole - 1);
    if (!bOk && m_bRegular && nWhole < nWritten)
        (void)sys::truncateFd(m_fd, m_nBytes + static_cast<std::int64_t>(nWhole));
    std::lock_guard lock(m_mutex);
    m_nEntries += itWhole - m_vecWriteEnds.begin();
    m_nBytes += static_cast<std::int64_t>(nWhole);
    if (!bOk) {
        m_nErrno = nErrno;
        m_bFailed.store(true);
    }
}

void COutFile::stopWriter(bool bFlush) {
    if (m_bSync && bFlush && !m_bufFill.empty())
        handOff();
    if (!m_writer.joinable())
        return;
    if (bFlush && !m_bufFill.empty())
        handOff();
    {
        std::unique_lock lock(m_mutex);
        waitIdle(lock);
        m_bQuit = true;
    }
    m_cv.notify_all();
    m_writer.join();
}

bool COutFile::finish(std::string& strReason) {
    if (m_fd < 0)
        return !m_bFailed.load();
    stopWriter(true);
    int nErrno = m_nErrno;
    if (m_bOwnFd && sys::closeFd(m_fd) != 0 && nErrno == 0)
        nErrno = errno;
    m_fd = -1;
    if (nErrno != 0) {
        m_bFailed.store(true);
        strReason = file::errorText(nErrno);
        return false;
    }
    return true;
}

bool COutFile::commit(std::string& strReason) {
    if (m_strTemp.empty() || m_bFailed.load())
        return !m_bFailed.load();
    if (sys::renameOver(m_strTemp, m_strTarget) != 0) {
        strReason = file::errorText(errno);
        m_bFailed.store(true);
        discard();
        return false;
    }
    m_strTemp.clear();
    return true;
}

bool COutFile::close(std::string& strReason) {
    if (!finish(strReason)) {
        discard();
        return false;
    }
    return commit(strReason);
}

void COutFile::discard() {
    if (m_fd >= 0) {
        stopWriter(false);
        if (m_strTemp.empty() && m_bRegular)
            (void)sys::truncateFd(m_fd, m_nStart);
        if (m_bOwnFd)
            sys::closeFd(m_fd);
        m_fd = -1;
    } else if (m_strTemp.empty()) {
        // Finished on a stream: what it was given is there.
        return;
    }
    if (!m_strTemp.empty()) {
        sys::removeFile(m_strTemp);
        m_strTemp.clear();
    }
    std::lock_guard lock(m_mutex);
    m_nEntries = 0;
}

void COutFile::release() {
    m_strTemp.clear();
}

std::int64_t COutFile::entriesWritten() const {
    std::lock_guard lock(m_mutex);
    return m_nEntries;
}
