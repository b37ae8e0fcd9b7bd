#include "engine/ServerDump.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>

#include "core/Sys.h"
#include "engine/NameSet.h"

namespace {

constexpr std::string_view kSectionHead = "VirtualHost configuration:";

std::string_view trim(std::string_view str) {
    const auto nFirst = str.find_first_not_of(" \t\r");
    if (nFirst == std::string_view::npos)
        return {};
    return str.substr(nFirst, str.find_last_not_of(" \t\r") - nFirst + 1);
}

// Cuts the first blank-separated word off str.
std::string_view nextWord(std::string_view& str) {
    str = trim(str);
    const auto nEnd = std::min(str.find_first_of(" \t"), str.size());
    const std::string_view word = str.substr(0, nEnd);
    str = trim(str.substr(nEnd));
    return word;
}

bool parseNumber(std::string_view str, std::int64_t& n) {
    const auto [p, ec] = std::from_chars(str.data(), str.data() + str.size(), n);
    return ec == std::errc() && p == str.data() + str.size() && n >= 0;
}

// "NAME (FILE:LINE)"; the file may hold blanks, colons and brackets of its own.
bool parseNamedPlace(std::string_view str, tagVhost& vhost) {
    const std::string_view name = nextWord(str);
    if (name.empty() || str.size() < 4 || str.front() != '(' || str.back() != ')')
        return false;
    const std::string_view place = str.substr(1, str.size() - 2);
    const auto nColon = place.rfind(':');
    if (nColon == std::string_view::npos || nColon == 0 ||
        !parseNumber(place.substr(nColon + 1), vhost.nLine))
        return false;
    vhost.strName = std::string(name);
    vhost.strFile = std::string(place.substr(0, nColon));
    return true;
}

char lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// The whole labels after the last wildcard of a pattern.
std::string_view wildTail(std::string_view strPattern) {
    std::string_view tail = strPattern.substr(strPattern.find_last_of("*?") + 1);
    const auto nDot = tail.find('.');
    return nDot == std::string_view::npos ? std::string_view() : tail.substr(nDot + 1);
}

} // namespace

std::string tagVhostAddr::text() const {
    return nPort == 0 ? (anyHost() ? strHost : strHost + ":*") : strHost + ":" + std::to_string(nPort);
}

bool tagVhostAddr::parse(std::string_view strText, tagVhostAddr& addr) {
    std::string_view host = strText, port;
    if (!strText.empty() && strText.front() == '[') {
        const auto nClose = strText.find(']');
        if (nClose == std::string_view::npos)
            return false;
        host = strText.substr(0, nClose + 1);
        const std::string_view rest = strText.substr(nClose + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1))
            return false;
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const auto nColon = strText.find(':'); nColon != std::string_view::npos) {
        host = strText.substr(0, nColon);
        port = strText.substr(nColon + 1);
        if (port.empty())
            return false;
    }
    unsigned nPort = 0;
    if (!port.empty() && port != "*") {
        const auto [p, ec] = std::from_chars(port.data(), port.data() + port.size(), nPort);
        if (ec != std::errc() || p != port.data() + port.size() || nPort == 0 || nPort > 65535)
            return false;
    }
    if (host == "*" || host == "_default_") {
        addr.strHost = "*";
    } else {
        const bool bV6 = host.size() > 2 && host.front() == '[';
        const std::string strBare(bV6 ? host.substr(1, host.size() - 2) : host);
        if (!sys::isIpLiteral(strBare, bV6))
            return false;
        addr.strHost = std::string(host);
    }
    addr.nPort = nPort;
    return true;
}

