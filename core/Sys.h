#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

// The few file system calls the engine makes on descriptors, the same on every system: paths are
// UTF-8, offsets 64-bit, failures leave the reason in errno. On POSIX systems these are the
// system's own calls; on Windows (core/SysWin.cpp) they go through the wide-character C runtime
// and Win32.
namespace sys {

struct tagFileInfo {
    bool bRegular = false;
    bool bDir = false;
    bool bLink = false; // only from lstatPath
    std::int64_t nSize = 0;
    // Which file it is; both 0 where the system cannot say.
    std::uint64_t nDevice = 0;
    std::uint64_t nInode = 0;
};

// The arguments as the user typed them, in UTF-8 whatever the system's code page; standard input
// and output pass bytes unchanged, and the console shows UTF-8.
std::vector<std::string> programArguments(int argc, char** argv);
// A terminal the user reads that can go back over a line: not a file or pipe, not TERM=dumb.
bool rewritesLines(int fd);
// What a user types at a terminal to end what the program reads there.
const char* endOfInputKeys();

// The signals that would end the program (Ctrl-C, a closed console or terminal, SIGTERM and the
// like) are noted instead, for signalled() to tell, and a second one ends the program at once,
// should a write hang; a closed pipe and a file size limit become failed writes.
void watchSignals();
// A closed pipe and a file size limit become failed writes, not a silent end of the program.
void failWritesInsteadOfSignals();
// 0, or the first signal noted: kInterrupt for Ctrl-C.
int signalled();
extern const int kInterrupt;

// An environment variable in UTF-8; empty when it is not set.
std::string envVar(const char* pszName);
// The user's home directory, or empty.
std::string homeDir();
// Where a user's settings and a user's data go by the system's custom (%APPDATA% on Windows for
// both; $XDG_CONFIG_HOME, else ~/.config, and $XDG_DATA_HOME, else ~/.local/share elsewhere),
// with a trailing separator.
std::string userConfigBase();
std::string userDataBase();
// A program of this system keeps its files beside itself unless told otherwise (Windows).
extern const bool kPortableByDefault;
// Whether a file can be made in the directory (which a read-only folder only shows when tried).
bool canCreateIn(const std::string& strDir);
// Whether this system can open an IPv6 socket, which a server listening on "[::]" needs.
bool hasIpv6();

// For apply, which changes a server's configuration in place (a Linux server's; on Windows each
// fails with ENOSYS). An exclusive lock on the file, made when missing, held while the returned
// descriptor is open: bWait waits for it, else it fails at once with EWOULDBLOCK. -1 with errno.
int lockFile(const std::string& strPath, bool bWait);
// A symbolic link at strLink to strTarget; 0, or -1 with errno.
int makeSymlink(const std::string& strTarget, const std::string& strLink);
// What the symbolic link holds; false with errno when it is none.
bool readSymlink(const std::string& strLink, std::string& strTarget);
// A second name for the file at strFrom (a link itself, not followed); 0, or -1 with errno.
int hardLink(const std::string& strFrom, const std::string& strTo);
// The directory's entries on the disk; 0, or -1 with errno.
int syncDir(const std::string& strDir);
// The status of a GET of "/" with the Host header strHostHeader from the server at the IP address
// strIp (v4, or v6 without brackets) and nPort, within nTimeoutMs; -1 with errno when none came.
int httpStatus(const std::string& strIp, int nPort, const std::string& strHostHeader, int nTimeoutMs);

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

#ifdef _WIN32

inline constexpr int kStdIn = 0;
inline constexpr int kStdOut = 1;
inline constexpr int kStdErr = 2;

int openRead(const std::string& strPath);
// An existing file that is not replaced, such as a device, for writing.
int openWrite(const std::string& strPath);
// A new file that must not exist yet, for writing.
int createNew(const std::string& strPath);
bool statPath(const std::string& strPath, tagFileInfo& info);
// The path itself: a link is not followed.
bool lstatPath(const std::string& strPath, tagFileInfo& info);
bool statFd(int fd, tagFileInfo& info);
int makeDir(const std::string& strPath);
int removeDir(const std::string& strPath);
std::int64_t readAt(int fd, void* pData, std::size_t nSize, std::int64_t nOffset);
std::int64_t writeAt(int fd, const void* pData, std::size_t nSize, std::int64_t nOffset);
std::int64_t readFd(int fd, void* pData, std::size_t nSize);
std::int64_t writeFd(int fd, const void* pData, std::size_t nSize);
int closeFd(int fd);
std::int64_t seekFd(int fd, std::int64_t nOffset, int nWhence);
int truncateFd(int fd, std::int64_t nSize);
int syncFd(int fd);
bool isAppendFd(int fd);
int dupFd(int fd);
// Renames strFrom over strTo, which is replaced whole if it exists.
int renameOver(const std::string& strFrom, const std::string& strTo);
int removeFile(const std::string& strPath);
inline void adviseSequential(int, std::int64_t) {}
inline void startWriteback(int, std::int64_t, std::int64_t) {}
// Zeroed memory straight from the system; null when there is none.
void* allocPages(std::size_t nSize);
void freePages(void* p, std::size_t nSize);
inline void adviseHugePages(void*, std::size_t) {}

// A console the user reads; with escapes turned on where the console needs asking.
bool isTerminal(int fd);
bool enableTerminalEscapes(int fd);

// True when strText is an IPv4 address in dotted form, or with bV6 an IPv6 address, as the
// system's own resolver reads it.
bool isIpLiteral(const std::string& strText, bool bV6);

// UTF-8 and the system's UTF-16; invalid UTF-8 becomes U+FFFD.
std::wstring widen(const std::string& str);
std::string narrow(const std::wstring& str);

#else

inline bool isIpLiteral(const std::string& strText, bool bV6) {
    unsigned char bytes[16];
    return ::inet_pton(bV6 ? AF_INET6 : AF_INET, strText.c_str(), bytes) == 1;
}

inline constexpr int kStdIn = STDIN_FILENO;
inline constexpr int kStdOut = STDOUT_FILENO;
inline constexpr int kStdErr = STDERR_FILENO;

inline int openRead(const std::string& strPath) {
    return ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
}
inline int openWrite(const std::string& strPath) {
    return ::open(strPath.c_str(), O_WRONLY | O_CLOEXEC);
}
inline bool fillInfo(const struct stat& st, tagFileInfo& info) {
    info.bRegular = S_ISREG(st.st_mode);
    info.bDir = S_ISDIR(st.st_mode);
    info.bLink = S_ISLNK(st.st_mode);
    info.nSize = st.st_size;
    info.nDevice = st.st_dev;
    info.nInode = st.st_ino;
    return true;
}
inline bool statPath(const std::string& strPath, tagFileInfo& info) {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 && fillInfo(st, info);
}
inline bool lstatPath(const std::string& strPath, tagFileInfo& info) {
    struct stat st {};
    return ::lstat(strPath.c_str(), &st) == 0 && fillInfo(st, info);
}
inline int makeDir(const std::string& strPath) {
    return ::mkdir(strPath.c_str(), 0700);
}
inline int removeDir(const std::string& strPath) {
    return ::rmdir(strPath.c_str());
}
inline std::int64_t readAt(int fd, void* pData, std::size_t nSize, std::int64_t nOffset) {
    return ::pread(fd, pData, nSize, nOffset);
}
inline std::int64_t writeAt(int fd, const void* pData, std::size_t nSize, std::int64_t nOffset) {
    return ::pwrite(fd, pData, nSize, nOffset);
}
inline bool statFd(int fd, tagFileInfo& info) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && fillInfo(st, info);
}
inline std::int64_t readFd(int fd, void* pData, std::size_t nSize) {
    return ::read(fd, pData, nSize);
}
inline std::int64_t writeFd(int fd, const void* pData, std::size_t nSize) {
    return ::write(fd, pData, nSize);
}
inline int closeFd(int fd) {
    return ::close(fd);
}
inline std::int64_t seekFd(int fd, std::int64_t nOffset, int nWhence) {
    return ::lseek(fd, nOffset, nWhence);
}
inline int truncateFd(int fd, std::int64_t nSize) {
    return ::ftruncate(fd, nSize);
}
inline int syncFd(int fd) {
    return ::fsync(fd);
}
inline bool isAppendFd(int fd) {
    const int nFlags = ::fcntl(fd, F_GETFL);
    return nFlags >= 0 && (nFlags & O_APPEND);
}
inline int dupFd(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}
inline int renameOver(const std::string& strFrom, const std::string& strTo) {
    return ::rename(strFrom.c_str(), strTo.c_str());
}
inline int removeFile(const std::string& strPath) {
    return ::unlink(strPath.c_str());
}
inline void adviseSequential(int fd, std::int64_t nFrom) {
    ::posix_fadvise(fd, nFrom, 0, POSIX_FADV_SEQUENTIAL);
}
// Starts putting a written range of a file on the disk, without waiting for it.
inline void startWriteback(int fd, std::int64_t nFrom, std::int64_t nSize) {
    ::sync_file_range(fd, nFrom, nSize, SYNC_FILE_RANGE_WRITE);
}
inline bool isTerminal(int fd) {
    return ::isatty(fd) != 0;
}
inline bool enableTerminalEscapes(int) {
    return true;
}
inline void* allocPages(std::size_t nSize) {
    void* p = ::mmap(nullptr, nSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}
inline void freePages(void* p, std::size_t nSize) {
    ::munmap(p, nSize);
}
inline void adviseHugePages(void* p, std::size_t nSize) {
    ::madvise(p, nSize, MADV_HUGEPAGE);
}

#endif

} // namespace sys
