#include "engine/DiskNameSet.h"

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

// The set on disk answers as a set in memory would, in any case of the letters: names seen again
// at once (before their places are written), long after, across the table's growth, and many more
// than the filter in memory tells apart.
TEST(DiskNameSetTest, AnswersAsASetInMemory) {
    for (const std::uint64_t nExpected : {std::uint64_t{0}, std::uint64_t{400000}}) {
        CDiskNameSet set(nExpected);
        std::set<std::string> model;
        const auto insert = [&](std::string strName) {
            const bool bNew = set.insert(strName);
            std::transform(strName.begin(), strName.end(), strName.begin(), [](char ch) {
                return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
            });
            ASSERT_EQ(bNew, model.insert(strName).second) << strName << " after " << model.size();
        };
        for (int i = 0; i < 300000; ++i) {
            const std::string strName = "n" + std::to_string(i) + ".example";
            insert(strName);
            if (i % 5 == 0)
                insert(strName); // again at once
            if (i % 7 == 0 && i >= 70000)
                insert("N" + std::to_string(i - 70000) + ".EXAMPLE"); // long after, in capitals
            if (HasFatalFailure())
                return;
        }
        EXPECT_FALSE(set.failed());
        EXPECT_FALSE(set.insert("n299999.example"));
        EXPECT_TRUE(set.insert(std::string(255, 'x')));
        EXPECT_FALSE(set.insert(std::string(256, 'y'))) << "longer than a record holds";
    }
}
