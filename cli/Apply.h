#pragma once

// `kelvane-cli apply`: the entries of a list, one file each, put on a live server as a
// transaction. argv[0] is "apply". Returns the exit status.
int applyMain(int argc, char** argv);
