#include "converter_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vidmill::test {

namespace {

int signedStatus(int status) {
    return static_cast<signed char>(WEXITSTATUS(status) & 0xff);
}

ProgramResult resultFrom(int status) {
    ProgramResult result;
    if (WIFEXITED(status)) {
        result.status = signedStatus(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

// Forks and execs; output goes to `outputFd`. Only async-signal-safe calls
// happen between fork and exec.
pid_t spawn(const std::vector<std::string>& argv, int outputFd, const RunOptions& options) {
    std::vector<char*> pointers;
    for (const std::string& arg : argv) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (options.ownProcessGroup) {
            setpgid(0, 0);
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(outputFd, 1);
        dup2(outputFd, 2);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
            _exit(126);
        }
        if (options.fileSizeLimit) {
            rlimit limit{static_cast<rlim_t>(*options.fileSizeLimit),
                         static_cast<rlim_t>(*options.fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execvp(pointers[0], pointers.data());
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    return pid;
}

std::string run(const std::vector<std::string>& argv) {
    ProgramResult result = runProgram(argv);
    if (result.status != 0) {
        throw std::runtime_error("command failed: " + argv[0] + ": " + result.output);
    }
    return result.output;
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = spawn(argv, fds[1], options);
    close(fds[1]);
    std::string output;
    char buffer[4096];
    ssize_t count;
    while ((count = read(fds[0], buffer, sizeof buffer)) != 0) {
        if (count > 0) {
            output.append(buffer, static_cast<std::size_t>(count));
        } else if (errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ProgramResult result = resultFrom(status);
    result.output = std::move(output);
    return result;
}

ProgramResult runConverter(const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{kConverterPath};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, options);
}

RunningProgram::RunningProgram(const std::vector<std::string>& argv, const RunOptions& options) {
    char pattern[] = "/tmp/vidmill-output-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    outputPath_ = pattern;
    pid_ = spawn(argv, fd, options);
    close(fd);
}

RunningProgram::~RunningProgram() {
    if (!ended_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outputPath_.c_str());
}

std::optional<ProgramResult> RunningProgram::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            ended_ = true;
            ProgramResult result = resultFrom(status);
            result.output = readFile(outputPath_);
            return result;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<ProgramResult> waitForAdopted(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return resultFrom(status);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

const StreamInfo* MediaInfo::stream(const std::string& type) const {
    for (const StreamInfo& info : streams) {
        if (info.type == type) {
            return &info;
        }
    }
    return nullptr;
}

std::optional<MediaInfo> probeWithFfprobe(const std::string& path) {
    const ProgramResult result = runProgram(
        {"ffprobe", "-v", "error", "-show_entries",
         "format=format_name,duration:stream=codec_type,codec_name,codec_tag_string,width,height,"
         "r_frame_rate,sample_rate,channels,display_aspect_ratio",
         "-of", "flat", "file:" + path});
    if (result.status != 0) {
        return std::nullopt;
    }
    MediaInfo info;
    std::map<int, StreamInfo> streams;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (key == "format.format_name") {
            info.formatName = value;
        } else if (key == "format.duration") {
            info.duration = std::atof(value.c_str());
        } else if (key.rfind("streams.stream.", 0) == 0) {
            const std::string rest = key.substr(15);
            const auto dot = rest.find('.');
            StreamInfo& stream = streams[std::atoi(rest.substr(0, dot).c_str())];
            const std::string field = rest.substr(dot + 1);
            if (field == "codec_type") {
                stream.type = value;
            } else if (field == "codec_name") {
                stream.codec = value;
            } else if (field == "codec_tag_string") {
                stream.tag = value;
            } else if (field == "width") {
                stream.width = std::atoi(value.c_str());
            } else if (field == "height") {
                stream.height = std::atoi(value.c_str());
            } else if (field == "sample_rate") {
                stream.sampleRate = std::atoi(value.c_str());
            } else if (field == "channels") {
                stream.channels = std::atoi(value.c_str());
            } else if (field == "display_aspect_ratio") {
                stream.displayAspect = value;
            } else if (field == "r_frame_rate") {
                const auto slash = value.find('/');
                const double den =
                    slash == std::string::npos ? 1.0 : std::atof(value.c_str() + slash + 1);
                stream.frameRate = den > 0 ? std::atof(value.c_str()) / den : 0.0;
            }
        }
    }
    for (auto& [index, stream] : streams) {
        info.streams.push_back(stream);
    }
    return info;
}

::testing::AssertionResult matchesMedia(const std::string& path, const ExpectedMedia& expected) {
    const std::optional<MediaInfo> info = probeWithFfprobe(path);
    if (!info) {
        return ::testing::AssertionFailure() << "ffprobe cannot read " << path;
    }
    std::ostringstream differences;
    auto differ = [&differences](const std::string& what, const auto& got, const auto& wanted) {
        differences << "\n  " << what << ": " << got << " instead of " << wanted;
    };
    if (info->formatName.find(expected.format) == std::string::npos) {
        differ("container", info->formatName, expected.format);
    }
    if (expected.duration > 0 && std::abs(info->duration - expected.duration) > 0.35) {
        differ("duration", info->duration, expected.duration);
    }
    const StreamInfo* video = info->stream("video");
    if (expected.videoCodec.empty() != (video == nullptr)) {
        differ("video stream", video != nullptr ? video->codec : "none",
               expected.videoCodec.empty() ? "none" : expected.videoCodec);
    } else if (video != nullptr) {
        if (video->codec != expected.videoCodec) {
            differ("video codec", video->codec, expected.videoCodec);
        }
        if (video->width != expected.width || video->height != expected.height) {
            differ("frame size", std::to_string(video->width) + "x" + std::to_string(video->height),
                   std::to_string(expected.width) + "x" + std::to_string(expected.height));
        }
        if (std::abs(video->frameRate - expected.frameRate) > 0.06) {
            differ("frame rate", video->frameRate, expected.frameRate);
        }
        if (!expected.tag.empty() && video->tag != expected.tag) {
            differ("fourcc", video->tag, expected.tag);
        }
    }
    const StreamInfo* audio = info->stream("audio");
    if (expected.audioCodec.empty() != (audio == nullptr)) {
        differ("audio stream", audio != nullptr ? audio->codec : "none",
               expected.audioCodec.empty() ? "none" : expected.audioCodec);
    } else if (audio != nullptr) {
        if (audio->codec != expected.audioCodec) {
            differ("audio codec", audio->codec, expected.audioCodec);
        }
        if (audio->sampleRate != expected.sampleRate) {
            differ("sample rate", audio->sampleRate, expected.sampleRate);
        }
        if (audio->channels != expected.channels) {
            differ("channels", audio->channels, expected.channels);
        }
    }
    const std::string text = differences.str();
    if (!text.empty()) {
        return ::testing::AssertionFailure() << path << " differs:" << text;
    }
    return ::testing::AssertionSuccess();
}

std::optional<AudioLevel> measureAudioLevel(const std::string& path) {
    const ProgramResult result =
        runProgram({"ffmpeg", "-hide_banner", "-nostats", "-i", "file:" + path, "-vn", "-af",
                    "volumedetect", "-f", "null", "-"});
    const auto mean = result.output.find("mean_volume:");
    const auto peak = result.output.find("max_volume:");
    if (result.status != 0 || mean == std::string::npos || peak == std::string::npos) {
        return std::nullopt;
    }
    return AudioLevel{std::atof(result.output.c_str() + mean + 12),
                      std::atof(result.output.c_str() + peak + 11)};
}

std::optional<double> measurePsnr(const std::string& path, const std::string& reference) {
    const ProgramResult result =
        runProgram({"ffmpeg", "-hide_banner", "-nostats", "-i", "file:" + path, "-i",
                    "file:" + reference, "-lavfi", "[0:v][1:v]psnr", "-f", "null", "-"});
    const auto average = result.output.find("average:");
    if (result.status != 0 || average == std::string::npos) {
        return std::nullopt;
    }
    return std::atof(result.output.c_str() + average + 8);
}

std::map<std::string, std::string> probeEntries(const std::string& path) {
    const ProgramResult result =
        runProgram({"ffprobe", "-v", "error", "-show_entries",
                    "format=format_name:format_tags:stream=codec_type,codec_name,codec_tag_string,"
                    "sample_rate:"
                    "stream_tags:stream_disposition=default",
                    "-show_chapters", "-of", "flat", "file:" + path});
    std::map<std::string, std::string> entries;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (result.status != 0 || equals == std::string::npos) {
            continue;
        }
        std::string key = line.substr(0, equals);
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        entries[key] = value;
    }
    return entries;
}

namespace {

void ffmpeg(const std::vector<std::string>& inputs, const std::vector<std::string>& rest) {
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), inputs.begin(), inputs.end());
    argv.insert(argv.end(), rest.begin(), rest.end());
    run(argv);
}

// Makes one file through a temporary name, so that a file that exists is complete.
void makeOnce(const std::string& path, const std::vector<std::string>& inputs,
              std::vector<std::string> rest) {
    if (fileExists(path)) {
        return;
    }
    const std::string partial = path + ".part" + std::filesystem::path(path).extension().string();
    rest.push_back(partial);
    ffmpeg(inputs, rest);
    std::filesystem::rename(partial, path);
}

std::vector<std::string> tracksOptions() {
    std::vector<std::string> options{
        "-map",          "0",   "-map",          "1", "-map", "2",       "-map",    "3",
        "-map_metadata", "4",   "-map_chapters", "4", "-c:v", "libx264", "-preset", "ultrafast",
        "-c:a",          "aac", "-ac",           "2", "-c:s", "subrip",  "-f",      "matroska"};
    const std::pair<const char*, const char*> described[] = {
        {"-metadata", "creation_time=2021-06-01T12:34:56Z"},
        {"-metadata:s:a:0", "language=eng"},
        {"-metadata:s:a:0", "title=Main"},
        {"-disposition:a:0", "0"},
        {"-metadata:s:a:1", "language=fra"},
        {"-metadata:s:a:1", "title=Commentary"},
        {"-disposition:a:1", "default"},
        {"-metadata:s:s:0", "language=deu"},
        {"-metadata:s:s:0", "title=Deutsch"},
    };
    for (const auto& [option, value] : described) {
        options.insert(options.end(), {option, value});
    }
    return options;
}

void makeTracks(const std::string& path, const std::string& folder) {
    const std::string subtitles = folder + "/tracks.srt";
    writeFile(subtitles,
              "1\n00:00:00,200 --> 00:00:00,900\nHello there\n\n"
              "2\n00:00:01,100 --> 00:00:01,800\n<i>Second</i> line\n");
    const std::string chapters = folder + "/tracks.txt";
    writeFile(chapters,
              ";FFMETADATA1\ntitle=Holiday\n"
              "com.apple.quicktime.location.ISO6709=+48.8584+002.2945/\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=Arrival\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Beach\n"
              "[CHAPTER]\nTIMEBASE=1/1000\nSTART=3000\nEND=4000\ntitle=Credits\n");
    makeOnce(path,
             {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2", "-f", "lavfi", "-i",
              "sine=frequency=440:sample_rate=44100:duration=2", "-f", "lavfi", "-i",
              "sine=frequency=880:sample_rate=48000:duration=2", "-i", subtitles, "-f",
              "ffmetadata", "-i", chapters},
             tracksOptions());
}

}  // namespace

const TestMedia& testMedia() {
    static const TestMedia media = [] {
        // Every test runs in its own process; they share media made once per
        // build tree, under a lock because tests run side by side.
        TestMedia made;
        made.folder = VIDMILL_TEST_MEDIA_DIR;
        made.seconds = 3.0;
        std::filesystem::create_directories(made.folder);
        const int lock = open((made.folder + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        flock(lock, LOCK_EX);
        const std::string duration = "duration=3";
        const std::vector<std::string> video{"-f", "lavfi", "-i",
                                             "testsrc=size=640x480:rate=25:" + duration};
        const std::vector<std::string> audio{"-f", "lavfi", "-i",
                                             "sine=frequency=440:sample_rate=48000:" + duration};
        std::vector<std::string> both = video;
        both.insert(both.end(), audio.begin(), audio.end());
        const std::string chapters = made.folder + "/chapters.txt";
        writeFile(chapters,
                  ";FFMETADATA1\ntitle=Holiday\n"
                  "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Arrival\n"
                  "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=3000\ntitle=Beach\n");
        const std::vector<std::string> described{
            "-map_metadata", "2",
            "-map_chapters", "2",
            "-metadata",     "creation_time=2021-06-01T12:34:56Z",
            "-metadata",     "location=+48.8584+002.2945/"};
        made.audioVideo = made.folder + "/described.mp4";
        std::vector<std::string> bothDescribed = both;
        bothDescribed.insert(bothDescribed.end(), {"-f", "ffmetadata", "-i", chapters});
        std::vector<std::string> mp4 = described;
        mp4.insert(mp4.end(), {"-map", "0", "-map", "1", "-ac", "2", "-c:v", "mpeg4", "-q:v", "4",
                               "-c:a", "aac"});
        makeOnce(made.audioVideo, bothDescribed, mp4);
        made.videoOnly = made.folder + "/silent.mp4";
        makeOnce(made.videoOnly, video, {"-c:v", "mpeg4", "-q:v", "4"});
        made.audioOnly = made.folder + "/music.wav";
        makeOnce(made.audioOnly, audio, {"-ac", "2", "-ar", "44100"});
        made.stream = made.folder + "/stream.ts";
        makeOnce(made.stream, both, {"-ac", "2", "-c:v", "mpeg2video", "-q:v", "4", "-c:a", "mp2"});
        made.tracks = made.folder + "/tracks.mkv";
        makeTracks(made.tracks, made.folder);
        flock(lock, LOCK_UN);
        close(lock);
        return made;
    }();
    return media;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

long long fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

}  // namespace vidmill::test
