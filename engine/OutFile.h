#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/ByteBuffer.h"

// The output of a run: open for the whole run, filled entry by entry, and written by a thread of
// its own while the next piece is being built, so that a run goes as fast as the disk. It only
// ever holds whole entries: when a write fails, the file is cut back to the last whole entry.
class COutFile {
public:
    COutFile();
    ~COutFile();
    COutFile(const COutFile&) = delete;
    COutFile& operator=(const COutFile&) = delete;

    // Creates or empties the file; "-" is standard output, written as it is.
    bool open(const std::string& strPath, std::string& strReason);

    // Entries are appended here, each followed by a call to entryDone.
    CByteBuffer& buffer() { return m_bufFill; }
    void entryDone() {
        m_vecFillEnds.push_back(m_bufFill.size());
        if (m_bufFill.size() >= m_nPieceSize)
            handOff();
    }

    // A write has failed; what is appended from now on is dropped.
    bool failed() const { return m_bFailed.load(std::memory_order_relaxed); }

    // Writes what is left and closes; false with the reason when anything could not be written.
    bool close(std::string& strReason);

    std::int64_t entriesWritten() const;

    // Smaller pieces, so that tests can see several of them.
    void setPieceSize(std::size_t nSize) { m_nPieceSize = nSize; }

private:
    void handOff();
    void waitIdle(std::unique_lock<std::mutex>& lock);
    void writerLoop();
    void writePiece();

    int m_fd = -1;
    bool m_bOwnFd = false;
    bool m_bRegular = false;
    std::size_t m_nPieceSize = 1024 * 1024;

    CByteBuffer m_bufFill;
    std::vector<std::size_t> m_vecFillEnds;

    // Shared with the writer thread, under m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    CByteBuffer m_bufWrite;
    std::vector<std::size_t> m_vecWriteEnds;
    bool m_bHasWork = false;
    bool m_bQuit = false;
    int m_nErrno = 0;
    std::int64_t m_nEntries = 0;
    std::int64_t m_nBytes = 0;

    std::atomic<bool> m_bFailed{false};
    std::thread m_writer;
};
