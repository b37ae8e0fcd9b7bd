#include "engine/NginxConfig.h"

#include <algorithm>
#include <optional>
#include <regex>

#include "core/FileUtil.h"
#include "core/TextUtil.h"
#include "engine/GenRequest.h"

namespace {

// Whether std::regex can be given the pattern: not too long, and no number in it ("{n,m}",
// "\\n") past what the library counts in without overflow.
bool safeForRegex(std::string_view strPattern) {
    constexpr std::size_t kMaxPattern = 1024;
    constexpr std::size_t kMaxDigits = 4;
    if (strPattern.size() > kMaxPattern)
        return false;
    // The library reads a run of digits as a number wherever it stands in a count or a
    // back-reference: any run longer than four is refused.
    std::size_t nDigits = 0;
    for (const char ch : strPattern) {
        nDigits = ch >= '0' && ch <= '9' ? nDigits + 1 : 0;
        if (nDigits > kMaxDigits)
            return false;
    }
    return true;
}

constexpr std::uint32_t kNone = CIndexTable::kNone;
constexpr int kHttpPort = 80;
// Includes deeper than this are a loop nginx would have refused.
constexpr std::size_t kMaxIncludeDepth = 64;

bool isBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

char lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// The name of a file in the directory, when it is one there.
std::string_view nameIn(std::string_view strPath, std::string_view strDir) {
    if (strDir.empty() || !strPath.starts_with(strDir))
        return {};
    std::string_view name = strPath.substr(strDir.size());
    if (strDir.back() != '/') {
        if (name.empty() || name.front() != '/')
            return {};
        name.remove_prefix(1);
    }
    return name.find('/') == std::string_view::npos ? name : std::string_view();
}

// A glob as nginx's include expands it: '*' and '?' within one path component, "[...]" a set,
// and a component's leading '.' only by a '.' written.
bool globMatch(std::string_view pattern, std::string_view path) {
    std::size_t p = 0, n = 0;
    std::size_t nStar = std::string_view::npos, nResume = 0;
    const auto atComponentStart = [&path](std::size_t i) { return i == 0 || path[i - 1] == '/'; };
    while (n < path.size()) {
        const char ch = path[n];
        const bool bHidden = ch == '.' && atComponentStart(n);
        if (p < pattern.size() && pattern[p] == '*' && !bHidden) {
            nStar = p++;
            nResume = n;
            continue;
        }
        bool bMatched = false;
        std::size_t nNext = p + 1;
        if (p < pattern.size()) {
            if (pattern[p] == '?') {
                bMatched = ch != '/' && !bHidden;
            } else if (pattern[p] == '[' && ch != '/' && !bHidden) {
                std::size_t i = p + 1;
                const bool bNegated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
                i += bNegated ? 1 : 0;
                bool bIn = false;
                for (bool bFirst = true; i < pattern.size() && (bFirst || pattern[i] != ']');
                     bFirst = false) {
                    const char lo = pattern[i];
                    char hi = lo;
                    if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
                        hi = pattern[i + 2];
                        i += 2;
                    }
                    bIn = bIn || (ch >= lo && ch <= hi);
                    ++i;
                }
                if (i < pattern.size()) {
                    bMatched = bIn != bNegated;
                    nNext = i + 1;
                } else {
                    bMatched = ch == '['; // no closing bracket: a plain '['
                }
            } else if (pattern[p] == '\\' && p + 1 < pattern.size()) {
                bMatched = pattern[p + 1] == ch;
                nNext = p + 2;
            } else {
                bMatched = pattern[p] == ch;
            }
        }
        if (bMatched) {
            p = nNext;
            ++n;
        } else if (nStar != std::string_view::npos && path[nResume] != '/') {
            p = nStar + 1;
            n = ++nResume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// A listen address as a tagAddress: "*" for every address (IPv4 and IPv6: blocks nearly always
// list both, and the entries of a run listen on both), port 80 where none is written. A host name
// stays a name, but "localhost", which nginx binds on 127.0.0.1 and [::1]. False for a UNIX socket
// or a port that is none.
bool parseListenWord(std::string_view word, std::vector<tagAddress>& vecAddrs) {
    vecAddrs.clear();
    if (word.starts_with("unix:"))
        return false;
    std::string_view host = word, port;
    if (word.starts_with('[')) {
        const auto nClose = word.find(']');
        if (nClose == std::string_view::npos)
            return false;
        host = word.substr(0, nClose + 1);
        const std::string_view rest = word.substr(nClose + 1);
        if (!rest.empty() && rest.front() != ':')
            return false;
        port = rest.empty() ? rest : rest.substr(1);
    } else if (const auto nColon = word.rfind(':'); nColon != std::string_view::npos) {
        host = word.substr(0, nColon);
        port = word.substr(nColon + 1);
    } else if (!word.empty() && word.find_first_not_of("0123456789") == std::string_view::npos) {
        host = "*";
        port = word;
    }
    int nPort = kHttpPort;
    if (!port.empty()) {
        if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        nPort = std::stoi(std::string(port));
        if (nPort <= 0 || nPort > 65535)
            return false;
    }
    std::string strHost(host);
    std::transform(strHost.begin(), strHost.end(), strHost.begin(), lower);
    if (strHost.empty() || strHost == "*" || strHost == "0.0.0.0" || strHost == "[::]" ||
        strHost == "[0:0:0:0:0:0:0:0]")
        strHost = "*";
    if (strHost == "localhost") {
        vecAddrs.push_back({"127.0.0.1", nPort});
        vecAddrs.push_back({"[::1]", nPort});
    } else {
        vecAddrs.push_back({strHost, nPort});
    }
    return true;
}

// PCRE's named groups, which std::regex lacks, as plain groups: "(?<n>", "(?P<n>", "(?'n'".
std::string withPlainGroups(std::string_view pattern) {
    std::string out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            out += pattern.substr(i, 2);
            ++i;
            continue;
        }
        if (pattern.substr(i).starts_with("(?")) {
            std::size_t nName = i + 2;
            if (pattern.substr(nName).starts_with("P<"))
                ++nName;
            const char open = nName < pattern.size() ? pattern[nName] : '\0';
            const char close = open == '<' ? '>' : '\'';
            // "(?<=" and "(?<!" are lookbehinds, not names.
            if ((open == '<' || open == '\'') && nName + 1 < pattern.size() && pattern[nName + 1] != '=' &&
                pattern[nName + 1] != '!') {
                const auto nEnd = pattern.find(close, nName + 1);
                if (nEnd != std::string_view::npos) {
                    out += '(';
                    i = nEnd;
                    continue;
                }
            }
        }
        out += pattern[i];
    }
    return out;
}

} // namespace

