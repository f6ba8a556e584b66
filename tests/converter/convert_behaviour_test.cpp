// What the converter does beyond writing formats: probing, progress, the
// stop request, refused audio options and the options that change the
// picture or the sound.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/display.h>
}

#include "converter/av_handles.h"
#include "converter/convert_error.h"
#include "converter/process_guard.h"
#include "converter_harness.h"
#include "process/probe_protocol.h"
#include "process/probe_server.h"
#include "process/progress_channel.h"
#include "support/process_state.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

using namespace std::chrono_literals;

class WithChannel : public ::testing::Test {
  protected:
    void SetUp() override {
        channel_.openChannel();
        ASSERT_TRUE(channel_.isOpen());
        slot_ = channel_.allocateSlot();
        ASSERT_GE(slot_, 0);
    }

    std::vector<std::string> slotArgs() const {
        return {"-qzmap", channel_.channelName(), "-qzind", std::to_string(slot_)};
    }

    double duration() const {
        double seconds = -1;
        channel_.readDuration(slot_, seconds);
        return seconds;
    }

    ProgressChannel channel_;
    int slot_ = -1;
    TempDir folder_;
};

using Probe = WithChannel;

// Containers whose header tells the length and those that are read for it
// (MPEG-TS, FLV, program streams) give what ffprobe reads; a cover picture
// is no video, and an MP4 cut inside its header is no media.
TEST_F(Probe, WritesTheDurationIntoItsSlot) {
    const std::string source = testMedia().audioVideo;
    const std::vector<std::vector<std::string>> made{
        {"copy.mkv", "-c", "copy"},
        {"copy.avi", "-c", "copy"},
        {"copy.mov", "-c", "copy"},
        {"flash.flv", "-c:v", "flv1", "-c:a", "libmp3lame"},
        {"program.mpg", "-c:v", "mpeg2video", "-c:a", "mp2"},
        {"cover.mp3", "-map", "0:a", "-map", "0:v", "-frames:v", "1", "-c:a", "libmp3lame", "-c:v",
         "mjpeg", "-disposition:v", "attached_pic"},
    };
    std::vector<std::string> files{source, testMedia().stream, testMedia().audioOnly};
    for (const auto& recipe : made) {
        std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error",
                                      "-y",     "-i",           source};
        argv.insert(argv.end(), recipe.begin() + 1, recipe.end());
        argv.push_back(folder_.file(recipe.front()));
        ASSERT_EQ(runProgram(argv).status, 0) << recipe.front();
        files.push_back(folder_.file(recipe.front()));
    }
    for (const std::string& file : files) {
        const std::optional<MediaInfo> expected = probeWithFfprobe(file);
        ASSERT_TRUE(expected.has_value()) << file;
        std::vector<std::string> args{"-y"};
        for (const auto& arg : slotArgs()) {
            args.push_back(arg);
        }
        args.insert(args.end(), {"-i", file});
        const ProgramResult run = runConverter(args);
        EXPECT_EQ(run.status, 0) << file << ": " << run.output;
        EXPECT_NEAR(duration(), expected->duration, 0.05) << file;
    }

    writeFile(folder_.file("cut.mp4"), readFile(source).substr(0, 4096));
    std::vector<std::string> args = slotArgs();
    args.insert(args.end(), {"-i", folder_.file("cut.mp4")});
    EXPECT_EQ(runConverter(args).status, exit_code::kUnusableMedia);

    // One probe server answers for all of them as the single probes did,
    // then ends with its requests.
    files.push_back(folder_.file("cut.mp4"));
    ProbeServer server({kConverterPath, converter_word::kProbeServer, converter_word::kChannel,
                        channel_.channelName()});
    pid_t serverPid = -1;
    for (const std::string& file : files) {
        channel_.releaseSlot(slot_);
        slot_ = channel_.allocateSlot();
        int code = 1;
        const auto giveUp = std::chrono::steady_clock::now() + 60s;
        ASSERT_EQ(server.probe(slot_, file, &code, 5,
                               [&] { return std::chrono::steady_clock::now() < giveUp; }),
                  ProbeServer::Outcome::Answered)
            << file;
        if (file == files.back()) {
            EXPECT_EQ(code, exit_code::kUnusableMedia);
        } else {
            EXPECT_EQ(code, 0) << file;
            EXPECT_NEAR(duration(), probeWithFfprobe(file)->duration, 0.05) << file;
        }
        EXPECT_EQ(server.pid(), serverPid < 0 ? (serverPid = server.pid()) : serverPid);
    }
    server.end(10s);
    EXPECT_EQ(server.pid(), -1);
    EXPECT_EQ(waitpid(serverPid, nullptr, WNOHANG), -1);  // reaped
}

