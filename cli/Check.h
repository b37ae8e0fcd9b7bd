#pragma once

// `kelvane-cli check`: what a run of the same list and options would write, looked at before it
// reaches the server. argv[0] is "check". Returns the exit status.
int checkMain(int argc, char** argv);
