// Inputs and outputs that are not what a conversion hopes for: damaged
// media, odd file names and outputs that cannot be written. Never a crash,
// never a hang, never a file left behind as if it were good.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "converter/av_handles.h"
#include "converter/convert_error.h"
#include "converter/output/output_file.h"
#include "converter_harness.h"
#include "support/temp_dir.h"

namespace vidmill::test {
namespace {

const std::vector<std::string> kMpeg4Avi{"-vcodec", "mpeg4", "-acodec", "libmp3lame", "-s",
                                         "320x240", "-b",    "500kb",   "-vol",       "256"};

// Flash video as the engine asks for it, at a high rate so that a gap in
// the timestamps would come out as a flood of copies.
const std::vector<std::string> kFlashVideo{"-f",         "flv", "-vcodec", "flv", "-acodec",
                                           "libmp3lame", "-ar", "44100",   "-s",  "320x240",
                                           "-r",         "60",  "-vol",    "256"};

// The converter's last line, before the report that LeakSanitizer adds
// under ASan when it passed over libx265's own leaks.
std::string lastLine(std::string text) {
    if (const std::size_t report =
            text.find("-----------------------------------------------------\n"
                      "Suppressions used:");
        report != std::string::npos) {
        text.resize(report);
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text.substr(text.rfind('\n') + 1);
}

// Adds `milliseconds` to the timestamps of the FLV tags that begin in
// [from, to) of the file, as a damaged file's might be.
std::string shiftFlvTags(std::string data, std::size_t from, std::size_t to,
                         std::uint32_t milliseconds) {
    std::size_t at = 9 + 4;  // the file header, then the first tag's back-pointer
    while (at + 11 <= data.size()) {
        auto byte = [&data, at](std::size_t i) {
            return static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i]));
        };
        const std::size_t size = byte(1) << 16 | byte(2) << 8 | byte(3);
        const bool media = byte(0) == 8 || byte(0) == 9;
        if (media && at >= from && at < to) {
            const std::uint32_t stamp =
                (byte(7) << 24 | byte(4) << 16 | byte(5) << 8 | byte(6)) + milliseconds;
            data[at + 4] = static_cast<char>(stamp >> 16);
            data[at + 5] = static_cast<char>(stamp >> 8);
            data[at + 6] = static_cast<char>(stamp);
            data[at + 7] = static_cast<char>(stamp >> 24);
        }
        at += 11 + size + 4;
    }
    return data;
}

// Sets the frame rate (rate / scale) in the video stream header of an AVI
// file, the 'strh' chunk of type 'vids', found by walking the RIFF chunks.
std::string setAviVideoRate(std::string data, std::uint32_t rate, std::uint32_t scale) {
    auto word = [&data](std::size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = value << 8 | static_cast<unsigned char>(data[at + static_cast<std::size_t>(i)]);
        }
        return value;
    };
    auto setWord = [&data](std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) {
            data[at + i] = static_cast<char>(value >> (8 * i));
        }
    };
    std::size_t at = 12;  // past "RIFF", its size and "AVI "
    while (at + 8 <= data.size()) {
        const std::string id = data.substr(at, 4);
        const std::uint32_t size = word(at + 4);
        if (id == "LIST") {
            at += 12;  // into the list: its chunks follow one another
            continue;
        }
        if (id == "strh" && data.compare(at + 8, 4, "vids") == 0) {
            setWord(at + 8 + 20, scale);  // dwScale, then dwRate
            setWord(at + 8 + 24, rate);
            return data;
        }
        at += 8 + size + (size & 1);
    }
    ADD_FAILURE() << "no video stream header in the AVI file";
    return data;
}

// A clip from the ffmpeg tool: `seconds` of test picture and tone.
void makeClip(const std::string& path, const std::string& picture, int seconds,
              const std::vector<std::string>& options) {
    const std::string length = ":duration=" + std::to_string(seconds);
    std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    for (const std::string& source :
         {picture, std::string("sine=frequency=440:sample_rate=44100")}) {
        argv.insert(argv.end(), {"-f", "lavfi", "-i", source + length});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path);
    const ProgramResult made = runProgram(argv);
    ASSERT_EQ(made.status, 0) << made.output;
}

