#include "engine/OutFile.h"

#include <csignal>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

std::string entry(int i) { return "entry " + std::to_string(i) + std::string(static_cast<std::size_t>(i % 50), '.') + "\r\n"; }

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
    EXPECT_FALSE(out.open(dir.dir().string(), reason));
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

TEST(OutFileTest, FailedWriteKeepsOnlyWholeEntries) {
    for (const std::size_t pieceSize : {std::size_t{1}, std::size_t{700}, std::size_t{1} << 20}) {
        CScopedTempDir dir;
        const std::string path = dir.path("out.txt");
        std::string reason;
        std::string all;
        bool closed = true;
        std::int64_t written = 0;
        {
            CFileSizeLimit limit(10000);
            COutFile out;
            out.setPieceSize(pieceSize);
            ASSERT_TRUE(out.open(path, reason));
            for (int i = 0; i < 1000 && !out.failed(); ++i) {
                out.buffer().append(entry(i));
                out.entryDone();
                all += entry(i);
            }
            closed = out.close(reason);
            written = out.entriesWritten();
        }
        EXPECT_FALSE(closed) << "piece size " << pieceSize;
        EXPECT_EQ(reason, "File too large");
        const std::string file = readFile(path);
        ASSERT_LE(file.size(), 10000u);
        // The file is the first entries, each whole, and as many as were counted.
        std::string whole;
        for (int i = 0; i < written; ++i)
            whole += entry(i);
        EXPECT_EQ(file, whole) << "piece size " << pieceSize;
        EXPECT_GT(written, 0);
        EXPECT_GT(whole.size() + entry(static_cast<int>(written)).size(), 10000u) << "entries lost";
    }
}

} // namespace
