// Whole runs of vidmill-cli with the real converter, on media made at test
// time.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "converter/converter_harness.h"
#include "formats/format_preset.h"
#include "process/channel_layout.h"
#include "support/fake_converter.h"
#include "support/temp_dir.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;
using test::ProgramResult;

const std::string kCli = VIDMILL_CLI_PATH;

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* item = readdir(dir)) {
            std::string name = item->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Our converters whose command line mentions `text` (they name the
// destination folder).
std::vector<pid_t> convertersMentioning(const std::string& text) {
    std::vector<pid_t> found;
    for (const std::string& name : filesIn("/proc")) {
        if (name.find_first_not_of("0123456789") != std::string::npos ||
            name == std::to_string(getpid())) {
            continue;
        }
        std::string cmdline = test::readFile("/proc/" + name + "/cmdline");
        if (cmdline.find(text) != std::string::npos &&
            cmdline.find("vidmill-convert") != std::string::npos) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

int processesMentioning(const std::string& text) {
    return static_cast<int>(convertersMentioning(text).size());
}

// A process's state letter (R, S, T, ...) and the processor time it has used.
std::pair<char, long> stateAndTicks(pid_t pid) {
    const std::string stat = test::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) {
        return {'?', 0};
    }
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> field{std::istream_iterator<std::string>(fields), {}};
    // utime and stime are the 14th and 15th fields; the state is the 3rd.
    return {stat[close + 2], field.size() > 12 ? std::stol(field[11]) + std::stol(field[12]) : 0};
}

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// vidmill-cli runs the converter that lies next to it: a copy of it beside
// the fake converter runs with the fake. Gives the copy's path.
std::string cliWithFakeConverter(const TempDir& dir) {
    const std::string folder = dir.file("bin");
    mkdir(folder.c_str(), 0755);
    for (auto [from, to] : {std::pair{kCli, std::string("vidmill-cli")},
                            std::pair{test::fakeConverterPath(), std::string("vidmill-convert")}}) {
        const std::string target = folder + "/" + to;
        if (link(from.c_str(), target.c_str()) != 0) {
            std::filesystem::copy_file(from, target);
        }
    }
    return folder + "/vidmill-cli";
}

// The channel named on a converter command line that the fake recorded.
std::string recordedChannel(const std::string& record) {
    const std::string text = test::readFile(record);
    const std::string key = "arg=-qzmap\narg=";
    const size_t at = text.find(key);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + key.size();
    return text.substr(start, text.find('\n', start) - start);
}

class CliRunTest : public ::testing::Test {
  protected:
    CliRunTest() { dest = dir.file("out"); }

    ProgramResult cli(std::vector<std::string> args) {
        args.insert(args.begin(), kCli);
        return test::runProgram(args);
    }

    // A clip long enough to be stopped in the middle of its conversion.
    const std::string& longClip() {
        static const std::string path = [] {
            std::string clip = test::testMedia().folder + "/long-clip.mp4";
            // Tests run side by side: one makes the clip, the others wait for it.
            const int lock = open((test::testMedia().folder + "/.lock").c_str(),
                                  O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            flock(lock, LOCK_EX);
            if (!test::fileExists(clip)) {
                ProgramResult made = test::runProgram({"/usr/bin/ffmpeg",
                                                       "-v",
                                                       "error",
                                                       "-y",
                                                       "-f",
                                                       "lavfi",
                                                       "-i",
                                                       "testsrc=size=640x480:rate=25:duration=40",
                                                       "-f",
                                                       "lavfi",
                                                       "-i",
                                                       "sine=frequency=440:duration=40",
                                                       "-c:v",
                                                       "mpeg4",
                                                       "-q:v",
                                                       "8",
                                                       "-c:a",
                                                       "aac",
                                                       "-shortest",
                                                       clip + ".part.mp4"});
                EXPECT_EQ(made.status, 0) << made.output;
                rename((clip + ".part.mp4").c_str(), clip.c_str());
            }
            flock(lock, LOCK_UN);
            close(lock);
            return clip;
        }();
        return path;
    }

    TempDir dir;
    std::string dest;
};

TEST_F(CliRunTest, NestedFoldersConvertEverySupportedFile) {
    const std::string source = dir.file("videos");
    mkdir(source.c_str(), 0755);
    mkdir((source + "/sub").c_str(), 0755);
    mkdir((source + "/sub/deeper").c_str(), 0755);
    // Copies: a link out of the folder searched is not followed.
    const std::string& clip = test::testMedia().audioVideo;
    std::filesystem::copy_file(clip, source + "/a.mp4");
    std::filesystem::copy_file(clip, source + "/sub/b clip.MP4");
    std::filesystem::copy_file(test::testMedia().stream, source + "/sub/deeper/c.ts");
    test::writeFile(source + "/sub/notes.txt", "not a video");

    ProgramResult run = cli({"--preset", "200", "--jobs", "2", "--dest", dest, source});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(filesIn(dest), (std::vector<std::string>{"a.mp4", "b clip.mp4", "c.mp4"}));
    for (const std::string& name : filesIn(dest)) {
        auto info = test::probeWithFfprobe(dest + "/" + name);
        ASSERT_TRUE(info) << name;
        const test::StreamInfo* video = info->stream("video");
        ASSERT_NE(video, nullptr) << name;
        EXPECT_EQ(video->width, 320);
        EXPECT_EQ(video->height, 240);
    }
    EXPECT_NE(run.output.find("OK     ("), std::string::npos) << run.output;
}

TEST_F(CliRunTest, NonMediaFileIsReportedInvalidAndTheRunFails) {
    const std::string fake = dir.file("holiday.avi");
    test::writeFile(fake, "this is a text, not a video\n");
    ProgramResult run = cli({"--dest", dest, fake});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find(fake + " Invalid video"), std::string::npos) << run.output;
    EXPECT_TRUE(filesIn(dest).empty());

    // A path of 4,094 bytes, near the longest there is, is said whole.
    std::string deep = dir.path();
    while (deep.size() + 201 + 6 <= 4094) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    deep += "/" + std::string(4094 - deep.size() - 5, 'h') + ".avi";
    test::writeFile(deep, "not a video either\n");
    run = cli({"--dest", dest, deep});
    EXPECT_NE(run.output.find(deep + " Invalid video"), std::string::npos) << run.output.size();
}

TEST_F(CliRunTest, UnsupportedOrMissingNamesAreSkippedButTheRestConverts) {
    const std::string text = dir.file("notes.txt");
    test::writeFile(text, "hello");
    ProgramResult run = cli({"--preset", "5000", "--dest", dest, text, dir.file("gone.avi"),
                             test::testMedia().audioOnly});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("not a supported file type"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("no such file or folder"), std::string::npos) << run.output;
    EXPECT_EQ(filesIn(dest).size(), 1u);
}

TEST_F(CliRunTest, UsageErrorsExitWithTwo) {
    ProgramResult run = cli({"--jobs", "99", "clip.avi"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.output.find("--jobs"), std::string::npos);
    EXPECT_EQ(cli({}).status, 2);
    ProgramResult presets = cli({"--list-presets"});
    EXPECT_EQ(presets.status, 0);
    EXPECT_NE(presets.output.find("5000\tmp3\tMP3 Audio (*.mp3)"), std::string::npos);
}

TEST_F(CliRunTest, DryRunPrintsWhatARealRunWouldAndConvertsNothing) {
    // Two sources of one name get the names a real run gives them.
    for (const char* folder : {"a", "b"}) {
        mkdir(dir.file(folder).c_str(), 0755);
        ASSERT_EQ(symlink(test::testMedia().audioVideo.c_str(),
                          dir.file(std::string(folder) + "/clip.mp4").c_str()),
                  0);
    }
    // A destination not yet made stays unmade: a dry run changes nothing.
    const std::string fresh = dir.file("not-made/out");
    ProgramResult run = cli({"--dry-run", "--preset", "810", "--dest", fresh,
                             dir.file("a/clip.mp4"), dir.file("b/clip.mp4")});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("-vcodec mpeg1video"), std::string::npos) << run.output;
    const std::string extension = presetExtension(810);
    EXPECT_NE(run.output.find(fresh + "/clip" + extension), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(fresh + "/clip(1)" + extension), std::string::npos) << run.output;
    // No slot is taken before a conversion starts.
    EXPECT_EQ(run.output.find("-qzind 0"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("-qzind -1"), std::string::npos) << run.output;
    EXPECT_FALSE(std::filesystem::exists(dir.file("not-made")));

    // The first format with its own values gives its line word for word.
    ASSERT_EQ(symlink(test::testMedia().audioVideo.c_str(), dir.file("a b.avi").c_str()), 0);
    run = cli({"--dry-run", "--preset", "100", "--dest", fresh, dir.file("a b.avi")});
    EXPECT_TRUE(std::regex_search(
        run.output,
        std::regex(
            "\"[^\"]*/vidmill-convert\" -y -i \"" + dir.file("a b.avi") +
            "\"  -qzmap [0-9]{12}  -qzind -1 -vcodec mpeg4 -acodec libfaac -f psp -s 368x208 "
            "-r 29975/1001 -b 1500kb -ab 128.0kb -ac 2 -ar 24000  -vol 256 \"" +
            fresh + "/a b.mp4\"\n")))
        << run.output;
}

TEST_F(CliRunTest, RefusedDestinationLeavesNoFolderBehind) {
    // Short enough for the option, too long once made absolute.
    const std::string relative = "made/" + std::string(250, 'x');
    ProgramResult run =
        test::runProgram({kCli, "--dest", relative, "clip.avi"}, {.workingDirectory = dir.path()});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("too long"), std::string::npos) << run.output;
    EXPECT_FALSE(test::fileExists(dir.file("made")));
}

TEST_F(CliRunTest, BrokenLinkInAFolderIsReportedAndTheRunFails) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string source = dir.file("videos");
    mkdir(source.c_str(), 0755);
    test::writeFakeScript(dir, "videos/a.avi", "probe: duration 1\nconvert: output 100");
    ASSERT_EQ(symlink(dir.file("gone.avi").c_str(), (source + "/b.avi").c_str()), 0);
    ProgramResult run = test::runProgram({fakeCli, "--dest", dest, source});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("vidmill-cli: " + source + "/b.avi: skipped: broken link\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(filesIn(dest).size(), 1u);
}

TEST_F(CliRunTest, ControlCharactersInNamesAreShownEscapedAndKeptInTheFile) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string name = "odd\tname\x1b[31m\nend";
    const std::string clip =
        test::writeFakeScript(dir, name + ".avi", "probe: duration 1\nconvert: output 100");
    ProgramResult run = test::runProgram({fakeCli, "--dest", dest, clip});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("odd\\tname\\x1b[31m\\nend.avi"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << run.output;
    EXPECT_EQ(filesIn(dest), std::vector<std::string>{name + presetExtension(100)});
}

TEST_F(CliRunTest, SummaryGivesTheReasonAfterTheStatusOfAFailedFile) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string clip =
        test::writeFakeScript(dir, "broken.avi", "probe: duration 1\nconvert: exit 3");
    ProgramResult run = test::runProgram({fakeCli, "--dest", dest, clip});
    EXPECT_EQ(run.status, 1) << run.output;
    const size_t end = run.output.find(clip + "\n");
    ASSERT_NE(end, std::string::npos) << run.output;
    const size_t start = run.output.rfind('\n', end) + 1;
    const std::string line = run.output.substr(start, end - start);
    EXPECT_EQ(line.rfind("Conversion Error: ", 0), 0u) << line;
    EXPECT_NE(line.find("exit code 3"), std::string::npos) << line;
}

TEST_F(CliRunTest, TwoRunsIntoOneFolderNeverLoseOrMixTheirFiles) {
    // Each run converts c1 .. c6 of its own folder; their outputs are told
    // apart by size.
    const std::string fakeCli = cliWithFakeConverter(dir);
    std::vector<std::string> args[2];
    for (int job = 0; job < 2; ++job) {
        const std::string folder = dir.file("job" + std::to_string(job));
        mkdir(folder.c_str(), 0755);
        args[job] = {fakeCli, "--jobs", "3", "--dest", dest};
        for (int i = 1; i <= 6; ++i) {
            args[job].push_back(test::writeFakeScript(
                dir, "job" + std::to_string(job) + "/c" + std::to_string(i) + ".avi",
                "probe: duration 1\nconvert: output " + std::to_string(100 + job)));
        }
    }
    for (int round = 0; round < 3; ++round) {
        std::filesystem::remove_all(dest);
        test::RunningProgram first(args[0]);
        test::RunningProgram second(args[1]);
        const auto a = first.wait(60s);
        const auto b = second.wait(60s);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(a->status, 0) << a->output;
        EXPECT_EQ(b->status, 0) << b->output;
        int sizes[2] = {0, 0};
        const std::vector<std::string> names = filesIn(dest);
        for (const std::string& name : names) {
            const auto size = std::filesystem::file_size(dest + "/" + name);
            ASSERT_TRUE(size == 100 || size == 101) << name;
            ++sizes[size - 100];
        }
        EXPECT_EQ(names.size(), 12u) << "round " << round;
        EXPECT_EQ(sizes[0], 6) << "round " << round;
        EXPECT_EQ(sizes[1], 6) << "round " << round;
    }
}

// In a folder where another user may rename entries, a neighbour swaps the
// new part file for a link to one of the person's own files the instant it
// appears: the conversion must still write only its own file.
TEST_F(CliRunTest, APartFileSwappedForALinkCannotRedirectTheConversion) {
    ASSERT_EQ(mkdir(dest.c_str(), 0777), 0);
    const std::string thesis = dir.file("thesis.txt");
    test::writeFile(thesis, "my thesis");
    const std::string clip = dir.file("clip.mp4");
    ASSERT_EQ(symlink(test::testMedia().audioVideo.c_str(), clip.c_str()), 0);
    const int events = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(events, 0);
    ASSERT_GE(inotify_add_watch(events, dest.c_str(), IN_CREATE), 0);
    const std::string part = ".vidmill-part-clip.mp4";
    std::atomic<bool> runEnded{false};
    std::atomic<bool> swapped{false};
    std::thread neighbour([&] {
        alignas(inotify_event) char buffer[4096];
        while (!swapped && !runEnded) {
            pollfd wait{events, POLLIN, 0};
            if (poll(&wait, 1, 100) <= 0) {
                continue;
            }
            const ssize_t got = read(events, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->len > 0 && part == event->name) {
                    const std::string name = dest + "/" + part;
                    rename(name.c_str(), (dest + "/.taken").c_str());
                    swapped = symlink(thesis.c_str(), name.c_str()) == 0;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    });
    ProgramResult run = cli({"--preset", "200", "--dest", dest, clip});
    runEnded = true;
    neighbour.join();
    close(events);
    ASSERT_TRUE(swapped);
    EXPECT_TRUE(test::readFile(thesis) == "my thesis") << "the person's file was written over";
    ASSERT_EQ(run.status, 0) << run.output;
    struct stat published {};
    ASSERT_EQ(lstat((dest + "/clip.mp4").c_str(), &published), 0);
    EXPECT_TRUE(S_ISREG(published.st_mode));
    // Whole, and with the place the source gave.
    const auto entries = test::probeEntries(dest + "/clip.mp4");
    EXPECT_EQ(entries.count("streams.stream.0.codec_name"), 1u);
    EXPECT_FALSE(entries.count("format.tags.location") == 0) << "no place kept";
}

TEST_F(CliRunTest, InterruptedProbeIsNotReportedAsAnUnreadableFile) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string started = dir.file("started");
    const std::string clip =
        test::writeFakeScript(dir, "slow.avi", "probe: record " + started + "; sleep 30000");
    test::RunningProgram run({fakeCli, "--dest", dest, clip});
    ASSERT_TRUE(waitFor([&] { return test::fileExists(started); }, 10s));
    kill(run.pid(), SIGINT);
    auto result = run.wait(10s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, -126) << result->output;
    EXPECT_EQ(result->output.find("could not be read"), std::string::npos) << result->output;
    EXPECT_EQ(result->output.find("Invalid video"), std::string::npos) << result->output;
}

TEST_F(CliRunTest, SecondInterruptEndsConvertersThatIgnoreTheStopAndRemovesTheChannel) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string record = dir.file("record");
    const std::string clip = test::writeFakeScript(
        dir, "clip.avi",
        "probe: duration 60\nconvert: record " + record +
            "\nconvert: ignorestop\nconvert: output 1000\nconvert: sleep 60000");
    test::RunningProgram run({fakeCli, "--json", "--dest", dest, clip});
    // The part file comes before the converter: its record names the channel.
    std::string block;
    ASSERT_TRUE(waitFor(
        [&] {
            const std::string channel = recordedChannel(record);
            block = "/dev/shm" + channel_layout::objectName(channel);
            return !channel.empty() && test::fileExists(block);
        },
        10s))
        << block;
    kill(run.pid(), SIGINT);
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(processesMentioning(dest), 1);  // it ignores the stop byte
    kill(run.pid(), SIGINT);
    auto result = run.wait(10s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, -126) << result->output;
    EXPECT_TRUE(waitFor([&] { return processesMentioning(dest) == 0; }, 2s));
    EXPECT_FALSE(test::fileExists(block));
    EXPECT_TRUE(filesIn(dest).empty());
    // The report stays whole: the file's end, then the summary.
    const std::string& out = result->output;
    const size_t end = out.find("{\"event\":\"end\"");
    const size_t summary = out.find("{\"event\":\"summary\"");
    ASSERT_NE(end, std::string::npos) << out;
    EXPECT_NE(out.find("\"status\":\"stopped\"", end), std::string::npos) << out;
    ASSERT_NE(summary, std::string::npos) << out;
    EXPECT_GT(summary, end) << out;
    EXPECT_NE(out.find("\"stopped\":1,\"rejected\":0,\"exit_status\":130}", summary),
              std::string::npos)
        << out;
}

TEST_F(CliRunTest, InterruptStopsEverythingAndLeavesNoUnfinishedOutput) {
    test::RunningProgram run(
        {kCli, "--preset", "110", "--jobs", "2", "--dest", dest, longClip(), longClip()});
    ASSERT_TRUE(waitFor([&] { return filesIn(dest).size() == 2; }, 60s));
    kill(run.pid(), SIGINT);
    auto result = run.wait(60s);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, -126) << result->output;  // 130 as a signed byte
    EXPECT_EQ(processesMentioning(dest), 0);
    EXPECT_TRUE(filesIn(dest).empty());
}

TEST_F(CliRunTest, KilledFrontEndLeavesNoConverterRunning) {
    test::RunningProgram run({kCli, "--preset", "110", "--jobs", "1", "--dest", dest, longClip()});
    ASSERT_TRUE(
        waitFor([&] { return processesMentioning(dest) > 0 && !filesIn(dest).empty(); }, 60s));
    kill(run.pid(), SIGKILL);
    run.wait(10s);
    EXPECT_TRUE(waitFor([&] { return processesMentioning(dest) == 0; }, 5s));
}

TEST_F(CliRunTest, CtrlZHoldsTheConvertersUntilTheRunGoesOnOrIsKilled) {
    for (const bool killWhileHeld : {false, true}) {
        SCOPED_TRACE(killWhileHeld ? "killed while held" : "continued");
        const std::string out = dir.file(killWhileHeld ? "killed" : "continued");
        test::RunOptions asJob;
        asJob.ownProcessGroup = true;
        test::RunningProgram run(
            {kCli, "--preset", "110", "--jobs", "2", "--dest", out, longClip(), longClip()}, asJob);
        ASSERT_TRUE(waitFor(
            [&] { return processesMentioning(out) == 2 && filesIn(out).size() == 2; }, 60s));
        const std::vector<pid_t> converters = convertersMentioning(out);
        kill(run.pid(), SIGTSTP);
        auto heldTicks = [&] {
            long ticks = stateAndTicks(run.pid()).first == 'T' ? 0 : -1;
            for (pid_t pid : converters) {
                const auto [state, used] = stateAndTicks(pid);
                ticks = state == 'T' && ticks >= 0 ? ticks + used : -1;
            }
            return ticks;
        };
        ASSERT_TRUE(waitFor([&] { return heldTicks() >= 0; }, 30s));
        const long ticks = heldTicks();
        std::this_thread::sleep_for(1s);
        EXPECT_EQ(heldTicks(), ticks);
        if (killWhileHeld) {
            kill(run.pid(), SIGKILL);
            run.wait(10s);
            EXPECT_TRUE(waitFor([&] { return processesMentioning(out) == 0; }, 30s));
            EXPECT_TRUE(waitFor([&] { return filesIn(out).empty(); }, 30s))
                << ::testing::PrintToString(filesIn(out));
            continue;
        }
        kill(run.pid(), SIGCONT);
        auto result = run.wait(300s);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, 0) << result->output;
        ASSERT_EQ(filesIn(out), (std::vector<std::string>{"long-clip(1).mp4", "long-clip.mp4"}));
        for (const std::string& name : filesIn(out)) {
            ProgramResult probed =
                test::runProgram({"/usr/bin/ffprobe", "-v", "error", "-show_entries",
                                  "format=duration", "-of", "csv=p=0", out + "/" + name});
            EXPECT_NEAR(std::stod(probed.output), 40.0, 0.2) << name;
        }
    }
}

