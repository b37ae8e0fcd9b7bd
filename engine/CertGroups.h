#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"

// The certificates a run's entries ask for: one an entry when the layout has certificates
// (--https, --certbot), named after the entry's first domain, which is its directory in
// --cert-path and certbot's --cert-name.
namespace certs {

inline constexpr std::string_view kChainFile = "fullchain.pem";
inline constexpr std::string_view kKeyFile = "privkey.pem";

// The directory of the certificate named strCertName: the pattern with {name} replaced, without a
// trailing separator.
std::string certDir(std::string_view strCertPath, std::string_view strCertName);
// Whether both files of the certificate can be read; else strReason says which and why.
bool filesReadable(std::string_view strCertPath, std::string_view strCertName, std::string& strReason);

// The same for many certificates of one pattern: where {name} is a directory of its own, that
// directory is listed once, so that a certificate not there yet costs no system call.
class CCertFiles {
public:
    explicit CCertFiles(std::string strCertPath);
    bool readable(std::string_view strCertName, std::string& strReason);

private:
    std::string m_strCertPath;
    std::string m_strDir;   // where each certificate has a directory named after it; empty: none
    bool m_bListed = false; // its names are known
    std::unordered_set<std::string> m_names; // in lower case
};

struct tagCertGroup {
    std::string strName;                // the entry's first domain
    std::vector<std::string> vecNames;  // the names of the entry, in its order, wildcards included
    std::vector<std::int64_t> vecLines; // the list's line that brought each name
    // The registered domains of its names (one when certificates group by registered domain); a
    // name that is itself a public suffix stands for itself.
    std::vector<std::string> vecRegistered;
};

// Reads the list as a run with request would, with its layout given certificates, writes
// nothing, and tells each certificate its entries ask for, in the order the run writes them. A
// name an earlier certificate holds is left out of a later one, which is left out when it holds
// no other (a domain listed twice).
// False when the run would not start; result says why, as a run's would.
bool collectGroups(const tagGenRequest& request, const std::function<void(tagCertGroup&)>& fnGroup,
                   tagGenResult& result);

// The waves in which certificates may be ordered within an authority's limits. Wave w may start
// w spans of the orders' limit after the first; a wave holds at most the orders allowed in a
// span, and a registered domain at most the certificates allowed in its span, counting those of
// earlier waves that may still fall within it (a wave's orders are taken to run across its whole
// span). Each certificate goes to the earliest wave that can take it, never before an earlier
// one of its registered domains, so that the list's order is kept where the limits allow.
class CWavePlan {
public:
    explicit CWavePlan(const tagCertLimits& limits);

    // The wave, from 0, of a certificate that holds names of these registered domains.
    std::size_t add(const std::vector<std::string>& vecRegistered);
    std::size_t waves() const { return m_vecOrders.size(); }
    std::size_t ordersIn(std::size_t nWave) const { return m_vecOrders[nWave]; }
    // Hours from the first wave's start to the start of wave nWave.
    std::int64_t startHours(std::size_t nWave) const {
        return static_cast<std::int64_t>(nWave) * m_limits.nOrdersHours;
    }

private:
    std::size_t freeWaveFrom(std::size_t nWave);

    tagCertLimits m_limits;
    std::size_t m_nSpan; // waves whose certificates one of a registered domain still counts
    std::vector<std::size_t> m_vecOrders;
    std::vector<std::size_t> m_vecNextFree; // a wave, or a later one that may still have room
    // Each registered domain's waves of its latest certificates, at most nPerDomain of them.
    std::unordered_map<std::string, std::vector<std::uint32_t>> m_recent;
};

} // namespace certs
