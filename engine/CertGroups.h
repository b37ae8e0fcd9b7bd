#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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
// Whether both files of the certificate can be read.
bool filesReadable(std::string_view strCertPath, std::string_view strCertName);

struct tagCertGroup {
    std::string strName;                // the entry's first domain
    std::vector<std::string> vecNames;  // the names of the entry, in its order, wildcards included
    std::vector<std::int64_t> vecLines; // the list's line that brought each name
    std::string strRegistered;          // the registered domain of the entry's first domain, else that domain
};

// Reads the list as a run with request would, with its layout given certificates, writes
// nothing, and tells each certificate its entries ask for, in the order the run writes them.
// False when the run would not start; result says why, as a run's would.
bool collectGroups(const tagGenRequest& request, const std::function<void(tagCertGroup&)>& fnGroup,
                   tagGenResult& result);

} // namespace certs
