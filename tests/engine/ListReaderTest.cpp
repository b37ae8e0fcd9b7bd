#include "engine/ListReader.h"

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

using Lines = std::vector<std::string>;

Lines allLines(CListReader& reader) {
    Lines lines;
    std::string_view line;
    while (reader.nextLine(line))
        lines.emplace_back(line);
    return lines;
}

const struct {
    std::string text;
    Lines lines;
} kCases[] = {
    {"", {""}},
    {"a.com", {"a.com"}},
    {"a.com\r\nb.com", {"a.com\r", "b.com"}}, // the CR is trimmed with the line's blanks
    {"a.com\nb.com", {"a.com", "b.com"}},
    {"a.com\rb.com", {"a.com\rb.com"}},       // a lone CR does not end a line
    {"a.com`b.com", {"a.com", "b.com"}},
    {"a.com\r\n", {"a.com\r", ""}},           // a last, empty line
    {"\n\n", {"", "", ""}},
    {"a`\r\n`b", {"a", "\r", "", "b"}},
};

TEST(ListReaderTest, LinesOfATextInMemory) {
    for (const auto& c : kCases) {
        CListReader reader;
        reader.openText(c.text);
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size())) << testing::PrintToString(c.text);
        EXPECT_EQ(allLines(reader), c.lines) << testing::PrintToString(c.text);
    }
}

TEST(ListReaderTest, LinesOfAFile) {
    CScopedTempDir dir;
    for (const auto& c : kCases) {
        const std::string path = dir.path("list.txt");
        writeFile(path, c.text);
        CListReader reader;
        std::string reason;
        ASSERT_TRUE(reader.openFile(path, reason)) << reason;
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size())) << testing::PrintToString(c.text);
        EXPECT_EQ(allLines(reader), c.lines) << testing::PrintToString(c.text);
        EXPECT_FALSE(reader.failed());
    }
}

TEST(ListReaderTest, ByteOrderMarkAndGb18030Files) {
    const struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"\xEF\xBB\xBF" "a.com\nb.com", {"a.com", "b.com"}},
        {"\xD6\xD0.cn\n\xCE\xC4.cn", {"\xE4\xB8\xAD.cn", "\xE6\x96\x87.cn"}},
        // 0x60 (a backquote in ASCII) as the second byte of a GB18030 character splits nothing.
        {"\x81\x60.cn\nb.cn", {"\xE4\xB9\xA3.cn", "b.cn"}},
        {"\x84\x31\x95\x33\xD6\xD0.cn", {"\xE4\xB8\xAD.cn"}},
    };
    CScopedTempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.path("list.txt"), c.bytes);
        CListReader reader;
        std::string reason;
        ASSERT_TRUE(reader.openFile(dir.path("list.txt"), reason));
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size()));
        EXPECT_EQ(allLines(reader), c.lines) << testing::PrintToString(c.bytes);
    }
}

TEST(ListReaderTest, LongFilesAreCutTheSameWhereverThePiecesEnd) {
    // Lines of many lengths, so that piece ends fall inside lines, on separators and inside
    // multi-byte characters.
    for (const bool gb : {false, true}) {
        std::string bytes;
        Lines expected;
        for (int i = 0; i < 60000; ++i) {
            std::string name = "site" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 23), 'x');
            const std::string sep = i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "`";
            bytes += (gb ? "\xD6\xD0" : "\xE4\xB8\xAD") + name + ".cn" + sep;
            expected.push_back("\xE4\xB8\xAD" + name + ".cn" + (i % 3 == 0 ? "\r" : ""));
        }
        expected.emplace_back();
        CScopedTempDir dir;
        writeFile(dir.path("list.txt"), bytes);
        CListReader reader;
        std::string reason;
        ASSERT_TRUE(reader.openFile(dir.path("list.txt"), reason));
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(expected.size()));
        const Lines lines = allLines(reader);
        ASSERT_EQ(lines.size(), expected.size());
        for (std::size_t i = 0; i < lines.size(); ++i)
            ASSERT_EQ(lines[i], expected[i]) << "line " << i + 1 << (gb ? " (GB18030)" : "");
    }
}

TEST(ListReaderTest, AFileThatCannotBeReadSaysWhy) {
    CScopedTempDir dir;
    CListReader missing;
    std::string reason;
    EXPECT_FALSE(missing.openFile(dir.path("none.txt"), reason));
    EXPECT_EQ(reason, "No such file or directory");
    // A regular file whose reading fails, whatever the user's rights.
    CListReader unreadable;
    EXPECT_FALSE(unreadable.openFile("/proc/self/mem", reason));
    EXPECT_FALSE(reason.empty());
}

} // namespace
