#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The address of a vhost, as Apache prints it and as --listen takes it: "*" or an IP address
// (an IPv6 one in brackets), and a port, 0 for any. "*" and "_default_" are one host.
struct tagVhostAddr {
    std::string strHost = "*";
    unsigned nPort = 0;

    bool anyHost() const { return strHost == "*"; }
    // The same host, IPv6 addresses without regard to case, and the same port; any port is an
    // address of its own.
    bool sameAs(const tagVhostAddr& other) const;
    // "*", "*:80", "192.0.2.10:80", "[2001:db8::1]:80".
    std::string text() const;
    // Takes "*", "*:*", "*:80", "_default_:80", "192.0.2.10:80", "[2001:db8::1]:80", and an IP
    // address without a port (any port); anything else is refused.
    static bool parse(std::string_view strText, tagVhostAddr& addr);
};

// A vhost the server loaded: where it listens and where it is defined.
struct tagVhostInfo {
    tagVhostAddr addr;
    std::string_view strName; // its ServerName, or the name it has from the server without one
    std::string_view strFile;
    std::int64_t nLine = 0;
};

// A name of a vhost, with the directive that gives it.
struct tagVhostName {
    std::string_view strName; // as the directive writes it; a wild alias holds '*' or '?'
    bool bWild = false;
    std::string_view strFile;
    std::int64_t nLine = 0;
};

// The vhost that takes a name, and the name of it that does.
struct tagTaken {
    std::size_t nVhost = 0;
    tagVhostName name;
};

// What a web server loaded, its vhosts and their names, with the server's own rule for the vhost
// a request reaches. The check of a list knows a server only through this.
class CServerConfig {
public:
    virtual ~CServerConfig() = default;

    virtual std::size_t vhostCount() const = 0;
    virtual tagVhostInfo vhost(std::size_t nVhost) const = 0;
    // Every name of the vhost, in the order the server looks at them.
    virtual void forEachName(std::size_t nVhost,
                             const std::function<void(const tagVhostName&)>& fnName) const = 0;
    // The vhost that answers a request for the name at the address: only vhosts listening there
    // compete. False when none of them takes the name.
    virtual bool takes(const tagVhostAddr& addr, std::string_view strName, tagTaken& taken) const = 0;
    // The vhosts that take requests before entries at the address: for each address more
    // specific than it that covers part of it, the first vhost there.
    virtual std::vector<std::size_t> shadowing(const tagVhostAddr& addr) const = 0;
};
