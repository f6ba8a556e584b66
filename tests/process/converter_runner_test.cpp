#include "process/converter_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process/progress_channel.h"
#include "support/fake_converter.h"

namespace vidmill {
namespace {

using test::fakeConverterPath;
using test::writeFakeScript;
using ::testing::ElementsAre;

// Long enough that a run which does not end by itself fails visibly rather
// than hanging the suite.
constexpr int kLongWait = 20000;

// The processes whose parent is `parent` (zombies included).
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& item : std::filesystem::directory_iterator("/proc")) {
        const std::string name = item.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;  // not a process
        }
        std::ifstream stat(item.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        const auto close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(text.substr(close + 1));
        std::string state;
        int parentPid = 0;
        fields >> state >> parentPid;
        if (parentPid == parent) {
            children.push_back(static_cast<pid_t>(std::stoi(name)));
        }
    }
    return children;
}

class ConverterRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(fakeConverterPath())) << fakeConverterPath();
        channel.openChannel();
        ASSERT_TRUE(channel.isOpen());
    }

    // A command of the converter's shape that runs the script; slot -1 when
    // none is given.
    std::vector<std::string> command(const std::string& script, int slot = -1,
                                     const std::string& output = "") {
        std::vector<std::string> line = {
            fakeConverterPath(),
            "-y",
            "-i",
            writeFakeScript(dir, "script" + std::to_string(++count), script),
            "-qzmap",
            channel.channelName(),
            "-qzind",
            std::to_string(slot)};
        if (!output.empty()) {
            line.push_back(output);
        }
        return line;
    }

    // The lines of a record written by the fake's "record" statement.
    std::vector<std::string> recordLines(const std::string& path) {
        std::ifstream file(path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    TempDir dir;
    ProgressChannel channel;
    int count = 0;
};

// Runs and waits, calling `progress` (when given) once per pass.
int runCalling(const std::vector<std::string>& line, int* exitCode, int priority, int periodMs,
               const std::function<void()>& progress) {
    return runConverterWatched(line, exitCode, priority, periodMs, [&progress] {
        if (progress) {
            progress();
        }
        return true;
    });
}

TEST(PriorityClassTest, MapsTheSettingsToNiceValues) {
    EXPECT_EQ(priorityClassFor(0), 19);
    EXPECT_EQ(priorityClassFor(1), 10);
    EXPECT_EQ(priorityClassFor(2), 0);
    EXPECT_EQ(priorityClassFor(3), -5);
    EXPECT_EQ(priorityClassFor(4), -10);
    EXPECT_EQ(priorityClassFor(5), -20);
    for (int other : {6, 9, 255, -1}) {
        EXPECT_EQ(priorityClassFor(other), kNormalPriority) << other;
    }
}

TEST_F(ConverterRunnerTest, GivesBackTheExitCodeAsASignedValue) {
    for (int code : {-20, -25, 0, 3, 127, -128}) {
        int exitCode = 12345;
        ASSERT_EQ(
            runCalling(command("exit " + std::to_string(code)), &exitCode, kNormalPriority, 10, {}),
            1);
        EXPECT_EQ(exitCode, code);
    }
    int exitCode = 0;
    ASSERT_EQ(runCalling(command("exit -25"), &exitCode, priorityClassFor(0), 10, {}), 1);
    EXPECT_EQ(exitCode, -25);

    // An input that is no script is "not a video" to the fake.
    const std::string notAVideo = dir.file("plain.avi");
    std::ofstream(notAVideo) << "RIFF";
    std::vector<std::string> probe = {
        fakeConverterPath(), "-y", "-qzmap", channel.channelName(), "-qzind", "0", "-i", notAVideo};
    ASSERT_EQ(runCalling(probe, &exitCode, kNormalPriority, 10, {}), 1);
    EXPECT_EQ(exitCode, -20);
    EXPECT_EQ(runCalling(command("exit 1"), nullptr, kNormalPriority, 10, {}), 1)
        << "no exit-code out";
}

TEST_F(ConverterRunnerTest, DeathBySignalHasACodeOfItsOwn) {
    for (int signalNumber : {SIGKILL, SIGTERM, SIGSEGV}) {
        int exitCode = 0;
        ASSERT_EQ(runCalling(command("signal " + std::to_string(signalNumber)), &exitCode,
                             kNormalPriority, 10, {}),
                  1);
        EXPECT_EQ(exitCode, kSignalExitBase - signalNumber);
        EXPECT_LT(exitCode, -1000);
    }
}

TEST_F(ConverterRunnerTest, AProgramThatCannotStartGivesZeroAndLeavesTheCodeAlone) {
    const std::string notExecutable = writeFakeScript(dir, "plain", "exit 0");
    ASSERT_EQ(chmod(notExecutable.c_str(), 0644), 0);
    const std::vector<std::vector<std::string>> commands = {
        {dir.file("missing-converter"), "-y"},
        {notExecutable},
        {dir.path()},
        {"vidmill-fake-convert"},  // no search along PATH
        {""},
        {},
    };
    for (const auto& line : commands) {
        int exitCode = -1000;
        int calls = 0;
        EXPECT_EQ(runCalling(line, &exitCode, kNormalPriority, 10, [&] { ++calls; }), 0);
        EXPECT_EQ(runCalling(line, &exitCode, 19, 10, [&] { ++calls; }), 0);
        EXPECT_EQ(launchDetached(line), 0);
        EXPECT_EQ(exitCode, -1000);
        EXPECT_EQ(calls, 0);
    }
}

TEST_F(ConverterRunnerTest, AnEarlyEndIsSeenAtOnceWithOneProgressCall) {
    int calls = 0;
    int exitCode = -1000;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(runCalling(command("exit 0"), &exitCode, kNormalPriority, 60000, [&] { ++calls; }),
              1);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(exitCode, 0);
    // Well below the period: the runner did not sit out the whole of it.
    EXPECT_LT(waited, std::chrono::seconds(30));
}

TEST_F(ConverterRunnerTest, CallsProgressOncePerPeriodAndOnceMoreAtTheEnd) {
    // The stop request made in the third call ends the converter in some
    // later pass; while it runs, no pass is cut short.
    constexpr auto kPeriod = std::chrono::milliseconds(100);
    const int slot = channel.allocateSlot();
    std::vector<std::chrono::steady_clock::time_point> calls;
    int exitCode = 0;
    ASSERT_EQ(runCalling(command("onstop 7; sleep " + std::to_string(kLongWait), slot), &exitCode,
                         kNormalPriority, static_cast<int>(kPeriod.count()),
                         [&] {
                             calls.push_back(std::chrono::steady_clock::now());
                             if (calls.size() == 3) {
                                 channel.requestStop(slot);
                             }
                         }),
              1);
    EXPECT_EQ(exitCode, 7);
    ASSERT_GE(calls.size(), 4u) << "three passes, then at least the one in which it ended";
    for (std::size_t i = 1; i + 1 < calls.size(); ++i) {
        EXPECT_GE(calls[i] - calls[i - 1], kPeriod) << "pass " << i;
    }
}

TEST_F(ConverterRunnerTest, AWatchThatGivesUpKillsAConverterThatIgnoresTheStop) {
    const int slot = channel.allocateSlot();
    int calls = 0;
    int exitCode = 0;
    ASSERT_EQ(runConverterWatched(command("ignorestop; sleep " + std::to_string(kLongWait), slot),
                                  &exitCode, kKeepPriority, 20,
                                  [&] {
                                      channel.requestStop(slot);
                                      return ++calls < 2;
                                  }),
              1);
    EXPECT_GE(calls, 3) << "at least one more pass after the kill, in which it ended";
    EXPECT_EQ(exitCode, kSignalExitBase - SIGKILL);

    // A pass as long as the wait ends when the converter does: the watch
    // gives up in the very pass in which it ended.
    calls = 0;
    ASSERT_EQ(runConverterWatched(command("exit -25"), &exitCode, kKeepPriority, kLongWait,
                                  [&] {
                                      ++calls;
                                      return false;
                                  }),
              1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(exitCode, -25) << "nothing to kill once it has ended";
}

TEST_F(ConverterRunnerTest, ProgressOfTheConverterIsReadThroughTheChannel) {
    const int slot = channel.allocateSlot();
    std::vector<double> seen;
    double lastSeconds = 0;
    std::int64_t lastAmount = 0;
    int exitCode = -1;
    ASSERT_EQ(runCalling(command("duration 125.5; amount 5000; steps 0 100 25 20", slot), &exitCode,
                         kNormalPriority, 10,
                         [&] {
                             double percent = -1;
                             channel.readProgress(slot, percent, &lastAmount);
                             channel.readDuration(slot, lastSeconds);
                             seen.push_back(percent);
                         }),
              1);
    EXPECT_EQ(exitCode, 0);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), 100) << "the last call comes after the converter ended";
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(lastSeconds, 125.5);
    EXPECT_EQ(lastAmount, 4);
}

