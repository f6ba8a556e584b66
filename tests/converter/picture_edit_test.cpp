// Cut, crop and deinterlacing on sources made at test time, each checked
// against what the ffmpeg tool decodes or measures.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "converter/av_handles.h"
#include "converter/input/frame_coding.h"
#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

// Made once per build tree with the ffmpeg tool; the name says what it is.
std::string madeSource(const std::string& name, const std::vector<std::string>& arguments) {
    const std::string made = testMedia().folder + "/" + name;
    if (!fileExists(made)) {
        const std::string part = made + ".part.mkv";
        std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back(part);
        if (runProgram(argv).status == 0) {
            std::rename(part.c_str(), made.c_str());
        }
    }
    return made;
}

// The picture shown at `at` seconds, or the last one, as a PNG.
std::string frameAt(const std::string& path, const std::string& at, const std::string& png) {
    runProgram({"ffmpeg", "-v", "error", "-y", "-ss", at, "-i", path, "-frames:v", "1", png});
    return png;
}

std::string lastFrame(const std::string& path, const std::string& png) {
    runProgram({"ffmpeg", "-v", "error", "-y", "-sseof", "-0.3", "-i", path, "-update", "1", png});
    return png;
}

// Where the first loud sample of the output lies, in seconds.
double soundOnset(const std::string& path, const std::string& raw) {
    runProgram({"ffmpeg", "-v", "error", "-y", "-i", path, "-f", "s16le", "-ac", "1", "-ar",
                "48000", raw});
    const std::string samples = readFile(raw);
    for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        const auto value = static_cast<std::int16_t>(std::uint8_t(samples[i]) |
                                                     (std::uint8_t(samples[i + 1]) << 8));
        if (std::abs(value) > 8000) {
            return double(i / 2) / 48000.0;
        }
    }
    return -1.0;
}

TEST(PictureEditTest, ACutStartsAtItsFrameAndKeepsTheSoundInStep) {
    // A beep at 6.0 s; the cut from 4.52 s puts it at 1.48 s. Key frames
    // every 2 s: the cut is sought, and decoded from the one before it. The
    // sound goes on half a second after the last picture.
    const std::string source =
        madeSource("cut-source-longer-sound.mkv",
                   {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=10", "-f", "lavfi",
                    "-i", "aevalsrc=0.8*sin(2*PI*1000*t)*between(t\\,6\\,6.2):s=48000:d=10.5",
                    "-c:v", "libx264", "-qp", "0", "-g", "50", "-c:a", "pcm_s16le"});
    TempDir folder;
    const std::string output = folder.file("cut.mkv");
    const ProgramResult run =
        runConverter({"-y", "-i", source, "-vcodec", "libx264", "-crf", "1", "-acodec", "flac",
                      "-ss", "4.52", "-to", "8.5", output});
    ASSERT_EQ(run.status, 0) << run.output;
    const auto info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_NEAR(info->duration, 8.5 - 4.52, 0.05);

    const auto first = measurePsnr(frameAt(output, "0", folder.file("got.png")),
                                   frameAt(source, "4.52", folder.file("ref.png")));
    ASSERT_TRUE(first);
    EXPECT_GT(*first, 40.0);
    // The last picture is the one shown just before the end of the cut.
    const auto last = measurePsnr(lastFrame(output, folder.file("got-last.png")),
                                  frameAt(source, "8.46", folder.file("ref-last.png")));
    ASSERT_TRUE(last);
    EXPECT_GT(*last, 40.0);
    EXPECT_NEAR(soundOnset(output, folder.file("sound.raw")), 6.0 - 4.52, 0.025);

    // Cuts that hold no picture fail, and say why.
    const struct {
        std::vector<std::string> cut;
        const char* message;
    } empty[] = {
        {{"-ss", "12"}, "the cut starts at 0:12.0, past the end of the input"},
        {{"-ss", "10.2"}, "the cut from 0:10.2 to the end holds no picture"},
        {{"-ss", "4", "-to", "4.01"}, "the cut from 0:04 to 0:04.01 holds no picture"},
        {{"-to", "0.001"}, "the cut from 0:00 to 0:00.001 holds no picture"},
    };
    for (const auto& c : empty) {
        std::vector<std::string> args = {"-y", "-i", source, "-vcodec", "libx264", "-an"};
        args.insert(args.end(), c.cut.begin(), c.cut.end());
        args.push_back(folder.file("none.mkv"));
        const ProgramResult none = runConverter(args);
        EXPECT_EQ(none.status, 3) << none.output;
        EXPECT_NE(none.output.find(c.message), std::string::npos) << none.output;
        EXPECT_FALSE(fileExists(folder.file("none.mkv")));
    }
}

