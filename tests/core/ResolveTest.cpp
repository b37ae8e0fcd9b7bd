#include "core/Resolve.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

namespace {

using dns::EReply;
using strings = std::vector<std::string>;

std::string u16(unsigned n) {
    return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)};
}

// "a.test" as labels on the wire, uncompressed.
std::string wire(const std::string& strName) {
    std::string out;
    std::size_t nStart = 0;
    while (nStart <= strName.size()) {
        const std::size_t nDot = std::min(strName.find('.', nStart), strName.size());
        out += static_cast<char>(nDot - nStart) + strName.substr(nStart, nDot - nStart);
        nStart = nDot + 1;
    }
    return out + '\0';
}

std::string record(const std::string& strOwner, unsigned nType, const std::string& strData,
                   unsigned nClass = 1) {
    return strOwner + u16(nType) + u16(nClass) + std::string("\0\0\1\0", 4) + u16(strData.size()) + strData;
}

const std::string kV4 = std::string("\xC0\x00\x02\x01", 4);
const std::string kV6 = std::string("\x20\x01\x0D\xB8", 4) + std::string(11, '\0') + '\x01';
const unsigned kId = 0x1234;
// The question asked in every parser case, www.test, starts at 12 and takes 14 bytes.
const std::string kAtQuestion = "\xC0\x0C";
constexpr unsigned kFirstRecord = 26;

std::string response(unsigned nFlags, unsigned nType, unsigned nAnswers, const std::string& strRecords,
                     unsigned nId = kId, const std::string& strQuestion = "www.test") {
    return u16(nId) + u16(nFlags) + u16(1) + u16(nAnswers) + u16(0) + u16(0) + wire(strQuestion) +
           u16(nType) + u16(1) + strRecords;
}

TEST(ResolveParseTest, Responses) {
    const std::string aliasToMid = record(kAtQuestion, 5, wire("mid.test"));
    const struct {
        const char* what;
        std::string packet;
        std::uint16_t nType;
        EReply eKind;
        strings addrs;
    } cases[] = {
        {"A", response(0x8180, 1, 1, record(kAtQuestion, 1, kV4)), 1, EReply::Addresses, {"192.0.2.1"}},
        {"AAAA",
         response(0x8180, 28, 1, record(kAtQuestion, 28, kV6)),
         28,
         EReply::Addresses,
         {"2001:db8::1"}},
        {"alias chain, out of order, beside another name",
         response(0x8180, 1, 4,
                  record(wire("a.test"), 1, kV4) + record(wire("other.test"), 1, "\x01\x02\x03\x04") +
                      record(wire("MID.test"), 5, wire("a.TEST")) + aliasToMid),
         1,
         EReply::Addresses,
         {"192.0.2.1"}},
        {"owner in another case, twice",
         response(0x8180, 1, 2, record(wire("WWW.Test"), 1, kV4) + record(kAtQuestion, 1, kV4)),
         1,
         EReply::Addresses,
         {"192.0.2.1"}},
        {"only other names",
         response(0x8180, 1, 1, record(wire("other.test"), 1, kV4)),
         1,
         EReply::Addresses,
         {}},
        {"another type and class are skipped",
         response(0x8180, 1, 2, record(kAtQuestion, 28, kV6) + record(kAtQuestion, 1, kV4, 3)),
         1,
         EReply::Addresses,
         {}},
        {"alias loop",
         response(0x8180, 1, 2, aliasToMid + record(wire("mid.test"), 5, wire("www.test"))),
         1,
         EReply::Addresses,
         {}},
        {"compression loop",
         response(0x8180, 1, 1, record(u16(0xC000 | kFirstRecord), 1, kV4)),
         1,
         EReply::Bad,
         {}},
        {"pointer past the end", response(0x8180, 1, 1, record("\xC0\xFF", 1, kV4)), 1, EReply::Bad, {}},
        {"old label type", response(0x8180, 1, 1, record("\x41x", 1, kV4)), 1, EReply::Bad, {}},
        {"cut in the address",
         response(0x8180, 1, 1, record(kAtQuestion, 1, kV4)).substr(0, kFirstRecord + 12),
         1,
         EReply::Bad,
         {}},
        {"more answers counted than there are",
         response(0x8180, 1, 2, record(kAtQuestion, 1, kV4)),
         1,
         EReply::Bad,
         {}},
        {"an address of five bytes",
         response(0x8180, 1, 1, record(kAtQuestion, 1, kV4 + '\0')),
         1,
         EReply::Bad,
         {}},
        {"alias data longer than its name",
         response(0x8180, 1, 1, record(kAtQuestion, 5, wire("a.test") + 'x')),
         1,
         EReply::Bad,
         {}},
        {"header only", u16(kId) + u16(0x8180) + u16(1), 1, EReply::Bad, {}},
        {"question cut", response(0x8180, 1, 0, "").substr(0, 20), 1, EReply::Bad, {}},
        {"another id", response(0x8180, 1, 1, record(kAtQuestion, 1, kV4), 0x4321), 1, EReply::Foreign, {}},
        {"another name",
         response(0x8180, 1, 1, record(kAtQuestion, 1, kV4), kId, "ww.test"),
         1,
         EReply::Foreign,
         {}},
        {"another type", response(0x8180, 28, 1, record(kAtQuestion, 1, kV4)), 1, EReply::Foreign, {}},
        {"a query, not a response", response(0x0100, 1, 0, ""), 1, EReply::Foreign, {}},
        {"no such name", response(0x8183, 1, 0, ""), 1, EReply::NoName, {}},
        {"server failure", response(0x8182, 1, 0, ""), 1, EReply::ServerFailure, {}},
        {"refused", response(0x8185, 1, 0, ""), 1, EReply::Refused, {}},
        {"refused without the question",
         u16(kId) + u16(0x8185) + std::string(8, '\0'),
         1,
         EReply::Refused,
         {}},
        {"no question in an answer", u16(kId) + u16(0x8180) + std::string(8, '\0'), 1, EReply::Foreign, {}},
        {"truncated", response(0x8380, 1, 0, ""), 1, EReply::Truncated, {}},
    };
    for (const auto& c : cases) {
        const dns::tagReply reply = dns::parseAnswer(c.packet, kId, "www.test", c.nType);
        EXPECT_EQ(reply.eKind, c.eKind) << c.what;
        EXPECT_EQ(reply.vecAddrs, c.addrs) << c.what;
    }
}

