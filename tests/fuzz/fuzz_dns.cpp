// The DNS answer reader: any packet is read within its bounds, and a well-formed answer built
// from the input gives exactly the addresses a small model finds in it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <arpa/inet.h>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "core/Resolve.h"

namespace {

constexpr std::uint16_t kId = 0x1234;
const char* const kNames[] = {"www.example.com", "a.example.com", "b.example.com", "other.test"};

std::string u16(unsigned n) {
    return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)};
}

char upper(char ch) {
    return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
}

// A name on the wire, in a case the input chooses.
std::string wire(const std::string& strName, FuzzedDataProvider& fdp) {
    std::string out;
    std::size_t nStart = 0;
    while (nStart <= strName.size()) {
        const std::size_t nDot = std::min(strName.find('.', nStart), strName.size());
        out += static_cast<char>(nDot - nStart);
        for (std::size_t i = nStart; i < nDot; ++i)
            out += fdp.ConsumeBool() ? upper(strName[i]) : strName[i];
        nStart = nDot + 1;
    }
    return out + '\0';
}

// Every address given is in the system's own text form for its type, and given once.
void checkAddresses(const dns::tagReply& reply, std::uint16_t nType) {
    for (const std::string& strAddr : reply.vecAddrs) {
        unsigned char bytes[16];
        char text[64];
        const int nFamily = nType == dns::kTypeA ? AF_INET : AF_INET6;
        FUZZ_CHECK(::inet_pton(nFamily, strAddr.c_str(), bytes) == 1);
        FUZZ_CHECK(::inet_ntop(nFamily, bytes, text, sizeof text) && strAddr == text);
        FUZZ_CHECK(std::count(reply.vecAddrs.begin(), reply.vecAddrs.end(), strAddr) == 1);
    }
}

void fuzzAnyPacket(std::string_view packet) {
    for (const std::uint16_t nType : {dns::kTypeA, dns::kTypeAAAA}) {
        const dns::tagReply reply = dns::parseAnswer(packet, kId, kNames[0], nType);
        if (packet.size() >= 2 &&
            (static_cast<unsigned char>(packet[0]) << 8 | static_cast<unsigned char>(packet[1])) != kId)
            FUZZ_CHECK(reply.eKind == dns::EReply::Foreign);
        FUZZ_CHECK(reply.eKind == dns::EReply::Addresses || reply.vecAddrs.empty());
        checkAddresses(reply, nType);
    }
}

void fuzzModel(FuzzedDataProvider& fdp) {
    const std::uint16_t nType = fdp.ConsumeBool() ? dns::kTypeA : dns::kTypeAAAA;
    struct tagRecord {
        int nOwner;
        std::uint16_t nType;
        int nTarget;
        std::string strData;
    };
    std::vector<tagRecord> vecRecords;
    std::string strBody;
    const int nCount = fdp.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < nCount; ++i) {
        tagRecord record{fdp.ConsumeIntegralInRange(0, 3), 0, fdp.ConsumeIntegralInRange(0, 3), {}};
        const std::uint16_t kTypes[] = {dns::kTypeA, dns::kTypeAAAA, 5, 16};
        record.nType = kTypes[fdp.ConsumeIntegralInRange(0, 3)];
        // The question's name is often written as a pointer to it, as servers do.
        const std::string strOwner = record.nOwner == 0 && fdp.ConsumeBool()
                                         ? std::string("\xC0\x0C")
                                         : wire(kNames[record.nOwner], fdp);
        std::string strRdata;
        if (record.nType == 5) {
            strRdata = wire(kNames[record.nTarget], fdp);
        } else {
            record.strData = fdp.ConsumeBytesAsString(record.nType == dns::kTypeA ? 4 : 16);
            record.strData.resize(record.nType == dns::kTypeA ? 4 : 16, '\0');
            strRdata = record.strData;
        }
        strBody += strOwner + u16(record.nType) + u16(1) + u16(0) + u16(60) + u16(strRdata.size()) + strRdata;
        vecRecords.push_back(record);
    }
    const std::string strPacket = u16(kId) + u16(0x8180) + u16(1) + u16(vecRecords.size()) + u16(0) + u16(0) +
                                  wire(kNames[0], fdp) + u16(nType) + u16(1) + strBody;

    // The model: the aliases from the name asked, the first of each owner, until one comes back.
    std::vector<int> vecOwners{0};
    for (bool bMore = true; bMore;) {
        bMore = false;
        for (const tagRecord& record : vecRecords) {
            if (record.nType == 5 && record.nOwner == vecOwners.back()) {
                if (std::find(vecOwners.begin(), vecOwners.end(), record.nTarget) == vecOwners.end()) {
                    vecOwners.push_back(record.nTarget);
                    bMore = true;
                }
                break;
            }
        }
    }
    std::vector<std::string> vecExpected;
    for (const tagRecord& record : vecRecords) {
        if (record.nType != nType ||
            std::find(vecOwners.begin(), vecOwners.end(), record.nOwner) == vecOwners.end())
            continue;
        char text[64];
        ::inet_ntop(nType == dns::kTypeA ? AF_INET : AF_INET6, record.strData.data(), text, sizeof text);
        if (std::find(vecExpected.begin(), vecExpected.end(), text) == vecExpected.end())
            vecExpected.push_back(text);
    }

    const dns::tagReply reply = dns::parseAnswer(strPacket, kId, kNames[0], nType);
    FUZZ_CHECK(reply.eKind == dns::EReply::Addresses);
    FUZZ_CHECK(reply.vecAddrs == vecExpected);
    // The same answer to a question in another case.
    std::string strUpper = kNames[0];
    std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(), upper);
    FUZZ_CHECK(dns::parseAnswer(strPacket, kId, strUpper, nType).vecAddrs == vecExpected);
    // The packet cut anywhere in its answers is refused as a whole.
    if (!strBody.empty()) {
        const std::size_t nCut =
            fdp.ConsumeIntegralInRange(strPacket.size() - strBody.size(), strPacket.size() - 1);
        FUZZ_CHECK(
            dns::parseAnswer(std::string_view(strPacket).substr(0, nCut), kId, kNames[0], nType).eKind ==
            dns::EReply::Bad);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    // The first byte chooses: any packet as it comes, or an answer built from the input.
    if (data[0] % 2 == 0) {
        fuzzAnyPacket(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
    } else {
        FuzzedDataProvider fdp(data + 1, size - 1);
        fuzzModel(fdp);
    }
    return 0;
}
