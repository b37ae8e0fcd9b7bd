#include "core/FileUtil.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

#include "core/Encoding.h"
#include "core/Sys.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

namespace file {

namespace {

// A hidden name in the target's own directory, ".NAME.XXXXXXXX", so that renaming it over the
// target never crosses file systems. Lower case only where names ignore case.
std::string tempNameBeside(const std::string& strTarget, std::random_device& random) {
#ifdef _WIN32
    const auto slash = strTarget.find_last_of("/\\");
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
#else
    const auto slash = strTarget.rfind('/');
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
#endif
    const std::size_t nNameAt = slash == std::string::npos ? 0 : slash + 1;
    std::string strTemp = strTarget.substr(0, nNameAt) + "." + strTarget.substr(nNameAt) + ".";
    for (int i = 0; i < 8; ++i)
        strTemp += kLetters[random() % (sizeof kLetters - 1)];
    return strTemp;
}

// Closes a descriptor when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() {
        if (m_fd >= 0)
            sys::closeFd(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int get() const { return m_fd; }
    // Closes now, so that a failing close (a full disk on some file systems) is seen.
    int close() {
        const int rc = sys::closeFd(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

} // namespace

std::string errorText(int nErrno) {
    char buf[256];
#ifdef _WIN32
    if (::strerror_s(buf, sizeof buf, nErrno) != 0)
        return "error " + std::to_string(nErrno);
    return buf;
#else
    // The GNU strerror_r returns its text, which may or may not be in buf.
    return strerror_r(nErrno, buf, sizeof buf);
#endif
}

bool samePath(const std::string& a, const std::string& b) {
#ifdef _WIN32
    // Names ignore case there.
    return ::CompareStringOrdinal(sys::widen(a).c_str(), -1, sys::widen(b).c_str(), -1, TRUE) == CSTR_EQUAL;
#else
    return a == b;
#endif
}

bool tagFileId::same(const tagFileId& other) const {
    if (bExists && other.bExists && nInode != 0 && other.nInode != 0)
        return nDevice == other.nDevice && nInode == other.nInode;
    return samePath(strPath, other.strPath);
}

tagFileId identify(const std::string& strPath) {
    tagFileId id;
    sys::tagFileInfo info;
    id.strPath = canonicalPath(resolveLinks(strPath));
    if (sys::statPath(strPath, info)) {
        id.bExists = true;
        id.bRegular = info.bRegular;
        id.nDevice = info.nDevice;
        id.nInode = info.nInode;
    }
    return id;
}

tagFileId identifyFd(int fd) {
    tagFileId id;
    sys::tagFileInfo info;
    if (sys::statFd(fd, info)) {
        id.bExists = true;
        id.bRegular = info.bRegular;
        id.nDevice = info.nDevice;
        id.nInode = info.nInode;
    }
    id.strPath = std::string(1, '\0') + std::to_string(fd); // no file is named so
    return id;
}

std::string createDirBeside(const std::string& strBeside) {
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        std::string strDir = tempNameBeside(strBeside, random);
        if (sys::makeDir(strDir) == 0)
            return strDir;
        if (errno != EEXIST)
            return {};
    }
    errno = EEXIST;
    return {};
}

bool isFileExist(const std::string& strPath) {
    sys::tagFileInfo info;
    return !strPath.empty() && sys::statPath(strPath, info) && info.bRegular;
}

bool readAll(const std::string& strPath, std::string& strOut, std::string& strReason, std::size_t nMaxSize) {
    strOut.clear();
    CFd fd(sys::openRead(strPath));
    if (fd.get() < 0) {
        strReason = errorText(errno);
        return false;
    }
    const auto tooLarge = [&] {
        strOut.clear();
        strReason = "larger than " + std::to_string(nMaxSize) + " bytes";
        return false;
    };
    sys::tagFileInfo info;
    if (sys::statFd(fd.get(), info) && info.bRegular) {
        if (static_cast<std::uint64_t>(info.nSize) > nMaxSize)
            return tooLarge();
        strOut.reserve(static_cast<std::size_t>(info.nSize));
    }
    char buf[65536];
    for (;;) {
        const std::int64_t n = sys::readFd(fd.get(), buf, sizeof buf);
        if (n > 0) {
            if (static_cast<std::size_t>(n) > nMaxSize - strOut.size())
                return tooLarge();
            strOut.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            strReason = errorText(errno);
            strOut.clear();
            return false;
        }
    }
}

bool readPieces(const std::string& strPath, const std::function<bool(std::string_view)>& fnPiece,
                std::string& strReason, std::size_t nMaxSize) {
    CFd fd(sys::openRead(strPath));
    if (fd.get() < 0) {
        strReason = errorText(errno);
        return false;
    }
    const auto tooLarge = [&] {
        strReason = "larger than " + std::to_string(nMaxSize) + " bytes";
        return false;
    };
    sys::tagFileInfo info;
    if (sys::statFd(fd.get(), info) && info.bRegular && static_cast<std::uint64_t>(info.nSize) > nMaxSize)
        return tooLarge();
    sys::adviseSequential(fd.get(), 0);
    std::size_t nTotal = 0;
    char buf[65536];
    for (;;) {
        const std::int64_t n = sys::readFd(fd.get(), buf, sizeof buf);
        if (n > 0) {
            if (static_cast<std::size_t>(n) > nMaxSize - nTotal)
                return tooLarge();
            nTotal += static_cast<std::size_t>(n);
            if (!fnPiece(std::string_view(buf, static_cast<std::size_t>(n))))
                return true;
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            strReason = errorText(errno);
            return false;
        }
    }
}

bool readText(const std::string& strPath, std::string& strOut, std::string& strReason, std::size_t nMaxSize) {
    if (!readAll(strPath, strOut, strReason, nMaxSize))
        return false;
    enc::decodeText(strOut);
    return true;
}

bool writeAll(int fd, std::string_view data, std::size_t& nWritten, int& nErrno) {
    nWritten = 0;
    while (nWritten < data.size()) {
        const std::int64_t n = sys::writeFd(fd, data.data() + nWritten, data.size() - nWritten);
        if (n > 0) {
            nWritten += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            nErrno = n < 0 ? errno : ENOSPC;
            return false;
        }
    }
    return true;
}

#ifdef _WIN32

// Links are rare on Windows and replacing one there replaces the link itself.
std::string resolveLinks(const std::string& strPath) {
    return strPath;
}

std::string canonicalPath(const std::string& strPath) {
    wchar_t* pFull = ::_wfullpath(nullptr, sys::widen(strPath).c_str(), 0);
    if (!pFull)
        return strPath;
    std::string strFull = sys::narrow(pFull);
    std::free(pFull);
    return strFull;
}

int createTempBeside(const std::string& strTarget, std::string& strTempPath) {
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        strTempPath = tempNameBeside(strTarget, random);
        const int fd = sys::createNew(strTempPath);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int createExclusive(const std::string& strPath, const std::string&) {
    return sys::createNew(strPath);
}

int createTempFile() {
    wchar_t szDir[MAX_PATH + 1];
    wchar_t szPath[MAX_PATH + 1];
    if (::GetTempPathW(MAX_PATH + 1, szDir) == 0 || ::GetTempFileNameW(szDir, L"kvn", 0, szPath) == 0) {
        errno = EIO;
        return -1;
    }
    const HANDLE hFile = ::CreateFileW(szPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        errno = EACCES;
        return -1;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(hFile), _O_RDWR | _O_BINARY);
    if (fd < 0)
        ::CloseHandle(hFile);
    return fd;
}

bool listNames(const std::string& strDir, std::size_t nMax, std::vector<std::string>& vecNames) {
    vecNames.clear();
    WIN32_FIND_DATAW found;
    const HANDLE hFind = ::FindFirstFileW(sys::widen(strDir + "\\*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE) {
        const DWORD nError = ::GetLastError();
        if (nError == ERROR_FILE_NOT_FOUND || nError == ERROR_NO_MORE_FILES)
            return true;
        errno = EIO;
        return false;
    }
    do {
        const std::wstring strName = found.cFileName;
        if (strName != L"." && strName != L"..")
            vecNames.push_back(sys::narrow(strName));
    } while (vecNames.size() < nMax && ::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    return true;
}

void guardStdFds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::_get_osfhandle(fd) != -1)
            continue;
        const int nNull = sys::openWrite("NUL");
        if (nNull >= 0 && nNull != fd) {
            ::_dup2(nNull, fd);
            sys::closeFd(nNull);
        }
    }
}

#else

std::string resolveLinks(const std::string& strPath) {
    std::string strCurrent = strPath;
    // As many links as the system itself follows; a loop ends there, and opening then fails.
    for (int i = 0; i < 40; ++i) {
        struct stat st {};
        if (::lstat(strCurrent.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            break;
        std::string strTarget(PATH_MAX, '\0');
        const ssize_t n = ::readlink(strCurrent.c_str(), strTarget.data(), strTarget.size());
        if (n <= 0)
            break;
        strTarget.resize(static_cast<std::size_t>(n));
        if (strTarget.front() != '/') {
            const auto slash = strCurrent.rfind('/');
            if (slash != std::string::npos)
                strTarget = strCurrent.substr(0, slash + 1) + strTarget;
        }
        strCurrent = std::move(strTarget);
    }
    return strCurrent;
}

std::string canonicalPath(const std::string& strPath) {
    const auto resolved = [](const std::string& str, std::string& strOut) {
        char* pResolved = ::realpath(str.c_str(), nullptr);
        if (!pResolved)
            return false;
        strOut = pResolved;
        std::free(pResolved);
        return true;
    };
    std::string strOut;
    if (resolved(strPath, strOut))
        return strOut;
    const auto nSlash = strPath.rfind('/');
    const std::string strDir = nSlash == std::string::npos ? "."
                               : nSlash == 0 ? "/"
                                             : strPath.substr(0, nSlash);
    const std::string strName = nSlash == std::string::npos ? strPath : strPath.substr(nSlash + 1);
    if (strName.empty() || strName == "." || strName == ".." || !resolved(strDir, strOut))
        return strPath;
    return (strOut == "/" ? strOut : strOut + "/") + strName;
}

int createTempBeside(const std::string& strTarget, std::string& strTempPath) {
    struct stat st {};
    const bool bExists = ::stat(strTarget.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::random_device random;
    for (int nTry = 0; nTry < 100; ++nTry) {
        strTempPath = tempNameBeside(strTarget, random);
        // 0666 less the umask, as for any new file, unless the file it replaces says otherwise.
        const int fd = ::open(strTempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        if (bExists) {
            // The owner can only be kept where the system lets us (as root); elsewhere the new
            // file is the user's own, which is no reason to fail.
            if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
                [[maybe_unused]] const int nChown = ::fchown(fd, st.st_uid, st.st_gid);
            }
            (void)::fchmod(fd, st.st_mode & 07777);
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

int createExclusive(const std::string& strPath, const std::string& strModel) {
    const int fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    struct stat st {};
    if (fd >= 0 && !strModel.empty() && ::lstat(strModel.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
            [[maybe_unused]] const int nChown = ::fchown(fd, st.st_uid, st.st_gid);
        }
        (void)::fchmod(fd, st.st_mode & 07777);
    }
    return fd;
}

int createTempFile() {
    const char* pDir = std::getenv("TMPDIR");
    const std::string strDir = pDir && *pDir ? pDir : "/tmp";
    const int fd = ::open(strDir.c_str(), O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // A file system without anonymous files: a named one, removed at once.
    std::string strTemplate = strDir + "/kelvane-XXXXXX";
    const int fdNamed = ::mkostemp(strTemplate.data(), O_CLOEXEC);
    if (fdNamed >= 0)
        ::unlink(strTemplate.c_str());
    return fdNamed;
}

bool listNames(const std::string& strDir, std::size_t nMax, std::vector<std::string>& vecNames) {
    vecNames.clear();
    DIR* pDir = ::opendir(strDir.c_str());
    if (!pDir)
        return false;
    while (vecNames.size() < nMax) {
        errno = 0;
        const dirent* pEntry = ::readdir(pDir);
        if (!pEntry)
            break;
        const std::string_view name = pEntry->d_name;
        if (name != "." && name != "..")
            vecNames.emplace_back(name);
    }
    const int nErrno = errno;
    ::closedir(pDir);
    errno = nErrno;
    return nErrno == 0;
}

void guardStdFds() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int nNull = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (nNull >= 0 && nNull != fd) {
            ::dup2(nNull, fd);
            ::close(nNull);
        }
    }
}

#endif

bool replaceAtomically(const std::string& strPath, std::string_view data, std::string& strReason) {
    const std::string strTarget = resolveLinks(strPath);
    std::string strTemp;
    CFd fd(createTempBeside(strTarget, strTemp));
    if (fd.get() < 0) {
        strReason = errorText(errno);
        return false;
    }
    std::size_t nWritten = 0;
    int nErrno = 0;
    bool bOk = writeAll(fd.get(), data, nWritten, nErrno);
    const auto fail = [&] {
        nErrno = errno;
        bOk = false;
    };
    if (bOk && sys::syncFd(fd.get()) != 0)
        fail();
    if (fd.close() != 0 && bOk)
        fail();
    if (bOk && sys::renameOver(strTemp, strTarget) != 0)
        fail();
    if (!bOk) {
        sys::removeFile(strTemp);
        strReason = errorText(nErrno);
    }
    return bOk;
}

} // namespace file
