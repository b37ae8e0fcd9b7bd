#include "core/Encoding.h"

#include <gtest/gtest.h>

namespace {

// 中文 in GB18030 and in UTF-8.
const std::string kGbZhongWen = "\xD6\xD0\xCE\xC4";
const std::string kUtf8ZhongWen = "\xE4\xB8\xAD\xE6\x96\x87";

TEST(EncodingTest, Utf8Validity) {
    const struct {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii.com", true},
        {kUtf8ZhongWen, true},
        {"\xF0\x9F\x98\x80", true},  // U+1F600
        {"\xF4\x8F\xBF\xBF", true},  // U+10FFFF
        {"\xC0\xAF", false},         // overlong /
        {"\xE0\x80\xAF", false},     // overlong /
        {"\xED\xA0\x80", false},     // surrogate
        {"\xF4\x90\x80\x80", false}, // past U+10FFFF
        {"\xF5\x80\x80\x80", false}, // a lead byte past U+10FFFF
        {"\xE4\xB8", false},         // cut short
        {"\x80", false},             // stray continuation
        {kGbZhongWen, false},
        {"\xFF", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(enc::isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(EncodingTest, ValidatorAcceptsACharacterSplitAtAnyPoint) {
    const std::string text = "ab" + kUtf8ZhongWen + "\xF0\x9F\x98\x80" + "cdefghijklmnop";
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        enc::CUtf8Validator validator;
        validator.feed(std::string_view(text).substr(0, cut));
        validator.feed(std::string_view(text).substr(cut));
        EXPECT_TRUE(validator.finish()) << "cut at " << cut;
    }
    enc::CUtf8Validator unfinished;
    unfinished.feed("\xE4\xB8");
    EXPECT_TRUE(unfinished.valid());
    EXPECT_FALSE(unfinished.finish());
}

// The UTF-8 of a text is the same whatever the encoding it came in, and wherever its pieces end.
TEST(EncodingTest, DecodersAcrossPieces) {
    const struct {
        enc::EEncoding encoding;
        std::string bytes;
    } cases[] = {
        {enc::EEncoding::Utf8, "a." + kUtf8ZhongWen + "\xF0\x9F\x98\x80.cn"},
        {enc::EEncoding::Gb18030, "a." + kGbZhongWen + "\x94\x39\xFC\x36.cn"},
        {enc::EEncoding::Utf16Le, std::string("a\0.\0\x2D\x4E\x87\x65\x3D\xD8\x00\xDE.\0c\0n\0", 18)},
        {enc::EEncoding::Utf16Be, std::string("\0a\0.\x4E\x2D\x65\x87\xD8\x3D\xDE\x00\0.\0c\0n", 18)},
    };
    const std::string expected = "a." + kUtf8ZhongWen + "\xF0\x9F\x98\x80.cn";
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            auto pDecoder = enc::CDecoder::create(c.encoding);
            ASSERT_TRUE(pDecoder);
            std::string out;
            pDecoder->decode(std::string_view(c.bytes).substr(0, cut), out, false);
            pDecoder->decode(std::string_view(c.bytes).substr(cut), out, true);
            EXPECT_EQ(out, expected) << static_cast<int>(c.encoding) << ", cut at " << cut;
            EXPECT_EQ(pDecoder->invalidCount(), 0);
        }
    }
}

TEST(EncodingTest, WhatIsNotTextBecomesReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        enc::EEncoding encoding;
        std::string bytes;
        std::string text;
    } cases[] = {
        {enc::EEncoding::Gb18030,
         "a\xFF"
         "b\xD6",
         "a" + r + "b" + r},
        {enc::EEncoding::Gb18030,
         "\x80"
         "a\x81\x30",
         r + "a" + r + "0"}, // no lead byte; cut four-byte
        {enc::EEncoding::Gb18030, "\x81\x30 \x30\xD6\x7F",
         r + "0 0" + r + "\x7F"}, // broken four- and two-byte
        {enc::EEncoding::Utf8,
         "a\xE9"
         "b",
         "a" + r + "b"}, // Latin-1
        {enc::EEncoding::Utf8,
         "a\xE4\xB8"
         "b\xE4",
         "a" + r + "b" + r},                                               // cut short, twice
        {enc::EEncoding::Utf8, "\xC0\xAF\xED\xA0\x80", r + r + r + r + r}, // overlong, surrogate
        {enc::EEncoding::Utf16Le,
         std::string("\x3D\xD8"
                     "a\0\x00\xDE"
                     "b",
                     7),
         r + "a" + r + r}, // lone halves, odd byte
    };
    for (const auto& c : cases) {
        auto pDecoder = enc::CDecoder::create(c.encoding);
        std::string out;
        pDecoder->decode(c.bytes, out, true);
        EXPECT_EQ(out, c.text) << testing::PrintToString(c.bytes);
        EXPECT_GT(pDecoder->invalidCount(), 0);
    }
}

// Whole files (templates): a byte-order mark decides; else UTF-8 when valid, GB18030 when valid,
// UTF-8 with U+FFFD otherwise.
TEST(EncodingTest, WholeFilesAreToldApart) {
    const std::string r = "\xEF\xBF\xBD";
    const std::string ascii(70000, 'a');
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"a.com\r\nb.com", "a.com\r\nb.com"},
        {"\xEF\xBB\xBF"
         "a.com",
         "a.com"},
        {"\xEF\xBB\xBF" + kUtf8ZhongWen, kUtf8ZhongWen},
        {kGbZhongWen + ".com", kUtf8ZhongWen + ".com"},
        {"a\xEF\xBB\xBF"
         "b",
         "a\xEF\xBB\xBF"
         "b"}, // only a leading one goes
        // A byte-order mark says UTF-8: a stray Latin-1 byte is one bad character, not GB18030.
        {"\xEF\xBB\xBF"
         "example.com\n\xE9\n" +
             kUtf8ZhongWen,
         "example.com\n" + r + "\n" + kUtf8ZhongWen},
        {"\xFF\xFE" + std::string("a\0\x2D\x4E", 4), "a\xE4\xB8\xAD"},
        {"\xFE\xFF" + std::string("\0a\x4E\x2D", 4), "a\xE4\xB8\xAD"},
        {"\xFF\xFE", ""},
        {"\x80\xFF", r + r}, // neither UTF-8 nor GB18030
        {ascii + kGbZhongWen, ascii + kUtf8ZhongWen},
        {ascii + kUtf8ZhongWen, ascii + kUtf8ZhongWen},
    };
    for (const auto& c : cases) {
        std::string str = c.bytes;
        enc::decodeText(str);
        EXPECT_EQ(str, c.text) << testing::PrintToString(c.bytes.substr(0, 40));
    }
}

