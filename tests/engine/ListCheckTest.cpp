#include "engine/ListCheck.h"

#include <gtest/gtest.h>

namespace {

using EKind = tagFinding::EKind;

// A list's findings without a server: what a run would refuse, report as a duplicate, or write
// for two lines.
TEST(ListCheckTest, FindingsOfAList) {
    const struct {
        std::string list;
        bool bWww;
        std::string prefix;
        std::vector<std::tuple<EKind, std::int64_t, std::int64_t, std::string>>
            findings; // kind, line, other, name
    } cases[] = {
        {"example.com\nexample.org\n", true, "m", {}},
        {"example.com\nm.example.com\n", false, "m", {{EKind::Clash, 2, 1, "m.example.com"}}},
        {"M.example.com\nexample.com\n", true, "m", {{EKind::Clash, 2, 1, "m.example.com"}}},
        // The run removes one "www.": the first line's name is www.example.com.
        {"www.www.example.com\n\nexample.com\n", true, "", {{EKind::Clash, 3, 1, "www.example.com"}}},
        {"www.www.example.com\nexample.com\n", false, "", {}},
        // A prefix that is the www alias writes no name twice.
        {"example.com\n", true, "www", {}},
        {"a.test\nlocalhost\nA.TEST.\nbad name.test\n",
         false,
         "",
         {{EKind::Duplicate, 3, 1, ""}, {EKind::Refused, 4, 0, ""}}},
        {"www.*\n*.a.test\n", false, "", {{EKind::Refused, 1, 0, ""}}},
    };
    for (const auto& c : cases) {
        tagGenRequest request;
        request.eList = EListSource::Text;
        request.strList = c.list;
        request.strSitePath = "/srv";
        request.bWww = c.bWww;
        request.strPrefix = c.prefix;
        std::vector<std::tuple<EKind, std::int64_t, std::int64_t, std::string>> found;
        tagGenResult result;
        EXPECT_TRUE(CListCheck(request, nullptr)
                        .run(
                            [&found](const tagFinding& f) {
                                found.emplace_back(f.eKind, f.nLine, f.nOtherLine, f.strName);
                            },
                            result));
        EXPECT_EQ(found, c.findings) << c.list;
    }
}

} // namespace