// The regular expressions of server_name, compiled once; none where std::regex cannot read one.
struct CNginxConfig::tagRegexes {
    std::vector<std::optional<std::regex>> vecCompiled;
};

// The dump as it comes: each file's text split into nginx's tokens, of which only what places
// blocks and names is kept (a block's start and end, include, listen and server_name with their
// words), as events of their file. The blocks are put together from those once every file is in.
class CNginxConfig::CReader {
public:
    explicit CReader(CNginxConfig& config) : m_config(config) {}

    void feed(std::string_view piece) {
        for (const char ch : piece)
            byte(ch);
    }

    bool end(std::string& strReason) {
        if (m_vecFiles.empty()) {
            strReason = "no \"" + std::string(kFileHead) + "PATH:\" line in it: not what nginx -T prints";
            return false;
        }
        endFile();
        // A file nginx read twice is dumped once; the first of a name stands.
        for (std::uint32_t i = 0; i < m_vecFiles.size(); ++i) {
            const std::string_view path = word(m_vecFiles[i].path);
            if (findFile(path) == kNone)
                m_byPath.insert(CIndexTable::hashNoCase(path), i);
            m_config.m_vecFilePaths.push_back(m_config.keep(path));
        }
        m_vecSorted.resize(m_vecFiles.size());
        for (std::uint32_t i = 0; i < m_vecFiles.size(); ++i)
            m_vecSorted[i] = i;
        std::sort(m_vecSorted.begin(), m_vecSorted.end(), [this](std::uint32_t a, std::uint32_t b) {
            return std::pair(word(m_vecFiles[a].path), a) < std::pair(word(m_vecFiles[b].path), b);
        });
        const std::string_view mainPath = word(m_vecFiles[0].path);
        m_strConfDir = std::string(mainPath.substr(0, mainPath.rfind('/') + 1));
        m_vecStack.assign(1, EFrame::Main);
        replay(0);
        return true;
    }

private:
    enum class EEvent : std::uint8_t { OpenHttp, OpenServer, OpenOther, Close, Include, Listen, ServerName };
    enum class EFrame : std::uint8_t { Main, Http, Server, Other };
    struct tagEvent {
        EEvent eKind;
        std::uint32_t nLine;
        std::uint32_t nFirstWord;
        std::uint32_t nWords;
    };
    struct tagFile {
        tagText path;
        std::uint32_t nFirstEvent;
        std::uint32_t nEventEnd;
    };

    std::string_view word(const tagText& text) const { return {m_strWords.data() + text.nAt, text.nSize}; }

    void byte(char ch) {
        if (m_bLineStart) {
            m_bLineStart = false;
            m_strHead.clear();
            m_bHead = true;
        }
        if (ch == '\n') {
            m_bLineStart = true;
            if (m_bHead && m_strHead.size() > kFileHead.size() + 1 && m_strHead.back() == ':' &&
                m_strHead.starts_with(kFileHead)) {
                startFile(std::string_view(m_strHead).substr(kFileHead.size(),
                                                             m_strHead.size() - kFileHead.size() - 1));
                return;
            }
        } else if (m_bHead) {
            // Only a line that begins as the head does can be one.
            m_strHead.push_back(ch);
            const std::size_t nSize = m_strHead.size();
            m_bHead = nSize > kMaxWord ? false
                                       : nSize > kFileHead.size() || kFileHead.substr(0, nSize) == m_strHead;
        }
        if (m_bInFile)
            token(ch);
    }

