#include "core/PublicSuffix.h"

#include <algorithm>

#ifdef KELVANE_HAVE_PSL
#include <libpsl.h>
#endif

namespace psl {
namespace {
#ifdef KELVANE_HAVE_PSL
#ifdef _WIN32
// Windows keeps no list: the one built in, never a file that someone put at libpsl's Linux paths
// on the current drive (\usr\share\publicsuffix), which psl_latest would prefer when newer.
const psl_ctx_t* context() {
    return psl_builtin();
}
#else
// The newest of the list built into libpsl and the one the system keeps, read once.
const psl_ctx_t* context() {
    static const psl_ctx_t* pContext = psl_latest(nullptr);
    return pContext;
}
#endif
#endif
} // namespace

std::string registeredDomain(std::string_view strName) {
#ifdef KELVANE_HAVE_PSL
    const psl_ctx_t* pContext = context();
    if (!pContext)
        return {};
    std::string strLower(strName.substr(strName.starts_with("*.") ? 2 : 0));
    std::transform(strLower.begin(), strLower.end(), strLower.begin(),
                   [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; });
    if (!strLower.empty() && strLower.back() == '.')
        strLower.pop_back();
    const char* pszRegistered = psl_registrable_domain(pContext, strLower.c_str());
    return pszRegistered ? std::string(pszRegistered) : std::string();
#else
    (void)strName;
    return {};
#endif
}

bool available() {
#ifdef KELVANE_HAVE_PSL
    return context() != nullptr;
#else
    return false;
#endif
}

std::string source() {
#ifdef KELVANE_HAVE_PSL
    const char* pszFile = psl_dist_filename();
    return std::string("libpsl ") + psl_get_version() +
           (pszFile && *pszFile ? std::string(", ") + pszFile : "");
#else
    return "none";
#endif
}

} // namespace psl