class BadInput : public ::testing::Test {
  protected:
    ProgramResult convert(const std::string& input, const std::string& output) {
        std::vector<std::string> args{"-y", "-i", input};
        args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
        args.push_back(output);
        return runConverter(args);
    }

    // Either a clean failure that leaves nothing, or a file ffprobe can read.
    void expectCleanOutcome(const ProgramResult& run, const std::string& output,
                            const std::string& what) {
        EXPECT_EQ(run.signal, 0) << what;
        if (run.status == 0) {
            EXPECT_TRUE(probeWithFfprobe(output).has_value()) << what;
        } else {
            EXPECT_FALSE(fileExists(output)) << what << ": " << run.output;
            // The engine shows the last line as the reason.
            EXPECT_EQ(lastLine(run.output).rfind("vidmill-convert: ", 0), 0u) << what;
        }
    }

    TempDir folder_;
};

TEST_F(BadInput, ConversionOfWhatIsNoMediaFailsAndLeavesNothing) {
    writeFile(folder_.file("text.avi"), "Not a film at all.\n");
    writeFile(folder_.file("empty.avi"), "");
    const std::string source = readFile(testMedia().audioVideo);
    // MP4 keeps its index at the end: cut in half, nothing can be found.
    writeFile(folder_.file("truncated.mp4"), source.substr(0, source.size() / 2));
    for (const char* name : {"text.avi", "empty.avi", "truncated.mp4", "missing.avi"}) {
        const std::string output = folder_.file(std::string("out-") + name + ".avi");
        const ProgramResult run = convert(folder_.file(name), output);
        EXPECT_EQ(run.status, exit_code::kInputFailed) << name << ": " << run.output;
        EXPECT_FALSE(fileExists(output)) << name;
    }
    const ProgramResult run = convert(folder_.path(), folder_.file("out-folder.avi"));
    EXPECT_EQ(run.status, exit_code::kInputFailed) << run.output;
}

// With the output handed over as an open file, a run that decoded nothing
// removes the name only while it still leads to that file: another file put
// under the name meanwhile stays.
TEST_F(BadInput, ARunThatMadeNothingLeavesAFileThatTookTheOutputsName) {
    const std::string input = folder_.file("noise.mka");
    const ProgramResult made =
        runProgram({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "sine=duration=2", "-c:a", "libmp3lame", "-bsf:a", "noise=amount=1", input});
    ASSERT_EQ(made.status, 0) << made.output;
    const std::string output = folder_.file("out.mp3");
    const int fd = ::open(output.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);  // the converter's
    ASSERT_GE(fd, 0);
    const std::string other = folder_.file("other");
    writeFile(other, "someone else's");
    ASSERT_EQ(std::rename(other.c_str(), output.c_str()), 0);
    const ProgramResult run = runConverter(
        {"-y", "-i", input, "-acodec", "libmp3lame", "-outfd", std::to_string(fd), output});
    ::close(fd);
    EXPECT_EQ(run.status, exit_code::kInputFailed) << run.output;
    EXPECT_NE(run.output.find("nothing in the input could be decoded"), std::string::npos)
        << run.output;
    EXPECT_EQ(readFile(output), "someone else's");
}

// Handed the input open, the converter reads that file, whatever the name
// given with -i leads to by then.
TEST_F(BadInput, AnInputHandedOverIsReadWhateverItsNameLeadsTo) {
    const std::string decoy = folder_.file("clip.mp4");
    writeFile(decoy, "not the file that was found");
    const int fd = ::open(testMedia().audioVideo.c_str(), O_RDONLY);  // handed to the child
    ASSERT_GE(fd, 0);
    const std::string output = folder_.file("out.avi");
    std::vector<std::string> args{"-y", "-i", decoy, "-infd", std::to_string(fd)};
    args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    args.push_back(output);
    const ProgramResult run = runConverter(args);
    ::close(fd);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(matchesMedia(
        output, {"avi", "mpeg4", 320, 240, 25, "", "mp3", 48000, 2, testMedia().seconds}));
}