TEST(ResolveTest, ServerAddresses) {
    const struct {
        const char* server;
        bool bAccepted;
    } cases[] = {
        {"127.0.0.1", true},
        {"127.0.0.1:8053", true},
        {"[::1]:53", true},
        {"[::1]", true},
        {"::1", true},
        {"127.0.0.1:0", false},
        {"127.0.0.1:65536", false},
        {"127.0.0.1:", false},
        {"127.0.0.1:5x", false},
        {"1.2.3", false},
        {"[::1", false},
        {"[::1]53", false},
        {"dns.example:53", false},
        {"", true},
    };
    for (const auto& c : cases) {
        // No name needs asking, so nothing is sent.
        std::vector<dns::tagAnswer> answers;
        std::string strError;
        EXPECT_EQ(dns::resolveAll({"*.a.test"}, c.server, answers, strError), c.bAccepted) << c.server;
        EXPECT_EQ(strError.empty(), c.bAccepted) << c.server << ": " << strError;
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].strReason, "wildcard");
    }
    std::vector<dns::tagAnswer> answers;
    std::string strError;
    EXPECT_FALSE(dns::resolveAll({"a.test", "*.a.test"}, "[::1", answers, strError));
    EXPECT_EQ(answers[0].strReason, "not asked");
    EXPECT_EQ(answers[1].strReason, "wildcard");
}

TEST(ResolveTest, LocalAddressesHoldLoopback) {
    const strings addrs = dns::localAddresses();
    EXPECT_TRUE(std::count(addrs.begin(), addrs.end(), "127.0.0.1") +
                std::count(addrs.begin(), addrs.end(), "::1"))
        << addrs.size();
}

#ifndef _WIN32

struct tagZone {
    strings a = {};
    strings aaaa = {};
    std::string strAlias = {}; // answers with a CNAME to this name and its records
    unsigned nRcode = 0;
    strings silentTypes = {}; // "A", "AAAA": never answered
    bool bTruncated = false;  // over UDP; answered in full over TCP
    bool bGarbage = false;
};

// A DNS server on 127.0.0.1, UDP and TCP on one port, answering from its zone on a thread of its own.
class CTestDnsServer {
public:
    explicit CTestDnsServer(std::map<std::string, tagZone> zone) : m_zone(std::move(zone)) {
        for (int nTry = 0; nTry < 20 && m_nPort == 0; ++nTry) {
            m_udp = ::socket(AF_INET, SOCK_DGRAM, 0);
            m_tcp = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t nLen = sizeof addr;
            auto* pAddr = reinterpret_cast<sockaddr*>(&addr);
            if (::bind(m_udp, pAddr, nLen) == 0 && ::getsockname(m_udp, pAddr, &nLen) == 0 &&
                ::bind(m_tcp, pAddr, nLen) == 0 && ::listen(m_tcp, 16) == 0) {
                m_nPort = ntohs(addr.sin_port);
                break;
            }
            ::close(m_udp);
            ::close(m_tcp);
        }
        m_thread = std::thread([this] { serve(); });
    }
    ~CTestDnsServer() {
        m_bStop = true;
        m_thread.join();
        ::close(m_udp);
        ::close(m_tcp);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_nPort); }
    int timesAsked(const std::string& strQuestion) {
        const std::lock_guard lock(m_mutex);
        return m_mapAsked[strQuestion];
    }

