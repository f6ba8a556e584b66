// What the picture keeps through a conversion: every frame (the last one
// included), the source's colour description and range, and the 1001-based
// rate that an NTSC setting means.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "converter_harness.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

// ffprobe's "key=value" lines for the first video stream (frames counted).
std::map<std::string, std::string> probeVideo(const std::string& path) {
    const ProgramResult run = runProgram(
        {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
         "stream=nb_read_frames,pix_fmt,color_range,color_space,color_primaries,color_transfer",
         "-of", "default=noprint_wrappers=1", "file:" + path});
    std::map<std::string, std::string> values;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

long frameCount(const std::string& path) {
    return std::atol(probeVideo(path)["nb_read_frames"].c_str());
}

void makeClip(const std::string& path, const std::vector<std::string>& options) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error", "-y"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    ASSERT_EQ(runProgram(argv).status, 0) << path;
}

TEST(Frames, EveryFrameComesOutLastOneIncluded) {
    TempDir folder;
    struct Case {
        const char* name;
        const char* sourceRate;  // of testsrc2
        double sourceFps;        // 0: variable, the count taken from its length
        std::vector<std::string> extra;
        const char* rate;  // -r, or "" for the source's own
        double fps;
    };
    const double ntsc25 = 25000 / 1001.0;
    const double ntsc30 = 30000 / 1001.0;
    const std::vector<Case> cases = {
        {"25-to-ntsc25", "25", 25, {"-t", "2"}, "25000/1001", ntsc25},
        {"25-kept", "25", 25, {"-t", "2"}, "", 25},
        {"ntsc30-kept", "30000/1001", ntsc30, {"-t", "2"}, "30000/1001", ntsc30},
        {"one-frame", "25", 25, {"-frames:v", "1"}, "25000/1001", ntsc25},
        // The sound ends where the last picture starts: that picture stays.
        {"with-sound",
         "25",
         25,
         {"-f", "lavfi", "-i", "sine=duration=1.96", "-t", "2", "-c:a", "aac"},
         "25000/1001",
         ntsc25},
        // A second at 25 frames, then a second at 12.5.
        {"variable",
         "25",
         0,
         {"-t", "2", "-vf", "select='lt(n\\,25)+not(mod(n\\,2))'", "-fps_mode", "vfr"},
         "25000/1001",
         ntsc25},
    };
    for (const Case& c : cases) {
        const std::string source = folder.file(std::string(c.name) + "-in.mp4");
        std::vector<std::string> make{"-f", "lavfi", "-i",
                                      std::string("testsrc2=size=160x120:rate=") + c.sourceRate};
        make.insert(make.end(), c.extra.begin(), c.extra.end());
        make.insert(make.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p"});
        makeClip(source, make);
        const long sourceFrames = frameCount(source);
        ASSERT_GT(sourceFrames, 0) << c.name;
        const double expected = c.sourceFps > 0 ? sourceFrames * c.fps / c.sourceFps
                                                : probeWithFfprobe(source)->duration * c.fps;

        const std::string output = folder.file(std::string(c.name) + "-out.mp4");
        std::vector<std::string> args{"-y", "-i", source, "-vcodec", "mpeg4", "-b", "400kb"};
        if (*c.rate != '\0') {
            args.insert(args.end(), {"-r", c.rate});
        }
        args.push_back(output);
        const ProgramResult run = runConverter(args);
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        EXPECT_EQ(frameCount(output), std::lround(expected))
            << c.name << ": " << sourceFrames << " frames in the source";
    }
}

TEST(Colours, TheSourceDescriptionAndTheWrittenRangeAreTagged) {
    TempDir folder;
    const std::string bt709 = folder.file("bt709.mp4");
    makeClip(bt709, {"-f",
                     "lavfi",
                     "-i",
                     "testsrc2=size=320x240:rate=25",
                     "-t",
                     "1",
                     "-vf",
                     "scale=out_color_matrix=bt709:out_range=tv",
                     "-c:v",
                     "libx264",
                     "-pix_fmt",
                     "yuv420p",
                     "-color_primaries",
                     "bt709",
                     "-color_trc",
                     "bt709",
                     "-colorspace",
                     "bt709",
                     "-color_range",
                     "tv"});
    const std::string full = folder.file("full.mp4");
    makeClip(full, {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-t", "1", "-c:v",
                    "libx264", "-pix_fmt", "yuvj420p"});
    struct Case {
        std::string source;
        const char* codec;
        const char* name;
        std::map<std::string, std::string> tags;  // as ffprobe reads them
    };
    const std::map<std::string, std::string> kBt709 = {{"color_primaries", "bt709"},
                                                       {"color_transfer", "bt709"},
                                                       {"color_space", "bt709"},
                                                       {"color_range", "tv"}};
    const std::vector<Case> cases = {
        {bt709, "libx264", "bt709-h264.mp4", kBt709},
        {bt709, "mpeg2video", "bt709-mpeg2.mpg", kBt709},
        // H.264 says full range in its stream: the values stay as they are.
        {full, "libx264", "full-h264.mp4", {{"color_range", "pc"}}},
        // MPEG-4 part 2 cannot say it, and players read limited range.
        {full, "mpeg4", "full-mpeg4.mp4", {}},
    };
    for (const Case& c : cases) {
        const std::string output = folder.file(c.name);
        const ProgramResult run =
            runConverter({"-y", "-i", c.source, "-vcodec", c.codec, "-b", "4000kb", output});
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        std::map<std::string, std::string> probed = probeVideo(output);
        for (const auto& [key, value] : c.tags) {
            EXPECT_EQ(probed[key], value) << c.name << " " << key;
        }
        if (c.tags.empty()) {
            EXPECT_NE(probed["color_range"], "pc") << c.name;
        }
        // Tags and values agree: the colours look the same as the source's.
        EXPECT_GT(measurePsnr(output, c.source).value_or(0), 30.0) << c.name;
    }
}

TEST(NtscRate, TheNtscSettingGivesTheStandardRateInEveryFormat) {
    TempDir folder;
    for (const int presetId : {100, 910}) {
        ConversionSettings settings;
        setDefaultSettings(settings);
        applyPreset(settings, findPresetById(presetId));
        const std::string output =
            folder.file("ntsc." + std::string(presetRow(findPresetById(presetId)).extension));
        const ConverterCommand command = buildConvertCommand(kConverterPath, testMedia().audioVideo,
                                                             output, "", -1, settings, 0);
        // The command keeps the rate as the setting writes it.
        EXPECT_NE(command.text.find("-r 29975/1001 "), std::string::npos) << command.text;
        const ProgramResult run = runProgram(command.args);
        ASSERT_EQ(run.status, 0) << command.text << "\n" << run.output;
        const auto info = probeWithFfprobe(output);
        ASSERT_TRUE(info && info->stream("video")) << presetId;
        EXPECT_NEAR(info->stream("video")->frameRate, 30000 / 1001.0, 1e-4) << presetId;
    }
}

}  // namespace
}  // namespace vidmill::test
