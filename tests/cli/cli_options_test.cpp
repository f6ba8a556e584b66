#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vidmill {
namespace {

bool parse(std::vector<std::string> args, CliOptions& options, std::string& error) {
    return parseCliOptions(args, options, error);
}

TEST(CliOptionsTest, PresetValuesComeFirstAndOptionsApplyOverThem) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--fps", "25", "clip.avi", "--preset", "5000", "--volume", "150", "--jobs",
                       "4", "--size", "640x480", "dir"},
                      options, error))
        << error;
    EXPECT_EQ(options.settings.presetId, 5000);
    EXPECT_FLOAT_EQ(options.settings.frameRate, 25.0f);
    EXPECT_EQ(options.settings.volume, 150);
    EXPECT_EQ(options.settings.maxConcurrent, 4);
    EXPECT_EQ(options.settings.frameWidth, 640);
    EXPECT_EQ(options.settings.frameHeight, 480);
    EXPECT_EQ(options.inputs, (std::vector<std::string>{"clip.avi", "dir"}));
}

TEST(CliOptionsTest, OriginalAndSwitches) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--size", "original", "--fps", "original", "--vbitrate", "original",
                       "--abitrate", "original", "--channels", "original", "--rate", "original",
                       "--no-audio", "--vcodec", "XviD", "--", "-odd name.avi"},
                      options, error))
        << error;
    const ConversionSettings& s = options.settings;
    EXPECT_EQ(s.frameWidth, -1);
    EXPECT_EQ(s.frameHeight, -1);
    EXPECT_LT(s.frameRate, 0.0f);
    EXPECT_EQ(s.videoBitrate, -1);
    EXPECT_EQ(s.audioBitrate, -1);
    EXPECT_EQ(s.channels, -1);
    EXPECT_EQ(s.sampleRate, -1);
    EXPECT_TRUE(s.disableAudio);
    EXPECT_FALSE(s.disableVideo);
    EXPECT_STREQ(s.videoCodec, "XviD");
    EXPECT_EQ(options.inputs, std::vector<std::string>{"-odd name.avi"});
}

TEST(CliOptionsTest, OnlyAnOptionWordChoosesThePreset) {
    struct Case {
        std::vector<std::string> args;
        int presetId;
        std::vector<std::string> inputs;
    } cases[] = {
        {{"--preset", "110", "a.avi"}, 110, {"a.avi"}},
        {{"--", "--preset", "110"}, 100, {"--preset", "110"}},
        {{"--dest", "--preset", "110"}, 100, {"110"}},
        {{"--vcodec", "--preset", "--preset", "5000", "a.avi"}, 5000, {"a.avi"}},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(parse(c.args, options, error)) << c.args[1] << ": " << error;
        EXPECT_EQ(options.settings.presetId, c.presetId) << c.args[1];
        EXPECT_EQ(options.inputs, c.inputs) << c.args[1];
    }
}

TEST(CliOptionsTest, BadInputNamesTheOptionOrValue) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    } cases[] = {
        {{"--bogus", "a.avi"}, "--bogus"},
        {{"--jobs", "21", "a.avi"}, "21"},
        {{"--jobs", "0", "a.avi"}, "--jobs"},
        {{"--jobs"}, "needs a value"},
        {{"--preset", "123", "a.avi"}, "123"},
        {{"--size", "640x", "a.avi"}, "640x"},
        {{"--size", "641x480", "a.avi"}, "--size"},
        {{"--fps", "-3", "a.avi"}, "--fps"},
        {{"--fps", "nan", "a.avi"}, "--fps"},
        {{"--channels", "6", "a.avi"}, "--channels"},
        {{"--volume", "501", "a.avi"}, "--volume"},
        {{"--rate", "44.1", "a.avi"}, "--rate"},
        {{"--dest", std::string(300, 'd'), "a.avi"}, "too long"},
        {{}, "no file"},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        EXPECT_FALSE(parse(c.args, options, error)) << c.mentions;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(CliOptionsTest, InformationOptionsNeedNoFiles) {
    for (const char* flag : {"--help", "--version", "--list-presets"}) {
        CliOptions options;
        std::string error;
        EXPECT_TRUE(parse({flag}, options, error)) << flag;
    }
}

}  // namespace
}  // namespace vidmill