TEST(PictureEditTest, BarsGoWhereverTheyAreAndAPictureWithoutBarsIsUntouched) {
    // Each starts with three dark seconds, which must not decide the crop.
    struct Case {
        const char* name;
        const char* picture;
        int width;
        int height;
    } cases[] = {
        {"letterbox.mkv", "testsrc2=size=640x272:rate=25:duration=9,pad=640:360:0:44", 640, 272},
        {"pillarbox.mkv", "testsrc2=size=480x360:rate=25:duration=9,pad=640:360:80:0", 480, 360},
        {"nobars.mkv", "testsrc2=size=640x360:rate=25:duration=9", 640, 360},
        // Under a fiftieth of the width: no bars.
        {"thinbars.mkv", "testsrc2=size=628x360:rate=25:duration=9,pad=640:360:6:0", 640, 360},
        // A blue strip is dark, but not black, where the fade has not dimmed it.
        {"bluestrip.mkv",
         "color=c=blue:s=10x120:r=25:d=9[a];testsrc2=size=150x120:rate=25:duration=9[b];"
         "[a][b]hstack",
         160, 120},
    };
    for (const Case& c : cases) {
        const std::string source = madeSource(
            c.name, {"-f", "lavfi", "-i",
                     std::string(c.picture) + ",fade=in:st=0:d=3:color=black,format=yuv420p",
                     "-c:v", "ffv1"});
        TempDir folder;
        const std::string output = folder.file("out.mp4");
        const ProgramResult run =
            runConverter({"-y", "-i", source, "-vcodec", "libx264", "-crop", "auto", output});
        ASSERT_EQ(run.status, 0) << c.name << run.output;
        const auto info = probeWithFfprobe(output);
        ASSERT_TRUE(info);
        const StreamInfo* video = info->stream("video");
        ASSERT_NE(video, nullptr);
        EXPECT_NEAR(video->width, c.width, 2) << c.name;
        EXPECT_NEAR(video->height, c.height, 2) << c.name;
    }
}

// Whether a coding can hold fields is read from the stream's header, in
// each of the forms that H.264 keeps it in.
TEST(PictureEditTest, FrameOnlyCodingIsToldByTheStreamsHeader) {
    TempDir folder;
    const struct {
        const char* name;
        std::vector<std::string> coding;
        bool frameOnly;
    } cases[] = {
        {"x264.mp4", {"-c:v", "libx264"}, true},
        {"x264.ts", {"-c:v", "libx264"}, true},
        {"x264-fields.mkv", {"-c:v", "libx264", "-flags", "+ildct+ilme"}, false},
        {"x265.mp4", {"-c:v", "libx265"}, true},
        {"vp9.webm", {"-c:v", "libvpx-vp9"}, true},
        {"mpeg2.mpg", {"-c:v", "mpeg2video"}, false},
    };
    for (const auto& c : cases) {
        const std::string path = folder.file(c.name);
        std::vector<std::string> argv = {
            "ffmpeg", "-v",    "error", "-y",
            "-f",     "lavfi", "-i",    "testsrc2=size=160x120:duration=0.5"};
        argv.insert(argv.end(), c.coding.begin(), c.coding.end());
        argv.push_back(path);
        ASSERT_EQ(runProgram(argv).status, 0) << c.name;
        AVFormatContext* raw = nullptr;
        ASSERT_EQ(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0) << c.name;
        const InputFormatPtr context(raw);
        ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0) << c.name;
        const int video = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        ASSERT_GE(video, 0) << c.name;
        EXPECT_EQ(codingIsFrameOnly(*raw->streams[video]->codecpar), c.frameOnly) << c.name;
    }
}

