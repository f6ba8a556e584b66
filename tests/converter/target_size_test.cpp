// A size to fit in: each encoder with two passes lands just under it, a size
// that cannot hold the video is refused, and the first pass's log goes with
// the run.

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>

#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

int entriesIn(const std::string& folder) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) {
        return 0;
    }
    int count = 0;
    while (const dirent* entry = readdir(listing)) {
        count += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
    }
    closedir(listing);
    return count;
}

struct FitCase {
    const char* encoder;
    const char* extension;
    const char* audio;
};

void PrintTo(const FitCase& c, std::ostream* os) {
    *os << c.encoder;
}

// Rate control needs some seconds to find its aim: 15 s of a moving
// picture with sound, made once for the suite.
const std::string& fifteenSeconds() {
    static const std::string path = [] {
        const std::string made = testMedia().folder + "/fit-15s.mp4";
        if (!fileExists(made)) {
            const std::string part = made + ".part.mp4";
            const ProgramResult run = runProgram(
                {"ffmpeg", "-v",      "error",   "-y",
                 "-f",     "lavfi",   "-i",      "testsrc2=size=480x270:rate=25:duration=15",
                 "-f",     "lavfi",   "-i",      "sine=frequency=440:duration=15",
                 "-c:v",   "libx264", "-preset", "ultrafast",
                 "-crf",   "12",      "-c:a",    "aac",
                 part});
            if (run.status == 0) {
                std::rename(part.c_str(), made.c_str());
            }
        }
        return made;
    }();
    return path;
}

// 8 s of a finely detailed moving picture: more than libvpx can bring down
// to the least bitrate a size may give it.
const std::string& busyEightSeconds() {
    static const std::string path = [] {
        const std::string made = testMedia().folder + "/fit-busy-8s.mp4";
        if (!fileExists(made)) {
            const std::string part = made + ".part.mp4";
            const ProgramResult run =
                runProgram({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                            "mandelbrot=size=640x360:rate=25", "-t", "8", "-pix_fmt", "yuv420p",
                            "-c:v", "libx264", "-preset", "ultrafast", "-crf", "12", part});
            if (run.status == 0) {
                std::rename(part.c_str(), made.c_str());
            }
        }
        return made;
    }();
    return path;
}

class FitInSize : public ::testing::TestWithParam<FitCase> {};

TEST_P(FitInSize, LandsJustUnderTheSizeAndLeavesNoLog) {
    const FitCase& c = GetParam();
    TempDir folder;
    const std::string passes = folder.file("passes");
    const std::string output = folder.file(std::string("out.") + c.extension);
    // About 500 kbit/s: well within what each encoder can spend on the picture.
    const long long target = 15 * 62'500;
    const ProgramResult run =
        runConverter({"-y", "-i", fifteenSeconds(), "-vcodec", c.encoder, "-acodec", c.audio, "-ab",
                      "96.0kb", "-targetsize", std::to_string(target), "-passdir", passes, output});
    ASSERT_EQ(run.status, 0) << run.output;
    const double off = double(fileSize(output) - target) / double(target);
    EXPECT_GE(off, -0.03) << fileSize(output);
    EXPECT_LE(off, 0.01) << fileSize(output);
    EXPECT_EQ(entriesIn(passes), 0);
}

INSTANTIATE_TEST_SUITE_P(Encoders, FitInSize,
                         ::testing::Values(FitCase{"libx264", "mp4", "aac"},
                                           FitCase{"libx265", "mp4", "aac"},
                                           FitCase{"libvpx-vp9", "webm", "libopus"},
                                           FitCase{"mpeg4", "avi", "libmp3lame"}));

TEST(FitInSizeTest, ASizeTooSmallForTheVideoIsRefusedAndWritesNothing) {
    TempDir folder;
    const std::string output = folder.file("out.mp4");
    const ProgramResult run = runConverter(
        {"-y", "-i", testMedia().audioVideo, "-vcodec", "libx264", "-acodec", "aac", "-ab",
         "128.0kb", "-targetsize", "20000", "-passdir", folder.file("passes"), output});
    EXPECT_EQ(run.status, 5) << run.output;
    EXPECT_NE(run.output.find("20 KB cannot hold"), std::string::npos) << run.output;
    EXPECT_FALSE(fileExists(output));
    EXPECT_EQ(entriesIn(folder.file("passes")), 0);

    // Allowed by the budget (about 55 kbit/s for the picture), but libvpx at
    // its largest quantiser spends half as much again: no file over the size.
    const ProgramResult over =
        runConverter({"-y", "-i", busyEightSeconds(), "-vcodec", "libvpx-vp9", "-an", "-targetsize",
                      "56000", "-passdir", folder.file("passes"), folder.file("out.webm")});
    EXPECT_EQ(over.status, 5) << over.output;
    EXPECT_NE(over.output.find("cannot make this video as small as 56 KB: it came to"),
              std::string::npos)
        << over.output;
    EXPECT_FALSE(fileExists(folder.file("out.webm")));
    EXPECT_EQ(entriesIn(folder.file("passes")), 0);

    // Sound kept whole has no bitrate to bring down.
    const ProgramResult wav = runConverter({"-y", "-i", testMedia().audioVideo, "-vn",
                                            "-targetsize", "20000000", folder.file("out.wav")});
    EXPECT_EQ(wav.status, 5) << wav.output;
    EXPECT_NE(wav.output.find("no size can be chosen"), std::string::npos) << wav.output;
}

TEST(FitInSizeTest, TwoPassesAskedOfAnEncoderWithOneSaySo) {
    TempDir folder;
    const ProgramResult run =
        runConverter({"-y", "-i", testMedia().videoOnly, "-vcodec", "libsvtav1", "-b", "300kb",
                      "-twopass", folder.file("out.mkv")});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("libsvtav1 has no second pass; the video is made in one pass"),
              std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace vidmill::test
