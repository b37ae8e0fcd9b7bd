// The reader of what `apache2ctl -S` prints and of the vhosts' files, on any text: the model it
// builds is the same whatever the pieces the text comes in, the vhost that takes a name agrees
// with a plain walk through the vhosts in Apache's order, the words of a configuration file agree
// with a plain model of Apache's reading, and the wildcard match with a plain model of it.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "engine/ApacheConfig.h"
#include "engine/ConfScanner.h"
#include "engine/GenRequest.h"
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

bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\v' || ch == '\f' || ch == '\n';
}

// Apache's reading of a configuration, line by line as its own functions go: lines joined where
// one ends in a backslash (before a CR), comments, then each word as ap_getword_conf takes it.
std::string modelWords(const std::string& strText) {
    std::vector<std::string> vecLines;
    for (std::size_t nAt = 0; nAt < strText.size();) {
        const std::size_t nEnd = strText.find('\n', nAt);
        vecLines.push_back(
            strText.substr(nAt, nEnd == std::string::npos ? std::string::npos : nEnd - nAt + 1));
        nAt = nEnd == std::string::npos ? strText.size() : nEnd + 1;
    }
    std::string strOut;
    for (std::size_t i = 0; i < vecLines.size();) {
        std::string strLine;
        std::vector<std::size_t> vecLineOf; // the physical line of each character
        std::size_t nLast = 0;              // the line it ends on
        for (;;) {
            std::string str = vecLines[i];
            const bool bBreak = !str.empty() && str.back() == '\n';
            if (bBreak)
                str.pop_back();
            if (bBreak && !str.empty() && str.back() == '\r' && str.size() >= 2 &&
                str[str.size() - 2] == '\\')
                str.pop_back();
            const bool bGoesOn = bBreak && !str.empty() && str.back() == '\\';
            if (bGoesOn)
                str.pop_back();
            strLine += str;
            vecLineOf.insert(vecLineOf.end(), str.size(), i + 1);
            nLast = ++i;
            // A line that goes on past the end of the text ends on the line after it.
            if (bGoesOn && i == vecLines.size())
                ++nLast;
            if (!bGoesOn || i == vecLines.size())
                break;
        }
        std::size_t p = 0;
        while (p < strLine.size() && isBlank(strLine[p]))
            ++p;
        if (p == strLine.size() || strLine[p] == '#')
            continue;
        bool bFirst = true;
        while (p < strLine.size()) {
            const std::size_t nStart = p;
            std::string strWord;
            const char chQuote = strLine[p];
            if (chQuote == '"' || chQuote == '\'') {
                ++p;
                while (p < strLine.size() && strLine[p] != chQuote) {
                    if (strLine[p] == '\\' && p + 1 < strLine.size() &&
                        (strLine[p + 1] == chQuote || strLine[p + 1] == '\\')) {
                        strWord += strLine[p + 1];
                        p += 2;
                    } else {
                        strWord += strLine[p++];
                    }
                }
                if (p < strLine.size())
                    ++p;
            } else {
                while (p < strLine.size() && !isBlank(strLine[p])) {
                    if (strLine[p] == '\\' && p + 1 < strLine.size() && strLine[p + 1] == '\\')
                        ++p;
                    strWord += strLine[p++];
                }
            }
            while (p < strLine.size() && isBlank(strLine[p]))
                ++p;
            strOut += bFirst ? std::to_string(vecLineOf[nStart]) + " " + strWord : "|" + strWord;
            bFirst = false;
        }
        strOut += ";" + std::to_string(nLast) + "\n";
    }
    return strOut;
}

class CRecorder : public CConfScanner::CSink {
public:
    std::string m_str;
    bool onDirective(std::string_view strName, std::int64_t nLine) override {
        m_str += std::to_string(nLine) + " " + std::string(strName);
        return true;
    }
    void onWord(std::string_view strWord) override { m_str += "|" + std::string(strWord); }
    void onDirectiveEnd(std::int64_t nLastLine) override { m_str += ";" + std::to_string(nLastLine) + "\n"; }
};

