#include "engine/ServerCheck.h"

#include "engine/EntryModel.h"

CServerCheck::CServerCheck(const CServerConfig& config, const tagLayout& layout) : m_config(config) {
    const entry::tagEntryAddresses addresses = entry::entryAddresses(layout);
    m_vecAddrs.push_back(addresses.plain);
    if (addresses.bTwin)
        m_vecAddrs.push_back(addresses.twin);
}

void CServerCheck::lookUp(std::string_view strName, std::vector<tagNameFinding>& vecFindings) const {
    vecFindings.clear();
    tagTaken taken;
    for (const tagAddress& addr : m_vecAddrs)
        if (m_config.takesFromEntries(addr, strName, taken) && !m_config.afterOwn(addr, taken.nVhost))
            vecFindings.push_back({addr, m_config.vhost(taken.nVhost), taken.name});
}

bool CServerCheck::takenFirst(std::string_view strName, tagNameFinding& finding) const {
    const tagAddress& addr = m_vecAddrs.front();
    tagTaken taken;
    if (!m_config.takesFromEntries(addr, strName, taken) || m_config.afterOwn(addr, taken.nVhost))
        return false;
    finding = {addr, m_config.vhost(taken.nVhost), taken.name};
    return true;
}

std::vector<tagShadowFinding> CServerCheck::shadows() const {
    std::vector<tagShadowFinding> vecFindings;
    for (const tagAddress& addr : m_vecAddrs)
        for (const std::size_t nVhost : m_config.shadowing(addr))
            vecFindings.push_back({addr, m_config.vhost(nVhost)});
    return vecFindings;
}
