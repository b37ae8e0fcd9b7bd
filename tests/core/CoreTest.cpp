#include "core/Core.h"

#include <sys/stat.h>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "TestUtil.h"
#include "core/IniFile.h"
#include "core/Settings.h"

namespace {

const std::string kKeySitePath(settings::kKeySitePath);
const std::string kKeyPrefix(settings::kKeyPrefix);
const std::string kKeyWww(settings::kKeyWww);

TEST(CoreSettingsTest, NeverSavedKeysReadEmptyAndZero) {
    CScopedTempDir dir;
    CCore core(dir.dir().string());
    core.autoFileConfig();
    EXPECT_EQ(core.getConfigStr(kKeySitePath), "");
    EXPECT_EQ(core.getConfigStr(kKeyPrefix), "");
    EXPECT_EQ(core.getConfigB(kKeyWww), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path("Kelvane.ini")));
}

TEST(CoreSettingsTest, SavedValuesComeBackInTheNextProgramRun) {
    const std::string values[] = {
        "/var/www/sites",
        "   ",
        "D:\\web\\",
        "C:\\new\\root",
        "a=b;c",
        "\xE7\xAB\x99\xE7\x82\xB9",
        "two\nlines\r\n",
        " lead and trail ",
        "\\n is not a line break",
    };
    for (const auto& value : values) {
        CScopedTempDir dir;
        {
            CCore core(dir.dir().string());
            core.autoFileConfig();
            EXPECT_TRUE(core.saveConfigStr(kKeySitePath, value));
            EXPECT_TRUE(core.saveConfigStr(kKeyPrefix, "m"));
            EXPECT_TRUE(core.saveConfigB(kKeyWww, 1));
        }
        CCore core(dir.dir().string());
        core.autoFileConfig();
        EXPECT_EQ(core.getConfigStr(kKeySitePath), value);
        EXPECT_EQ(core.getConfigStr(kKeyPrefix), "m");
        EXPECT_EQ(core.getConfigB(kKeyWww), 1);
    }
}

TEST(CoreSettingsTest, HandEditedFileIsRead) {
    CScopedTempDir dir;
    writeFile(dir.path("Kelvane.ini"), "\xEF\xBB\xBF; comment\r\n[Other]\r\npathroot=not "
                                       "ours\r\n[Kelvane]\r\n pathroot = /srv/www\r\nbwww=1\r\n");
    CCore core(dir.dir().string());
    core.autoFileConfig();
    EXPECT_EQ(core.getConfigStr(kKeySitePath), " /srv/www");
    EXPECT_EQ(core.getConfigB(kKeyWww), 1);
    EXPECT_EQ(core.getConfigStr(kKeyPrefix), "");
}

TEST(CoreSettingsTest, SaveReplacesTheFileWholeAndLeavesNoTemporaryFile) {
    CScopedTempDir dir;
    CCore core(dir.dir().string());
    core.autoFileConfig();
    ASSERT_TRUE(core.saveConfigStr(kKeySitePath, "/a"));
    ASSERT_TRUE(core.saveConfigStr(kKeySitePath, "/b"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.dir()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"Kelvane.ini"});
    EXPECT_EQ(readFile(dir.path("Kelvane.ini")), "[Kelvane]\npathroot=/b\n");
}

TEST(CoreSettingsTest, FailedSaveSaysWhy) {
    CScopedTempDir dir;
    // Nothing can be written into a directory that does not exist.
    CCore core(dir.path("missing"));
    core.autoFileConfig();
    EXPECT_FALSE(core.saveConfigStr(kKeySitePath, "/a"));
    EXPECT_NE(core.lastConfigError().find("No such file or directory"), std::string::npos);
    // The value is still what the program uses for the rest of its run.
    EXPECT_EQ(core.getConfigStr(kKeySitePath), "/a");
}

TEST(CoreSettingsTest, BothThreadsMaySaveAndReadAtOnce) {
    CScopedTempDir dir;
    CCore core(dir.dir().string());
    core.autoFileConfig();
    std::thread other([&core] {
        for (int i = 0; i < 50; ++i)
            core.saveConfigStr(kKeyPrefix, "p" + std::to_string(i));
    });
    for (int i = 0; i < 50; ++i) {
        core.saveConfigB(kKeyWww, i % 2);
        const std::string prefix = core.getConfigStr(kKeyPrefix);
        EXPECT_TRUE(prefix.empty() || prefix[0] == 'p');
    }
    other.join();
    CCore reread(dir.dir().string());
    reread.autoFileConfig();
    EXPECT_EQ(reread.getConfigStr(kKeyPrefix), "p49");
    EXPECT_EQ(reread.getConfigB(kKeyWww), 1);
}

TEST(CoreFileTest, OnlyRegularFilesExist) {
    CScopedTempDir dir;
    writeFile(dir.path("list.txt"), "\xEF\xBB\xBF"
                                    "a.com");
    EXPECT_EQ(CCore::isFileExist(dir.path("list.txt")), 1);
    EXPECT_EQ(CCore::isFileExist(dir.dir().string()), 0);
    EXPECT_EQ(CCore::isFileExist(dir.path("none.txt")), 0);
    EXPECT_EQ(CCore::isFileExist(""), 0);
}

TEST(CoreTest, ProgramDirectoryEndsInASeparatorAndHoldsTheExecutable) {
    const std::string dir = executableDir();
    ASSERT_FALSE(dir.empty());
#ifdef _WIN32
    EXPECT_EQ(dir.back(), '\\');
#else
    EXPECT_EQ(dir.back(), '/');
#endif
    EXPECT_TRUE(std::filesystem::is_directory(dir));
}

} // namespace
