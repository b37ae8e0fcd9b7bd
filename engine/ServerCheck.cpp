#include "engine/ServerCheck.h"

namespace {
constexpr unsigned kHttpPort = 80;
constexpr unsigned kHttpsPort = 443;
} // namespace

CServerCheck::CServerCheck(const CServerConfig& config, const tagLayout& layout)
    : m_config(config), m_vecAddrs(entryAddresses(layout)) {}

std::vector<tagAddress> CServerCheck::entryAddresses(const tagLayout& layout) {
    std::vector<tagAddress> vecAddrs{{layout.listen.strHost, static_cast<unsigned>(layout.listen.nPort)}};
    if (layout.bHttps) {
        if (vecAddrs[0].nPort == 0)
            vecAddrs[0].nPort = kHttpPort;
        vecAddrs.push_back({vecAddrs[0].strHost, kHttpsPort});
    }
    return vecAddrs;
}

void CServerCheck::lookUp(std::string_view strName, std::vector<tagNameFinding>& vecFindings) const {
    vecFindings.clear();
    tagTaken taken;
    for (const tagAddress& addr : m_vecAddrs)
        if (m_config.takes(addr, strName, taken))
            vecFindings.push_back({addr, m_config.vhost(taken.nVhost), taken.name});
}

std::vector<tagShadowFinding> CServerCheck::shadows() const {
    std::vector<tagShadowFinding> vecFindings;
    for (const tagAddress& addr : m_vecAddrs)
        for (const std::size_t nVhost : m_config.shadowing(addr))
            vecFindings.push_back({addr, m_config.vhost(nVhost)});
    return vecFindings;
}
