// Every built-in format, with its own default values, through the engine's
// command-line builder and the real converter: the file must come out as the
// command asks, as ffprobe reads it back.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "converter_harness.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

// ffprobe's name for what each encoder writes.
const std::map<std::string, std::string> kProbedCodec = {
    {"mpeg4", "mpeg4"},
    {"libx264", "h264"},
    {"wmv1", "wmv1"},
    {"wmv2", "wmv2"},
    {"flv", "flv1"},
    {"mpeg1video", "mpeg1video"},
    {"mpeg2video", "mpeg2video"},
    {"msmpeg4v2", "msmpeg4v2"},
    {"libfaac", "aac"},
    {"aac", "aac"},
    {"libmp3lame", "mp3"},
    {"wmav1", "wmav1"},
    {"wmav2", "wmav2"},
    {"ac3", "ac3"},
    {"vorbis", "vorbis"},
    {"libvorbis", "vorbis"},
    {"pcm_s16le", "pcm_s16le"},
    {"mp2", "mp2"},
    {"libx265", "hevc"},
    {"libsvtav1", "av1"},
    {"libvpx-vp9", "vp9"},
    {"libopus", "opus"},
    {"flac", "flac"},
};

// A token of ffprobe's format name for each file extension.
const std::map<std::string, std::string> kProbedContainer = {
    {"mp4", "mp4"},   {"m4a", "mp4"}, {"3gp", "3gp"},      {"3g2", "3g2"},   {"mov", "mov"},
    {"wmv", "asf"},   {"wma", "asf"}, {"asf", "asf"},      {"flv", "flv"},   {"vob", "mpeg"},
    {"mpg", "mpeg"},  {"avi", "avi"}, {"mp3", "mp3"},      {"ac3", "ac3"},   {"ogg", "ogg"},
    {"wav", "wav"},   {"mp2", "mp3"}, {"mkv", "matroska"}, {"webm", "webm"}, {"opus", "ogg"},
    {"flac", "flac"},
};

std::string valueAfter(const std::vector<std::string>& args, const std::string& option) {
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == option) {
            return args[i + 1];
        }
    }
    return {};
}

// The rate the command asks for (the source's without one), as the
// container will carry it: MPEG-1 and MPEG-2 take the first rate of their
// table at or above it.
double expectedRate(const std::vector<std::string>& args, const std::string& codec,
                    double source = 25.0) {
    const std::string rate = valueAfter(args, "-r");
    const double wanted = rate.empty() ? source : std::atof(rate.c_str()) / 1001.0;
    if (codec != "mpeg1video" && codec != "mpeg2video") {
        return wanted;
    }
    const double table[] = {24000 / 1001.0, 24.0, 25.0,           30000 / 1001.0,
                            30.0,           50.0, 60000 / 1001.0, 60.0};
    for (double standard : table) {
        if (standard >= wanted * 0.998) {
            return standard;
        }
    }
    return table[std::size(table) - 1];
}

class PresetMatrix : public ::testing::TestWithParam<int> {};

TEST_P(PresetMatrix, DefaultOptionsGiveWhatTheCommandAsksFor) {
    const FormatPreset& row = presetRow(GetParam());
    ConversionSettings settings;
    setDefaultSettings(settings);
    applyPreset(settings, GetParam());
    TempDir folder;
    const std::string output = folder.file(std::string("out.") + row.extension);

    ConverterCommand command =
        buildConvertCommand(kConverterPath, testMedia().audioVideo, output, "", -1, settings, 0);
    ProgramResult run = runProgram(command.args);
    bool retried = false;
    if (run.status == -25) {
        // The engine runs it again without the audio options.
        retried = true;
        command = buildConvertCommand(kConverterPath, testMedia().audioVideo, output, "", -1,
                                      settings, 1);
        run = runProgram(command.args);
    }
    ASSERT_EQ(run.status, 0) << command.text << "\n" << run.output;

    const std::vector<std::string>& args = command.args;
    ExpectedMedia expected;
    expected.format = kProbedContainer.at(row.extension);
    expected.duration = testMedia().seconds;
    const std::string videoCodec = valueAfter(args, "-vcodec");
    if (valueAfter(args, "-vn").empty() &&
        std::find(args.begin(), args.end(), "-vn") == args.end()) {
        expected.videoCodec = videoCodec.empty() ? "" : kProbedCodec.at(videoCodec);
        const std::string size = valueAfter(args, "-s");
        expected.width = size.empty() ? 640 : std::atoi(size.c_str());
        expected.height = size.empty() ? 480 : std::atoi(size.c_str() + size.find('x') + 1);
        expected.frameRate = expectedRate(args, videoCodec);
        const std::string tag = valueAfter(args, "-vtag");
        expected.tag = tag == "divx" ? "DIVX" : tag == "xvid" ? "XVID" : tag;
    }
    const std::string audioCodec = valueAfter(args, "-acodec");
    ASSERT_FALSE(audioCodec.empty()) << command.text;
    expected.audioCodec = kProbedCodec.at(audioCodec);
    auto info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    const StreamInfo* audio = info->stream("audio");
    ASSERT_NE(audio, nullptr);
    // After a retry the converter chose a rate the encoder takes; without a
    // rate asked for (FLAC) the source's stays.
    const std::string rate = valueAfter(args, "-ar");
    expected.sampleRate = retried        ? audio->sampleRate
                          : rate.empty() ? 48000
                                         : std::atoi(rate.c_str());
    EXPECT_TRUE(matchesMedia(output, expected)) << command.text;
}