// Fields of a moving test picture woven into frames, top field first.
std::string wovenSource() {
    return madeSource("woven.mkv", {"-f", "lavfi", "-i",
                                    "testsrc2=size=640x480:rate=50:duration=6,"
                                    "tinterlace=mode=interleave_top,format=yuv420p",
                                    "-c:v", "ffv1"});
}

// How many of its pictures the ffmpeg tool's own measure finds woven.
int interlacedFrames(const std::string& path) {
    const ProgramResult idet =
        runProgram({"ffmpeg", "-hide_banner", "-i", path, "-vf", "idet", "-f", "null", "-"});
    const auto at = idet.output.find("Single frame detection:");
    int tff = -1;
    int bff = -1;
    if (at != std::string::npos) {
        std::sscanf(idet.output.c_str() + at, "Single frame detection: TFF: %d BFF: %d", &tff,
                    &bff);
    }
    return tff + bff;
}

TEST(PictureEditTest, WovenFieldsComeOutProgressiveAndAProgressiveSourceIsLeftAlone) {
    const std::string woven = wovenSource();
    TempDir folder;
    const std::string output = folder.file("out.mp4");
    ASSERT_EQ(
        runConverter({"-y", "-i", woven, "-vcodec", "libx264", "-deint", "auto", output}).status,
        0);
    EXPECT_GT(interlacedFrames(woven), 100);
    // The deinterlacer's first picture has no field before it to draw on.
    EXPECT_LE(interlacedFrames(output), 2);

    // A natural progressive picture: automatic gives the very bytes of off.
    const std::string calm = madeSource(
        "calm.mkv",
        {"-f", "lavfi", "-i", "mandelbrot=size=320x240:rate=25", "-t", "4", "-c:v", "ffv1"});
    const std::string off = folder.file("off.mp4");
    const std::string automatic = folder.file("auto.mp4");
    ASSERT_EQ(runConverter({"-y", "-i", calm, "-vcodec", "libx264", "-deint", "off", off}).status,
              0);
    ASSERT_EQ(
        runConverter({"-y", "-i", calm, "-vcodec", "libx264", "-deint", "auto", automatic}).status,
        0);
    EXPECT_EQ(readFile(off), readFile(automatic));
}

// The conversion measures the pictures it decodes: a video that is still
// at first is found when it moves, and one read from a pipe is found too.
TEST(PictureEditTest, WovenFieldsAreFoundAsTheyAreDecoded) {
    const std::string stillFirst =
        madeSource("woven-after-still.mkv",
                   {"-f", "lavfi", "-i",
                    "color=black:size=640x480:rate=25:duration=3,format=yuv420p[still];"
                    "testsrc2=size=640x480:rate=50:duration=4,tinterlace=mode=interleave_top,"
                    "format=yuv420p[woven];[still][woven]concat",
                    "-c:v", "ffv1"});
    const std::string woven = wovenSource();
    TempDir folder;
    const std::string pipe = folder.file("pipe.mkv");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    RunningProgram feeder(
        {"ffmpeg", "-v", "error", "-y", "-i", woven, "-c", "copy", "-f", "matroska", pipe});
    struct Case {
        const char* name;
        std::string input;
        int mostLeftWoven;  // those decoded before the pictures told
    };
    for (const Case& c : {Case{"still at first", stillFirst, 20}, Case{"from a pipe", pipe, 2}}) {
        const std::string output = folder.file(std::string(c.name) + ".mp4");
        const ProgramResult run = runConverter({"-y", "-i", c.input, "-vcodec", "libx264", output});
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        EXPECT_LE(interlacedFrames(output), c.mostLeftWoven) << c.name;
    }
    EXPECT_GT(interlacedFrames(stillFirst), 80);
}

}  // namespace
}  // namespace vidmill::test
