#include "engine/ListenAddress.h"

#include "core/Sys.h"

namespace {
bool parsePort(std::string_view strPort, int& nPort) {
    // Digits only, no sign, no leading zero: what is written is what Apache binds.
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
} // namespace

bool tagListenAddress::parse(std::string_view strText, tagListenAddress& address, std::string& strReason) {
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
    if (host != "*") {
        const bool bV6 = host.size() > 2 && host.front() == '[' && host.back() == ']';
        const std::string strLiteral(bV6 ? host.substr(1, host.size() - 2) : host);
        if (!sys::isIpLiteral(strLiteral, bV6)) {
            strReason =
                bV6 ? "not an IPv6 address" : "not an IPv4 address (an IPv6 address goes in brackets)";
            return false;
        }
    }
    address = {std::string(host), nPort};
    return true;
}