    void startFile(std::string_view path) {
        if (m_bInFile)
            endFile();
        m_bInFile = true;
        m_vecFiles.push_back({keepWord(path), static_cast<std::uint32_t>(m_vecEvents.size()), 0});
        m_nLine = 1;
        m_bComment = m_bEscaped = m_bNeedSpace = m_bDouble = m_bSingle = m_bVariable = false;
        m_bLastSpace = true;
        m_strWord.clear();
        endStatement();
    }

    void endFile() { m_vecFiles.back().nEventEnd = static_cast<std::uint32_t>(m_vecEvents.size()); }

    tagText keepWord(std::string_view str) {
        const tagText text{m_strWords.size(), static_cast<std::uint32_t>(str.size())};
        m_strWords.append(str);
        return text;
    }

    // nginx's own reading of its configuration: '#' at a word's start begins a comment to the
    // line's end; a word in quotes ends at its closing quote; '\' keeps the next byte from ending
    // a word; "${" does not open a block.
    void token(char ch) {
        if (ch == '\n') {
            ++m_nLine;
            m_bComment = false;
        }
        if (m_bComment)
            return;
        if (m_bEscaped) {
            m_bEscaped = false;
            append(ch);
            return;
        }
        if (m_bNeedSpace) {
            m_bNeedSpace = false;
            if (isBlank(ch)) {
                m_bLastSpace = true;
                return;
            }
            if (ch == ';' || ch == '{') {
                punctuation(ch);
                return;
            }
            // nginx refuses the file there; what follows starts a word of its own.
            m_bLastSpace = true;
        }
        if (m_bLastSpace) {
            if (isBlank(ch))
                return;
            m_nWordLine = m_nLine;
            m_strWord.clear();
            switch (ch) {
            case ';':
            case '{':
            case '}':
                punctuation(ch);
                return;
            case '#':
                m_bComment = true;
                return;
            case '"':
                m_bDouble = true;
                break;
            case '\'':
                m_bSingle = true;
                break;
            case '\\':
                m_bEscaped = true;
                append(ch);
                break;
            case '$':
                m_bVariable = true;
                append(ch);
                break;
            default:
                append(ch);
            }
            m_bLastSpace = false;
            return;
        }
        if (ch == '{' && m_bVariable) {
            append(ch);
            return;
        }
        m_bVariable = false;
        if (ch == '\\') {
            m_bEscaped = true;
            append(ch);
            return;
        }
        if (ch == '$') {
            m_bVariable = true;
            append(ch);
            return;
        }
        bool bEnd = false;
        if (m_bDouble || m_bSingle) {
            if (ch == (m_bDouble ? '"' : '\'')) {
                m_bDouble = m_bSingle = false;
                m_bNeedSpace = true;
                bEnd = true;
            }
        } else if (isBlank(ch) || ch == ';' || ch == '{') {
            m_bLastSpace = true;
            bEnd = true;
        }
        if (!bEnd) {
            append(ch);
            return;
        }
        endWord();
        if (ch == ';' || ch == '{')
            punctuation(ch);
    }

    void append(char ch) {
        if (m_strWord.size() < kMaxWord)
            m_strWord.push_back(ch);
    }

    // The word as nginx keeps it: "\"", "\'" and "\\" lose their '\'; "\t", "\r", "\n" become
    // those control characters; any other '\' stays.
    void endWord() {
        std::string strWord;
        for (std::size_t i = 0; i < m_strWord.size(); ++i) {
            const char ch = m_strWord[i];
            if (ch == '\\' && i + 1 < m_strWord.size()) {
                const char next = m_strWord[i + 1];
                if (next == '"' || next == '\'' || next == '\\' || next == 't' || next == 'r' ||
                    next == 'n') {
                    strWord.push_back(next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next);
                    ++i;
                    continue;
                }
            }
            strWord.push_back(ch);
        }
        if (m_nWords++ == 0) {
            m_nStatementLine = m_nWordLine;
            m_strFirst = strWord;
            if (strWord == "include")
                m_eStatement = EEvent::Include;
            else if (strWord == "listen")
                m_eStatement = EEvent::Listen;
            else if (strWord == "server_name")
                m_eStatement = EEvent::ServerName;
            else
                m_eStatement = EEvent::OpenOther;
            m_nFirstWord = static_cast<std::uint32_t>(m_vecWords.size());
            return;
        }
        if (m_eStatement != EEvent::OpenOther)
            m_vecWords.push_back(keepWord(strWord));
    }

