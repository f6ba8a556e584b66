// The engine's own cost: a batch of instant conversions through the fake
// converter against the same runs started back to back by a plain loop; one
// real conversion of a 1-second clip through the engine (probe included)
// against the converter run alone on it; 200 files admitted with parallel
// probes against one by one; and the processor time that waiting workers use.
//
//   build/bin/engine_bench [ENTRIES]     (default 2000; needs vidmill-fake-convert
//                                         beside it, and vidmill-convert and the
//                                         ffmpeg tool for the single file)

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include "support/engine_inspector.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "formats/converter_command.h"
#include "formats/format_preset.h"
#include "run_program.h"
#include "system/user_folders.h"

extern char** environ;

namespace vidmill {
namespace {

class QuietHost : public EngineHost {
  public:
    void message(MessageStyle, const std::string&) override {}
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

using bench::runProgram;

// The same runs as the engine makes, with the very command lines it builds
// (progress channel and slot included), started back to back.
Measure plainLoop(const std::string& fake, const std::vector<std::string>& scripts,
                  const std::string& out) {
    ProgressChannel channel;
    channel.openChannel();
    ConversionSettings settings;
    setDefaultSettings(settings);
    std::vector<std::vector<std::string>> commands;
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        auto entry = createEntry(scripts[i]);
        entry->progressSlot = channel.allocateSlot();
        channel.releaseSlot(entry->progressSlot);
        const std::string output = out + "/plain" + std::to_string(i) + ".mp4";
        commands.push_back(buildConvertCommand(fake, scripts[i], output, channel.channelName(),
                                               entry->progressSlot, settings, 0)
                               .args);
    }
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    for (const auto& command : commands) {
        runProgram(command);
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
    storeText(inspect(engine).settings().destinationFolder, out);
    inspect(engine).settings().maxConcurrent = 1;
    for (const std::string& script : scripts) {
        auto entry = createEntry(script);
        entry->status = EntryStatus::Ready;
        entry->kind = kLocalFileKind;
        inspect(engine).entryList().entries().append(entry);
    }
    inspect(engine).entryList().renumberRows();
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    engine.startBatch();
    while (engine.batchState() != BatchState::Idle) {
        gui.waitAndRun(std::chrono::milliseconds(50));
    }
    Measure m{seconds(Clock::now() - start), cpuSeconds() - cpuStart};
    engine.exitSweep();
    return m;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The median of `runs` wall times of `once`, each from its start, or from
// the moment that it gives back when it gives one, to the moment it returns.
template <typename Function>
double medianWall(int runs, Function once) {
    std::vector<double> walls;
    for (int i = 0; i < runs; ++i) {
        Clock::time_point start = Clock::now();
        if constexpr (std::is_same_v<decltype(once(i)), Clock::time_point>) {
            start = once(i);
        } else {
            once(i);
        }
        walls.push_back(seconds(Clock::now() - start));
    }
    return median(walls);
}

// One 1-second clip converted through the engine, admission included,
// against the converter alone with the same command line.
void singleFile(const std::string& dir) {
    const std::string converter = programFolder() + "/vidmill-convert";
    const std::string clip = dir + "/one-second.mp4";
    if (access(converter.c_str(), X_OK) != 0 ||
        !runProgram({"ffmpeg", "-nostdin", "-y", "-f", "lavfi", "-i",
                     "testsrc2=size=320x240:rate=25:duration=1", "-f", "lavfi", "-i",
                     "sine=frequency=440:duration=1", "-c:v", "libx264", "-c:a", "aac", "-shortest",
                     clip})) {
        std::printf("single file: skipped (needs %s and the ffmpeg tool)\n", converter.c_str());
        return;
    }
    constexpr int kRuns = 7;
    std::vector<std::string> lastCommand;
    // Admission (the probe) and the conversion timed apart: the probe is a
    // run of the converter of its own, which the converter alone does not do.
    std::vector<double> admissions;
    std::vector<double> lifetimes;
    const double viaEngine = medianWall(kRuns, [&](int run) {
        const auto made = Clock::now();
        std::optional<Clock::time_point> started;
        {
            QuietHost host;
            QueuedGuiCall gui;
            Engine engine(host, gui, converter);
            const std::string out = dir + "/engine" + std::to_string(run);
            mkdir(out.c_str(), 0755);
            storeText(inspect(engine).settings().destinationFolder, out);
            const auto admitStart = Clock::now();
            engine.admitFile(clip);
            admissions.push_back(seconds(Clock::now() - admitStart));
            started = Clock::now();
            engine.startBatch();
            while (engine.batchState() != BatchState::Idle) {
                gui.waitAndRun(std::chrono::milliseconds(50));
            }
        }
        lifetimes.push_back(seconds(Clock::now() - made));
        return *started;
    });
    // The very command line that the engine gives the converter.
    ConversionSettings settings;
    setDefaultSettings(settings);
    ProgressChannel channel;
    channel.openChannel();
    auto entry = createEntry(clip);
    entry->progressSlot = channel.allocateSlot();
    bool aloneOk = true;
    const double alone = medianWall(kRuns, [&](int run) {
        const std::string out =
            dir + "/alone" + std::to_string(run) + "." + presetExtension(settings.presetId);
        aloneOk = runProgram(buildConvertCommand(converter, clip, out, channel.channelName(),
                                                 entry->progressSlot, settings, 0)
                                 .args) &&
                  aloneOk;
    });
    if (!aloneOk) {
        std::printf("single file: the converter failed on its own\n");
        return;
    }
    std::printf("one 1-second clip, median of %d runs:\n", kRuns);
    std::printf("  converter alone              wall %.3f s\n", alone);
    std::printf("  conversion through engine    wall %.3f s\n", viaEngine);
    std::printf("  ratio engine/alone: wall %.3f\n", viaEngine / alone);
    std::printf(
        "  (besides: admission with its probe %.3f s; a whole engine's life, "
        "admission included, %.3f s)\n",
        median(admissions), median(lifetimes));
}

double waitingCpuPerSecond(const std::string& fake, const std::string& dir, int workers) {
    QuietHost host;
    QueuedGuiCall gui;
    EngineTiming timing;
    timing.maxLiveWorkers = workers;
    Engine engine(host, gui, fake, timing);
    storeText(inspect(engine).settings().destinationFolder, dir);
    inspect(engine).settings().maxConcurrent = 1;
    std::string longOne = dir + "/long.avi";
    std::ofstream(longOne) << "#vidmill-fake\nwaitstop 60000\noutput 1\nonstop 0\n";
    for (int i = 0; i < workers; ++i) {
        auto entry = createEntry(longOne);
        entry->status = EntryStatus::Ready;
        inspect(engine).entryList().entries().append(entry);
    }
    inspect(engine).entryList().renumberRows();
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

// Admission of many small files: one by one against admitFiles with its
// parallel probes, each probe sleeping a little as reading a real file's
// header does.
void parallelAdmission(const std::string& fake, const std::string& dir, int files) {
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
        paths.push_back(dir + "/probe" + std::to_string(i) + ".avi");
        std::ofstream(paths.back()) << "#vidmill-fake\nprobe: duration 5; probe: sleep 20\n";
    }
    auto admitWith = [&](bool parallel) {
        QuietHost host;
        QueuedGuiCall gui;
        Engine engine(host, gui, fake);
        const auto start = Clock::now();
        if (parallel) {
            engine.admitFiles(paths);
        } else {
            for (const std::string& path : paths) {
                engine.admitFile(path);
            }
        }
        const double wall = seconds(Clock::now() - start);
        if (engine.entryCount() != files) {
            std::printf("  (only %d of %d files admitted)\n", engine.entryCount(), files);
        }
        return wall;
    };
    const double oneByOne = admitWith(false);
    const double parallel = admitWith(true);
    std::printf("admission of %d files, each probe sleeping 20 ms (%u cores):\n", files,
                std::thread::hardware_concurrency());
    std::printf("  one by one     wall %.2f s\n", oneByOne);
    std::printf("  admitFiles     wall %.2f s\n", parallel);
    std::printf("  ratio admitFiles/one-by-one: wall %.3f\n", parallel / oneByOne);
}

}  // namespace
}  // namespace vidmill

int main(int argc, char** argv) {
    using namespace vidmill;
    const int entries = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string fake = programFolder() + "/vidmill-fake-convert";
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
    parallelAdmission(fake, dir, 200);
    singleFile(dir);
    const double waiting = waitingCpuPerSecond(fake, dir, entries);
    std::printf("%d waiting workers: %.4f cpu-seconds per second (%.2f%% of one core)\n", entries,
                waiting, waiting * 100);
    std::string cleanup = "rm -rf '" + dir + "'";
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
