#include "cli/RunOptions.h"

#include <tuple>

#include "cli/CommandLine.h"
#include "cli/Report.h"
#include "core/Process.h"
#include "core/Sys.h"
#include "engine/NameRule.h"
#include "engine/NginxDialect.h"

void addRunOptions(CLI::App& app, tagRunOptions& o) {
    using namespace cmdline;
    app.add_option("-s,--site-path", o.strSitePath, "The DocumentRoot of every entry (required)")
        ->required()
        ->type_name("PATH")
        ->option_text("PATH")
        ->group(kGroupEntries);
    app.add_option("-p,--prefix", o.strPrefix, "Also the alias LABEL.domain")
        ->type_name("LABEL")
        ->group(kGroupEntries);
    app.add_flag("-w,--www", o.bWww, "Also the alias www.domain")->group(kGroupEntries);
    app.add_option(
           "-t,--template", o.strTemplate,
           "Fill FILE for each domain instead of the built-in entry: {sitePath} becomes the site path, "
           "{siteDomain} the aliases; not with the options of the two groups below")
        ->type_name("FILE")
        ->group(kGroupEntries);
    app.add_option(
           "--server-kind", o.strServerKind,
           "The server the entries are for: apache (default) or nginx: a server {} block with listen, "
           "root and a server_name line a domain. For nginx, --listen * is port 80 of every IPv4 "
           "address and, where this system has IPv6, of every IPv6 one ([::]); a '$' in a path is "
           "refused; a template is read as nginx reads it")
        ->type_name("KIND")
        ->group(kGroupEntries);
    app.add_option("--nginx-hash-conf", o.strHashConf,
                   "With --server-kind nginx: also write to FILE, for http {}, the "
                   "server_names_hash_bucket_size and server_names_hash_max_size that the names "
                   "written need, as nginx sizes its hash (a run always says them on standard error "
                   "and in a comment at the top of the output, at its end on standard output)")
        ->type_name("FILE")
        ->group(kGroupEntries);
    app.add_flag("--idn", o.bIdn, "Accepted for older scripts: names are always written in their ASCII form")
        ->group(kGroupEntries);
    app.add_option(
           "--pack", o.strPack,
           "Up to N domains per entry, DocumentRoot once and one ServerAlias line each (0: all in one; "
           "default 1)")
        ->type_name("N")
        ->group(kGroupLayout);
    app.add_option("--listen", o.strListen,
                   "The entries' address: *, *:PORT, IPv4:PORT or [IPv6]:PORT (default *)")
        ->type_name("ADDR")
        ->group(kGroupLayout);
    app.add_option("--split", o.strSplitDir,
                   "Each entry in a file of its own in DIR, named FIRST-DOMAIN.conf; other files there are "
                   "left alone, and a link there is replaced as a file, never followed. The files take their "
                   "places only once all are written: when one cannot be, none does (exit 1)")
        ->type_name("DIR")
        ->group(kGroupLayout);
    app.add_flag(
           "--https{existing}", o.strHttps,
           "Each entry also on port 443 of its address with SSLEngine on (needs mod_ssl); the plain one "
           "then listens on port 80 unless --listen names a port. An entry then holds at most 100 names "
           "(one certificate): --pack is lowered to fit. An entry whose certificate files cannot be read "
           "gets no port-443 twin and no redirect yet, so that the server still starts: the run lists its "
           "names as waiting for a certificate. --https=all writes every twin all the same")
        ->group(kGroupHttps);
    app.add_option(
           "--cert-group", o.strCertGroup,
           "With --https or --certbot, which domains an entry of several (--pack) may hold: domain "
           "(the default: those of one registered domain, by the Public Suffix List, so that no "
           "certificate shows one customer's names to another; a.example.com with example.com, "
           "x.github.io apart from y.github.io) or any (in the list's order: the fewest certificates)")
        ->type_name("HOW")
        ->group(kGroupHttps);
    app.add_option("--limit-orders", o.strLimitOrders,
                   "The certificate authority's limit on new orders of an account: N in HOURS (default "
                   "300/3, Let's Encrypt's). --certbot writes the first wave of orders within the limits; "
                   "kelvane-cli certs plan all of them, in waves")
        ->type_name("N/HOURS")
        ->group(kGroupHttps);
    app.add_option("--limit-domain", o.strLimitDomain,
                   "The authority's limit on new certificates of one registered domain: N in HOURS (default "
                   "50/168, Let's Encrypt's 50 a week)")
        ->type_name("N/HOURS")
        ->group(kGroupHttps);
    app.add_option(
           "--cert-path", o.strCertPath,
           "Directory of each entry's fullchain.pem and privkey.pem; {name} is the entry's first domain "
           "(default /etc/letsencrypt/live/{name})")
        ->type_name("PATTERN")
        ->group(kGroupHttps);
    app.add_option("--certbot", o.strCertbotFile,
                   "Also write one certbot command per entry to FILE (certbot certonly --webroot), for the "
                   "first wave of orders that the authority's limits allow (--limit-orders, --limit-domain; "
                   "the run says how many wait: kelvane-cli certs plan writes them all); entries then hold "
                   "at most 100 names")
        ->type_name("FILE")
        ->group(kGroupHttps);
    app.add_option("--http2", o.strHttp2,
                   "With --server-kind nginx and --https: HTTP/2 on the HTTPS block: auto (the default: "
                   "as the nginx installed here has it, in the form of its version, `listen ... ssl "
                   "http2` before 1.25.1, `http2 on` since; none when no nginx is found), on (the same, "
                   "`listen ... ssl http2` when no nginx is found) or off")
        ->type_name("WHEN")
        ->group(kGroupHttps);
    app.add_flag("--redirect", o.bRedirect,
                 "With --https: the plain entry redirects every request to https, but certbot's challenges "
                 "(needs mod_rewrite: a2enmod rewrite)")
        ->group(kGroupHttps);
    app.add_option("-o,--output", o.strOutput, "The output file; none, or -: standard output")
        ->type_name("FILE")
        ->group(kGroupFiles);
    app.add_flag("--strict", o.bStrict,
                 "A refused line fails the run (exit 3) and leaves the output as it was")
        ->group(kGroupFiles);
    app.add_flag("-q,--quiet", o.bQuiet, "No progress, no summary and no warnings; errors still show")
        ->group(kGroupFiles);
    app.add_option("LIST", o.strList, "The list file, one domain per line; none, or -: standard input")
        ->type_name("");
}