    void punctuation(char ch) {
        m_bLastSpace = true;
        if (ch == '{') {
            const EEvent eOpen = m_nWords == 0            ? EEvent::OpenOther
                                 : m_strFirst == "http"   ? EEvent::OpenHttp
                                 : m_strFirst == "server" ? EEvent::OpenServer
                                                          : EEvent::OpenOther;
            add(eOpen, m_nWords == 0 ? m_nWordLine : m_nStatementLine, 0, 0);
            // A block's words are not kept.
            m_vecWords.resize(m_nFirstWord);
        } else if (ch == '}') {
            add(EEvent::Close, m_nWordLine, 0, 0);
            m_vecWords.resize(m_nFirstWord);
        } else if (m_nWords > 1 && m_eStatement != EEvent::OpenOther) {
            add(m_eStatement, m_nStatementLine, m_nFirstWord, m_nWords - 1);
        }
        endStatement();
    }

    void add(EEvent eKind, std::uint32_t nLine, std::uint32_t nFirstWord, std::uint32_t nWords) {
        m_vecEvents.push_back({eKind, nLine, nFirstWord, nWords});
    }

    void endStatement() {
        m_nWords = 0;
        m_strFirst.clear();
        m_eStatement = EEvent::OpenOther;
        m_nFirstWord = static_cast<std::uint32_t>(m_vecWords.size());
    }

    // The events of a file in the context its include put it in: only "server" directly in
    // "http" opens a vhost.
    void replay(std::uint32_t nFile) {
        m_vecIncluding.push_back(nFile);
        const std::size_t nBase = m_vecStack.size();
        std::vector<std::string_view> vecWords;
        const tagFile& file = m_vecFiles[nFile];
        for (std::uint32_t e = file.nFirstEvent; e < file.nEventEnd; ++e) {
            const tagEvent& event = m_vecEvents[e];
            const EFrame eTop = m_vecStack.back();
            vecWords.clear();
            for (std::uint32_t w = 0; w < event.nWords; ++w)
                vecWords.push_back(word(m_vecWords[event.nFirstWord + w]));
            switch (event.eKind) {
            case EEvent::OpenHttp:
                m_vecStack.push_back(eTop == EFrame::Main ? EFrame::Http : EFrame::Other);
                break;
            case EEvent::OpenServer:
                if (eTop == EFrame::Http)
                    m_config.startBlock(nFile, event.nLine);
                m_vecStack.push_back(eTop == EFrame::Http ? EFrame::Server : EFrame::Other);
                break;
            case EEvent::OpenOther:
                m_vecStack.push_back(EFrame::Other);
                break;
            case EEvent::Close:
                // A file's blocks end in it; a stray '}' closes nothing of its includer's.
                if (m_vecStack.size() > nBase)
                    pop();
                break;
            case EEvent::Include:
                include(vecWords.front());
                break;
            case EEvent::Listen:
                if (eTop == EFrame::Server)
                    m_config.addListen(vecWords, nFile, event.nLine);
                break;
            case EEvent::ServerName:
                if (eTop == EFrame::Server)
                    m_config.addNames(vecWords, nFile, event.nLine);
                break;
            }
        }
        while (m_vecStack.size() > nBase)
            pop();
        m_vecIncluding.pop_back();
    }

    void pop() {
        if (m_vecStack.back() == EFrame::Server)
            m_config.endBlock();
        m_vecStack.pop_back();
    }

    std::uint32_t findFile(std::string_view path) const {
        return m_byPath.find(CIndexTable::hashNoCase(path),
                             [&](std::uint32_t n) { return word(m_vecFiles[n].path) == path; });
    }

    // The dumped files the pattern names, in the order nginx reads them (a glob's, by name); a
    // relative pattern is of the main file's directory. A file already being read is not read
    // again inside itself.
    void include(std::string_view pattern) {
        if (m_vecIncluding.size() >= kMaxIncludeDepth)
            return;
        const std::string strPattern =
            pattern.starts_with('/') ? std::string(pattern) : m_strConfDir + std::string(pattern);
        const auto fnRead = [this](std::uint32_t nFile) {
            if (std::find(m_vecIncluding.begin(), m_vecIncluding.end(), nFile) == m_vecIncluding.end())
                replay(nFile);
        };
        // A plain path, as most includes are, is looked up rather than matched against every file.
        if (strPattern.find_first_of("*?[") == std::string::npos) {
            if (const std::uint32_t nFile = findFile(strPattern); nFile != kNone)
                fnRead(nFile);
            return;
        }
        // Of a name dumped twice, the first is the file.
        for (const std::uint32_t nFile : m_vecSorted)
            if (globMatch(strPattern, word(m_vecFiles[nFile].path)) &&
                findFile(word(m_vecFiles[nFile].path)) == nFile)
                fnRead(nFile);
    }

    CNginxConfig& m_config;
    std::string m_strWords; // the kept words and the files' paths
    std::vector<tagText> m_vecWords;
    std::vector<tagEvent> m_vecEvents;
    std::vector<tagFile> m_vecFiles;
    std::vector<std::uint32_t> m_vecSorted; // the files by path
    CIndexTable m_byPath;                   // the first file of each path
    std::string m_strConfDir;
    std::vector<EFrame> m_vecStack;
    std::vector<std::uint32_t> m_vecIncluding;

