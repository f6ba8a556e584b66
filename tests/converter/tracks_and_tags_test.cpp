// The formats of the newer codecs, every track of a source, and what the
// source says about itself (tags and chapters), each converted from one
// Matroska file with two audio tracks, a subtitle and chapters, and read back
// with ffprobe.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

struct TrackCase {
    std::string name;
    std::string extension;
    std::vector<std::string> options;  // between the input and the output
    std::string format;                // a token of ffprobe's format name
    std::string videoCodec;            // empty: no video
    std::string videoTag;              // empty: not checked
    std::string audioCodec;
    // The language of each audio stream, in order; "-" where the container
    // keeps none.
    std::vector<std::string> languages;
    std::string subtitleCodec;  // empty: no subtitle stream
    std::string tagsAt;         // where the file's tags are: "format" or a stream
    int sampleRate = 0;         // of the audio; 0: not checked
};

void PrintTo(const TrackCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<std::string> kOpus{"-acodec", "libopus", "-ab",   "128.0kb", "-ac",
                                     "2",       "-ar",     "48000", "-vol",    "256"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The source's second audio track is the one the demuxer rates best; a file
// of sound alone takes the first.
std::vector<TrackCase> trackCases() {
    const std::vector<std::string> small{"-s", "320x240"};
    return {
        {"H265Mp4",
         "mp4",
         join(small, {"-vtag", "hvc1", "-vcodec", "libx265", "-acodec", "libfaac", "-crf", "28",
                      "-ab", "128.0kb", "-ac", "2", "-ar", "48000", "-vol", "256"}),
         "mp4",
         "hevc",
         "hvc1",
         "aac",
         {"fra"},
         "",
         "format"},
        {"Av1Mkv",
         "mkv",
         join(join(small, {"-vcodec", "libsvtav1", "-f", "matroska", "-crf", "35"}), kOpus),
         "matroska",
         "av1",
         "",
         "opus",
         {"fra"},
         "",
         "format"},
        {"Vp9Webm",
         "webm",
         join(join(small, {"-vcodec", "libvpx-vp9", "-f", "webm", "-crf", "33"}), kOpus),
         "webm",
         "vp9",
         "",
         "opus",
         {"fra"},
         "",
         "format"},
        {"MkvAllTracks",
         "mkv",
         {"-alltracks", "-vcodec", "libx264", "-acodec", "libfaac", "-f", "matroska", "-crf", "23",
          "-ab", "160.0kb", "-vol", "256"},
         "matroska",
         "h264",
         "",
         "aac",
         {"eng", "fra"},
         "subrip",
         "format"},
        {"Mp4AllTracks",
         "mp4",
         {"-alltracks", "-vcodec", "libx264", "-acodec", "libfaac", "-crf", "23", "-ab", "160.0kb",
          "-vol", "256"},
         "mp4",
         "h264",
         "",
         "aac",
         {"eng", "fra"},
         "mov_text",
         "format"},
        {"Opus",
         "opus",
         join({"-vn"}, kOpus),
         "ogg",
         "",
         "",
         "opus",
         {"eng"},
         "",
         "streams.stream.0"},
        {"Flac",
         "flac",
         {"-vn", "-acodec", "flac", "-ac", "2", "-vol", "256"},
         "flac",
         "",
         "",
         "flac",
         {"-"},
         "",
         "format",
         44100},
        {"Psp",
         "mp4",
         {"-vcodec", "mpeg4", "-acodec", "libfaac", "-f", "psp", "-s", "368x208", "-b", "1500kb",
          "-ab", "128.0kb", "-ac", "2", "-ar", "24000", "-vol", "256"},
         "mp4",
         "mpeg4",
         "",
         "aac",
         {"-"},
         "",
         "format",
         24000},
        {"QuickTime",
         "mov",
         {"-vcodec", "mpeg4", "-acodec", "libfaac", "-b", "1500kb", "-ab", "128.0kb", "-ac", "2",
          "-ar", "48000", "-vol", "256"},
         "mov",
         "mpeg4",
         "",
         "aac",
         {"fra"},
         "",
         "format"},
    };
}

std::string entry(const std::map<std::string, std::string>& entries, const std::string& key) {
    const auto found = entries.find(key);
    return found != entries.end() ? found->second : "(none)";
}

// The streams' keys ("streams.stream.N") by kind, in order.
std::map<std::string, std::vector<std::string>> streamsByKind(
    const std::map<std::string, std::string>& entries) {
    std::map<std::string, std::vector<std::string>> kinds;
    for (int i = 0;; ++i) {
        const std::string stream = "streams.stream." + std::to_string(i);
        const auto type = entries.find(stream + ".codec_type");
        if (type == entries.end()) {
            return kinds;
        }
        kinds[type->second].push_back(stream);
    }
}

// Start and length in seconds of each subtitle of the file's first subtitle
// stream; MP4's empty cues between them (two bytes) are left out.
std::vector<std::pair<double, double>> subtitleTimes(const std::string& path) {
    const ProgramResult result =
        runProgram({"ffprobe", "-v", "error", "-select_streams", "s:0", "-show_entries",
                    "packet=pts_time,duration_time,size", "-of", "csv=p=0", "file:" + path});
    std::vector<std::pair<double, double>> times;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        double start = 0;
        double length = 0;
        int size = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf,%d", &start, &length, &size) == 3 && size > 2) {
            times.emplace_back(start, length);
        }
    }
    return times;
}

