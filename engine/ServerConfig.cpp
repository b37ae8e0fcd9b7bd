#include "engine/ServerConfig.h"

#include <charconv>

#include "core/Sys.h"
#include "core/TextUtil.h"

bool tagVhostAddr::sameAs(const tagVhostAddr& other) const {
    return nPort == other.nPort && text::sameNoCase(strHost, other.strHost);
}

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
