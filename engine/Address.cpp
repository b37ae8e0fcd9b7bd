#include "engine/Address.h"

#include <charconv>

#include "core/Sys.h"
#include "core/TextUtil.h"

namespace {
// Digits only, no sign, no leading zero: what is written is what the server binds.
bool parsePort(std::string_view strPort, int& nPort) {
    if (strPort.empty() || strPort.size() > 5 || strPort.front() == '0')
        return false;
    nPort = 0;
    for (const char ch : strPort) {
        if (ch < '0' || ch > '9')
            return false;
        nPort = nPort * 10 + (ch - '0');
    }
    return nPort <= 65535;
}

bool isHostLiteral(std::string_view host) {
    const bool bV6 = host.size() > 2 && host.front() == '[' && host.back() == ']';
    return sys::isIpLiteral(std::string(bV6 ? host.substr(1, host.size() - 2) : host), bV6);
}
} // namespace

bool tagAddress::sameAs(const tagAddress& other) const {
    return nPort == other.nPort && text::sameNoCase(strHost, other.strHost);
}

std::string tagAddress::text() const {
    return nPort == 0 ? (anyHost() ? strHost : strHost + ":*") : strHost + ":" + std::to_string(nPort);
}

bool tagAddress::parseListen(std::string_view strText, tagAddress& address, std::string& strReason) {
    if (strText == "*") {
        address = {};
        return true;
    }
    // The port follows the last colon, which for IPv6 is the one after the bracket.
    std::size_t nColon = strText.rfind(':');
    if (strText.starts_with('[')) {
        const std::size_t nClose = strText.find("]:");
        nColon = nClose == std::string_view::npos ? nClose : nClose + 1;
    }
    if (nColon == std::string_view::npos) {
        strReason = "an address needs a port: use *, *:PORT, IPv4:PORT or [IPv6]:PORT";
        return false;
    }
    const std::string_view host = strText.substr(0, nColon);
    int nPort = 0;
    if (!parsePort(strText.substr(nColon + 1), nPort)) {
        strReason = "the port must be a number from 1 to 65535";
        return false;
    }
    if (host != "*" && !isHostLiteral(host)) {
        strReason = host.starts_with('[') ? "not an IPv6 address"
                                          : "not an IPv4 address (an IPv6 address goes in brackets)";
        return false;
    }
    address = {std::string(host), nPort};
    return true;
}

bool tagAddress::parseListed(std::string_view strText, tagAddress& address) {
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
    int nPort = 0;
    if (!port.empty() && port != "*") {
        const auto [p, ec] = std::from_chars(port.data(), port.data() + port.size(), nPort);
        if (ec != std::errc() || p != port.data() + port.size() || nPort <= 0 || nPort > 65535)
            return false;
    }
    if (host == "*" || host == "_default_") {
        address.strHost = "*";
    } else {
        if (!isHostLiteral(host))
            return false;
        address.strHost = std::string(host);
    }
    address.nPort = nPort;
    return true;
}
