#pragma once

// What the engine tests share: a host that records what the engine tells its
// window, quick timings, small helpers for files and admission, and a
// fixture with an engine over the fake converter.

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include "support/engine_inspector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/batch/part_file.h"
#include "engine/engine.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "support/fake_converter.h"
#include "support/temp_dir.h"

namespace vidmill {

// Records what the engine tells its window.
class RecordingHost : public EngineHost {
  public:
    void message(MessageStyle style, const std::string& text) override { messages.push_back(text); }
    void entriesAdded(int lastRow) override {
        ++refreshes;
        focused = lastRow;
    }
    void batchProgress(int percent, const std::string& text) override {
        progressTexts.push_back(text);
        int running = 0;
        int live = 0;
        if (std::sscanf(text.c_str(), "%d / %d", &running, &live) == 2) {
            maxRunning = std::max(maxRunning, running);
            maxLive = std::max(maxLive, live);
        }
    }
    void batchStarted() override { batchEvents.push_back(true); }
    void workerStarted() override { ++workersStarted; }
    void workerEnded() override { ++workersEnded; }
    void batchEnded(bool stopped) override {
        batchEvents.push_back(false);
        endedStopped.push_back(stopped);
    }

    // The row that the last admission showed.
    int focused = -1;
    int refreshes = 0;
    int workersStarted = 0;
    int workersEnded = 0;
    int maxRunning = 0;
    int maxLive = 0;
    // true at each batch's start, false at its end.
    std::vector<bool> batchEvents;
    // For each batch that ended: whether it was stopped.
    std::vector<bool> endedStopped;
    std::vector<std::string> messages;
    std::vector<std::string> progressTexts;
};

inline EngineTiming fastTiming() {
    EngineTiming timing;
    timing.admissionPollMs = 10;
    timing.progressPollMs = 20;
    timing.probePollMs = 2;
    // A probe of the fake ends in milliseconds, but a loaded machine may
    // take far longer to start it: only the tests of hanging probes want
    // the limit to strike.
    timing.probeTimeoutMs = 5000;
    timing.probeGraceMs = 300;
    return timing;
}

// Adds one file as the window and the terminal add files: through the
// admission of many. Gives how many were admitted (0 or 1).
inline int admitOne(Engine& engine, const std::string& path) {
    return engine.admitFiles({path});
}

// The names in `folder`, hidden ones included, sorted.
inline std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(folder)) {
        names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Writes a part file as a run killed with its converters leaves it: with
// Vidmill's mark on it, and no lock.
inline void leaveMarkedPart(const std::string& path, const std::string& content) {
    std::ofstream(path) << content;
    const std::string owner = std::to_string(getuid());
    ASSERT_EQ(setxattr(path.c_str(), kPartMark, owner.data(), owner.size(), 0), 0);
}

inline bool exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// An engine over the fake converter, its destination a scratch folder.
class EngineFixture : public ::testing::Test {
  protected:
    explicit EngineFixture(EngineTiming timing = fastTiming())
        : engine(host, gui, test::fakeConverterPath(), timing) {
        out = dir.file("out");
        mkdir(out.c_str(), 0755);
        storeText(inspect(engine).settings().destinationFolder, out);
    }

    // A "video" that the fake converter runs as its script.
    std::string video(const std::string& name, const std::string& script) {
        return test::writeFakeScript(dir, name, script);
    }

    // Admits a video whose probe reports 10 seconds and whose conversion runs
    // `convert`; with a start log named, every run appends its arguments there.
    void addVideo(const std::string& name, const std::string& convert) {
        const int before = inspect(engine).entryList().count();
        const std::string record = log.empty() ? std::string() : "convert: record " + log + "\n";
        admitOne(engine, video(name, "probe: duration 10\nprobe: exit 0\n" + record + convert));
        ASSERT_EQ(inspect(engine).entryList().count(), before + 1) << name;
    }

    bool runBatch(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        engine.startBatch();
        return drain(limit);
    }

    // Runs the workers' calls until the batch is over.
    bool drain(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (engine.batchState() != BatchState::Idle) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            gui.waitAndRun(std::chrono::milliseconds(5));
        }
        gui.runPending();
        return true;
    }

    template <typename Predicate>
    bool drainUntil(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            gui.waitAndRun(std::chrono::milliseconds(5));
        }
        return true;
    }

    EntryStatus status(int row) { return inspect(engine).entryList().at(row)->status.load(); }
    // The identities of the entries at `rows`, for the stop command.
    std::vector<std::uint64_t> ids(const std::vector<int>& rows) {
        std::vector<std::uint64_t> found;
        for (int row : rows) {
            found.push_back(inspect(engine).entryList().at(row)->id);
        }
        return found;
    }

    TempDir dir;
    std::string out;
    // Where addVideo has the conversions note their arguments; empty: nowhere.
    std::string log;
    RecordingHost host;
    QueuedGuiCall gui;
    Engine engine;
};

}  // namespace vidmill