// Every file below `folder`, as paths relative to it, in order.
std::vector<std::string> filesBelow(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder, error)) {
        if (item.is_regular_file()) {
            found.push_back(std::filesystem::relative(item.path(), folder).string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

TEST_F(CliRunTest, KeepTreeMirrorsTheFoldersOfAListedFolder) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string script = "probe: duration 1\nconvert: output 10";
    for (const char* folder : {"videos", "videos/a", "videos/b", "videos/b/deeper"}) {
        mkdir(dir.file(folder).c_str(), 0755);
    }
    for (const char* name : {"videos/a/clip.avi", "videos/b/clip.avi", "videos/top.avi",
                             "videos/b/deeper/x.avi", "single.avi"}) {
        test::writeFakeScript(dir, name, script);
    }
    const std::string list = dir.file("list.txt");
    // A folder from a list counts like one named on the command line.
    test::writeFile(list, dir.file("videos") + "/\n\n");
    const std::string ext = presetExtension(100);

    ProgramResult run = test::runProgram(
        {fakeCli, "--keep-tree", "--dest", dest, "--files-from", list, dir.file("single.avi")});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(filesBelow(dest),
              (std::vector<std::string>{"a/clip" + ext, "b/clip" + ext, "b/deeper/x" + ext,
                                        "single" + ext, "top" + ext}));
    // Without it everything lands in the one folder.
    const std::string flat = dir.file("flat");
    run = test::runProgram({fakeCli, "--dest", flat, dir.file("videos")});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(filesBelow(flat),
              (std::vector<std::string>{"clip(1)" + ext, "clip" + ext, "top" + ext, "x" + ext}));
}

// A phone-like source: two audio tracks in two languages, a text subtitle,
// two chapters, a creation time, a place and a title; its modification time
// lies years back.
std::string richSource(const TempDir& dir) {
    const std::string meta = dir.file("meta.txt");
    test::writeFile(meta,
                    ";FFMETADATA1\ntitle=Harbour walk\ncreation_time=2019-06-01T10:20:30Z\n"
                    "location=+52.3700+004.8900/\n"
                    "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=First\n"
                    "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Second\n");
    const std::string subtitles = dir.file("subs.srt");
    test::writeFile(subtitles, "1\n00:00:00,200 --> 00:00:01,500\nHello there\n");
    const std::string source = dir.file("harbour.mp4");
    ProgramResult made = test::runProgram({"/usr/bin/ffmpeg",
                                           "-v",
                                           "error",
                                           "-y",
                                           "-f",
                                           "lavfi",
                                           "-i",
                                           "testsrc2=size=320x240:rate=25:duration=2",
                                           "-f",
                                           "lavfi",
                                           "-i",
                                           "sine=frequency=440:duration=2",
                                           "-f",
                                           "lavfi",
                                           "-i",
                                           "sine=frequency=660:duration=2",
                                           "-i",
                                           subtitles,
                                           "-i",
                                           meta,
                                           "-map",
                                           "0:v",
                                           "-map",
                                           "1:a",
                                           "-map",
                                           "2:a",
                                           "-map",
                                           "3:s",
                                           "-map_metadata",
                                           "4",
                                           "-map_chapters",
                                           "4",
                                           "-c:v",
                                           "libx264",
                                           "-preset",
                                           "ultrafast",
                                           "-c:a",
                                           "aac",
                                           "-c:s",
                                           "mov_text",
                                           "-metadata:s:a:0",
                                           "language=eng",
                                           "-metadata:s:a:1",
                                           "language=deu",
                                           source});
    EXPECT_EQ(made.status, 0) << made.output;
    const struct timespec times[2] = {{981'158'400, 0}, {981'158'400, 0}};  // 2001-02-03
    EXPECT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    return source;
}

// ffprobe's view in one line per stream, chapter and the container. Ogg
// keeps the source's tags with its stream, the others in the container.
std::string probeSummary(const std::string& path) {
    ProgramResult run = test::runProgram(
        {"/usr/bin/ffprobe", "-v", "error", "-show_entries",
         "stream=codec_type,codec_name,codec_tag_string:chapter=start_time:format_tags="
         "creation_time,location,title:format=format_name:stream_tags=creation_time",
         "-of", "compact=nokey=0", path});
    return run.output;
}

int linesWhere(const std::string& text, const std::function<bool(const std::string&)>& match) {
    int count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        count += match(line) ? 1 : 0;
    }
    return count;
}

int linesStarting(const std::string& text, const std::string& start) {
    return linesWhere(text, [&](const std::string& line) { return line.starts_with(start); });
}

int linesWith(const std::string& text, const std::string& part) {
    return linesWhere(
        text, [&](const std::string& line) { return line.find(part) != std::string::npos; });
}

// Every newer format converts such a source with what its container can
// hold: the all-tracks Matroska every track, the others the first audio;
// the chapters, the creation time, and the source's modification time.
TEST_F(CliRunTest, NewerFormatsKeepTracksChaptersAndDates) {
    const std::string source = richSource(dir);
    struct Case {
        int preset;
        const char* video;  // ffprobe's codec name, and the tag where one is asked for
        const char* audio;
        int audioTracks;
        int subtitles;
    } cases[] = {
        {1100, "hevc|codec_type=video|codec_tag_string=hvc1", "aac", 1, 0},
        {1200, "av1", "opus", 1, 0},
        {1300, "vp9", "opus", 1, 0},
        {1400, "h264", "aac", 2, 1},
        {5080, nullptr, "opus", 1, 0},
        {5090, nullptr, "flac", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preset);
        const std::string out = dir.file("out" + std::to_string(c.preset));
        ProgramResult run = cli({"--preset", std::to_string(c.preset), "--dest", out, source});
        ASSERT_EQ(run.status, 0) << run.output;
        const std::string output = out + "/harbour" + presetExtension(c.preset);
        const std::string probed = probeSummary(output);
        SCOPED_TRACE(probed);
        if (c.video != nullptr) {
            EXPECT_EQ(linesStarting(probed, "stream|codec_name=" + std::string(c.video)), 1);
        }
        EXPECT_EQ(linesWith(probed, "|codec_type=video"), c.video ? 1 : 0);
        EXPECT_EQ(linesStarting(probed,
                                "stream|codec_name=" + std::string(c.audio) + "|codec_type=audio"),
                  c.audioTracks);
        EXPECT_EQ(linesWith(probed, "|codec_type=audio"), c.audioTracks);
        EXPECT_EQ(linesWith(probed, "|codec_type=subtitle"), c.subtitles);
        EXPECT_EQ(linesStarting(probed, "chapter|"), 2);
        EXPECT_NE(probed.find("creation_time=2019-06-01T10:20:30"), std::string::npos);
        struct stat made {};
        ASSERT_EQ(stat(output.c_str(), &made), 0);
        EXPECT_EQ(made.st_mtim.tv_sec, 981'158'400);
    }
    // Without the dates the file is as new as its making.
    const std::string fresh = dir.file("fresh");
    ProgramResult run = cli({"--preset", "5090", "--no-keep-dates", "--dest", fresh, source});
    ASSERT_EQ(run.status, 0) << run.output;
    struct stat made {};
    ASSERT_EQ(stat((fresh + "/harbour.flac").c_str(), &made), 0);
    EXPECT_GT(made.st_mtim.tv_sec, 981'158'400 + 3600);
}

// Runs vidmill-cli (with `list` on its standard input) under Python, which
// parses every line of its standard output as strict JSON, checks each
// object's fields, and prints one plain line per object, then "exit N".
ProgramResult jsonRun(const std::string& list, const std::vector<std::string>& cliArgs) {
    static const char* const kChecker = R"(
import json, os, subprocess, sys
fields = {
    'start': {'event', 'file', 'output'},
    'progress': {'event', 'file', 'percent', 'seconds'},
    'end': {'event', 'file', 'status', 'output', 'size', 'target_size', 'cut', 'seconds',
            'reason', 'note'},
    'summary': {'event', 'converted', 'skipped', 'failed', 'stopped', 'rejected', 'exit_status'},
}
run = subprocess.run(sys.argv[2:], stdin=open(sys.argv[1], 'rb'), stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL)
text = run.stdout.decode('utf-8')
assert text.endswith('\n'), repr(text)
for line in text[:-1].split('\n'):
    o = json.loads(line)
    assert set(o) == fields[o['event']], line
    name = json.dumps(os.path.basename(o.get('file', '')))
    if o['event'] == 'end':
        assert (o['output'] is not None) == (o['status'] in ('ok', 'skipped')), line
        print('end', name, o['status'], o['size'], json.dumps(o['reason']))
    elif o['event'] == 'summary':
        print('summary', o['converted'], o['skipped'], o['failed'], o['stopped'], o['rejected'],
              o['exit_status'])
    else:
        print(o['event'], name)
print('exit', run.returncode)
)";
    std::vector<std::string> args = {"/usr/bin/python3", "-c", kChecker, list};
    args.insert(args.end(), cliArgs.begin(), cliArgs.end());
    return test::runProgram(args);
}

