#include "core/FileUtil.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Encoding.h"

namespace file {

namespace {

// Closes a descriptor when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int get() const { return m_fd; }
    // Closes now, so that a failing close (a full disk on some file systems) is seen.
    int close() {
        const int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

private:
    int m_fd;
};

} // namespace

std::string errorText(int nErrno) {
    char buf[256];
    // The GNU strerror_r returns its text, which may or may not be in buf.
    return strerror_r(nErrno, buf, sizeof buf);
}

bool isFileExist(const std::string& strPath) {
    struct stat st {};
    return !strPath.empty() && ::stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isSameFile(const std::string& strPath1, const std::string& strPath2) {
    struct stat st1 {};
    struct stat st2 {};
    return ::stat(strPath1.c_str(), &st1) == 0 && ::stat(strPath2.c_str(), &st2) == 0 &&
           st1.st_dev == st2.st_dev && st1.st_ino == st2.st_ino;
}

bool readAll(const std::string& strPath, std::string& strOut, std::string& strReason) {
    strOut.clear();
    CFd fd(::open(strPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        strReason = errorText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode))
        strOut.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
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

bool readText(const std::string& strPath, std::string& strOut, std::string& strReason) {
    if (!readAll(strPath, strOut, strReason))
        return false;
    if (!enc::decodeText(strOut)) {
        strReason = "no GB18030 converter is available";
        strOut.clear();
        return false;
    }
    return true;
}

bool createEmpty(const std::string& strPath, std::string& strReason) {
    CFd fd(::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0 || fd.close() != 0) {
        strReason = errorText(errno);
        return false;
    }
    return true;
}

bool writeAll(int fd, std::string_view data, std::size_t& nWritten, int& nErrno) {
    nWritten = 0;
    while (nWritten < data.size()) {
        const ssize_t n = ::write(fd, data.data() + nWritten, data.size() - nWritten);
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

bool append(const std::string& strPath, std::string_view data, std::string& strReason) {
    CFd fd(::open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (fd.get() < 0) {
        strReason = errorText(errno);
        return false;
    }
    std::size_t nWritten = 0;
    int nErrno = 0;
    if (!writeAll(fd.get(), data, nWritten, nErrno)) {
        strReason = errorText(nErrno);
        return false;
    }
    if (fd.close() != 0) {
        strReason = errorText(errno);
        return false;
    }
    return true;
}

bool replaceAtomically(const std::string& strPath, std::string_view data, std::string& strReason) {
    std::string strTemp = strPath + ".XXXXXX";
    CFd fd(::mkstemp(strTemp.data()));
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
    if (bOk && (::fchmod(fd.get(), 0644) != 0 || ::fsync(fd.get()) != 0))
        fail();
    if (fd.close() != 0 && bOk)
        fail();
    if (bOk && ::rename(strTemp.c_str(), strPath.c_str()) != 0)
        fail();
    if (!bOk) {
        ::unlink(strTemp.c_str());
        strReason = errorText(nErrno);
    }
    return bOk;
}

} // namespace file
