#include "core/Sys.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

// After windows.h, whose types it uses.
#include <csignal>
#include <filesystem>
#include <shellapi.h>

namespace sys {

namespace {

// The C runtime's errno for a Win32 error, so that every failure reads the same way.
int errnoOf(DWORD nError) {
    switch (nError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    default:
        return EIO;
    }
}

bool fillInfo(const struct _stat64& st, tagFileInfo& info) {
    info.bRegular = (st.st_mode & _S_IFMT) == _S_IFREG;
    info.bDir = (st.st_mode & _S_IFMT) == _S_IFDIR;
    info.nSize = st.st_size;
    return true;
}

} // namespace

std::wstring widen(const std::string& str) {
    if (str.empty())
        return {};
    const int nSize = static_cast<int>(str.size());
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, str.data(), nSize, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, str.data(), nSize, out.data(), n);
    return out;
}

std::string narrow(const std::wstring& str) {
    if (str.empty())
        return {};
    const int nSize = static_cast<int>(str.size());
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, str.data(), nSize, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, str.data(), nSize, out.data(), n, nullptr, nullptr);
    return out;
}

// Shared for reading, writing and deleting, as a file is on POSIX systems: the output of a run may
// replace the list it is reading, and another program may replace the list meanwhile.
int openRead(const std::string& strPath) {
    const std::wstring strWide = widen(strPath);
    const HANDLE hFile =
        ::CreateFileW(strWide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD nError = ::GetLastError();
        const DWORD nAttributes = ::GetFileAttributesW(strWide.c_str());
        // Windows says only that access is denied to a directory.
        errno = nAttributes != INVALID_FILE_ATTRIBUTES && (nAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? EISDIR
                    : errnoOf(nError);
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_RDONLY | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(hFile);
    return fd;
}

int openWrite(const std::string& strPath) {
    return ::_wopen(widen(strPath).c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
}

int createNew(const std::string& strPath) {
    return ::_wopen(widen(strPath).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}

bool statPath(const std::string& strPath, tagFileInfo& info) {
    const std::wstring strWide = widen(strPath);
    struct _stat64 st {};
    if (::_wstat64(strWide.c_str(), &st) == 0)
        return fillInfo(st, info);
    // A device (NUL, CON) or a named pipe is there, though the C runtime cannot say so.
    const int nErrno = errno;
    const HANDLE hFile =
        ::CreateFileW(strWide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        errno = nErrno;
        return false;
    }
    const DWORD nType = ::GetFileType(hFile);
    ::CloseHandle(hFile);
    if (nType != FILE_TYPE_CHAR && nType != FILE_TYPE_PIPE) {
        errno = nErrno;
        return false;
    }
    info = {};
    return true;
}

// Links are rare on Windows, and a link there is replaced itself: a path is what it names.
bool lstatPath(const std::string& strPath, tagFileInfo& info) {
    return statPath(strPath, info);
}

int makeDir(const std::string& strPath) {
    if (::CreateDirectoryW(widen(strPath).c_str(), nullptr))
        return 0;
    errno = errnoOf(::GetLastError());
    return -1;
}

int removeDir(const std::string& strPath) {
    if (::RemoveDirectoryW(widen(strPath).c_str()))
        return 0;
    errno = errnoOf(::GetLastError());
    return -1;
}

namespace {
bool transferAt(int fd, void* pData, std::size_t nSize, std::int64_t nOffset, bool bWrite, DWORD& nDone) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(nOffset) & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(nOffset) >> 32);
    const auto hFile = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    const auto nChunk = static_cast<DWORD>(std::min<std::size_t>(nSize, 1u << 30));
    const BOOL bOk = bWrite ? ::WriteFile(hFile, pData, nChunk, &nDone, &at)
                            : ::ReadFile(hFile, pData, nChunk, &nDone, &at);
    if (!bOk && ::GetLastError() == ERROR_HANDLE_EOF) {
        nDone = 0;
        return true;
    }
    if (!bOk)
        errno = errnoOf(::GetLastError());
    return bOk != 0;
}
} // namespace

std::int64_t readAt(int fd, void* pData, std::size_t nSize, std::int64_t nOffset) {
    DWORD nDone = 0;
    return transferAt(fd, pData, nSize, nOffset, false, nDone) ? static_cast<std::int64_t>(nDone) : -1;
}

std::int64_t writeAt(int fd, const void* pData, std::size_t nSize, std::int64_t nOffset) {
    DWORD nDone = 0;
    return transferAt(fd, const_cast<void*>(pData), nSize, nOffset, true, nDone)
               ? static_cast<std::int64_t>(nDone)
               : -1;
}

bool statFd(int fd, tagFileInfo& info) {
    struct _stat64 st {};
    return ::_fstat64(fd, &st) == 0 && fillInfo(st, info);
}

// The C runtime reads and writes at most an unsigned int at a time.
std::int64_t readFd(int fd, void* pData, std::size_t nSize) {
    return ::_read(fd, pData, static_cast<unsigned>(std::min<std::size_t>(nSize, 1u << 30)));
}

std::int64_t writeFd(int fd, const void* pData, std::size_t nSize) {
    return ::_write(fd, pData, static_cast<unsigned>(std::min<std::size_t>(nSize, 1u << 30)));
}

int closeFd(int fd) {
    return ::_close(fd);
}

std::int64_t seekFd(int fd, std::int64_t nOffset, int nWhence) {
    return ::_lseeki64(fd, nOffset, nWhence);
}

int truncateFd(int fd, std::int64_t nSize) {
    const errno_t rc = ::_chsize_s(fd, nSize);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

int syncFd(int fd) {
    return ::_commit(fd);
}

// A shell that appends places the file's position at its end before the program starts, so the
// position tells where the run's output begins.
bool isAppendFd(int) {
    return false;
}

int dupFd(int fd) {
    return ::_dup(fd);
}

int renameOver(const std::string& strFrom, const std::string& strTo) {
    // Written through, so that the new file is on the disk when its name is.
    if (::MoveFileExW(widen(strFrom).c_str(), widen(strTo).c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    errno = errnoOf(::GetLastError());
    return -1;
}

// _isatty also says yes for NUL and other character devices: only a console counts.
bool isTerminal(int fd) {
    DWORD nMode = 0;
    return ::GetConsoleMode(reinterpret_cast<HANDLE>(::_get_osfhandle(fd)), &nMode) != 0;
}

bool isIpLiteral(const std::string& strText, bool bV6) {
    unsigned char bytes[16];
    return ::inet_pton(bV6 ? AF_INET6 : AF_INET, strText.c_str(), bytes) == 1;
}

bool enableTerminalEscapes(int fd) {
    const auto hConsole = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    DWORD nMode = 0;
    return ::GetConsoleMode(hConsole, &nMode) &&
           ::SetConsoleMode(hConsole, nMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT);
}

void* allocPages(std::size_t nSize) {
    return ::VirtualAlloc(nullptr, nSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* p, std::size_t) {
    ::VirtualFree(p, 0, MEM_RELEASE);
}

int removeFile(const std::string& strPath) {
    return ::_wunlink(widen(strPath).c_str());
}

namespace {
volatile LONG g_nSignal = 0;

// Ctrl-C and Ctrl-Break stop; a console that closes, or a session that ends, ends the run without
// changing a file, in the few seconds the system gives before it ends the program. A second one
// ends the program at once.
BOOL WINAPI onConsoleCtrl(DWORD nEvent) {
    const LONG nSignal = nEvent == CTRL_C_EVENT || nEvent == CTRL_BREAK_EVENT ? SIGINT : SIGTERM;
    if (::InterlockedCompareExchange(&g_nSignal, nSignal, 0) != 0)
        return FALSE;
    if (nSignal == SIGTERM)
        ::Sleep(3000);
    return TRUE;
}

std::string withSeparator(std::string str) {
    if (!str.empty() && !str.ends_with('\\') && !str.ends_with('/'))
        str += '\\';
    return str;
}
} // namespace

const int kInterrupt = SIGINT;
const bool kPortableByDefault = true;

std::vector<std::string> programArguments(int argc, char** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    ::_setmode(kStdIn, _O_BINARY);
    ::_setmode(kStdOut, _O_BINARY);
    std::vector<std::string> vecArgs;
    int nArgs = 0;
    if (wchar_t** ppArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs)) {
        for (int i = 0; i < nArgs; ++i)
            vecArgs.push_back(narrow(ppArgs[i]));
        ::LocalFree(ppArgs);
    }
    if (vecArgs.empty())
        vecArgs.assign(argv, argv + argc);
    return vecArgs;
}

// A Windows console has no TERM: it rewrites lines once it is asked to take escapes.
bool rewritesLines(int fd) {
    return isTerminal(fd) && enableTerminalEscapes(fd);
}

const char* endOfInputKeys() {
    return "Ctrl-Z and Enter";
}

void watchSignals() {
    ::SetConsoleCtrlHandler(onConsoleCtrl, TRUE);
}

void failWritesInsteadOfSignals() {}

int signalled() {
    return static_cast<int>(g_nSignal);
}

std::string envVar(const char* pszName) {
    const wchar_t* pValue = ::_wgetenv(widen(pszName).c_str());
    return pValue ? narrow(pValue) : std::string();
}

std::string homeDir() {
    return envVar("USERPROFILE");
}

std::string userConfigBase() {
    std::string strBase = envVar("APPDATA");
    if (strBase.empty()) {
        std::error_code ec;
        const std::u8string str = std::filesystem::temp_directory_path(ec).u8string();
        strBase.assign(str.begin(), str.end());
    }
    return withSeparator(strBase);
}

std::string userDataBase() {
    return userConfigBase();
}

// Permissions say little on Windows, and a read-only folder such as Program Files shows only when
// a write is refused.
bool canCreateIn(const std::string& strDir) {
    const std::wstring strProbe =
        widen(withSeparator(strDir) + "Kelvane-" + std::to_string(::GetCurrentProcessId()) + ".probe");
    const HANDLE hFile = ::CreateFileW(strProbe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(hFile);
    return true;
}

int lockFile(const std::string&, bool) {
    errno = ENOSYS;
    return -1;
}

int makeSymlink(const std::string&, const std::string&) {
    errno = ENOSYS;
    return -1;
}

bool readSymlink(const std::string&, std::string&) {
    errno = ENOSYS;
    return false;
}

int hardLink(const std::string&, const std::string&) {
    errno = ENOSYS;
    return -1;
}

int syncDir(const std::string&) {
    errno = ENOSYS;
    return -1;
}

int httpStatus(const std::string&, int, const std::string&, int) {
    errno = ENOSYS;
    return -1;
}

bool hasIpv6() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    const SOCKET s = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    const bool bOk = s != INVALID_SOCKET;
    if (bOk)
        ::closesocket(s);
    ::WSACleanup();
    return bOk;
}

} // namespace sys
