#include "cli/cli_options.h"

#include <gtest/gtest.h>

#include <cstring>

#include "cli/cli_report.h"

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

// The newer formats start at a constant quality; a bitrate replaces it, and
// a codec that has one takes a quality on any format.
TEST(CliOptionsTest, QualityOrBitrateAndTheDates) {
    struct Case {
        std::vector<std::string> args;
        int quality;
        int bitrate;
        bool keepDates;
    } cases[] = {
        {{"--preset", "1200", "a.avi"}, 35, 2000, true},
        {{"--preset", "1300", "--quality", "63", "a.avi"}, 63, 2000, true},
        {{"--preset", "1100", "--vbitrate", "900", "--no-keep-dates", "a.avi"}, 0, 900, false},
        {{"--preset", "510", "--quality", "20", "a.avi"}, 20, 512, true},
        {{"--vcodec", "vp9", "--quality", "60", "a.avi"}, 60, 1500, true},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(parse(c.args, options, error)) << error;
        EXPECT_EQ(options.settings.videoQuality, c.quality) << c.args[1];
        EXPECT_EQ(options.settings.videoBitrate, c.bitrate) << c.args[1];
        EXPECT_EQ(options.settings.keepSourceDates, c.keepDates) << c.args[1];
    }
}

TEST(CliOptionsTest, ATargetSizeTakesDecimalUnitsAndOverridesTheQuality) {
    struct Case {
        const char* size;
        uint32_t kilobytes;
    } cases[] = {{"25M", 25'000}, {"1.5g", 1'500'000}, {"800KB", 800}, {"0.3M", 300}};
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(parse({"--preset", "1100", "--target-size", c.size, "a.avi"}, options, error))
            << error;
        EXPECT_EQ(options.settings.targetSizeKb, c.kilobytes) << c.size;
        EXPECT_EQ(options.settings.videoQuality, 0) << c.size;
    }
}

TEST(CliOptionsTest, ACutTakesClockTimesAndPictureChoicesTheirWords) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--from", "1:02:03.5", "--to", "3730", "--crop", "1920:800:0:140",
                       "--deinterlace", "off", "a.avi"},
                      options, error))
        << error;
    const ConversionSettings& s = options.settings;
    EXPECT_EQ(s.cutFromMs, 3'723'500u);
    EXPECT_EQ(s.cutToMs, 3'730'000u);
    EXPECT_EQ(s.cropMode, kCropFixed);
    EXPECT_EQ(s.cropWidth, 1920);
    EXPECT_EQ(s.cropY, 140);
    EXPECT_EQ(s.deinterlace, kDeinterlaceOff);
    ASSERT_TRUE(parse({"--crop", "auto", "--deinterlace", "on", "a.avi"}, options, error));
    EXPECT_EQ(options.settings.cropMode, kCropAuto);
    EXPECT_EQ(options.settings.deinterlace, kDeinterlaceOn);
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
        {{"--files-from", "", "a.avi"}, "--files-from"},
        {{"--shard", "0/3", "a.avi"}, "--shard"},
        {{"--shard", "4/3", "a.avi"}, "--shard"},
        {{"--shard", "3", "a.avi"}, "--shard"},
        {{"--shard", "1/x", "a.avi"}, "--shard"},
        {{"--watch", "--shard", "1/2", "d"}, "--watch cannot be combined"},
        {{"--watch", "--dry-run", "d"}, "--watch cannot be combined"},
        {{"--json", "--dry-run", "a.avi"}, "cannot be combined"},
        {{"--json", "--keep-tree"}, "no file"},
        {{}, "no file"},
        {{"--quality", "0", "a.avi"}, "--quality"},
        {{"--preset", "1100", "--quality", "52", "a.avi"}, "H265 takes 1 to 51"},
        {{"--quality", "20", "a.avi"}, "this format's is 'mpeg4'"},
        {{"--preset", "1200", "--vbitrate", "900", "--quality", "20", "a.avi"},
         "cannot be combined"},
        {{"--target-size", "25", "a.avi"}, "--target-size"},
        {{"--target-size", "0.5K", "a.avi"}, "--target-size"},
        {{"--target-size", "2T", "a.avi"}, "--target-size"},
        {{"--target-size", "1..5M", "a.avi"}, "--target-size"},
        {{"--target-size", "25M", "--vbitrate", "900", "a.avi"}, "cannot be combined"},
        {{"--from", "1:60", "a.avi"}, "--from"},
        {{"--to", "0:00", "a.avi"}, "after its start"},
        {{"--to", "1:2:3:4", "a.avi"}, "--to"},
        {{"--to", "24:00:00", "a.avi"}, "--to"},
        {{"--from", "2:00", "--to", "1:59.5", "a.avi"}, "--to must come after --from"},
        {{"--crop", "1920:800:0", "a.avi"}, "--crop"},
        {{"--crop", "8:800:0:0", "a.avi"}, "W and H from 16 to 16384"},
        {{"--deinterlace", "yes", "a.avi"}, "--deinterlace"},
        {{"--preset", "1100", "--two-pass", "--quality", "20", "a.avi"}, "cannot be combined"},
        {{"--no-video", "--no-audio", "a.avi"}, "nothing would be converted"},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        EXPECT_FALSE(parse(c.args, options, error)) << c.mentions;
        EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
    }
}