    bool m_bLineStart = true;
    bool m_bHead = false;
    std::string m_strHead;
    bool m_bInFile = false;
    std::uint32_t m_nLine = 1;
    bool m_bComment = false, m_bEscaped = false, m_bNeedSpace = false, m_bLastSpace = true;
    bool m_bDouble = false, m_bSingle = false, m_bVariable = false;
    std::string m_strWord;
    std::uint32_t m_nWordLine = 0;
    std::uint32_t m_nWords = 0;
    std::uint32_t m_nStatementLine = 0;
    std::string m_strFirst;
    EEvent m_eStatement = EEvent::OpenOther;
    std::uint32_t m_nFirstWord = 0;
};

CNginxConfig::CNginxConfig()
    : m_pReader(std::make_unique<CReader>(*this)), m_pRegexes(std::make_unique<tagRegexes>()) {}

CNginxConfig::~CNginxConfig() = default;

bool CNginxConfig::load(const tagSource& source, const tagGenRequest& request, const FnNote& fnNote,
                        std::string& strError) {
    std::string strSource, strReason;
    if (!readServerSource(
            source, kMaxDumpFile, "a dump of the configuration",
            [this](std::string_view piece) { feed(piece); }, strSource, strError))
        return false;
    if (!endDump(strReason)) {
        strError = "cannot read " + strSource + ": " + strReason;
        return false;
    }
    finish(request, fnNote);
    return true;
}

void CNginxConfig::feed(std::string_view piece) {
    if (m_pReader)
        m_pReader->feed(piece);
}

bool CNginxConfig::endDump(std::string& strReason) {
    if (!m_pReader)
        return true;
    const bool bRead = m_pReader->end(strReason);
    // What the blocks were put together from is needed no more.
    m_pReader.reset();
    return bRead;
}

CNginxConfig::tagText CNginxConfig::keep(std::string_view str) {
    const tagText kept{m_strNames.size(), static_cast<std::uint32_t>(str.size())};
    m_strNames.append(str);
    return kept;
}

std::uint32_t CNginxConfig::findChain(const tagAddress& addr) const {
    return m_chainIndex.find(CIndexTable::hashNoCase(addr.strHost, addr.nPort),
                             [&](std::uint32_t nChain) { return m_vecChains[nChain].addr.sameAs(addr); });
}

std::uint32_t CNginxConfig::addChain(const tagAddress& addr) {
    if (const std::uint32_t nFound = findChain(addr); nFound != kNone)
        return nFound;
    m_chainIndex.insert(CIndexTable::hashNoCase(addr.strHost, addr.nPort),
                        static_cast<std::uint32_t>(m_vecChains.size()));
    m_vecChains.push_back({addr});
    return static_cast<std::uint32_t>(m_vecChains.size() - 1);
}

void CNginxConfig::startBlock(std::uint32_t nFile, std::uint32_t nLine) {
    m_nBlock = kNone;
    // Four thousand million blocks do not fit in memory: this only keeps the indices sound.
    if (m_vecBlocks.size() >= kNone - 1 || m_vecNames.size() >= kNone - 1 || m_vecEntries.size() >= kNone - 1)
        return;
    m_nBlock = static_cast<std::uint32_t>(m_vecBlocks.size());
    m_vecBlocks.push_back({nFile, nLine, static_cast<std::uint32_t>(m_vecNames.size()), 0, false});
    m_nBlockEntries = m_vecEntries.size();
}

void CNginxConfig::addEntry(const tagAddress& addr, bool bDefault, std::uint32_t nFile, std::uint32_t nLine) {
    const std::uint32_t nChain = addChain(addr);
    // A block on both "80" and "[::]:80" is one vhost at "*:80".
    for (std::size_t i = m_nBlockEntries; i < m_vecEntries.size(); ++i) {
        if (m_vecEntries[i].nChain == nChain) {
            m_vecEntries[i].bDefault = m_vecEntries[i].bDefault || bDefault;
            return;
        }
    }
    m_vecEntries.push_back({nChain, m_nBlock, nFile, nLine, bDefault});
}

void CNginxConfig::addListen(const std::vector<std::string_view>& vecWords, std::uint32_t nFile,
                             std::uint32_t nLine) {
    std::vector<tagAddress> vecAddrs;
    if (m_nBlock == kNone || !parseListenWord(vecWords.front(), vecAddrs))
        return;
    const bool bDefault = std::any_of(vecWords.begin() + 1, vecWords.end(), [](std::string_view word) {
        return word == "default_server" || word == "default";
    });
    for (const tagAddress& addr : vecAddrs)
        addEntry(addr, bDefault, nFile, nLine);
}