TEST_F(BadInput, DamagedButDecodableMediaConvertsWhatItCan) {
    for (const std::string& original : {testMedia().audioVideo, testMedia().stream}) {
        std::string data = readFile(original);
        // Scribble over a stretch in the middle.
        unsigned state = 99;
        for (std::size_t i = data.size() * 2 / 5; i < data.size() * 3 / 5; i += 7) {
            state = state * 1103515245 + 12345;
            data[i] = static_cast<char>(state >> 16);
        }
        const std::string damaged = folder_.file("damaged" + original.substr(original.rfind('.')));
        writeFile(damaged, data);

        EXPECT_EQ(runConverter({"-y", "-i", damaged}).status, 0) << original;
        const std::string output = folder_.file("damaged-out.avi");
        const ProgramResult run = convert(damaged, output);
        expectCleanOutcome(run, output, original);
        EXPECT_EQ(run.status, 0) << run.output;
    }
}

TEST_F(BadInput, OddNamesAreJustFiles) {
    // Relative names, as libav would read "clip:1.mp4" as protocol "clip".
    const std::vector<std::string> names = {"clip:1.mp4",       "-lead.mp4",  "a b 'q\" c.mp4",
                                            "\xff\xfe\x80.mp4", "file:x.mp4", "http:x.mp4"};
    RunOptions inFolder;
    inFolder.workingDirectory = folder_.path();
    for (const std::string& name : names) {
        writeFile(folder_.file(name), readFile(testMedia().audioVideo));
        EXPECT_EQ(runConverter({"-y", "-i", name}, inFolder).status, 0) << name;
        // The output gets an odd name of its own, after "--" as it starts
        // with a dash.
        const std::string output = "-out " + name + ".avi";
        std::vector<std::string> args{"-y", "-i", name};
        args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
        args.push_back("--");
        args.push_back(output);
        const ProgramResult run = runConverter(args, inFolder);
        ASSERT_EQ(run.status, 0) << name << ": " << run.output;
        EXPECT_TRUE(probeWithFfprobe(folder_.file(output)).has_value()) << name;
    }
}

TEST_F(BadInput, AnOutputThatCannotBeWrittenIsAFailure) {
    const ProgramResult missingFolder =
        convert(testMedia().audioVideo, folder_.file("no/such/folder/out.avi"));
    EXPECT_EQ(missingFolder.status, exit_code::kOutputFailed) << missingFolder.output;

    ASSERT_EQ(mkdir(folder_.file("taken.avi").c_str(), 0755), 0);
    const ProgramResult aFolder = convert(testMedia().audioVideo, folder_.file("taken.avi"));
    EXPECT_EQ(aFolder.status, exit_code::kOutputFailed) << aFolder.output;

    if (geteuid() != 0) {  // root writes anywhere
        const std::string locked = folder_.file("locked");
        ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
        const ProgramResult run = convert(testMedia().audioVideo, locked + "/out.avi");
        EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    }
}

TEST_F(BadInput, AFullDiskFailsAndRemovesThePartialFile) {
    const std::string output = folder_.file("big.avi");
    std::vector<std::string> args{"-y", "-i", testMedia().audioVideo};
    args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    args.push_back(output);
    RunOptions limits;
    limits.fileSizeLimit = 20000;  // far less than the output needs
    const ProgramResult run = runConverter(args, limits);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    EXPECT_NE(lastLine(run.output).find("File too large"), std::string::npos) << run.output;
    EXPECT_FALSE(fileExists(output));
}