// A stop signal that cuts a served probe short is no answer about the file:
// the server ends without one, and the engine probes the file again.
TEST_F(Probe, AServerStoppedBySignalEndsWithoutAnAnswer) {
    const std::string fifo = folder_.file("never-written");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ProbeServer server({kConverterPath, converter_word::kProbeServer, converter_word::kChannel,
                        channel_.channelName()});
    int code = 1;
    ASSERT_EQ(server.probe(slot_, testMedia().videoOnly, &code, 5, {}),
              ProbeServer::Outcome::Answered);
    const pid_t pid = server.pid();
    int passes = 0;
    // The probe waits for a writer of the FIFO that never comes.
    EXPECT_EQ(server.probe(slot_, fifo, &code, 20,
                           [&] {
                               if (++passes == 5) {
                                   kill(pid, SIGTERM);
                               }
                               return passes < 1000;  // 20 s at most
                           }),
              ProbeServer::Outcome::Ended);
    EXPECT_LT(passes, 1000);
    EXPECT_EQ(code, exit_code::kInterrupted);
}

TEST_F(Probe, TakesAudioOnlyFilesAndWorksWithoutASlot) {
    std::vector<std::string> args = slotArgs();
    args.insert(args.end(), {"-i", testMedia().audioOnly});
    EXPECT_EQ(runConverter(args).status, 0);
    EXPECT_NEAR(duration(), testMedia().seconds, 0.1);
    EXPECT_EQ(runConverter({"-y", "-i", testMedia().videoOnly}).status, 0);
    EXPECT_EQ(runConverter(
                  {"-qzmap", channel_.channelName(), "-qzind", "-1", "-i", testMedia().videoOnly})
                  .status,
              0);
}

TEST_F(Probe, RejectsWhatIsNoMedia) {
    writeFile(folder_.file("text.avi"), "This is a letter, not a film.\n");
    writeFile(folder_.file("empty.avi"), "");
    std::string noise(200000, '\0');
    unsigned state = 12345;
    for (char& c : noise) {
        state = state * 1103515245 + 12345;
        c = static_cast<char>(state >> 16);
    }
    writeFile(folder_.file("noise.mpg"), noise);
    ASSERT_EQ(mkdir(folder_.file("folder.avi").c_str(), 0755), 0);
    for (const char* name : {"text.avi", "empty.avi", "noise.mpg", "folder.avi", "missing.avi"}) {
        std::vector<std::string> args = slotArgs();
        args.insert(args.end(), {"-i", folder_.file(name)});
        const ProgramResult run = runConverter(args);
        EXPECT_EQ(run.status, exit_code::kUnusableMedia) << name << ": " << run.output;
        EXPECT_EQ(duration(), 0.0) << name;
        EXPECT_NE(run.output.find("vidmill-convert: "), std::string::npos) << name;
    }
}

TEST_F(Probe, RefusesALivePlaylistAtOnce) {
    // Segments of a finished HLS recording, and playlists naming them that
    // say they may go on: a converter that follows them waits for more.
    const ProgramResult made = runProgram({"ffmpeg",
                                           "-hide_banner",
                                           "-loglevel",
                                           "error",
                                           "-y",
                                           "-f",
                                           "lavfi",
                                           "-i",
                                           "testsrc=size=160x120:rate=25:duration=4",
                                           "-c:v",
                                           "mpeg2video",
                                           "-f",
                                           "hls",
                                           "-hls_time",
                                           "2",
                                           "-hls_list_size",
                                           "0",
                                           "-hls_segment_filename",
                                           folder_.file("part%d.ts"),
                                           folder_.file("finished.m3u8")});
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string finished = readFile(folder_.file("finished.m3u8"));
    const auto end = finished.find("#EXT-X-ENDLIST");
    ASSERT_NE(end, std::string::npos);
    // Long target durations: a converter that waits for a reload waits a minute.
    std::string live = finished.substr(0, end);
    live.replace(live.find("#EXT-X-TARGETDURATION:2"), 23, "#EXT-X-TARGETDURATION:60");
    writeFile(folder_.file("live.avi"), live);
    writeFile(folder_.file("gone.avi"),
              "#EXTM3U\n#EXT-X-TARGETDURATION:60\n#EXT-X-MEDIA-SEQUENCE:7\n#EXTINF:60.0,\n"
              "gone7.ts\n");
    writeFile(folder_.file("master.avi"),
              "#EXTM3U\n#EXT-X-STREAM-INF:BANDWIDTH=200000\nlive.avi\n");
    writeFile(folder_.file("dynamic.avi"),
              "<?xml version=\"1.0\"?>\n<MPD xmlns=\"urn:mpeg:dash:schema:mpd:2011\" "
              "profiles=\"urn:mpeg:dash:profile:isoff-live:2011\" type=\"dynamic\" "
              "availabilityStartTime=\"2024-01-01T00:00:00Z\" minimumUpdatePeriod=\"PT60S\">\n"
              "<Period start=\"PT0S\"><AdaptationSet mimeType=\"video/mp4\"><SegmentTemplate "
              "media=\"chunk$Number$.m4s\" initialization=\"init.m4s\" duration=\"60\"/>"
              "<Representation id=\"0\" bandwidth=\"200000\"/></AdaptationSet></Period>\n"
              "</MPD>\n");
    for (const char* name : {"live.avi", "gone.avi", "master.avi", "dynamic.avi"}) {
        std::vector<std::string> argv{kConverterPath};
        for (const auto& arg : slotArgs()) {
            argv.push_back(arg);
        }
        argv.insert(argv.end(), {"-i", folder_.file(name)});
        RunningProgram probe(argv);
        const std::optional<ProgramResult> run = probe.wait(30s);
        ASSERT_TRUE(run) << name << ": the probe waits for the stream";
        EXPECT_EQ(run->status, exit_code::kUnusableMedia) << name << ": " << run->output;
        EXPECT_NE(run->output.find("vidmill-convert: the input is the playlist of a live stream"),
                  std::string::npos)
            << name << ": " << run->output;
    }
    // A conversion is refused as well, where it would wait for segments to come.
    const std::string output = folder_.file("out.avi");
    RunningProgram conversion({kConverterPath, "-y", "-i", folder_.file("live.avi"), "-vcodec",
                               "mpeg4", "-r", "25", output});
    const std::optional<ProgramResult> run = conversion.wait(30s);
    ASSERT_TRUE(run) << "the conversion waits for the stream";
    EXPECT_EQ(run->status, exit_code::kInputFailed) << run->output;
    EXPECT_FALSE(fileExists(output));
    // The finished recording is media like any other.
    const ProgramResult recording = runConverter({"-y", "-i", folder_.file("finished.m3u8")});
    EXPECT_EQ(recording.status, 0) << recording.output;
}

