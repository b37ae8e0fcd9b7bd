#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/NameRule.h"
#include "engine/ServerCheck.h"
#include "engine/ServerConfig.h"

// What a run with the same request would get wrong in its list, and, given the server's
// configuration, what the server's vhosts would do to its entries. Writes nothing.
struct tagFinding {
    enum class EKind { Refused, Duplicate, Clash, Served, Wildcard, Shadow };
    EKind eKind = EKind::Refused;
    std::int64_t nLine = 0;                          // the list's line; 0 for a shadow
    names::EVerdict eReason = names::EVerdict::Name; // Refused
    std::int64_t nOtherLine = 0;                     // Duplicate, Clash: the line that wrote it first
    std::string strText;                             // Refused, Duplicate: the line, as a report shows it
    std::string strName;                             // Clash, Served, Wildcard: the name
    tagNameFinding taken;                            // Served, Wildcard: the vhost that takes the name
    tagShadowFinding shadow;                         // Shadow
};

// Where a name of the list goes after the run: an existing vhost, or the run's own entry.
struct tagRoute {
    std::string_view strName;
    bool bExisting = false;
    tagVhostInfo vhost;       // bExisting: the vhost that serves it
    std::string_view strFile; // else the run's file that holds its entry ("-": standard output)
    std::int64_t nLine = 0;   // and the line of the entry's opening there
};

class CListCheck {
public:
    // pServer: the vhosts the server loaded, or null to look at the list alone.
    CListCheck(const tagGenRequest& request, const CServerConfig* pServer);

    // Reads the list and tells each finding, in line order, then the shadows. False when the run
    // would not start (a field, the template or the list: result says why, as a run's would).
    bool run(const std::function<void(const tagFinding&)>& fnFinding, tagGenResult& result);
    // fnRoute is told, during run, where each name of the list goes after the run, once a name: the
    // run's entries are laid out as the run would lay them out, and written nowhere. Before run.
    void setRouteFn(std::function<void(const tagRoute&)> fnRoute) { m_fnRoute = std::move(fnRoute); }
    // Too many names to remember them all: later ones were not checked for duplicates and clashes.
    bool namesFull() const { return m_bNamesFull; }

private:
    const tagGenRequest& m_request;
    const CServerConfig* m_pServer;
    bool m_bNamesFull = false;
    std::function<void(const tagRoute&)> m_fnRoute;
};