private:
    void serve() {
        char buffer[1024];
        while (!m_bStop) {
            pollfd pfds[2] = {{m_udp, POLLIN, 0}, {m_tcp, POLLIN, 0}};
            if (::poll(pfds, 2, 20) <= 0)
                continue;
            if (pfds[0].revents & POLLIN) {
                sockaddr_storage from{};
                socklen_t nFrom = sizeof from;
                const ssize_t n =
                    ::recvfrom(m_udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &nFrom);
                const std::string strAnswer = n > 0 ? answer(std::string(buffer, n), false) : "";
                if (!strAnswer.empty())
                    ::sendto(m_udp, strAnswer.data(), strAnswer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                             nFrom);
            }
            if (pfds[1].revents & POLLIN) {
                const int fd = ::accept(m_tcp, nullptr, nullptr);
                unsigned char length[2] = {};
                const ssize_t n =
                    ::recv(fd, length, 2, MSG_WAITALL) == 2
                        ? ::recv(fd, buffer, std::min<std::size_t>(length[0] << 8 | length[1], sizeof buffer),
                                 MSG_WAITALL)
                        : 0;
                const std::string strAnswer = n > 0 ? answer(std::string(buffer, n), true) : "";
                const std::string strOut = u16(strAnswer.size()) + strAnswer;
                ::send(fd, strOut.data(), strOut.size(), MSG_NOSIGNAL);
                ::close(fd);
            }
        }
    }

    // The answer to a query of ours (uncompressed, one question), or empty for none.
    std::string answer(const std::string& strQuery, bool bTcp) {
        std::string strName;
        std::size_t nPos = 12;
        while (nPos < strQuery.size() && strQuery[nPos] != 0) {
            strName += (strName.empty() ? "" : ".") + strQuery.substr(nPos + 1, strQuery[nPos]);
            nPos += 1 + strQuery[nPos];
        }
        const bool bV6 = nPos + 3 < strQuery.size() && strQuery[nPos + 2] == 28;
        const std::string strType = bV6 ? "AAAA" : "A";
        {
            const std::lock_guard lock(m_mutex);
            ++m_mapAsked[strName + " " + strType];
        }
        const auto it = m_zone.find(strName);
        const tagZone zone = it == m_zone.end() ? tagZone{.nRcode = 3} : it->second;
        if (std::count(zone.silentTypes.begin(), zone.silentTypes.end(), strType))
            return {};
        std::string strRecords;
        unsigned nRecords = 0;
        const auto addAddresses = [&](const std::string& strOwner, const tagZone& owner) {
            for (const std::string& strAddr : bV6 ? owner.aaaa : owner.a) {
                unsigned char bytes[16];
                ::inet_pton(bV6 ? AF_INET6 : AF_INET, strAddr.c_str(), bytes);
                strRecords +=
                    record(strOwner, bV6 ? 28 : 1, std::string(reinterpret_cast<char*>(bytes), bV6 ? 16 : 4));
                ++nRecords;
            }
        };
        addAddresses(kAtQuestion, zone);
        if (!zone.strAlias.empty()) {
            strRecords += record(kAtQuestion, 5, wire(zone.strAlias));
            ++nRecords;
            addAddresses(wire(zone.strAlias), m_zone.at(zone.strAlias));
        }
        const bool bCut = zone.bTruncated && !bTcp;
        std::string strAnswer = strQuery.substr(0, 2) + u16(0x8180 | zone.nRcode | (bCut ? 0x200 : 0)) +
                                u16(1) + u16(bCut ? 0 : nRecords) + u16(0) + u16(0) +
                                strQuery.substr(12, nPos + 5 - 12);
        if (!bCut)
            strAnswer += strRecords;
        return zone.bGarbage ? strAnswer.substr(0, strAnswer.size() - 3) : strAnswer;
    }

    const std::map<std::string, tagZone> m_zone;
    int m_udp = -1;
    int m_tcp = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::mutex m_mutex;
    std::map<std::string, int> m_mapAsked;
    std::thread m_thread;
};

