#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Address.h"
#include "engine/ByteBuffer.h"
#include "engine/ServerKind.h"

// What an entry is made of; fixed for a whole run.
struct tagSiteSettings {
    std::string strSitePath;
    std::string strPrefix; // checked and in ASCII form; empty: none
    bool bWww = false;
    std::string strTemplate; // as CEntryTemplate::readFile gives it; empty: the built-in block
    tagAddress address;      // in the built-in block's opening tag
    EServerKind eServer = EServerKind::Apache; // how the template is read
};

// Turns one name into one name-based virtual host entry, the only one of its entry: the built-in
// block or the user's template, cut once where the alias list goes, so that an entry costs a few
// copies.
class CSiteBuilder {
public:
    explicit CSiteBuilder(tagSiteSettings settings);

    // 0, or the template's first line that cannot hold the site path: its entries are not to be
    // written.
    std::int64_t templateFailLine() const { return m_nTemplateFailLine; }

    // Appends the entry for the name, with its closing CR LF, to out.
    void appendEntry(std::string_view strName, CByteBuffer& out) const;

    // The site path as the built-in block writes it, so that Apache reads back exactly the path
    // typed: as it is where Apache takes it so, else in double quotes, with a backslash and a
    // quote escaped where Apache would take them as escapes. bBlankLater: quoted also when it holds
    // no blank yet, for one that a later filling brings in.
    static std::string quotedSitePath(std::string_view strSitePath, bool bBlankLater = false);

private:
    std::size_t aliasesSize(std::string_view strDomain) const;
    char* writeAliases(std::string_view strDomain, char* p) const;

    tagSiteSettings m_settings;
    // " " + each head of an alias (" www.", " PREFIX."), at most two.
    std::array<std::string, 2> m_heads;
    std::size_t m_nHeads = 0;
    std::size_t m_nHeadsSize = 0; // of all heads
    std::size_t m_nPiecesSize = 0;
    std::int64_t m_nTemplateFailLine = 0;
    // The entry cut where the alias list goes: pieces[0] aliases pieces[1] ... aliases pieces[n].
    std::vector<std::string> m_vecPieces;
};
