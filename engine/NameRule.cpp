#include "engine/NameRule.h"

#include <array>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/Encoding.h"
#include "core/Idn.h"
#include "core/TextUtil.h"
#include "engine/ByteBuffer.h"

namespace names {

namespace {

enum EClass : std::uint8_t { kNameChar, kDot, kSpace, kControl, kBackslash, kQuote, kOther, kNonAscii };

constexpr std::array<std::uint8_t, 256> makeClasses() {
    std::array<std::uint8_t, 256> classes{};
    for (int ch = 0; ch < 256; ++ch) {
        std::uint8_t c = kOther;
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
            ch == '_' || ch == '*' || ch == '?')
            c = kNameChar;
        else if (ch == '.')
            c = kDot;
        else if (ch == ' ' || ch == '\t')
            c = kSpace;
        else if (ch < 0x20 || ch == 0x7F)
            c = kControl;
        else if (ch == '\\')
            c = kBackslash;
        else if (ch == '"' || ch == '\'')
            c = kQuote;
        else if (ch >= 0x80)
            c = kNonAscii;
        classes[static_cast<std::size_t>(ch)] = c;
    }
    return classes;
}
constexpr std::array<std::uint8_t, 256> kClasses = makeClasses();

constexpr EVerdict kOffence[] = {EVerdict::Name,      EVerdict::Name,  EVerdict::Space,   EVerdict::Control,
                                 EVerdict::Backslash, EVerdict::Quote, EVerdict::BadChar, EVerdict::Name};

constexpr std::string_view kWwwHead = "www.";
// Blanks that are not ASCII: a no-break space and the ideographic space of Chinese input.
constexpr std::string_view kNbsp = "\xC2\xA0";
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
// What a Chinese or Japanese keyboard types for a dot; IDNA reads each as one.
constexpr std::string_view kDotForms[] = {"\xE3\x80\x82", "\xEF\xBC\x8E", "\xEF\xBD\xA1"};

std::string_view trimBlanks(std::string_view str, std::string_view ascii = " \t\r") {
    for (;;) {
        const std::size_t nBefore = str.size();
        str = text::trimmed(str, ascii);
        for (const std::string_view blank : {kNbsp, kIdeographicSpace}) {
            if (str.starts_with(blank))
                str.remove_prefix(blank.size());
            if (str.ends_with(blank))
                str.remove_suffix(blank.size());
        }
        if (str.size() == nBefore)
            return str;
    }
}

bool startsWithNoCase(std::string_view str, std::string_view head) {
    if (str.size() < head.size())
        return false;
    for (std::size_t i = 0; i < head.size(); ++i)
        if ((str[i] | 0x20) != head[i])
            return false;
    return true;
}

// The host of a pasted address, without its user part and port; anything else as it is.
std::string_view hostOfAddress(std::string_view str) {
    if (startsWithNoCase(str, "http://"))
        str.remove_prefix(7);
    else if (startsWithNoCase(str, "https://"))
        str.remove_prefix(8);
    else
        return str;
    // Browsers take a backslash for a slash there.
    str = str.substr(0, str.find_first_of("/?#\\"));
    if (const auto at = str.rfind('@'); at != std::string_view::npos)
        str.remove_prefix(at + 1);
    if (!str.starts_with('[')) {
        if (const auto colon = str.rfind(':'); colon != std::string_view::npos)
            str.remove_suffix(str.size() - colon);
    }
    return str;
}

bool contains(std::string_view str, std::string_view part) {
    return str.find(part) != std::string_view::npos;
}

// One pass over the bytes: the first character that no conversion can mend, then the labels.
// Other letters are left to IDNA (bNonAscii), and labels are not judged while they hold any.
EVerdict scan(std::string_view str, bool& bNonAscii) {
    bNonAscii = false;
    std::size_t nLabel = 0;
    EVerdict eLabels = EVerdict::Name;
    for (const char c : str) {
        const std::uint8_t cls = kClasses[static_cast<unsigned char>(c)];
        if (cls == kNameChar) {
            ++nLabel;
        } else if (cls == kDot) {
            if (eLabels == EVerdict::Name)
                eLabels = nLabel == 0          ? EVerdict::EmptyLabel
                          : nLabel > kMaxLabel ? EVerdict::LabelTooLong
                                               : eLabels;
            nLabel = 0;
        } else if (cls == kNonAscii) {
            bNonAscii = true;
            ++nLabel;
        } else {
            return kOffence[cls];
        }
    }
    if (bNonAscii) {
        if (contains(str, kReplacement))
            return EVerdict::InvalidText;
        if (contains(str, kNbsp) || contains(str, kIdeographicSpace))
            return EVerdict::Space;
        return EVerdict::Name;
    }
    if (eLabels == EVerdict::Name)
        eLabels = nLabel == 0 ? EVerdict::EmptyLabel : nLabel > kMaxLabel ? EVerdict::LabelTooLong : eLabels;
    if (eLabels == EVerdict::Name && str.size() > kMaxName)
        eLabels = EVerdict::TooLong;
    return eLabels;
}

// The name in ASCII form, checked; strOut receives a converted name.
EVerdict asciiName(std::string_view str, std::string& strOut, std::string_view& name) {
    bool bNonAscii = false;
    const EVerdict eVerdict = scan(str, bNonAscii);
    if (eVerdict != EVerdict::Name || !bNonAscii) {
        name = str;
        return eVerdict;
    }
    std::string strAscii;
    if (!idn::toAscii(str, strAscii))
        return EVerdict::NoAsciiForm;
    strOut = std::move(strAscii);
    name = strOut;
    // The conversion maps full-width forms too, which may bring in what a name cannot hold.
    return checkName(strOut);
}

} // namespace