bool CServerDump::parse(std::string_view strText, std::string& strReason) {
    m_vecVhosts.clear();
    bool bInSection = false;
    bool bInGroup = false;      // the lines that follow belong to a shared address
    bool bTakesAliases = false; // the last vhost read is the one the alias lines that follow are of
    tagVhostAddr groupAddr;
    while (!strText.empty()) {
        const auto nEnd = std::min(strText.find('\n'), strText.size());
        std::string_view line = strText.substr(0, nEnd);
        strText.remove_prefix(std::min(nEnd + 1, strText.size()));
        if (!bInSection) {
            bInSection = trim(line) == kSectionHead;
            continue;
        }
        if (trim(line).empty())
            continue;
        if (line.front() != ' ' && line.front() != '\t') {
            // An address of its own: a shared one, or one vhost alone at it.
            std::string_view rest = line;
            tagVhostAddr addr;
            if (!tagVhostAddr::parse(nextWord(rest), addr))
                break; // the end of the section
            bTakesAliases = false;
            if (rest == "is a NameVirtualHost") {
                groupAddr = addr;
                bInGroup = true;
                continue;
            }
            tagVhost vhost;
            if (!parseNamedPlace(rest, vhost))
                break;
            vhost.addr = addr;
            m_vecVhosts.push_back(std::move(vhost));
            bInGroup = false;
            continue;
        }
        std::string_view rest = line;
        const std::string_view word = nextWord(rest);
        if (word == "port" && bInGroup) {
            nextWord(rest); // the port, which the address says already
            tagVhost vhost;
            bTakesAliases = nextWord(rest) == "namevhost" && parseNamedPlace(rest, vhost);
            if (bTakesAliases) {
                vhost.addr = groupAddr;
                m_vecVhosts.push_back(std::move(vhost));
            }
        } else if (word == "alias" && bTakesAliases) {
            m_vecVhosts.back().vecAliases.emplace_back(nextWord(rest));
        } else if (word == "wild" && bTakesAliases && nextWord(rest) == "alias") {
            m_vecVhosts.back().vecWild.emplace_back(nextWord(rest));
        }
        // "default server" repeats the group's first vhost; other lines say nothing of names.
    }
    if (!bInSection) {
        strReason = "no \"" + std::string(kSectionHead) + "\" in it: not what apache2ctl -S prints";
        return false;
    }
    index();
    return true;
}

void CServerDump::dropIf(const std::function<bool(const tagVhost&)>& fnDrop) {
    std::erase_if(m_vecVhosts, fnDrop);
    index();
}

void CServerDump::index() {
    std::size_t nNames = 0;
    for (const tagVhost& vhost : m_vecVhosts)
        nNames += 1 + vhost.vecAliases.size();
    m_vecNameSlots.assign(std::bit_ceil(nNames * 2 + 2), tagNameSlot{});
    const std::size_t nMask = m_vecNameSlots.size() - 1;
    const auto addName = [&](std::uint32_t nVhost, std::uint32_t nName) {
        const std::string& strName = nameAt(nVhost, nName);
        const std::uint64_t nHash = CNameSet::hashWithKey(strName, 0);
        for (std::size_t i = nHash & nMask;; i = (i + 1) & nMask) {
            tagNameSlot& slot = m_vecNameSlots[i];
            if (slot.nVhost == UINT32_MAX) {
                slot = {nHash, nVhost, nName};
                return;
            }
            if (slot.nHash == nHash && sameNoCase(nameAt(slot.nVhost, slot.nName), strName))
                return; // an earlier vhost has it
        }
    };
    m_vecWild.clear();
    m_mapWildByTail.clear();
    m_vecTailSizes.clear();
    for (std::uint32_t i = 0; i < m_vecVhosts.size(); ++i) {
        const tagVhost& vhost = m_vecVhosts[i];
        for (std::uint32_t nName = 0; nName <= vhost.vecAliases.size(); ++nName)
            addName(i, nName);
        for (const std::string& strPattern : vhost.vecWild) {
            const std::string_view tail = wildTail(strPattern);
            if (m_vecTailSizes.size() <= tail.size())
                m_vecTailSizes.resize(tail.size() + 1);
            m_vecTailSizes[tail.size()] = true;
            m_mapWildByTail[CNameSet::hashWithKey(tail, 0)].push_back(
                static_cast<std::uint32_t>(m_vecWild.size()));
            m_vecWild.push_back({strPattern, i});
        }
    }
}