void CNginxConfig::addNames(const std::vector<std::string_view>& vecWords, std::uint32_t nFile,
                            std::uint32_t nLine) {
    if (m_nBlock == kNone)
        return;
    for (const std::string_view word : vecWords) {
        if (m_vecNames.size() >= kNone - 1)
            return;
        EName eKind = EName::Exact;
        if (word.starts_with('~'))
            eKind = EName::Regex;
        else if (word.starts_with("*.") && word.size() > 2)
            eKind = EName::Leading;
        else if (word.starts_with('.') && word.size() > 1)
            eKind = EName::Dot;
        else if (word.ends_with(".*") && word.size() > 2)
            eKind = EName::Trailing;
        m_vecNames.push_back({keep(word), nFile, nLine, eKind, kNone});
        ++m_vecBlocks[m_nBlock].nNameCount;
    }
}

void CNginxConfig::endBlock() {
    if (m_nBlock == kNone)
        return;
    // A block without listen is on *:80 (as nginx run by root; *:8000 otherwise).
    if (m_vecEntries.size() == m_nBlockEntries)
        m_vecEntries.push_back({addChain({"*", kHttpPort}), m_nBlock, m_vecBlocks[m_nBlock].nFile,
                                m_vecBlocks[m_nBlock].nLine, false});
    m_nBlock = kNone;
}

void CNginxConfig::finish(const tagGenRequest& request, const FnNote& fnNote) {
    std::string strReason;
    endDump(strReason);
    markOwn(request);
    index(fnNote);
}

void CNginxConfig::markOwn(const tagGenRequest& request) {
    const std::string& strSplitDir = request.layout.strSplitDir;
    const std::string strOutput = strSplitDir.empty() && request.strOutFile != kStdOutPath
                                      ? file::canonicalPath(request.strOutFile)
                                      : std::string();
    const std::string strSplit = strSplitDir.empty() ? std::string() : file::canonicalPath(strSplitDir);
    if (strOutput.empty() && strSplit.empty())
        return;
    std::vector<std::string> vecPaths(m_vecFilePaths.size());
    for (std::size_t i = 0; i < vecPaths.size(); ++i)
        vecPaths[i] = file::canonicalPath(std::string(fileText(static_cast<std::uint32_t>(i))));
    // A block --split wrote is in a file named after its first name.
    for (tagBlock& block : m_vecBlocks) {
        const std::string& strPath = vecPaths[block.nFile];
        if (!strOutput.empty()) {
            block.bOwn = strPath == strOutput;
        } else if (const std::string_view name = nameIn(strPath, strSplit);
                   name.size() > 5 && name.ends_with(".conf") && block.nNameCount > 0) {
            block.bOwn = text(m_vecNames[block.nFirstName].text) == name.substr(0, name.size() - 5);
        }
    }
}

std::string_view CNginxConfig::keyOf(const tagName& name) const {
    const std::string_view str = text(name.text);
    switch (name.eKind) {
    case EName::Leading:
        return str.substr(2);
    case EName::Dot:
        return str.substr(1);
    case EName::Trailing:
        return str.substr(0, str.size() - 2);
    default:
        return str;
    }
}

void CNginxConfig::addKey(EKey eKey, std::uint32_t nChain, std::string_view key, const tagRef& ref) {
    const std::uint64_t nHash =
        CIndexTable::hashNoCase(key, std::uint64_t{nChain} * 4 + static_cast<int>(eKey));
    // The first block of an address with the name keeps it.
    if (findKey(eKey, nChain, key) != kNone)
        return;
    m_keyIndex.insert(nHash, static_cast<std::uint32_t>(m_vecRefs.size()));
    m_vecRefs.push_back(ref);
}

std::uint32_t CNginxConfig::findKey(EKey eKey, std::uint32_t nChain, std::string_view key) const {
    const std::uint64_t nHash =
        CIndexTable::hashNoCase(key, std::uint64_t{nChain} * 4 + static_cast<int>(eKey));
    return m_keyIndex.find(nHash, [&](std::uint32_t nRef) {
        const tagRef& ref = m_vecRefs[nRef];
        const tagName& name = m_vecNames[ref.nName];
        const bool bKind = eKey == EKey::Exact     ? name.eKind == EName::Exact || name.eKind == EName::Dot
                           : eKey == EKey::Leading ? name.eKind == EName::Leading || name.eKind == EName::Dot
                                                   : name.eKind == EName::Trailing;
        return m_vecEntries[ref.nEntry].nChain == nChain && bKind && text::sameNoCase(keyOf(name), key);
    });
}

