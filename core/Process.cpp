#include "core/Process.h"

#ifndef _WIN32
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/FileUtil.h"
#endif

namespace sys {

#ifdef _WIN32

void runCommand(const std::string&, const tagCommandLimits&, const std::function<void(std::string_view)>&,
                tagCommandResult& result) {
    result = {};
    result.strReason = "commands are not run on Windows; save the output of httpd -S to a file and give it "
                       "with --server-dump FILE";
}

std::string findProgram(std::string_view, const std::vector<std::string>&) {
    return {};
}

#else

namespace {

// What standard error shows of a failing command: enough for its message.
constexpr std::size_t kMaxErrText = 64 * 1024;

using tagClock = std::chrono::steady_clock;

void closeAll(std::initializer_list<int> fds) {
    for (const int fd : fds)
        if (fd >= 0)
            ::close(fd);
}

// Milliseconds left until the deadline, for poll, at least 0.
int msLeft(tagClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - tagClock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left.count(), 60 * 1000));
}

void reap(pid_t pid, int& nStatus) {
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void runCommand(const std::string& strCommand, const tagCommandLimits& limits,
                const std::function<void(std::string_view)>& fnOut, tagCommandResult& result) {
    result = {};
    const tagClock::time_point deadline = tagClock::now() + limits.timeout;
    int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        result.strReason = file::errorText(errno);
        closeAll({outPipe[0], outPipe[1], errPipe[0], errPipe[1]});
        return;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.strReason = file::errorText(errno);
        closeAll({outPipe[0], outPipe[1], errPipe[0], errPipe[1]});
        return;
    }
    if (pid == 0) {
        // A group of its own, so that whatever it starts can be stopped with it.
        ::setpgid(0, 0);
        // The list may come on standard input: the command must not take it.
        const int nullFd = ::open("/dev/null", O_RDONLY);
        if (nullFd >= 0)
            ::dup2(nullFd, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        ::execl("/bin/sh", "sh", "-c", strCommand.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Set here too, so that the group exists before a kill whatever the child has done yet.
    ::setpgid(pid, pid);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    std::array<pollfd, 2> fds{{{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}}};
    std::size_t nTotal = 0;
    char buffer[65536];
    const auto stop = [&](ECommandEnd eEnd) {
        ::kill(-pid, SIGKILL);
        result.eEnd = eEnd;
    };
    bool bStopped = false;
    while (!bStopped && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        const int nReady = ::poll(fds.data(), fds.size(), msLeft(deadline));
        if (nReady < 0 && errno != EINTR) {
            result.strReason = file::errorText(errno);
            stop(ECommandEnd::NotRun);
            bStopped = true;
            break;
        }
        if (nReady == 0 && tagClock::now() >= deadline) {
            stop(ECommandEnd::TooLong);
            bStopped = true;
            break;
        }
        if (nReady <= 0)
            continue;
        for (std::size_t i = 0; i < fds.size() && !bStopped; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                continue;
            }
            const auto nRead = static_cast<std::size_t>(n);
            if (nRead > limits.nMaxOutput - nTotal) {
                stop(ECommandEnd::TooLarge);
                bStopped = true;
                break;
            }
            nTotal += nRead;
            if (i == 0)
                fnOut(std::string_view(buffer, nRead));
            else if (result.strErr.size() < kMaxErrText)
                result.strErr.append(buffer, std::min(nRead, kMaxErrText - result.strErr.size()));
        }
    }
    closeAll({fds[0].fd, fds[1].fd});
    int nStatus = 0;
    if (bStopped) {
        reap(pid, nStatus);
        return;
    }
    // Its outputs are closed; it may still run, so the deadline still holds.
    for (;;) {
        const pid_t nDone = ::waitpid(pid, &nStatus, WNOHANG);
        if (nDone == pid)
            break;
        if (nDone < 0 && errno != EINTR) {
            result.strReason = file::errorText(errno);
            result.eEnd = ECommandEnd::NotRun;
            return;
        }
        if (tagClock::now() >= deadline) {
            stop(ECommandEnd::TooLong);
            reap(pid, nStatus);
            return;
        }
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    if (WIFEXITED(nStatus)) {
        result.eEnd = ECommandEnd::Exited;
        result.nCode = WEXITSTATUS(nStatus);
    } else {
        result.eEnd = ECommandEnd::Signalled;
        result.nCode = WIFSIGNALED(nStatus) ? WTERMSIG(nStatus) : 0;
    }
}

std::string findProgram(std::string_view strName, const std::vector<std::string>& vecMoreDirs) {
    std::vector<std::string> vecDirs;
    if (const char* pPath = std::getenv("PATH")) {
        std::string_view path = pPath;
        while (!path.empty()) {
            const auto nColon = std::min(path.find(':'), path.size());
            if (nColon > 0)
                vecDirs.emplace_back(path.substr(0, nColon));
            path.remove_prefix(std::min(nColon + 1, path.size()));
        }
    }
    vecDirs.insert(vecDirs.end(), vecMoreDirs.begin(), vecMoreDirs.end());
    for (const std::string& strDir : vecDirs)
        if (std::string strPath = strDir + "/" + std::string(strName); ::access(strPath.c_str(), X_OK) == 0)
            return strPath;
    return {};
}

#endif

} // namespace sys
