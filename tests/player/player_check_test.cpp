// vidmill-play --check: the length of a file it can play, a clear refusal of
// one it cannot, and usage errors.

#include "player/player_options.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace vidmill {
namespace {

struct Outcome {
    int status = -1;  // exit status, or -1 when killed
    std::string out;
    std::string err;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a program with stdout and stderr kept apart; one that is still running
// after the timeout is killed, so a hang fails the test instead of stalling it.
Outcome run(const TempDir& dir, std::vector<std::string> argv,
            std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const std::string outPath = dir.file("stdout.txt");
    const std::string errPath = dir.file("stderr.txt");
    std::vector<char*> args;
    for (std::string& arg : argv) {
        args.push_back(arg.data());
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(out, 1);
        dup2(err, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << argv[0] << " did not end within " << timeout.count() << " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) {
        outcome.status = WEXITSTATUS(status);
    }
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    return outcome;
}

Outcome check(const TempDir& dir, const std::string& path) {
    return run(dir, {VIDMILL_PLAYER_PATH, "--check", path});
}

TEST(PlayerCheck, ReportsTheLengthOfAClipWithPictureAndSound) {
    TempDir dir;
    const std::string clip = dir.file("clip.mp4");
    const Outcome made =
        run(dir, {"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                  "testsrc2=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
                  "sine=duration=2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest", clip});
    ASSERT_EQ(made.status, 0) << made.err;

    const Outcome result = check(dir, clip);
    EXPECT_EQ(result.status, 0) << result.err;
    double seconds = 0.0;
    ASSERT_EQ(std::sscanf(result.out.c_str(), "duration %lf", &seconds), 1) << result.out;
    EXPECT_NEAR(seconds, 2.0, 0.15);
}

TEST(PlayerCheck, RefusesWhatItCannotPlayWithTheReason) {
    TempDir dir;
    const std::string text = dir.file("notes.avi");
    std::ofstream(text) << "These are notes, not a video.\n";
    const std::string missing = dir.file("missing.mp4");

    const Outcome notMedia = check(dir, text);
    EXPECT_EQ(notMedia.status, 1);
    EXPECT_EQ(notMedia.out, "");
    EXPECT_EQ(notMedia.err.rfind("vidmill-play: cannot play " + text + ": ", 0), 0u)
        << notMedia.err;

    const Outcome gone = check(dir, missing);
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "vidmill-play: cannot play " + missing + ": No such file or directory\n");

    const Outcome folder = check(dir, dir.path());
    EXPECT_EQ(folder.status, 1);
    EXPECT_NE(folder.err.find("it is a folder"), std::string::npos) << folder.err;
}

TEST(PlayerCheck, UsageErrorsExitWithTwo) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{VIDMILL_PLAYER_PATH},
          std::vector<std::string>{VIDMILL_PLAYER_PATH, "--check"},
          std::vector<std::string>{VIDMILL_PLAYER_PATH, "--loop", "clip.mp4"},
          std::vector<std::string>{VIDMILL_PLAYER_PATH, "a.mp4", "b.mp4"},
          std::vector<std::string>{VIDMILL_PLAYER_PATH, "--over", "1,2,3", "clip.mp4"},
          std::vector<std::string>{VIDMILL_PLAYER_PATH, "--over", "1,2,0,4", "clip.mp4"}}) {
        const Outcome result = run(dir, args);
        EXPECT_EQ(result.status, 2) << args.back();
        EXPECT_NE(result.err.find("Usage: vidmill-play"), std::string::npos) << result.err;
        EXPECT_EQ(result.out, "");
    }
}

TEST(PlayerCheck, TheWindowOpensCentredOverItsCallerAndOnTheScreen) {
    using player::Area;
    const Area screen{0, 0, 1920, 1080};
    struct Case {
        Area over;
        Area placed;
    };
    for (const Case& c : {Case{{100, 100, 800, 600}, {180, 220, 640, 360}},
                          Case{{-300, 900, 400, 300}, {0, 720, 640, 360}},
                          Case{{1800, 10, 200, 100}, {1280, 0, 640, 360}}}) {
        EXPECT_EQ(player::centredOver(640, 360, c.over, screen), c.placed);
    }
    const player::Request request =
        player::parseArguments({"--over", "-5,10,800,600", "--", "-x.mp4"});
    const auto& play = std::get<player::PlayRequest>(request);
    EXPECT_EQ(play.over, (Area{-5, 10, 800, 600}));
    EXPECT_EQ(play.path, "-x.mp4");
}

}  // namespace
}  // namespace vidmill
