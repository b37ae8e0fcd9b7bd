#include "core/Sys.h"

#include <sys/file.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>

namespace sys {

namespace {
volatile std::sig_atomic_t g_nSignal = 0;

extern "C" void onSignal(int nSignal) {
    if (g_nSignal == 0)
        g_nSignal = nSignal;
}

std::string withSlash(std::string str) {
    if (!str.ends_with('/'))
        str += '/';
    return str;
}

// The base an XDG variable names, or the home directory's default for it; only an absolute path
// counts, as the XDG rules say.
std::string xdgBase(const char* pszVariable, const char* pszDefault) {
    const std::string strValue = envVar(pszVariable);
    if (strValue.starts_with('/'))
        return withSlash(strValue);
    const std::string strHome = homeDir();
    return withSlash(strHome.empty() ? "/tmp" : strHome) + pszDefault;
}
} // namespace

const int kInterrupt = SIGINT;
const bool kPortableByDefault = false;

std::vector<std::string> programArguments(int argc, char** argv) {
    return {argv, argv + argc};
}

bool rewritesLines(int fd) {
    const char* pTerm = std::getenv("TERM");
    return isTerminal(fd) && pTerm != nullptr && *pTerm != '\0' && std::strcmp(pTerm, "dumb") != 0;
}

const char* endOfInputKeys() {
    return "Ctrl-D";
}

void watchSignals() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (const int nSignal : {
             SIGINT,
             SIGTERM,
             SIGHUP,
             SIGQUIT,
             SIGUSR1,
             SIGUSR2,
             SIGALRM,
             SIGVTALRM,
             SIGPROF,
             SIGXCPU,
             SIGIO,
#ifdef SIGPWR
             SIGPWR,
#endif
#ifdef SIGSTKFLT
             SIGSTKFLT,
#endif
         })
        sigaction(nSignal, &sa, nullptr);
    failWritesInsteadOfSignals();
}

void failWritesInsteadOfSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

int signalled() {
    return g_nSignal;
}

std::string envVar(const char* pszName) {
    const char* pValue = std::getenv(pszName);
    return pValue ? pValue : "";
}

std::string homeDir() {
    if (std::string strHome = envVar("HOME"); !strHome.empty())
        return strHome;
    const passwd* pEntry = ::getpwuid(::getuid());
    return pEntry && pEntry->pw_dir ? pEntry->pw_dir : std::string();
}

std::string userConfigBase() {
    return xdgBase("XDG_CONFIG_HOME", ".config/");
}

std::string userDataBase() {
    return xdgBase("XDG_DATA_HOME", ".local/share/");
}

bool canCreateIn(const std::string& strDir) {
    return ::access(strDir.c_str(), W_OK) == 0;
}

int lockFile(const std::string& strPath, bool bWait) {
    const int fd = ::open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    int nResult;
    do
        nResult = ::flock(fd, LOCK_EX | (bWait ? 0 : LOCK_NB));
    while (nResult != 0 && errno == EINTR);
    if (nResult != 0) {
        const int nErrno = errno;
        ::close(fd);
        errno = nErrno;
        return -1;
    }
    return fd;
}

int makeSymlink(const std::string& strTarget, const std::string& strLink) {
    return ::symlink(strTarget.c_str(), strLink.c_str());
}

bool readSymlink(const std::string& strLink, std::string& strTarget) {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink(strLink.c_str(), buffer.data(), buffer.size());
    if (n < 0)
        return false;
    strTarget.assign(buffer.data(), static_cast<std::size_t>(n));
    return true;
}

int hardLink(const std::string& strFrom, const std::string& strTo) {
    return ::linkat(AT_FDCWD, strFrom.c_str(), AT_FDCWD, strTo.c_str(), 0);
}

int syncDir(const std::string& strDir) {
    const int fd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int nResult = ::fsync(fd);
    const int nErrno = errno;
    ::close(fd);
    errno = nErrno;
    return nResult;
}

int httpStatus(const std::string& strIp, int nPort, const std::string& strHostHeader, int nTimeoutMs) {
    sockaddr_storage addr{};
    socklen_t nAddr = 0;
    if (auto* p4 = reinterpret_cast<sockaddr_in*>(&addr);
        ::inet_pton(AF_INET, strIp.c_str(), &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<std::uint16_t>(nPort));
        nAddr = sizeof(sockaddr_in);
    } else if (auto* p6 = reinterpret_cast<sockaddr_in6*>(&addr);
               ::inet_pton(AF_INET6, strIp.c_str(), &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<std::uint16_t>(nPort));
        nAddr = sizeof(sockaddr_in6);
    } else {
        errno = EINVAL;
        return -1;
    }
    const int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    // Waits until the socket can be read (bRead) or written; false on the deadline.
    const auto wait = [&](bool bRead) {
        const auto nLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd poll{fd, static_cast<short>(bRead ? POLLIN : POLLOUT), 0};
        return nLeft > 0 && ::poll(&poll, 1, static_cast<int>(nLeft)) == 1;
    };
    int nStatus = -1;
    int nErrno = ETIMEDOUT;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), nAddr) == 0 ||
        (errno == EINPROGRESS && wait(false))) {
        int nError = 0;
        socklen_t nLen = sizeof nError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLen);
        const std::string strRequest =
            "GET / HTTP/1.0\r\nHost: " + strHostHeader + "\r\nConnection: close\r\n\r\n";
        std::string strReply;
        if (nError != 0) {
            nErrno = nError;
        } else if (::send(fd, strRequest.data(), strRequest.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(strRequest.size())) {
            char buffer[512];
            while (strReply.find('\n') == std::string::npos && wait(true)) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                strReply.append(buffer, static_cast<std::size_t>(n));
            }
            // "HTTP/1.1 200 OK"
            const std::size_t nSpace = strReply.find(' ');
            if (strReply.starts_with("HTTP/") && nSpace != std::string::npos &&
                nSpace + 4 <= strReply.size()) {
                nStatus = 0;
                for (std::size_t i = nSpace + 1; i < nSpace + 4 && nStatus >= 0; ++i)
                    nStatus =
                        strReply[i] >= '0' && strReply[i] <= '9' ? nStatus * 10 + (strReply[i] - '0') : -1;
            }
            nErrno = EPROTO;
        } else {
            nErrno = errno;
        }
    } else if (errno != EINPROGRESS) {
        nErrno = errno;
    }
    ::close(fd);
    if (nStatus < 0)
        errno = nErrno;
    return nStatus;
}

bool hasIpv6() {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace sys
