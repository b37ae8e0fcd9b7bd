#pragma once

// `kelvane-cli certs plan` and `kelvane-cli certs status`: the certificates of a list's entries,
// ordered in waves within a certificate authority's limits, and looked at once they exist.
// argv[0] is "certs". Returns the exit status.
int certsMain(int argc, char** argv);
