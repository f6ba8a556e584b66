// One conversion per container and codec family, each with the arguments the
// engine writes for a preset of that family, read back with ffprobe.

#include <gtest/gtest.h>

#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

struct FormatCase {
    std::string name;
    std::string extension;
    std::vector<std::string> options;  // between the input and the output
    ExpectedMedia expected;
};

void PrintTo(const FormatCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::string> kDefaultAudio{"-ab", "128.0kb", "-ac", "2"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What ffprobe reports for a rate given as N/1001, allowing for containers
// that store milliseconds.
constexpr double kNtsc = 29975.0 / 1001;

std::vector<FormatCase> formatCases() {
    return {
        {"PspMpeg4",
         "mp4",
         {"-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "psp", "-s", "368x208", "-r",
          "29975/1001", "-b", "1500kb", "-ab", "128.0kb", "-ac", "2", "-ar", "24000"},
         {"mp4", "mpeg4", 368, 208, kNtsc, "", "aac", 24000}},
        {"PspH264",
         "mp4",
         {"-vcodec", "libx264", "-acodec", "libfaac", "-f", "psp", "-s", "368x208", "-r",
          "14984/1001", "-b", "1500kb", "-ab", "128.0kb", "-ac", "2", "-ar", "48000"},
         {"mp4", "h264", 368, 208, 14984.0 / 1001, "", "aac", 48000}},
        {"IpodMpeg4",
         "mp4",
         join({"-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "320x240", "-r", "29975/1001", "-b",
               "512kb"},
              join(kDefaultAudio, {"-ar", "44100"})),
         {"mp4", "mpeg4", 320, 240, kNtsc, "", "aac", 44100}},
        {"AppleTvH264",
         "mp4",
         join({"-vcodec", "libx264", "-acodec", "libfaac", "-s", "640x360", "-r", "25000/1001",
               "-b", "512kb"},
              join(kDefaultAudio, {"-ar", "44100"})),
         {"mp4", "h264", 640, 360, 25000.0 / 1001, "", "aac", 44100}},
        {"ThreeGpH263",
         "3gp",
         {"-vcodec", "h263", "-acodec", "libfaac", "-s", "176x144", "-r", "15000/1001", "-b",
          "190kb", "-ab", "32.0kb", "-ac", "2", "-ar", "8000"},
         {"3gp", "h263", 176, 144, 15000.0 / 1001, "", "aac", 8000}},
        {"ThreeG2Mpeg4",
         "3g2",
         {"-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "352x288", "-r", "15000/1001", "-b",
          "190kb", "-ab", "32.0kb", "-ac", "2", "-ar", "16000"},
         {"3g2", "mpeg4", 352, 288, 15000.0 / 1001, "", "aac", 16000}},
        {"PocketPcWmv",
         "wmv",
         {"-vcodec", "wmv2", "-acodec", "wmav2", "-s", "320x240", "-r", "24000/1001", "-b", "768kb",
          "-ab", "160.0kb", "-ac", "2", "-ar", "32000"},
         {"asf", "wmv2", 320, 240, 24000.0 / 1001, "", "wmav2", 32000}},
        {"FlashVideo",
         "flv",
         join({"-vcodec", "flv", "-acodec", "libmp3lame", "-s", "320x240", "-r", "29975/1001", "-b",
               "1000kb"},
              join(kDefaultAudio, {"-ar", "22050"})),
         {"flv", "flv1", 320, 240, kNtsc, "", "mp3", 22050}},
        {"DvdVobAc3",
         "vob",
         join({"-vcodec", "mpeg2video", "-acodec", "ac3", "-s", "720x480", "-r", "29975/1001", "-b",
               "1500kb"},
              join(kDefaultAudio, {"-ar", "48000"})),
         {"mpeg", "mpeg2video", 720, 480, 30000.0 / 1001, "", "ac3", 48000}},
        {"Mpeg1",
         "mpg",
         {"-vcodec", "mpeg1video", "-acodec", "libmp3lame", "-s", "352x240", "-r", "29975/1001",
          "-b", "1150kb", "-ab", "224.0kb", "-ac", "2", "-ar", "44100"},
         {"mpeg", "mpeg1video", 352, 240, 30000.0 / 1001, "", "mp3", 44100}},
        {"Mpeg2LowRate",
         "mpg",
         {"-vcodec", "mpeg2video", "-acodec", "libmp3lame", "-s", "480x480", "-r", "20000/1001",
          "-b", "4000kb", "-ab", "224.0kb", "-ac", "2", "-ar", "48000"},
         {"mpeg", "mpeg2video", 480, 480, 24000.0 / 1001, "", "mp3", 48000}},
        {"AsfMsmpeg4",
         "asf",
         join({"-vcodec", "msmpeg4v2", "-acodec", "libmp3lame", "-r", "29975/1001", "-b", "1500kb"},
              join(kDefaultAudio, {"-ar", "48000"})),
         {"asf", "msmpeg4v2", 640, 480, kNtsc, "", "mp3", 48000}},
        {"WmvSourceRate",
         "wmv",
         {"-vcodec", "wmv1", "-acodec", "libmp3lame", "-b", "512kb", "-ab", "192.0kb", "-ac", "2",
          "-ar", "48000"},
         {"asf", "wmv1", 640, 480, 25.0, "", "mp3", 48000}},
        {"QuickTime",
         "mov",
         join({"-vcodec", "mpeg4", "-acodec", "libfaac", "-r", "29975/1001", "-b", "1500kb"},
              join(kDefaultAudio, {"-ar", "48000"})),
         {"mov", "mpeg4", 640, 480, kNtsc, "", "aac", 48000}},
        {"AviMsmpeg4",
         "avi",
         join({"-vcodec", "msmpeg4v2", "-acodec", "libmp3lame", "-s", "320x240", "-r", "25000/1001",
               "-b", "4000kb"},
              join(kDefaultAudio, {"-ar", "44100"})),
         {"avi", "msmpeg4v2", 320, 240, 25000.0 / 1001, "MP42", "mp3", 44100}},
        {"DivX",
         "avi",
         join({"-vcodec", "mpeg4", "-vtag", "divx", "-acodec", "libmp3lame", "-r", "29975/1001",
               "-b", "4000kb"},
              join(kDefaultAudio, {"-ar", "48000"})),
         {"avi", "mpeg4", 640, 480, kNtsc, "DIVX", "mp3", 48000}},
        {"XviD",
         "avi",
         join({"-vcodec", "mpeg4", "-vtag", "xvid", "-acodec", "libmp3lame", "-r", "29975/1001",
               "-b", "4000kb"},
              join(kDefaultAudio, {"-ar", "48000"})),
         {"avi", "mpeg4", 640, 480, kNtsc, "XVID", "mp3", 48000}},
        {"Mp3",
         "mp3",
         {"-vn", "-acodec", "libmp3lame", "-ab", "192.0kb", "-ac", "2", "-ar", "48000"},
         {"mp3", "", 0, 0, 0.0, "", "mp3", 48000}},
        {"Ac3",
         "ac3",
         join({"-vn", "-acodec", "ac3"}, join(kDefaultAudio, {"-ar", "48000"})),
         {"ac3", "", 0, 0, 0.0, "", "ac3", 48000}},
        {"M4a",
         "m4a",
         join({"-vn", "-acodec", "libfaac"}, join(kDefaultAudio, {"-ar", "44100"})),
         {"mp4", "", 0, 0, 0.0, "", "aac", 44100}},
        {"Vorbis",
         "ogg",
         join({"-vn", "-acodec", "vorbis"}, join(kDefaultAudio, {"-ar", "44100"})),
         {"ogg", "", 0, 0, 0.0, "", "vorbis", 44100}},
        {"Wave",
         "wav",
         join({"-vn", "-acodec", "pcm_s16le"}, join(kDefaultAudio, {"-ar", "44100"})),
         {"wav", "", 0, 0, 0.0, "", "pcm_s16le", 44100}},
        {"Wma",
         "wma",
         join({"-vn", "-acodec", "wmav1"}, join(kDefaultAudio, {"-ar", "44100"})),
         {"asf", "", 0, 0, 0.0, "", "wmav1", 44100}},
        {"Mp2Mono",
         "mp2",
         {"-vn", "-acodec", "mp2", "-ab", "64.0kb", "-ac", "1", "-ar", "22050"},
         {"mp3", "", 0, 0, 0.0, "", "mp2", 22050, 1}},
    };
}

class ConvertFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ConvertFormat, WritesWhatFfprobeReadsBack) {
    const FormatCase& c = GetParam();
    TempDir folder;
    const std::string output = folder.file("out." + c.extension);
    std::vector<std::string> args{"-y", "-i", testMedia().audioVideo};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"-vol", "256", output});

    const ProgramResult run = runConverter(args);
    ASSERT_EQ(run.status, 0) << run.output;
    ExpectedMedia expected = c.expected;
    expected.duration = testMedia().seconds;
    EXPECT_TRUE(matchesMedia(output, expected));
}

INSTANTIATE_TEST_SUITE_P(Families, ConvertFormat, ::testing::ValuesIn(formatCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vidmill::test
