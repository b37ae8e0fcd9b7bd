#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/ByteBuffer.h"

// The output of a run: open for the whole run, filled entry by entry, and written by a thread of
// its own while the next piece is being built, so that a run goes as fast as the disk.
//
// A named file is written as a temporary file beside it that takes its name when the run ends,
// so that it is always either the previous output or this run's, whole, and two runs into one
// file never mix. Standard output, and a named pipe or device, are written as they come; they
// only ever receive whole entries: when a write fails, a file there is cut back to the last whole
// entry, never into what it held before the run.
class COutFile {
public:
    COutFile();
    ~COutFile();
    COutFile(const COutFile&) = delete;
    COutFile& operator=(const COutFile&) = delete;

    // "-" is standard output. A symbolic link is followed: the file it names is replaced.
    bool open(const std::string& strPath, std::string& strReason);
    // A new file at strStaged, created only if nothing is there (bExists tells when something
    // is), that takes the place of strTarget on commit, with its permission bits; a link at
    // strTarget is replaced itself, never followed.
    bool openStaged(const std::string& strStaged, const std::string& strTarget, std::string& strReason,
                    bool& bExists);
    // An open descriptor, written as it comes; the output does not close it.
    bool openStream(int fd, std::string& strReason);
    // Nowhere: what is appended is counted and dropped, for a check that writes nothing. bStream:
    // as standard output would be, else as a named file.
    void openNull(bool bStream);

    // Entries are appended here, each followed by a call to entryDone.
    CByteBuffer& buffer() { return m_bufFill; }
    void entryDone() {
        m_vecFillEnds.push_back(m_bufFill.size());
        if (m_bufFill.size() >= m_nPieceSize)
            handOff();
    }

    // A named file begins with a line of nSize bytes (line end included), blank until writeHead
    // fills it, for what is known only at the end. Before the first entry.
    void reserveHead(std::size_t nSize);
    // The reserved line's text, padded with spaces; before finish. False when it does not fit or
    // the file has failed.
    bool writeHead(std::string_view strLine);

    // Written as it comes (standard output, a pipe, a device), not put in place at the end.
    bool isStream() const { return m_bNull ? m_bNullStream : m_strTemp.empty(); }

    // A write has failed; what is appended from now on is dropped.
    bool failed() const { return m_bFailed.load(std::memory_order_relaxed); }

    // Writes what is left and closes the file; a named file waits under its temporary name for
    // commit. False with the reason when anything could not be written.
    bool finish(std::string& strReason);
    // A finished named file takes the place of the previous one. False with the reason when it
    // cannot; the previous file is then as it was.
    bool commit(std::string& strReason);
    // finish, then commit.
    bool close(std::string& strReason);
    // Ends the output without this run's entries: a named file stays as it was, and standard
    // output that is a file is cut back to where the run began.
    void discard();
    // A finished file is left where it is, for whoever commits it: the output forgets it.
    void release();

    std::int64_t entriesWritten() const;

    // Smaller pieces, so that tests can see several of them.
    void setPieceSize(std::size_t nSize) { m_nPieceSize = nSize; }
    // Pieces written on the caller's thread: for the many small files of a split output, where a
    // thread each would cost more than the writing. Before open.
    void setSynchronous() { m_bSync = true; }

private:
    bool start(std::string& strReason);
    void stopWriter(bool bFlush);
    void handOff();
    void waitIdle(std::unique_lock<std::mutex>& lock);
    void writerLoop();
    void writePiece();

    int m_fd = -1;
    bool m_bOwnFd = false;
    bool m_bSync = false;
    bool m_bNull = false;
    bool m_bNullStream = false;
    bool m_bRegular = false;
    std::string m_strTarget; // a named file written through m_strTemp; both empty otherwise
    std::string m_strTemp;
    std::int64_t m_nStart = 0; // where the run's first byte landed
    std::size_t m_nPieceSize = 1024 * 1024;
    std::size_t m_nHead = 0; // the reserved first line's length

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