EVerdict checkName(std::string_view strName) {
    bool bNonAscii = false;
    const EVerdict eVerdict = scan(strName, bNonAscii);
    return bNonAscii && eVerdict == EVerdict::Name ? EVerdict::BadChar : eVerdict;
}

namespace {

#if defined(__SSE2__)
// A bit for each of the sixteen bytes at p that may stand in a name, and in dots those that are
// dots.
unsigned nameCharMask(const char* p, unsigned& dots) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const auto inRange = [](__m128i v, char lo, char hi) {
        return _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(static_cast<char>(lo - 1))),
                             _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(hi + 1))));
    };
    const auto is = [&bytes](char ch) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(ch)); };
    // Bytes from 0x80 are negative here and fall outside every range.
    const __m128i letter = inRange(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), 'a', 'z');
    const __m128i dot = is('.');
    const __m128i ok =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(letter, inRange(bytes, '0', '9')), dot),
                     _mm_or_si128(_mm_or_si128(is('-'), is('_')), _mm_or_si128(is('*'), is('?'))));
    dots = static_cast<unsigned>(_mm_movemask_epi8(dot));
    return static_cast<unsigned>(_mm_movemask_epi8(ok));
}
#endif

// The common case at a glance: a name of up to 64 characters, each one a name may hold. Returns
// false to leave the name to the full rule; else eVerdict and whether it holds a dot.
bool quickName(std::string_view str, EVerdict& eVerdict, bool& bDot) {
#if defined(__SSE2__)
    const std::size_t n = str.size();
    if (n == 0 || n > 64)
        return false;
    std::uint64_t nDots = 0;
    for (std::size_t i = 0; i < n; i += 16) {
        const char* p = str.data() + i;
        char szTail[16];
        const std::size_t nLeft = n - i;
        if (nLeft < 16) {
            // Never read past the name: the tail is padded with a letter.
            std::memset(szTail, 'a', sizeof szTail);
            copyBytes(szTail, p, nLeft);
            p = szTail;
        }
        unsigned dots = 0;
        if (nameCharMask(p, dots) != 0xFFFF)
            return false;
        nDots |= static_cast<std::uint64_t>(dots) << i;
    }
    nDots &= n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
    bDot = nDots != 0;
    const bool bEmptyLabel = (nDots & 1) || (nDots >> (n - 1)) || (nDots & (nDots >> 1));
    eVerdict = bEmptyLabel          ? EVerdict::EmptyLabel
               : (n == 64 && !bDot) ? EVerdict::LabelTooLong
                                    : EVerdict::Name;
    return true;
#else
    (void)str;
    (void)eVerdict;
    (void)bDot;
    return false;
#endif
}