TEST_F(CliRunTest, JsonLinesAreStrictJsonAndCoverEveryFile) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string odd = "odd\xff\"q\x01";
    const std::vector<std::pair<std::string, std::string>> videos = {
        {"long.avi", "probe: duration 3\nconvert: output 100; steps 0 100 10 200"},
        {"bad.avi", "probe: exit -20"},
        {"broken.avi", "probe: duration 1\nconvert: exit 3"},
        {odd + ".avi", "probe: duration 1\nconvert: output 10"},
    };
    std::string list;
    for (const auto& [name, script] : videos) {
        list += test::writeFakeScript(dir, name, script) + "\n";
    }
    test::writeFile(dir.file("list.txt"), list);
    ProgramResult run =
        jsonRun(dir.file("list.txt"), {fakeCli, "--json", "--dest", dest, "--files-from", "-"});
    ASSERT_EQ(run.status, 0) << run.output;

    std::vector<std::string> lines;
    int progress = 0;
    std::istringstream text(run.output);
    for (std::string line; std::getline(text, line);) {
        if (line == "progress \"long.avi\"") {
            ++progress;
        } else {
            lines.push_back(line);
        }
    }
    ASSERT_GE(lines.size(), 2u) << run.output;
    EXPECT_EQ(lines.back(), "exit 1");
    EXPECT_EQ(lines[lines.size() - 2], "summary 2 0 1 0 1 1");
    // Once a second or so over its 2 seconds.
    EXPECT_GE(progress, 1) << run.output;
    EXPECT_LE(progress, 3) << run.output;
    std::sort(lines.begin(), lines.end());
    const std::string oddJson = "\"odd\\u00ff\\\"q\\u0001.avi\"";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "end \"bad.avi\" rejected 0 \"Invalid video\"",
                         "end \"broken.avi\" failed 0 \"the converter failed with exit code 3\"",
                         "end \"long.avi\" ok 100 null",
                         "end " + oddJson + " ok 10 null",
                         "exit 1",
                         "start \"broken.avi\"",
                         "start \"long.avi\"",
                         "start " + oddJson,
                         "summary 2 0 1 0 1 1",
                     }))
        << run.output;
    EXPECT_EQ(filesIn(dest), (std::vector<std::string>{"long" + presetExtension(100),
                                                       odd + presetExtension(100)}));
}

