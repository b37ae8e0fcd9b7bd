#include "engine/EntryTemplate.h"

#include <algorithm>
#include <span>

#include "core/Encoding.h"
#include "core/FileUtil.h"
#include "core/TextUtil.h"
#include "engine/SiteBuilder.h"

namespace {

constexpr std::string_view kSitePath = "{sitePath}";
constexpr std::string_view kDomain = "{siteDomain}";

// Apache's blanks: isspace in the C locale, in which Apache reads its configuration.
bool isBlank(char ch) {
    return ch == ' ' || (ch >= '\t' && ch <= '\r');
}

// Where a placeholder stands on its line, which decides how it is written.
enum class EPlace {
    Unread, // a comment, or a section tag's text from its last '>' on
    Quoted, // inside a string quoted with chQuote
    Word,   // a bare word of its own
    InWord, // part of a larger bare word
};

struct tagPlace {
    EPlace ePlace = EPlace::Unread;
    char chQuote = 0;
    bool bAfterBackslash = false; // Quoted: right after a backslash that escapes nothing
};

// The words of one line, continuations joined, as Apache httpd 2.4 reads them (ap_cfg_getline,
// then ap_getword_conf): blanks part words; a word that starts with a quote runs to the same
// quote, and inside it a backslash escapes only a backslash or that quote; outside quotes "\\"
// stands for "\"; a comment has none; a section tag's text from its last '>' on is not read.
// The placeholders at vecAt (sorted) are read as strValue, and where each stands goes to pPlaces.
std::vector<std::string> apacheWords(std::string_view line, const std::vector<std::size_t>& vecAt = {},
                                     std::string_view strValue = {}, tagPlace* pPlaces = nullptr) {
    std::vector<std::string> words;
    std::size_t nEnd = line.size();
    while (nEnd > 0 && isBlank(line[nEnd - 1]))
        --nEnd;
    std::size_t i = 0;
    const auto skipBlanks = [&] {
        while (i < nEnd && isBlank(line[i]))
            ++i;
    };
    skipBlanks();
    if (i == nEnd || line[i] == '#')
        return words;
    std::size_t nNext = 0;
    const auto placeholderAt = [&](std::size_t n) { return nNext < vecAt.size() && vecAt[nNext] == n; };
    const auto takePlaceholder = [&](std::string& word, const tagPlace& place) {
        pPlaces[nNext++] = place;
        word += strValue;
        i += kSitePath.size();
    };
    while (i < nEnd) {
        std::string& word = words.emplace_back();
        const char chQuote = line[i];
        if (chQuote == '"' || chQuote == '\'') {
            bool bLoneBackslash = false;
            for (++i; i < nEnd && line[i] != chQuote;) {
                if (placeholderAt(i)) {
                    takePlaceholder(word, {EPlace::Quoted, chQuote, bLoneBackslash});
                    bLoneBackslash = false;
                } else if (line[i] == '\\' && i + 1 < nEnd &&
                           (line[i + 1] == '\\' || line[i + 1] == chQuote)) {
                    word += line[i + 1];
                    i += 2;
                    bLoneBackslash = false;
                } else {
                    bLoneBackslash = line[i] == '\\';
                    word += line[i++];
                }
            }
            if (i < nEnd)
                ++i;
        } else {
            const std::size_t nStart = i;
            while (i < nEnd && !isBlank(line[i])) {
                if (placeholderAt(i)) {
                    const std::size_t nAfter = i + kSitePath.size();
                    const bool bAlone = i == nStart && (nAfter == nEnd || isBlank(line[nAfter]));
                    takePlaceholder(word, {bAlone ? EPlace::Word : EPlace::InWord});
                } else {
                    if (line[i] == '\\' && i + 1 < nEnd && line[i + 1] == '\\')
                        ++i;
                    word += line[i++];
                }
            }
        }
        skipBlanks();
        // A section tag: its handler reads its text only up to the last '>'.
        if (words.size() == 1 && word.starts_with('<') && !word.starts_with("</")) {
            const std::size_t nGt = line.substr(0, nEnd).rfind('>');
            if (nGt != std::string_view::npos && nGt >= i)
                nEnd = nGt;
        }
    }
    return words;
}

// A line ends in a backslash when Apache joins the next line to it: right before its LF, or its
// CR LF. The template's last line is followed by the CR LF that ends each entry.
bool endsInBackslash(std::string_view line, bool bLast) {
    if (!bLast && line.ends_with('\r'))
        line.remove_suffix(1);
    return line.ends_with('\\');
}

// The site path inside a quoted string: the quote, and a backslash Apache would take as an escape
// (one at the end too), escaped; a backslash of the template right before it, which the author
// meant as itself, is kept so by a second one where the path would pair with it.
std::string quotedInString(std::string_view strPath, char chQuote, bool bAfterBackslash) {
    std::string out;
    if (bAfterBackslash && (strPath.empty() || strPath.front() == '\\' || strPath.front() == chQuote))
        out += '\\';
    for (std::size_t i = 0; i < strPath.size(); ++i) {
        const char ch = strPath[i];
        if (ch == chQuote ||
            (ch == '\\' && (i + 1 == strPath.size() || strPath[i + 1] == '\\' || strPath[i + 1] == chQuote)))
            out += '\\';
        out += ch;
    }
    return out;
}

// One physical line: [nBegin, nEnd) without its LF.
struct tagLine {
    std::size_t nBegin = 0;
    std::size_t nEnd = 0;
};

// The lines nFirst to nLast of text as Apache reads them, as one: each but the last without the
// backslash that joins the next to it, and every "{siteDomain}" filled with strAliases. The
// placeholders at (offsets in text, sorted, all on those lines) are kept as they are, and where
// each lands is added to pJoinedAt.
std::string joinedLine(std::string_view text, const std::vector<tagLine>& vecLines, std::size_t nFirst,
                       std::size_t nLast, std::string_view strAliases, std::span<const std::size_t> at = {},
                       std::vector<std::size_t>* pJoinedAt = nullptr) {
    std::string strLine;
    for (std::size_t n = nFirst; n <= nLast; ++n) {
        std::size_t nEnd = vecLines[n].nEnd;
        if (n < nLast)
            nEnd -= text[nEnd - 1] == '\r' ? 2 : 1;
        std::size_t nFrom = vecLines[n].nBegin;
        for (; !at.empty() && at.front() < nEnd; at = at.subspan(1)) {
            strLine += text::replaceAll(text.substr(nFrom, at.front() - nFrom), kDomain, strAliases);
            pJoinedAt->push_back(strLine.size());
            strLine += kSitePath;
            nFrom = at.front() + kSitePath.size();
        }
        strLine += text::replaceAll(text.substr(nFrom, nEnd - nFrom), kDomain, strAliases);
    }
    return strLine;
}

// The physical lines of text, split at LF as Apache splits them (a lone CR is a blank to it).
std::vector<tagLine> linesOf(std::string_view text) {
    std::vector<tagLine> vecLines;
    for (std::size_t nBegin = 0;;) {
        const std::size_t nLf = text.find('\n', nBegin);
        vecLines.push_back({nBegin, nLf == std::string_view::npos ? text.size() : nLf});
        if (nLf == std::string_view::npos)
            return vecLines;
        nBegin = nLf + 1;
    }
}

// A token of nginx's configuration: a word with its escapes read, or ';', '{' or '}' alone.
struct tagNginxToken {
    std::string strText;
    std::size_t nAt = 0; // where it starts in the text read
    bool operator==(const tagNginxToken& other) const { return strText == other.strText; }
};

bool isNginxBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

// The tokens of text as nginx reads its configuration (ngx_conf_read_token): blanks part words, and
// ';' and '{' end one ('{' not right after a '$'); '#' starts a comment only where a word would
// start; a word that starts with a quote runs to the same quote, and must be followed by a blank,
// ';' or '{'. A backslash keeps the next character in the word; then "\\", "\"" and "\'" stand for
// the character, "\t", "\r" and "\n" for the control, and any other pair for both characters.
// The placeholders at vecAt (sorted) are read as strValue, and where each stands goes to pPlaces.
std::vector<tagNginxToken> nginxTokens(std::string_view text, const std::vector<std::size_t>& vecAt = {},
                                       std::string_view strValue = {}, tagPlace* pPlaces = nullptr) {
    std::vector<tagNginxToken> tokens;
    std::size_t nNext = 0;
    const auto placeholderAt = [&](std::size_t n) { return nNext < vecAt.size() && vecAt[nNext] == n; };
    std::size_t i = 0;
    const auto escaped = [&](std::string& word) {
        const char ch = text[i + 1];
        switch (ch) {
        case '"':
        case '\'':
        case '\\':
            word += ch;
            break;
        case 't':
            word += '\t';
            break;
        case 'r':
            word += '\r';
            break;
        case 'n':
            word += '\n';
            break;
        default:
            word += '\\';
            word += ch;
        }
        i += 2;
    };
    while (i < text.size()) {
        if (isNginxBlank(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == '#') {
            for (; i < text.size() && text[i] != '\n'; ++i)
                if (placeholderAt(i))
                    pPlaces[nNext++] = {EPlace::Unread};
            continue;
        }
        tagNginxToken& token = tokens.emplace_back();
        token.nAt = i;
        std::string& word = token.strText;
        if (!placeholderAt(i) && (text[i] == ';' || text[i] == '{' || text[i] == '}')) {
            // Marked, so that it is never the same token as a quoted ";" or "{".
            word = std::string("\x02") + text[i++];
            continue;
        }
        const char chQuote = text[i];
        if (chQuote == '"' || chQuote == '\'') {
            for (++i; i < text.size() && text[i] != chQuote;) {
                if (placeholderAt(i)) {
                    pPlaces[nNext++] = {EPlace::Quoted, chQuote};
                    word += strValue;
                    i += kSitePath.size();
                } else if (text[i] == '\\' && i + 1 < text.size() && !placeholderAt(i + 1)) {
                    escaped(word);
                } else {
                    word += text[i++];
                }
            }
            if (i < text.size())
                ++i;
            // Anything but a blank, ';' or '{' after the closing quote is an error to nginx.
            if (i < text.size() && !isNginxBlank(text[i]) && text[i] != ';' && text[i] != '{')
                word += "\x01unexpected";
            continue;
        }
        const std::size_t nStart = i;
        while (i < text.size() &&
               (placeholderAt(i) || (!isNginxBlank(text[i]) && text[i] != ';' &&
                                     !(text[i] == '{' && (i == nStart || text[i - 1] != '$'))))) {
            if (placeholderAt(i)) {
                const std::size_t nAfter = i + kSitePath.size();
                const bool bAlone = i == nStart && (nAfter == text.size() || isNginxBlank(text[nAfter]) ||
                                                    text[nAfter] == ';' || text[nAfter] == '{');
                pPlaces[nNext++] = {bAlone ? EPlace::Word : EPlace::InWord};
                word += strValue;
                i = nAfter;
            } else if (text[i] == '\\' && i + 1 < text.size() && !placeholderAt(i + 1)) {
                escaped(word);
            } else {
                word += text[i++];
            }
        }
    }
    return tokens;
}

// The site path where nginx reads escapes: every backslash, and the quote that would end the
// string, escaped.
std::string nginxEscaped(std::string_view strPath, std::string_view strSpecial) {
    std::string out;
    for (const char ch : strPath) {
        if (ch == '\\' || strSpecial.find(ch) != std::string_view::npos)
            out += '\\';
        out += ch;
    }
    return out;
}

} // namespace

bool CEntryTemplate::readFile(const std::string& strPath, std::string& strText, std::string& strReason) {
    if (!file::readAll(strPath, strText, strReason, kMaxSize))
        return false;
    const enc::tagBom bom = enc::detectBom(strText);
    if (bom.eEncoding == enc::EEncoding::Utf8) {
        strText.erase(0, bom.nBomSize);
        return true;
    }
    std::string strUtf8;
    const auto pDecoder = enc::CDecoder::create(bom.eEncoding);
    pDecoder->decode(std::string_view(strText).substr(bom.nBomSize), strUtf8, true);
    if (pDecoder->invalidCount() > 0) {
        strText.clear();
        strReason = "it begins with a UTF-16 byte-order mark, but is not UTF-16 text";
        return false;
    }
    strText = std::move(strUtf8);
    return true;
}

CEntryTemplate::CEntryTemplate(std::string_view strTemplate, std::string_view strSitePath, bool bManyAliases,
                               EServerKind eServer) {
    if (eServer == EServerKind::Nginx) {
        fillForNginx(strTemplate, strSitePath, bManyAliases);
        return;
    }
    std::vector<std::size_t> vecAt;
    for (auto nAt = strTemplate.find(kSitePath); nAt != std::string_view::npos;
         nAt = strTemplate.find(kSitePath, nAt + kSitePath.size()))
        vecAt.push_back(nAt);
    const std::vector<tagLine> vecLines = linesOf(strTemplate);
    const auto lineText = [](std::string_view text, const tagLine& line) {
        return text.substr(line.nBegin, line.nEnd - line.nBegin);
    };
    const auto fail = [this](std::size_t nLine) {
        if (m_nFailLine == 0 || static_cast<std::int64_t>(nLine) < m_nFailLine)
            m_nFailLine = static_cast<std::int64_t>(nLine);
    };

    // The alias list matters to the words only by its blanks: these letters stand for it.
    const std::string_view strAliases = bManyAliases ? "a a" : "a";
    const std::string strMeant = text::replaceAll(strSitePath, kDomain, strAliases);
    // A path of more than one line is no path; the fields' check refuses it before it comes here.
    const bool bOneLine = strSitePath.find('\n') == std::string_view::npos;

    // The lines Apache reads as one (each but the last ends in a backslash) that hold a
    // placeholder, with the words the author meant: the path typed in each placeholder's place.
    struct tagGroup {
        std::size_t nFirst = 0, nLast = 0;    // its physical lines
        std::size_t nFirstAt = 0, nEndAt = 0; // its placeholders
        std::vector<std::string> words;
    };
    std::vector<tagGroup> vecGroups;
    std::vector<tagPlace> vecPlaces(vecAt.size());
    for (std::size_t nLine = 0, nAt = 0; nLine < vecLines.size() && nAt < vecAt.size();) {
        tagGroup group{nLine, nLine, nAt, nAt, {}};
        while (group.nLast + 1 < vecLines.size() &&
               endsInBackslash(lineText(strTemplate, vecLines[group.nLast]), false))
            ++group.nLast;
        nLine = group.nLast + 1;
        while (nAt < vecAt.size() && vecAt[nAt] < vecLines[group.nLast].nEnd)
            ++nAt;
        group.nEndAt = nAt;
        if (group.nFirstAt == group.nEndAt)
            continue;
        std::vector<std::size_t> vecJoinedAt;
        const std::string strLine =
            joinedLine(strTemplate, vecLines, group.nFirst, group.nLast, strAliases,
                       std::span(vecAt).subspan(group.nFirstAt, group.nEndAt - group.nFirstAt), &vecJoinedAt);
        group.words = apacheWords(strLine, vecJoinedAt, strMeant, vecPlaces.data() + group.nFirstAt);
        vecGroups.push_back(std::move(group));
    }

    // The template filled, each placeholder written for where it stands.
    std::string strFilled;
    strFilled.reserve(strTemplate.size() + vecAt.size() * (strSitePath.size() + 2));
    std::vector<tagLine> vecFilledLines(vecLines.size());
    std::vector<tagLine> vecFilledAt(vecAt.size());
    for (std::size_t nLine = 0, nAt = 0; nLine < vecLines.size(); ++nLine) {
        vecFilledLines[nLine].nBegin = strFilled.size();
        std::size_t nFrom = vecLines[nLine].nBegin;
        for (; nAt < vecAt.size() && vecAt[nAt] < vecLines[nLine].nEnd; ++nAt) {
            strFilled.append(strTemplate.substr(nFrom, vecAt[nAt] - nFrom));
            vecFilledAt[nAt].nBegin = strFilled.size();
            const tagPlace& place = vecPlaces[nAt];
            switch (bOneLine ? place.ePlace : EPlace::Unread) {
            case EPlace::Quoted:
                strFilled += quotedInString(strSitePath, place.chQuote, place.bAfterBackslash);
                break;
            case EPlace::Word:
                strFilled += CSiteBuilder::quotedSitePath(
                    strSitePath, bManyAliases && strSitePath.find(kDomain) != std::string_view::npos);
                break;
            case EPlace::InWord:
            case EPlace::Unread:
                strFilled += strSitePath;
                break;
            }
            vecFilledAt[nAt].nEnd = strFilled.size();
            nFrom = vecAt[nAt] + kSitePath.size();
        }
        strFilled.append(strTemplate.substr(nFrom, vecLines[nLine].nEnd - nFrom));
        vecFilledLines[nLine].nEnd = strFilled.size();
        if (nLine + 1 < vecLines.size())
            strFilled += '\n';
    }

    if (!bOneLine && !vecGroups.empty())
        fail(vecGroups.front().nFirst + 1);
    // Proved for each line: it reads as the words meant, and joins no line the template did not.
    const auto lineOf = [&vecLines](std::size_t nOffset) {
        return static_cast<std::size_t>(
            std::upper_bound(vecLines.begin(), vecLines.end(), nOffset,
                             [](std::size_t n, const tagLine& line) { return n < line.nBegin; }) -
            vecLines.begin());
    };
    // "${" is a variable to Apache: none may be made of the path and what stands beside it.
    const auto makesVariable = [&strFilled](std::size_t nDollar) {
        return nDollar + 1 < strFilled.size() && strFilled[nDollar] == '$' && strFilled[nDollar + 1] == '{' &&
               strFilled.compare(nDollar + 1, kDomain.size(), kDomain) != 0;
    };
    for (const tagGroup& group : bOneLine ? vecGroups : std::vector<tagGroup>()) {
        for (std::size_t n = group.nFirst; n <= group.nLast; ++n) {
            const bool bLast = n + 1 == vecLines.size();
            if (endsInBackslash(lineText(strFilled, vecFilledLines[n]), bLast) &&
                !endsInBackslash(lineText(strTemplate, vecLines[n]), bLast))
                fail(n + 1);
        }
        if (apacheWords(joinedLine(strFilled, vecFilledLines, group.nFirst, group.nLast, strAliases)) !=
            group.words)
            fail(lineOf(vecAt[group.nFirstAt]));
        for (std::size_t n = group.nFirstAt; n < group.nEndAt; ++n) {
            const tagLine& at = vecFilledAt[n];
            if (vecPlaces[n].ePlace != EPlace::Unread &&
                ((at.nBegin > 0 && makesVariable(at.nBegin - 1)) ||
                 (at.nEnd > at.nBegin && makesVariable(at.nEnd - 1))))
                fail(lineOf(vecAt[n]));
        }
    }

    std::string_view rest = strFilled;
    for (auto nHit = rest.find(kDomain); nHit != std::string_view::npos; nHit = rest.find(kDomain)) {
        m_vecPieces.emplace_back(rest.substr(0, nHit));
        rest.remove_prefix(nHit + kDomain.size());
    }
    m_vecPieces.emplace_back(rest);
}

void CEntryTemplate::fillForNginx(std::string_view strTemplate, std::string_view strSitePath,
                                  bool bManyAliases) {
    std::vector<std::size_t> vecAt;
    for (auto nAt = strTemplate.find(kSitePath); nAt != std::string_view::npos;
         nAt = strTemplate.find(kSitePath, nAt + kSitePath.size()))
        vecAt.push_back(nAt);
    // The alias list matters to the tokens only by its blanks: these letters stand for it.
    const std::string_view strAliases = bManyAliases ? "a a" : "a";
    const std::string strMeant = text::replaceAll(strSitePath, kDomain, strAliases);
    std::vector<tagPlace> vecPlaces(vecAt.size());
    // The tokens meant: the path typed in each placeholder's place, read as it is. They are read
    // from the template with its {siteDomain} filled, which moves the placeholders.
    std::string strWithAliases;
    std::vector<std::size_t> vecAliasedAt;
    std::size_t nFrom = 0;
    for (const std::size_t nAt : vecAt) {
        strWithAliases += text::replaceAll(strTemplate.substr(nFrom, nAt - nFrom), kDomain, strAliases);
        vecAliasedAt.push_back(strWithAliases.size());
        strWithAliases += kSitePath;
        nFrom = nAt + kSitePath.size();
    }
    strWithAliases += text::replaceAll(strTemplate.substr(nFrom), kDomain, strAliases);
    const std::vector<tagNginxToken> tokensMeant =
        nginxTokens(strWithAliases, vecAliasedAt, strMeant, vecPlaces.data());

    // The template filled, each placeholder written for where it stands.
    const bool bOneLine = strSitePath.find('\n') == std::string_view::npos;
    std::string strFilled;
    nFrom = 0;
    for (std::size_t n = 0; n < vecAt.size(); ++n) {
        strFilled.append(strTemplate.substr(nFrom, vecAt[n] - nFrom));
        switch (vecPlaces[n].ePlace) {
        case EPlace::Quoted:
            strFilled += nginxEscaped(strSitePath, std::string_view(&vecPlaces[n].chQuote, 1));
            break;
        case EPlace::Word:
            strFilled += '"' + nginxEscaped(strSitePath, "\"") + '"';
            break;
        case EPlace::InWord:
            strFilled += nginxEscaped(strSitePath, "\"'");
            break;
        case EPlace::Unread:
            strFilled += strSitePath;
            break;
        }
        nFrom = vecAt[n] + kSitePath.size();
    }
    strFilled.append(strTemplate.substr(nFrom));

    // Proved: the filled template reads as the tokens meant, or its first line that does not is
    // refused.
    const std::vector<tagNginxToken> tokensFilled =
        nginxTokens(text::replaceAll(strFilled, kDomain, strAliases));
    const auto lineOf = [&strWithAliases](std::size_t nOffset) {
        return 1 + static_cast<std::int64_t>(
                       std::count(strWithAliases.begin(),
                                  strWithAliases.begin() + static_cast<std::ptrdiff_t>(nOffset), '\n'));
    };
    if (!bOneLine && !vecAt.empty()) {
        m_nFailLine = lineOf(vecAliasedAt.front());
    } else if (tokensFilled != tokensMeant) {
        std::size_t n = 0;
        while (n < tokensMeant.size() && n < tokensFilled.size() && tokensMeant[n] == tokensFilled[n])
            ++n;
        m_nFailLine = lineOf(n < tokensMeant.size() ? tokensMeant[n].nAt : strWithAliases.size());
    }

    std::string_view rest = strFilled;
    for (auto nHit = rest.find(kDomain); nHit != std::string_view::npos; nHit = rest.find(kDomain)) {
        m_vecPieces.emplace_back(rest.substr(0, nHit));
        rest.remove_prefix(nHit + kDomain.size());
    }
    m_vecPieces.emplace_back(rest);
}
