#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ServerKind.h"

// The user's entry template, "{sitePath}" filled in, ready to be cut where the alias list goes.
// The template is copied byte for byte outside its placeholders, whatever its encoding: Apache
// reads bytes. Each "{sitePath}" is written for where it stands, as Apache's configuration reader
// splits a line into words: escaped inside a quoted string, quoted as the built-in entry quotes it
// when it is a word of its own, as typed elsewhere. A line whose words would not be the ones the
// template's author meant, with the path typed in place of the placeholder, is refused.
class CEntryTemplate {
public:
    // A template is a few lines of text: anything much larger is not one, and is not held.
    static constexpr std::size_t kMaxSize = 1024 * 1024;

    // Reads a template file as it is on disk, without a UTF-8 byte-order mark; a file with a
    // UTF-16 byte-order mark is made UTF-8, which Apache reads, and refused when it is not text.
    static bool readFile(const std::string& strPath, std::string& strText, std::string& strReason);

    // bManyAliases: the alias list may hold more than one name, and so a blank. For nginx, the
    // template is read as nginx reads its configuration, across lines: "{sitePath}" is escaped
    // inside a quoted string, quoted when it is a word of its own, escaped within a larger word;
    // a template whose tokens would not be the ones meant is refused at the first line that differs.
    CEntryTemplate(std::string_view strTemplate, std::string_view strSitePath, bool bManyAliases,
                   EServerKind eServer = EServerKind::Apache);

    // 0, or the template's first line (from 1) that cannot hold the site path.
    std::int64_t failLine() const { return m_nFailLine; }
    // The filled template cut where the alias list goes: pieces[0] aliases pieces[1] ... pieces[n].
    std::vector<std::string> takePieces() { return std::move(m_vecPieces); }

private:
    void fillForNginx(std::string_view strTemplate, std::string_view strSitePath, bool bManyAliases);

    std::int64_t m_nFailLine = 0;
    std::vector<std::string> m_vecPieces;
};
