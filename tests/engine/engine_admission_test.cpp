// Admission: probing files one by one and many at once, the list's limit,
// interrupted probes, and where below the destination an output may go.

#include "engine/engine.h"
#include "support/engine_inspector.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/batch/part_file.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "engine/list/history_file.h"
#include "support/engine_fixture.h"
#include "support/fake_converter.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "system/size_time_text.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

class EngineAdmissionTest : public EngineFixture {
  protected:
    explicit EngineAdmissionTest(EngineTiming timing = fastTiming()) : EngineFixture(timing) {}
};

TEST_F(EngineAdmissionTest, ProbeAdmitsWithTheDurationCutToWholeSeconds) {
    inspect(engine).settings().presetId = 210;
    admitOne(engine, video("a.avi", "probe: duration 95.8; exit 1"));
    admitOne(engine, video("b.avi", "probe: exit 0"));
    ASSERT_EQ(inspect(engine).entryList().count(), 2);
    const VideoEntry& a = *inspect(engine).entryList().at(0);
    EXPECT_EQ(a.duration, 95);
    EXPECT_EQ(a.status, EntryStatus::Ready);
    EXPECT_EQ(a.name, "a");
    EXPECT_EQ(a.presetId, 210);
    EXPECT_EQ(a.kind, kLocalFileKind);
    EXPECT_GT(a.sourceSize, 0u);
    EXPECT_EQ(inspect(engine).entryList().at(1)->duration, 0);
    EXPECT_EQ(inspect(engine).entryList().at(1)->row, 1);
    EXPECT_EQ(host.focused, 1);
    EXPECT_TRUE(engine.listModified());
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(engine.channel().highWater(), 1);  // the probe's slot went back
}

TEST_F(EngineAdmissionTest, InvalidVideoIsReportedWithItsPathAndNotAdded) {
    std::string path = video("odd name %s.avi", "probe: exit -20");
    admitOne(engine, path);
    EXPECT_EQ(inspect(engine).entryList().count(), 0);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0], path + " Invalid video");
}

TEST_F(EngineAdmissionTest, MissingConverterAddsNothingSilently) {
    RecordingHost otherHost;
    QueuedGuiCall otherGui;
    Engine lonely(otherHost, otherGui, dir.file("no-converter"), fastTiming());
    admitOne(lonely, video("a.avi", "probe: duration 5"));
    EXPECT_EQ(inspect(lonely).entryList().count(), 0);
    EXPECT_TRUE(otherHost.messages.empty());
}

TEST_F(EngineAdmissionTest, HangingProbeIsStoppedAndTheFileRejected) {
    EngineTiming timing = fastTiming();
    timing.probeTimeoutMs = 400;  // rejected either way, however slow the machine
    Engine impatient(host, gui, test::fakeConverterPath(), timing);
    auto start = std::chrono::steady_clock::now();
    admitOne(impatient, video("stuck.avi", "probe: duration 5; ignorestop; sleep 60000"));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(inspect(impatient).entryList().count(), 0);
    EXPECT_LT(took, 10s);
    // One that honours the stop byte ends at the first request.
    admitOne(impatient, video("slow.avi", "probe: duration 5; sleep 60000"));
    EXPECT_EQ(inspect(impatient).entryList().count(), 0);
}

TEST_F(EngineAdmissionTest, AdmissionBeyondTheLimitDropsTheOldest) {
    for (int i = 0; i < kMaxEntries; ++i) {
        inspect(engine).entryList().entries().append(createEntry("/old/" + std::to_string(i)));
    }
    admitOne(engine, video("new.avi", "probe: duration 3"));
    const EntryList& list = inspect(engine).entryList();
    ASSERT_EQ(list.count(), kMaxEntries);
    EXPECT_EQ(list.at(0)->sourcePath, "/old/1");
    EXPECT_EQ(list.at(kMaxEntries - 1)->name, "new");
    for (int i = 0; i < list.count(); i += 997) {
        EXPECT_EQ(list.at(i)->row, i);
    }
    EXPECT_EQ(list.at(kMaxEntries - 1)->row, kMaxEntries - 1);
    EXPECT_EQ(host.focused, kMaxEntries - 1);
}

TEST_F(EngineAdmissionTest, InterruptedProbeAdmitsNothing) {
    std::atomic<int> interrupt{0};
    engine.setProbeInterrupt(&interrupt);
    // Cut short once the probe runs: its server has started for the file.
    std::thread later([&] {
        const auto limit = std::chrono::steady_clock::now() + 60s;
        while (engine.probeServerIds().empty() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(5ms);
        }
        interrupt = 1;
    });
    auto start = std::chrono::steady_clock::now();
    admitOne(engine, video("slow.avi", "probe: duration 5; ignorestop; sleep 60000"));
    later.join();
    // Well short of the probe's minute of sleep.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
    EXPECT_EQ(inspect(engine).entryList().count(), 0);
}

