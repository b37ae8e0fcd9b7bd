#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

// A command run through /bin/sh: its exit status (-1 when a signal ended it) and what it wrote
// on standard output.
struct tagShellRun {
    int nExit = -1;
    std::string out;
};

inline tagShellRun runShell(const std::string& strCommand) {
    tagShellRun run;
    FILE* pPipe = ::popen(strCommand.c_str(), "r");
    if (!pPipe)
        return run;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pPipe)) > 0;)
        run.out.append(buffer, n);
    const int nStatus = ::pclose(pPipe);
    run.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return run;
}