bool isAsciiBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\r';
}

// Runs for every line: four compares, no call.
bool hasWwwHead(std::string_view str) {
    return str.size() >= 4 && str[0] == 'w' && str[1] == 'w' && str[2] == 'w' && str[3] == '.';
}

} // namespace

namespace {

// Made of wildcards and dots alone, with a '*': nothing anchors it to any site.
bool isCatchAll(std::string_view strName) {
    bool bStar = false;
    for (const char ch : strName) {
        if (ch != '*' && ch != '?' && ch != '.')
            return false;
        bStar = bStar || ch == '*';
    }
    return bStar;
}

// nginx matches a name exactly, or with a '*' that is a whole first label ("*.a.com") or a whole
// last one ("a.*"); it has no '?'. A head before a leading wildcard would put the '*' inside.
bool nginxTakes(std::string_view strName, bool bHeads) {
    if (strName.find('?') != std::string_view::npos)
        return false;
    const std::size_t nStar = strName.find('*');
    if (nStar == std::string_view::npos)
        return true;
    if (strName.find('*', nStar + 1) != std::string_view::npos)
        return false;
    if (nStar == 0)
        return strName.size() > 2 && strName[1] == '.' && !bHeads;
    return nStar + 1 == strName.size() && strName[nStar - 1] == '.';
}

[[gnu::always_inline]] inline EVerdict nameOfLineUnlimited(std::string_view strLine, std::string& strScratch,
                                                           std::string_view& name) {
    name = {};
    if (strLine.size() > kMaxLine)
        return EVerdict::TooLong;
    std::string_view str = strLine;
    while (!str.empty() && isAsciiBlank(str.front()))
        str.remove_prefix(1);
    while (!str.empty() && isAsciiBlank(str.back()))
        str.remove_suffix(1);
    if (!str.empty() && (str.front() & 0x80 || str.back() & 0x80))
        str = trimBlanks(str);
    if (!str.empty() && (str.front() | 0x20) == 'h')
        str = hostOfAddress(str);

    // The dot that tells a name from other text may be one that the steps below remove.
    std::string_view quick = str;
    bool bDotGone = false;
    if (hasWwwHead(quick)) {
        quick.remove_prefix(kWwwHead.size());
        bDotGone = true;
    }
    if (quick.ends_with('.')) {
        quick.remove_suffix(1);
        bDotGone = true;
    }
    EVerdict eQuick = EVerdict::Name;
    bool bDot = false;
    if (quickName(quick, eQuick, bDot)) {
        if (!bDot && !bDotGone)
            return EVerdict::Skip;
        name = quick;
        return eQuick;
    }

    if (str.find('.') == std::string_view::npos) {
        if (text::isAscii(str))
            return EVerdict::Skip;
        bool bDotForm = false;
        for (const std::string_view dot : kDotForms)
            bDotForm = bDotForm || contains(str, dot);
        if (!bDotForm)
            return EVerdict::Skip;
        std::string strDotted(str);
        for (const std::string_view dot : kDotForms)
            strDotted = text::replaceAll(strDotted, dot, ".");
        strScratch = std::move(strDotted);
        str = strScratch;
    }
    // Only a leading "www." goes, and only once: "awww.com" is another site than "acom".
    if (str.starts_with(kWwwHead))
        str.remove_prefix(kWwwHead.size());
    if (str.ends_with('.'))
        str.remove_suffix(1);
    return asciiName(str, strScratch, name);
}

} // namespace