void CNginxConfig::index(const FnNote& fnNote) {
    // Where the run's own vhosts stand among the others of their address: its entries go there.
    std::vector<std::uint32_t> vecKept(m_vecChains.size(), 0);
    for (tagChain& chain : m_vecChains)
        chain.nOwnAt = CIndexTable::kNone;
    for (const tagEntry& entry : m_vecEntries) {
        tagChain& chain = m_vecChains[entry.nChain];
        if (!(m_vecBlocks[entry.nBlock].bOwn))
            ++vecKept[entry.nChain];
        else if (chain.nOwnAt == CIndexTable::kNone)
            chain.nOwnAt = vecKept[entry.nChain];
    }
    std::erase_if(m_vecEntries, [this](const tagEntry& entry) { return m_vecBlocks[entry.nBlock].bOwn; });
    std::stable_sort(m_vecEntries.begin(), m_vecEntries.end(),
                     [](const tagEntry& a, const tagEntry& b) { return a.nChain < b.nChain; });
    for (tagChain& chain : m_vecChains)
        chain.nFirst = chain.nEnd = chain.nDefault = 0;
    for (std::uint32_t i = 0; i < m_vecEntries.size(); ++i) {
        tagChain& chain = m_vecChains[m_vecEntries[i].nChain];
        if (chain.nEnd == 0) {
            chain.nFirst = chain.nDefault = i;
        } else if (m_vecEntries[i].bDefault && !m_vecEntries[chain.nDefault].bDefault) {
            chain.nDefault = i;
        }
        chain.nEnd = i + 1;
    }
    m_vecRefs.clear();
    m_keyIndex.clear();
    m_vecRegexRefs.clear();
    m_vecRegexStart.assign(m_vecChains.size() + 1, 0);
    for (std::uint32_t nEntry = 0; nEntry < m_vecEntries.size(); ++nEntry) {
        const tagEntry& entry = m_vecEntries[nEntry];
        const tagBlock& block = m_vecBlocks[entry.nBlock];
        for (std::uint32_t n = block.nFirstName; n < block.nFirstName + block.nNameCount; ++n) {
            tagName& name = m_vecNames[n];
            const tagRef ref{nEntry, n};
            switch (name.eKind) {
            case EName::Exact:
                addKey(EKey::Exact, entry.nChain, keyOf(name), ref);
                break;
            case EName::Dot:
                addKey(EKey::Exact, entry.nChain, keyOf(name), ref);
                addKey(EKey::Leading, entry.nChain, keyOf(name), ref);
                break;
            case EName::Leading:
                addKey(EKey::Leading, entry.nChain, keyOf(name), ref);
                break;
            case EName::Trailing:
                addKey(EKey::Trailing, entry.nChain, keyOf(name), ref);
                break;
            case EName::Regex:
                m_vecRegexRefs.push_back(ref);
                break;
            }
        }
    }
    // The entries are in the order of their chains: so are their regular expressions.
    for (const tagRef& ref : m_vecRegexRefs)
        ++m_vecRegexStart[m_vecEntries[ref.nEntry].nChain + 1];
    for (std::size_t i = 1; i < m_vecRegexStart.size(); ++i)
        m_vecRegexStart[i] += m_vecRegexStart[i - 1];
    // Each regular expression once, however many addresses its block has. std::regex reads the
    // PCRE nginx uses but for some of its forms; one it cannot read is counted as matching every
    // name it is asked about, so that a check says too much rather than miss a block that takes a
    // name. An exact name or a wildcard goes before any regular expression, so this never makes a
    // finding of a name of the run, which are exact.
    for (const tagRef& ref : m_vecRegexRefs) {
        tagName& name = m_vecNames[ref.nName];
        if (name.nRegex != kNone)
            continue;
        name.nRegex = static_cast<std::uint32_t>(m_pRegexes->vecCompiled.size());
        const std::string strPattern = withPlainGroups(text(name.text).substr(1));
        try {
            // A pattern the library cannot take safely (a count past what it counts in, a length
            // that makes its compiler recurse deep) is one it cannot read.
            if (!safeForRegex(strPattern))
                throw std::regex_error(std::regex_constants::error_complexity);
            m_pRegexes->vecCompiled.emplace_back(
                std::regex(strPattern, std::regex::ECMAScript | std::regex::icase | std::regex::optimize));
        } catch (const std::regex_error&) {
            m_pRegexes->vecCompiled.emplace_back();
            if (fnNote)
                fnNote(std::string(fileText(name.nFile)) + ":" + std::to_string(name.nLine) +
                       ": the regular expression " + std::string(text(name.text)) +
                       " cannot be read here: it is counted as taking every name no exact name or "
                       "wildcard takes");
        }
    }
}

std::vector<std::uint32_t> CNginxConfig::chainsOf(const tagAddress& addr) const {
    tagAddress at = addr;
    if (at.nPort == 0)
        at.nPort = kHttpPort;
    std::vector<std::uint32_t> vecChains;
    if (const std::uint32_t nChain = findChain(at); nChain != kNone && m_vecChains[nChain].nEnd != 0)
        vecChains.push_back(nChain);
    return vecChains;
}

bool CNginxConfig::found(std::uint32_t nRef, bool bWild, tagTaken& taken) const {
    if (nRef == kNone)
        return false;
    const tagRef& ref = m_vecRefs[nRef];
    const tagName& name = m_vecNames[ref.nName];
    taken.nVhost = ref.nEntry;
    taken.name = {text(name.text), bWild, fileText(name.nFile), name.nLine};
    return true;
}

