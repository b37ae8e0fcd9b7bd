#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The addresses of many names at once, for a check before certificates are ordered that a name
// points at this server: through the system's resolver, or through a DNS server of the user's
// choice asked directly over UDP with many questions in flight.
namespace dns {

// A name's addresses in the system's text form ("192.0.2.1", "2001:db8::1"), or when it has none,
// why: "no such name", "no address" (the name exists without one), "server failure", "refused",
// "timed out", "bad answer", "bad name" (not a host name that can be asked), "wildcard", "not asked"
// (the call failed first).
struct tagAnswer {
    std::vector<std::string> vecAddrs;
    std::string strReason;
};

struct tagResolveOptions {
    // For a DNS server asked directly: how often a question is sent, and how long each waits.
    int nTries = 3;
    std::chrono::milliseconds tryTimeout{1000};
    // Questions sent and not yet answered at any one time.
    int nMaxInFlight = 256;
    // The system's resolver blocks on each name: that many are asked at once.
    int nThreads = 32;
};

// Resolves every name for IPv4 and IPv6 addresses; vecAnswers gets one answer per name, in the
// same order. With strServer empty the system's resolver is asked, else the DNS server at
// "ADDR[:PORT]" ("192.0.2.53", "127.0.0.1:8053", "[::1]:53"; port 53 when none). A name's
// addresses count only when both of its questions were answered: a failure of either is the
// name's reason, so that a name is never taken to point only where part of its addresses do.
// False with strError when the whole call failed (a bad server address, no socket, a server
// that answers nothing at all), with every answer still given.
bool resolveAll(const std::vector<std::string>& vecNames, const std::string& strServer,
                std::vector<tagAnswer>& vecAnswers, std::string& strError,
                const tagResolveOptions& options = {});

// This machine's own addresses on interfaces that are up, loopback included, in the same text
// form as the answers.
std::vector<std::string> localAddresses();

inline constexpr std::uint16_t kTypeA = 1;
inline constexpr std::uint16_t kTypeAAAA = 28;

// The question for strName (no trailing dot) and nType with the given id, recursion desired;
// empty when the name cannot be put in a question (an empty label, one over 63 bytes, a name over
// 255 bytes).
std::string buildQuery(std::uint16_t nId, std::string_view strName, std::uint16_t nType);

enum class EReply {
    Addresses,     // vecAddrs: those of the type asked, possibly none
    NoName,        // the name does not exist
    ServerFailure, // the server could not answer
    Refused,       // the server would not answer
    Truncated,     // too long for UDP: to be asked again over TCP
    Bad,           // malformed
    Foreign,       // not the answer to this question (another id or question): to be ignored
};

struct tagReply {
    EReply eKind = EReply::Bad;
    std::vector<std::string> vecAddrs;
};

// Reads a server's response to the question (nId, strName, nType). Every count, length and
// compression pointer is checked against the packet. Addresses are those of the name itself or
// of the names it is an alias of (CNAME records in the answer, followed from the name); records of
// other names are ignored.
tagReply parseAnswer(std::string_view packet, std::uint16_t nId, std::string_view strName,
                     std::uint16_t nType);

} // namespace dns
