#include "engine/EntryModel.h"

#include <algorithm>

#include "core/TextUtil.h"

namespace entry {

CNameHeads::CNameHeads(bool bWww, std::string_view strAsciiPrefix) {
    if (bWww)
        m_heads[m_nHeads++] = "www.";
    if (!strAsciiPrefix.empty() && !(bWww && text::sameNoCase(strAsciiPrefix, "www")))
        m_heads[m_nHeads++] = std::string(strAsciiPrefix) + ".";
}

std::size_t CNameHeads::longest() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < m_nHeads; ++i)
        n = std::max(n, m_heads[i].size());
    return n;
}

tagEntryAddresses entryAddresses(const tagLayout& layout) {
    tagEntryAddresses addresses;
    addresses.plain = layout.listen;
    if (layout.bHttps) {
        if (addresses.plain.nPort == 0)
            addresses.plain.nPort = kHttpPort;
        addresses.bTwin = true;
        addresses.twin = addresses.plain.withPort(kHttpsPort);
    }
    return addresses;
}

} // namespace entry
