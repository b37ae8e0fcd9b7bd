#include "engine/ListCheck.h"

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "engine/ApacheConfig.h"
#include "engine/NginxConfig.h"
#include "engine/ServerDump.h"

namespace {

using EKind = tagFinding::EKind;

// A list's findings without a server: what a run would refuse, report as a duplicate, or write
// for two lines.
TEST(ListCheckTest, FindingsOfAList) {
    const struct {
        std::string list;
        bool bWww;
        std::string prefix;
        std::vector<std::tuple<EKind, std::int64_t, std::int64_t, std::string>>
            findings; // kind, line, other, name
    } cases[] = {
        {"example.com\nexample.org\n", true, "m", {}},
        {"example.com\nm.example.com\n", false, "m", {{EKind::Clash, 2, 1, "m.example.com"}}},
        {"M.example.com\nexample.com\n", true, "m", {{EKind::Clash, 2, 1, "m.example.com"}}},
        // The run removes one "www.": the first line's name is www.example.com.
        {"www.www.example.com\n\nexample.com\n", true, "", {{EKind::Clash, 3, 1, "www.example.com"}}},
        {"www.www.example.com\nexample.com\n", false, "", {}},
        // A prefix that is the www alias writes no name twice.
        {"example.com\n", true, "www", {}},
        {"a.test\nlocalhost\nA.TEST.\nbad name.test\n",
         false,
         "",
         {{EKind::Duplicate, 3, 1, ""}, {EKind::Refused, 4, 0, ""}}},
        {"www.*\n*.a.test\n", false, "", {{EKind::Refused, 1, 0, ""}}},
    };
    for (const auto& c : cases) {
        tagGenRequest request;
        request.eList = EListSource::Text;
        request.strList = c.list;
        request.strSitePath = "/srv";
        request.bWww = c.bWww;
        request.strPrefix = c.prefix;
        std::vector<std::tuple<EKind, std::int64_t, std::int64_t, std::string>> found;
        tagGenResult result;
        EXPECT_TRUE(CListCheck(request, nullptr)
                        .run(
                            [&found](const tagFinding& f) {
                                found.emplace_back(f.eKind, f.nLine, f.nOtherLine, f.strName);
                            },
                            result));
        EXPECT_EQ(found, c.findings) << c.list;
    }
}

// Where each name goes after the run, by each server's rule: an existing vhost before the run's
// own output (where the server loads it, else after every vhost) keeps a name; after it, it does
// not; Apache gives a name to a wild alias first in order, nginx to the exact name always.
TEST(ListCheckTest, RoutesByEachServersRule) {
    CScopedTempDir dir;
    const std::string d = dir.path("");
    writeFile(d + "a.conf",
              "<VirtualHost *:80>\n    ServerName first.test\n    ServerAlias *.wild.test\n</VirtualHost>\n");
    writeFile(d + "out.conf", "<VirtualHost *:80>\n    ServerAlias old.test\n</VirtualHost>\n");
    writeFile(d + "z.conf",
              "<VirtualHost *:80>\n    ServerName late.test\n    ServerAlias b.test\n</VirtualHost>\n");
    const std::string apacheListing =
        "VirtualHost configuration:\n*:80                   is a NameVirtualHost\n"
        "         port 80 namevhost first.test (" +
        d +
        "a.conf:1)\n"
        "         port 80 namevhost old.test (" +
        d +
        "out.conf:1)\n"
        "                 alias old.test\n"
        "         port 80 namevhost late.test (" +
        d +
        "z.conf:1)\n"
        "                 alias b.test\n";
    const std::string nginxDump = "# configuration file " + d + "nginx.conf:\nhttp {\n    include " + d +
                                  "a.conf;\n    include " + d + "out.conf;\n    include " + d +
                                  "z.conf;\n}\n\n"
                                  "# configuration file " +
                                  d +
                                  "a.conf:\nserver {\n    listen 80;\n"
                                  "    server_name first.test *.wild.test;\n}\n\n"
                                  "# configuration file " +
                                  d +
                                  "out.conf:\nserver {\n    listen 80;\n    server_name old.test;\n}\n\n"
                                  "# configuration file " +
                                  d +
                                  "z.conf:\nserver {\n    listen 80;\n"
                                  "    server_name late.test b.test ~^x;\n}\n";
    const struct {
        EServerKind eServer;
        const char* out;
        std::vector<std::string> routes;
    } cases[] = {
        // Apache entries are 4 lines each.
        {EServerKind::Apache, "out.conf", {"a.test out.conf:1", "b.test out.conf:5", "x.wild.test a.conf:1"}},
        {EServerKind::Apache, "new.conf", {"a.test new.conf:1", "b.test z.conf:1", "x.wild.test a.conf:1"}},
        // nginx's output begins with the line on its hash; its blocks are 6 lines, with IPv6.
        {EServerKind::Nginx,
         "out.conf",
         {"a.test out.conf:2", "b.test out.conf:8", "x.wild.test out.conf:14"}},
        {EServerKind::Nginx, "new.conf", {"a.test new.conf:2", "b.test z.conf:2", "x.wild.test new.conf:14"}},
    };
    for (const auto& c : cases) {
#ifdef _WIN32
        // nginx's paths are a Linux server's.
        if (c.eServer == EServerKind::Nginx)
            continue;
#endif
        tagGenRequest request;
        request.eList = EListSource::Text;
        request.strList = "a.test\nb.test\nx.wild.test\n";
        request.strSitePath = "/srv";
        request.strOutFile = d + c.out;
        request.eServer = c.eServer;
        tagAddress::parseListen("*:80", request.layout.listen, request.strPrefix);
        std::unique_ptr<CServerConfig> pServer;
        std::string strReason;
        if (c.eServer == EServerKind::Apache) {
            auto pApache = std::make_unique<CApacheConfig>();
            CServerDump dump(*pApache);
            dump.feed(apacheListing);
            ASSERT_TRUE(dump.finish(strReason)) << strReason;
            pApache->finish(request, [](const std::string&) {});
            pServer = std::move(pApache);
        } else {
            auto pNginx = std::make_unique<CNginxConfig>();
            pNginx->feed(nginxDump);
            ASSERT_TRUE(pNginx->endDump(strReason)) << strReason;
            pNginx->finish(request, [](const std::string&) {});
            pServer = std::move(pNginx);
        }
        std::vector<std::string> routes;
        CListCheck check(request, pServer.get());
        check.setRouteFn([&](const tagRoute& route) {
            const std::string_view file = route.bExisting ? route.vhost.strFile : route.strFile;
            routes.push_back(std::string(route.strName) + " " +
                             std::string(file.substr(file.find_last_of("/\\") + 1)) + ":" +
                             std::to_string(route.bExisting ? route.vhost.nLine : route.nLine));
        });
        tagGenResult result;
        EXPECT_TRUE(check.run([](const tagFinding&) {}, result));
        EXPECT_EQ(routes, c.routes) << serverKindName(c.eServer) << " " << c.out;
    }
}

} // namespace
