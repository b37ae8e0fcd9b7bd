#pragma once

#include <string>
#include <string_view>

// The address in an entry's opening tag: "*", "*:PORT", "IPv4:PORT" or "[IPv6]:PORT".
struct tagListenAddress {
    std::string strHost = "*"; // "*", an IPv4 literal, or an IPv6 literal in brackets
    int nPort = 0;             // 0: any port

    // As the opening tag writes it.
    std::string text() const { return nPort == 0 ? strHost : strHost + ":" + std::to_string(nPort); }
    tagListenAddress withPort(int nNewPort) const { return {strHost, nNewPort}; }

    // False with the reason when the text is none of the accepted forms; the IP literals are
    // checked as the system reads them, so that Apache never meets one it cannot bind.
    static bool parse(std::string_view strText, tagListenAddress& address, std::string& strReason);
};
