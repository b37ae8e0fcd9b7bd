#include "core/Resolve.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, whose types it uses.
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/FileUtil.h"
#endif

namespace dns {

namespace {

using tagClock = std::chrono::steady_clock;

constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::uint16_t kFlagTruncated = 0x0200;
constexpr std::uint16_t kFlagRecursionDesired = 0x0100;
constexpr int kRcodeNoName = 3;
constexpr int kRcodeRefused = 5;
// Compression pointers followed within one name, and aliases followed from the name asked: a
// packet that loops stops there.
constexpr int kMaxJumps = 32;
constexpr int kMaxAliases = 16;
// The most a name takes in a packet, length bytes and the final zero included.
constexpr std::size_t kMaxWireName = 255;

const char kNoSuchName[] = "no such name";
const char kNoAddress[] = "no address";
const char kServerFailure[] = "server failure";
const char kRefused[] = "refused";
const char kTimedOut[] = "timed out";
const char kBadAnswer[] = "bad answer";
const char kBadName[] = "bad name";
const char kWildcard[] = "wildcard";
const char kNotAsked[] = "not asked";

char lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

unsigned byteAt(std::string_view packet, std::size_t nPos) {
    return static_cast<unsigned char>(packet[nPos]);
}

std::uint16_t read16(std::string_view packet, std::size_t nPos) {
    return static_cast<std::uint16_t>(byteAt(packet, nPos) << 8 | byteAt(packet, nPos + 1));
}

void append16(std::string& str, std::uint16_t n) {
    str += static_cast<char>(n >> 8);
    str += static_cast<char>(n & 0xFF);
}

// A dotted name in its form on the wire, lower case: length-prefixed labels and a final zero.
bool wireName(std::string_view strName, std::string& strWire) {
    strWire.clear();
    if (strName.empty())
        return false;
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nDot = std::min(strName.find('.', nStart), strName.size());
        const std::size_t nLen = nDot - nStart;
        if (nLen == 0 || nLen > 63)
            return false;
        strWire += static_cast<char>(nLen);
        for (std::size_t i = nStart; i < nDot; ++i)
            strWire += lower(strName[i]);
        if (nDot == strName.size())
            break;
        nStart = nDot + 1;
    }
    strWire += '\0';
    return strWire.size() <= kMaxWireName;
}

// Reads the name at nPos, compressed or not, into its wire form in lower case, and moves nPos past
// it as it stands in the packet. False when the name is malformed or leaves the packet.
bool readName(std::string_view packet, std::size_t& nPos, std::string& strWire) {
    strWire.clear();
    std::size_t nAt = nPos;
    bool bJumped = false;
    int nJumps = 0;
    for (;;) {
        if (nAt >= packet.size())
            return false;
        const unsigned nLen = byteAt(packet, nAt);
        if ((nLen & 0xC0) == 0xC0) {
            if (nAt + 1 >= packet.size() || ++nJumps > kMaxJumps)
                return false;
            if (!bJumped)
                nPos = nAt + 2;
            bJumped = true;
            nAt = (nLen & 0x3F) << 8 | byteAt(packet, nAt + 1);
            continue;
        }
        // 0x40 and 0x80 mark label types no longer in use.
        if (nLen & 0xC0)
            return false;
        if (nLen == 0) {
            strWire += '\0';
            if (!bJumped)
                nPos = nAt + 1;
            return true;
        }
        if (nAt + 1 + nLen > packet.size() || strWire.size() + 1 + nLen + 1 > kMaxWireName)
            return false;
        strWire += static_cast<char>(nLen);
        for (std::size_t i = 0; i < nLen; ++i)
            strWire += lower(packet[nAt + 1 + i]);
        nAt += 1 + nLen;
    }
}

std::string addressText(int nFamily, const void* pAddr) {
    char buffer[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(nFamily, pAddr, buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

void addUnique(std::vector<std::string>& vec, std::string str) {
    if (!str.empty() && std::find(vec.begin(), vec.end(), str) == vec.end())
        vec.push_back(std::move(str));
}

// What the list may hold that can be asked: letters, digits, hyphens and underscores in labels of
// 1 to 63, at most 253 in all, a trailing dot aside. Anything else (a space, a NUL, a backslash
// the system's resolver would read as an escape) is not sent anywhere.
bool isHostName(std::string_view strName) {
    if (strName.empty() || strName.size() > 253)
        return false;
    std::size_t nLabel = 0;
    for (const char ch : strName) {
        if (ch == '.') {
            if (nLabel == 0)
                return false;
            nLabel = 0;
            continue;
        }
        const bool bAllowed = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                              (ch >= '0' && ch <= '9') || ch == '-' || ch == '_';
        if (!bAllowed || ++nLabel > 63)
            return false;
    }
    return nLabel > 0;
}

// Sockets, the same on both systems.

#ifdef _WIN32
using tagSocket = SOCKET;
const tagSocket kNoSocket = INVALID_SOCKET;
using tagAddrLen = int;

// Winsock, started for as long as a call needs it.
class CWinsock {
public:
    CWinsock() {
        WSADATA data;
        m_bStarted = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~CWinsock() {
        if (m_bStarted)
            ::WSACleanup();
    }
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
    bool started() const { return m_bStarted; }

private:
    bool m_bStarted = false;
};

int lastSocketError() {
    return ::WSAGetLastError();
}
std::string socketErrorText(int nError) {
    return std::system_category().message(nError);
}
bool isWouldBlock(int nError) {
    return nError == WSAEWOULDBLOCK || nError == WSAENOBUFS;
}
bool isInProgress(int nError) {
    return nError == WSAEWOULDBLOCK || nError == WSAEINPROGRESS;
}
// An ICMP "port unreachable" for an earlier datagram, which Windows reports as a reset.
bool isRefused(int nError) {
    return nError == WSAECONNRESET || nError == WSAECONNREFUSED;
}
bool isInterrupted(int nError) {
    return nError == WSAEINTR;
}
tagSocket openSocket(int nFamily, int nType) {
    const tagSocket hSocket = ::socket(nFamily, nType, 0);
    u_long nNonBlocking = 1;
    if (hSocket != kNoSocket && ::ioctlsocket(hSocket, FIONBIO, &nNonBlocking) != 0) {
        ::closesocket(hSocket);
        return kNoSocket;
    }
    return hSocket;
}
void closeSocket(tagSocket hSocket) {
    ::closesocket(hSocket);
}
int pollSocket(pollfd& pfd, int nTimeoutMs) {
    return ::WSAPoll(&pfd, 1, nTimeoutMs);
}
long sendBytes(tagSocket hSocket, const char* pData, std::size_t nSize) {
    return ::send(hSocket, pData, static_cast<int>(nSize), 0);
}
long recvBytes(tagSocket hSocket, char* pData, std::size_t nSize) {
    return ::recv(hSocket, pData, static_cast<int>(nSize), 0);
}
#else
using tagSocket = int;
constexpr tagSocket kNoSocket = -1;
using tagAddrLen = socklen_t;

int lastSocketError() {
    return errno;
}
std::string socketErrorText(int nError) {
    return file::errorText(nError);
}
bool isWouldBlock(int nError) {
    return nError == EAGAIN || nError == EWOULDBLOCK || nError == ENOBUFS;
}
bool isInProgress(int nError) {
    return nError == EINPROGRESS;
}
// An ICMP "port unreachable" for an earlier datagram.
bool isRefused(int nError) {
    return nError == ECONNREFUSED;
}
bool isInterrupted(int nError) {
    return nError == EINTR;
}
tagSocket openSocket(int nFamily, int nType) {
    return ::socket(nFamily, nType | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}
void closeSocket(tagSocket hSocket) {
    ::close(hSocket);
}
int pollSocket(pollfd& pfd, int nTimeoutMs) {
    return ::poll(&pfd, 1, nTimeoutMs);
}
long sendBytes(tagSocket hSocket, const char* pData, std::size_t nSize) {
    return ::send(hSocket, pData, nSize, MSG_NOSIGNAL);
}
long recvBytes(tagSocket hSocket, char* pData, std::size_t nSize) {
    return ::recv(hSocket, pData, nSize, 0);
}
#endif

// Closes the socket when it goes out of scope.
class CSocket {
public:
    explicit CSocket(tagSocket hSocket) : m_hSocket(hSocket) {}
    ~CSocket() {
        if (m_hSocket != kNoSocket)
            closeSocket(m_hSocket);
    }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;
    tagSocket get() const { return m_hSocket; }

private:
    tagSocket m_hSocket;
};

int msUntil(tagClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - tagClock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60 * 1000));
}

// Waits until the socket can be read (or written) or the deadline passes; false on the deadline.
bool waitSocket(tagSocket hSocket, bool bWrite, tagClock::time_point deadline) {
    for (;;) {
        const int nWait = msUntil(deadline);
        pollfd pfd{};
        pfd.fd = hSocket;
        pfd.events = bWrite ? POLLOUT : POLLIN;
        const int nReady = pollSocket(pfd, nWait);
        if (nReady > 0)
            return true;
        if ((nReady == 0 && nWait == 0) || (nReady < 0 && !isInterrupted(lastSocketError())))
            return false;
    }
}

struct tagServer {
    sockaddr_storage addr{};
    tagAddrLen nLen = 0;
};

// "ADDR[:PORT]": a dotted IPv4 address, an IPv6 address in brackets (or bare, without a port).
bool parseServer(const std::string& strServer, tagServer& server) {
    std::string strHost = strServer;
    std::string strPort = "53";
    bool bV6 = false;
    if (strServer.starts_with('[')) {
        const std::size_t nClose = strServer.find(']');
        if (nClose == std::string::npos)
            return false;
        strHost = strServer.substr(1, nClose - 1);
        const std::string strRest = strServer.substr(nClose + 1);
        if (!strRest.empty()) {
            if (!strRest.starts_with(':'))
                return false;
            strPort = strRest.substr(1);
        }
        bV6 = true;
    } else if (std::count(strServer.begin(), strServer.end(), ':') == 1) {
        const std::size_t nColon = strServer.find(':');
        strHost = strServer.substr(0, nColon);
        strPort = strServer.substr(nColon + 1);
    } else {
        bV6 = strServer.find(':') != std::string::npos;
    }
    if (strPort.empty() || strPort.size() > 5 ||
        !std::all_of(strPort.begin(), strPort.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
        return false;
    const int nPort = std::stoi(strPort);
    if (nPort < 1 || nPort > 65535)
        return false;
    if (bV6) {
        sockaddr_in6 addr6{};
        addr6.sin6_family = AF_INET6;
        addr6.sin6_port = htons(static_cast<std::uint16_t>(nPort));
        if (::inet_pton(AF_INET6, strHost.c_str(), &addr6.sin6_addr) != 1)
            return false;
        std::memcpy(&server.addr, &addr6, sizeof addr6);
        server.nLen = sizeof addr6;
    } else {
        sockaddr_in addr4{};
        addr4.sin_family = AF_INET;
        addr4.sin_port = htons(static_cast<std::uint16_t>(nPort));
        if (::inet_pton(AF_INET, strHost.c_str(), &addr4.sin_addr) != 1)
            return false;
        std::memcpy(&server.addr, &addr4, sizeof addr4);
        server.nLen = sizeof addr4;
    }
    return true;
}

const sockaddr* serverAddr(const tagServer& server) {
    return reinterpret_cast<const sockaddr*>(&server.addr);
}

// Runs fnWork(i) for every i below nCount on up to nThreads threads (fewer when the system
// gives fewer), the calling one among them.
void forEachParallel(std::size_t nCount, int nThreads, const std::function<void(std::size_t)>& fnWork) {
    std::atomic<std::size_t> nNext{0};
    const auto work = [&] {
        for (std::size_t i = nNext++; i < nCount; i = nNext++)
            fnWork(i);
    };
    const std::size_t nMore =
        std::min<std::size_t>(nCount, static_cast<std::size_t>(std::max(nThreads, 1))) - 1;
    std::vector<std::thread> vecThreads;
    for (std::size_t i = 0; i < nMore && nCount > 0; ++i) {
        try {
            vecThreads.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    work();
    for (std::thread& thread : vecThreads)
        thread.join();
}

// The system's resolver.

const char* reasonOfLookup(int nError) {
    if (nError == EAI_NONAME)
        return kNoSuchName;
#if defined(EAI_NODATA) && EAI_NODATA != EAI_NONAME
    if (nError == EAI_NODATA)
        return kNoAddress;
#endif
#ifdef EAI_ADDRFAMILY
    if (nError == EAI_ADDRFAMILY)
        return kNoAddress;
#endif
    // EAI_AGAIN and EAI_FAIL: the resolver got no usable answer.
    return kServerFailure;
}

// Whether the system reads the name as an address ("127.1", "2130706433", "0x7f.1"): it would
// answer with that address without asking anyone, so such a name is no host name.
bool isAddressLiteral(const std::string& strName) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* pList = nullptr;
    if (::getaddrinfo(strName.c_str(), nullptr, &hints, &pList) != 0)
        return false;
    ::freeaddrinfo(pList);
    return true;
}

tagAnswer lookUp(const std::string& strName) {
    tagAnswer answer;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    // One entry per address rather than one per kind of socket.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const int nError = ::getaddrinfo(strName.c_str(), nullptr, &hints, &pList);
    if (nError != 0) {
        answer.strReason = reasonOfLookup(nError);
        return answer;
    }
    for (const addrinfo* p = pList; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in addr4{};
            std::memcpy(&addr4, p->ai_addr, sizeof addr4);
            addUnique(answer.vecAddrs, addressText(AF_INET, &addr4.sin_addr));
        } else if (p->ai_family == AF_INET6 && p->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 addr6{};
            std::memcpy(&addr6, p->ai_addr, sizeof addr6);
            addUnique(answer.vecAddrs, addressText(AF_INET6, &addr6.sin6_addr));
        }
    }
    ::freeaddrinfo(pList);
    if (answer.vecAddrs.empty())
        answer.strReason = kNoAddress;
    return answer;
}

// A DNS server asked directly.

struct tagQuery {
    std::string strPacket;
    std::uint16_t nId = 0;
    int nSent = 0;
    bool bDone = false;
    bool bTimedOut = false;
    tagReply reply;
};

std::uint16_t typeOfQuery(std::size_t nQuery) {
    return nQuery % 2 == 0 ? kTypeA : kTypeAAAA;
}

// A truncated answer asked again over TCP, with the same question.
void askOverTcp(const tagServer& server, const std::string& strName, std::uint16_t nType,
                const tagResolveOptions& options, tagQuery& query) {
    query.reply = {};
    query.bTimedOut = false;
    std::string strOut;
    append16(strOut, static_cast<std::uint16_t>(query.strPacket.size()));
    strOut += query.strPacket;
    for (int nTry = 0; nTry < std::max(options.nTries, 1); ++nTry) {
        const tagClock::time_point deadline = tagClock::now() + options.tryTimeout;
        CSocket socket(openSocket(server.addr.ss_family, SOCK_STREAM));
        if (socket.get() == kNoSocket)
            return;
        if (::connect(socket.get(), serverAddr(server), server.nLen) != 0) {
            if (!isInProgress(lastSocketError()))
                continue;
            if (!waitSocket(socket.get(), true, deadline)) {
                query.bTimedOut = true;
                continue;
            }
            int nError = 0;
            tagAddrLen nErrorLen = sizeof nError;
            ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nErrorLen);
            if (nError != 0)
                continue;
        }
        bool bFailed = false;
        for (std::size_t nDone = 0; nDone < strOut.size() && !bFailed;) {
            const long n = sendBytes(socket.get(), strOut.data() + nDone, strOut.size() - nDone);
            if (n > 0)
                nDone += static_cast<std::size_t>(n);
            else if (n < 0 && isWouldBlock(lastSocketError()) && waitSocket(socket.get(), true, deadline))
                continue;
            else
                bFailed = true;
        }
        std::string strIn;
        char buffer[4096];
        while (!bFailed && (strIn.size() < 2 || strIn.size() < 2u + read16(strIn, 0))) {
            const long n = recvBytes(socket.get(), buffer, sizeof buffer);
            if (n > 0)
                strIn.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && (isWouldBlock(lastSocketError()) || isInterrupted(lastSocketError())))
                bFailed = !waitSocket(socket.get(), false, deadline);
            else
                bFailed = true;
        }
        if (bFailed) {
            query.bTimedOut = tagClock::now() >= deadline;
            continue;
        }
        query.bTimedOut = false;
        query.reply =
            parseAnswer(std::string_view(strIn).substr(2, read16(strIn, 0)), query.nId, strName, nType);
        // Over TCP the whole answer fits; an answer that is still cut, or to another question, is wrong.
        if (query.reply.eKind == EReply::Truncated || query.reply.eKind == EReply::Foreign)
            query.reply = {};
        return;
    }
}

// Asks the server for the A and AAAA records of every name (query 2i for name i's A, 2i + 1 for
// its AAAA), up to options.nMaxInFlight at a time on one socket.
bool askServer(const tagServer& server, const std::string& strServer,
               const std::vector<std::string>& vecNames, const tagResolveOptions& options,
               std::vector<tagQuery>& vecQueries, std::string& strError) {
    vecQueries.assign(vecNames.size() * 2, {});
    if (vecQueries.empty())
        return true;
    // The call ends here: a question sent and not answered has timed out, one not sent is not asked.
    const auto giveUp = [&](std::string strWhy) {
        for (tagQuery& query : vecQueries)
            query.bTimedOut = query.bTimedOut || (!query.bDone && query.nSent > 0);
        strError = std::move(strWhy);
        return false;
    };
    CSocket socket(openSocket(server.addr.ss_family, SOCK_DGRAM));
    if (socket.get() == kNoSocket)
        return giveUp("cannot open a socket: " + socketErrorText(lastSocketError()));
    // Only the server's datagrams reach this socket, and a closed port is said.
    if (::connect(socket.get(), serverAddr(server), server.nLen) != 0)
        return giveUp(strServer + ": " + socketErrorText(lastSocketError()));
    // Room for the answers that come while the last ones are read.
    const int nReceiveBuffer = 1 << 20;
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&nReceiveBuffer),
                 sizeof nReceiveBuffer);

    const int nTries = std::max(options.nTries, 1);
    const std::size_t nMaxInFlight = static_cast<std::size_t>(std::clamp(options.nMaxInFlight, 1, 4096));
    // Ids are random, so that an answer is hard to forge from elsewhere, and unique among the
    // questions in flight; the id leads to its question.
    std::vector<std::int32_t> vecQueryOfId(65536, -1);
    std::mt19937 random(std::random_device{}());
    struct tagWait {
        tagClock::time_point deadline;
        std::size_t nQuery;
        int nTry;
    };
    // Every try waits as long, so the waits end in the order they began.
    std::deque<tagWait> waits;
    std::deque<std::size_t> toSend;
    std::size_t nNextNew = 0;
    std::size_t nInFlight = 0;
    std::size_t nLeft = vecQueries.size();
    bool bHeardFromServer = false;
    bool bRefused = false;
    std::string strLastError;

    const auto finish = [&](std::size_t nQuery) {
        tagQuery& query = vecQueries[nQuery];
        vecQueryOfId[query.nId] = -1;
        query.bDone = true;
        --nInFlight;
        --nLeft;
    };

    std::string strBuffer(65536, '\0');
    while (nLeft > 0) {
        bool bBlocked = false;
        for (;;) {
            if (toSend.empty() && nInFlight < nMaxInFlight && nNextNew < vecQueries.size()) {
                tagQuery& query = vecQueries[nNextNew];
                do {
                    query.nId = static_cast<std::uint16_t>(random() & 0xFFFF);
                } while (vecQueryOfId[query.nId] >= 0);
                vecQueryOfId[query.nId] = static_cast<std::int32_t>(nNextNew);
                query.strPacket = buildQuery(query.nId, vecNames[nNextNew / 2], typeOfQuery(nNextNew));
                ++nInFlight;
                toSend.push_back(nNextNew++);
            }
            if (toSend.empty())
                break;
            tagQuery& query = vecQueries[toSend.front()];
            // Its earlier try was answered while this one waited its turn.
            if (query.bDone) {
                toSend.pop_front();
                continue;
            }
            if (sendBytes(socket.get(), query.strPacket.data(), query.strPacket.size()) < 0) {
                const int nError = lastSocketError();
                if (isWouldBlock(nError)) {
                    bBlocked = true;
                    break;
                }
                // Taken as sent and lost: it is sent again when its wait is over.
                if (isRefused(nError))
                    bRefused = true;
                else if (!isInterrupted(nError))
                    strLastError = socketErrorText(nError);
            }
            ++query.nSent;
            waits.push_back({tagClock::now() + options.tryTimeout, toSend.front(), query.nSent});
            toSend.pop_front();
        }

        pollfd pfd{};
        pfd.fd = socket.get();
        pfd.events = static_cast<short>(POLLIN | (bBlocked ? POLLOUT : 0));
        const int nReady = pollSocket(pfd, waits.empty() ? 100 : msUntil(waits.front().deadline));
        if (nReady < 0 && !isInterrupted(lastSocketError()))
            return giveUp("waiting for " + strServer + ": " + socketErrorText(lastSocketError()));
        for (;;) {
            const long n = recvBytes(socket.get(), strBuffer.data(), strBuffer.size());
            if (n < 0) {
                const int nError = lastSocketError();
                if (isRefused(nError)) {
                    bRefused = true;
                    continue;
                }
                if (isInterrupted(nError))
                    continue;
                if (!isWouldBlock(nError))
                    strLastError = socketErrorText(nError);
                break;
            }
            bHeardFromServer = true;
            const std::string_view packet(strBuffer.data(), static_cast<std::size_t>(n));
            if (packet.size() < 2 || vecQueryOfId[read16(packet, 0)] < 0)
                continue;
            const auto nQuery = static_cast<std::size_t>(vecQueryOfId[read16(packet, 0)]);
            tagQuery& query = vecQueries[nQuery];
            tagReply reply = parseAnswer(packet, query.nId, vecNames[nQuery / 2], typeOfQuery(nQuery));
            if (reply.eKind == EReply::Foreign)
                continue;
            query.reply = std::move(reply);
            finish(nQuery);
        }

        const tagClock::time_point now = tagClock::now();
        while (!waits.empty() && waits.front().deadline <= now) {
            const tagWait wait = waits.front();
            waits.pop_front();
            tagQuery& query = vecQueries[wait.nQuery];
            // Answered meanwhile, or sent again since.
            if (query.bDone || query.nSent != wait.nTry)
                continue;
            if (query.nSent < nTries) {
                toSend.push_back(wait.nQuery);
                continue;
            }
            query.bTimedOut = true;
            finish(wait.nQuery);
            // Nothing at all from the server while a question used up its tries: it is not there,
            // and every other name would wait as long for nothing.
            if (!bHeardFromServer)
                return giveUp("no answer from the DNS server at " + strServer +
                              (bRefused               ? " (connection refused)"
                               : strLastError.empty() ? ""
                                                      : " (" + strLastError + ")"));
        }
    }

    std::vector<std::size_t> vecTruncated;
    for (std::size_t i = 0; i < vecQueries.size(); ++i)
        if (!vecQueries[i].bTimedOut && vecQueries[i].reply.eKind == EReply::Truncated)
            vecTruncated.push_back(i);
    forEachParallel(vecTruncated.size(), options.nThreads, [&](std::size_t i) {
        const std::size_t nQuery = vecTruncated[i];
        askOverTcp(server, vecNames[nQuery / 2], typeOfQuery(nQuery), options, vecQueries[nQuery]);
    });
    return true;
}

// Why a question got no addresses, or empty when it was answered with or without some.
const char* failureOf(const tagQuery& query) {
    if (query.bTimedOut)
        return kTimedOut;
    if (!query.bDone)
        return kNotAsked;
    switch (query.reply.eKind) {
    case EReply::Addresses:
    case EReply::NoName:
        return "";
    case EReply::ServerFailure:
        return kServerFailure;
    case EReply::Refused:
        return kRefused;
    default:
        return kBadAnswer;
    }
}

tagAnswer combine(const tagQuery& queryA, const tagQuery& queryAAAA) {
    tagAnswer answer;
    for (const tagQuery* pQuery : {&queryA, &queryAAAA}) {
        if (*failureOf(*pQuery)) {
            answer.strReason = failureOf(*pQuery);
            return answer;
        }
    }
    for (const tagQuery* pQuery : {&queryA, &queryAAAA})
        for (const std::string& strAddr : pQuery->reply.vecAddrs)
            addUnique(answer.vecAddrs, strAddr);
    if (answer.vecAddrs.empty())
        answer.strReason = queryA.reply.eKind == EReply::NoName && queryAAAA.reply.eKind == EReply::NoName
                               ? kNoSuchName
                               : kNoAddress;
    return answer;
}

} // namespace

std::string buildQuery(std::uint16_t nId, std::string_view strName, std::uint16_t nType) {
    std::string strWire;
    if (!wireName(strName, strWire))
        return {};
    std::string strPacket;
    strPacket.reserve(12 + strWire.size() + 4);
    append16(strPacket, nId);
    append16(strPacket, kFlagRecursionDesired);
    append16(strPacket, 1);
    append16(strPacket, 0);
    append16(strPacket, 0);
    append16(strPacket, 0);
    strPacket += strWire;
    append16(strPacket, nType);
    append16(strPacket, kClassIn);
    return strPacket;
}

tagReply parseAnswer(std::string_view packet, std::uint16_t nId, std::string_view strName,
                     std::uint16_t nType) {
    tagReply reply;
    std::string strAsked;
    if (!wireName(strName, strAsked) || (packet.size() >= 2 && read16(packet, 0) != nId)) {
        reply.eKind = EReply::Foreign;
        return reply;
    }
    if (packet.size() < 12)
        return reply;
    const std::uint16_t nFlags = read16(packet, 2);
    const int nOpcode = nFlags >> 11 & 0xF;
    const int nRcode = nFlags & 0xF;
    const std::uint16_t nQuestions = read16(packet, 4);
    const std::uint16_t nAnswers = read16(packet, 6);
    // A server may leave the question out of an error it returns; never out of an answer.
    const bool bErrorWithoutQuestion = nQuestions == 0 && nRcode != 0;
    if (!(nFlags & kFlagResponse) || nOpcode != 0 || (nQuestions != 1 && !bErrorWithoutQuestion)) {
        reply.eKind = EReply::Foreign;
        return reply;
    }
    std::size_t nPos = 12;
    if (nQuestions == 1) {
        std::string strQuestion;
        if (!readName(packet, nPos, strQuestion) || nPos + 4 > packet.size())
            return reply;
        if (strQuestion != strAsked || read16(packet, nPos) != nType ||
            read16(packet, nPos + 2) != kClassIn) {
            reply.eKind = EReply::Foreign;
            return reply;
        }
        nPos += 4;
        if (nFlags & kFlagTruncated) {
            reply.eKind = EReply::Truncated;
            return reply;
        }
    }
    if (nRcode != 0) {
        reply.eKind = nRcode == kRcodeNoName    ? EReply::NoName
                      : nRcode == kRcodeRefused ? EReply::Refused
                                                : EReply::ServerFailure;
        return reply;
    }

    std::vector<std::pair<std::string, std::string>> vecAliases;   // owner, target
    std::vector<std::pair<std::string, std::string>> vecAddresses; // owner, address
    for (std::uint16_t i = 0; i < nAnswers; ++i) {
        std::string strOwner;
        if (!readName(packet, nPos, strOwner) || nPos + 10 > packet.size())
            return reply;
        const std::uint16_t nRecordType = read16(packet, nPos);
        const std::uint16_t nClass = read16(packet, nPos + 2);
        const std::size_t nDataLen = read16(packet, nPos + 8);
        nPos += 10;
        if (nPos + nDataLen > packet.size())
            return reply;
        const std::size_t nEnd = nPos + nDataLen;
        if (nClass == kClassIn && (nRecordType == kTypeA || nRecordType == kTypeAAAA)) {
            const bool bV4 = nRecordType == kTypeA;
            if (nDataLen != (bV4 ? 4u : 16u))
                return reply;
            if (nRecordType == nType)
                vecAddresses.emplace_back(std::move(strOwner),
                                          addressText(bV4 ? AF_INET : AF_INET6, packet.data() + nPos));
        } else if (nClass == kClassIn && nRecordType == kTypeCname) {
            std::string strTarget;
            std::size_t nAt = nPos;
            if (!readName(packet, nAt, strTarget) || nAt != nEnd)
                return reply;
            vecAliases.emplace_back(std::move(strOwner), std::move(strTarget));
        }
        nPos = nEnd;
    }

    // The name asked and the names it is an alias of, in the order the aliases lead.
    std::vector<std::string> vecOwners{strAsked};
    for (int n = 0; n < kMaxAliases; ++n) {
        const auto it = std::find_if(vecAliases.begin(), vecAliases.end(),
                                     [&](const auto& alias) { return alias.first == vecOwners.back(); });
        if (it == vecAliases.end() ||
            std::find(vecOwners.begin(), vecOwners.end(), it->second) != vecOwners.end())
            break;
        vecOwners.push_back(it->second);
    }
    reply.eKind = EReply::Addresses;
    std::set<std::string> setSeen;
    for (auto& [strOwner, strAddr] : vecAddresses)
        if (std::find(vecOwners.begin(), vecOwners.end(), strOwner) != vecOwners.end() &&
            setSeen.insert(strAddr).second)
            reply.vecAddrs.push_back(std::move(strAddr));
    return reply;
}

bool resolveAll(const std::vector<std::string>& vecNames, const std::string& strServer,
                std::vector<tagAnswer>& vecAnswers, std::string& strError, const tagResolveOptions& options) {
    vecAnswers.assign(vecNames.size(), {});
    strError.clear();
    const auto notAsked = [&](std::string strWhy) {
        for (tagAnswer& answer : vecAnswers)
            if (answer.strReason.empty())
                answer.strReason = kNotAsked;
        strError = std::move(strWhy);
        return false;
    };
#ifdef _WIN32
    const CWinsock winsock;
    if (!winsock.started())
        return notAsked("cannot start Winsock: " + socketErrorText(lastSocketError()));
#endif

    // Each name is asked once, whatever its case and however often the list has it.
    std::vector<std::string> vecAsked;
    std::vector<std::size_t> vecAskedOf(vecNames.size(), 0);
    std::unordered_map<std::string, std::size_t> mapAsked;
    for (std::size_t i = 0; i < vecNames.size(); ++i) {
        std::string_view strName = vecNames[i];
        if (strName.starts_with("*.")) {
            vecAnswers[i].strReason = kWildcard;
            continue;
        }
        if (strName.ends_with('.'))
            strName.remove_suffix(1);
        std::string strLower(strName);
        std::transform(strLower.begin(), strLower.end(), strLower.begin(), lower);
        if (!isHostName(strLower) || isAddressLiteral(strLower)) {
            vecAnswers[i].strReason = kBadName;
            continue;
        }
        const auto [it, bNew] = mapAsked.try_emplace(strLower, vecAsked.size());
        if (bNew)
            vecAsked.push_back(std::move(strLower));
        vecAskedOf[i] = it->second;
    }
    tagServer server;
    if (!strServer.empty() && !parseServer(strServer, server))
        return notAsked("not a DNS server address (ADDR or ADDR:PORT, an IPv6 address in brackets): " +
                        strServer);

    std::vector<tagAnswer> vecAskedAnswers(vecAsked.size());
    bool bOk = true;
    if (strServer.empty()) {
        forEachParallel(vecAsked.size(), options.nThreads,
                        [&](std::size_t i) { vecAskedAnswers[i] = lookUp(vecAsked[i]); });
    } else {
        std::vector<tagQuery> vecQueries;
        bOk = askServer(server, strServer, vecAsked, options, vecQueries, strError);
        for (std::size_t i = 0; i < vecAsked.size(); ++i)
            vecAskedAnswers[i] = combine(vecQueries[i * 2], vecQueries[i * 2 + 1]);
    }
    for (std::size_t i = 0; i < vecNames.size(); ++i)
        if (vecAnswers[i].strReason.empty())
            vecAnswers[i] = vecAskedAnswers[vecAskedOf[i]];
    return bOk;
}

std::vector<std::string> localAddresses() {
    std::vector<std::string> vecAddrs;
#ifdef _WIN32
    const CWinsock winsock;
    // The list's size is known only once asked; it may grow between two calls.
    std::vector<std::uint64_t> vecBuffer;
    ULONG nSize = 16 * 1024;
    ULONG nResult = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < 4 && nResult == ERROR_BUFFER_OVERFLOW; ++nTry) {
        vecBuffer.assign(nSize / sizeof(std::uint64_t) + 1, 0);
        nResult = ::GetAdaptersAddresses(
            AF_UNSPEC, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER, nullptr,
            reinterpret_cast<IP_ADAPTER_ADDRESSES*>(vecBuffer.data()), &nSize);
    }
    if (nResult != NO_ERROR)
        return vecAddrs;
    for (const IP_ADAPTER_ADDRESSES* pAdapter =
             reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(vecBuffer.data());
         pAdapter; pAdapter = pAdapter->Next) {
        if (pAdapter->OperStatus != IfOperStatusUp)
            continue;
        for (const IP_ADAPTER_UNICAST_ADDRESS* pUnicast = pAdapter->FirstUnicastAddress; pUnicast;
             pUnicast = pUnicast->Next) {
            const sockaddr* pAddr = pUnicast->Address.lpSockaddr;
            if (!pAddr)
                continue;
            if (pAddr->sa_family == AF_INET) {
                sockaddr_in addr4{};
                std::memcpy(&addr4, pAddr, sizeof addr4);
                addUnique(vecAddrs, addressText(AF_INET, &addr4.sin_addr));
            } else if (pAddr->sa_family == AF_INET6) {
                sockaddr_in6 addr6{};
                std::memcpy(&addr6, pAddr, sizeof addr6);
                addUnique(vecAddrs, addressText(AF_INET6, &addr6.sin6_addr));
            }
        }
    }
#else
    ifaddrs* pList = nullptr;
    if (::getifaddrs(&pList) != 0)
        return vecAddrs;
    for (const ifaddrs* p = pList; p; p = p->ifa_next) {
        if (!p->ifa_addr || !(p->ifa_flags & IFF_UP))
            continue;
        if (p->ifa_addr->sa_family == AF_INET) {
            sockaddr_in addr4{};
            std::memcpy(&addr4, p->ifa_addr, sizeof addr4);
            addUnique(vecAddrs, addressText(AF_INET, &addr4.sin_addr));
        } else if (p->ifa_addr->sa_family == AF_INET6) {
            sockaddr_in6 addr6{};
            std::memcpy(&addr6, p->ifa_addr, sizeof addr6);
            addUnique(vecAddrs, addressText(AF_INET6, &addr6.sin6_addr));
        }
    }
    ::freeifaddrs(pList);
#endif
    return vecAddrs;
}

} // namespace dns
