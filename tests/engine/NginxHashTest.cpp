#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/NginxHash.h"

namespace {
using tagSizes = CNginxHashSizer::tagSizes;

std::vector<std::string> generated(int n) {
    std::vector<std::string> names;
    for (int i = 0; i < n; ++i)
        names.push_back("site" + std::to_string(i) + "-" + std::to_string(i * 7919 % 100003) + ".example" +
                        std::to_string(i % 13) + ".test");
    return names;
}

// The keys as nginx hashes them: each name's bytes, and 8 + its length and 2 rounded up to 8.
std::vector<CNginxHashSizer::tagKey> keysOf(const std::vector<std::string>& names) {
    std::vector<CNginxHashSizer::tagKey> keys;
    for (const std::string& name : names)
        keys.push_back(
            {CNginxHashSizer::keyHash(name), static_cast<std::uint8_t>(1 + (name.size() + 2 + 7) / 8)});
    return keys;
}
} // namespace

TEST(NginxHashTest, SizesAreWhatNginxNeedsAndNotFarMore) {
    struct tagCase {
        const char* what;
        std::vector<std::string> names;
        tagSizes expected; // 0: whatever nginx needs, checked against its search
    };
    const std::vector<tagCase> cases = {
        {"a few names: nginx's defaults", {"a.test", "www.a.test", "b.test"}, {64, 512}},
        {"a name of 253 characters needs 8 + 256 + 8 bytes, in cache lines",
         {std::string(249, 'a') + ".com"},
         {320, 512}},
        {"20,000 names", generated(20000), {0, 0}},
        // Past 32,768 names the keys go to a temporary file.
        {"100,000 names", generated(100000), {0, 0}},
    };
    for (const tagCase& c : cases) {
        CNginxHashSizer sizer;
        for (const std::string& name : c.names)
            sizer.add(name);
        tagSizes sizes;
        int nErrno = 0;
        ASSERT_TRUE(sizer.sizes(sizes, nErrno)) << c.what << ": " << nErrno;
        if (c.expected.nBucketSize != 0) {
            EXPECT_EQ(sizes.nBucketSize, c.expected.nBucketSize) << c.what;
            EXPECT_EQ(sizes.nMaxSize, c.expected.nMaxSize) << c.what;
            continue;
        }
        const auto keys = keysOf(c.names);
        EXPECT_EQ(sizes.nBucketSize % CNginxHashSizer::kCacheLine, 0u) << c.what;
        EXPECT_TRUE(CNginxHashSizer::nginxFinds(keys, sizes))
            << c.what << ": " << sizes.nBucketSize << " " << sizes.nMaxSize;
        EXPECT_FALSE(CNginxHashSizer::nginxFinds(keys, {sizes.nBucketSize / 2, sizes.nMaxSize})) << c.what;
        EXPECT_LE(sizes.nMaxSize, c.names.size() + 1000) << c.what;
    }
}

TEST(NginxHashTest, NamesHashAsNginxHashesThem) {
    // nginx: key = key * 31 + each byte, lower-cased, in 64 bits.
    EXPECT_EQ(CNginxHashSizer::keyHash("ab"), 97u * 31 + 98);
    EXPECT_EQ(CNginxHashSizer::keyHash("WWW.Example.COM"), CNginxHashSizer::keyHash("www.example.com"));
    std::uint64_t nExpected = 0;
    for (char ch : std::string(40, 'z'))
        nExpected = nExpected * 31 + static_cast<unsigned char>(ch);
    EXPECT_EQ(CNginxHashSizer::keyHash(std::string(40, 'z')), nExpected) << "wraps in 64 bits";
}