using Progress = WithChannel;

TEST_F(Progress, ReportsDurationPercentAndBytesWritten) {
    const std::string output = folder_.file("out.mp4");
    std::vector<std::string> args{"-y", "-i", testMedia().audioVideo};
    for (const auto& arg : slotArgs()) {
        args.push_back(arg);
    }
    args.insert(args.end(), {"-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "320x240", "-r",
                             "25000/1001", "-b", "512kb", "-vol", "256", output});
    ASSERT_EQ(runConverter(args).status, 0);
    double percent = -1;
    std::int64_t kilobytes = -1;
    ASSERT_EQ(channel_.readProgress(slot_, percent, &kilobytes), 1);
    EXPECT_GT(percent, 95.0);
    EXPECT_NEAR(duration(), testMedia().seconds, 0.1);
    // The amount counts the bytes in the file, which the trailer makes a little longer.
    EXPECT_GT(kilobytes, 0);
    EXPECT_LE(kilobytes, fileSize(output) / 1024);
    EXPECT_GE(kilobytes, fileSize(output) / 1024 * 9 / 10);
}

// Feeds an MPEG-TS file into a FIFO: the first part at once, the rest never,
// so that a converter reading it is busy but not finished when it is stopped.
class StuckFeed {
  public:
    StuckFeed(const std::string& fifo, std::size_t bytes) {
        writer_ = std::thread([this, fifo, bytes] {
            const std::string data = readFile(testMedia().stream).substr(0, bytes);
            const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd < 0) {
                return;
            }
            std::size_t done = 0;
            while (done < data.size() && !release_) {
                const ssize_t count = ::write(fd, data.data() + done, data.size() - done);
                if (count <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(count);
            }
            fed_ = true;
            while (!release_) {
                std::this_thread::sleep_for(10ms);
            }
            ::close(fd);
        });
    }
    ~StuckFeed() {
        release_ = true;
        writer_.join();
    }
    bool fed() const { return fed_; }

  private:
    std::thread writer_;
    std::atomic<bool> release_{false};
    std::atomic<bool> fed_{false};
};

class Stop : public WithChannel {
  protected:
    void SetUp() override {
        WithChannel::SetUp();
        fifo_ = folder_.file("input.ts");
        ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
        output_ = folder_.file("out.avi");
    }

    std::vector<std::string> convertArgs() const {
        std::vector<std::string> argv{kConverterPath, "-y", "-i", fifo_};
        for (const auto& arg : slotArgs()) {
            argv.push_back(arg);
        }
        argv.insert(argv.end(), {"-vcodec", "mpeg4", "-acodec", "libmp3lame", "-s", "320x240", "-b",
                                 "800kb", "-vol", "256", output_});
        return argv;
    }

    // Waits until the converter has written part of the output.
    std::int64_t outputKilobytes() const {
        double percent = 0;
        std::int64_t kilobytes = 0;
        channel_.readProgress(slot_, percent, &kilobytes);
        return kilobytes;
    }

