#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/Address.h"
#include "engine/ServerKind.h"

// Where the list of a run comes from, said by the front end, never guessed from the text.
enum class EListSource { Text, File, StdIn };

inline constexpr std::string_view kStdOutPath = "-";
inline constexpr std::string_view kStdInName = "-";

inline constexpr std::string_view kDefaultCertPath = "/etc/letsencrypt/live/{name}";
// An entry holds at most this many names when it has a certificate.
inline constexpr int kMaxCertNames = 100;

// HTTP/2 on an nginx HTTPS twin: a parameter of its listen lines (nginx before 1.25.1, where it
// is deprecated), or a directive of its own (from 1.25.1, which older ones refuse).
enum class EHttp2 : std::uint8_t { Off, ListenParam, Directive };

// Which names a certificate may hold together.
enum class ECertGroup : std::uint8_t {
    Domain, // the names of one registered domain, so that no customer's names show another's
    Any,    // any names, in the list's order: the fewest certificates
};

// What a certificate authority allows, Let's Encrypt's values by default: new orders of an
// account, and new certificates of one registered domain, each within a span of hours.
struct tagCertLimits {
    int nOrders = 300;
    int nOrdersHours = 3;
    int nPerDomain = 50;
    int nPerDomainHours = 7 * 24;
};

// How the entries of a run are laid out. The default is the one entry per domain of the
// built-in block; anything else is written by CEntryWriter, and never with a template.
struct tagLayout {
    int nPack = 1;           // domains per entry; 0: all in one
    tagAddress listen;       // the address of the entries' opening tag
    std::string strSplitDir; // each entry in a file of its own there; empty: the run's output
    bool bHttps = false;     // each entry gets a twin on port 443
    std::string strCertPath =
        std::string(kDefaultCertPath); // the certificate's directory; {name}: first domain
    std::string strCertbotFile;        // one certbot command per entry; empty: none
    ECertGroup eCertGroup = ECertGroup::Domain;
    // Every entry gets its HTTPS twin, whether its certificate's files are there or not: else
    // one whose files cannot be read is written without it, so that the server still starts.
    bool bHttpsAll = false;
    tagCertLimits certLimits;    // --certbot writes the commands of the first wave within them
    bool bRedirect = false;      // the plain entry redirects to https
    bool bAnyHostIpv6 = true;    // nginx: host "*" is also every IPv6 address ("[::]")
    EHttp2 eHttp2 = EHttp2::Off; // nginx: HTTP/2 on the HTTPS twin
    std::string strFileHead;     // --split: the first line of each file, its line end included
    // --split: a file whose bytes are those of the file of its name here is not written (apply).
    std::string strUnchangedDir;

    bool isDefault() const {
        return nPack == 1 && listen.strHost == "*" && listen.nPort == 0 && strSplitDir.empty() && !bHttps &&
               strCertbotFile.empty();
    }
    // Entries then hold at most kMaxCertNames names.
    bool hasCertificates() const { return bHttps || !strCertbotFile.empty(); }
};

// Everything a run needs, handed to it as a value: the engine reads no program-wide setting.
struct tagGenRequest {
    EListSource eList = EListSource::Text;
    std::string strList;         // Text: the list itself; File: its path
    std::string strSitePath;     // the document root of every entry
    std::string strPrefix;       // an extra host label, as typed; empty means none
    bool bWww = false;           // also the "www." form of each name
    std::string strTemplateFile; // empty, or a missing file: the built-in block
    std::string strOutFile;      // "-" is standard output
    bool bStrict = false;        // a refused line fails the run and leaves the output untouched
    EServerKind eServer = EServerKind::Apache;
    tagLayout layout;
    std::string strHashConfFile; // nginx: the server names hash its names need, for http {}; empty: none
};
