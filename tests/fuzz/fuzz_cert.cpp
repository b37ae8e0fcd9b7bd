// The certificate reader on any bytes: it never reads out of bounds, what it accepts has dates in
// range and names a host name can be, and a certificate it reads as DER reads the same as PEM,
// wrapped and with CR LF, and serves each of its own names.
#include <algorithm>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "engine/CertFile.h"

namespace {

std::string pemOf(std::string_view strDer) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string strBase64;
    for (std::size_t i = 0; i < strDer.size(); i += 3) {
        std::uint32_t nBits = 0;
        for (std::size_t k = 0; k < 3; ++k)
            nBits = nBits << 8 | (i + k < strDer.size() ? static_cast<unsigned char>(strDer[i + k]) : 0U);
        const std::size_t nChars = std::min<std::size_t>(strDer.size() - i, 3) + 1;
        for (std::size_t k = 0; k < 4; ++k)
            strBase64 += k < nChars ? kAlphabet[nBits >> (18 - 6 * k) & 0x3F] : '=';
    }
    std::string strPem = "-----BEGIN CERTIFICATE-----\r\n";
    for (std::size_t i = 0; i < strBase64.size(); i += 64)
        strPem += strBase64.substr(i, 64) + "\r\n";
    return strPem + "-----END CERTIFICATE-----\r\n";
}

bool isLowerHostText(std::string_view strName) {
    for (const char ch : strName)
        if (ch <= ' ' || ch > '~' || (ch >= 'A' && ch <= 'Z'))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view strBytes(reinterpret_cast<const char*>(data), size);
    certs::tagCertInfo info;
    std::string strReason;
    if (!certs::readCertificate(strBytes, info, strReason)) {
        FUZZ_CHECK(!strReason.empty());
        return 0;
    }
    FUZZ_CHECK(strReason.empty());
    FUZZ_CHECK(certs::kMinCertTime <= info.nNotBefore && info.nNotBefore <= info.nNotAfter &&
               info.nNotAfter <= certs::kMaxCertTime);
    for (const std::string& strName : info.vecNames) {
        FUZZ_CHECK(!strName.empty() && strName.size() <= certs::kMaxCertName && isLowerHostText(strName));
        FUZZ_CHECK(certs::covers(info, strName));
    }

    if (size >= 2 && data[0] == 0x30 && data[1] > 0x80) {
        certs::tagCertInfo fromPem;
        FUZZ_CHECK(certs::readCertificate(pemOf(strBytes), fromPem, strReason));
        FUZZ_CHECK(fromPem.vecNames == info.vecNames && fromPem.nNotBefore == info.nNotBefore &&
                   fromPem.nNotAfter == info.nNotAfter && fromPem.strSubject == info.strSubject &&
                   fromPem.strIssuer == info.strIssuer);
    }
    return 0;
}
