#include "engine/CertGroups.h"

#include <map>
#include <set>

#include <gtest/gtest.h>

#include "core/PublicSuffix.h"

namespace {

// Each certificate as "NAME: name name ...", in the order the run writes the entries.
std::vector<std::string> groupsOf(const std::string& strList, int nPack, ECertGroup eGroup, bool bWww) {
    tagGenRequest request;
    request.strList = strList;
    request.strSitePath = "/srv";
    request.bWww = bWww;
    request.strOutFile = "-";
    request.layout.nPack = nPack;
    request.layout.eCertGroup = eGroup;
    std::vector<std::string> vecGroups;
    tagGenResult result;
    EXPECT_TRUE(certs::collectGroups(
        request,
        [&vecGroups](certs::tagCertGroup& group) {
            std::string strText = group.strName + ":";
            for (const std::string& strName : group.vecNames)
                strText += " " + strName;
            vecGroups.push_back(strText);
        },
        result));
    return vecGroups;
}

} // namespace

// A certificate holds the domains of one registered domain, by the Public Suffix List (its
// private part too), whatever the list's order; any packs in the list's order.
TEST(CertGroupsTest, EntriesHoldOneRegisteredDomain) {
    const struct {
        const char* pList;
        int nPack;
        ECertGroup eGroup;
        std::vector<std::string> vecExpected;
    } cases[] = {
        {"a.example.com\nx.github.io\nb.example.com\ny.github.io\nexample.com\n",
         0,
         ECertGroup::Domain,
         {"a.example.com: a.example.com b.example.com example.com", "x.github.io: x.github.io",
          "y.github.io: y.github.io"}},
        {"a.example.com\nx.github.io\nb.example.com\ny.github.io\nexample.com\n",
         0,
         ECertGroup::Any,
         {"a.example.com: a.example.com x.github.io b.example.com y.github.io example.com"}},
        // A full entry ends when its registered domain comes again; the others end in the order
        // they began.
        {"a.example.com\nx.org\nb.example.com\nc.example.com\n",
         2,
         ECertGroup::Domain,
         {"a.example.com: a.example.com b.example.com", "x.org: x.org", "c.example.com: c.example.com"}},
        {"a.b.co.uk\nb.co.uk\nc.co.uk\nxn--fsqu00a.xn--fiqs8s\na.xn--fsqu00a.xn--fiqs8s\n*.c.co.uk\n",
         0,
         ECertGroup::Domain,
         {"a.b.co.uk: a.b.co.uk b.co.uk", "c.co.uk: c.co.uk *.c.co.uk",
          "xn--fsqu00a.xn--fiqs8s: xn--fsqu00a.xn--fiqs8s a.xn--fsqu00a.xn--fiqs8s"}},
        // A public suffix listed as a domain stands for itself.
        {"github.io\na.github.io\n",
         0,
         ECertGroup::Domain,
         {"github.io: github.io", "a.github.io: a.github.io"}},
    };
    ASSERT_TRUE(psl::available());
    for (const auto& c : cases)
        EXPECT_EQ(groupsOf(c.pList, c.nPack, c.eGroup, false), c.vecExpected) << c.pList;
}

// More registered domains than may wait aside at once: the longest unused ends early, and every
// name is still written once, in a certificate of its own registered domain, 100 names at most.
TEST(CertGroupsTest, ManyRegisteredDomainsAtOnce) {
    std::string strList;
    for (int i = 0; i < 1500; ++i)
        strList += "a.d" + std::to_string(i) + ".com\n";
    for (int i = 0; i < 1500; i += 7)
        strList += "b.d" + std::to_string(i) + ".com\n";
    for (int i = 0; i < 60; ++i)
        strList += "s" + std::to_string(i) + ".d3.com\n";
    std::multiset<std::string> names;
    for (const std::string& strGroup : groupsOf(strList, 0, ECertGroup::Domain, true)) {
        std::set<std::string> registered;
        std::size_t nNames = 0;
        for (std::size_t nAt = strGroup.find(' '); nAt != std::string::npos;) {
            const std::size_t nEnd = strGroup.find(' ', nAt + 1);
            const std::string strName = strGroup.substr(nAt + 1, nEnd - nAt - 1);
            names.insert(strName);
            registered.insert(psl::registeredDomain(strName));
            ++nNames;
            nAt = nEnd;
        }
        EXPECT_EQ(registered.size(), 1u) << strGroup;
        EXPECT_LE(nNames, 100u) << strGroup;
    }
    EXPECT_EQ(names.size(), 2u * (1500 + 215 + 60));
    for (const std::string& strName : names)
        ASSERT_EQ(names.count(strName), 1u) << strName;
}

// The waves, worked out by hand from the limits: a wave holds at most the orders of a span, and a
// registered domain's certificates stay apart by its span plus the wave its last one may run into.
TEST(CertGroupsTest, WavesKeepWithinTheLimits) {
    const struct {
        tagCertLimits limits;
        std::vector<std::vector<std::string>> vecCerts;
        std::vector<std::size_t> vecWaves;
    } cases[] = {
        {{2, 3, 50, 168}, {{"a"}, {"b"}, {"c"}, {"d"}, {"e"}}, {0, 0, 1, 1, 2}},
        // 2 a domain in 6 hours, waves 3 hours apart: a wave's orders may run until the next one,
        // so the third waits 3 waves.
        {{10, 3, 2, 6}, {{"a"}, {"a"}, {"a"}, {"a"}, {"b"}}, {0, 0, 3, 3, 0}},
        {{2, 3, 1, 3}, {{"a"}, {"b"}, {"a"}, {"b"}, {"a"}}, {0, 0, 2, 2, 4}},
        // Never before an earlier certificate of its domain, even where an earlier wave has room.
        {{1, 3, 5, 168}, {{"a"}, {"a"}, {"b"}, {"a"}}, {0, 1, 2, 3}},
        // A certificate of several registered domains counts for each.
        {{5, 3, 1, 3}, {{"a", "b"}, {"a"}, {"b"}, {"c"}}, {0, 2, 2, 0}},
        // Let's Encrypt's: 50 of a registered domain a week; the 51st waits 57 waves of 3 hours.
        {{300, 3, 50, 168},
         std::vector<std::vector<std::string>>(51, {"a"}),
         [] {
             std::vector<std::size_t> v(50, 0);
             v.push_back(57);
             return v;
         }()},
    };
    for (const auto& c : cases) {
        certs::CWavePlan plan(c.limits);
        std::vector<std::size_t> vecGot;
        for (const auto& vecRegistered : c.vecCerts)
            vecGot.push_back(plan.add(vecRegistered));
        EXPECT_EQ(vecGot, c.vecWaves) << c.limits.nOrders << "/" << c.limits.nPerDomain;
        EXPECT_EQ(plan.startHours(2), 2 * c.limits.nOrdersHours);
    }
}
