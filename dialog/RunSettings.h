#pragma once

#include <string>

// The dialog's run settings: it fills them from its fields at Start and at close, and hands the
// run a request made from them.
extern std::string g_strDomains;      // the list, or the path of a list file
extern std::string g_strSitePath;     // the document root of every entry
extern std::string g_strPrefix;       // an extra host label; empty means none
extern int g_bWww;                    // also the "www." form of each domain
extern std::string g_strTemplateFile; // empty, missing or empty file: the built-in block
extern std::string g_strOutFile;      // the output file