EVerdict nameOfLine(std::string_view strLine, std::string& strScratch, std::string_view& name,
                    const tagNameLimits& limits) {
    const EVerdict eVerdict = nameOfLineUnlimited(strLine, strScratch, name);
    if (eVerdict != EVerdict::Name)
        return eVerdict;
    // Every name written, its www. and prefix forms too, is at most kMaxName long.
    if (name.size() + limits.nHead > kMaxName)
        return EVerdict::TooLong;
    if (limits.bFileName && name.size() > kMaxFileName)
        return EVerdict::FileNameTooLong;
    if ((name.front() == '*' || name.front() == '?') && isCatchAll(name))
        return EVerdict::CatchAll;
    if (limits.bNginx && !nginxTakes(name, limits.nHead > 0))
        return EVerdict::ServerWildcard;
    return EVerdict::Name;
}

EVerdict normalizePrefix(std::string_view strPrefix, std::string& strOut) {
    const std::string_view str = trimBlanks(strPrefix, " \t");
    if (str.empty()) {
        strOut.clear();
        return EVerdict::Name;
    }
    std::string strConverted;
    std::string_view name;
    const EVerdict eVerdict = asciiName(str, strConverted, name);
    if (eVerdict == EVerdict::Name)
        strOut = std::string(name);
    return eVerdict;
}

ESitePath checkSitePath(std::string_view strSitePath, bool bAnyDollar) {
    if (strSitePath.empty())
        return ESitePath::Empty;
    for (const char c : strSitePath)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return ESitePath::Control;
    if (strSitePath.size() > kMaxSitePath)
        return ESitePath::TooLong;
    if (strSitePath.find(bAnyDollar ? "$" : "${") != std::string_view::npos)
        return ESitePath::Variable;
    return ESitePath::Ok;
}

std::string visibleText(std::string_view strLine, std::size_t nMaxChars) {
    std::string_view str = text::trimmed(strLine, " \t\r");
    // Each byte shows as at least one character: a longer line is cut before it is looked at.
    bool bCut = str.size() > nMaxChars;
    if (bCut)
        str = str.substr(0, nMaxChars + 1);
    // Each piece: what is shown, and how many characters that is.
    std::vector<std::pair<std::string, std::size_t>> vecPieces;
    std::size_t nWidth = 0;
    for (std::size_t i = 0; i < str.size();) {
        const auto ch = static_cast<unsigned char>(str[i]);
        std::size_t nLen = ch < 0x80 ? 1 : ch < 0xC2 ? 0 : ch < 0xE0 ? 2 : ch < 0xF0 ? 3 : ch <= 0xF4 ? 4 : 0;
        if (nLen > 1 && (i + nLen > str.size() || !enc::isValidUtf8(str.substr(i, nLen))))
            nLen = 0;
        if (ch == '\t') {
            vecPieces.emplace_back("\\t", 2);
        } else if (nLen == 0 || ch < 0x20 || ch == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            vecPieces.emplace_back(std::string("\\x") + kHex[ch >> 4] + kHex[ch & 15], 4);
        } else {
            vecPieces.emplace_back(std::string(str.substr(i, nLen)), 1);
        }
        nWidth += vecPieces.back().second;
        i += nLen == 0 ? 1 : nLen;
    }
    bCut = bCut || nWidth > nMaxChars;
    const std::string_view kEllipsis = nMaxChars >= 3 ? "..." : "";
    const std::size_t nRoom = bCut ? nMaxChars - kEllipsis.size() : nMaxChars;
    std::string out;
    std::size_t nUsed = 0;
    for (const auto& [strPiece, nPieceWidth] : vecPieces) {
        if (nUsed + nPieceWidth > nRoom)
            break;
        out += strPiece;
        nUsed += nPieceWidth;
    }
    if (bCut)
        out += kEllipsis;
    return out;
}

} // namespace names
