// The probe server's requests and answers: what is read back, and what is
// refused so that a confused server is never believed.

#include "process/probe_protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace vidmill {
namespace {

TEST(ProbeProtocolTest, RequestsCarryAnyPathBytesAndAnswersOnlyWellFormedNumbers) {
    const std::string path = "/v/odd name\n\t\xff%s.avi";
    const std::string request = probeRequest(42, path);
    ASSERT_EQ(request.back(), '\0');
    int slot = -1;
    std::string read;
    ASSERT_TRUE(
        parseProbeRequest(std::string_view(request).substr(0, request.size() - 1), &slot, &read));
    EXPECT_EQ(slot, 42);
    EXPECT_EQ(read, path);
    EXPECT_FALSE(parseProbeRequest("7 ", &slot, &read));    // no path
    EXPECT_FALSE(parseProbeRequest("x /a", &slot, &read));  // no slot

    const std::string answer = probeAnswer(3, -20);
    ASSERT_EQ(answer, "3 -20\n");
    int code = 0;
    ASSERT_TRUE(parseProbeAnswer("3 -20", &slot, &code));
    EXPECT_EQ(slot, 3);
    EXPECT_EQ(code, -20);
    for (const char* bad :
         {"", "3", "3 ", " 3 0", "3 0 ", "3 0x", "3  0", "99999999999 0", "3 99999999999", "-"}) {
        EXPECT_FALSE(parseProbeAnswer(bad, &slot, &code)) << '"' << bad << '"';
    }
}

}  // namespace
}  // namespace vidmill
