#include "engine/CertFile.h"

#include <chrono>

#include "core/TextUtil.h"

namespace certs {
namespace {

constexpr std::string_view kPemBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kPemEnd = "-----END CERTIFICATE-----";

constexpr std::string_view kOidCommonName = "\x55\x04\x03";     // 2.5.4.3
constexpr std::string_view kOidSubjectAltName = "\x55\x1d\x11"; // 2.5.29.17

constexpr std::uint32_t kSequence = 0x30;
constexpr std::uint32_t kSet = 0x31;
constexpr std::uint32_t kInteger = 0x02;
constexpr std::uint32_t kBitString = 0x03;
constexpr std::uint32_t kOctetString = 0x04;
constexpr std::uint32_t kOid = 0x06;
constexpr std::uint32_t kBoolean = 0x01;
constexpr std::uint32_t kUtcTime = 0x17;
constexpr std::uint32_t kGeneralizedTime = 0x18;
constexpr std::uint32_t kVersionTag = 0xA0;    // [0] EXPLICIT
constexpr std::uint32_t kIssuerUidTag = 0x81;  // [1] IMPLICIT
constexpr std::uint32_t kSubjectUidTag = 0x82; // [2] IMPLICIT
constexpr std::uint32_t kExtensionsTag = 0xA3; // [3] EXPLICIT
constexpr std::uint32_t kDnsNameTag = 0x82;    // GeneralName's dNSName, [2] IMPLICIT IA5String

constexpr const char* kNotCertificate = "not a certificate";
constexpr const char* kTruncated = "truncated";
constexpr const char* kBadLength = "bad length";
constexpr const char* kBadBase64 = "bad base64";
constexpr const char* kTooLarge = "too large";
constexpr const char* kBadDate = "bad date";
constexpr const char* kBadName = "bad name";
constexpr const char* kBadExtensions = "bad extensions";
constexpr const char* kBadAltName = "bad subjectAltName";

struct tagTlv {
    // The identifier byte; a tag number past 30 gives a value above 0xFF, which no tag we expect has.
    std::uint32_t nTag = 0;
    std::string_view value;
};

// The elements of one constructed value, in turn: every length is checked against what is left of
// it, so that nothing is read past its end. The walk follows the certificate's fixed shape, a few
// levels deep, and never descends into anything else.
class CDerReader {
public:
    explicit CDerReader(std::string_view data) : m_data(data) {}

    bool atEnd() const { return m_nPos == m_data.size(); }
    bool nextIs(std::uint32_t nTag) const {
        return m_nPos < m_data.size() && static_cast<unsigned char>(m_data[m_nPos]) == nTag;
    }

    bool next(tagTlv& tlv, std::string& strReason) {
        std::size_t n = m_nPos;
        const auto byteAt = [this, &n, &strReason](unsigned& nByte) {
            if (n >= m_data.size()) {
                strReason = kTruncated;
                return false;
            }
            nByte = static_cast<unsigned char>(m_data[n++]);
            return true;
        };
        unsigned nByte = 0;
        if (!byteAt(nByte))
            return false;
        tlv.nTag = nByte;
        if ((nByte & 0x1F) == 0x1F) {
            std::uint32_t nNumber = 0;
            for (int i = 0;; ++i) {
                if (!byteAt(nByte))
                    return false;
                if (i == 3) {
                    strReason = "bad tag";
                    return false;
                }
                nNumber = nNumber << 7 | (nByte & 0x7F);
                if ((nByte & 0x80) == 0)
                    break;
            }
            tlv.nTag |= (nNumber + 1) << 8;
        }
        if (!byteAt(nByte))
            return false;
        std::uint64_t nLength = nByte;
        if (nByte >= 0x80) {
            // DER has no indefinite length (0x80), and no certificate needs more than four bytes of it.
            const unsigned nBytes = nByte & 0x7F;
            if (nBytes == 0 || nBytes > 4) {
                strReason = kBadLength;
                return false;
            }
            nLength = 0;
            for (unsigned i = 0; i < nBytes; ++i) {
                if (!byteAt(nByte))
                    return false;
                nLength = nLength << 8 | nByte;
            }
        }
        if (nLength > m_data.size() - n) {
            strReason = kTruncated;
            return false;
        }
        tlv.value = m_data.substr(n, static_cast<std::size_t>(nLength));
        m_nPos = n + static_cast<std::size_t>(nLength);
        return true;
    }

