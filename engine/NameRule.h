#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What a line of the list may become, and what the fields may hold: only names that Apache and
// browsers can match reach an entry, and only a site path and a prefix that Apache reads back as
// typed.
namespace names {

enum class EVerdict : std::uint8_t {
    Name, // a name to write
    Skip, // a blank line or one without a dot: nothing, and nothing to say
    // Refused, and reported with the line:
    Space,
    Control,
    Backslash,
    Quote,
    BadChar,
    EmptyLabel,
    LabelTooLong,
    TooLong,
    NoAsciiForm,
    InvalidText,
    CatchAll,        // a wildcard that takes every name, such as "*"
    FileNameTooLong, // with a file per entry: too long to name a file
    ServerWildcard,  // a wildcard the server cannot hold: nginx's '*' is a whole first or last label
};

inline bool isRefusal(EVerdict eVerdict) {
    return eVerdict > EVerdict::Skip;
}

inline constexpr std::size_t kMaxName = 253;
inline constexpr std::size_t kMaxLabel = 63;
// A line longer than this cannot hold a name, even as a pasted address: it is refused unread.
inline constexpr std::size_t kMaxLine = 8192;

// What a run makes of the names of its list: the longest head it puts before a name ("www.",
// "PREFIX."), and whether an entry's first name names its file ("NAME.conf").
struct tagNameLimits {
    std::size_t nHead = 0;
    bool bFileName = false;
    // nginx: no '?', and a '*' only as the whole first label (without heads before it) or the whole
    // last one.
    bool bNginx = false;
};
// The longest name that can name a file: with ".conf", the longest file name systems take.
inline constexpr std::size_t kMaxFileName = 250;

// The name a line stands for: blanks at both ends dropped; the host of a pasted http:// or
// https:// address; a leading "www." removed once; one trailing dot dropped; the ASCII form of
// other letters. name views the line or strScratch. Refused besides what checkName refuses: a
// wildcard that takes every name ("*", "*.*"), a name whose longest alias would be too long, and
// one too long to name its file.
EVerdict nameOfLine(std::string_view strLine, std::string& strScratch, std::string_view& name,
                    const tagNameLimits& limits = {});

// Checks an ASCII name: letters, digits, '-', '_', '.', and Apache's wildcards '*' and '?', in
// labels of 1 to 63 characters, 253 in all.
EVerdict checkName(std::string_view strName);

// The prefix as it is written: blanks at both ends dropped, then empty or labels by the rule of
// names, in ASCII form. Returns Name when it may be used.
EVerdict normalizePrefix(std::string_view strPrefix, std::string& strOut);

enum class ESitePath : std::uint8_t { Ok, Empty, Control, TooLong, Variable };
// A site path is refused when empty, when it holds a line break or another control character
// (it would end the directive or inject another), when it is longer than any path can be, or when
// it holds "${", which Apache replaces with a variable whatever the quoting, so that the sites
// would be served from another directory.
// For nginx (bAnyDollar), any '$' is refused: nginx reads it as a variable, and has no escape.
ESitePath checkSitePath(std::string_view strSitePath, bool bAnyDollar = false);
inline constexpr std::size_t kMaxSitePath = 4096;

// A line as a report shows it: blanks at its ends dropped, control characters and bytes that are
// not UTF-8 written as escapes, in at most nMaxChars characters (an escape counts as the
// characters it shows), the end of a longer one given as "...".
std::string visibleText(std::string_view strLine, std::size_t nMaxChars = 60);

} // namespace names
