#include "engine/ListReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <optional>

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

enum class ESource { Memory, File, Pipe };

struct tagRead {
    Lines lines;              // each cut to kMaxKept, as the reader may hand it out
    std::int64_t nCount = -1; // -1: not counted beforehand
    std::int64_t nFirstGb18030Line = 0;
};

// The bytes read as a list from memory, from a file or from a pipe fed by a thread, nPiece bytes
// at a time (0: the reader's own size).
tagRead readList(ESource eSource, const std::string& bytes, std::size_t nPiece = 0) {
    CScopedTempDir dir;
    CListReader reader;
    if (nPiece != 0)
        reader.setPieceSize(nPiece);
    std::string reason;
    std::optional<CPipeFeeder> pipe;
    switch (eSource) {
    case ESource::Memory:
        reader.openText(bytes);
        break;
    case ESource::File:
        writeFile(dir.path("list.txt"), bytes);
        EXPECT_TRUE(reader.openFile(dir.path("list.txt"), reason)) << reason;
        break;
    case ESource::Pipe:
        pipe.emplace(bytes);
        EXPECT_TRUE(reader.openFd(pipe->fd(), reason)) << reason;
        break;
    }
    tagRead read;
    for (const std::string& line : allLines(reader))
        read.lines.push_back(line.substr(0, CListReader::kMaxKept));
    EXPECT_FALSE(reader.failed()) << reader.reason();
    EXPECT_EQ(reader.counted(), eSource != ESource::Pipe);
    if (reader.counted())
        read.nCount = reader.lineCount();
    read.nFirstGb18030Line = reader.firstGb18030Line();
    return read;
}

constexpr ESource kSources[] = {ESource::Memory, ESource::File, ESource::Pipe};
constexpr std::size_t kPieces[] = {1, 2, 3, 4, 5, 6, 7, 8, 0};

// What lineCount() says of a list of n lines: a stream is not counted.
std::int64_t countOf(ESource eSource, std::size_t n) {
    return eSource == ESource::Pipe ? -1 : static_cast<std::int64_t>(n);
}

std::string sourceName(ESource eSource, std::size_t nPiece) {
    const char* names[] = {"memory", "file", "pipe"};
    return std::string(names[static_cast<int>(eSource)]) + ", pieces of " + std::to_string(nPiece);
}

// A line end at the very end of the list starts no line; the count known beforehand agrees.
TEST(ListReaderTest, LineEnds) {
    // Lines of sixteen bytes: more line ends in one column than a byte can count.
    std::string column;
    for (int i = 0; i < 300; ++i)
        column += "abcdefghijk.com\n";
    const struct {
        std::string text;
        Lines lines;
    } cases[] = {
        {"", {}},
        {"\n", {""}},
        {"a.com", {"a.com"}},
        {"a.com\n", {"a.com"}},
        {"a.com\r\n", {"a.com"}},
        {"a.com`", {"a.com"}},
        {"a.com\n\n", {"a.com", ""}},
        {"a.com\r\nb.com", {"a.com", "b.com"}},
        {"a.com\nb.com", {"a.com", "b.com"}},
        {"a.com\rb.com", {"a.com", "b.com"}}, // a lone CR ends a line too
        {"a.com`b.com", {"a.com", "b.com"}},
        {"\n\n", {"", ""}},
        {"\r", {""}},
        {"a\r\r\nb\n\rc", {"a", "", "b", "", "c"}},
        {"a`\r\n`b", {"a", "", "", "b"}},
        {column, Lines(300, "abcdefghijk.com")},
    };
    for (const auto& c : cases) {
        for (const ESource eSource : kSources) {
            const tagRead read = readList(eSource, c.text);
            EXPECT_EQ(read.lines, c.lines)
                << sourceName(eSource, 0) << ": " << testing::PrintToString(c.text);
            EXPECT_EQ(read.nCount, countOf(eSource, c.lines.size())) << testing::PrintToString(c.text);
        }
    }
}

