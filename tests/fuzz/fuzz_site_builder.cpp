// The site path as the built-in block and a template write it, read back by a model of how Apache
// httpd 2.4 reads a directive argument; and the whole built-in entry for a name.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <optional>
#include <string>

#include "FuzzCheck.h"
#include "engine/ByteBuffer.h"
#include "engine/EntryTemplate.h"
#include "engine/NameRule.h"
#include "engine/SiteBuilder.h"

namespace {

// One argument as Apache reads it, and where its reading stopped; none for an unclosed quote.
// Quoted, "\\" and a backslash before the quote stand for the second character; unquoted, the
// argument ends at a blank and only "\\" stands for one backslash.
std::optional<std::string> apacheArgument(std::string_view str, std::size_t& nEnd) {
    std::size_t i = std::min(str.find_first_not_of(" \t"), str.size());
    std::string strArg;
    const bool bQuoted = i < str.size() && (str[i] == '"' || str[i] == '\'');
    const char chEnd = bQuoted ? str[i++] : ' ';
    for (; i < str.size() && str[i] != chEnd && (bQuoted || str[i] != '\t'); ++i) {
        if (str[i] == '\\' && i + 1 < str.size() && (str[i + 1] == '\\' || (bQuoted && str[i + 1] == chEnd)))
            ++i;
        strArg += str[i];
    }
    if (bQuoted && i == str.size())
        return std::nullopt;
    nEnd = bQuoted ? i + 1 : i;
    return strArg;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const bool bWww = fdp.ConsumeBool();
    const std::string strHead = fdp.ConsumeRandomLengthString(300);
    const std::string strPrefixTyped = fdp.ConsumeRandomLengthString(80);
    const std::string strLine = fdp.ConsumeRandomLengthString(300);
    std::string strSitePath = fdp.ConsumeRemainingBytesAsString();
    // Control characters are refused before a path gets here.
    std::erase_if(strSitePath, [](char ch) { return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F; });

    const std::string strQuoted = CSiteBuilder::quotedSitePath(strSitePath);
    std::size_t nEnd = 0;
    const std::optional<std::string> arg = apacheArgument(strQuoted, nEnd);
    FUZZ_CHECK(arg && *arg == strSitePath);
    FUZZ_CHECK(nEnd == strQuoted.size());
    // Apache would join the next line to one ending in a backslash.
    FUZZ_CHECK(!strQuoted.ends_with('\\'));

    // In a template the site path reads back as typed inside either quotes, and as a word of its
    // own; any template is filled, and one without the placeholder is written as it is.
    if (strSitePath.find("{siteDomain}") == std::string::npos) {
        for (const std::string_view templ : {"DR \"{sitePath}\"", "DR '{sitePath}'", "DR {sitePath}"}) {
            CEntryTemplate entry(templ, strSitePath, bWww);
            FUZZ_CHECK(entry.failLine() == 0);
            const std::vector<std::string> pieces = entry.takePieces();
            FUZZ_CHECK(pieces.size() == 1 && pieces[0].starts_with("DR "));
            const std::string_view written = std::string_view(pieces[0]).substr(3);
            std::size_t nWordEnd = 0;
            const std::optional<std::string> word = apacheArgument(written, nWordEnd);
            FUZZ_CHECK(word && *word == strSitePath && nWordEnd == written.size());
        }
    }
    CEntryTemplate any(strHead, strSitePath, bWww);
    if (strHead.find("{sitePath}") == std::string::npos) {
        FUZZ_CHECK(any.failLine() == 0);
        const std::vector<std::string> pieces = any.takePieces();
        std::string strJoined = pieces[0];
        for (std::size_t i = 1; i < pieces.size(); ++i)
            strJoined += "{siteDomain}" + pieces[i];
        FUZZ_CHECK(strJoined == strHead);
    }

    std::string strPrefix;
    if (names::normalizePrefix(strPrefixTyped, strPrefix) != names::EVerdict::Name)
        strPrefix.clear();
    std::string strScratch;
    std::string_view name;
    if (names::nameOfLine(strLine, strScratch, name) != names::EVerdict::Name)
        return 0;
    const std::string strName(name);
    // A prefix that is the www alias writes no name twice.
    const bool bPrefixIsWww = bWww && strPrefix.size() == 3 && (strPrefix[0] | 0x20) == 'w' &&
                              (strPrefix[1] | 0x20) == 'w' && (strPrefix[2] | 0x20) == 'w';
    const std::string strAliases =
        strName + (bWww ? " www." + strName : std::string()) +
        (strPrefix.empty() || bPrefixIsWww ? std::string() : " " + strPrefix + "." + strName);
    const std::string strEntry = "<VirtualHost *>\r\n    DocumentRoot " + strQuoted + "\r\n    ServerAlias " +
                                 strAliases + "\r\n</VirtualHost>\r\n";

    const CSiteBuilder builder(tagSiteSettings{strSitePath, strPrefix, bWww, {}, {}});
    // Entries go after what the buffer holds, leaving it as it was.
    CByteBuffer out;
    out.append(strHead);
    builder.appendEntry(name, out);
    builder.appendEntry(name, out);
    FUZZ_CHECK(out.view() == strHead + strEntry + strEntry);
    return 0;
}