    bool waitForOutput() const {
        for (int i = 0; i < 1000; ++i) {
            double percent = 0;
            std::int64_t kilobytes = 0;
            channel_.readProgress(slot_, percent, &kilobytes);
            if (kilobytes > 0) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    void expectShorterPlayableOutput() const {
        const std::optional<MediaInfo> info = probeWithFfprobe(output_);
        ASSERT_TRUE(info) << "the stopped output is not readable";
        ASSERT_NE(info->stream("video"), nullptr);
        EXPECT_GT(info->duration, 0.0);
        EXPECT_LT(info->duration, testMedia().seconds);
    }

    std::string fifo_;
    std::string output_;
};

TEST_F(Stop, TheStopByteClosesTheOutputProperly) {
    StuckFeed feed(fifo_, fileSize(testMedia().stream) / 2);
    RunningProgram converter(convertArgs());
    ASSERT_TRUE(waitForOutput());
    channel_.requestStop(slot_);
    const auto result = converter.wait(3s);
    ASSERT_TRUE(result) << "the converter did not stop";
    EXPECT_EQ(result->status, 0) << result->output;
    expectShorterPlayableOutput();
}

TEST_F(Stop, SigtermStopsButLeavesNoUnfinishedFile) {
    StuckFeed feed(fifo_, fileSize(testMedia().stream) / 2);
    RunningProgram converter(convertArgs());
    ASSERT_TRUE(waitForOutput());
    kill(converter.pid(), SIGTERM);
    const auto result = converter.wait(3s);
    ASSERT_TRUE(result) << "the converter did not stop";
    // Nobody asked for a shorter file: it must not pass for a finished one.
    EXPECT_EQ(result->status, 8) << result->output;
    EXPECT_FALSE(fileExists(output_));
}

TEST_F(Stop, IsSeenWhileTheInputDeliversNothing) {
    // No writer ever opens the FIFO: the converter waits in the opening of the input.
    RunningProgram converter(convertArgs());
    ASSERT_TRUE(waitUntil(
        [&] {
            return holdsOpen(converter.pid(), fifo_) &&
                   threadState(converter.pid(), converter.pid()) == 'S';
        },
        60s));
    channel_.requestStop(slot_);
    const auto result = converter.wait(3s);
    ASSERT_TRUE(result) << "the converter did not stop";
    EXPECT_EQ(result->status, 0) << result->output;
    EXPECT_FALSE(fileExists(output_));
}

TEST_F(Stop, TheConverterEndsWhenItsParentDies) {
    // We adopt the orphaned converter, so that we can wait for it.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::vector<std::string> argv = convertArgs();
    std::vector<char*> pointers;
    for (const auto& arg : argv) {
        pointers.push_back(const_cast<char*>(arg.c_str()));
    }
    pointers.push_back(nullptr);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t parent = fork();
    if (parent == 0) {
        const pid_t child = fork();
        if (child == 0) {
            const int null = ::open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            execv(pointers[0], pointers.data());
            _exit(127);
        }
        (void)!write(fds[1], &child, sizeof child);
        for (;;) {
            pause();
        }
    }
    close(fds[1]);
    pid_t converter = -1;
    ASSERT_EQ(read(fds[0], &converter, sizeof converter), static_cast<ssize_t>(sizeof converter));
    close(fds[0]);
    // Once the converter reads the FIFO it is set up; we hold the write end
    // open and silent, so only its parent's death can end it early.
    int writer = -1;
    for (int i = 0; i < 1000 && writer < 0; ++i) {
        writer = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        std::this_thread::sleep_for(10ms);
    }
    kill(parent, SIGKILL);
    waitpid(parent, nullptr, 0);
    const auto result = waitForAdopted(converter, 5s);
    if (!result) {
        kill(converter, SIGKILL);
        waitForAdopted(converter, 1s);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    if (writer >= 0) {
        ::close(writer);
    }
    ASSERT_GE(writer, 0) << "the converter never opened its input";
    ASSERT_TRUE(result) << "the converter outlived its parent";
    EXPECT_EQ(result->signal, 0);
    EXPECT_NE(result->status, 0);
    EXPECT_FALSE(fileExists(output_));
}

TEST_F(Stop, IsHonouredWhileOnePacketMakesThousandsOfFrames) {
    // A slide a minute, as long as a picture without sound may last: at 60
    // frames a second the frame-rate conversion repeats each 3600 times, all
    // out of one packet, at a size that takes seconds to encode.
    const std::string slideshow = folder_.file("slides.mkv");
    const ProgramResult made =
        runProgram({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=size=320x240:rate=1/60:duration=36000", "-c:v", "mpeg4", "-fps_mode",
                    "passthrough", slideshow});
    ASSERT_EQ(made.status, 0) << made.output;
    enum class How { kStopByte, kSigterm };
    for (How how : {How::kStopByte, How::kSigterm}) {
        SCOPED_TRACE(how == How::kStopByte ? "stop byte" : "SIGTERM");
        channel_.releaseSlot(slot_);
        slot_ = channel_.allocateSlot();
        std::vector<std::string> argv{kConverterPath, "-y", "-i", slideshow};
        for (const auto& arg : slotArgs()) {
            argv.push_back(arg);
        }
        argv.insert(argv.end(), {"-f", "flv", "-vcodec", "flv", "-s", "1280x720", "-r", "60", "-b",
                                 "200kb", output_});
        RunningProgram converter(argv);
        ASSERT_TRUE(waitForOutput());
        // Well into the copies: the output has grown since it began.
        const std::int64_t first = outputKilobytes();
        ASSERT_TRUE(waitUntil([&] { return outputKilobytes() > first; }, 60s));
        if (how == How::kStopByte) {
            channel_.requestStop(slot_);
        } else {
            kill(converter.pid(), SIGTERM);
        }
        const auto result = converter.wait(30s);
        ASSERT_TRUE(result) << "the converter did not stop";
        if (how == How::kStopByte) {
            EXPECT_EQ(result->status, 0) << result->output;
            const std::optional<MediaInfo> info = probeWithFfprobe(output_);
            ASSERT_TRUE(info) << "the stopped output is not readable";
            EXPECT_GT(info->duration, 0.0);
            EXPECT_LT(info->duration, 600.0);  // far from the slideshow's ten hours
        } else {
            EXPECT_EQ(result->status, exit_code::kInterrupted) << result->output;
            EXPECT_FALSE(fileExists(output_));
        }
    }
}

TEST_F(Stop, ASignalEndsEvenAProcessThatIsStuck) {
    // A library call that never returns, played by pause(): the deadline
    // alone must end the process and take its unfinished output along, even
    // when its last words go to a full pipe that nobody reads.
    int full[2];
    ASSERT_EQ(pipe2(full, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (::write(full[1], block.data(), block.size()) > 0) {
    }
    fcntl(full[1], F_SETFL, 0);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const auto started = std::chrono::steady_clock::now();
    struct Stuck {
        std::string output;
        pid_t pid = -1;
        int status = 0;
        bool ended = false;
    };
    std::vector<Stuck> stuck;
    for (int errorFd : {null, full[1]}) {
        Stuck one{folder_.file("stuck" + std::to_string(errorFd) + ".avi")};
        writeFile(one.output, "half a file");
        one.pid = fork();
        ASSERT_GE(one.pid, 0);
        if (one.pid == 0) {
            dup2(errorFd, STDERR_FILENO);
            installProcessGuards();
            armOutputRemoval(one.output.c_str());
            raise(SIGTERM);
            for (;;) {
                pause();
            }
        }
        stuck.push_back(one);
    }
    const auto limit = kSignalDeadline + 3s;
    for (Stuck& one : stuck) {
        while (!(one.ended = waitpid(one.pid, &one.status, WNOHANG) == one.pid) &&
               std::chrono::steady_clock::now() - started < limit) {
            std::this_thread::sleep_for(10ms);
        }
        if (!one.ended) {
            kill(one.pid, SIGKILL);
            waitpid(one.pid, nullptr, 0);
        }
    }
    ::close(full[0]);
    ::close(full[1]);
    ::close(null);
    EXPECT_GE(std::chrono::steady_clock::now() - started, kSignalDeadline - 100ms);
    for (const Stuck& one : stuck) {
        ASSERT_TRUE(one.ended) << one.output << ": the stuck process outlived its deadline";
        ASSERT_TRUE(WIFEXITED(one.status)) << one.output;
        EXPECT_EQ(static_cast<signed char>(WEXITSTATUS(one.status)), exit_code::kInterrupted);
        EXPECT_FALSE(fileExists(one.output));
    }
}

class Convert : public WithChannel {
  protected:
    ProgramResult convert(const std::string& input, std::vector<std::string> options,
                          const std::string& output) {
        std::vector<std::string> args{"-y", "-i", input};
        for (const auto& arg : slotArgs()) {
            args.push_back(arg);
        }
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(output);
        return runConverter(args);
    }
};

TEST_F(Convert, AnInputShorterThanItsHeaderConvertsWithANote) {
    // A Matroska file cut in the middle keeps a header that says 12 seconds.
    const std::string whole = folder_.file("whole.mkv");
    ASSERT_EQ(runProgram({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                          "testsrc2=size=160x120:rate=25:duration=12", "-c:v", "mpeg4", "-q:v", "5",
                          whole})
                  .status,
              0);
    const std::string cut = folder_.file("cut.mkv");
    std::filesystem::copy_file(whole, cut);
    std::filesystem::resize_file(cut, std::filesystem::file_size(whole) / 2);
    const std::string output = folder_.file("cut.mp4");
    const ProgramResult run = convert(cut, {"-vcodec", "mpeg4", "-f", "mp4"}, output);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("vidmill-convert: note: the input ends at 0:0"), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(" of the 0:12 its header declares"), std::string::npos) << run.output;
    // The whole file says nothing of the kind.
    const ProgramResult full = convert(whole, {"-vcodec", "mpeg4", "-f", "mp4"}, output);
    ASSERT_EQ(full.status, 0) << full.output;
    EXPECT_EQ(full.output.find("note:"), std::string::npos) << full.output;
}

TEST_F(Convert, RefusedAudioOptionsAskForTheRetryWithoutThem) {
    struct Case {
        std::string extension;
        std::vector<std::string> codecs;
        std::vector<std::string> audio;  // what the encoder or container cannot make
    };
    const std::vector<Case> cases = {
        {"ac3", {"-vn", "-acodec", "ac3"}, {"-ab", "128.0kb", "-ac", "2", "-ar", "8000"}},
        {"mp2", {"-vn", "-acodec", "mp2"}, {"-ab", "16.0kb", "-ac", "2", "-ar", "44100"}},
        {"wma", {"-vn", "-acodec", "wmav1"}, {"-ab", "16.0kb", "-ac", "2", "-ar", "44100"}},
        {"flv",
         {"-vcodec", "flv", "-acodec", "libmp3lame", "-s", "320x240"},
         {"-ab", "32.0kb", "-ac", "1", "-ar", "8000"}},
    };
    for (const Case& c : cases) {
        const std::string output = folder_.file("refused." + c.extension);
        std::vector<std::string> first = c.codecs;
        first.insert(first.end(), c.audio.begin(), c.audio.end());
        first.insert(first.end(), {"-vol", "256"});
        const ProgramResult refused = convert(testMedia().audioVideo, first, output);
        EXPECT_EQ(refused.status, exit_code::kAudioRefused)
            << c.extension << ": " << refused.output;
        EXPECT_FALSE(fileExists(output)) << c.extension;

        std::vector<std::string> retry = c.codecs;
        retry.insert(retry.end(), {"-vol", "256"});
        const ProgramResult done = convert(testMedia().audioVideo, retry, output);
        ASSERT_EQ(done.status, 0) << c.extension << ": " << done.output;
        const auto info = probeWithFfprobe(output);
        ASSERT_TRUE(info && info->stream("audio")) << c.extension;
        EXPECT_GT(info->stream("audio")->sampleRate, 8000) << c.extension;
    }
}

TEST_F(Convert, TheRetryPicksARateTheContainerTakes) {
    // The WAV source is 44.1 kHz; FLV with MP3 takes it, with 8 kHz requested it refuses.
    const std::string output = folder_.file("music.flv");
    ASSERT_EQ(
        convert(testMedia().audioOnly, {"-acodec", "libmp3lame", "-ar", "8000"}, output).status,
        exit_code::kAudioRefused);
    ASSERT_EQ(convert(testMedia().audioOnly, {"-acodec", "libmp3lame"}, output).status, 0);
    const auto info = probeWithFfprobe(output);
    ASSERT_TRUE(info && info->stream("audio"));
    EXPECT_EQ(info->stream("audio")->sampleRate, 44100);
}

TEST_F(Convert, VolumeScalesTheSound) {
    std::vector<double> levels;
    for (const char* volume : {"256", "128", "0"}) {
        const std::string output = folder_.file(std::string("vol") + volume + ".wav");
        ASSERT_EQ(
            convert(testMedia().audioOnly, {"-acodec", "pcm_s16le", "-vol", volume}, output).status,
            0);
        const auto level = measureAudioLevel(output);
        ASSERT_TRUE(level);
        levels.push_back(level->peak);
    }
    EXPECT_NEAR(levels[0] - levels[1], 6.0, 0.5);  // half the amplitude
    EXPECT_LT(levels[2], -80.0);                   // silence
}

TEST_F(Convert, AspectSetsTheDisplayShape) {
    for (const char* aspect : {"16:9", "4:3"}) {
        const std::string output = folder_.file("aspect.mp4");
        ASSERT_EQ(
            convert(testMedia().videoOnly,
                    {"-vcodec", "mpeg4", "-b", "400kb", "-vol", "256", "-aspect", aspect}, output)
                .status,
            0);
        const auto info = probeWithFfprobe(output);
        ASSERT_TRUE(info && info->stream("video"));
        EXPECT_EQ(info->stream("video")->displayAspect, aspect);
        EXPECT_EQ(info->stream("video")->width, 640);
    }
}

TEST_F(Convert, SameQualityKeepsFarMoreDetailThanALowBitrate) {
    for (const char* codec : {"mpeg4", "libx264"}) {
        const std::string fine = folder_.file(std::string("sameq-") + codec + ".mkv");
        const std::string coarse = folder_.file(std::string("low-") + codec + ".mkv");
        ASSERT_EQ(convert(testMedia().videoOnly, {"-vcodec", codec, "-sameq", "-vol", "256"}, fine)
                      .status,
                  0);
        ASSERT_EQ(
            convert(testMedia().videoOnly, {"-vcodec", codec, "-b", "90kb", "-vol", "256"}, coarse)
                .status,
            0);
        const auto finePsnr = measurePsnr(fine, testMedia().videoOnly);
        const auto coarsePsnr = measurePsnr(coarse, testMedia().videoOnly);
        ASSERT_TRUE(finePsnr && coarsePsnr) << codec;
        EXPECT_GT(*finePsnr, 38.0) << codec;
        EXPECT_GT(*finePsnr, *coarsePsnr + 5.0) << codec;
    }
}

TEST_F(Convert, TakesWhateverStreamsTheInputHas) {
    // Audio only into a video format: an audio-only file.
    std::string output = folder_.file("music.mp4");
    ASSERT_EQ(
        convert(testMedia().audioOnly,
                {"-vcodec", "mpeg4", "-acodec", "libfaac", "-s", "368x208", "-vol", "256"}, output)
            .status,
        0);
    auto info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stream("video"), nullptr);
    EXPECT_NE(info->stream("audio"), nullptr);

    // Video without sound: a silent video.
    output = folder_.file("silent.avi");
    ASSERT_EQ(convert(testMedia().videoOnly, {"-vcodec", "mpeg4", "-acodec", "libmp3lame"}, output)
                  .status,
              0);
    info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_NE(info->stream("video"), nullptr);
    EXPECT_EQ(info->stream("audio"), nullptr);

    // -an and -vn drop a stream the input has.
    output = folder_.file("dropped.avi");
    ASSERT_EQ(convert(testMedia().audioVideo, {"-an", "-vcodec", "mpeg4"}, output).status, 0);
    info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stream("audio"), nullptr);
    ASSERT_EQ(convert(testMedia().audioVideo, {"-vn", "-acodec", "libmp3lame"}, output).status, 0);
    info = probeWithFfprobe(output);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->stream("video"), nullptr);

    // Nothing left to convert is a failure that leaves no file.
    output = folder_.file("nothing.mp3");
    const ProgramResult run =
        convert(testMedia().videoOnly, {"-vn", "-acodec", "libmp3lame"}, output);
    EXPECT_EQ(run.status, exit_code::kNothingToConvert) << run.output;
    EXPECT_NE(run.output.find("the input has no sound"), std::string::npos) << run.output;
    EXPECT_FALSE(fileExists(output));
}

TEST_F(Convert, SettingsTheEncoderCannotMakeFailCleanly) {
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string reason;
        int code = 0;  // 0: any failure but the one that asks for a retry
    };
    const std::vector<Case> cases = {
        {"bad.3gp", {"-vcodec", "h263", "-s", "320x240"}, "320x240"},
        {"amr.3gp",
         {"-vcodec", "mpeg4", "-acodec", "libamr_nb", "-ab", "12.2kb", "-ac", "1", "-ar", "8000"},
         "libopencore_amrnb"},
        {"none.mp4", {"-vcodec", "nosuchcodec"}, "nosuchcodec"},
        {"crf.avi",
         {"-vcodec", "mpeg4", "-crf", "20"},
         "mpeg4 has no constant-quality mode",
         exit_code::kEncoderFailed},
        {"none.xyz", {"-vcodec", "mpeg4"}, "none.xyz"},
        {"none.avi", {"-f", "nosuchformat"}, "nosuchformat"},
    };
    for (const Case& c : cases) {
        const std::string output = folder_.file(c.name);
        const ProgramResult run = convert(testMedia().audioVideo, c.options, output);
        EXPECT_NE(run.status, 0) << c.name;
        EXPECT_NE(run.status, exit_code::kAudioRefused) << c.name;
        if (c.code != 0) {
            EXPECT_EQ(run.status, c.code) << c.name;
        }
        EXPECT_NE(run.output.find(c.reason), std::string::npos) << c.name << ": " << run.output;
        EXPECT_FALSE(fileExists(output)) << c.name;
    }
}

