// Encoding detection and decoding against a model UTF-8 checker and a model UTF-16 encoder, whole
// and in pieces; the form of GB18030 against the converter.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <string>

#include "FuzzCheck.h"
#include "core/Encoding.h"

namespace {

std::string utf8Of(char32_t cp) {
    if (cp < 0x80)
        return std::string(1, static_cast<char>(cp));
    const std::size_t n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    std::string str(n, '\0');
    for (std::size_t i = n - 1; i > 0; --i, cp >>= 6)
        str[i] = static_cast<char>(0x80 | (cp & 0x3F));
    str[0] = static_cast<char>((0xF00 >> n) | cp); // the lead: n ones, a zero, the top bits
    return str;
}

// Shortest forms of U+0000 to U+10FFFF, surrogates left out: each character encodes back to its bytes.
bool isModelUtf8(std::string_view str) {
    for (std::size_t i = 0, n = 0; i < str.size(); i += n) {
        const auto lead = static_cast<unsigned char>(str[i]);
        n = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? lead : lead & (0x7F >> n);
        for (std::size_t k = 1; k < n && i + k < str.size(); ++k)
            cp = cp << 6 | (str[i + k] & 0x3F);
        if (n == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || str.substr(i, n) != utf8Of(cp))
            return false;
    }
    return true;
}

// UTF-16 with its byte-order mark.
std::string utf16Of(const std::u32string& strCps, bool bBigEndian) {
    std::string str;
    const auto unit = [&](char32_t u) {
        str += static_cast<char>(bBigEndian ? u >> 8 : u & 0xFF);
        str += static_cast<char>(bBigEndian ? u & 0xFF : u >> 8);
    };
    unit(0xFEFF);
    for (const char32_t cp : strCps) {
        if (cp < 0x10000) {
            unit(cp);
        } else {
            unit(0xD800 + ((cp - 0x10000) >> 10));
            unit(0xDC00 + (cp & 0x3FF));
        }
    }
    return str;
}

using Cuts = std::array<std::size_t, 3>;

// Feeds the text in pieces cut at the given points; the last piece says it is the last.
template <class Feed> void inPieces(std::string_view str, Cuts cuts, Feed&& feed) {
    for (std::size_t& nCut : cuts)
        nCut = std::min(nCut, str.size());
    std::sort(cuts.begin(), cuts.end());
    std::size_t nFrom = 0;
    for (const std::size_t nCut : cuts) {
        feed(str.substr(nFrom, nCut - nFrom), false);
        nFrom = nCut;
    }
    feed(str.substr(nFrom), true);
}

std::string decoded(std::string str) {
    enc::decodeText(str);
    return str;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    const Cuts cuts = {fdp.ConsumeIntegral<std::uint8_t>(), fdp.ConsumeIntegral<std::uint16_t>(),
                       fdp.ConsumeIntegral<std::uint16_t>()};
    const int nUtf16 = fdp.ConsumeIntegralInRange(0, 2); // 1: little-endian, 2: big-endian
    std::string str;
    std::string strExpected;
    if (nUtf16 == 0) {
        str = fdp.ConsumeRemainingBytesAsString();
        FUZZ_CHECK(enc::isValidUtf8(str) == isModelUtf8(str));
        enc::CUtf8Validator validator;
        inPieces(str, cuts, [&](std::string_view piece, bool) { validator.feed(piece); });
        FUZZ_CHECK(validator.finish() == isModelUtf8(str));
        strExpected = decoded(str);
        FUZZ_CHECK(isModelUtf8(strExpected));
        if (isModelUtf8(str)) {
            FUZZ_CHECK(decoded(std::string(enc::kUtf8Bom) + str) == str);
            if (!str.starts_with(enc::kUtf8Bom))
                FUZZ_CHECK(strExpected == str);
        }
    } else {
        std::u32string strCps;
        while (fdp.remaining_bytes() > 0) {
            const char32_t cp = fdp.ConsumeIntegralInRange<char32_t>(0, 0x10FFFF);
            strCps += cp >= 0xD800 && cp <= 0xDFFF ? cp ^ 0x800 : cp; // no surrogates as characters
        }
        str = utf16Of(strCps, nUtf16 == 2);
        FUZZ_CHECK(enc::detectEncoding(str).eEncoding ==
                   (nUtf16 == 2 ? enc::EEncoding::Utf16Be : enc::EEncoding::Utf16Le));
        for (const char32_t cp : strCps)
            strExpected += utf8Of(cp);
        FUZZ_CHECK(decoded(str) == strExpected);
    }

    // The form of GB18030 is the same however the text is cut, and what the converter decodes
    // without fault is well formed.
    enc::CGb18030Validator gbWhole, gbPieces;
    gbWhole.feed(str);
    inPieces(str, cuts, [&](std::string_view piece, bool) { gbPieces.feed(piece); });
    FUZZ_CHECK(gbPieces.finish() == gbWhole.finish() &&
               gbPieces.awaitsSecondByte() == gbWhole.awaitsSecondByte());
    if (auto pGb = enc::CDecoder::create(enc::EEncoding::Gb18030)) {
        std::string strGb;
        pGb->decode(str, strGb, true);
        FUZZ_CHECK(pGb->invalidCount() > 0 || gbWhole.finish());
    }

    // Every decoder gives the same text and the same count of faults, however the input is cut.
    for (const auto eEncoding :
         {enc::EEncoding::Utf8, enc::EEncoding::Gb18030, enc::EEncoding::Utf16Le, enc::EEncoding::Utf16Be}) {
        auto pWhole = enc::CDecoder::create(eEncoding);
        auto pPieces = enc::CDecoder::create(eEncoding);
        if (!pWhole)
            continue; // no GB18030 converter on this system
        std::string strWhole, strPieces;
        pWhole->decode(str, strWhole, true);
        inPieces(str, cuts,
                 [&](std::string_view piece, bool bFinal) { pPieces->decode(piece, strPieces, bFinal); });
        FUZZ_CHECK(isModelUtf8(strWhole) && strPieces == strWhole);
        FUZZ_CHECK(pPieces->invalidCount() == pWhole->invalidCount());
    }
    return 0;
}