TEST_F(BadInput, ATimestampJumpDoesNotStretchTheOutput) {
    const std::string picture = "testsrc=size=320x240:rate=25";
    const std::string flv = folder_.file("clip.flv");
    makeClip(flv, picture, 3, {"-c:v", "flv1", "-c:a", "libmp3lame"});
    const std::string clip = readFile(flv);
    // FLV's timestamps never restart: a jump is damage, ahead or back.
    writeFile(folder_.file("ahead.flv"), shiftFlvTags(clip, clip.size() / 2, clip.size(), 1000000));
    writeFile(folder_.file("back.flv"), shiftFlvTags(clip, 0, clip.size() / 2, 1000000));
    // Without a duration in its header the container reads one from the last
    // (damaged) timestamp: 23 days.
    const std::string bare = folder_.file("bare.flv");
    makeClip(bare, picture, 3,
             {"-c:v", "flv1", "-c:a", "libmp3lame", "-flvflags", "no_duration_filesize"});
    const std::string bareClip = readFile(bare);
    writeFile(folder_.file("days.flv"),
              shiftFlvTags(bareClip, bareClip.size() / 2, bareClip.size(), 2000000000));
    // MPEG streams may restart theirs: two clips joined, the second 1000 s later.
    for (const std::string format : {"mpegts", "mpeg"}) {
        std::string joined;
        for (const char* offset : {"0", "1000"}) {
            const std::string part = folder_.file("part." + format);
            makeClip(
                part, picture, 3,
                {"-c:v", "mpeg2video", "-c:a", "mp2", "-output_ts_offset", offset, "-f", format});
            joined += readFile(part);
        }
        writeFile(folder_.file("joined." + format), joined);
    }
    struct Case {
        std::string name;
        double seconds;  // what the clip holds
    };
    for (const Case& c : std::vector<Case>{{"ahead.flv", 3.0},
                                           {"back.flv", 3.0},
                                           {"days.flv", 3.0},
                                           {"joined.mpegts", 6.0},
                                           {"joined.mpeg", 6.0}}) {
        const std::string output = folder_.file("out-" + c.name + ".flv");
        std::vector<std::string> args{"-y", "-i", folder_.file(c.name)};
        args.insert(args.end(), kFlashVideo.begin(), kFlashVideo.end());
        args.push_back(output);
        const ProgramResult run = runConverter(args);
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        const std::optional<MediaInfo> info = probeWithFfprobe(output);
        ASSERT_TRUE(info && info->stream("video") && info->stream("audio")) << c.name;
        EXPECT_NEAR(info->duration, c.seconds, 0.5) << c.name;
    }
}

TEST_F(BadInput, AnOutputFarLongerThanTheInputSaysFailsWithTheReason) {
    // 20 s of video whose header claims 2 s: past 2 * 2 s + 10 s the
    // timeline is taken for damaged, as nothing tells a lie from a flood.
    const std::string honest = folder_.file("honest.flv");
    makeClip(honest, "testsrc=size=160x120:rate=10", 20, {"-c:v", "flv1", "-an"});
    std::string data = readFile(honest);
    const auto key = data.find("duration");
    ASSERT_NE(key, std::string::npos);
    // An AMF number: a type byte, then a big-endian double; 2.0 is 0x4000000000000000.
    ASSERT_EQ(data[key + 8], '\0');
    data.replace(key + 9, 8, std::string("\x40\0\0\0\0\0\0\0", 8));
    const std::string lying = folder_.file("lying.flv");
    writeFile(lying, data);
    const std::optional<MediaInfo> claimed = probeWithFfprobe(lying);
    ASSERT_TRUE(claimed);
    ASSERT_NEAR(claimed->duration, 2.0, 0.01);

    const std::string output = folder_.file("out.flv");
    std::vector<std::string> args{"-y", "-i", lying};
    args.insert(args.end(), kFlashVideo.begin(), kFlashVideo.end());
    args.push_back(output);
    const ProgramResult run = runConverter(args);
    EXPECT_EQ(run.status, exit_code::kInputFailed) << run.output;
    EXPECT_EQ(lastLine(run.output),
              "vidmill-convert: the output runs far past the input's duration; the input's "
              "timestamps are damaged");
    EXPECT_FALSE(fileExists(output));
}