TEST_F(Convert, ABadCommandLineTouchesNoFile) {
    const std::string output = folder_.file("out.avi");
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{"-vf", "scale=2:2"}, {"-b", "fast"}, {"-s"}}) {
        const ProgramResult run = convert(testMedia().audioVideo, options, output);
        EXPECT_EQ(run.status, exit_code::kUsage) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
        EXPECT_FALSE(fileExists(output));
    }
}

}  // namespace
}  // namespace vidmill::test

namespace vidmill::test {
namespace {

// Copies a file's packets into an MP4 whose video stream carries a display
// matrix turning it by `degrees` (counter-clockwise, as libavutil counts), the
// way a phone stores an upright video. True when written.
bool remuxTurned(const std::string& from, const std::string& to, double degrees) {
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, from.c_str(), nullptr, nullptr) < 0) {
        return false;
    }
    InputFormatPtr in(input);
    AVFormatContext* output = nullptr;
    if (avformat_find_stream_info(input, nullptr) < 0 ||
        avformat_alloc_output_context2(&output, nullptr, "mp4", to.c_str()) < 0) {
        return false;
    }
    OutputFormatPtr out(output);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(output, nullptr);
        avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar);
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[i]->time_base;
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto* matrix = reinterpret_cast<std::int32_t*>(av_stream_new_side_data(
                stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
            av_display_rotation_set(matrix, degrees);
        }
    }
    if (avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE) < 0 ||
        avformat_write_header(output, nullptr) < 0) {
        return false;
    }
    PacketPtr packet = makePacket();
    while (av_read_frame(input, packet.get()) >= 0) {
        const AVStream* source = input->streams[packet->stream_index];
        av_packet_rescale_ts(packet.get(), source->time_base,
                             output->streams[packet->stream_index]->time_base);
        av_interleaved_write_frame(output, packet.get());
    }
    const bool written = av_write_trailer(output) == 0;
    avio_closep(&output->pb);
    return written;
}

