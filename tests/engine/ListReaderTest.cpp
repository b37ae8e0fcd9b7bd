#include "engine/ListReader.h"

#include <fcntl.h>
#include <unistd.h>

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
    {"a.com\r\nb.com", {"a.com", "b.com"}},
    {"a.com\nb.com", {"a.com", "b.com"}},
    {"a.com\rb.com", {"a.com", "b.com"}}, // a lone CR ends a line too
    {"a.com`b.com", {"a.com", "b.com"}},
    {"a.com\r\n", {"a.com", ""}}, // a last, empty line
    {"\n\n", {"", "", ""}},
    {"\r", {"", ""}},
    {"a\r\r\nb\n\rc", {"a", "", "b", "", "c"}},
    {"a`\r\n`b", {"a", "", "", "b"}},
};

TEST(ListReaderTest, LinesOfATextInMemory) {
    for (const auto& c : kCases) {
        CListReader reader;
        reader.openText(c.text);
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size()))
            << testing::PrintToString(c.text);
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
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size()))
            << testing::PrintToString(c.text);
        EXPECT_EQ(allLines(reader), c.lines) << testing::PrintToString(c.text);
        EXPECT_FALSE(reader.failed());
    }
}

// Each file is also read from a pipe, as standard input would give it: the same lines.
TEST(ListReaderTest, EncodingsOfFilesAndStreams) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        std::string bytes;
        Lines lines;
    } cases[] = {
        {"\xEF\xBB\xBF"
         "a.com\nb.com",
         {"a.com", "b.com"}},
        {"\xD6\xD0.cn\n\xCE\xC4.cn", {"\xE4\xB8\xAD.cn", "\xE6\x96\x87.cn"}},
        // 0x60 (a backquote in ASCII) as the second byte of a GB18030 character splits nothing.
        {"\x81\x60.cn\nb.cn", {"\xE4\xB9\xA3.cn", "b.cn"}},
        {"\x84\x31\x95\x33\xD6\xD0.cn", {"\xE4\xB8\xAD.cn"}},
        // A byte-order mark says UTF-8: one stray Latin-1 byte spoils its line only.
        {"\xEF\xBB\xBF"
         "\xE4\xB8\xAD.cn\n\xE9.com",
         {"\xE4\xB8\xAD.cn", r + ".com"}},
        {"\x80.com\r\n\xFF", {r + ".com", r}}, // neither UTF-8 nor GB18030
        {"\xFF\xFE" + std::string("a\0.\0c\0\r\0\n\0\x2D\x4E`\0b\0", 16), {"a.c", "\xE4\xB8\xAD", "b"}},
        {"\xFE\xFF" + std::string("\0a\0\n\x60\x60", 6), {"a", "\xE6\x81\xA0"}}, // U+6060 holds no backquote
    };
    CScopedTempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.path("list.txt"), c.bytes);
        CListReader reader;
        std::string reason;
        ASSERT_TRUE(reader.openFile(dir.path("list.txt"), reason));
        EXPECT_EQ(reader.lineCount(), static_cast<std::int64_t>(c.lines.size()));
        EXPECT_EQ(allLines(reader), c.lines) << testing::PrintToString(c.bytes);

        CPipeFeeder pipe(c.bytes);
        CListReader streamed;
        ASSERT_TRUE(streamed.openFd(pipe.fd(), reason));
        EXPECT_FALSE(streamed.counted());
        EXPECT_EQ(allLines(streamed), c.lines) << "piped: " << testing::PrintToString(c.bytes);
    }
}

TEST(ListReaderTest, RegularFileOnADescriptorIsReadFromWhereItStands) {
    CScopedTempDir dir;
    writeFile(dir.path("list.txt"), "header\na.com\nb.com");
    const int fd = ::open(dir.path("list.txt").c_str(), O_RDONLY);
    ASSERT_EQ(::lseek(fd, 7, SEEK_SET), 7);
    CListReader reader;
    std::string reason;
    ASSERT_TRUE(reader.openFd(fd, reason));
    EXPECT_EQ(reader.lineCount(), 2);
    EXPECT_EQ(allLines(reader), (Lines{"a.com", "b.com"}));
    ::close(fd);
}

// Memory stays bounded whatever a line holds: a long line comes cut, a huge one ends the reading.
TEST(ListReaderTest, LongLinesAreCutAndHugeOnesEndTheReading) {
    const std::string longLine(300000, 'x');
    CScopedTempDir dir;
    writeFile(dir.path("list.txt"), "a.com\n" + longLine + "\nb.com");
    CListReader reader;
    std::string reason;
    ASSERT_TRUE(reader.openFile(dir.path("list.txt"), reason));
    EXPECT_EQ(allLines(reader), (Lines{"a.com", longLine.substr(0, CListReader::kMaxKept), "b.com"}));

    const int fd = ::open("/dev/zero", O_RDONLY);
    CListReader zeros;
    ASSERT_TRUE(zeros.openFd(fd, reason));
    std::string_view line;
    EXPECT_FALSE(zeros.nextLine(line));
    EXPECT_EQ(zeros.failure(), CListReader::EFailure::LineTooLong);
    ::close(fd);
}

TEST(ListReaderTest, ReadErrorInTheMiddleOfAStreamIsAFailure) {
    const int fd = resetSocketAfter("a.com\nb.com\n");
    ASSERT_GE(fd, 0);
    CListReader reader;
    std::string reason;
    ASSERT_TRUE(reader.openFd(fd, reason));
    EXPECT_EQ(allLines(reader), (Lines{"a.com", "b.com"}));
    EXPECT_EQ(reader.failure(), CListReader::EFailure::System);
    EXPECT_EQ(reader.reason(), "Connection reset by peer");
    ::close(fd);
}

TEST(ListReaderTest, LongFilesAreCutTheSameWhereverThePiecesEnd) {
    // Lines of many lengths, so that piece ends fall inside lines, on separators and inside
    // multi-byte characters.
    for (const bool gb : {false, true}) {
        std::string bytes;
        Lines expected;
        for (int i = 0; i < 60000; ++i) {
            std::string name =
                "site" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 23), 'x');
            const std::string sep = i % 4 == 0 ? "\r\n" : i % 4 == 1 ? "\n" : i % 4 == 2 ? "\r" : "`";
            bytes += (gb ? "\xD6\xD0" : "\xE4\xB8\xAD") + name + ".cn" + sep;
            expected.push_back("\xE4\xB8\xAD" + name + ".cn");
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
