#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What a certificate file says of the names it serves and of its dates, read by a small DER reader
// of our own so that every build, the Windows one included, reads it the same without a TLS library.
namespace certs {

struct tagCertInfo {
    std::vector<std::string> vecNames; // the DNS names of its subjectAltName, lower-cased; else its CN
    std::int64_t nNotBefore = 0;       // seconds since the epoch, UTC
    std::int64_t nNotAfter = 0;
    std::string strSubject; // the subject's CN, as it is written; empty when it has none
    std::string strIssuer;  // the issuer's CN, likewise
};

// Larger than any certificate a CA issues: a file's block that would decode to more is refused.
inline constexpr std::size_t kMaxCertSize = 64 * 1024;
// The longest name a certificate may hold for us; a longer DNS name makes the certificate unreadable.
inline constexpr std::size_t kMaxCertName = 255;
// The dates a certificate can say: UTCTime from 1950, GeneralizedTime to the end of 9999.
inline constexpr std::int64_t kMinCertTime = -631152000;   // 1950-01-01T00:00:00Z
inline constexpr std::int64_t kMaxCertTime = 253402300799; // 9999-12-31T23:59:59Z

// Reads the first "-----BEGIN CERTIFICATE-----" block of a PEM text (in fullchain.pem, the
// server's own certificate, before its chain), or DER bytes. False with a short reason ("not a
// certificate", "truncated", ...) when it cannot; info is then unspecified.
bool readCertificate(std::string_view strBytes, tagCertInfo& info, std::string& strReason);

// Whether the certificate serves strName: one of its names, without regard to case, or a wildcard
// "*.rest" standing for exactly one leftmost label before "rest".
bool covers(const tagCertInfo& info, std::string_view strName);

} // namespace certs