bool CNginxConfig::takes(const tagAddress& addr, std::string_view strName, tagTaken& taken) const {
    // A wildcard of the run's is not a host: only the same wildcard takes it.
    if (strName.starts_with("*.") || strName.ends_with(".*"))
        return takesFromEntries(addr, strName, taken);
    for (const std::uint32_t nChain : chainsOf(addr)) {
        if (found(findKey(EKey::Exact, nChain, strName), false, taken))
            return true;
        // The longest wildcard first: a leading one's labels after the name's first dot, a
        // trailing one's before its last.
        for (std::size_t nDot = strName.find('.'); nDot != std::string_view::npos;
             nDot = strName.find('.', nDot + 1))
            if (found(findKey(EKey::Leading, nChain, strName.substr(nDot + 1)), true, taken))
                return true;
        for (std::size_t nDot = strName.rfind('.'); nDot != std::string_view::npos && nDot > 0;
             nDot = strName.rfind('.', nDot - 1)) {
            if (nDot + 1 < strName.size() &&
                found(findKey(EKey::Trailing, nChain, strName.substr(0, nDot)), true, taken))
                return true;
        }
        std::string strLower(strName);
        std::transform(strLower.begin(), strLower.end(), strLower.begin(), lower);
        for (std::uint32_t i = m_vecRegexStart[nChain]; i < m_vecRegexStart[nChain + 1]; ++i) {
            const tagRef& ref = m_vecRegexRefs[i];
            const tagName& name = m_vecNames[ref.nName];
            const std::optional<std::regex>& regex = m_pRegexes->vecCompiled[name.nRegex];
            if (!regex || std::regex_search(strLower, *regex)) {
                taken.nVhost = ref.nEntry;
                taken.name = {text(name.text), true, fileText(name.nFile), name.nLine};
                return true;
            }
        }
    }
    return false;
}

// The entries' names are exact (or wildcards of their own), and nginx looks for an exact name
// before any wildcard or regular expression: once the entries have a name, only a block that has
// the same name, and comes first, keeps it. A wildcard or a regular expression of an existing
// block takes a name of the run now but no more after it, so it is not reported.
bool CNginxConfig::takesFromEntries(const tagAddress& addr, std::string_view strName, tagTaken& taken) const {
    for (const std::uint32_t nChain : chainsOf(addr)) {
        if (strName.starts_with("*.")) {
            if (found(findKey(EKey::Leading, nChain, strName.substr(2)), false, taken))
                return true;
        } else if (strName.ends_with(".*")) {
            if (found(findKey(EKey::Trailing, nChain, strName.substr(0, strName.size() - 2)), false, taken))
                return true;
        } else if (found(findKey(EKey::Exact, nChain, strName), false, taken)) {
            return true;
        }
    }
    return false;
}

std::vector<std::size_t> CNginxConfig::shadowing(const tagAddress& listen) const {
    std::vector<std::size_t> vecFound;
    if (!listen.anyHost())
        return vecFound;
    const int nPort = listen.nPort == 0 ? kHttpPort : listen.nPort;
    for (const tagChain& chain : m_vecChains)
        if (chain.nEnd != 0 && !chain.addr.anyHost() && chain.addr.nPort == nPort)
            vecFound.push_back(chain.nDefault);
    return vecFound;
}

bool CNginxConfig::defaultServer(const tagAddress& addr, std::size_t& nVhost, bool& bMarked) const {
    const std::vector<std::uint32_t> vecChains = chainsOf(addr);
    if (vecChains.empty())
        return false;
    nVhost = m_vecChains[vecChains.front()].nDefault;
    bMarked = m_vecEntries[nVhost].bDefault;
    return true;
}

tagVhostInfo CNginxConfig::vhost(std::size_t nVhost) const {
    const tagEntry& entry = m_vecEntries[nVhost];
    const tagBlock& block = m_vecBlocks[entry.nBlock];
    const std::string_view name =
        block.nNameCount == 0 ? std::string_view() : text(m_vecNames[block.nFirstName].text);
    return {m_vecChains[entry.nChain].addr, name, fileText(entry.nFile), entry.nLine};
}

void CNginxConfig::forEachName(std::size_t nVhost,
                               const std::function<void(const tagVhostName&)>& fnName) const {
    const tagBlock& block = m_vecBlocks[m_vecEntries[nVhost].nBlock];
    for (std::uint32_t n = block.nFirstName; n < block.nFirstName + block.nNameCount; ++n) {
        const tagName& name = m_vecNames[n];
        fnName({text(name.text), name.eKind != EName::Exact, fileText(name.nFile), name.nLine});
    }
}

bool CNginxConfig::afterOwn(const tagAddress& addr, std::size_t nVhost) const {
    const std::uint32_t nChain = findChain(addr);
    if (nChain == CIndexTable::kNone)
        return false;
    const tagChain& chain = m_vecChains[nChain];
    return chain.nOwnAt != CIndexTable::kNone && nVhost >= std::size_t{chain.nFirst} + chain.nOwnAt &&
           nVhost < chain.nEnd;
}
