#include "converter/converter_options.h"

#include <gtest/gtest.h>

namespace vidmill {
namespace {

ConverterOptions parsed(const std::vector<std::string>& args) {
    ParsedOptions result = parseConverterOptions(args);
    EXPECT_TRUE(result.options.has_value()) << result.error;
    return result.options.value_or(ConverterOptions{});
}

std::string refusal(const std::vector<std::string>& args) {
    ParsedOptions result = parseConverterOptions(args);
    EXPECT_FALSE(result.options.has_value());
    return result.error;
}

TEST(ConverterOptions, ReadsTheProbeCommand) {
    const ConverterOptions options =
        parsed({"-y", "-qzmap", "123456789012", "-qzind", "3", "-i", "/videos/a b.avi"});
    EXPECT_TRUE(options.isProbe());
    EXPECT_TRUE(options.overwrite);
    EXPECT_EQ(options.inputPath, "/videos/a b.avi");
    EXPECT_EQ(options.channelName, "123456789012");
    EXPECT_EQ(options.slotIndex, 3);
}

TEST(ConverterOptions, ReadsEveryValueOfAConversionCommand) {
    const ConverterOptions options =
        parsed({"-y",      "-an",    "-vn",     "-i",      "in.avi",  "-qzmap", "000000000001",
                "-qzind",  "-1",     "-vcodec", "mpeg4",   "-vtag",   "divx",   "-acodec",
                "libfaac", "-f",     "psp",     "-s",      "368x208", "-r",     "29975/1001",
                "-b",      "1500kb", "-ab",     "12.2kb",  "-ac",     "1",      "-ar",
                "8000",    "-vol",   "320",     "-aspect", "16:9",    "out.mp4"});
    ASSERT_FALSE(options.isProbe());
    EXPECT_EQ(*options.outputPath, "out.mp4");
    EXPECT_TRUE(options.noAudio);
    EXPECT_TRUE(options.noVideo);
    EXPECT_EQ(options.slotIndex, -1);
    EXPECT_EQ(options.videoCodec, "mpeg4");
    EXPECT_EQ(options.videoTag, "divx");
    EXPECT_EQ(options.audioCodec, "libfaac");
    EXPECT_EQ(options.container, "psp");
    ASSERT_TRUE(options.frameSize);
    EXPECT_EQ(options.frameSize->width, 368);
    EXPECT_EQ(options.frameSize->height, 208);
    ASSERT_TRUE(options.frameRate);
    EXPECT_EQ(options.frameRate->num, 29975);
    EXPECT_EQ(options.frameRate->den, 1001);
    EXPECT_EQ(options.videoBitrate, 1500000);
    EXPECT_EQ(options.audioBitrate, 12200);
    EXPECT_EQ(options.channels, 1);
    EXPECT_EQ(options.sampleRate, 8000);
    EXPECT_EQ(options.volume, 320);
    ASSERT_TRUE(options.aspect);
    EXPECT_EQ(options.aspect->num, 16);
    EXPECT_EQ(options.aspect->den, 9);
    EXPECT_TRUE(options.audioOptionsRequested());
}

TEST(ConverterOptions, DefaultsLeaveEverythingToTheSource) {
    const ConverterOptions options = parsed({"-i", "in.avi", "-sameq", "out.avi"});
    EXPECT_TRUE(options.sameQuality);
    EXPECT_FALSE(options.overwrite);
    EXPECT_FALSE(options.frameRate);
    EXPECT_FALSE(options.frameSize);
    EXPECT_EQ(options.volume, 256);
    EXPECT_FALSE(options.audioOptionsRequested());
    EXPECT_TRUE(options.channelName.empty());
}

TEST(ConverterOptions, AnEngineWithoutChannelPassesAnEmptyName) {
    const ConverterOptions options = parsed({"-y", "-qzmap", "", "-qzind", "-1", "-i", "in.avi"});
    EXPECT_TRUE(options.channelName.empty());
    EXPECT_EQ(options.slotIndex, -1);
}

TEST(ConverterOptions, PathsAreTakenAsTheyStand) {
    // Names that look like options or protocols are still paths.
    ConverterOptions options = parsed({"-y", "-i", "-in.avi", "-vol", "256", "--", "-x:1.avi"});
    EXPECT_EQ(options.inputPath, "-in.avi");
    EXPECT_EQ(*options.outputPath, "-x:1.avi");
    options = parsed({"-i", "clip:1.avi", "\xff\xfe \"q\".mp4"});
    EXPECT_EQ(options.inputPath, "clip:1.avi");
    EXPECT_EQ(*options.outputPath, "\xff\xfe \"q\".mp4");
    // A known flag at the end is a flag, not an output.
    EXPECT_TRUE(parsed({"-i", "in.avi", "-y"}).isProbe());
}

TEST(ConverterOptions, RefusesUnknownOptionsAndStrayArguments) {
    EXPECT_NE(refusal({"-i", "in.avi", "-vf", "scale=1:1", "out.avi"}).find("-vf"),
              std::string::npos);
    EXPECT_NE(refusal({"-i", "in.avi", "extra", "out.avi"}).find("extra"), std::string::npos);
    // A mistyped option last is not taken for the output.
    EXPECT_NE(refusal({"-i", "in.avi", "--bogus"}).find("unknown option '--bogus'"),
              std::string::npos);
    EXPECT_NE(refusal({"-y", "-qzind", "3"}).find("-i"), std::string::npos);
    EXPECT_NE(refusal({}).find("-i"), std::string::npos);
    // A handed-over file needs its name, for the container and the messages.
    EXPECT_NE(refusal({"-i", "in.avi", "-outfd", "3"}).find("-outfd"), std::string::npos);
}

TEST(ConverterOptions, RefusesAMissingValue) {
    EXPECT_NE(refusal({"-i", "in.avi", "-s"}).find("missing value for -s"), std::string::npos);
    EXPECT_NE(refusal({"-i"}).find("missing value for -i"), std::string::npos);
}

TEST(ConverterOptions, RefusesMalformedValues) {
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"-s", "320"},          {"-s", "320x"},
        {"-s", "0x240"},        {"-s", "-320x240"},
        {"-s", "320x240x1"},    {"-r", "0/1001"},
        {"-r", "30000/"},       {"-r", "abc"},
        {"-r", "29.97"},        {"-r", "1001000/1001"},
        {"-r", "5000"},         {"-b", "1500"},
        {"-b", "1500k"},        {"-b", "1.5kb"},
        {"-b", "0kb"},          {"-ab", "128.0"},
        {"-ab", "128.kb"},      {"-ab", "x128kb"},
        {"-ac", "0"},           {"-ac", "two"},
        {"-ac", "99"},          {"-ar", "-8000"},
        {"-ar", "44.1"},        {"-vol", "-1"},
        {"-vol", "loud"},       {"-aspect", "4/3"},
        {"-aspect", "0:3"},     {"-qzind", "1000"},
        {"-qzind", "-2"},       {"-qzind", "3x"},
        {"-qzmap", "12345"},    {"-qzmap", "12345678901a"},
        {"-vcodec", "mpeg 4"},  {"-vcodec", ""},
        {"-acodec", "a;b"},     {"-f", "../psp"},
        {"-vtag", "divx5"},     {"-i", ""},
        {"-crf", "0"},          {"-crf", "64"},
        {"-crf", "23.5"},       {"-crf", "high"},
        {"-outfd", "2"},        {"-outfd", "3a"},
        {"-infd", "0"},         {"-targetsize", "999"},
        {"-targetsize", "25M"}, {"-passdir", "rel/dir"},
        {"-ss", "-1"},          {"-ss", "1.2345"},
        {"-to", "0"},           {"-crop", "16:16:0"},
        {"-crop", "8:720:0:0"}, {"-deint", "yes"},
    };
    for (const auto& [option, value] : bad) {
        const std::string error = refusal({"-y", "-i", "in.avi", option, value, "out.avi"});
        EXPECT_NE(error.find(option), std::string::npos) << option << " " << value << ": " << error;
    }
}

