#include "converter/conversion_stop.h"

#include <chrono>
#include <optional>

#include <gtest/gtest.h>

namespace vidmill {
namespace {

using namespace std::chrono_literals;

// Who asked, whether a drain began and how long it has left, and what the
// conversion is then told.
TEST(ConversionStop, AnswersForEveryMixOfAskersAndDrain) {
    struct Case {
        const char* name;
        bool stopByte;
        bool signalled;
        std::optional<std::chrono::milliseconds> drain;
        bool asked;
        bool bySignalAlone;
        bool stopNow;
    };
    const Case cases[] = {
        {"nobody", false, false, std::nullopt, false, false, false},
        {"nobody, drain over", false, false, 0ms, false, false, false},
        {"engine", true, false, std::nullopt, true, false, true},
        {"engine, draining", true, false, 1h, true, false, false},
        {"engine, drain over", true, false, 0ms, true, false, true},
        {"signal", false, true, std::nullopt, true, true, true},
        {"signal, draining", false, true, 1h, true, true, false},
        {"signal, drain over", false, true, 0ms, true, true, true},
        {"both", true, true, std::nullopt, true, false, true},
        {"both, draining", true, true, 1h, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConversionStop stop([&c] { return c.stopByte; }, [&c] { return c.signalled; });
        if (c.drain) {
            stop.beginDrain(*c.drain);
        }
        EXPECT_EQ(stop.asked(), c.asked);
        EXPECT_EQ(stop.bySignalAlone(), c.bySignalAlone);
        EXPECT_EQ(stop.stopNow(), c.stopNow);
    }
}

}  // namespace
}  // namespace vidmill