TEST_F(ConverterRunnerTest, TheConverterEndsWhenAskedToStop) {
    const int slot = channel.allocateSlot();
    bool stopped = false;
    int exitCode = 0;
    ASSERT_EQ(runCalling(command("duration 60; percent 40; onstop 9; sleep " +
                                     std::to_string(kLongWait) + "; exit 0",
                                 slot),
                         &exitCode, kNormalPriority, 10,
                         [&] {
                             double percent = 0;
                             channel.readProgress(slot, percent);
                             if (percent == 40 && !stopped) {
                                 channel.requestStop(slot);
                                 stopped = true;
                             }
                         }),
              1);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(exitCode, 9);
}

TEST_F(ConverterRunnerTest, StartsWithTheArgumentsAsGivenAndNothingInherited) {
    // A descriptor without close-on-exec must still not reach the converter.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    const std::string record = dir.file("record.txt");
    const std::string output = dir.file("out put \"quoted\" $HOME;.mp4");
    std::vector<std::string> line = command("record " + record + "; output 1000", 4, output);
    line.insert(line.begin() + 1, {"-vcodec", "a b", "-vol", "*"});
    int exitCode = -1;
    ASSERT_EQ(runCalling(line, &exitCode, kNormalPriority, 10, {}), 1);
    close(leaked);
    EXPECT_EQ(exitCode, 0);

    const std::vector<std::string> lines = recordLines(record);
    ASSERT_GE(lines.size(), 4u);
    errno = 0;
    EXPECT_EQ(lines[0], "nice=" + std::to_string(getpriority(PRIO_PROCESS, 0)));
    EXPECT_EQ(lines[1], "stdin=/dev/null");
    EXPECT_EQ(lines[2], "fds=0,1,2");
    // A group of its own: Ctrl+C in our terminal does not reach it, only its
    // stop byte does.
    EXPECT_NE(lines[3], "pgrp=" + std::to_string(getpgrp()));
    EXPECT_EQ(lines[3].rfind("pgrp=", 0), 0u);
    std::vector<std::string> arguments;
    for (std::size_t i = 4; i + 1 < lines.size(); ++i) {
        arguments.push_back(lines[i].substr(4));
    }
    EXPECT_EQ(arguments, line);
    EXPECT_EQ(std::filesystem::file_size(output), 1000u);
}

