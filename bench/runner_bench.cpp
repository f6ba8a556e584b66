// Starts and waits for a trivial program many times, once through the
// converter runner and once with bare posix_spawn + waitpid, and prints the
// runner's time as a ratio of the bare one. Rounds alternate so that a busy
// moment of the machine weighs on both sides alike.
//
// Usage: runner_bench [runs] [program]   (defaults: 400, /bin/true)

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process/converter_runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool spawnAndWait(const std::string& program) {
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool runThroughRunner(const std::vector<std::string>& command) {
    int exitCode = -1000;
    // The conversion's own poll period: an early end must still be seen at once.
    return vidmill::runConverterWatched(command, &exitCode, vidmill::kNormalPriority, 1000,
                                        [] { return true; }) == 1 &&
           exitCode == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 400;
    const std::string program = argc > 2 ? argv[2] : "/bin/true";
    if (runs <= 0) {
        std::fprintf(stderr, "runner_bench: the number of runs must be positive\n");
        return 2;
    }
    const std::vector<std::string> command = {program};
    if (!spawnAndWait(program) || !runThroughRunner(command)) {
        std::fprintf(stderr, "runner_bench: cannot run %s\n", program.c_str());
        return 1;
    }

    constexpr int kRounds = 10;
    Clock::duration bare{};
    Clock::duration runner{};
    for (int round = 0; round < kRounds; ++round) {
        const int batch = runs / kRounds + (round < runs % kRounds ? 1 : 0);
        auto start = Clock::now();
        for (int i = 0; i < batch; ++i) {
            spawnAndWait(program);
        }
        bare += Clock::now() - start;
        start = Clock::now();
        for (int i = 0; i < batch; ++i) {
            runThroughRunner(command);
        }
        runner += Clock::now() - start;
    }
    const double bareMs = std::chrono::duration<double, std::milli>(bare).count();
    const double runnerMs = std::chrono::duration<double, std::milli>(runner).count();
    std::printf("runs: %d of %s\n", runs, program.c_str());
    std::printf("posix_spawn + waitpid: %.3f ms per run\n", bareMs / runs);
    std::printf("runConverterNormal:    %.3f ms per run\n", runnerMs / runs);
    std::printf("ratio runner / bare:   %.3f\n", runnerMs / bareMs);
    return 0;
}