// The form of GB18030, wherever the text is cut: whole, waiting for the second byte of a
// character, cut inside a four-byte character, or broken.
TEST(EncodingTest, Gb18030Form) {
    enum EForm { Whole, AwaitsSecond, Cut, Broken };
    const struct {
        std::string bytes;
        EForm form;
    } cases[] = {
        {"", Whole},
        {"a.com", Whole},
        {kGbZhongWen, Whole},
        {"\x81\x60\xFE\xFE\x81\x40", Whole}, // second bytes at the ends of their ranges
        {"\x81\x30\x81\x30.\xFE\x39\xFE\x39", Whole},
        {"a\xD6", AwaitsSecond},
        {kGbZhongWen + "\xFE", AwaitsSecond},
        {"\x81\x30", Cut},
        {"\x81\x30\xFE", Cut},
        {"\x80", Broken},
        {"\xFF", Broken},
        {"\xD6\x7F", Broken},
        {"\xD6\xFF", Broken},
        {"\xD6\n", Broken}, // a line end is never inside a character
        {"\xD6\x3F", Broken},
        {"\x81\x30\x30", Broken},
        {"\x81\x30\x81\x80", Broken},
        {"\x80" + kGbZhongWen, Broken}, // stays broken
    };
    for (const auto& c : cases) {
        for (std::size_t cut = 0; cut <= c.bytes.size(); ++cut) {
            enc::CGb18030Validator validator;
            validator.feed(std::string_view(c.bytes).substr(0, cut));
            EXPECT_EQ(validator.feed(std::string_view(c.bytes).substr(cut)), c.form != Broken);
            EXPECT_EQ(validator.valid(), c.form != Broken);
            EXPECT_EQ(validator.finish(), c.form == Whole)
                << testing::PrintToString(c.bytes) << " cut at " << cut;
            EXPECT_EQ(validator.awaitsSecondByte(), c.form == AwaitsSecond)
                << testing::PrintToString(c.bytes);
        }
    }
}

// The four-byte characters of the BMP come from the system's table, which Wine lacks.
TEST(EncodingTest, Gb18030FourByteCharactersOfTheBmp) {
    if (!enc::gb18030Complete())
        GTEST_SKIP() << "this system's GB18030 converter has no four-byte characters of the BMP";
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"\x84\x31\x95\x33" + kGbZhongWen, kUtf8ZhongWen}, // GB18030's own byte-order mark
        {"\x81\x30\x81\x30" + kGbZhongWen, "\xC2\x80" + kUtf8ZhongWen},
        {kGbZhongWen + "\x84\x31\xA4\x39", kUtf8ZhongWen + "\xEF\xBF\xBF"},
    };
    for (const auto& c : cases) {
        std::string str = c.bytes;
        enc::decodeText(str);
        EXPECT_EQ(str, c.text) << testing::PrintToString(c.bytes);
    }
}

} // namespace