const std::string& CServerDump::nameAt(std::uint32_t nVhost, std::uint32_t nName) const {
    const tagVhost& vhost = m_vecVhosts[nVhost];
    return nName == 0 ? vhost.strName : vhost.vecAliases[nName - 1];
}

int CServerDump::servedBy(std::string_view strName) const {
    return servedBy(strName, CNameSet::hashWithKey(strName, 0));
}

int CServerDump::servedBy(std::string_view strName, std::uint64_t nHash) const {
    if (m_vecNameSlots.empty())
        return -1;
    const std::size_t nMask = m_vecNameSlots.size() - 1;
    for (std::size_t i = nHash & nMask;; i = (i + 1) & nMask) {
        const tagNameSlot& slot = m_vecNameSlots[i];
        if (slot.nVhost == UINT32_MAX)
            return -1;
        if (slot.nHash == nHash && sameNoCase(nameAt(slot.nVhost, slot.nName), strName))
            return static_cast<int>(slot.nVhost);
    }
}

int CServerDump::wildcardFor(std::string_view strName, std::string& strPattern) const {
    if (m_vecWild.empty())
        return -1;
    std::size_t nBest = m_vecWild.size();
    // Every run of whole labels at the end of the name, and the empty one.
    for (std::size_t nFrom = 0;;) {
        const std::string_view tail = nFrom <= strName.size() ? strName.substr(nFrom) : std::string_view();
        const auto it = tail.size() < m_vecTailSizes.size() && m_vecTailSizes[tail.size()]
                            ? m_mapWildByTail.find(CNameSet::hashWithKey(tail, 0))
                            : m_mapWildByTail.end();
        if (it != m_mapWildByTail.end())
            for (const std::uint32_t nWild : it->second)
                if (nWild < nBest && wildMatch(m_vecWild[nWild].strPattern, strName))
                    nBest = nWild;
        if (tail.empty())
            break;
        const auto nDot = strName.find('.', nFrom);
        nFrom = nDot == std::string_view::npos ? strName.size() + 1 : nDot + 1;
    }
    if (nBest == m_vecWild.size())
        return -1;
    strPattern = m_vecWild[nBest].strPattern;
    return static_cast<int>(m_vecWild[nBest].nVhost);
}

std::vector<std::size_t> CServerDump::shadowing(const tagVhostAddr& listen) const {
    std::vector<std::size_t> vecFound;
    std::vector<std::string> vecSeen;
    for (std::size_t i = 0; i < m_vecVhosts.size(); ++i) {
        const tagVhostAddr& addr = m_vecVhosts[i].addr;
        // Apache looks for the most specific address first: an IP address before "*", a port
        // before any port.
        const bool bHostCovers = listen.anyHost() || listen.strHost == addr.strHost;
        const bool bPortCovers = listen.nPort == 0 || listen.nPort == addr.nPort || addr.nPort == 0;
        const bool bMoreSpecific =
            (listen.anyHost() && !addr.anyHost()) || (listen.nPort == 0 && addr.nPort != 0);
        if (!bHostCovers || !bPortCovers || !bMoreSpecific)
            continue;
        std::string strAddr = addr.text();
        if (std::find(vecSeen.begin(), vecSeen.end(), strAddr) != vecSeen.end())
            continue;
        vecSeen.push_back(std::move(strAddr));
        vecFound.push_back(i);
    }
    return vecFound;
}

bool CServerDump::wildMatch(std::string_view strPattern, std::string_view strName) {
    std::size_t p = 0, n = 0;
    std::size_t nStar = std::string_view::npos, nResume = 0;
    while (n < strName.size()) {
        if (p < strPattern.size() && strPattern[p] == '*') {
            nStar = p++;
            nResume = n;
        } else if (p < strPattern.size() &&
                   (strPattern[p] == '?' || lower(strPattern[p]) == lower(strName[n]))) {
            ++p;
            ++n;
        } else if (nStar != std::string_view::npos) {
            p = nStar + 1;
            n = ++nResume;
        } else {
            return false;
        }
    }
    while (p < strPattern.size() && strPattern[p] == '*')
        ++p;
    return p == strPattern.size();
}