// Which quarter of the first picture is bright: "top-left", "top-right", ...
std::string brightCorner(const std::string& path, const TempDir& folder) {
    const std::string raw = folder.file("corner.gray");
    runProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", path, "-frames:v", "1", "-vf",
                "scale=2:2:flags=area", "-f", "rawvideo", "-pix_fmt", "gray", raw});
    const std::string pixels = readFile(raw);
    if (pixels.size() != 4) {
        return "unreadable";
    }
    const char* names[] = {"top-left", "top-right", "bottom-left", "bottom-right"};
    int brightest = 0;
    for (int i = 1; i < 4; ++i) {
        if (static_cast<unsigned char>(pixels[i]) > static_cast<unsigned char>(pixels[brightest])) {
            brightest = i;
        }
    }
    return names[brightest];
}

TEST(Rotation, AnUprightPhoneVideoComesOutUpright) {
    TempDir folder;
    const std::string lying = folder.file("lying.mp4");
    // A landscape picture with a white mark in its top-left corner.
    ASSERT_EQ(runProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                          "color=black:size=320x240:rate=25:duration=1,drawbox=x=0:y=0:w=120:"
                          "h=100:color=white:t=fill",
                          "-c:v", "libx264", "-pix_fmt", "yuv420p", lying})
                  .status,
              0);
    struct Case {
        double degrees;  // as stored
        std::vector<std::string> size;
        int width;
        int height;
        const char* corner;
    };
    const Case cases[] = {
        // A quarter turn either way: the source's own size, turned.
        {-90, {}, 240, 320, "bottom-left"},
        {90, {}, 240, 320, "top-right"},
        {180, {}, 320, 240, "bottom-right"},
        // A format of fixed size keeps it; the picture is still turned first.
        {-90, {"-s", "368x208"}, 368, 208, "bottom-left"},
    };
    for (const Case& c : cases) {
        const std::string turned = folder.file("turned.mp4");
        ASSERT_TRUE(remuxTurned(lying, turned, c.degrees));
        const std::string output = folder.file("upright.mp4");
        std::vector<std::string> args = {"-y", "-i", turned, "-vcodec", "libx264", "-an"};
        args.insert(args.end(), c.size.begin(), c.size.end());
        args.push_back(output);
        ASSERT_EQ(runConverter(args).status, 0) << c.degrees;
        const std::optional<MediaInfo> info = probeWithFfprobe(output);
        ASSERT_TRUE(info && info->stream("video")) << c.degrees;
        EXPECT_EQ(info->stream("video")->width, c.width) << c.degrees;
        EXPECT_EQ(info->stream("video")->height, c.height) << c.degrees;
        // No turn is left for a player to apply twice, and the picture
        // stands as the ffmpeg tool stands it.
        const std::string reference = folder.file("reference.mp4");
        ASSERT_EQ(
            runProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", turned, "-an", reference})
                .status,
            0);
        EXPECT_EQ(brightCorner(reference, folder), c.corner) << c.degrees;
        EXPECT_EQ(brightCorner(output, folder), c.corner) << c.degrees;
    }
}

}  // namespace
}  // namespace vidmill::test