// Many files admitted at once: the entries, their fields, the messages and the
// outcomes must be those of one-by-one admission, in the order given, however
// the probes overtake one another.
TEST_F(EngineAdmissionTest, ParallelAdmissionGivesTheResultsOfOneByOneInOrder) {
    struct Case {
        const char* name;
        const char* script;
        AdmitOutcome outcome;
    };
    const std::vector<Case> cases = {
        {"a.avi", "probe: sleep 150; duration 11", AdmitOutcome::Admitted},
        {"b.avi", "probe: duration 5; ignorestop; sleep 60000", AdmitOutcome::Unreadable},
        {"c.avi", "probe: exit -20", AdmitOutcome::InvalidMedia},
        {"d.avi", "probe: sleep 150; duration 33.9", AdmitOutcome::Admitted},
        {"e.avi", "probe: sleep 100; exit -20", AdmitOutcome::InvalidMedia},
        {"f.avi", "probe: sleep 150; duration 55", AdmitOutcome::Admitted},
        {"g.avi", "probe: sleep 150; duration 77", AdmitOutcome::Admitted},
    };
    std::vector<std::string> paths;
    std::vector<std::string> subfolders;
    for (const Case& c : cases) {
        paths.push_back(video(c.name, c.script));
        subfolders.push_back(std::string("sub/") + c.name);
    }

    RecordingHost oneHost;
    QueuedGuiCall oneGui;
    Engine oneByOne(oneHost, oneGui, test::fakeConverterPath(), fastTiming());
    for (const std::string& path : paths) {
        admitOne(oneByOne, path);
    }

    std::vector<std::pair<size_t, AdmitOutcome>> outcomes;
    AdmitOptions options;
    options.maxProbes = 4;
    options.outputSubfolders = subfolders;
    options.onResult = [&](size_t index, AdmitOutcome outcome) {
        // Each file's message comes before its outcome.
        if (outcome == AdmitOutcome::InvalidMedia) {
            EXPECT_EQ(host.messages.back(), paths[index] + " Invalid video");
        }
        outcomes.emplace_back(index, outcome);
    };
    EXPECT_EQ(engine.admitFiles(paths, options), 4);

    ASSERT_EQ(outcomes.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(outcomes[i], std::make_pair(i, cases[i].outcome)) << cases[i].name;
    }
    EXPECT_EQ(host.messages, oneHost.messages);
    const EntryList& list = inspect(engine).entryList();
    ASSERT_EQ(list.count(), inspect(oneByOne).entryList().count());
    for (int row = 0; row < list.count(); ++row) {
        const VideoEntry& got = *list.at(row);
        const VideoEntry& want = *inspect(oneByOne).entryList().at(row);
        EXPECT_EQ(got.sourcePath, want.sourcePath);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.duration, want.duration);
        EXPECT_EQ(got.sourceSize, want.sourceSize);
        EXPECT_EQ(got.status, EntryStatus::Ready);
        EXPECT_EQ(got.row, row);
        EXPECT_EQ(got.outputSubfolder, "sub/" + got.name + ".avi");
    }
    EXPECT_EQ(host.focused, list.count() - 1);
    double average = 0;
    EXPECT_EQ(engine.channel().readOverall(average), 0);  // every probe's slot went back
    EXPECT_LE(engine.channel().highWater(), 4);
    // The probes overlapped: two of them held slots at once. (Their times
    // tell nothing: the hanging one takes the probe limit either way.)
    EXPECT_GE(engine.channel().highWater(), 2);
}