TEST_F(CliRunTest, ASizeThatAFileCannotFitInStopsTheRunBeforeItStarts) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string shortOne =
        test::writeFakeScript(dir, "short.avi", "probe: duration 5\nconvert: output 100");
    const std::string longOne =
        test::writeFakeScript(dir, "long.avi", "probe: duration 600\nconvert: output 100");
    ProgramResult run = test::runProgram(
        {fakeCli, "--dest", dest, "--target-size", "1M", "--abitrate", "128", shortOne, longOne});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find(longOne + ": 1 MB cannot hold 10:00 of video: it needs at least "
                                        "14.3 MB with 128 kbit/s of sound"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find(shortOne + ":"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("choose a larger --target-size or a lower --abitrate, or leave this "
                              "file out"),
              std::string::npos)
        << run.output;
    EXPECT_TRUE(filesIn(dest).empty());

    // Sound kept whole: no bitrate would help.
    run = test::runProgram(
        {fakeCli, "--dest", dest, "--preset", "5050", "--target-size", "1M", shortOne});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("choose a format that compresses its sound, or leave --target-size "
                              "out"),
              std::string::npos)
        << run.output;

    run = test::runProgram({fakeCli, "--json", "--dest", dest, "--target-size", "1M", shortOne});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("\"status\":\"ok\""), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\"target_size\":1000000"), std::string::npos) << run.output;
}