TEST_F(ConverterRunnerTest, HandsTheOutputOverAsItsOneExtraDescriptor) {
    // Whatever number it has here, the converter finds it as its descriptor 3.
    const std::string opened = dir.file("opened.mp4");
    const int fd = open(opened.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, 40);
    close(fd);
    const std::string record = dir.file("record.txt");
    const std::string named = dir.file("named.mp4");
    std::vector<std::string> line = command("record " + record + "; output 1000", 4, named);
    line.insert(line.end() - 1, {"-outfd", std::to_string(kOutputDescriptor)});
    int exitCode = -1;
    ASSERT_EQ(runConverterWatched(line, &exitCode, kKeepPriority, 10, {}, nullptr, 0, high), 1);
    close(high);
    EXPECT_EQ(exitCode, 0);
    const std::vector<std::string> lines = recordLines(record);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "fds=0,1,2,3");
    EXPECT_EQ(std::filesystem::file_size(opened), 1000u);
    EXPECT_FALSE(std::filesystem::exists(named)) << "written by name";
}

TEST_F(ConverterRunnerTest, TellsTheConverterHowManyConversionsShareTheCores) {
    // Only what this run says reaches the converter, never our own value.
    ASSERT_EQ(setenv(kConversionsAtOnceVariable, "7", 1), 0);
    const struct {
        int given;
        const char* seen;
    } cases[] = {{3, "3"}, {0, "none"}};
    for (const auto& c : cases) {
        const std::string record = dir.file("at-once-" + std::to_string(c.given));
        const std::vector<std::string> line = {
            "/bin/sh", "-c",
            std::string("echo ${") + kConversionsAtOnceVariable + ":-none} >\"$0\"", record};
        int exitCode = -1;
        ASSERT_EQ(runConverterWatched(line, &exitCode, kKeepPriority, 10, {}, nullptr, c.given), 1);
        EXPECT_EQ(exitCode, 0);
        std::ifstream file(record);
        std::string seen;
        std::getline(file, seen);
        EXPECT_EQ(seen, c.seen) << c.given;
    }
    unsetenv(kConversionsAtOnceVariable);
}

