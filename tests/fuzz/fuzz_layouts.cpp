// Every layout against a model: each name a domain of the list brings is written, never twice in
// one entry; with all domains in one entry, exactly once; no two entries are named after one
// domain; a file of a split output is named after its entry's first name. Lists are made of few
// letters, so that names repeat, in any case, and collide.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "FuzzCheck.h"
#include "engine/GenerateThread.h"
#include "engine/NameRule.h"

namespace {

class CTarget : public CGenTarget {
public:
    tagGenResult result;

protected:
    void onDone(tagGenResult r) override { result = std::move(r); }
};

std::string lower(std::string str) {
    for (char& ch : str)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return str;
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The plain entries of a text (not their HTTPS twins): each a list of its names, in order.
std::vector<std::vector<std::string>> plainEntries(const std::string& strText) {
    std::vector<std::vector<std::string>> vecEntries;
    std::istringstream in(strText);
    std::string strLine;
    bool bTwin = false;
    while (std::getline(in, strLine)) {
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (strLine.starts_with("<VirtualHost ")) {
            bTwin = strLine.ends_with(":443>");
            if (!bTwin)
                vecEntries.emplace_back();
        } else if (!bTwin && strLine.starts_with("    ServerAlias ")) {
            std::istringstream words(strLine.substr(16));
            for (std::string strWord; words >> strWord;)
                vecEntries.back().push_back(strWord);
        }
    }
    return vecEntries;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    tagGenRequest request;
    request.layout.nPack = fdp.ConsumeIntegralInRange(0, 4);
    request.bWww = fdp.ConsumeBool();
    static const char* const kPrefixes[] = {"", "m", "www", "a.b"};
    request.strPrefix = kPrefixes[fdp.ConsumeIntegralInRange(0, 3)];
    request.layout.bHttps = fdp.ConsumeBool();
    const bool bSplit = fdp.ConsumeBool();
    const bool bCertbot = fdp.ConsumeBool();
    // Few letters, both cases, dots and wildcards: names that repeat and meet.
    static const char kAlphabet[] = "abAB.*-\nwW.";
    std::string strList;
    for (const std::uint8_t byte : fdp.ConsumeRemainingBytes<std::uint8_t>())
        strList += kAlphabet[byte % (sizeof kAlphabet - 1)];

    const char* pTmp = std::getenv("TMPDIR");
    std::string strTemplate = std::string(pTmp && *pTmp ? pTmp : "/tmp") + "/kelvane-fuzz-XXXXXX";
    if (!::mkdtemp(strTemplate.data()))
        return 0;
    const std::filesystem::path dir = strTemplate;
    std::filesystem::create_directory(dir / "split");
    request.eList = EListSource::Text;
    request.strList = strList;
    request.strSitePath = "/srv";
    request.strOutFile = (dir / "out.conf").string();
    if (bSplit)
        request.layout.strSplitDir = (dir / "split").string();
    if (bCertbot)
        request.layout.strCertbotFile = (dir / "certbot.sh").string();
    CTarget target;
    CGenerateThread run(target, request);
    run.Generate(std::stop_source().get_token());
    const tagGenResult& result = target.result;

    // The model: the domains the list brings, by the same rule.
    names::tagNameLimits limits;
    limits.nHead = std::max<std::size_t>(request.bWww ? 4 : 0,
                                         request.strPrefix.empty() ? 0 : request.strPrefix.size() + 1);
    limits.bFileName = bSplit;
    std::vector<std::string> vecDomains;
    std::int64_t nRefused = 0;
    std::istringstream lines(strList);
    std::string strScratch;
    for (std::string strLine; std::getline(lines, strLine);) {
        std::string_view name;
        const names::EVerdict eVerdict = names::nameOfLine(strLine, strScratch, name, limits);
        if (eVerdict == names::EVerdict::Name)
            vecDomains.emplace_back(name);
        nRefused += names::isRefusal(eVerdict) ? 1 : 0;
    }
    FUZZ_CHECK(result.nRefused == nRefused);
    if (vecDomains.empty()) {
        FUZZ_CHECK(result.eFailure == (nRefused > 0 ? EGenFailure::NothingWritten : EGenFailure::None));
        std::filesystem::remove_all(dir);
        return 0;
    }
    FUZZ_CHECK(result.eFailure == EGenFailure::None);

    std::vector<std::vector<std::string>> vecEntries;
    if (bSplit) {
        for (const auto& item : std::filesystem::directory_iterator(dir / "split")) {
            const std::string strFile = item.path().filename().string();
            auto vecOne = plainEntries(readAll(item.path()));
            FUZZ_CHECK(vecOne.size() == 1 && !vecOne[0].empty());
            FUZZ_CHECK(strFile == vecOne[0][0] + ".conf");
            vecEntries.push_back(std::move(vecOne[0]));
        }
        FUZZ_CHECK(static_cast<std::int64_t>(vecEntries.size()) == result.nFiles);
    } else {
        vecEntries = plainEntries(readAll(dir / "out.conf"));
    }
    // Each name once in an entry; no two entries named after one domain where a name names them.
    const bool bNamed = bSplit || ((request.layout.bHttps || bCertbot) && request.layout.nPack != 1);
    std::set<std::string> setFirsts;
    std::map<std::string, int> mapWritten;
    for (const auto& vecNames : vecEntries) {
        std::set<std::string> setInEntry;
        for (const std::string& strName : vecNames) {
            FUZZ_CHECK(setInEntry.insert(lower(strName)).second);
            ++mapWritten[lower(strName)];
        }
        if (bNamed)
            FUZZ_CHECK(setFirsts.insert(lower(vecNames[0])).second);
    }
    // Every name of every domain is written; all in one entry, exactly once.
    const bool bOneEntry = request.layout.nPack == 0 && !request.layout.bHttps && !bCertbot;
    for (const std::string& strDomain : vecDomains) {
        std::vector<std::string> vecNames = {lower(strDomain)};
        if (request.bWww)
            vecNames.push_back("www." + lower(strDomain));
        if (!request.strPrefix.empty())
            vecNames.push_back(request.strPrefix + "." + lower(strDomain));
        for (const std::string& strName : vecNames) {
            FUZZ_CHECK(mapWritten.count(strName) > 0);
            if (bOneEntry)
                FUZZ_CHECK(mapWritten[strName] == 1);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
