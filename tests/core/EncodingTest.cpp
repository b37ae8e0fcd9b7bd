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
        {"\xF0\x9F\x98\x80", true},       // U+1F600
        {"\xF4\x8F\xBF\xBF", true},       // U+10FFFF
        {"\xC0\xAF", false},              // overlong /
        {"\xE0\x80\xAF", false},          // overlong /
        {"\xED\xA0\x80", false},          // surrogate
        {"\xF4\x90\x80\x80", false},      // past U+10FFFF
        {"\xE4\xB8", false},              // cut short
        {"\x80", false},                  // stray continuation
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

TEST(EncodingTest, Gb18030DecodesAcrossPieces) {
    const std::string gb = "a." + kGbZhongWen + ".cn";
    for (std::size_t cut = 0; cut <= gb.size(); ++cut) {
        enc::CGb18030Decoder decoder;
        ASSERT_TRUE(decoder.ok());
        std::string out;
        decoder.decode(std::string_view(gb).substr(0, cut), out, false);
        decoder.decode(std::string_view(gb).substr(cut), out, true);
        EXPECT_EQ(out, "a." + kUtf8ZhongWen + ".cn") << "cut at " << cut;
    }
}

TEST(EncodingTest, BytesThatAreNotGb18030BecomeReplacementCharacters) {
    enc::CGb18030Decoder decoder;
    std::string out;
    decoder.decode("a\xFF" "b\xD6", out, true);
    EXPECT_EQ(out, "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST(EncodingTest, DecodeTextMakesFilesUtf8WithoutByteOrderMark) {
    const struct {
        std::string bytes;
        std::string text;
    } cases[] = {
        {"a.com\r\nb.com", "a.com\r\nb.com"},
        {"\xEF\xBB\xBF" "a.com", "a.com"},
        {"\xEF\xBB\xBF" + kUtf8ZhongWen, kUtf8ZhongWen},
        {kGbZhongWen + ".com", kUtf8ZhongWen + ".com"},
        {"\x84\x31\x95\x33" + kGbZhongWen, kUtf8ZhongWen}, // GB18030's own byte-order mark
        {"a\xEF\xBB\xBF" "b", "a\xEF\xBB\xBF" "b"},         // only a leading one goes
    };
    for (const auto& c : cases) {
        std::string str = c.bytes;
        ASSERT_TRUE(enc::decodeText(str));
        EXPECT_EQ(str, c.text) << testing::PrintToString(c.bytes);
    }
}

} // namespace
