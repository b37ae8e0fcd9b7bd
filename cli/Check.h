#pragma once

// `kelvane-cli check`: what a run of the same list and options would write, looked at before it
// reaches the server. argv[0] is "check". Returns the exit status.
int checkMain(int argc, char** argv);

#include <string>

#include "engine/ListCheck.h"
#include "engine/ServerKind.h"

// A finding as check prints it: LIST:LINE: kind: text.
std::string findingText(const tagFinding& finding, const std::string& strListName, EServerKind eServer);
// The program that shows what the server loaded, apache2ctl -S or nginx -T, found on this system.
std::string defaultServerCommand(EServerKind eServer);
