#include "engine/ServerDump.h"

#include <algorithm>

#include "engine/ApacheConfig.h"

namespace {

std::string_view trim(std::string_view str) {
    const auto nFirst = str.find_first_not_of(" \t\r");
    if (nFirst == std::string_view::npos)
        return {};
    return str.substr(nFirst, str.find_last_not_of(" \t\r") - nFirst + 1);
}

// Cuts the first blank-separated word off str.
std::string_view nextWord(std::string_view& str) {
    str = trim(str);
    const auto nEnd = std::min(str.find_first_of(" \t"), str.size());
    const std::string_view word = str.substr(0, nEnd);
    str = trim(str.substr(nEnd));
    return word;
}

bool isDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// "NAME (FILE:LINE)", the file holding anything, blanks, colons, brackets and line breaks too.
// Incomplete: the place has begun and not ended, as when the file's name holds a line break.
enum class EPlace { Complete, Incomplete, Bad };

EPlace parseNamedPlace(std::string_view str, std::string_view& name, std::string_view& file,
                       std::int64_t& nLine) {
    name = nextWord(str);
    if (name.empty() || str.empty() || str.front() != '(')
        return EPlace::Bad;
    std::size_t nDigits = 0;
    while (str.size() >= nDigits + 2 && isDigit(str[str.size() - 2 - nDigits]))
        ++nDigits;
    const std::size_t nColon = str.size() - 2 - nDigits;
    if (str.back() != ')' || nDigits == 0 || nColon < 1 || str[nColon] != ':')
        return EPlace::Incomplete;
    if (nColon == 1 || nDigits > 18)
        return EPlace::Bad;
    file = str.substr(1, nColon - 1);
    nLine = 0;
    for (std::size_t i = nColon + 1; i < str.size() - 1; ++i)
        nLine = nLine * 10 + (str[i] - '0');
    return EPlace::Complete;
}

} // namespace

void CServerDump::feed(std::string_view piece) {
    if (!m_bInSection)
        piece = skipToSection(piece);
    while (!piece.empty()) {
        const auto nBreak = piece.find('\n');
        const std::string_view part = piece.substr(0, nBreak);
        piece.remove_prefix(nBreak == std::string_view::npos ? piece.size() : nBreak + 1);
        if (m_strLine.size() + part.size() > kMaxLine) {
            m_bLineTooLong = true;
            m_strLine.clear();
        } else if (nBreak == std::string_view::npos || !m_strLine.empty()) {
            m_strLine.append(part);
        }
        if (nBreak == std::string_view::npos)
            return;
        if (!m_bLineTooLong)
            line(m_strLine.empty() ? part : std::string_view(m_strLine));
        m_strLine.clear();
        m_bLineTooLong = false;
    }
}

std::string_view CServerDump::skipToSection(std::string_view piece) {
    const auto carry = [this](std::string_view part) {
        if (m_strLine.size() + part.size() > kMaxLine) {
            m_bLineTooLong = true;
            m_strLine.clear();
        } else if (!m_bLineTooLong) {
            m_strLine.append(part);
        }
    };
    const auto nFirst = piece.find('\n');
    if (nFirst == std::string_view::npos) {
        carry(piece);
        return {};
    }
    if (!m_strLine.empty() || m_bLineTooLong) {
        carry(piece.substr(0, nFirst));
        if (!m_bLineTooLong)
            line(m_strLine);
        m_strLine.clear();
        m_bLineTooLong = false;
        piece.remove_prefix(nFirst + 1);
        if (m_bInSection)
            return piece;
    }
    // Of the whole lines, only one that holds the head can be it.
    const auto nLast = piece.rfind('\n');
    const std::string_view whole = piece.substr(0, nLast == std::string_view::npos ? 0 : nLast + 1);
    for (auto nAt = whole.find(kSectionHead); nAt != std::string_view::npos;
         nAt = whole.find(kSectionHead, nAt + 1)) {
        const auto nStart = nAt == 0 ? 0 : whole.rfind('\n', nAt - 1) + 1; // npos + 1: the start
        const auto nEnd = whole.find('\n', nAt);
        line(whole.substr(nStart, nEnd - nStart));
        if (m_bInSection)
            return piece.substr(nEnd + 1);
    }
    carry(piece.substr(whole.size()));
    return {};
}

bool CServerDump::finish(std::string& strReason) {
    if (!m_strLine.empty() && !m_bLineTooLong)
        line(m_strLine);
    m_strLine.clear();
    m_strJoined.clear();
    m_config.endListing();
    if (!m_bInSection) {
        strReason = "no \"" + std::string(kSectionHead) + "\" in it: not what apache2ctl -S prints";
        return false;
    }
    return true;
}

void CServerDump::line(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (!m_bInSection) {
        m_bInSection = trim(line) == kSectionHead;
        return;
    }
    if (m_bEnded)
        return;
    if (!m_strJoined.empty()) {
        if (m_strJoined.size() + 1 + line.size() <= kMaxLine) {
            m_strJoined.push_back('\n');
            m_strJoined.append(line);
            if (sectionLine(m_strJoined))
                m_strJoined.clear();
            return;
        }
        // Far longer than a file's name: not one.
        m_strJoined.clear();
    }
    if (!sectionLine(line))
        m_strJoined.assign(line);
}

bool CServerDump::sectionLine(std::string_view line) {
    if (trim(line).empty())
        return true;
    std::string_view rest = line;
    const std::string_view word = nextWord(rest);
    std::string_view name, file;
    std::int64_t nLine = 0;
    if (line.front() != ' ' && line.front() != '\t') {
        tagAddress addr;
        if (!tagAddress::parseListed(word, addr)) {
            // The server's other settings follow the section, this one first.
            m_bEnded = word == "ServerRoot:";
            return true;
        }
        m_bTakesAliases = false;
        if (rest == "is a NameVirtualHost") {
            m_groupAddr = addr;
            m_bInGroup = true;
            return true;
        }
        // One vhost alone at its address: Apache lists no alias for it.
        m_bInGroup = false;
        const EPlace ePlace = parseNamedPlace(rest, name, file, nLine);
        if (ePlace == EPlace::Complete)
            m_config.addVhost(addr, name, file, nLine);
        return ePlace != EPlace::Incomplete;
    }
    if (word == "port" && m_bInGroup) {
        nextWord(rest); // the port, which the address says already
        if (nextWord(rest) != "namevhost")
            return true;
        m_bTakesAliases = false;
        const EPlace ePlace = parseNamedPlace(rest, name, file, nLine);
        if (ePlace == EPlace::Complete) {
            m_config.addVhost(m_groupAddr, name, file, nLine);
            m_bTakesAliases = true;
        }
        return ePlace != EPlace::Incomplete;
    }
    if (word == "default" && nextWord(rest) == "server") // the group's first vhost again
        return parseNamedPlace(rest, name, file, nLine) != EPlace::Incomplete;
    if (word == "alias" && m_bTakesAliases)
        m_config.addListedName(rest, false);
    else if (word == "wild" && m_bTakesAliases && nextWord(rest) == "alias")
        m_config.addListedName(rest, true);
    return true;
}
