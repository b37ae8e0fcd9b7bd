#include "engine/Apply.h"

#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestUtil.h"

namespace {

std::string listing(const std::string& strDir) {
    std::string str;
    std::vector<std::string> names;
    // The lock stays, for the next apply to take.
    for (const auto& entry : std::filesystem::directory_iterator(strDir))
        if (entry.path().filename() != ".kelvane-apply.lock")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = strDir + "/" + name;
        if (std::filesystem::is_symlink(path))
            str += name + "->" + std::filesystem::read_symlink(path).filename().string() + " ";
        else if (std::filesystem::is_regular_file(path))
            str += name + "=" + readFile(path) + " ";
        else
            str += name + "/ ";
    }
    return str;
}

} // namespace

// What an apply would do to a site directory: a new file is added, one with other bytes (or a
// link) changed, one with the same bytes kept; with --prune, a file of an earlier apply that the
// list no longer has goes, never a file of the user's; links to each file where there are none.
TEST(ApplyTest, PlanOfASiteDirectory) {
    CScopedTempDir dir;
    const std::string staged = dir.path("staged"), sites = dir.path("sites"), enabled = dir.path("enabled");
    for (const std::string& d : {staged, sites, enabled})
        std::filesystem::create_directory(d);
    const std::string marked = std::string(CApply::kMarker) + "\n";
    for (const char* name : {"new.conf", "same.conf", "other.conf"})
        writeFile(staged + "/" + name, marked + name);
    writeFile(sites + "/same.conf", marked + "same.conf");
    writeFile(sites + "/kept.conf", marked + "kept.conf");
    writeFile(sites + "/other.conf", marked + "before");
    writeFile(sites + "/gone.conf", marked + "gone");
    writeFile(sites + "/user.conf", "# the user's\n");
    writeFile(sites + "/notes.txt", marked);
    ASSERT_EQ(::symlink((sites + "/same.conf").c_str(), (enabled + "/same.conf").c_str()), 0);
    ASSERT_EQ(::symlink((sites + "/gone.conf").c_str(), (enabled + "/gone.conf").c_str()), 0);
    writeFile(enabled + "/other.conf", "the user's own file, not a link");

    const struct {
        bool bPrune;
        std::vector<std::string> add, change, remove, keep, link, unlink;
    } cases[] = {
        {false, {"new.conf"}, {"other.conf"}, {}, {"kept.conf", "same.conf"}, {"kept.conf", "new.conf"}, {}},
        {true,
         {"new.conf"},
         {"other.conf"},
         {"gone.conf"},
         {"kept.conf", "same.conf"},
         {"kept.conf", "new.conf"},
         {"gone.conf"}},
    };
    for (const auto& c : cases) {
        tagApplyPlan plan;
        std::string error;
        // kept.conf the run found unchanged: it was not staged.
        ASSERT_TRUE(CApply::comparePlan(staged, {"kept.conf"}, sites, enabled, c.bPrune, plan, error))
            << error;
        EXPECT_EQ(plan.vecAdd, c.add);
        EXPECT_EQ(plan.vecChange, c.change);
        EXPECT_EQ(plan.vecRemove, c.remove) << c.bPrune;
        EXPECT_EQ(plan.vecKeep, c.keep);
        EXPECT_EQ(plan.vecLink, c.link);
        EXPECT_EQ(plan.vecUnlink, c.unlink) << c.bPrune;
    }

    // A file of the user's, or a link, of the name an entry would have is never replaced.
    writeFile(dir.path("elsewhere.conf"), marked + "link.conf");
    for (const std::string name : {"user.conf", "link.conf"}) {
        if (name == "link.conf") {
            ASSERT_EQ(::symlink(dir.path("elsewhere.conf").c_str(), (sites + "/link.conf").c_str()), 0);
        }
        writeFile(staged + "/" + name, marked + name);
        tagApplyPlan plan;
        std::string error;
        EXPECT_FALSE(CApply::comparePlan(staged, {}, sites, enabled, false, plan, error)) << name;
        EXPECT_NE(error.find(sites + "/" + name + " is not a file apply wrote"), std::string::npos) << error;
        std::filesystem::remove(staged + "/" + name);
    }
}

// An apply that died leaves its journal: the next one puts back each file and link it names, as
// far as it got, and reloads the server when it had reached the reload.
TEST(ApplyTest, RecoveryPutsBackWhatTheJournalNames) {
    for (const bool bReloading : {false, true}) {
        CScopedTempDir dir;
        const std::string sites = dir.path("sites"), enabled = dir.path("enabled");
        std::filesystem::create_directory(sites);
        std::filesystem::create_directory(enabled);
        const std::string marked = std::string(CApply::kMarker) + "\n";
        // Before: a.conf and b.conf of an earlier apply, b linked, and the user's u.conf.
        writeFile(sites + "/a.conf", marked + "a before");
        writeFile(sites + "/b.conf", marked + "b");
        writeFile(sites + "/u.conf", "user");
        ASSERT_EQ(::symlink((sites + "/b.conf").c_str(), (enabled + "/b.conf").c_str()), 0);
        const std::string before = listing(sites) + "| " + listing(enabled);
        // The apply had kept a.conf and b.conf, written new.conf and a new a.conf, removed b.conf
        // and its link, and linked new.conf; it had not reached a.conf's link.
        const std::string work = sites + "/.kelvane-apply";
        std::filesystem::create_directories(work + "/backup");
        ASSERT_EQ(::link((sites + "/a.conf").c_str(), (work + "/backup/a.conf").c_str()), 0);
        ASSERT_EQ(::link((sites + "/b.conf").c_str(), (work + "/backup/b.conf").c_str()), 0);
        writeFile(work + "/journal", "kelvane-cli apply journal 1\nadd new.conf\nchange a.conf\nremove "
                                     "b.conf\nlink new.conf\nlink a2.conf\nunlink b.conf\n" +
                                         std::string(bReloading ? "reloading\n" : ""));
        writeFile(sites + "/new.conf.tmp", marked + "new");
        std::filesystem::rename(sites + "/new.conf.tmp", sites + "/new.conf");
        writeFile(sites + "/a.conf.tmp", marked + "a after");
        std::filesystem::rename(sites + "/a.conf.tmp", sites + "/a.conf");
        std::filesystem::remove(sites + "/b.conf");
        std::filesystem::remove(enabled + "/b.conf");
        ASSERT_EQ(::symlink((sites + "/new.conf").c_str(), (enabled + "/new.conf").c_str()), 0);

        tagApplyConfig config;
        config.strSitesDir = sites;
        config.strEnabledDir = enabled;
        const std::string reloaded = dir.path("reloaded");
        config.strReloadCmd = "touch '" + reloaded + "'";
        config.bRecoverOnly = true;
        CApply apply(
            {}, config, [](const std::string&) {}, [](const std::string&) {}, [](const tagFinding&) {});
        EXPECT_EQ(apply.run(), EApplyEnd::Recovered) << apply.error();
        EXPECT_EQ(listing(sites) + "| " + listing(enabled), before) << bReloading;
        EXPECT_EQ(std::filesystem::exists(reloaded), bReloading);
    }
}
