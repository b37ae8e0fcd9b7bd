#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// The address of a <VirtualHost>, as Apache prints it and as --listen takes it: "*" or an IP
// address (an IPv6 one in brackets), and a port, 0 for any.
struct tagVhostAddr {
    std::string strHost = "*";
    unsigned nPort = 0;

    bool anyHost() const { return strHost == "*"; }
    // "*", "*:80", "192.0.2.10:80", "[2001:db8::1]:80".
    std::string text() const;
    // Takes "*", "*:*", "*:80", "_default_:80", "192.0.2.10:80", "[2001:db8::1]:80", and an IP
    // address without a port (any port); anything else is refused.
    static bool parse(std::string_view strText, tagVhostAddr& addr);
};

// One virtual host a server knows: where it listens, its name, where it is defined and its
// aliases (Apache lists aliases only where several vhosts share an address).
struct tagVhost {
    tagVhostAddr addr;
    std::string strName;
    std::string strFile;
    std::int64_t nLine = 0;
    std::vector<std::string> vecAliases;
    std::vector<std::string> vecWild; // aliases with '*' or '?'
};

// The virtual hosts of what `apache2ctl -S` prints, with lookups by name.
class CServerDump {
public:
    // False when the text has no vhost section; strReason then says so. Lines outside it
    // (warnings, the server's other settings) are passed over.
    bool parse(std::string_view strText, std::string& strReason);
    // Forgets the vhosts fnDrop picks: those of the run's own output, which the run replaces.
    void dropIf(const std::function<bool(const tagVhost&)>& fnDrop);

    const std::vector<tagVhost>& vhosts() const { return m_vecVhosts; }

    // The first vhost that serves the name as its name or an alias, in any case; -1 when none.
    // nHash: CNameSet::hashNoCase of the name, which the caller may have at hand.
    int servedBy(std::string_view strName, std::uint64_t nHash) const;
    int servedBy(std::string_view strName) const;
    // The first vhost with a wild alias that takes the name; -1 when none. strPattern is that alias.
    int wildcardFor(std::string_view strName, std::string& strPattern) const;
    // The vhosts that take requests before entries at the address: one for each address more
    // specific than it (a port of its own where it has any, an IP address where it has "*"), the
    // first vhost at that address.
    std::vector<std::size_t> shadowing(const tagVhostAddr& listen) const;

    // Apache's wildcard match of an alias: '*' any run of characters, '?' any one, in any case.
    static bool wildMatch(std::string_view strPattern, std::string_view strName);

private:
    void index();

    std::vector<tagVhost> m_vecVhosts;
    const std::string& nameAt(std::uint32_t nVhost, std::uint32_t nName) const;

    // Every name once, with the first vhost that has it, in an open table by CNameSet::hashNoCase:
    // names whose hashes agree are told apart by their text, and the first of them in the table
    // is the first vhost's.
    struct tagNameSlot {
        std::uint64_t nHash = 0;
        std::uint32_t nVhost = UINT32_MAX; // UINT32_MAX: empty
        std::uint32_t nName = 0;           // 0: the vhost's name, else its alias nName - 1
    };
    std::vector<tagNameSlot> m_vecNameSlots;
    // Wild aliases by the whole labels after their last wildcard ("example.com" for
    // "*.example.com", "" when there are none), so that a name is matched only against those that
    // may take it.
    struct tagWild {
        std::string strPattern;
        std::uint32_t nVhost;
    };
    std::vector<tagWild> m_vecWild;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> m_mapWildByTail;
    std::vector<bool>
        m_vecTailSizes; // which sizes those tails have: most of a name's are passed over unhashed
};