TEST(ResolveTest, AnswersFromADnsServer) {
    CTestDnsServer server({
        {"a.test", {.a = {"192.0.2.1", "192.0.2.2"}, .aaaa = {"2001:db8::1"}}},
        {"v4.test", {.a = {"192.0.2.3"}}},
        {"www.test", {.strAlias = "a.test"}},
        {"empty.test", {}},
        {"fail.test", {.nRcode = 2}},
        {"refused.test", {.nRcode = 5}},
        {"silent.test", {.a = {"192.0.2.4"}, .silentTypes = {"A", "AAAA"}}},
        {"half.test", {.a = {"192.0.2.5"}, .silentTypes = {"AAAA"}}},
        {"big.test", {.a = {"192.0.2.9"}, .bTruncated = true}},
        {"garbage.test", {.a = {"192.0.2.6"}, .bGarbage = true}},
    });
    const strings all{"192.0.2.1", "192.0.2.2", "2001:db8::1"};
    const struct {
        std::string name;
        strings addrs;
        std::string reason;
    } cases[] = {
        {"a.test", all, ""},
        {"A.Test.", all, ""},
        {"v4.test", {"192.0.2.3"}, ""},
        {"www.test", all, ""},
        {"big.test", {"192.0.2.9"}, ""},
        {"empty.test", {}, "no address"},
        {"missing.test", {}, "no such name"},
        {"fail.test", {}, "server failure"},
        {"refused.test", {}, "refused"},
        {"silent.test", {}, "timed out"},
        {"half.test", {}, "timed out"},
        {"garbage.test", {}, "bad answer"},
        {"*.a.test", {}, "wildcard"},
        {"a..test", {}, "bad name"},
        {"a b.test", {}, "bad name"},
        {std::string("a.test\0.x", 9), {}, "bad name"},
        {"127.0.0.1", {}, "bad name"},
    };
    strings names;
    for (const auto& c : cases)
        names.push_back(c.name);
    // One question at a time, and all at once.
    for (const int nMaxInFlight : {1, 256}) {
        dns::tagResolveOptions options;
        options.nTries = 2;
        options.tryTimeout = std::chrono::milliseconds(200);
        options.nMaxInFlight = nMaxInFlight;
        std::vector<dns::tagAnswer> answers;
        std::string strError;
        ASSERT_TRUE(dns::resolveAll(names, server.address(), answers, strError, options)) << strError;
        ASSERT_EQ(answers.size(), names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(answers[i].vecAddrs, cases[i].addrs) << names[i] << ' ' << nMaxInFlight;
            EXPECT_EQ(answers[i].strReason, cases[i].reason) << names[i] << ' ' << nMaxInFlight;
        }
    }
    // Each question is asked once per try, and each name once however the list writes it.
    EXPECT_EQ(server.timesAsked("silent.test A"), 4);
    EXPECT_EQ(server.timesAsked("a.test A"), 2);
}

TEST(ResolveTest, AServerThatNeverAnswersFailsTheCall) {
    // One socket that takes the questions and says nothing, and one port where nothing listens:
    // the call gives up after the first questions rather than wait as long for each of the others.
    const int fdSilent = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int fdClosed = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::string servers[2];
    for (int i = 0; i < 2; ++i) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof addr;
        const int fd = i == 0 ? fdSilent : fdClosed;
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), nLen), 0);
        ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen), 0);
        servers[i] = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    }
    ::close(fdClosed);
    strings names;
    for (int i = 0; i < 2000; ++i)
        names.push_back("n" + std::to_string(i) + ".test");
    for (const std::string& strServer : servers) {
        dns::tagResolveOptions options;
        options.nTries = 2;
        options.tryTimeout = std::chrono::milliseconds(100);
        std::vector<dns::tagAnswer> answers;
        std::string strError;
        EXPECT_FALSE(dns::resolveAll(names, strServer, answers, strError, options)) << strServer;
        EXPECT_NE(strError.find(strServer), std::string::npos) << strError;
        ASSERT_EQ(answers.size(), names.size());
        // The first questions were asked in vain, the others never.
        EXPECT_EQ(answers.front().strReason, "timed out");
        EXPECT_EQ(answers.back().strReason, "not asked");
        EXPECT_TRUE(std::all_of(answers.begin(), answers.end(), [](const dns::tagAnswer& answer) {
            return answer.vecAddrs.empty() &&
                   (answer.strReason == "timed out" || answer.strReason == "not asked");
        })) << strServer;
    }
    ::close(fdSilent);
}

TEST(ResolveTest, SystemResolver) {
    const strings names{"localhost", "*.localhost", "local..host", "2130706433", "0x7f.1"};
    std::vector<dns::tagAnswer> answers;
    std::string strError;
    ASSERT_TRUE(dns::resolveAll(names, "", answers, strError)) << strError;
    const strings& local = answers[0].vecAddrs;
    EXPECT_TRUE(std::count(local.begin(), local.end(), "127.0.0.1") +
                std::count(local.begin(), local.end(), "::1"))
        << answers[0].strReason;
    const char* reasons[] = {"", "wildcard", "bad name", "bad name", "bad name"};
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(answers[i].strReason, reasons[i]) << names[i];
}

#endif

} // namespace
