#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/GenTarget.h"
#include "engine/NameRule.h"
#include "engine/ServerKind.h"

// What kelvane-cli says of a run, in English.
namespace report {

// "1 entry", "2 entries".
std::string counted(std::int64_t n, const char* pOne, const char* pMany);
std::string reasonText(names::EVerdict eReason);
std::string sitePathText(names::ESitePath eFault, EServerKind eServer = EServerKind::Apache);

// The refused and duplicate lines as "LIST:LINE: reason: text", and the first line read as
// GB18030, in line order; then how many more there are of each kind than were kept.
std::vector<std::string> lineReports(const tagGenResult& result, std::string_view strListName);

// "2 entries written, 1 line refused, 0 duplicates, 3 lines skipped".
std::string summary(const tagGenResult& result);

// Why a failed run failed, naming the file; strOutput is the output as given.
std::string failure(const tagGenResult& result, std::string_view strOutput,
                    EServerKind eServer = EServerKind::Apache);

// A time in seconds since the epoch as "2026-12-08T10:00:00Z", and back: the seconds and the Z
// may be left out.
std::string utcTime(std::int64_t nTime);
bool parseUtcTime(std::string_view str, std::int64_t& nTime);

} // namespace report