TEST_F(ConverterRunnerTest, RunsEveryThreadOfTheConverterAtTheChosenPriority) {
    // {our own nice value, the setting, the value it must get}: a step from
    // ours, so that Normal under `nice` is never above us, whoever we are.
    struct Case {
        int ours;
        int setting;
        int expected;
    };
    const bool privileged = geteuid() == 0;
    for (const Case& c : {Case{0, 0, 19}, Case{5, 2, 5}, Case{12, 1, 19}}) {
        if (c.expected < c.ours && !privileged) {
            continue;  // going back to a higher priority needs a privilege
        }
        const int slot = channel.allocateSlot();
        const std::string record =
            dir.file("nice" + std::to_string(c.ours) + "-" + std::to_string(c.setting) + ".txt");
        // The converter's threads exist before it looks; it waits for the
        // first progress call, after which the priority is in place.
        const std::vector<std::string> line = command(
            "threads 3; waitstop " + std::to_string(kLongWait) + "; recordnice " + record, slot);
        int exitCode = -1;
        const auto stop = [&] { channel.requestStop(slot); };
        // Nice values belong to threads here: a thread of its own keeps ours.
        std::thread([&] {
            setpriority(PRIO_PROCESS, 0, c.ours);
            runCalling(line, &exitCode, priorityClassFor(c.setting), 10, stop);
        }).join();
        EXPECT_EQ(exitCode, 0);
        // The main thread and the three it started, and any a sanitizer adds.
        const std::vector<std::string> lines = recordLines(record);
        ASSERT_EQ(lines.size(), 1u);
        std::vector<std::string> values;
        std::stringstream list(lines[0]);
        for (std::string value; std::getline(list, value, ',');) {
            values.push_back(value);
        }
        EXPECT_GE(values.size(), 4u);
        EXPECT_THAT(values, ::testing::Each(std::to_string(c.expected)));
        channel.releaseSlot(slot);
    }
}

TEST_F(ConverterRunnerTest, KeepsTheLastWordsOfTheConverterEvenAfterAFlood) {
    int exitCode = 0;
    std::string errors = "stale";
    // Far more than a pipe holds: the converter must never block on it.
    ASSERT_EQ(runConverterWatched(command("noise 300000; say cannot write: disk is full; exit 4"),
                                  &exitCode, kKeepPriority, 1000, {}, &errors),
              1);
    EXPECT_EQ(exitCode, 4);
    EXPECT_LE(errors.size(), kErrorTailBytes);
    EXPECT_THAT(errors, ::testing::EndsWith("\ncannot write: disk is full\n"));
}