TEST_F(BadInput, AHeaderThatStretchesTheFramesFailsWithinSeconds) {
    // Three seconds of pictures and sound; the stream header's scale, once
    // changed, makes every picture last 10704 s: 223 hours of evenly spaced
    // frames that a frame-rate conversion would repeat until the disk is full.
    const std::string honest = folder_.file("honest.avi");
    makeClip(honest, "testsrc2=size=160x120:rate=25", 3,
             {"-c:v", "mpeg4", "-c:a", "libmp3lame", "-ac", "1"});
    const std::string lying = folder_.file("lying.avi");
    writeFile(lying, setAviVideoRate(readFile(honest), 25, 267600));
    const std::optional<MediaInfo> claimed = probeWithFfprobe(lying);
    ASSERT_TRUE(claimed);
    ASSERT_GT(claimed->duration, 200 * 3600.0);

    const std::string output = folder_.file("out.avi");
    std::vector<std::string> argv{kConverterPath, "-y", "-i", lying};
    argv.insert(argv.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    argv.insert(argv.end(), {"-r", "25", output});
    RunningProgram converter(argv);
    const std::optional<ProgramResult> run = converter.wait(std::chrono::seconds(60));
    ASSERT_TRUE(run) << "the converter was still writing copies after a minute";
    EXPECT_EQ(run->status, exit_code::kInputFailed) << run->output;
    EXPECT_EQ(lastLine(run->output),
              "vidmill-convert: the input's timestamps claim far more time than its pictures and "
              "sound hold; its header is likely damaged");
    EXPECT_FALSE(fileExists(output));
}

TEST_F(BadInput, PicturesHeldLongConvertWhole) {
    // What the bound on repeated pictures must let through: slides without
    // sound, one picture held over a long sound, pictures with long pauses.
    const std::string picture = "testsrc=size=160x120:rate=";
    const std::vector<std::string> mkv{"-c:v", "mpeg4", "-fps_mode", "passthrough"};
    struct Case {
        std::string name;
        std::vector<std::string> made;
        double seconds;  // what the clip lasts, to a frame
    };
    const std::vector<Case> cases{
        {"slides.mkv", {"-f", "lavfi", "-i", picture + "1/5:duration=60"}, 60.0},
        // Two pictures 200 s apart: longer than pictures alone may last.
        {"still.mkv",
         {"-f", "lavfi", "-i", picture + "1/200:duration=201", "-f", "lavfi", "-i",
          "sine=sample_rate=8000:duration=200", "-c:a", "libmp3lame"},
         200.0},
        {"pauses.mkv",
         {"-f", "lavfi", "-i", picture + "25:duration=20", "-vf",
          "setpts='PTS+if(gt(T,5),30/TB,0)+if(gt(T,10),80/TB,0)'"},
         130.0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
        argv.insert(argv.end(), c.made.begin(), c.made.end());
        argv.insert(argv.end(), mkv.begin(), mkv.end());
        argv.push_back(folder_.file(c.name));
        const ProgramResult made = runProgram(argv);
        ASSERT_EQ(made.status, 0) << c.name << ": " << made.output;

        const std::string output = folder_.file("out-" + c.name + ".flv");
        std::vector<std::string> args{"-y", "-i", folder_.file(c.name)};
        args.insert(args.end(), kFlashVideo.begin(), kFlashVideo.end());
        args.push_back(output);
        const ProgramResult run = runConverter(args);
        ASSERT_EQ(run.status, 0) << c.name << ": " << run.output;
        const std::optional<MediaInfo> info = probeWithFfprobe(output);
        ASSERT_TRUE(info) << c.name;
        EXPECT_NEAR(info->duration, c.seconds, 1.0) << c.name;
    }
}

TEST_F(BadInput, AnOutputThatDoesNotReadBackIsRemoved) {
    // Whatever is written into the null device is gone: the finished file
    // cannot be read back, so it is no conversion.
    const std::string output = folder_.file("void.avi");
    ASSERT_EQ(symlink("/dev/null", output.c_str()), 0);
    const ProgramResult run = convert(testMedia().audioVideo, output);
    EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    EXPECT_NE(lastLine(run.output).find("cannot be read back"), std::string::npos) << run.output;
    EXPECT_FALSE(fileExists(output));
}

TEST_F(BadInput, AStreamKindThatDoesNotReadBackIsCaught) {
    // MPEG-TS carries SubRip only as private data: the subtitles written
    // into it come back as no subtitles at all.
    const std::string path = folder_.file("lost.ts");
    {
        OutputFile output(path, "mpegts");
        AVStream* stream = output.addStream();
        stream->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        stream->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        stream->time_base = AVRational{1, 1000};
        output.create(true);
        ASSERT_GE(output.writeHeader(), 0);
        const PacketPtr packet = makePacket();
        ASSERT_GE(av_new_packet(packet.get(), 5), 0);
        std::memcpy(packet->data, "Hello", 5);
        packet->pts = packet->dts = 0;
        packet->duration = av_rescale_q(1, AVRational{1, 1}, stream->time_base);
        output.writePacket(packet.get());
        try {
            output.close();
            ADD_FAILURE() << "the lost subtitles went unnoticed";
        } catch (const ConvertError& error) {
            EXPECT_EQ(error.exitCode(), exit_code::kOutputFailed);
            EXPECT_NE(std::string(error.what()).find("lacks the subtitle stream"),
                      std::string::npos)
                << error.what();
        }
    }
    EXPECT_FALSE(fileExists(path));
}

TEST_F(BadInput, AFailureAfterTheVideoEncoderOpensEndsAtOnceWithItsReason) {
    // WebM with Vorbis sound whose setup header is damaged: the demuxer
    // still reads the stream, its decoder cannot open.
    const std::string webm = folder_.file("vorbis.webm");
    makeClip(webm, "testsrc2=size=160x120:rate=25", 2, {"-c:v", "libvpx", "-c:a", "libvorbis"});
    std::string data = readFile(webm);
    const std::size_t setup = data.find(std::string("\x05vorbis", 7));
    ASSERT_NE(setup, std::string::npos);
    for (std::size_t i = setup + 7; i < setup + 7 + 40; ++i) {
        data[i] = '\xff';
    }
    const std::string damaged = folder_.file("damaged-vorbis.webm");
    writeFile(damaged, data);

    // Each fails once the video encoder is open: a stream that cannot be
    // decoded, and a rate the sound's encoder cannot make.
    struct Case {
        std::string name;
        std::string input;
        std::vector<std::string> audio;
        int status;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"damaged sound",
         damaged,
         {"-acodec", "libopus", "-ab", "128.0kb", "-ac", "2", "-ar", "48000", "-vol", "256"},
         exit_code::kInputFailed,
         "cannot open the decoder vorbis"},
        {"refused rate",
         testMedia().audioVideo,
         {"-acodec", "libopus", "-ab", "128.0kb", "-ac", "2", "-ar", "44100", "-vol", "256"},
         exit_code::kAudioRefused,
         "cannot make 44100 Hz"},
    };
    // An encoder that never got a picture must be let go as quickly as
    // MPEG-4's, and must not hide the reason.
    const std::vector<std::string> encoders = {"mpeg4", "libsvtav1", "libx265", "libvpx-vp9",
                                               "libx264"};
    for (const Case& c : cases) {
        std::optional<ProgramResult> reference;
        for (const std::string& encoder : encoders) {
            const std::string what = c.name + " with " + encoder;
            const std::string output = folder_.file("out.mkv");
            std::vector<std::string> argv{kConverterPath, "-y",      "-i",    c.input, "-s",
                                          "160x120",      "-vcodec", encoder, "-f",    "matroska"};
            argv.insert(argv.end(), c.audio.begin(), c.audio.end());
            argv.push_back(output);
            RunningProgram converter(argv);
            const std::optional<ProgramResult> run = converter.wait(std::chrono::seconds(30));
            if (!run) {
                ADD_FAILURE() << what << ": still running after 30 s";
                continue;
            }
            EXPECT_EQ(run->signal, 0) << what;
            EXPECT_EQ(run->status, c.status) << what << ": " << run->output;
            EXPECT_NE(lastLine(run->output).find(c.reason), std::string::npos)
                << what << ": " << run->output;
            EXPECT_FALSE(fileExists(output)) << what;
            if (!reference) {
                reference = run;
                continue;
            }
            EXPECT_EQ(lastLine(run->output), lastLine(reference->output)) << what;
        }
    }
}

TEST_F(BadInput, TheInputIsNeverOverwritten) {
    const std::string input = folder_.file("own.avi");
    writeFile(input, readFile(testMedia().audioVideo));
    const long long size = fileSize(input);
    const ProgramResult run = convert(input, input);
    EXPECT_EQ(run.status, exit_code::kOutputFailed) << run.output;
    EXPECT_EQ(fileSize(input), size);

    // Without -y an existing output stays as it is.
    const std::string existing = folder_.file("existing.avi");
    writeFile(existing, "keep me");
    std::vector<std::string> args{"-i", testMedia().audioVideo};
    args.insert(args.end(), kMpeg4Avi.begin(), kMpeg4Avi.end());
    args.push_back(existing);
    EXPECT_EQ(runConverter(args).status, exit_code::kOutputFailed);
    EXPECT_EQ(readFile(existing), "keep me");
}

}  // namespace
}  // namespace vidmill::test
