#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/TextUtil.h"
#include "engine/CertFile.h"

// The certificates of data/certs were made once with OpenSSL 3.0 (openssl ca, EC P-256 keys that
// were not kept), signed by a "Kelvane Test CA" whose certificate follows the first in
// fullchain.pem.
namespace {

const std::string kCerts = std::string(KELVANE_TEST_DATA) + "/certs/";

std::string certFile(const char* pName) {
    return readFile(kCerts + pName);
}

// The bytes with the first occurrence of what replaced.
std::string patched(std::string str, std::string_view what, std::string_view with) {
    const std::size_t nAt = str.find(what);
    EXPECT_NE(nAt, std::string::npos);
    return nAt == std::string::npos ? str : str.replace(nAt, what.size(), with);
}

TEST(CertFileTest, ReadsEachFile) {
    const std::vector<std::string> vecSan{"example.test", "www.example.test", "*.shop.example.test"};
    struct {
        const char* pWhat;
        std::string strBytes;
        std::vector<std::string> vecNames;
        std::int64_t nNotBefore, nNotAfter;
        const char* pSubject;
    } const cases[] = {
        // The names as written, a wildcard, an IP address that serves no name.
        {"san.pem", certFile("san.pem"), vecSan, 1767225600, 1806580800, "example.test"},
        {"san.der", certFile("san.der"), vecSan, 1767225600, 1806580800, "example.test"},
        {"fullchain.pem: the first", certFile("fullchain.pem"), vecSan, 1767225600, 1806580800,
         "example.test"},
        {"CR LF, indented, text before",
         "subject=CN = example.test\r\n" + text::replaceAll(certFile("san.pem"), "\n", "\r\n  "), vecSan,
         1767225600, 1806580800, "example.test"},
        // UTCTime's years: 99 is 1999, 49 is 2049.
        {"UTCTime's century",
         patched(patched(certFile("san.der"), "260101000000Z", "990101000000Z"), "270401120000Z",
                 "491231235959Z"),
         vecSan, 915148800, 2524607999, "example.test"},
        // Without subjectAltName, the CN of a subject of three attributes.
        {"cn-only.pem",
         certFile("cn-only.pem"),
         {"plain.example.test"},
         1780272000,
         1811808000,
         "Plain.Example.Test"},
        {"expired.pem",
         certFile("expired.pem"),
         {"old.example.test"},
         1735689600,
         1743465600,
         "old.example.test"},
        // notAfter 2055-06-30T12:34:56Z as GeneralizedTime.
        {"far-2055.pem",
         certFile("far-2055.pem"),
         {"far.example.test", "m.far.example.test"},
         1767225600,
         2697971696,
         "far.example.test"},
    };
    for (const auto& c : cases) {
        certs::tagCertInfo info;
        std::string strReason;
        ASSERT_TRUE(certs::readCertificate(c.strBytes, info, strReason)) << c.pWhat << ": " << strReason;
        EXPECT_EQ(info.vecNames, c.vecNames) << c.pWhat;
        EXPECT_EQ(info.nNotBefore, c.nNotBefore) << c.pWhat;
        EXPECT_EQ(info.nNotAfter, c.nNotAfter) << c.pWhat;
        EXPECT_EQ(info.strSubject, c.pSubject) << c.pWhat;
        EXPECT_EQ(info.strIssuer, "Kelvane Test CA") << c.pWhat;
    }
}

TEST(CertFileTest, RefusesBrokenInput) {
    const std::string strDer = certFile("san.der");
    const std::string strPem = certFile("san.pem");
    const std::size_t nBody = strPem.find('\n') + 1;
    struct {
        const char* pWhat;
        std::string strBytes;
        const char* pReason;
    } const cases[] = {
        {"nothing", "", "empty"},
        {"text", "example.test\n", "not a certificate"},
        {"a key", patched(strPem, "BEGIN CERTIFICATE", "BEGIN PRIVATE KEY"), "not a certificate"},
        {"no end line", strPem.substr(0, strPem.find("-----END")), "truncated"},
        {"empty block", "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n", "truncated"},
        {"a stray character", std::string(strPem).insert(nBody + 10, "!"), "bad base64"},
        {"a character short", std::string(strPem).erase(nBody + 10, 1), "bad base64"},
        {"padding inside", std::string(strPem).replace(nBody + 10, 1, "="), "bad base64"},
        {"huge block",
         "-----BEGIN CERTIFICATE-----\n" + std::string(90000, 'A') + "\n-----END CERTIFICATE-----\n",
         "too large"},
        {"a byte after it", strDer + '\0', "bytes after the certificate"},
        {"longer than its bytes", patched(strDer, "\x30\x82\x01\xb9", "\x30\x82\x01\xba"), "truncated"},
        {"indefinite length", patched(strDer, "\x30\x1e\x17", "\x30\x80\x17"), "bad length"},
        {"tbsCertificate a SET", patched(strDer, "\x30\x82\x01\x5f", "\x31\x82\x01\x5f"),
         "not a certificate"},
        {"a date an OCTET STRING",
         patched(strDer,
                 "\x17\x0d"
                 "2601",
                 "\x04\x0d"
                 "2601"),
         "bad date"},
        {"month 13", patched(strDer, "270401120000Z", "271301120000Z"), "bad date"},
        {"February 30", patched(strDer, "270401120000Z", "270230120000Z"), "bad date"},
        {"no Z", patched(strDer, "270401120000Z", "2704011200000"), "bad date"},
        {"ends before it begins", patched(strDer, "260101000000Z", "280101000000Z"),
         "valid until before it begins"},
        {"a CN an INTEGER",
         patched(strDer,
                 "\x0c\x0c"
                 "example.test",
                 "\x02\x0c"
                 "example.test"),
         "bad name"},
        {"a blank in a DNS name",
         patched(strDer,
                 "\x82\x0c"
                 "example.test",
                 "\x82\x0c"
                 "example test"),
         "bad subjectAltName"},
    };
    for (const auto& c : cases) {
        certs::tagCertInfo info;
        std::string strReason;
        EXPECT_FALSE(certs::readCertificate(c.strBytes, info, strReason)) << c.pWhat;
        EXPECT_EQ(strReason, c.pReason) << c.pWhat;
    }
}

// Cut anywhere, a certificate is refused, never read past its end.
TEST(CertFileTest, RefusesEveryTruncation) {
    const std::string strDer = certFile("san.der");
    const std::string strPem = certFile("san.pem");
    certs::tagCertInfo info;
    std::string strReason;
    for (std::size_t n = 2; n < strDer.size(); ++n) {
        EXPECT_FALSE(certs::readCertificate(strDer.substr(0, n), info, strReason)) << n;
        EXPECT_EQ(strReason, "truncated") << n;
    }
    const std::size_t nEndLine = strPem.find("-----END CERTIFICATE-----");
    for (std::size_t n = 27; n < nEndLine + 25; ++n) {
        EXPECT_FALSE(certs::readCertificate(strPem.substr(0, n), info, strReason)) << n;
        EXPECT_EQ(strReason, "truncated") << n;
    }
}

TEST(CertFileTest, Covers) {
    certs::tagCertInfo info;
    info.vecNames = {"example.test", "*.shop.example.test"};
    struct {
        const char* pName;
        bool bCovered;
    } const cases[] = {
        {"example.test", true},
        {"EXAMPLE.Test", true},
        {"www.example.test", false},
        {"a.shop.example.test", true},
        {"A.SHOP.Example.Test", true},
        {"*.shop.example.test", true},
        {"shop.example.test", false},
        {".shop.example.test", false},
        {"a.b.shop.example.test", false},
        {"ashop.example.test", false},
        {"a.shop.example.test.other", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(certs::covers(info, c.pName), c.bCovered) << c.pName;
}

} // namespace