namespace {
// A limit typed as N/HOURS, both at least 1.
bool parseLimit(const std::string& strText, int& nCount, int& nHours) {
    const std::size_t nSlash = strText.find('/');
    const auto number = [](std::string_view str, int& n) {
        if (str.empty() || str.size() > 6 || str.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        n = std::stoi(std::string(str));
        return n >= 1;
    };
    return nSlash != std::string::npos && number(std::string_view(strText).substr(0, nSlash), nCount) &&
           number(std::string_view(strText).substr(nSlash + 1), nHours);
}

// HTTP/2 as the nginx installed here has it; with bOn, the listen parameter when that cannot be told.
EHttp2 installedNginxHttp2(bool bOn) {
    const std::string strNginx =
        sys::findProgram("nginx", {"/usr/sbin", "/sbin", "/usr/local/sbin", "/usr/local/nginx/sbin"});
    if (strNginx.empty())
        return bOn ? EHttp2::ListenParam : EHttp2::Off;
    sys::tagCommandResult result;
    std::string strOut;
    sys::runCommand(
        "'" + strNginx + "' -V", {std::size_t{1} << 20, std::chrono::seconds(10)},
        [&strOut](std::string_view piece) { strOut.append(piece); }, result);
    if (result.eEnd != sys::ECommandEnd::Exited || result.nCode != 0)
        return bOn ? EHttp2::ListenParam : EHttp2::Off;
    const EHttp2 eHttp2 = CNginxDialect::http2Of(result.strErr + strOut);
    return bOn && eHttp2 == EHttp2::Off ? EHttp2::ListenParam : eHttp2;
}
} // namespace

bool makeRequest(const CLI::App& app, const tagRunOptions& o, tagGenRequest& request, std::string& strError) {
    if (o.strServerKind != "apache" && o.strServerKind != "nginx") {
        strError = "--server-kind '" + names::visibleText(o.strServerKind) + "': apache or nginx";
        return false;
    }
    const EServerKind eServer = o.strServerKind == "nginx" ? EServerKind::Nginx : EServerKind::Apache;
    const bool bNginx = eServer == EServerKind::Nginx;
    if (const names::ESitePath eFault = names::checkSitePath(o.strSitePath, bNginx);
        eFault != names::ESitePath::Ok) {
        strError = "--site-path " + report::sitePathText(eFault, eServer);
        return false;
    }
    std::string strAsciiPrefix;
    if (const names::EVerdict eVerdict = names::normalizePrefix(o.strPrefix, strAsciiPrefix);
        eVerdict != names::EVerdict::Name) {
        strError = "--prefix '" + names::visibleText(o.strPrefix) + "': " + report::reasonText(eVerdict) +
                   " (a prefix is one or more labels of letters, digits, '-' and '_')";
        return false;
    }

    tagLayout layout;
    if (o.strPack.empty() || o.strPack.size() > 9 ||
        o.strPack.find_first_not_of("0123456789") != std::string::npos) {
        strError = "--pack '" + names::visibleText(o.strPack) + "': a number of domains per entry, 0 for all";
        return false;
    }
    layout.nPack = std::stoi(o.strPack);
    std::string strReason;
    if (!tagAddress::parseListen(o.strListen, layout.listen, strReason)) {
        strError = "--listen '" + names::visibleText(o.strListen) + "': " + strReason;
        return false;
    }
    layout.strSplitDir = o.strSplitDir;
    const bool bHttps = !o.strHttps.empty();
    if (bHttps && o.strHttps != "existing" && o.strHttps != "all") {
        strError =
            "--https='" + names::visibleText(o.strHttps) +
            "': --https alone, or --https=all for every HTTPS twin whether its certificate exists or not";
        return false;
    }
    layout.bHttps = bHttps;
    layout.bHttpsAll = o.strHttps == "all";
    if (o.strCertGroup != "domain" && o.strCertGroup != "any") {
        strError = "--cert-group '" + names::visibleText(o.strCertGroup) + "': domain or any";
        return false;
    }
    layout.eCertGroup = o.strCertGroup == "any" ? ECertGroup::Any : ECertGroup::Domain;
    for (const auto& [pszName, pText, pCount, pHours] :
         {std::tuple{"--limit-orders", &o.strLimitOrders, &layout.certLimits.nOrders,
                     &layout.certLimits.nOrdersHours},
          std::tuple{"--limit-domain", &o.strLimitDomain, &layout.certLimits.nPerDomain,
                     &layout.certLimits.nPerDomainHours}}) {
        if (!parseLimit(*pText, *pCount, *pHours)) {
            strError = std::string(pszName) + " '" + names::visibleText(*pText) +
                       "': N/HOURS, N orders or certificates in HOURS hours, both from 1 to 999999";
            return false;
        }
    }
    layout.strCertPath = o.strCertPath;
    layout.strCertbotFile = o.strCertbotFile;
    layout.bRedirect = o.bRedirect;
    layout.bAnyHostIpv6 = sys::hasIpv6();
    if (o.strHttp2 != "auto" && o.strHttp2 != "on" && o.strHttp2 != "off") {
        strError = "--http2 '" + names::visibleText(o.strHttp2) + "': auto, on or off";
        return false;
    }
    if (bNginx && bHttps && o.strHttp2 != "off")
        layout.eHttp2 = installedNginxHttp2(o.strHttp2 == "on");
    const bool bStdOut = o.strOutput.empty() || o.strOutput == kStdOutPath;

    const auto given = [&app](const char* pszName) { return app.count(pszName) > 0; };
    // An empty name is a mistake in a script, never a wish to leave the option out.
    for (const auto& [pszName, strValue] :
         {std::pair{"--split", &o.strSplitDir}, std::pair{"--certbot", &o.strCertbotFile},
          std::pair{"--template", &o.strTemplate}, std::pair{"--output", &o.strOutput},
          std::pair{"--nginx-hash-conf", &o.strHashConf}, std::pair{"LIST", &o.strList}}) {
        if (given(pszName) && strValue->empty()) {
            strError = std::string(pszName) + " '': an empty name names no file";
            return false;
        }
    }
    if (!bNginx && given("--nginx-hash-conf")) {
        strError = "--nginx-hash-conf needs --server-kind nginx";
    } else if (given("--http2") && (!bNginx || !bHttps)) {
        strError = "--http2 needs --server-kind nginx and --https";
    } else if (!o.strTemplate.empty() &&
               (given("--pack") || given("--listen") || given("--split") || bHttps || given("--cert-path") ||
                given("--certbot") || o.bRedirect)) {
        strError =
            "--template cannot be used with --pack, --listen, --split, --https, --cert-path, --certbot "
            "or --redirect, which lay out the built-in entry";
    } else if (o.bRedirect && !bHttps) {
        strError = "--redirect needs --https: it sends the plain entry's requests to the HTTPS one";
    } else if (given("--cert-path") && !bHttps) {
        strError = "--cert-path needs --https";
    } else if (given("--cert-group") && !bHttps && o.strCertbotFile.empty()) {
        strError = "--cert-group needs --https or --certbot, whose entries are certificates";
    } else if (bHttps && layout.listen.nPort == 443) {
        strError = "--listen '" + o.strListen +
                   "': with --https the plain entry cannot be on port 443, where "
                   "its HTTPS twin is";
    } else if (const names::ESitePath eFault = names::checkSitePath(o.strCertPath, bNginx);
               eFault != names::ESitePath::Ok) {
        strError = "--cert-path " + report::sitePathText(eFault, eServer);
    } else if (!o.strSplitDir.empty() && given("--output")) {
        strError = "--split writes the entries into DIR: it cannot be used with --output";
    }
    if (!strError.empty())
        return false;

    const bool bStdIn = o.strList.empty() || o.strList == "-";
    request.eList = bStdIn ? EListSource::StdIn : EListSource::File;
    request.strList = bStdIn ? std::string() : o.strList;
    request.strSitePath = o.strSitePath;
    request.strPrefix = o.strPrefix;
    request.bWww = o.bWww;
    request.strTemplateFile = o.strTemplate;
    request.strOutFile = bStdOut ? std::string(kStdOutPath) : o.strOutput;
    request.bStrict = o.bStrict;
    request.layout = layout;
    request.eServer = eServer;
    request.strHashConfFile = o.strHashConf;
    return true;
}
