#pragma once

// `kelvane-cli certs status`: the certificate of each group a run of the list asks for, as it is on
// the disk: the names it covers, when it expires, the list's names it lacks and the names and
// directories the list no longer has. argv[0] is "status". Returns the exit status.
int certsStatusMain(int argc, char** argv);