std::string describe(const CServerConfig& config) {
    std::string str;
    for (std::size_t i = 0; i < config.vhostCount(); ++i) {
        const tagVhostInfo vhost = config.vhost(i);
        str += vhost.addr.text() + " " + std::string(vhost.strName) + " " + std::string(vhost.strFile) + ":" +
               std::to_string(vhost.nLine);
        config.forEachName(i, [&](const tagVhostName& name) {
            str +=
                " " + std::string(name.strName) + (name.bWild ? "~" : "") + ":" + std::to_string(name.nLine);
        });
        str += "\n";
    }
    return str;
}

void load(CApacheConfig& config, std::string_view strListing, std::size_t nPiece) {
    CServerDump dump(config);
    for (std::size_t i = 0; i < strListing.size(); i += nPiece)
        dump.feed(strListing.substr(i, nPiece));
    std::string strReason;
    if (!dump.finish(strReason))
        FUZZ_CHECK(!strReason.empty());
    config.finish(tagGenRequest{}, {});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string strPattern = provider.ConsumeRandomLengthString(24);
    const std::string strName = provider.ConsumeRandomLengthString(40);
    const std::size_t nPiece = provider.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string strConf = provider.ConsumeRandomLengthString(1024);
    const std::string strListing = provider.ConsumeRemainingBytesAsString();

    FUZZ_CHECK(CApacheConfig::wildMatch(strPattern, strName) == modelMatch(strPattern, strName));

    // Every file a vhost names holds the same text, given in pieces.
    const auto fnReadFile = [&](const std::string&, const CApacheConfig::FnPiece& fnPiece, std::string&) {
        for (std::size_t i = 0; i < strConf.size(); i += nPiece)
            if (!fnPiece(std::string_view(strConf).substr(i, nPiece)))
                break;
        return true;
    };
    CRecorder whole, bytes;
    CConfScanner scanWhole(whole), scanBytes(bytes);
    scanWhole.feed(strConf);
    scanWhole.finish();
    for (const char ch : strConf)
        scanBytes.feed(std::string_view(&ch, 1));
    scanBytes.finish();
    FUZZ_CHECK(whole.m_str == bytes.m_str);
    FUZZ_CHECK(whole.m_str == modelWords(strConf));

    CApacheConfig config(fnReadFile), inPieces(fnReadFile);
    load(config, strListing, strListing.size() + 1);
    load(inPieces, strListing, nPiece);
    FUZZ_CHECK(describe(config) == describe(inPieces));

    std::vector<std::string> vecNames{strName};
    for (std::size_t i = 0; i < config.vhostCount(); ++i) {
        const tagVhostInfo vhost = config.vhost(i);
        FUZZ_CHECK(!vhost.strName.empty() && !vhost.strFile.empty() && vhost.nLine >= 0);
        tagAddress addr;
        FUZZ_CHECK(tagAddress::parseListed(vhost.addr.text(), addr) && addr.sameAs(vhost.addr));
        config.forEachName(i, [&](const tagVhostName& name) {
            if (vecNames.size() < 32)
                vecNames.emplace_back(name.strName);
        });
    }
    // At each address, the first vhost there with the name, or else a wild alias that takes it.
    for (std::size_t nAddr = 0; nAddr < config.vhostCount(); ++nAddr) {
        const tagAddress addr = config.vhost(nAddr).addr;
        // The vhosts of an address follow one another: each address once.
        if (nAddr > 0 && config.vhost(nAddr - 1).addr.sameAs(addr))
            continue;
        for (const std::string& strLookedUp : vecNames) {
            bool bFound = false;
            tagTaken model;
            for (std::size_t i = 0; i < config.vhostCount() && !bFound; ++i) {
                if (!config.vhost(i).addr.sameAs(addr))
                    continue;
                config.forEachName(i, [&](const tagVhostName& name) {
                    if (!bFound && (name.bWild ? modelMatch(name.strName, strLookedUp)
                                               : sameNoCase(name.strName, strLookedUp))) {
                        bFound = true;
                        model = {i, name};
                    }
                });
            }
            tagTaken taken;
            FUZZ_CHECK(config.takes(addr, strLookedUp, taken) == bFound);
            if (bFound)
                FUZZ_CHECK(taken.nVhost == model.nVhost && taken.name.strName == model.name.strName &&
                           taken.name.bWild == model.name.bWild && taken.name.nLine == model.name.nLine);
        }
    }
    return 0;
}
