// The engine's own cost: a batch of instant conversions through the fake
// converter against the same runs started back to back by a plain loop, and
// the processor time that waiting workers use.
//
//   build/bin/engine_bench [ENTRIES]     (default 2000; needs vidmill-fake-convert beside it)

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "system/user_folders.h"

extern char** environ;

namespace vidmill {
namespace {

class QuietHost : public EngineHost {
  public:
    void SetConvertingState(bool) override {}
    void UpdateCommandStates() override {}
    void RefreshEntryList() override {}
    void ShowEntryCount() override {}
    void ShowSettingsStrip() override {}
    int AppMessageBox(int, const std::string&) override { return 1; }
    void lvdUpdate(int) override {}
    void lvdGoto(int) override {}
    void showBatchProgress(int, const std::string&) override {}
    void setBatchControls(bool) override {}
    bool editBatchSettings(int) override { return true; }
    void saveSettings() override {}
    bool confirmShutdown() override { return true; }
    void openAddVideos() override {}
    int focusedRow() override { return -1; }
    void closeMainWindow() override {}
    bool closing() override { return false; }
};

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double cpuSeconds() {
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    auto sum = [](const rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    return sum(self) + sum(children);
}

struct Measure {
    double wall;
    double cpu;
};

Measure plainLoop(const std::string& fake, const std::vector<std::string>& scripts,
                  const std::string& out) {
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    int index = 0;
    for (const std::string& script : scripts) {
        std::string output = out + "/plain" + std::to_string(index++) + ".mp4";
        std::vector<std::string> args = {fake, "-y",     "-i", script, "-qzmap",
                                         "0",  "-qzind", "-1", output};
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        pid_t pid;
        if (posix_spawn(&pid, fake.c_str(), nullptr, nullptr, argv.data(), environ) == 0) {
            int status;
            waitpid(pid, &status, 0);
        }
    }
    return {seconds(Clock::now() - start), cpuSeconds() - cpuStart};
}

Measure engineBatch(const std::string& fake, const std::vector<std::string>& scripts,
                    const std::string& out, int pollMs) {
    QuietHost host;
    QueuedGuiCall gui;
    EngineTiming timing;
    timing.admissionPollMs = pollMs;
    Engine engine(host, gui, fake, timing);
    storeText(engine.settings().destinationFolder, out);
    engine.settings().maxConcurrent = 1;
    for (const std::string& script : scripts) {
        auto entry = createEntry(script);
        entry->status = EntryStatus::Ready;
        entry->kind = kLocalFileKind;
        engine.entryList().entries().append(entry);
    }
    engine.entryList().renumberRows();
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    engine.startBatch();
    while (!engine.batchIdle()) {
        gui.waitAndRun(std::chrono::milliseconds(50));
    }
    Measure m{seconds(Clock::now() - start), cpuSeconds() - cpuStart};
    engine.exitSweep();
    return m;
}

double waitingCpuPerSecond(const std::string& fake, const std::string& dir, int workers) {
    QuietHost host;
    QueuedGuiCall gui;
    EngineTiming timing;
    timing.maxLiveWorkers = workers;
    Engine engine(host, gui, fake, timing);
    storeText(engine.settings().destinationFolder, dir);
    engine.settings().maxConcurrent = 1;
    std::string longOne = dir + "/long.avi";
    std::ofstream(longOne) << "#vidmill-fake\nwaitstop 60000\noutput 1\nonstop 0\n";
    for (int i = 0; i < workers; ++i) {
        auto entry = createEntry(longOne);
        entry->status = EntryStatus::Ready;
        engine.entryList().entries().append(entry);
    }
    engine.entryList().renumberRows();
    engine.startBatch();
    // Let every worker start and settle into waiting.
    const auto settle = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < settle) {
        gui.waitAndRun(std::chrono::milliseconds(50));
    }
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(5);
    while (Clock::now() < end) {
        gui.waitAndRun(std::chrono::milliseconds(50));
    }
    const double perSecond = (cpuSeconds() - cpuStart) / seconds(Clock::now() - start);
    engine.exitSweep();
    return perSecond;
}

}  // namespace
}  // namespace vidmill

int main(int argc, char** argv) {
    using namespace vidmill;
    const int entries = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string fake = ProgramFolder() + "/vidmill-fake-convert";
    if (access(fake.c_str(), X_OK) != 0 || entries <= 0) {
        std::fprintf(stderr, "usage: engine_bench [ENTRIES]; needs %s\n", fake.c_str());
        return 2;
    }
    char pattern[] = "/tmp/vidmill-bench-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    // Distinct names, as real videos have.
    std::vector<std::string> scripts;
    for (int i = 0; i < entries; ++i) {
        scripts.push_back(dir + "/instant" + std::to_string(i) + ".avi");
        std::ofstream(scripts.back()) << "#vidmill-fake\noutput 1\n";
    }

    Measure plain = plainLoop(fake, scripts, dir);
    Measure fast = engineBatch(fake, scripts, dir, 500);
    std::printf("batch of %d instant conversions, one at a time:\n", entries);
    std::printf("  plain loop     wall %.2f s  cpu %.2f s\n", plain.wall, plain.cpu);
    std::printf("  engine         wall %.2f s  cpu %.2f s\n", fast.wall, fast.cpu);
    std::printf("  ratio engine/plain: wall %.3f  cpu %.3f\n", fast.wall / plain.wall,
                fast.cpu / plain.cpu);
    const double waiting = waitingCpuPerSecond(fake, dir, entries);
    std::printf("%d waiting workers: %.4f cpu-seconds per second (%.2f%% of one core)\n", entries,
                waiting, waiting * 100);
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