TEST_F(ConverterRunnerTest, EndingTheRunningConvertersKillsOneThatIgnoresTerm) {
    const int slot = channel.allocateSlot();
    int exitCode = 0;
    std::thread runner([&] {
        runConverterWatched(
            command("ignoreterm; ignorestop; percent 1; sleep " + std::to_string(kLongWait), slot),
            &exitCode, kKeepPriority, 10, [] { return true; });
    });
    double percent = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongWait);
    while ((channel.readProgress(slot, percent) == 0 || percent < 1) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(percent, 1) << "the converter never got going";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(endRunningConverters(std::chrono::milliseconds(100)), 1);
    runner.join();
    // Killed after the grace, not left to sleep its time out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongWait / 2));
    EXPECT_EQ(exitCode, kSignalExitBase - SIGKILL);
    EXPECT_EQ(endRunningConverters(std::chrono::milliseconds(100)), 0) << "none left";
}

TEST_F(ConverterRunnerTest, EndingTheRunningConvertersReachesOneThatHasJustStarted) {
    // The moment a child of ours exists, the runner must already have it
    // listed: a program that quits right then must not leave it running.
    for (int round = 0; round < 5; ++round) {
        int exitCode = 0;
        std::thread runner(
            [&] { runCalling(command("sleep 5000"), &exitCode, kNormalPriority, 10, {}); });
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongWait);
        while (childrenOf(getpid()).empty() && std::chrono::steady_clock::now() < deadline) {
        }
        endRunningConverters(std::chrono::milliseconds(kLongWait));
        runner.join();
        EXPECT_EQ(exitCode, kSignalExitBase - SIGTERM) << "round " << round;
    }
}

TEST_F(ConverterRunnerTest, ConvertersDieWithTheirParentHoweverEarlyItDies) {
    // A reaper process adopts what its helpers leave behind. Each helper
    // starts a converter through the runner and is killed at once: in its
    // first progress call, a millisecond after the start, or at a random
    // moment around the start. Every converter must end, and soon.
    const std::vector<std::string> line = command("sleep 60000");
    std::fflush(nullptr);  // or the children would write our buffered output again
    const pid_t reaper = fork();
    if (reaper == 0) {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        constexpr int kTries = 30;
        for (int i = 0; i < kTries; ++i) {
            const pid_t helper = fork();
            if (helper == 0) {
                runConverterWatched(line, nullptr, kKeepPriority, 1, [] {
                    raise(SIGKILL);
                    return true;
                });
                _exit(0);
            }
            if (i % 2 == 1) {
                std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 10)));
                kill(helper, SIGKILL);
            }
            waitpid(helper, nullptr, 0);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            const pid_t ended = waitpid(-1, nullptr, WNOHANG);
            if (ended < 0) {
                _exit(0);  // no converter left
            }
            if (ended == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        const std::vector<pid_t> survivors = childrenOf(getpid());
        for (pid_t survivor : survivors) {
            kill(survivor, SIGKILL);
            waitpid(survivor, nullptr, 0);
        }
        _exit(static_cast<int>(std::min<std::size_t>(survivors.size(), 100)) + 1);
    }
    ASSERT_GT(reaper, 0);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (waitpid(reaper, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(reaper, SIGKILL);
            waitpid(reaper, &status, 0);
            FAIL() << "the reaper hung";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << WEXITSTATUS(status) - 1 << " converters outlived their parent";
}

TEST_F(ConverterRunnerTest, ADetachedProgramRunsAndLeavesNoZombie) {
    const std::string output = dir.file("played.txt");
    ASSERT_EQ(launchDetached(command("output 10; exit 0", -1, output)), 1);

    auto childrenOfOurs = [] { return childrenOf(getpid()).size(); };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongWait);
    while ((!std::filesystem::exists(output) || childrenOfOurs() > 0) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(std::filesystem::exists(output));
    std::string left;
    for (const pid_t child : childrenOf(getpid())) {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        left += " " + std::string((std::istreambuf_iterator<char>(stat)), {});
    }
    EXPECT_EQ(childrenOfOurs(), 0u) << "the program ended and was reaped; left:" << left;
}

}  // namespace
}  // namespace vidmill
