#include "app/window_arguments.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

namespace vidmill {
namespace {

using Words = std::vector<std::string>;

TEST(WindowArgumentsTest, QtTakesItsOptionsAndTheRestAreFiles) {
    struct Case {
        Words args;
        Words qt;
        Words files;
    };
    for (const Case& c : {
             Case{{"-platform", "offscreen", "a.avi", "--reverse", "dir"},
                  {"-platform", "offscreen", "--reverse"},
                  {"a.avi", "dir"}},
             // A value is never an option, and after -- nothing is.
             Case{{"-style", "--help", "--", "--help", "-platform", "-"},
                  {"-style", "--help"},
                  {"--help", "-platform", "-"}},
             Case{{"-", "./--version"}, {}, {"-", "./--version"}},
         }) {
        const WindowRequest request = parseWindowArguments(c.args);
        ASSERT_TRUE(std::holds_alternative<WindowRun>(request)) << c.args.front();
        EXPECT_EQ(std::get<WindowRun>(request).qtArguments, c.qt);
        EXPECT_EQ(std::get<WindowRun>(request).files, c.files);
    }
}

TEST(WindowArgumentsTest, HelpVersionAndUsageErrorsAreAnsweredWithoutAWindow) {
    EXPECT_TRUE(std::holds_alternative<WindowHelp>(parseWindowArguments({"a.avi", "-h"})));
    EXPECT_TRUE(std::holds_alternative<WindowVersion>(parseWindowArguments({"--version"})));
    for (const Words& args : {Words{"--bogus", "a.avi"}, Words{"-x.avi"}, Words{"-platform"}}) {
        const WindowRequest request = parseWindowArguments(args);
        ASSERT_TRUE(std::holds_alternative<WindowUsageError>(request)) << args.front();
        EXPECT_NE(std::get<WindowUsageError>(request).message.find(args.front()),
                  std::string::npos);
    }
    // A control byte of a mistyped option does not reach the terminal.
    const WindowRequest request = parseWindowArguments({"--a\x1b[2J"});
    EXPECT_EQ(std::get<WindowUsageError>(request).message, "unknown option '--a?[2J'");
}

}  // namespace
}  // namespace vidmill