TEST(ConverterOptions, ReadsConstantQualityAndAllTracks) {
    ConverterOptions options = parsed({"-i", "in.mkv", "-alltracks", "-vcodec", "libx264", "-crf",
                                       "23", "-ab", "160.0kb", "out.mkv"});
    EXPECT_EQ(options.constantQuality, 23);
    EXPECT_TRUE(options.allTracks);
    options = parsed({"-i", "in.mkv", "-b", "1500kb", "out.mkv"});
    EXPECT_FALSE(options.constantQuality);
    EXPECT_FALSE(options.allTracks);
    // Two ways of naming the video's quality contradict each other, in any order.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-i", "in.mkv", "-crf", "23", "-b", "1500kb", "out.mkv"},
             {"-i", "in.mkv", "-b", "1500kb", "-crf", "23", "out.mkv"},
             {"-i", "in.mkv", "-sameq", "-crf", "23", "out.mkv"}}) {
        EXPECT_NE(refusal(args).find("-crf"), std::string::npos);
    }
}

TEST(ConverterOptions, SizePassesCutAndPictureChoicesAndTheirContradictions) {
    const ConverterOptions options =
        parsed({"-i", "in.mkv", "-targetsize", "25000000", "-passdir", "/c/p", "-ss", "90.5", "-to",
                "150", "-crop", "1920:800:0:140", "-deint", "auto", "out.mkv"});
    EXPECT_EQ(options.targetSize, 25'000'000);
    EXPECT_TRUE(options.wantsTwoPasses());
    EXPECT_DOUBLE_EQ(options.cutFrom, 90.5);
    EXPECT_DOUBLE_EQ(*options.cutTo, 150.0);
    EXPECT_EQ(options.crop, PictureChoice::On);
    EXPECT_EQ(options.cropRect.height, 800);
    EXPECT_EQ(options.deinterlace, PictureChoice::Auto);
    for (const auto& [args, mentions] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-i", "a", "-targetsize", "9000", "-crf", "23", "o.mkv"}, "-targetsize"},
             {{"-i", "a", "-twopass", "-sameq", "o.mkv"}, "-twopass"},
             {{"-i", "a", "-ss", "20", "-to", "10", "o.mkv"}, "-to must come after"},
             {{"-i", "a", "-ss", "20"}, "need an output"}}) {
        EXPECT_NE(refusal(args).find(mentions), std::string::npos) << refusal(args);
    }
}

}  // namespace
}  // namespace vidmill