// Two passes stopped, or killed, in either pass: no output and no first
// pass's log stay behind; what a killed converter could not remove, the next
// batch does.
TEST_F(CliRunTest, AnEndInEitherPassLeavesNoLogAndNoOutput) {
    const std::string cache = dir.file("cache");
    const std::string passes = cache + "/vidmill/passes";
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    enum class End { Stop, KillFrontEnd, KillConverter };
    for (const int pass : {1, 2}) {
        for (const End end : {End::Stop, End::KillFrontEnd, End::KillConverter}) {
            SCOPED_TRACE("pass " + std::to_string(pass) + ", end " + std::to_string(int(end)));
            test::RunningProgram run(
                {kCli, "--preset", "110", "--two-pass", "--dest", dest, longClip()});
            // The part file stays empty through the first pass.
            auto inPass = [&] {
                const std::vector<std::string> parts = filesIn(dest);
                struct stat part {};
                return filesIn(passes).size() == 1 && parts.size() == 1 &&
                       stat((dest + "/" + parts[0]).c_str(), &part) == 0 &&
                       (part.st_size > 0) == (pass == 2);
            };
            ASSERT_TRUE(waitFor(inPass, 60s));
            std::optional<ProgramResult> result;
            if (end == End::Stop) {
                kill(run.pid(), SIGINT);
                result = run.wait(60s);
                ASSERT_TRUE(result);
                EXPECT_EQ(result->status, -126) << result->output;
            } else if (end == End::KillFrontEnd) {
                kill(run.pid(), SIGKILL);
                run.wait(10s);
            } else {
                for (const pid_t converter : convertersMentioning(dest)) {
                    kill(converter, SIGKILL);
                }
                result = run.wait(60s);
                ASSERT_TRUE(result);
                EXPECT_NE(result->output.find("Conversion Error"), std::string::npos)
                    << result->output;
            }
            EXPECT_TRUE(waitFor([&] { return processesMentioning(dest) == 0; }, 10s));
            EXPECT_TRUE(filesIn(dest).empty());
            if (end != End::KillConverter) {
                EXPECT_TRUE(filesIn(passes).empty());
            }
        }
    }
    // A killed converter's folder goes with the next batch: the first one's
    // went with the runs after it, the last one's goes now.
    EXPECT_EQ(filesIn(passes).size(), 1u);
    const ProgramResult next =
        cli({"--preset", "110", "--dest", dest, test::testMedia().audioVideo});
    unsetenv("XDG_CACHE_HOME");
    EXPECT_EQ(next.status, 0) << next.output;
    EXPECT_TRUE(filesIn(passes).empty());
}