    // The next element, which must have nTag; strWrongTag is the reason when it has another.
    bool expect(std::uint32_t nTag, tagTlv& tlv, const char* pszWrongTag, std::string& strReason) {
        if (!next(tlv, strReason))
            return false;
        if (tlv.nTag != nTag) {
            strReason = pszWrongTag;
            return false;
        }
        return true;
    }

private:
    std::string_view m_data;
    std::size_t m_nPos = 0;
};

int base64Value(char ch) {
    if (ch >= 'A' && ch <= 'Z')
        return ch - 'A';
    if (ch >= 'a' && ch <= 'z')
        return ch - 'a' + 26;
    if (ch >= '0' && ch <= '9')
        return ch - '0' + 52;
    if (ch == '+')
        return 62;
    if (ch == '/')
        return 63;
    return -1;
}

// Line ends and blanks are skipped, as files copied between systems or indented by hand have them;
// any other character outside the alphabet, and padding anywhere but at the end, is refused.
bool decodeBase64(std::string_view strText, std::string& strOut, std::string& strReason) {
    strOut.clear();
    std::uint32_t nBits = 0;
    int nGroup = 0; // characters of the current group of four
    int nPad = 0;
    for (const char ch : strText) {
        if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n')
            continue;
        if (ch == '=') {
            if (nGroup < 2 || nGroup + ++nPad > 4) {
                strReason = kBadBase64;
                return false;
            }
            continue;
        }
        const int nValue = base64Value(ch);
        if (nValue < 0 || nPad > 0) {
            strReason = kBadBase64;
            return false;
        }
        nBits = nBits << 6 | static_cast<std::uint32_t>(nValue);
        if (++nGroup == 4) {
            if (strOut.size() + 3 > kMaxCertSize) {
                strReason = kTooLarge;
                return false;
            }
            strOut += static_cast<char>(nBits >> 16 & 0xFF);
            strOut += static_cast<char>(nBits >> 8 & 0xFF);
            strOut += static_cast<char>(nBits & 0xFF);
            nGroup = 0;
            nBits = 0;
        }
    }
    if (nPad == 0 ? nGroup != 0 : nGroup + nPad != 4) {
        strReason = kBadBase64;
        return false;
    }
    if (nGroup == 3) {
        strOut += static_cast<char>(nBits >> 10 & 0xFF);
        strOut += static_cast<char>(nBits >> 2 & 0xFF);
    } else if (nGroup == 2) {
        strOut += static_cast<char>(nBits >> 4 & 0xFF);
    }
    return true;
}

void appendUtf8(std::string& str, char32_t cp) {
    if (cp < 0x80) {
        str += static_cast<char>(cp);
    } else if (cp < 0x800) {
        str += static_cast<char>(0xC0 | cp >> 6);
        str += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        str += static_cast<char>(0xE0 | cp >> 12);
        str += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        str += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        str += static_cast<char>(0xF0 | cp >> 18);
        str += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        str += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        str += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A DirectoryString as UTF-8: the byte strings as they are, BMPString and UniversalString (UCS-2
// and UCS-4, big-endian) converted.
bool directoryString(const tagTlv& tlv, std::string& strOut) {
    strOut.clear();
    switch (tlv.nTag) {
    case 0x0C: // UTF8String
    case 0x13: // PrintableString
    case 0x14: // TeletexString
    case 0x16: // IA5String
    case 0x1A: // VisibleString
        strOut = tlv.value;
        return true;
    case 0x1E:   // BMPString
    case 0x1C: { // UniversalString
        const std::size_t nUnit = tlv.nTag == 0x1E ? 2 : 4;
        if (tlv.value.size() % nUnit != 0)
            return false;
        for (std::size_t i = 0; i < tlv.value.size(); i += nUnit) {
            char32_t cp = 0;
            for (std::size_t k = 0; k < nUnit; ++k)
                cp = cp << 8 | static_cast<unsigned char>(tlv.value[i + k]);
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                return false;
            appendUtf8(strOut, cp);
        }
        return true;
    }
    default:
        return false;
    }
}

// The CN of a Name; the last one when it has several, as it is the most specific.
bool readCommonName(std::string_view strName, std::string& strCn, std::string& strReason) {
    CDerReader rdns(strName);
    while (!rdns.atEnd()) {
        tagTlv rdn;
        if (!rdns.expect(kSet, rdn, kBadName, strReason))
            return false;
        CDerReader attributes(rdn.value);
        while (!attributes.atEnd()) {
            tagTlv attribute, oid, value;
            if (!attributes.expect(kSequence, attribute, kBadName, strReason))
                return false;
            CDerReader parts(attribute.value);
            if (!parts.expect(kOid, oid, kBadName, strReason) || !parts.next(value, strReason))
                return false;
            if (!parts.atEnd()) {
                strReason = kBadName;
                return false;
            }
            if (oid.value == kOidCommonName && !directoryString(value, strCn)) {
                strReason = kBadName;
                return false;
            }
        }
    }
    return true;
}

bool digitsAt(std::string_view str, std::size_t nAt, std::size_t nCount, int& nValue) {
    nValue = 0;
    for (std::size_t i = nAt; i < nAt + nCount; ++i) {
        if (str[i] < '0' || str[i] > '9')
            return false;
        nValue = nValue * 10 + (str[i] - '0');
    }
    return true;
}

// UTCTime "YYMMDDHHMMSSZ" (years 1950 to 2049) or GeneralizedTime "YYYYMMDDHHMMSSZ", the only forms
// a certificate may use; years before 1950 are refused.
bool readTime(const tagTlv& tlv, std::int64_t& nTime) {
    const std::size_t nYearDigits = tlv.nTag == kUtcTime ? 2 : tlv.nTag == kGeneralizedTime ? 4 : 0;
    const std::string_view str = tlv.value;
    if (nYearDigits == 0 || str.size() != nYearDigits + 11 || str.back() != 'Z')
        return false;
    int nYear = 0, nMonth = 0, nDay = 0, nHour = 0, nMinute = 0, nSecond = 0;
    std::size_t n = nYearDigits;
    if (!digitsAt(str, 0, nYearDigits, nYear) || !digitsAt(str, n, 2, nMonth) ||
        !digitsAt(str, n + 2, 2, nDay) || !digitsAt(str, n + 4, 2, nHour) ||
        !digitsAt(str, n + 6, 2, nMinute) || !digitsAt(str, n + 8, 2, nSecond))
        return false;
    if (nYearDigits == 2)
        nYear += nYear < 50 ? 2000 : 1900;
    if (nYear < 1950)
        return false; // before any certificate
    const std::chrono::year_month_day date{std::chrono::year(nYear),
                                           std::chrono::month(static_cast<unsigned>(nMonth)),
                                           std::chrono::day(static_cast<unsigned>(nDay))};
    if (!date.ok() || nHour > 23 || nMinute > 59 || nSecond > 59)
        return false;
    const std::int64_t nDays = std::chrono::sys_days(date).time_since_epoch().count();
    nTime = nDays * 86400 + nHour * 3600 + nMinute * 60 + nSecond;
    return true;
}

bool readValidity(std::string_view strValidity, tagCertInfo& info, std::string& strReason) {
    CDerReader times(strValidity);
    tagTlv notBefore, notAfter;
    if (!times.next(notBefore, strReason) || !times.next(notAfter, strReason))
        return false;
    if (!times.atEnd() || !readTime(notBefore, info.nNotBefore) || !readTime(notAfter, info.nNotAfter)) {
        strReason = kBadDate;
        return false;
    }
    if (info.nNotAfter < info.nNotBefore) {
        strReason = "valid until before it begins";
        return false;
    }
    return true;
}

// A name a certificate may be for: printable ASCII without blanks, of a length a host name can have.
bool isCertName(std::string_view strName) {
    if (strName.empty() || strName.size() > kMaxCertName)
        return false;
    for (const char ch : strName)
        if (ch <= ' ' || ch > '~')
            return false;
    return true;
}

std::string lowerAscii(std::string_view str) {
    std::string strLower(str);
    for (char& ch : strLower)
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    return strLower;
}

bool readAltNames(std::string_view strValue, tagCertInfo& info, std::string& strReason) {
    CDerReader outer(strValue);
    tagTlv names;
    if (!outer.expect(kSequence, names, kBadAltName, strReason))
        return false;
    if (!outer.atEnd()) {
        strReason = kBadAltName;
        return false;
    }
    CDerReader reader(names.value);
    while (!reader.atEnd()) {
        tagTlv name;
        if (!reader.next(name, strReason))
            return false;
        if (name.nTag != kDnsNameTag)
            continue; // addresses, mail and other names serve no host name
        if (!isCertName(name.value)) {
            strReason = kBadAltName;
            return false;
        }
        info.vecNames.push_back(lowerAscii(name.value));
    }
    return true;
}

bool readExtensions(std::string_view strExplicit, tagCertInfo& info, bool& bAltNames,
                    std::string& strReason) {
    CDerReader outer(strExplicit);
    tagTlv list;
    if (!outer.expect(kSequence, list, kBadExtensions, strReason))
        return false;
    if (!outer.atEnd()) {
        strReason = kBadExtensions;
        return false;
    }
    CDerReader extensions(list.value);
    while (!extensions.atEnd()) {
        tagTlv extension, oid, critical, value;
        if (!extensions.expect(kSequence, extension, kBadExtensions, strReason))
            return false;
        CDerReader parts(extension.value);
        if (!parts.expect(kOid, oid, kBadExtensions, strReason))
            return false;
        if (parts.nextIs(kBoolean) && !parts.next(critical, strReason))
            return false;
        if (!parts.expect(kOctetString, value, kBadExtensions, strReason))
            return false;
        if (!parts.atEnd()) {
            strReason = kBadExtensions;
            return false;
        }
        if (oid.value != kOidSubjectAltName)
            continue;
        // A certificate has each extension once; with two, which one a client reads is anyone's guess.
        if (bAltNames) {
            strReason = kBadExtensions;
            return false;
        }
        bAltNames = true;
        if (!readAltNames(value.value, info, strReason))
            return false;
    }
    return true;
}

bool readDer(std::string_view strDer, tagCertInfo& info, std::string& strReason) {
    if (strDer.size() > kMaxCertSize) {
        strReason = kTooLarge;
        return false;
    }
    CDerReader top(strDer);
    tagTlv cert, tbs, algorithm, signature, tlv;
    if (!top.expect(kSequence, cert, kNotCertificate, strReason))
        return false;
    if (!top.atEnd()) {
        strReason = "bytes after the certificate";
        return false;
    }
    CDerReader parts(cert.value);
    if (!parts.expect(kSequence, tbs, kNotCertificate, strReason) ||
        !parts.expect(kSequence, algorithm, kNotCertificate, strReason) ||
        !parts.expect(kBitString, signature, kNotCertificate, strReason))
        return false;
    if (!parts.atEnd()) {
        strReason = kNotCertificate;
        return false;
    }

    CDerReader fields(tbs.value);
    if (fields.nextIs(kVersionTag) && !fields.next(tlv, strReason))
        return false;
    tagTlv issuer, validity, subject;
    if (!fields.expect(kInteger, tlv, kNotCertificate, strReason) ||
        !fields.expect(kSequence, tlv, kNotCertificate, strReason) ||
        !fields.expect(kSequence, issuer, kNotCertificate, strReason) ||
        !fields.expect(kSequence, validity, kNotCertificate, strReason) ||
        !fields.expect(kSequence, subject, kNotCertificate, strReason) ||
        !fields.expect(kSequence, tlv, kNotCertificate, strReason))
        return false;
    for (const std::uint32_t nUid : {kIssuerUidTag, kSubjectUidTag})
        if (fields.nextIs(nUid) && !fields.next(tlv, strReason))
            return false;
    bool bAltNames = false;
    if (fields.nextIs(kExtensionsTag) &&
        (!fields.next(tlv, strReason) || !readExtensions(tlv.value, info, bAltNames, strReason)))
        return false;
    if (!fields.atEnd()) {
        strReason = kNotCertificate;
        return false;
    }
    if (!readCommonName(issuer.value, info.strIssuer, strReason) ||
        !readValidity(validity.value, info, strReason) ||
        !readCommonName(subject.value, info.strSubject, strReason))
        return false;
    // Without subjectAltName, clients fall back on the CN; with one, they look at it alone.
    if (!bAltNames && isCertName(info.strSubject))
        info.vecNames.push_back(lowerAscii(info.strSubject));
    return true;
}

} // namespace

bool readCertificate(std::string_view strBytes, tagCertInfo& info, std::string& strReason) {
    info = {};
    strReason.clear();
    if (strBytes.empty()) {
        strReason = "empty";
        return false;
    }
    // DER starts with a SEQUENCE whose length takes more than a byte, as every certificate's does:
    // no text starts so.
    if (strBytes.size() >= 2 && static_cast<unsigned char>(strBytes[0]) == kSequence &&
        static_cast<unsigned char>(strBytes[1]) > 0x80)
        return readDer(strBytes, info, strReason);
    const std::size_t nBegin = strBytes.find(kPemBegin);
    if (nBegin == std::string_view::npos) {
        strReason = kNotCertificate;
        return false;
    }
    const std::size_t nBody = nBegin + kPemBegin.size();
    const std::size_t nEnd = strBytes.find(kPemEnd, nBody);
    if (nEnd == std::string_view::npos) {
        strReason = kTruncated;
        return false;
    }
    std::string strDer;
    return decodeBase64(strBytes.substr(nBody, nEnd - nBody), strDer, strReason) &&
           readDer(strDer, info, strReason);
}

bool covers(const tagCertInfo& info, std::string_view strName) {
    for (const std::string& strCertName : info.vecNames) {
        if (text::sameNoCase(strCertName, strName))
            return true;
        // "*.rest" takes "label.rest" for one label, never "rest" itself nor "a.b.rest".
        if (strCertName.size() > 2 && strCertName.starts_with("*.")) {
            const std::string_view strRest = std::string_view(strCertName).substr(1);
            if (strName.size() <= strRest.size())
                continue;
            const std::string_view strLabel = strName.substr(0, strName.size() - strRest.size());
            if (strLabel.find('.') == std::string_view::npos &&
                text::sameNoCase(strName.substr(strLabel.size()), strRest))
                return true;
        }
    }
    return false;
}

} // namespace certs
