// nginx's side on any text. The reader of what `nginx -T` prints builds the same blocks whatever
// the pieces the text comes in, and the block that takes an exact name has it, while a name some
// block of the address has is always taken (nginx looks at exact names first). A template that is
// taken for nginx reads back, by a plain model of nginx's reading, as the tokens its author meant.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "engine/EntryTemplate.h"
#include "engine/GenRequest.h"
#include "engine/NginxConfig.h"

namespace {

char lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch | 0x20) : ch;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// The blocks of a dump, each as its place and its names, one string.
std::string describe(const CNginxConfig& config) {
    std::string str;
    for (std::size_t i = 0; i < config.vhostCount(); ++i) {
        const tagVhostInfo vhost = config.vhost(i);
        str += vhost.addr.text() + " " + std::string(vhost.strFile) + ":" + std::to_string(vhost.nLine);
        config.forEachName(i, [&](const tagVhostName& name) { str += " " + std::string(name.strName); });
        str += "\n";
    }
    return str;
}

std::unique_ptr<CNginxConfig> load(std::string_view text, std::size_t nPiece) {
    auto pConfig = std::make_unique<CNginxConfig>();
    for (std::size_t i = 0; i < text.size(); i += nPiece)
        pConfig->feed(text.substr(i, nPiece));
    std::string strReason;
    if (!pConfig->endDump(strReason))
        return nullptr;
    pConfig->finish(tagGenRequest{}, {});
    return pConfig;
}

bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

// nginx's reading, as plainly as it goes: a character at a time, with the state nginx keeps.
std::vector<std::string> modelTokens(const std::string& text) {
    std::vector<std::string> tokens;
    std::size_t i = 0;
    const auto unescape = [](const std::string& raw) {
        std::string out;
        for (std::size_t n = 0; n < raw.size(); ++n) {
            if (raw[n] == '\\' && n + 1 < raw.size()) {
                const char ch = raw[n + 1];
                if (ch == '"' || ch == '\'' || ch == '\\') {
                    out += ch;
                    ++n;
                    continue;
                }
                if (ch == 't' || ch == 'r' || ch == 'n') {
                    out += ch == 't' ? '\t' : ch == 'r' ? '\r' : '\n';
                    ++n;
                    continue;
                }
            }
            out += raw[n];
        }
        return out;
    };
    while (i < text.size()) {
        const char ch = text[i];
        if (isBlank(ch)) {
            ++i;
        } else if (ch == '#') {
            while (i < text.size() && text[i] != '\n')
                ++i;
        } else if (ch == ';' || ch == '{' || ch == '}') {
            tokens.push_back(std::string("\x02") + ch);
            ++i;
        } else if (ch == '"' || ch == '\'') {
            std::string raw;
            for (++i; i < text.size() && text[i] != ch; ++i) {
                if (text[i] == '\\' && i + 1 < text.size())
                    raw += text[i++];
                raw += text[i];
            }
            if (i < text.size())
                ++i;
            std::string token = unescape(raw);
            if (i < text.size() && !isBlank(text[i]) && text[i] != ';' && text[i] != '{')
                token += "\x01unexpected";
            tokens.push_back(token);
        } else {
            std::string raw;
            for (bool bDollar = false; i < text.size(); ++i) {
                const char c = text[i];
                if (isBlank(c) || c == ';' || (c == '{' && !bDollar))
                    break;
                if (c == '\\' && i + 1 < text.size()) {
                    raw += c;
                    raw += text[++i];
                    bDollar = false;
                    continue;
                }
                bDollar = c == '$';
                raw += c;
            }
            tokens.push_back(unescape(raw));
        }
    }
    return tokens;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
        // A template and a path: a template taken reads back as meant.
        const std::string strPath = fdp.ConsumeRandomLengthString(40);
        const std::string strTemplate = fdp.ConsumeRemainingBytesAsString();
        // The alias list, which a path or a template may bring in, is another harness's.
        if (strPath.find('\n') != std::string::npos || strPath.find('$') != std::string::npos ||
            (strTemplate + strPath).find("{siteDomain}") != std::string::npos)
            return 0;
        CEntryTemplate entry(strTemplate, strPath, false, EServerKind::Nginx);
        if (entry.failLine() != 0)
            return 0;
        std::string strFilled;
        for (const std::string& strPiece : entry.takePieces())
            strFilled += strPiece;
        // The meant tokens: each placeholder a marker, replaced by the path after the reading.
        std::string strMarked = strTemplate;
        const std::string strMarker = "\x03";
        for (std::size_t nAt; (nAt = strMarked.find("{sitePath}")) != std::string::npos;)
            strMarked.replace(nAt, 10, strMarker);
        std::vector<std::string> meant = modelTokens(strMarked);
        for (std::string& token : meant)
            for (std::size_t nAt = 0; (nAt = token.find(strMarker, nAt)) != std::string::npos;
                 nAt += strPath.size())
                token.replace(nAt, 1, strPath);
        if (strPath.find('\x03') == std::string::npos && strTemplate.find('\x03') == std::string::npos)
            FUZZ_CHECK(modelTokens(strFilled) == meant);
        return 0;
    }

    const std::size_t nPiece = fdp.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string strName = fdp.ConsumeRandomLengthString(24);
    const std::string strText = "# configuration file /n.conf:\n" + fdp.ConsumeRemainingBytesAsString();
    const auto pWhole = load(strText, strText.size());
    const auto pPieces = load(strText, nPiece);
    FUZZ_CHECK((pWhole == nullptr) == (pPieces == nullptr));
    if (!pWhole)
        return 0;
    FUZZ_CHECK(describe(*pWhole) == describe(*pPieces));

    // An exact name: the block that takes it has it, and some block of the address that has it
    // means one takes it.
    if (strName.empty() || strName.find_first_of("*~ \t\r\n;{}\"'\\#") != std::string::npos ||
        strName.front() == '.')
        return 0;
    for (std::size_t i = 0; i < pWhole->vhostCount(); ++i) {
        const tagAddress addr = pWhole->vhost(i).addr;
        bool bHas = false;
        for (std::size_t j = 0; j < pWhole->vhostCount(); ++j) {
            if (!pWhole->vhost(j).addr.sameAs(addr))
                continue;
            pWhole->forEachName(j, [&](const tagVhostName& name) {
                const std::string_view text = name.strName;
                bHas = bHas || sameNoCase(text, strName) ||
                       (text.starts_with('.') && sameNoCase(text.substr(1), strName));
            });
        }
        tagTaken taken;
        const bool bTaken = pWhole->takes(addr, strName, taken);
        if (bHas) {
            FUZZ_CHECK(bTaken);
            std::string_view text = taken.name.strName;
            if (text.starts_with('.'))
                text.remove_prefix(1);
            FUZZ_CHECK(sameNoCase(text, strName));
        }
    }
    return 0;
}