// A cache that cannot keep the first passes' logs is the machine's fault,
// said with the system's reason: every file ends failed with it, exit 3.
TEST_F(CliRunTest, ACacheThatCannotKeepTheLogsIsTheMachinesFault) {
    const std::string plainFile = "/dev/null";  // where a folder should be
    const std::string full = dir.file("full");
    mkdir(full.c_str(), 0700);
    const bool mounted = geteuid() == 0 && mount("tmpfs", full.c_str(), "tmpfs", 0, "size=4k") == 0;
    for (const auto& [cache, reason] :
         {std::pair{plainFile, "Not a directory"}, std::pair{full, "No space left on device"}}) {
        if (cache == full && !mounted) {
            std::printf("skipped the full cache: mounting a small file system needs root\n");
            continue;
        }
        setenv("XDG_CACHE_HOME", cache.c_str(), 1);
        const ProgramResult run = cli({"--json", "--preset", "110", "--two-pass", "--dest", dest,
                                       test::testMedia().audioVideo});
        unsetenv("XDG_CACHE_HOME");
        EXPECT_EQ(run.status, 3) << run.output;
        // Found before any converter starts, and said.
        EXPECT_TRUE(cache != plainFile ||
                    run.output.find("cannot be used (Not a directory)") != std::string::npos);
        EXPECT_EQ(linesWith(run.output, "\"status\":\"failed\""), 1) << run.output;
        EXPECT_EQ(linesWith(run.output, reason + std::string("\",\"note\":null}")), 1);
    }
    if (mounted) {
        umount2(full.c_str(), MNT_DETACH);
    }
}