// The cues at 0.2 s and 1.1 s keep their place and length (a muxer may move
// the whole timeline by the audio encoder's priming, 23 ms).
void expectSubtitlesAtTheirTimes(const std::string& path) {
    const auto times = subtitleTimes(path);
    ASSERT_EQ(times.size(), 2u) << path;
    EXPECT_NEAR(times[0].first, 0.2, 0.06) << path;
    EXPECT_NEAR(times[0].second, 0.7, 0.01) << path;
    EXPECT_NEAR(times[1].first - times[0].first, 0.9, 0.01) << path;
}

class KeepTracksAndTags : public ::testing::TestWithParam<TrackCase> {};

TEST_P(KeepTracksAndTags, WritesWhatFfprobeReadsBack) {
    const TrackCase& c = GetParam();
    TempDir folder;
    const std::string output = folder.file("out." + c.extension);
    std::vector<std::string> args{"-y", "-i", testMedia().tracks};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(output);
    const ProgramResult run = runConverter(args);
    ASSERT_EQ(run.status, 0) << run.output;
    const auto entries = probeEntries(output);
    ASSERT_FALSE(entries.empty());
    auto kinds = streamsByKind(entries);

    EXPECT_NE(entry(entries, "format.format_name").find(c.format), std::string::npos);
    ASSERT_EQ(kinds["video"].size(), c.videoCodec.empty() ? 0u : 1u);
    if (!c.videoCodec.empty()) {
        const std::string& video = kinds["video"][0];
        EXPECT_EQ(entry(entries, video + ".codec_name"), c.videoCodec);
        if (!c.videoTag.empty()) {
            EXPECT_EQ(entry(entries, video + ".codec_tag_string"), c.videoTag);
        }
    }
    ASSERT_EQ(kinds["audio"].size(), c.languages.size());
    for (std::size_t i = 0; i < c.languages.size(); ++i) {
        const std::string& audio = kinds["audio"][i];
        EXPECT_EQ(entry(entries, audio + ".codec_name"), c.audioCodec);
        if (c.languages[i] != "-") {
            EXPECT_EQ(entry(entries, audio + ".tags.language"), c.languages[i]) << audio;
        }
        if (c.sampleRate != 0) {
            EXPECT_EQ(entry(entries, audio + ".sample_rate"), std::to_string(c.sampleRate));
        }
    }
    if (c.languages.size() > 1) {
        // Every track keeps whether it is the one to play.
        EXPECT_EQ(entry(entries, kinds["audio"][0] + ".disposition.default"), "0");
        EXPECT_EQ(entry(entries, kinds["audio"][1] + ".disposition.default"), "1");
    }
    ASSERT_EQ(kinds["subtitle"].size(), c.subtitleCodec.empty() ? 0u : 1u);
    if (!c.subtitleCodec.empty()) {
        EXPECT_EQ(entry(entries, kinds["subtitle"][0] + ".codec_name"), c.subtitleCodec);
        EXPECT_EQ(entry(entries, kinds["subtitle"][0] + ".tags.language"), "deu");
        expectSubtitlesAtTheirTimes(output);
    }
    if (c.format == "matroska" && c.languages.size() > 1) {
        EXPECT_EQ(entry(entries, kinds["audio"][0] + ".tags.title"), "Main");
        EXPECT_EQ(entry(entries, kinds["audio"][1] + ".tags.title"), "Commentary");
        EXPECT_EQ(entry(entries, kinds["subtitle"][0] + ".tags.title"), "Deutsch");
    }

    // What the source says about itself: tags and chapters.
    const std::string tags = c.tagsAt + ".tags.";
    EXPECT_EQ(entry(entries, tags + "creation_time").rfind("2021-06-01T12:34:56", 0), 0u)
        << entry(entries, tags + "creation_time");
    EXPECT_EQ(entry(entries, tags + "location"), "+48.8584+002.2945/");
    if (c.name == "Psp") {
        return;  // the PSP's header keeps the title where ffprobe does not look, and no chapters
    }
    EXPECT_EQ(entry(entries, tags + "title"), "Holiday");
    EXPECT_EQ(entry(entries, "chapters.chapter.0.tags.title"), "Arrival");
    EXPECT_EQ(entry(entries, "chapters.chapter.1.tags.title"), "Beach");
    EXPECT_NEAR(std::atof(entry(entries, "chapters.chapter.1.start_time").c_str()), 1.0, 0.01);
    EXPECT_EQ(entries.count("chapters.chapter.2.id"), 0u);  // past the end
    if (c.format == "mp4" || c.format == "mov") {
        // Apple's players read the place from the ©xyz atom.
        EXPECT_NE(readFile(output).find("\xA9xyz"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, KeepTracksAndTags, ::testing::ValuesIn(trackCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vidmill::test
