#include "engine/OutFile.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

std::string entry(int i) {
    return "entry " + std::to_string(i) + std::string(static_cast<std::size_t>(std::abs(i) % 50), '.') +
           "\r\n";
}

TEST(OutFileTest, EntriesArriveInOrderThroughManyPieces) {
    CScopedTempDir dir;
    const std::string path = dir.path("out.txt");
    writeFile(path, "previous output");
    COutFile out;
    out.setPieceSize(1000);
    std::string reason;
    ASSERT_TRUE(out.open(path, reason));
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        out.buffer().append(entry(i));
        out.entryDone();
        expected += entry(i);
    }
    ASSERT_TRUE(out.close(reason)) << reason;
    EXPECT_FALSE(out.failed());
    EXPECT_EQ(out.entriesWritten(), 20000);
    EXPECT_EQ(readFile(path), expected);
}

TEST(OutFileTest, FileThatCannotBeCreatedSaysWhy) {
    CScopedTempDir dir;
    COutFile out;
    std::string reason;
    EXPECT_FALSE(out.open(dir.path("missing/out.txt"), reason));
    EXPECT_EQ(reason, "No such file or directory");
    COutFile directory;
    EXPECT_FALSE(directory.open(dir.dir().string(), reason));
    EXPECT_EQ(reason, "Is a directory");
}

// Makes writes past a size fail, as on a full disk.
class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = nBytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~CFileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_old); }

private:
    rlimit m_old{};
};

// A stream (standard output, perhaps appending to a file) keeps whole entries only, and what the
// file held before the run stays.
TEST(OutFileTest, FailedWriteOnAStreamKeepsOnlyWholeEntries) {
    for (const bool append : {false, true}) {
        for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{700}, std::size_t{1} << 20}) {
            CScopedTempDir dir;
            const std::string path = dir.path("out.txt");
            const std::string before = append ? std::string(3000, '#') : "";
            writeFile(path, before);
            std::string reason;
            bool closed = true;
            std::int64_t written = 0;
            {
                CFileSizeLimit limit(10000);
                const int fd = ::open(path.c_str(), O_WRONLY | (append ? O_APPEND : O_TRUNC));
                COutFile out;
                out.setPieceSize(pieceSize);
                ASSERT_TRUE(out.openStream(fd, reason));
                for (int i = 0; i < 1000 && !out.failed(); ++i) {
                    out.buffer().append(entry(i));
                    out.entryDone();
                }
                closed = out.close(reason);
                written = out.entriesWritten();
                ::close(fd);
            }
            EXPECT_FALSE(closed) << "piece size " << pieceSize;
            EXPECT_EQ(reason, "File too large");
            std::string whole = before;
            for (int i = 0; i < written; ++i)
                whole += entry(i);
            EXPECT_EQ(readFile(path), whole) << "piece size " << pieceSize << (append ? ", appending" : "");
            EXPECT_GT(written, 0);
            EXPECT_GT(whole.size() + entry(static_cast<int>(written)).size(), 10000u) << "entries lost";
        }
    }
}

std::vector<std::string> filesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(dir))
        names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A named file is always the previous output or the new one, whole: never a mix, never a part.
TEST(OutFileTest, NamedFileIsReplacedWholeOrNotAtAll) {
    CScopedTempDir dir;
    const std::string path = dir.path("out.conf");
    writeFile(path, "previous output");
    ::chmod(path.c_str(), 0640);
    std::string reason;
    {
        CFileSizeLimit limit(5000);
        COutFile out;
        out.setPieceSize(100);
        ASSERT_TRUE(out.open(path, reason));
        for (int i = 0; i < 1000 && !out.failed(); ++i) {
            out.buffer().append(entry(i));
            out.entryDone();
        }
        EXPECT_FALSE(out.close(reason));
    }
    EXPECT_EQ(readFile(path), "previous output");
    EXPECT_EQ(filesIn(dir.dir()), std::vector<std::string>{"out.conf"}) << "a temporary file was left";

    // Two outputs into one file at once: the one closed last wins, whole.
    COutFile first;
    COutFile second;
    ASSERT_TRUE(first.open(path, reason));
    ASSERT_TRUE(second.open(path, reason));
    for (int i = 0; i < 3000; ++i) {
        first.buffer().append(entry(i));
        first.entryDone();
        second.buffer().append(entry(-i));
        second.entryDone();
    }
    ASSERT_TRUE(first.close(reason));
    EXPECT_EQ(readFile(path).substr(0, entry(0).size() + entry(1).size()), entry(0) + entry(1));
    ASSERT_TRUE(second.close(reason));
    std::string expected;
    for (int i = 0; i < 3000; ++i)
        expected += entry(-i);
    EXPECT_EQ(readFile(path), expected);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the permission bits were not kept";
    EXPECT_EQ(filesIn(dir.dir()), std::vector<std::string>{"out.conf"});

    // A discarded output leaves the file as it was.
    COutFile discarded;
    ASSERT_TRUE(discarded.open(path, reason));
    discarded.buffer().append("x");
    discarded.entryDone();
    discarded.discard();
    EXPECT_EQ(readFile(path), expected);
    EXPECT_EQ(filesIn(dir.dir()), std::vector<std::string>{"out.conf"});
}

TEST(OutFileTest, SymbolicLinkKeepsPointingAtTheReplacedFile) {
    CScopedTempDir dir;
    std::filesystem::create_directory(dir.path("real"));
    writeFile(dir.path("real/out.conf"), "previous");
    std::filesystem::create_symlink("real/out.conf", dir.path("link.conf"));
    std::filesystem::create_symlink("missing.conf", dir.path("dangling.conf"));
    for (const char* link : {"link.conf", "dangling.conf"}) {
        COutFile out;
        std::string reason;
        ASSERT_TRUE(out.open(dir.path(link), reason)) << reason;
        out.buffer().append(entry(1));
        out.entryDone();
        ASSERT_TRUE(out.close(reason));
        EXPECT_TRUE(std::filesystem::is_symlink(dir.path(link)));
        EXPECT_EQ(readFile(dir.path(link)), entry(1));
    }
    EXPECT_EQ(readFile(dir.path("real/out.conf")), entry(1));
    EXPECT_EQ(readFile(dir.path("missing.conf")), entry(1));
}

} // namespace