TEST_F(CliRunTest, SharesTakeEachFileOnceAndASecondRunSkipsWhatIsDone) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string source = dir.file("src");
    const std::string ext = presetExtension(100);
    for (const char* folder : {"src", "src/a", "src/b", "out", "out/a"}) {
        mkdir(dir.file(folder).c_str(), 0755);
    }
    for (const char* name : {"a/1", "a/2", "a/3", "b/4", "5", "6", "7"}) {
        test::writeFakeScript(dir, std::string("src/") + name + ".avi",
                              "probe: duration 1\nconvert: output 100");
    }
    ASSERT_EQ(symlink("nowhere", dir.file("src/b/broken.avi").c_str()), 0);
    // Someone else's video under an output name is kept and counts as done;
    // an empty file, a stub or a link does not, and the copy made instead is
    // found by the next run under the name it took.
    const std::string theirs = "#vidmill-fake\nprobe: duration 1\n";
    test::writeFile(dest + "/a/3" + ext, theirs);
    test::writeFile(dest + "/5" + ext, "");
    test::writeFile(dest + "/6" + ext, std::string(1000, 'x'));
    ASSERT_EQ(symlink("nowhere", (dest + "/7" + ext).c_str()), 0);
    for (const bool second : {false, true}) {
        std::map<std::string, std::vector<std::string>> ends;
        for (int share = 1; share <= 3; ++share) {
            ProgramResult run = jsonRun(
                "/dev/null", {fakeCli, "--json", "--keep-tree", "--skip-existing", "--shard",
                              std::to_string(share) + "/3", "--dest", dest, source});
            std::istringstream text(run.output);
            for (std::string word, line; std::getline(text, line);) {
                std::istringstream fields(line);
                std::string file;
                std::string status;
                if (fields >> word >> file >> status && word == "end") {
                    ends[file].push_back(status);
                }
            }
        }
        SCOPED_TRACE(second ? "second run" : "first run");
        const std::string converted = second ? "skipped" : "ok";
        EXPECT_EQ(ends, (std::map<std::string, std::vector<std::string>>{
                            {"\"1.avi\"", {converted}},
                            {"\"2.avi\"", {converted}},
                            {"\"3.avi\"", {"skipped"}},
                            {"\"4.avi\"", {converted}},
                            {"\"5.avi\"", {converted}},
                            {"\"6.avi\"", {converted}},
                            {"\"7.avi\"", {converted}},
                            {"\"broken.avi\"", {"rejected"}},
                        }));
        EXPECT_EQ(test::readFile(dest + "/a/3" + ext), theirs);
        EXPECT_EQ(filesIn(dest),
                  (std::vector<std::string>{"5(1)" + ext, "5" + ext, "6(1)" + ext, "6" + ext,
                                            "7(1)" + ext, "7" + ext, "a", "b"}));
        EXPECT_EQ(filesIn(dest + "/a"),
                  (std::vector<std::string>{"1" + ext, "2" + ext, "3" + ext}));
    }
}