// Many files go to a few probe servers. A server that dies on a file (killed
// from outside or by the file) or hangs on it costs that file a probe of its
// own, never a neighbour; every file is admitted once, in order; and the
// servers end once idle.
TEST(EngineProbeServerTest, ServersSurviveDeathsAndHangsAndEndWhenIdle) {
    TempDir dir;
    const std::string record = dir.file("runs");
    EngineTiming timing = fastTiming();
    timing.probeTimeoutMs = 3000;  // the hanging file's cost
    timing.probeIdleMs = 200;
    RecordingHost host;
    QueuedGuiCall gui;
    Engine engine(host, gui, test::fakeConverterPath(), timing);

    enum Kind { Good, KilledServer, Crash, Hang, Invalid };
    std::vector<Kind> kinds(50, Good);
    kinds[7] = KilledServer;
    kinds[23] = KilledServer;
    kinds[12] = Crash;
    kinds[31] = Hang;
    kinds[40] = Invalid;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        std::string script = "probe: record " + record + "\n";
        switch (kinds[i]) {
            case Good:
                break;
            case KilledServer:  // what the server dies of, a probe alone survives
                script += "server: signal 9\n";
                break;
            case Crash:
                script += "probe: signal 11\n";
                break;
            case Hang:
                script += "probe: ignorestop; sleep 60000\n";
                break;
            case Invalid:
                script += "probe: exit -20\n";
                break;
        }
        script += "probe: duration " + std::to_string(i + 1);
        paths.push_back(test::writeFakeScript(dir, "v" + std::to_string(i) + ".avi", script));
    }

    std::vector<AdmitOutcome> outcomes;
    std::set<pid_t> seenServers;
    AdmitOptions options;
    options.maxProbes = 3;
    options.onResult = [&](std::size_t, AdmitOutcome outcome) {
        outcomes.push_back(outcome);
        for (const pid_t pid : engine.probeServerIds()) {
            seenServers.insert(pid);
        }
    };
    EXPECT_EQ(engine.admitFiles(paths, options), 50 - 3);

    ASSERT_EQ(outcomes.size(), kinds.size());
    int row = 0;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        const AdmitOutcome want = kinds[i] == Invalid ? AdmitOutcome::InvalidMedia
                                  : kinds[i] == Crash || kinds[i] == Hang ? AdmitOutcome::Unreadable
                                                                          : AdmitOutcome::Admitted;
        EXPECT_EQ(outcomes[i], want) << i;
        if (want == AdmitOutcome::Admitted) {
            ASSERT_LT(row, inspect(engine).entryList().count());
            EXPECT_EQ(inspect(engine).entryList().at(row)->sourcePath, paths[i]);
            EXPECT_EQ(inspect(engine).entryList().at(row)->duration, int(i + 1));
            ++row;
        }
    }
    EXPECT_EQ(row, inspect(engine).entryList().count());
    EXPECT_EQ(host.messages, std::vector<std::string>{paths[40] + " Invalid video"});

    // Each converter is a process group of its own: its group is its pid.
    // Single probes ran only for the files a server died on, once each.
    std::ifstream runs(record);
    std::set<std::string> groups;
    int single = 0;
    int served = 0;
    std::string group;
    for (std::string line; std::getline(runs, line);) {
        if (line.rfind("pgrp=", 0) == 0) {
            group = line;
            groups.insert(line);
        } else if (line == "arg=-probeserver") {
            ++served;
        } else if (line == "arg=-y") {
            ++single;
        }
    }
    EXPECT_EQ(served, 50);
    EXPECT_EQ(single, 3);  // the two that killed their server, and the crash
    // Three servers, each replaced after a death or a hang, and three single probes.
    EXPECT_LE(groups.size(), 3u + 4u + 3u);
    EXPECT_FALSE(seenServers.empty());

    // Idle servers end; their processes are gone, not left as zombies.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!engine.probeServerIds().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(engine.probeServerIds().empty());
    for (const pid_t pid : seenServers) {
        while (kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_NE(kill(pid, 0), 0) << pid;
    }
}

class EngineLongProbeTest : public EngineAdmissionTest {
  protected:
    EngineLongProbeTest() : EngineAdmissionTest(longProbe()) {}
    static EngineTiming longProbe() {
        EngineTiming timing = fastTiming();
        timing.probeTimeoutMs = 60000;
        return timing;
    }
};

TEST_F(EngineLongProbeTest, ParallelAdmissionEndsAtTheInterruptAndReportsNothingMore) {
    std::atomic<int> interrupt{0};
    engine.setProbeInterrupt(&interrupt);
    const std::vector<std::string> paths = {
        video("quick.avi", "probe: duration 3"),
        video("stuck.avi", "probe: duration 5; ignorestop; sleep 60000"),
        video("bad.avi", "probe: exit -20"),
        video("later.avi", "probe: duration 4"),
    };
    std::vector<size_t> reported;
    int pumps = 0;
    AdmitOptions options;
    options.maxProbes = 2;
    options.onResult = [&](size_t index, AdmitOutcome) { reported.push_back(index); };
    // The window's event loop runs while it waits; there the user cancels.
    options.pump = [&] {
        if (++pumps == 10) {
            interrupt = 1;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.admitFiles(paths, options), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_GE(pumps, 10);
    EXPECT_EQ(reported, std::vector<size_t>{0});
    ASSERT_EQ(inspect(engine).entryList().count(), 1);
    EXPECT_EQ(inspect(engine).entryList().at(0)->name, "quick");
    EXPECT_TRUE(host.messages.empty());
    double average = 0;
    EXPECT_EQ(engine.channel().readOverall(average), 0);
}

TEST(OutputSubfolderTest, StaysBelowTheDestination) {
    struct Case {
        const char* subfolder;
        const char* folder;  // null: refused
    } cases[] = {
        {"", "/out"},    {".", "/out"},       {"a/b", "/out/a/b"}, {"a//b/./c/", "/out/a/b/c"},
        {"..", nullptr}, {"a/../b", nullptr}, {"/etc", nullptr},   {"a/..b", "/out/a/..b"},
    };
    for (const Case& c : cases) {
        std::string folder = "unchanged";
        EXPECT_EQ(joinOutputSubfolder("/out", c.subfolder, &folder), c.folder != nullptr)
            << c.subfolder;
        if (c.folder != nullptr) {
            EXPECT_EQ(folder, c.folder) << c.subfolder;
        }
    }
}

}  // namespace
}  // namespace vidmill
