#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/FileUtil.h"
#include "engine/GenerateThread.h"
#include "engine/ListReader.h"
#include "engine/OutFile.h"

namespace {

std::vector<std::string> fileNames(const CScopedTempDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir())) {
        const std::u8string name = entry.path().filename().u8string();
        names.emplace_back(name.begin(), name.end());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class CResultTarget : public CGenTarget {
public:
    tagGenResult result;

protected:
    void onDone(tagGenResult r) override { result = std::move(r); }
};

// Names in UTF-8 reach the system as the same names, whatever its code page. A run whose output
// is its own list replaces it (Windows cannot replace a file that is still open), and so does a
// settings file; nothing else is left beside them.
TEST(FileNamesTest, ChineseNamesAreReadAndReplaced) {
    for (const std::string name : {"列表.txt", "输出 文件.txt", "plain.txt"}) {
        CScopedTempDir dir;
        const std::string path = dir.path(name);
        writeFile(path, "a.com\r\n例子.中国\n");
        tagGenRequest request;
        request.eList = EListSource::File;
        request.strList = path;
        request.strSitePath = "/srv";
        request.strOutFile = path;
        CResultTarget target;
        {
            CGenerateThread thread(target, request);
            ASSERT_TRUE(thread.CreateThread());
            thread.Join();
        }
        EXPECT_EQ(target.result.eFailure, EGenFailure::None) << name << ": " << target.result.strReason;
        EXPECT_EQ(readFile(path),
                  builtinEntry("/srv", "a.com") + builtinEntry("/srv", "xn--fsqu00a.xn--fiqs8s"))
            << name;

        std::string reason;
        ASSERT_TRUE(file::replaceAtomically(path, "[Kelvane]\n", reason)) << name << ": " << reason;
        EXPECT_EQ(readFile(path), "[Kelvane]\n") << name;
        EXPECT_EQ(fileNames(dir), std::vector<std::string>{name});
    }
}

// A failure names the system's reason, the same words on every system.
TEST(FileNamesTest, FailuresSayWhy) {
    CScopedTempDir dir;
    std::filesystem::create_directory(utf8Path(dir.path("目录")));
    const struct {
        std::string path;
        bool bOutput;
        std::string reason;
    } cases[] = {
        {dir.path("没有.txt"), false, "No such file or directory"},
        {dir.path("目录"), false, "Is a directory"},
        {dir.path("没有/输出.txt"), true, "No such file or directory"},
        {dir.path("目录"), true, "Is a directory"},
    };
    for (const auto& c : cases) {
        std::string why;
        if (c.bOutput) {
            COutFile out;
            EXPECT_FALSE(out.open(c.path, why)) << c.path;
        } else {
            CListReader reader;
            EXPECT_FALSE(reader.openFile(c.path, why)) << c.path;
        }
        EXPECT_EQ(why, c.reason) << c.path;
    }
    EXPECT_EQ(fileNames(dir), std::vector<std::string>{"目录"});
}

} // namespace