TEST_F(CliRunTest, AWatchConvertsWhatAppearsOnceAndARestartConvertsNothingAgain) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string watched = dir.file("watched");
    mkdir(watched.c_str(), 0755);
    test::writeFakeScript(dir, "watched/there.avi", "probe: duration 1\nconvert: output 100");
    for (const char* status : {"ok", "skipped"}) {
        SCOPED_TRACE(status);
        const std::string log = dir.file(std::string(status) + ".jsonl");
        test::RunningProgram run({"/bin/sh", "-c", "exec \"$0\" \"$@\" > " + log, fakeCli,
                                  "--watch", "--json", "--keep-tree", "--dest", dest, watched});
        if (std::string(status) == "ok") {
            ASSERT_TRUE(
                waitFor([&] { return linesWith(test::readFile(log), "\"end\"") == 1; }, 60s));
            mkdir((watched + "/new").c_str(), 0755);
            test::writeFakeScript(dir, "watched/new/came.avi",
                                  "probe: duration 1\nconvert: output 100");
        }
        ASSERT_TRUE(waitFor([&] { return linesWith(test::readFile(log), "\"end\"") == 2; }, 60s));
        kill(run.pid(), SIGINT);
        auto result = run.wait(60s);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, -126) << result->output;  // 130
        const std::string text = test::readFile(log);
        EXPECT_EQ(linesWith(text, "\"status\":\"" + std::string(status) + "\""), 2) << text;
        EXPECT_EQ(linesWith(text, "\"event\":\"summary\""), 1) << text;
    }
    EXPECT_EQ(filesBelow(dest), (std::vector<std::string>{"new/came" + presetExtension(100),
                                                          "there" + presetExtension(100)}));
}

TEST_F(CliRunTest, ExitStatusSaysWhetherTryingAgainCanHelp) {
    const std::string fakeCli = cliWithFakeConverter(dir);
    const std::string good = "probe: duration 1\nconvert: output 10";
    const std::string invalid = "probe: exit -20";
    const std::string fullDisk = "probe: duration 1\nconvert: say No space left on device; exit 1";
    const std::string notAFolder = dir.file("plain-file");
    test::writeFile(notAFolder, "x");
    // A copy of the front end with no converter beside it.
    const std::string lonely = dir.file("lonely");
    mkdir(lonely.c_str(), 0755);
    std::filesystem::copy_file(kCli, lonely + "/vidmill-cli");
    struct Case {
        std::string name;
        std::vector<std::string> scripts;
        std::vector<std::string> options;
        std::string program;
        int status;
    };
    const std::vector<Case> cases = {
        {"all converted", {good, good}, {}, fakeCli, 0},
        {"a file rejected", {good, invalid}, {}, fakeCli, 1},
        {"a file failed", {"probe: duration 1\nconvert: exit 4"}, {}, fakeCli, 1},
        {"bad usage", {good}, {"--jobs", "0"}, fakeCli, 2},
        {"unlisted list", {good}, {"--files-from", dir.file("no-list")}, fakeCli, 2},
        {"disk full wins over a bad file", {invalid, fullDisk, good}, {}, fakeCli, 3},
        {"converter missing", {good}, {}, lonely + "/vidmill-cli", 3},
        {"destination cannot be made", {good}, {"--dest", notAFolder + "/out"}, fakeCli, 3},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {c.program, "--dest",
                                         dest + "-" + std::to_string(c.status)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (size_t i = 0; i < c.scripts.size(); ++i) {
            args.push_back(
                test::writeFakeScript(dir, "v" + std::to_string(i) + ".avi", c.scripts[i]));
        }
        ProgramResult run = test::runProgram(args);
        EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.output;
    }
}

TEST_F(CliRunTest, GnuParallelRunsTheListOnTwoJobs) {
    const std::string parallel = "/usr/bin/parallel";
    if (!test::fileExists(parallel)) {
        GTEST_SKIP() << "GNU parallel is not installed (scripts/setup installs it)";
    }
    const std::string fakeCli = cliWithFakeConverter(dir);
    std::string list;
    std::vector<std::string> expected;
    for (int i = 0; i < 6; ++i) {
        const std::string name = "clip " + std::to_string(i);
        list += test::writeFakeScript(dir, name + ".avi",
                                      "probe: duration 1\nconvert: sleep 100; output 10") +
                "\n";
        expected.push_back(name + presetExtension(100));
    }
    list += test::writeFakeScript(dir, "bad.avi", "probe: exit -20") + "\n";
    test::writeFile(dir.file("files.txt"), list);
    const std::string jobLog = dir.file("jobs.log");
    ProgramResult run =
        test::runProgram({parallel, "--will-cite", "-j2", "--joblog", jobLog, fakeCli, "--dest",
                          dest, "{}", "::::", dir.file("files.txt")});
    // GNU parallel exits with the number of jobs that failed.
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_EQ(filesIn(dest), expected);
    // Seven jobs: six with 0, the invalid file's with 1.
    std::istringstream log(test::readFile(jobLog));
    std::string line;
    std::getline(log, line);  // the header
    std::map<int, int> exitValues;
    while (std::getline(log, line)) {
        std::vector<std::string> columns;
        std::istringstream fields(line);
        for (std::string column; std::getline(fields, column, '\t');) {
            columns.push_back(column);
        }
        ASSERT_GE(columns.size(), 7u) << line;
        ++exitValues[std::stoi(columns[6])];
    }
    EXPECT_EQ(exitValues, (std::map<int, int>{{0, 6}, {1, 1}}));
}

}  // namespace
}  // namespace vidmill