// Each line on its own merit, unless a byte-order mark decides; the same lines and the same first
// GB18030 line from memory, a file and a pipe, wherever the pieces end (inside a byte-order mark,
// a CR LF or a character).
TEST(ListReaderTest, EncodingsOfEachLine) {
    const std::string r = "\xEF\xBF\xBD";
    const std::string zhong = "\xE4\xB8\xAD"; // 中
    const struct {
        std::string bytes;
        Lines lines;
        std::int64_t nFirstGb18030Line;
    } cases[] = {
        {"\xEF\xBB\xBF"
         "a.com\r\nb.com",
         {"a.com", "b.com"},
         0},
        {"caf\xC3\xA9.fr\n\xD6\xD0\xCE\xC4.cn\nm\xC3\xBCller.de\r\n\xD6\xD0.cn",
         {"caf\xC3\xA9.fr", zhong + "\xE6\x96\x87.cn", "m\xC3\xBCller.de", zhong + ".cn"},
         2},
        {"\x84\x31\x95\x33\xD6\xD0.cn", {zhong + ".cn"}, 1}, // GB18030's own byte-order mark
        {"\x84\x31\x95\x33"
         "a.cn",
         {"a.cn"},
         0},
        // A backquote completes a GB18030 lead byte, but not a UTF-8 line, and not a GB18030
        // character that is whole already.
        {"\x81`.cn`b.cn\xD6`", {"\xE4\xB9\xA3.cn", "b.cn\xE8\xAC\x84"}, 1},
        {zhong + "`\xE4\xB8`x.cn", {zhong, "\xE6\xB6\x93", "x.cn"}, 2},
        // Neither UTF-8 nor GB18030 (the last has GB18030's form, but no character there).
        {"\x80.com\r\n\xFF\n\xD6\n\x81\x30\n\x84\x31\xA5\x30",
         {r + ".com", r, r, r + "0", r + "1" + r + "0"},
         0},
        // A UTF-8 byte-order mark: no line is GB18030.
        {"\xEF\xBB\xBF" + zhong + ".cn\n\xE9.com\n\xD6\xD0.cn\n\xD6`",
         {zhong + ".cn", r + ".com", r + r + ".cn", r},
         0},
        {"\xFF\xFE" + std::string("a\0.\0c\0\r\0\n\0\x2D\x4E`\0b\0", 16), {"a.c", zhong, "b"}, 0},
        {"\xFE\xFF" + std::string("\0a\0\n\x60\x60", 6),
         {"a", "\xE6\x81\xA0"},
         0}, // U+6060 holds no backquote
    };
    for (const auto& c : cases) {
        for (const ESource eSource : kSources) {
            for (const std::size_t nPiece : kPieces) {
                if (eSource == ESource::Memory && nPiece != 0)
                    continue;
                const tagRead read = readList(eSource, c.bytes, nPiece);
                const std::string where =
                    sourceName(eSource, nPiece) + ": " + testing::PrintToString(c.bytes);
                EXPECT_EQ(read.lines, c.lines) << where;
                EXPECT_EQ(read.nFirstGb18030Line, c.nFirstGb18030Line) << where;
                EXPECT_EQ(read.nCount, countOf(eSource, c.lines.size())) << where;
            }
        }
    }
}

TEST(ListReaderTest, RegularFileOnADescriptorIsReadFromWhereItStands) {
    // Counted by its line ends, and by the line splitter when it is not UTF-8.
    for (const std::string second : {"a.com", "\xD6\xD0.cn"}) {
        CScopedTempDir dir;
        writeFile(dir.path("list.txt"), "header\n" + second + "\nb.com");
        const int fd = ::open(dir.path("list.txt").c_str(), O_RDONLY);
        ASSERT_EQ(::lseek(fd, 7, SEEK_SET), 7);
        CListReader reader;
        std::string reason;
        ASSERT_TRUE(reader.openFd(fd, reason));
        EXPECT_EQ(reader.lineCount(), 2);
        EXPECT_EQ(allLines(reader).size(), 2u);
        EXPECT_EQ(reader.firstGb18030Line(), second == "a.com" ? 0 : 1);
        ::close(fd);
    }
}

// Memory stays bounded whatever a line holds: a long line comes cut, the same wherever the pieces
// end; a huge one ends the reading.
TEST(ListReaderTest, LongLinesAreCutAndHugeOnesEndTheReading) {
    const std::string longLine(300000, 'x');
    std::string gbLine, gbDecoded;
    for (int i = 0; i < 10000; ++i) {
        gbLine += "\xD6\xD0";
        gbDecoded += "\xE4\xB8\xAD";
    }
    for (const std::size_t nPiece : {std::size_t{4096}, std::size_t{0}}) {
        const tagRead read =
            readList(ESource::File, "a.com\n" + longLine + "\n" + gbLine + "\nb.com", nPiece);
        EXPECT_EQ(read.lines, (Lines{"a.com", longLine.substr(0, CListReader::kMaxKept),
                                     gbDecoded.substr(0, CListReader::kMaxKept), "b.com"}))
            << "pieces of " << nPiece;
        EXPECT_EQ(read.nFirstGb18030Line, 3);
    }

    const int fd = ::open("/dev/zero", O_RDONLY);
    CListReader zeros;
    std::string reason;
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

// A UTF-8 list with GB18030 lines far apart: each line read as it is, the same from a file and a
// pipe, with the reader's own pieces ending inside lines, on line ends and inside characters.
TEST(ListReaderTest, LongListsAreCutTheSameWhereverThePiecesEnd) {
    for (const bool bGb18030 : {false, true}) {
        std::string bytes;
        Lines expected;
        for (int i = 0; i < 60000; ++i) {
            std::string name =
                "site" + std::to_string(i) + std::string(static_cast<std::size_t>(i % 23), 'x');
            const std::string sep = i % 4 == 0 ? "\r\n" : i % 4 == 1 ? "\n" : i % 4 == 2 ? "\r" : "`";
            bytes += (bGb18030 && i % 9000 == 8999 ? "\xD6\xD0" : "\xE4\xB8\xAD") + name + ".cn" + sep;
            expected.push_back("\xE4\xB8\xAD" + name + ".cn");
        }
        for (const ESource eSource : {ESource::File, ESource::Pipe}) {
            const tagRead read = readList(eSource, bytes);
            ASSERT_EQ(read.lines.size(), expected.size()) << sourceName(eSource, 0);
            for (std::size_t i = 0; i < read.lines.size(); ++i)
                ASSERT_EQ(read.lines[i], expected[i]) << "line " << i + 1 << ", " << sourceName(eSource, 0);
            EXPECT_EQ(read.nFirstGb18030Line, bGb18030 ? 9000 : 0);
            EXPECT_EQ(read.nCount, countOf(eSource, expected.size()));
        }
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