TEST(CliOptionsTest, AListIsEnoughInput) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--files-from", "-", "--json", "--keep-tree", "--files-from", "more.txt"},
                      options, error))
        << error;
    EXPECT_EQ(options.filesFrom, (std::vector<std::string>{"-", "more.txt"}));
    EXPECT_TRUE(options.json);
    EXPECT_TRUE(options.keepTree);
    EXPECT_TRUE(options.inputs.empty());
}

// Each shape a word can take, with the exact message of a refusal: a value
// always follows as a word of its own.
TEST(CliOptionsTest, EachShapeOfWordParsesOrIsRefusedAsBefore) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
    } cases[] = {
        {{"--keep-tree", "a.avi"}, ""},
        {{"-h"}, ""},
        {{"--jobs", "4", "a.avi"}, ""},
        {{"--jobs=4", "a.avi"}, "unknown option '--jobs=4'"},
        {{"a.avi", "--dest"}, "option '--dest' needs a value"},
        {{"-x", "a.avi"}, "unknown option '-x'"},
        {{"--volume", "loud", "a.avi"},
         "bad value 'loud' for --volume: expected percent from 0 to 500"},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        EXPECT_EQ(parse(c.args, options, error), *c.error == '\0') << c.args[0];
        EXPECT_EQ(error, c.error) << c.args[0];
    }
    CliOptions options;
    std::string error;
    ASSERT_TRUE(parse({"-h", "--keep-tree", "--jobs", "4"}, options, error));
    EXPECT_TRUE(options.help);
    EXPECT_TRUE(options.keepTree);
    EXPECT_EQ(options.settings.maxConcurrent, 4);
}

TEST(CliReportTest, JsonStringsEscapeControlsAndKeepOnlyValidUtf8) {
    struct Case {
        std::string bytes;
        std::string json;
    } cases[] = {
        {"plain name.avi", "\"plain name.avi\""},
        {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
        {std::string("a\n\t\x1b\x7f\0b", 7), "\"a\\u000a\\u0009\\u001b\\u007f\\u0000b\""},
        // Two-, three- and four-byte characters, and a C1 control as UTF-8.
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xac\xc2\x85",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xac\xc2\x85\""},
        // A Latin-1 byte, a cut sequence, a lone continuation byte, an
        // overlong slash, a surrogate, and a code point above U+10FFFF.
        {"caf\xe9", "\"caf\\u00e9\""},
        {"\xe2\x82x", "\"\\u00e2\\u0082x\""},
        {"\x80", "\"\\u0080\""},
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(jsonString(c.bytes), c.json) << c.json;
    }
}

TEST(CliReportTest, OnlyTheMachinesFailuresAskForARetry) {
    for (const char* reason :
         {"converter not found", "output folder is not writable", "disk full",
          "cannot create the output folder", "the converter was killed by signal 9"}) {
        EXPECT_TRUE(isEnvironmentFailure(reason)) << reason;
    }
    for (const char* reason :
         {"not a usable media file", "no progress", "the converter failed with exit code 3",
          "the converter was killed by signal 11", "stopped", ""}) {
        EXPECT_FALSE(isEnvironmentFailure(reason)) << reason;
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
