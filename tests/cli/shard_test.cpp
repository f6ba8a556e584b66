#include "cli/shard.h"

#include <gtest/gtest.h>

namespace vidmill {
namespace {

TEST(ShardTest, SharesOfTheSortedListNeitherOverlapNorLeaveAGap) {
    struct Case {
        int share;
        int shares;
        std::vector<std::string> paths;
    } cases[] = {
        {1, 1, {"a", "b", "c", "d", "e"}},
        {1, 2, {"a", "b"}},
        {2, 2, {"c", "d", "e"}},
        {1, 3, {"a"}},
        {2, 3, {"b", "c"}},
        {3, 3, {"d", "e"}},
        {1, 7, {}},
        {7, 7, {"e"}},
    };
    for (const Case& c : cases) {
        // In the order of the inputs given; a refusal is shared like a file.
        std::vector<FoundFile> found = {{"d", "", "", ""},
                                        {"b", "x", "", ""},
                                        {"e", "", "gone", "no such file"},
                                        {"a", "", "", ""},
                                        {"c", "", "", ""}};
        std::vector<std::string> paths;
        for (const FoundFile& file : takeShare(found, c.share, c.shares)) {
            paths.push_back(file.path);
            EXPECT_EQ(file.subfolder, file.path == "b" ? "x" : "") << file.path;
            EXPECT_EQ(file.reason, file.path == "e" ? "no such file" : "") << file.path;
        }
        EXPECT_EQ(paths, c.paths) << c.share << "/" << c.shares;
    }
}

}  // namespace
}  // namespace vidmill
