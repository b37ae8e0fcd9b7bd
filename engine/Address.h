#pragma once

#include <string>
#include <string_view>

// Where an entry or a vhost listens: "*" or an IP address (an IPv6 one in brackets), and a port,
// 0 for any port. "*" and "_default_" are one host.
struct tagAddress {
    std::string strHost = "*";
    int nPort = 0;

    bool anyHost() const { return strHost == "*"; }
    tagAddress withPort(int nNewPort) const { return {strHost, nNewPort}; }
    // The same host, IPv6 addresses without regard to case, and the same port; any port is an
    // address of its own.
    bool sameAs(const tagAddress& other) const;
    // As an opening tag writes it: "*", "*:80", "192.0.2.10:80", "[2001:db8::1]:80"; an IP address
    // on any port as "192.0.2.10:*".
    std::string text() const;

    // What --listen takes: "*", "*:PORT", "IPv4:PORT" or "[IPv6]:PORT"; false with the reason
    // otherwise. The IP literals are checked as the system reads them, so that a server never
    // meets one it cannot bind.
    static bool parseListen(std::string_view strText, tagAddress& address, std::string& strReason);
    // What a server lists: also "*:*", "_default_:80", and an IP address without a port (any
    // port); anything else is refused.
    static bool parseListed(std::string_view strText, tagAddress& address);
};
