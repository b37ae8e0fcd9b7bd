// The reader of what `apache2ctl -S` prints, on any text: what it finds holds together, the name
// lookups agree with the vhosts read, and the wildcard match agrees with a plain model of it.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "engine/ServerDump.h"

namespace {

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] >= 'A' && a[i] <= 'Z' ? a[i] | 0x20 : a[i]) !=
            (b[i] >= 'A' && b[i] <= 'Z' ? b[i] | 0x20 : b[i]))
            return false;
    return true;
}

// '*' any run, '?' any one character, others themselves in any case: a table of which head of
// the pattern takes which head of the name.
bool modelMatch(std::string_view pattern, std::string_view name) {
    std::vector<std::vector<bool>> takes(pattern.size() + 1, std::vector<bool>(name.size() + 1, false));
    takes[0][0] = true;
    for (std::size_t p = 1; p <= pattern.size(); ++p)
        for (std::size_t n = 0; n <= name.size(); ++n)
            takes[p][n] = pattern[p - 1] == '*'
                              ? takes[p - 1][n] || (n > 0 && takes[p][n - 1])
                              : n > 0 && takes[p - 1][n - 1] &&
                                    (pattern[p - 1] == '?' ||
                                     sameNoCase(pattern.substr(p - 1, 1), name.substr(n - 1, 1)));
    return takes[pattern.size()][name.size()];
}

bool hasName(const tagVhost& vhost, std::string_view name) {
    if (sameNoCase(vhost.strName, name))
        return true;
    for (const std::string& strAlias : vhost.vecAliases)
        if (sameNoCase(strAlias, name))
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string strPattern = provider.ConsumeRandomLengthString(24);
    const std::string strName = provider.ConsumeRandomLengthString(40);
    const std::string strText = provider.ConsumeRemainingBytesAsString();

    FUZZ_CHECK(CServerDump::wildMatch(strPattern, strName) == modelMatch(strPattern, strName));

    CServerDump dump;
    std::string strReason;
    if (!dump.parse(strText, strReason)) {
        FUZZ_CHECK(!strReason.empty());
        return 0;
    }
    for (const tagVhost& vhost : dump.vhosts()) {
        FUZZ_CHECK(!vhost.strName.empty() && !vhost.strFile.empty() && vhost.nLine >= 0);
        tagVhostAddr addr;
        FUZZ_CHECK(tagVhostAddr::parse(vhost.addr.text(), addr) && addr.text() == vhost.addr.text());
        // Every name read is found, at the first vhost that has it.
        for (const std::string& strAlias : vhost.vecAliases) {
            const int nServed = dump.servedBy(strAlias);
            FUZZ_CHECK(nServed >= 0 && hasName(dump.vhosts()[static_cast<std::size_t>(nServed)], strAlias));
        }
    }
    std::string strFound;
    const int nWild = dump.wildcardFor(strName, strFound);
    bool bAnyMatch = false;
    for (const tagVhost& vhost : dump.vhosts())
        for (const std::string& strWild : vhost.vecWild)
            bAnyMatch = bAnyMatch || modelMatch(strWild, strName);
    FUZZ_CHECK((nWild >= 0) == bAnyMatch);
    if (nWild >= 0)
        FUZZ_CHECK(modelMatch(strFound, strName));
    return 0;
}
