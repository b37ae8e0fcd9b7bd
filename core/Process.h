#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Running another program and reading what it prints, bounded in size and time.
namespace sys {

struct tagCommandLimits {
    std::size_t nMaxOutput = 0;        // bytes on standard output and error together
    std::chrono::milliseconds timeout; // from the start to the end of the command
};

enum class ECommandEnd {
    Exited,    // nCode is its exit status
    Signalled, // nCode is the signal that ended it
    TooLarge,  // it printed more than the limit: stopped
    TooLong,   // it ran longer than the limit: stopped
    NotRun,    // it could not be started: strReason says why
};

struct tagCommandResult {
    ECommandEnd eEnd = ECommandEnd::NotRun;
    int nCode = 0;
    std::string strErr;    // the start of what it wrote on standard error
    std::string strReason; // NotRun: why
};

// Runs the command through /bin/sh -c, so that it is quoted as in a shell, with nothing on its
// standard input. fnOut gets its standard output in pieces as they come. A command past a limit
// is killed with every process it started (its process group) and waited for. On Windows no
// command is run (NotRun).
void runCommand(const std::string& strCommand, const tagCommandLimits& limits,
                const std::function<void(std::string_view)>& fnOut, tagCommandResult& result);

// The path of an executable program named strName in PATH or else in one of vecMoreDirs; empty
// when there is none (always on Windows, where no command is run).
std::string findProgram(std::string_view strName, const std::vector<std::string>& vecMoreDirs);

} // namespace sys