// A video without sound makes a file in every video format; the PSP's, which
// takes none without sound, gets a silent track.
TEST_P(PresetMatrix, AVideoWithoutSoundConvertsToEveryVideoFormat) {
    const FormatPreset& row = presetRow(GetParam());
    if (row.audioOnly) {
        GTEST_SKIP() << "sound alone";
    }
    ConversionSettings settings;
    setDefaultSettings(settings);
    applyPreset(settings, GetParam());
    TempDir folder;
    const std::string output = folder.file(std::string("out.") + row.extension);
    const ConverterCommand command =
        buildConvertCommand(kConverterPath, testMedia().videoOnly, output, "", -1, settings, 0);
    const ProgramResult run = runProgram(command.args);
    ASSERT_EQ(run.status, 0) << command.text << "\n" << run.output;
    auto info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_NE(info->stream("video"), nullptr);
    const bool psp = row.container != nullptr && std::string(row.container) == "psp";
    EXPECT_EQ(info->stream("audio") != nullptr, psp);
    EXPECT_EQ(run.output.find("silent track") != std::string::npos, psp) << run.output;
}

// "Original" keeps the source's rate where the codec takes it; where it
// does not (MPEG-1/2 below 23.976), the first rate it takes above, and the
// note says so.
TEST(MpegRates, OriginalTakesTheFirstRateTheCodecTakesAtOrAboveTheSources) {
    TempDir folder;
    for (const int fps : {12, 15, 24}) {
        const std::string source = folder.file("src" + std::to_string(fps) + ".avi");
        const ProgramResult made =
            runProgram({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=160x120:duration=1:rate=" + std::to_string(fps), "-c:v",
                        "mpeg4", source});
        ASSERT_EQ(made.status, 0) << made.output;
        for (const int id : {800, 810, 820, 900, 910}) {
            ConversionSettings settings;
            setDefaultSettings(settings);
            applyPreset(settings, findPresetById(id));
            settings.frameRate = -1;
            const std::string output = folder.file(std::to_string(id) + "-" + std::to_string(fps) +
                                                   "." + presetRow(findPresetById(id)).extension);
            const ConverterCommand command =
                buildConvertCommand(kConverterPath, source, output, "", -1, settings, 0);
            const ProgramResult run = runProgram(command.args);
            ASSERT_EQ(run.status, 0) << command.text << "\n" << run.output;
            const double rate =
                expectedRate(command.args, valueAfter(command.args, "-vcodec"), fps);
            const auto info = probeWithFfprobe(output);
            ASSERT_TRUE(info && info->stream("video")) << output;
            EXPECT_NEAR(info->stream("video")->frameRate, rate, 0.06) << id << " at " << fps;
            EXPECT_EQ(run.output.find("fps; the video is made at") != std::string::npos, fps < 24)
                << id << " at " << fps << ": " << run.output;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Presets, PresetMatrix, ::testing::Range(0, kPresetCount),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Id" + std::to_string(presetRow(info.param).id);
                         });

}  // namespace
}  // namespace vidmill::test
