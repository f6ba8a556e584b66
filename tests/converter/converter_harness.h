#pragma once

// Helpers of the converter tests: running programs, making media with the
// ffmpeg tool and reading results back with ffprobe.

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vidmill::test {

inline const std::string kConverterPath = VIDMILL_CONVERTER_PATH;

struct ProgramResult {
    int status = -1000;  // exit status read as a signed byte, like the engine reads it
    int signal = 0;      // the signal that ended the program, or 0
    std::string output;  // stdout and stderr together
};

struct RunOptions {
    std::optional<long> fileSizeLimit;  // RLIMIT_FSIZE in bytes
    std::string workingDirectory;       // empty: ours
    // In a process group of its own, as a shell's job runs.
    bool ownProcessGroup = false;
};

// Runs a program (argv[0] is its path) with stdin from /dev/null and waits.
ProgramResult runProgram(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the converter with these arguments (without the program name).
ProgramResult runConverter(const std::vector<std::string>& args, const RunOptions& options = {});

// A program that runs while the test does something else.
class RunningProgram {
  public:
    explicit RunningProgram(const std::vector<std::string>& argv, const RunOptions& options = {});
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;
    ~RunningProgram();  // kills a program that is still running

    pid_t pid() const { return pid_; }
    // The result once the program ended, or nothing after the timeout.
    std::optional<ProgramResult> wait(std::chrono::milliseconds timeout);

  private:
    pid_t pid_ = -1;
    std::string outputPath_;
    bool ended_ = false;
};

// Waits for a process that is not our child but has been reparented to us
// (we are a subreaper); its exit status, or nothing after the timeout.
std::optional<ProgramResult> waitForAdopted(pid_t pid, std::chrono::milliseconds timeout);

struct StreamInfo {
    std::string type;  // "video" or "audio"
    std::string codec;
    std::string tag;
    int width = 0;
    int height = 0;
    double frameRate = 0.0;  // from r_frame_rate
    int sampleRate = 0;
    int channels = 0;
    std::string displayAspect;
};

struct MediaInfo {
    std::string formatName;
    double duration = 0.0;
    std::vector<StreamInfo> streams;

    const StreamInfo* stream(const std::string& type) const;
};

// What ffprobe reads from the file; nothing when it cannot read it.
std::optional<MediaInfo> probeWithFfprobe(const std::string& path);

// What a converted file should hold. Empty codec: no stream of that kind.
struct ExpectedMedia {
    std::string format;      // one of ffprobe's names for the container ("mp4", "avi", ...)
    std::string videoCodec;  // ffprobe's codec name ("h264", "mpeg4", "flv1", ...)
    int width = 0;
    int height = 0;
    double frameRate = 0.0;  // within 0.06 frames per second
    std::string tag;         // fourcc; empty: not checked
    std::string audioCodec;
    int sampleRate = 0;
    int channels = 2;
    double duration = 0.0;  // within 0.35 s; 0: not checked
};

// Reads the file with ffprobe and compares; the failure names every difference.
::testing::AssertionResult matchesMedia(const std::string& path, const ExpectedMedia& expected);

// Everything ffprobe says of the file's streams, tags and chapters, in its
// "flat" form with the keys in lower case: "format.tags.creation_time",
// "streams.stream.1.codec_name", "streams.stream.1.tags.language",
// "streams.stream.1.disposition.default", "chapters.chapter.0.tags.title".
std::map<std::string, std::string> probeEntries(const std::string& path);

// Mean and peak level of the first audio stream in dB (ffmpeg's volumedetect).
struct AudioLevel {
    double mean = 0.0;
    double peak = 0.0;
};
std::optional<AudioLevel> measureAudioLevel(const std::string& path);

// Average PSNR in dB of a video against the one it was made from (same size).
std::optional<double> measurePsnr(const std::string& path, const std::string& reference);

// The media every test starts from, made once per build tree (tests run in
// processes of their own and share them): a few seconds of 640x480 25 fps video with stereo 48 kHz
// audio, and variants without audio, without video and as an MPEG-TS stream.
struct TestMedia {
    std::string folder;
    // MP4: MPEG-4 video and AAC audio, with a title, a creation time, a
    // place and two chapters, as a phone's or camera's video has them.
    std::string audioVideo;
    std::string videoOnly;  // MP4
    std::string audioOnly;  // WAV, 44.1 kHz stereo
    std::string stream;     // MPEG-TS, readable from a pipe
    double seconds = 0.0;
    // Matroska, 2 s of 320x240 H.264 with two audio tracks (0: English
    // "Main" at 44.1 kHz, not default; 1: French "Commentary" at 48 kHz,
    // default, which the demuxer rates best), a German SubRip subtitle,
    // chapters "Arrival" (0-1 s), "Beach" (1-2 s) and "Credits" (3-4 s, past
    // the end), a title, a creation time and a place as a phone writes it
    // (com.apple.quicktime.location.ISO6709).
    std::string tracks;
};
const TestMedia& testMedia();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);
bool fileExists(const std::string& path);
long long fileSize(const std::string& path);

}  // namespace vidmill::test
