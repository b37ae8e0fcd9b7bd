#pragma once

#include <string_view>
#include <vector>

#include "engine/GenRequest.h"
#include "engine/ServerConfig.h"

// An existing vhost that takes a name of the run at the address of the run's entries.
struct tagNameFinding {
    tagAddress entries;
    tagVhostInfo vhost;
    tagVhostName name; // the vhost's name or wild alias that takes it
};

// An existing vhost at an address more specific than the entries', which takes the requests
// meant for them first.
struct tagShadowFinding {
    tagAddress entries;
    tagVhostInfo vhost;
};

// What the vhosts a server already has would do to the entries of a run: which of the run's
// names they take, where the entries are, and which take the entries' requests before them.
class CServerCheck {
public:
    CServerCheck(const CServerConfig& config, const tagLayout& layout);

    // One finding for each of the entries' addresses where an existing vhost takes the name.
    void lookUp(std::string_view strName, std::vector<tagNameFinding>& vecFindings) const;
    std::vector<tagShadowFinding> shadows() const;
    // The existing vhost that serves the name at the entries' own address (their plain one)
    // after the run, if one does: then the run's entry does not.
    bool takenFirst(std::string_view strName, tagNameFinding& finding) const;

private:
    const CServerConfig& m_config;
    std::vector<tagAddress> m_vecAddrs;
};
