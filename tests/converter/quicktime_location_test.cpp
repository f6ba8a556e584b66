// The place patched into a finished MP4 file: only into a layout where it
// moves no sample, and then the file still plays to its end and says where
// it was taken.

#include "converter/output/quicktime_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

constexpr const char* kPlace = "+48.8584+002.2945/";

// One second of small video and sound, written by the ffmpeg tool with
// `options` (which choose the layout).
std::string makeClip(const TempDir& dir, const std::string& name,
                     const std::vector<std::string>& options) {
    const std::string path = dir.file(name);
    std::vector<std::string> argv{
        "ffmpeg", "-hide_banner", "-loglevel", "error",
        "-f",     "lavfi",        "-i",        "testsrc=size=160x120:rate=25:duration=1",
        "-f",     "lavfi",        "-i",        "sine=frequency=440:sample_rate=48000:duration=1",
        "-c:v",   "mpeg4",        "-c:a",      "aac"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    const ProgramResult made = runProgram(argv);
    EXPECT_EQ(made.status, 0) << made.output;
    return path;
}

// The video frames that decoding the whole file gives.
std::string decodedFrames(const std::string& path) {
    const ProgramResult counted =
        runProgram({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                    "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", path});
    EXPECT_EQ(counted.status, 0) << counted.output;
    return counted.output;
}

TEST(QuickTimeLocationTest, APatchedFilePlaysToItsEndAndSaysWhereItWasTaken) {
    TempDir dir;
    // As the muxer leaves it: the movie box last, its user data last in it.
    const std::string path = makeClip(dir, "clip.mp4", {});
    const std::string frames = decodedFrames(path);
    const std::string before = readFile(path);
    ASSERT_TRUE(addQuickTimeLocation(path, "clip.mp4", kPlace));
    EXPECT_GT(readFile(path).size(), before.size());

    const ProgramResult played = runProgram({"ffmpeg", "-hide_banner", "-nostats", "-v", "error",
                                             "-xerror", "-i", path, "-f", "null", "-"});
    EXPECT_EQ(played.status, 0) << played.output;
    EXPECT_EQ(played.output, "");
    EXPECT_EQ(decodedFrames(path), frames);
    EXPECT_EQ(probeEntries(path)["format.tags.location"], kPlace);
}

TEST(QuickTimeLocationTest, ALayoutItCannotPatchIsLeftByteForByte) {
    TempDir dir;
    // The movie box first, as for streaming.
    const std::string fastStart = makeClip(dir, "faststart.mp4", {"-movflags", "+faststart"});
    // Fragments after an empty movie box.
    const std::string fragmented =
        makeClip(dir, "fragmented.mp4", {"-movflags", "+frag_keyframe+empty_moov"});
    // Cut short: the last box claims more than the file holds.
    const std::string cut = makeClip(dir, "cut.mp4", {});
    const std::string whole = readFile(cut);
    writeFile(cut, whole.substr(0, whole.size() - 100));
    for (const std::string& path : {fastStart, fragmented, cut}) {
        SCOPED_TRACE(path);
        const std::string before = readFile(path);
        EXPECT_FALSE(addQuickTimeLocation(path, path, kPlace));
        EXPECT_EQ(readFile(path), before);
    }
    // Nor is a place too long for the atom written anywhere.
    const std::string plain = makeClip(dir, "plain.mp4", {});
    const std::string before = readFile(plain);
    EXPECT_FALSE(addQuickTimeLocation(plain, plain, std::string(256, '1')));
    EXPECT_FALSE(addQuickTimeLocation(plain, plain, ""));
    EXPECT_EQ(readFile(plain), before);
}

}  // namespace
}  // namespace vidmill::test
