#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Turns a domain with non-ASCII letters into the form it is written in (an IDN front end gives
// the ASCII form). Returns false to keep the domain as typed; it then reports why itself.
class CDomainMapper {
public:
    virtual ~CDomainMapper() = default;
    virtual bool mapDomain(std::int64_t nLine, std::string_view strDomain, std::string& strOut) = 0;
};

// The run settings. A front end fills them before it starts a run and leaves them alone until
// the run has ended; the worker reads them.
extern std::string g_strDomains;      // the list, or the path of a list file
extern std::string g_strSitePath;     // the document root of every entry
extern std::string g_strPrefix;       // an extra host label; empty means none
extern int g_bWww;                    // also the "www." form of each domain
extern std::string g_strTemplateFile; // empty, missing or empty file: the built-in block
extern std::string g_strOutFile;      // "-" is standard output
extern CDomainMapper* g_pDomainMapper; // null: domains as typed

// Lines of the current run, written by the worker before its first progress notification.
extern std::atomic<std::int64_t> g_nTotal;

inline constexpr std::string_view kStdOutPath = "-";
