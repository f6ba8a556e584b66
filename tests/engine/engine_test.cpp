#include "engine/engine.h"
#include "support/engine_inspector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/batch/part_file.h"
#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "engine/list/entry_status_text.h"
#include "engine/list/history_file.h"
#include "support/engine_fixture.h"
#include "support/fake_converter.h"
#include "support/file_bytes.h"
#include "support/temp_dir.h"
#include "system/size_time_text.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

class EngineTest : public EngineFixture {
  protected:
    explicit EngineTest(EngineTiming timing = fastTiming()) : EngineFixture(timing) {
        log = dir.file("starts.log");
    }

    // The sources in the order in which their conversions started.
    std::vector<std::string> startOrder() {
        std::vector<std::string> order;
        std::string text = fileBytes(log);
        std::string previous;
        size_t at = 0;
        while ((at = text.find("arg=", at)) != std::string::npos) {
            size_t end = text.find('\n', at);
            std::string arg = text.substr(at + 4, end - at - 4);
            if (previous == "-i") {
                order.push_back(arg.substr(arg.rfind('/') + 1));
            }
            previous = arg;
            at = end;
        }
        return order;
    }
};

TEST_F(EngineTest, OneAtATimeConvertsInListOrder) {
    inspect(engine).settings().maxConcurrent = 1;
    for (const char* name : {"c.avi", "a.avi", "d.avi", "b.avi"}) {
        addVideo(name, "steps 0 100 50 5; output 1000");
    }
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"c.avi", "a.avi", "d.avi", "b.avi"}));
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(status(row), EntryStatus::Ok);
        EXPECT_EQ(inspect(engine).entryList().at(row)->size, 1000u);
    }
    EXPECT_EQ(host.maxRunning, 1);
    EXPECT_EQ(engine.finishedCount(), 4);
    EXPECT_EQ(host.batchEvents, (std::vector<bool>{true, false}));
    EXPECT_EQ(host.endedStopped, std::vector<bool>{false});
    EXPECT_EQ(host.workersStarted, 4);
    EXPECT_EQ(host.workersEnded, 4);
    EXPECT_EQ(engine.channel().highWater(), 0);  // reset at the end
}

TEST_F(EngineTest, NeverMoreConvertersThanAllowedWhileAllWorkersLive) {
    inspect(engine).settings().maxConcurrent = 3;
    for (int i = 0; i < 10; ++i) {
        addVideo("v" + std::to_string(i) + ".avi", "steps 0 100 25 20; output 10");
    }
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(host.maxRunning, 3);
    EXPECT_EQ(host.maxLive, 10);
    for (int row = 0; row < 10; ++row) {
        EXPECT_EQ(status(row), EntryStatus::Ok);
    }
    // Outputs never share a name.
    std::vector<std::string> outputs;
    for (const auto& entry : inspect(engine).entryList().entries()) {
        outputs.push_back(entry->outputPath);
    }
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(std::unique(outputs.begin(), outputs.end()), outputs.end());
}

TEST_F(EngineTest, WaitingLooksAtMostFiftyEntriesBack) {
    for (int i = 0; i < 52; ++i) {
        auto entry = createEntry("/v/" + std::to_string(i));
        entry->status = i == 0 ? EntryStatus::Pending : EntryStatus::Ok;
        inspect(engine).entryList().entries().append(entry);
    }
    inspect(engine).entryList().renumberRows();
    std::lock_guard lock(inspect(engine).mutex());
    EXPECT_TRUE(inspect(engine).waitsForEarlierEntry(1));
    EXPECT_TRUE(inspect(engine).waitsForEarlierEntry(50));
    EXPECT_FALSE(inspect(engine).waitsForEarlierEntry(51));
    EXPECT_FALSE(inspect(engine).waitsForEarlierEntry(0));
}

TEST_F(EngineTest, StoppedPendingEntryNeverStartsAndStillCountsAsFinished) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("first.avi", "steps 0 100 10 30; output 10");
    addVideo("second.avi", "output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil(
        [&] { return status(1) == EntryStatus::Pending && status(0) != EntryStatus::Pending; }));
    EXPECT_EQ(engine.stopEntries(ids({1})), 1);
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(status(1), EntryStatus::Cancelled);
    EXPECT_EQ(startOrder(), std::vector<std::string>{"first.avi"});
    EXPECT_EQ(engine.finishedCount(), 2);
}

TEST_F(EngineTest, StopOfARunningConversionCancelsIt) {
    addVideo("long.avi", "onstop 0; output 10; steps 0 100 1 50");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return status(0) == EntryStatus::Converting; }));
    EXPECT_EQ(engine.stopEntries(ids({0})), 1);
    ASSERT_TRUE(drain(5s));
    EXPECT_EQ(status(0), EntryStatus::Cancelled);
}

TEST_F(EngineTest, ABatchMarkedStoppedGoesOnAndEndsAsStopped) {
    // Stop All answered No: nothing stops, but the end says "stopped", so
    // that no exit or power-off follows.
    addVideo("a.avi", "steps 0 100 20 20; output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return engine.liveWorkers() > 0; }));
    engine.markBatchStopped();
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    // The next batch starts unmarked.
    addVideo("b.avi", "output 10");
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(host.endedStopped, (std::vector<bool>{true, false}));
    EXPECT_FALSE(engine.stopAllFlag());
}

TEST_F(EngineTest, OverallProgressCountsRunningAndFinishedConversions) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("done.avi", "output 10");
    addVideo("half.avi", "percent 50; waitstop 20000; output 10; onstop 0");
    addVideo("c.avi", "output 10");
    addVideo("d.avi", "output 10");
    engine.startBatch();
    const std::string wanted = "1 / 3  37%";
    ASSERT_TRUE(drainUntil([&] {
        return std::find(host.progressTexts.begin(), host.progressTexts.end(), wanted) !=
               host.progressTexts.end();
    }));
    engine.stopAll();
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(status(1), EntryStatus::Cancelled);
    EXPECT_EQ(status(2), EntryStatus::Cancelled);
    EXPECT_EQ(host.endedStopped, std::vector<bool>{true});
}

TEST_F(EngineTest, StoppedVideosAreCountedAndRequeuedOnlyWhileIdle) {
    addVideo("a.avi", "output 10");
    addVideo("b.avi", "output 10");
    addVideo("c.avi", "output 10; percent 5; waitstop 20000; onstop 0");
    inspect(engine).entryList().at(0)->status = EntryStatus::Cancelled;
    inspect(engine).entryList().at(1)->status = EntryStatus::Cancelled;
    EXPECT_EQ(engine.readyCount(), 1);
    EXPECT_EQ(engine.stoppedCount(), 2);
    engine.startBatch();
    EXPECT_EQ(engine.requeueStopped(), 0);  // the batch's entries are held
    EXPECT_EQ(status(0), EntryStatus::Cancelled);
    engine.stopAll();
    ASSERT_TRUE(drain());
    EXPECT_EQ(engine.stoppedCount(), 3);
    EXPECT_EQ(engine.requeueStopped(), 3);
    EXPECT_EQ(engine.readyCount(), 3);
    EXPECT_EQ(engine.stoppedCount(), 0);
}

TEST_F(EngineTest, RefusedAudioOptionsAreRetriedWithoutThem) {
    inspect(engine).settings().converterPriority = 0;  // the retry runs at normal priority anyway
    addVideo("a.avi", "audio: exit -25\nfallback: output 500");
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(startOrder().size(), 2u);
    std::string log_ = fileBytes(log);
    size_t second = log_.find("end", 0);
    EXPECT_NE(log_.find("nice=0", second), std::string::npos);
}

TEST_F(EngineTest, EmptyOrMissingOutputIsAnErrorAndTheFileGoes) {
    addVideo("empty.avi", "output 0");
    addVideo("none.avi", "exit 0");
    addVideo("failed.avi", "output 100; exit 3");
    ASSERT_TRUE(runBatch());
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(status(row), EntryStatus::ConversionError) << row;
        EXPECT_FALSE(exists(inspect(engine).entryList().at(row)->outputPath)) << row;
    }
}

TEST_F(EngineTest, ExitSweepKeepsOkEntriesAndTheirFiles) {
    addVideo("good.avi", "output 100");
    addVideo("bad.avi", "output 100; exit 3");
    ASSERT_TRUE(runBatch());
    addVideo("ready.avi", "output 100");
    std::string kept = inspect(engine).entryList().at(0)->outputPath;
    // A stopped entry that once had the same output name as the good one.
    auto stopped = createEntry("/v/old.avi");
    stopped->status = EntryStatus::Cancelled;
    stopped->outputPath = kept;
    inspect(engine).entryList().entries().append(stopped);
    // A stopped entry whose part file an earlier run left behind, and whose
    // final name some other program has written meanwhile.
    const std::string foreign = out + "/partial.mp4";
    const std::string partial = partPathFor(foreign);
    leaveMarkedPart(partial, "x");
    std::ofstream(foreign) << "not ours";
    auto partialEntry = createEntry("/v/partial.avi");
    partialEntry->status = EntryStatus::Cancelled;
    partialEntry->outputPath = foreign;
    inspect(engine).entryList().entries().append(partialEntry);

    engine.exitSweep();
    ASSERT_EQ(inspect(engine).entryList().count(), 1);
    EXPECT_EQ(inspect(engine).entryList().at(0)->name, "good");
    EXPECT_EQ(inspect(engine).entryList().at(0)->row, 0);
    EXPECT_TRUE(exists(kept));
    EXPECT_FALSE(exists(partial));
    EXPECT_TRUE(exists(foreign));
}

TEST_F(EngineTest, ExitSweepStopsRunningConversionsAndRemovesTheirOutputs) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("running.avi", "output 10; steps 0 100 1 50; onstop 0");
    addVideo("waiting.avi", "output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return status(0) == EntryStatus::Converting; }));
    std::string running;
    {
        std::lock_guard lock(inspect(engine).mutex());
        running = inspect(engine).entryList().at(0)->outputPath;
    }
    engine.exitSweep();
    EXPECT_TRUE(engine.batchState() == BatchState::Idle);
    EXPECT_EQ(inspect(engine).entryList().count(), 0);
    EXPECT_FALSE(exists(running));
}

TEST_F(EngineTest, OnlyWholeOutputsTakeFinalNamesAndNoneReplacesAFile) {
    auto outputOf = [&](int row) {
        std::lock_guard lock(inspect(engine).mutex());
        return inspect(engine).entryList().at(row)->outputPath;
    };
    auto partWritten = [&] {
        return status(0) == EntryStatus::Converting && exists(partPathFor(outputOf(0)));
    };
    // Stopped after writing a cut file that the converter closed properly.
    addVideo("clip.avi", "output 10; waitstop 20000; onstop 0");
    engine.startBatch();
    ASSERT_TRUE(drainUntil(partWritten));
    const std::string plain = outputOf(0);
    EXPECT_FALSE(exists(plain));
    engine.stopAll();
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Cancelled);
    EXPECT_TRUE(std::filesystem::is_empty(out)) << "no cut file, under any name";

    // Converted again: the plain name is still free. A file that someone
    // else writes there meanwhile stays, and the output takes the next name.
    video("clip.avi", "probe: duration 10\nconvert: output 10; sleep 3000");
    ASSERT_EQ(inspect(engine).entryList().requeueCancelled(), 1);
    engine.startBatch();
    ASSERT_TRUE(drainUntil(partWritten));
    EXPECT_EQ(outputOf(0), plain);
    std::ofstream(plain) << "someone else's";
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(fileBytes(plain), "someone else's");
    EXPECT_EQ(outputOf(0), out + "/clip(1).mp4");
    EXPECT_EQ(std::filesystem::file_size(outputOf(0)), 10u);
    EXPECT_FALSE(exists(partPathFor(plain)));
}

TEST_F(EngineTest, AFinishedEntryIsRecordedBeforeTheNextConversionStarts) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("first.avi", "output 10");
    addVideo("failing.avi", "exit 3");
    addVideo("last.avi", "output 10");
    // What the history would get: the entries' statuses, and how many
    // conversions had started, at each call.
    std::vector<std::pair<std::vector<EntryStatus>, std::size_t>> calls;
    engine.setFinishedHook([&] {
        std::lock_guard lock(inspect(engine).mutex());
        calls.push_back({{status(0), status(1), status(2)}, startOrder().size()});
    });
    ASSERT_TRUE(runBatch());
    using S = EntryStatus;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].first[0], S::Ok);
    EXPECT_EQ(calls[0].second, 1u);
    EXPECT_EQ(calls[1].first[1], S::ConversionError);
    EXPECT_EQ(calls[1].second, 2u);
    EXPECT_EQ(calls[2].first[2], S::Ok);
}

// A file that a watch found is converted only while its name still leads to
// that file, and the converter reads the file held open, not the name.
TEST_F(EngineTest, AFoundFileIsConvertedOnlyWhileItIsTheFileFound) {
    const std::string elsewhere = video("private.avi", "probe: exit 0\nconvert: output 99");
    const struct {
        const char* name;
        std::function<void(const std::string& path)> change;
    } cases[] = {
        {"kept.avi", [](const std::string&) {}},
        {"linked.avi",
         [&](const std::string& path) {
             ASSERT_EQ(::unlink(path.c_str()), 0);
             ASSERT_EQ(::symlink(elsewhere.c_str(), path.c_str()), 0);
         }},
        {"rewritten.avi",
         [](const std::string& path) { std::ofstream(path, std::ios::app) << "output 99\n"; }},
    };
    for (const auto& c : cases) {
        const std::string path = video(c.name, "probe: duration 10\nprobe: exit 0\noutput 10");
        AdmitOptions options;
        const FileDescriptor found(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        options.sourceIdentities.push_back(fileIdentityOf(found.get()));
        ASSERT_EQ(engine.admitFiles({path}, options), 1);
        c.change(path);
    }
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(std::filesystem::file_size(inspect(engine).entryList().at(0)->outputPath), 10u);
    for (int row : {1, 2}) {
        EXPECT_EQ(status(row), EntryStatus::ConversionError) << row;
        EXPECT_EQ(inspect(engine).entryList().at(row)->failureReason,
                  "the file changed after it was found");
    }
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"kept.mp4"});
}

// With skipping on, a video whose earlier conversion is still in the list is
// converted already, even where the file system keeps no mark on the file.
TEST_F(EngineTest, AVideoConvertedBeforeInThisListIsSkipped) {
    engine.setSkipExisting(true);
    addVideo("c.avi", "output 10");
    ASSERT_TRUE(runBatch());
    ASSERT_EQ(status(0), EntryStatus::Ok);
    const std::string output = inspect(engine).entryList().at(0)->outputPath;
    // As on a file system that keeps no marks.
    ::removexattr(output.c_str(), kSourceMark);
    ASSERT_EQ(admitOne(engine, dir.file("c.avi")), 1);
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(1), EntryStatus::Skipped);
    EXPECT_EQ(inspect(engine).entryList().at(1)->outputPath, output);
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"c.mp4"});
}

// Two runs at once over one folder, skipping on: a video that the other run
// is converting, or that is there by the time this one would publish it, is
// skipped, and no second copy is ever made.
TEST_F(EngineTest, TwoRunsAtOnceMakeOneCopyOfEachVideo) {
    RecordingHost otherHost;
    QueuedGuiCall otherGui;
    Engine other(otherHost, otherGui, test::fakeConverterPath(), fastTiming());
    storeText(inspect(other).settings().destinationFolder, out);
    inspect(other).settings().maxConcurrent = 1;
    engine.setSkipExisting(true);
    other.setSkipExisting(true);
    const auto drainOtherUntil = [&](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!done() && std::chrono::steady_clock::now() < end) {
            otherGui.waitAndRun(std::chrono::milliseconds(5));
        }
        return done();
    };
    const std::string gate = dir.file("gate");
    addVideo("held.avi", "record " + gate + "-started; waitfor " + gate + " 60000; output 10");
    ASSERT_EQ(admitOne(other, dir.file("held.avi")), 1);
    ASSERT_EQ(admitOne(other,
                       video("raced.avi", "probe: duration 10\nprobe: exit 0\nrecord " + gate +
                                              "2-started; waitfor " + gate + "2 60000; output 10")),
              1);
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return exists(gate + "-started"); }));
    other.startBatch();
    ASSERT_TRUE(drainOtherUntil([&] { return exists(gate + "2-started"); }));
    EXPECT_EQ(inspect(other).entryList().at(0)->status.load(), EntryStatus::Skipped);
    writeBytes(out + "/raced.mp4", "theirs");
    writeBytes(gate + "2", "");
    ASSERT_TRUE(drainOtherUntil([&] { return other.batchState() == BatchState::Idle; }));
    EXPECT_EQ(inspect(other).entryList().at(1)->status.load(), EntryStatus::Skipped);
    writeBytes(gate, "");
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(filesIn(out), (std::vector<std::string>{"held.mp4", "raced.mp4"}));
    EXPECT_EQ(fileBytes(out + "/raced.mp4"), "theirs");
}

TEST_F(EngineTest, ConverterThatIgnoresTheStopIsEndedAtExit) {
    addVideo("deaf.avi", "ignorestop; percent 10; sleep 60000; output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return status(0) == EntryStatus::Converting; }));
    auto start = std::chrono::steady_clock::now();
    engine.stopAll();
    // The stop byte is ignored: after the wait the converter is ended.
    EXPECT_TRUE(engine.waitForWorkers(300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_TRUE(engine.batchState() == BatchState::Idle);
    EXPECT_EQ(status(0), EntryStatus::ConversionError);
}

TEST_F(EngineTest, ExitSweepKeepsAnOkFileThatAFailedEntryNamesOtherwise) {
    addVideo("good.avi", "output 100");
    ASSERT_TRUE(runBatch());
    const std::string kept = inspect(engine).entryList().at(0)->outputPath;
    // The same file under another name, as a folder that ignores case shows it.
    const std::string alias = out + "/GOOD.mp4";
    ASSERT_EQ(link(kept.c_str(), alias.c_str()), 0);
    auto failed = createEntry("/v/Good.avi");
    failed->status = EntryStatus::ConversionError;
    failed->outputPath = alias;
    inspect(engine).entryList().entries().append(failed);
    engine.exitSweep();
    EXPECT_TRUE(exists(kept));
    EXPECT_TRUE(exists(alias));
}

TEST_F(EngineTest, AnEntryStoppedBeforeItsWorkerWaitsLeavesAtOnce) {
    // Behind a waiting entry a worker looks only every ten poll periods, so
    // one that missed its wake-up would linger for half a minute.
    RecordingHost slowHost;
    QueuedGuiCall slowGui;
    EngineTiming timing = fastTiming();
    timing.admissionPollMs = 3000;
    Engine slow(slowHost, slowGui, test::fakeConverterPath(), timing);
    storeText(inspect(slow).settings().destinationFolder, out);
    inspect(slow).settings().maxConcurrent = 1;
    for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
        admitOne(slow, video(name,
                             "probe: duration 10; convert: onstop 0; output 10; "
                             "steps 0 100 1 50"));
    }
    ASSERT_EQ(inspect(slow).entryList().count(), 3);
    std::atomic<int> workersLeft{0};
    slow.setFinishedHook([&] { ++workersLeft; });
    slow.startBatch();  // the workers now wait for their first call to run
    slow.stopEntries({inspect(slow).entryList().at(2)->id});
    const auto start = std::chrono::steady_clock::now();
    while (workersLeft.load() == 0) {
        slowGui.waitAndRun(5ms);
        ASSERT_LT(std::chrono::steady_clock::now() - start, 60s);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_EQ(inspect(slow).entryList().at(2)->status, EntryStatus::Cancelled);
    EXPECT_EQ(inspect(slow).entryList().at(2)->failureReason, "stopped");
    slow.stopEntries({inspect(slow).entryList().at(0)->id});
    slow.stopEntries({inspect(slow).entryList().at(1)->id});
    slow.waitForWorkers(60s);
}

// A small file system of its own, so that a full or read-only folder can be
// made; needs the privilege to mount.
class ScratchMount {
  public:
    ScratchMount(const std::string& path, const char* options, bool readOnly) : path_(path) {
        mkdir(path.c_str(), 0755);
        mounted_ = geteuid() == 0 &&
                   mount("tmpfs", path.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options) == 0;
    }
    ~ScratchMount() {
        if (mounted_) {
            umount2(path_.c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }

  private:
    std::string path_;
    bool mounted_ = false;
};

TEST_F(EngineTest, AFailedEntrySaysWhy) {
    ScratchMount full(dir.file("full"), "size=64k", false);
    struct Case {
        std::string folder;
        std::string script;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {out,
         "say decoder chatter; say vidmill-convert: nothing in the input could be decoded; "
         "exit 3",
         "nothing in the input could be decoded"},
        {out, "output 10; signal 9", "the converter was killed by signal 9"},
        {out, "exit 0", "the converter wrote no output"},
        {out, "exit -20", "not a usable media file"},
        {dir.file("full"), "output 1000000", "disk full"},
    };
    for (const Case& c : cases) {
        if (c.reason == "disk full" && !full.mounted()) {
            std::printf("skipped the full disk: mounting a small file system needs root\n");
            continue;
        }
        storeText(inspect(engine).settings().destinationFolder, c.folder);
        addVideo("v.avi", c.script);
        ASSERT_TRUE(runBatch());
        const VideoEntry& entry =
            *inspect(engine).entryList().at(inspect(engine).entryList().count() - 1);
        EXPECT_EQ(entry.status, EntryStatus::ConversionError) << c.reason;
        EXPECT_EQ(entry.failureReason, c.reason);
        EXPECT_FALSE(exists(entry.outputPath)) << c.reason;
    }
}

TEST_F(EngineTest, ADestinationRemovedSinceItWasChosenIsMadeAgain) {
    addVideo("a.avi", "output 10");
    rmdir(out.c_str());
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_TRUE(exists(out + "/a.mp4"));

    // One that cannot be made is said plainly, and nothing starts.
    const std::string blocked = dir.file("plain-file") + "/out";
    std::ofstream(dir.file("plain-file")) << "x";
    storeText(inspect(engine).settings().destinationFolder, blocked);
    addVideo("b.avi", "output 10");
    engine.startBatch();
    EXPECT_FALSE(engine.batchState() != BatchState::Idle);
    EXPECT_EQ(status(1), EntryStatus::Ready);
    ASSERT_FALSE(host.messages.empty());
    EXPECT_NE(host.messages.back().find("is missing and could not be made"), std::string::npos)
        << host.messages.back();

    // One that takes no new file is said once, before anything starts.
    ScratchMount readOnly(dir.file("ro"), "size=64k", true);
    if (!readOnly.mounted()) {
        chmod(dir.file("ro").c_str(), 0555);  // enough for anyone but root
    }
    if (readOnly.mounted() || geteuid() != 0) {
        storeText(inspect(engine).settings().destinationFolder, dir.file("ro"));
        host.messages.clear();
        engine.startBatch();
        EXPECT_FALSE(engine.batchState() != BatchState::Idle);
        EXPECT_EQ(status(1), EntryStatus::Ready);
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_NE(host.messages[0].find("cannot take new files"), std::string::npos)
            << host.messages[0];
    }
}

TEST_F(EngineTest, ADestinationRemovedDuringTheBatchIsTheReason) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("a.avi", "percent 5; sleep 3000; output 10");
    addVideo("b.avi", "output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return exists(partPathFor(out + "/a.mp4")); }));
    std::filesystem::remove_all(out);
    ASSERT_TRUE(drain());
    for (int row : {0, 1}) {
        EXPECT_EQ(status(row), EntryStatus::ConversionError);
        EXPECT_EQ(inspect(engine).entryList().at(row)->failureReason,
                  "the destination folder was removed during the conversion");
    }
    EXPECT_FALSE(exists(out));
}

TEST_F(EngineTest, AStoppedConversionIsKeptUnderACutNameOnlyWhenAsked) {
    for (const bool removeStopped : {true, false}) {
        SCOPED_TRACE(removeStopped);
        std::filesystem::remove_all(out);
        mkdir(out.c_str(), 0755);
        inspect(engine).settings().removeStopped = removeStopped;
        addVideo("a.avi", "duration 100; percent 42.5; output 50; waitstop 20000; onstop 0");
        const int row = inspect(engine).entryList().count() - 1;
        engine.startBatch();
        const VideoEntry& entry = *inspect(engine).entryList().at(row);
        ASSERT_TRUE(drainUntil([&] { return entry.reachedSeconds.load() > 0; }));
        engine.stopEntries(ids({row}));
        ASSERT_TRUE(drain());
        EXPECT_EQ(status(row), EntryStatus::Cancelled);
        const std::vector<std::string> kept = filesIn(out);
        if (removeStopped) {
            EXPECT_TRUE(kept.empty());
            EXPECT_EQ(entry.failureReason, "stopped");
        } else {
            EXPECT_EQ(kept, std::vector<std::string>{"a (stopped at 0:42).mp4"});
            EXPECT_EQ(entry.failureReason,
                      "stopped; what was converted is kept as " + out + "/a (stopped at 0:42).mp4");
        }
    }
}

TEST_F(EngineTest, ASourceNamedLikeAPartFileIsNotPublishedUnderThatName) {
    addVideo(".vidmill-part-x.avi", "output 10");
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(filesIn(out), std::vector<std::string>{"vidmill-part-x.mp4"});
    // Published, it is no part file, whatever it is called later.
    char mark[32];
    EXPECT_LT(getxattr((out + "/vidmill-part-x.mp4").c_str(), kPartMark, mark, sizeof mark), 0);
    ASSERT_EQ(rename((out + "/vidmill-part-x.mp4").c_str(), (out + "/.vidmill-part-y.mp4").c_str()),
              0);
    EXPECT_EQ(removeLeftoverParts(out, -5s), 0);
}

TEST_F(EngineTest, OnlyTheFileVidmillWroteIsDeletedOrRenamed) {
    addVideo("c.avi", "output 10");
    addVideo("d.avi", "output 10");
    inspect(engine).settings().cutFromMs = 10'000;
    inspect(engine).settings().cropMode = kCropAuto;
    ASSERT_TRUE(runBatch());
    // The identity survives a restart, beside the history, and so does what
    // the batch asked of the file.
    const std::string history = dir.file("history.bin");
    ASSERT_TRUE(engine.saveHistorySnapshot(history));
    EntryList restored;
    ASSERT_EQ(loadHistoryFile(restored, history), 1);
    EXPECT_TRUE(restored.at(0)->outputIdentity.known());
    EXPECT_EQ(restored.at(0)->outputIdentity, inspect(engine).entryList().at(0)->outputIdentity);
    EXPECT_EQ(convertedEntryTip(viewOf(*restored.at(1))),
              "Converted with: from 0:10, black bars removed");

    // The person moves c.mp4 away; another program writes a new c.mp4.
    ASSERT_EQ(rename((out + "/c.mp4").c_str(), dir.file("moved.mp4").c_str()), 0);
    std::ofstream(out + "/c.mp4") << "someone else's";
    const CommandOutcome deleted = engine.deleteVideoAt(0);
    EXPECT_EQ(deleted, CommandResult::FileFailed);
    const std::string error = "it is no longer the file Vidmill wrote";
    EXPECT_EQ(deleted.why, error);
    EXPECT_EQ(engine.renameOutput(0, "renamed"), CommandResult::FileFailed);
    const CommandOutcome removed = engine.removeEntriesAt({0, 1}, true);
    EXPECT_EQ(removed.removed, 1);
    EXPECT_EQ(removed.failures,
              (std::vector<std::pair<std::string, std::string>>{{out + "/c.mp4", error}}));
    EXPECT_EQ(fileBytes(out + "/c.mp4"), "someone else's");
    EXPECT_FALSE(exists(out + "/d.mp4"));  // the one still ours went
}

TEST_F(EngineTest, SettingsChangedDuringABatchWaitForTheNextOne) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("a.avi", "percent 5; sleep 200; output 10");
    addVideo("b.avi", "output 10");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return status(0) == EntryStatus::Converting; }));
    // The format and folder chosen now shape the next batch, not this one.
    inspect(engine).settings().presetId = 810;
    storeText(inspect(engine).settings().destinationFolder, dir.file("elsewhere"));
    ASSERT_TRUE(drain());
    EXPECT_TRUE(exists(out + "/a.mp4"));
    EXPECT_TRUE(exists(out + "/b.mp4"));
    EXPECT_EQ(inspect(engine).entryList().at(1)->presetId, 100);
}

TEST_F(EngineTest, ANoteOnAConversionThatWentWellIsKept) {
    addVideo("short.avi",
             "say vidmill-convert: note: the input ends at 0:05.7 of the 0:12 its header "
             "declares; output 10");
    addVideo("plain.avi", "say chatter; output 10");
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(status(0), EntryStatus::Ok);
    EXPECT_EQ(inspect(engine).entryList().at(0)->note,
              "the input ends at 0:05.7 of the 0:12 its header declares");
    EXPECT_EQ(inspect(engine).entryList().at(1)->note, "");
}

TEST_F(EngineTest, AHistorySavedMidBatchComesBackWholeAfterACrash) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("done.avi", "output 100");
    addVideo("running.avi", "output 50; percent 10; waitstop 20000; onstop 0");
    addVideo("waiting.avi", "output 100");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] {
        // The worker names the output under the lock.
        std::lock_guard lock(inspect(engine).mutex());
        return status(0) == EntryStatus::Ok && status(1) == EntryStatus::Converting &&
               exists(partPathFor(inspect(engine).entryList().at(1)->outputPath));
    }));
    const std::string history = dir.file("history.bin");
    ASSERT_TRUE(engine.saveHistorySnapshot(history));
    EXPECT_EQ(status(2), EntryStatus::Pending) << "the live list is not touched";
    const std::string kept = inspect(engine).entryList().at(0)->outputPath;
    const std::string finalName = inspect(engine).entryList().at(1)->outputPath;
    const std::string halfWritten = partPathFor(finalName);
    EXPECT_FALSE(exists(finalName)) << "nothing under a final name before it is whole";
    // While this run still holds its part file, nobody else may take it.
    EXPECT_FALSE(removeLeftoverPart(finalName));
    // The crash: this run ends, its part file stays as a killed run leaves
    // it, and another program writes the final name meanwhile.
    engine.stopAll();
    ASSERT_TRUE(drain());
    leaveMarkedPart(halfWritten, "half");
    std::ofstream(finalName) << "someone else's";

    // The next start, as if the first had been killed at this moment.
    RecordingHost nextHost;
    QueuedGuiCall nextGui;
    Engine next(nextHost, nextGui, test::fakeConverterPath(), fastTiming());
    ASSERT_EQ(loadHistoryFile(inspect(next).entryList(), history), 1);
    EXPECT_EQ(next.recoverUnfinishedEntries(), 1);
    ASSERT_EQ(inspect(next).entryList().count(), 3);
    EXPECT_EQ(inspect(next).entryList().at(0)->status, EntryStatus::Ok);
    EXPECT_EQ(inspect(next).entryList().at(1)->status, EntryStatus::Cancelled);
    EXPECT_EQ(inspect(next).entryList().at(2)->status, EntryStatus::Cancelled);
    EXPECT_TRUE(exists(kept));
    EXPECT_FALSE(exists(halfWritten));
    EXPECT_TRUE(exists(finalName)) << "a file under a final name is never ours to remove";
    EXPECT_EQ(inspect(next).entryList().requeueCancelled(), 2) << "both ready to convert again";
}

// A batch's sweep of its folder takes only what a dead run left: an unlocked
// part file of ours that nothing has touched for a while.
TEST(LeftoverPartsTest, OnlyUnlockedOwnPartFilesLeftAloneGo) {
    TempDir dir;
    const std::string left = partPathFor(dir.file("left.mp4"));
    leaveMarkedPart(left, "half");
    // The user's own file that merely has such a name.
    const std::string posing = partPathFor(dir.file("notes.mp4"));
    std::ofstream(posing) << "the user's";
    EXPECT_EQ(removeLeftoverParts(dir.path(), 60s), 0) << "written just now: a live run's";
    EXPECT_TRUE(std::filesystem::exists(left));

    PartFile running;
    ASSERT_EQ(running.reserve(dir.file("running.mp4")), 0);
    ASSERT_EQ(mkdir(partPathFor(dir.file("folder.mp4")).c_str(), 0755), 0);
    std::ofstream(dir.file("target.mp4")) << "the user's";
    std::filesystem::create_symlink(dir.file("target.mp4"), partPathFor(dir.file("link.mp4")));
    std::ofstream(dir.file("clip.mp4")) << "the user's";
    // As if the files had not changed for longer than asked.
    EXPECT_EQ(removeLeftoverParts(dir.path(), -5s), 1);
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(std::filesystem::exists(running.path())) << "locked by a running conversion";
    EXPECT_TRUE(std::filesystem::is_directory(partPathFor(dir.file("folder.mp4"))));
    EXPECT_TRUE(std::filesystem::exists(dir.file("target.mp4")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("clip.mp4")));
    EXPECT_TRUE(std::filesystem::exists(posing));
}

TEST_F(EngineTest, ListCommandsKeepFilesAndNamesSound) {
    const std::string sub = out + "/sub1";
    mkdir(sub.c_str(), 0755);
    auto add = [&](const std::string& name, EntryStatus status, bool withFile) {
        auto entry = createEntry(dir.file(name + ".avi"));
        entry->name = name;
        entry->presetId = 100;
        entry->status = status;
        if (status == EntryStatus::Ok) {
            entry->outputPath = (name == "clip" ? sub : out) + "/" + name + ".mp4";
        }
        if (withFile) {
            std::ofstream(entry->outputPath) << "video";
        }
        inspect(engine).entryList().entries().append(entry);
        inspect(engine).entryList().renumberRows();
    };
    using R = Engine::CommandResult;
    add("clip", EntryStatus::Ok, true);
    add("gone", EntryStatus::Ok, false);
    add("ready", EntryStatus::Ready, false);
    std::ofstream(dir.file("ready.avi")) << "source";
    add("busy", EntryStatus::Converting, false);

    // Rename: the entry's own file counts as taken; a path is no name.
    EXPECT_EQ(engine.renameOutput(0, "clip"), R::Done);
    EXPECT_EQ(inspect(engine).entryList().at(0)->outputPath, sub + "/clip(1).mp4");
    EXPECT_TRUE(exists(sub + "/clip(1).mp4"));
    EXPECT_FALSE(exists(sub + "/clip.mp4"));
    for (const char* bad : {"../x", "a/b", ".", "..", ""}) {
        EXPECT_EQ(engine.renameOutput(0, bad), R::BadName) << bad;
    }
    EXPECT_EQ(engine.renameOutput(2, "other"), R::WrongStatus);
    // The file keeps its folder (a kept structure's subfolder), whatever
    // the destination is now.
    storeText(inspect(engine).settings().destinationFolder, dir.file("moved"));
    EXPECT_EQ(engine.renameOutput(0, "final"), R::Done);
    EXPECT_EQ(inspect(engine).entryList().at(0)->outputPath, sub + "/final.mp4");
    EXPECT_TRUE(exists(sub + "/final.mp4"));
    EXPECT_EQ(inspect(engine).entryList().at(0)->name, "final");
    // A move that fails changes nothing.
    std::string error;
    EXPECT_EQ(engine.renameOutput(1, "new"), R::FileFailed);
    EXPECT_EQ(inspect(engine).entryList().at(1)->name, "gone");
    EXPECT_EQ(inspect(engine).entryList().at(1)->outputPath, out + "/gone.mp4");

    // Delete: the converted file goes, a vanished one is no error, a
    // source is never touched, work in progress is refused.
    EXPECT_EQ(engine.deleteVideoAt(3), R::WrongStatus);
    EXPECT_EQ(engine.deleteVideoAt(2), R::Done);
    EXPECT_TRUE(exists(dir.file("ready.avi")));
    EXPECT_EQ(engine.deleteVideoAt(1), R::Done);
    EXPECT_EQ(engine.deleteVideoAt(0), R::Done);
    EXPECT_FALSE(exists(sub + "/final.mp4"));
    ASSERT_EQ(inspect(engine).entryList().count(), 1);
    EXPECT_EQ(inspect(engine).entryList().at(0)->row, 0);
    EXPECT_EQ(engine.removeEntryAt(0), R::WrongStatus);
    EXPECT_EQ(engine.removeEntryAt(5), R::NoEntry);

    // Remove-missing keeps only what has its file.
    inspect(engine).entryList().at(0)->status = EntryStatus::Ready;
    add("kept", EntryStatus::Ok, true);
    add("r1", EntryStatus::Ready, false);
    EXPECT_EQ(engine.removeMissingEntries().removed, 2);
    ASSERT_EQ(inspect(engine).entryList().count(), 1);
    EXPECT_EQ(inspect(engine).entryList().at(0)->name, "kept");
    EXPECT_EQ(engine.removeEntryAt(0), R::Done);
    EXPECT_TRUE(exists(out + "/kept.mp4")) << "removing an entry keeps its file";
}

TEST_F(EngineTest, ListCommandsWaitForTheBatch) {
    addVideo("long.avi", "output 10; percent 5; waitstop 20000; onstop 0");
    auto done = createEntry(dir.file("done.avi"));
    done->status = EntryStatus::Ok;
    inspect(engine).entryList().entries().append(done);
    inspect(engine).entryList().renumberRows();
    engine.startBatch();
    EXPECT_EQ(engine.removeEntryAt(1), CommandResult::BatchActive);
    EXPECT_EQ(engine.deleteVideoAt(1), CommandResult::BatchActive);
    EXPECT_EQ(engine.removeMissingEntries(), CommandResult::BatchActive);
    engine.stopAll();
    ASSERT_TRUE(drain());
    EXPECT_EQ(engine.removeEntryAt(1), CommandResult::Done);
}

TEST_F(EngineTest, AMissingConverterIsTheReason) {
    // The converter is there for the probe and gone when the batch starts.
    const std::string converter = dir.file("vidmill-convert");
    ASSERT_EQ(symlink(test::fakeConverterPath().c_str(), converter.c_str()), 0);
    RecordingHost otherHost;
    QueuedGuiCall otherGui;
    Engine engine2(otherHost, otherGui, converter, fastTiming());
    storeText(inspect(engine2).settings().destinationFolder, out);
    admitOne(engine2, video("a.avi", "probe: duration 5"));
    ASSERT_EQ(inspect(engine2).entryList().count(), 1);
    unlink(converter.c_str());
    engine2.startBatch();
    ASSERT_TRUE(engine2.waitForWorkers(10s));
    otherGui.runPending();
    EXPECT_EQ(inspect(engine2).entryList().at(0)->status, EntryStatus::ConversionError);
    EXPECT_EQ(inspect(engine2).entryList().at(0)->failureReason, "converter not found");
}

class EngineStallTest : public EngineTest {
  protected:
    EngineStallTest() : EngineTest(shortStall()) {}
    static EngineTiming shortStall() {
        EngineTiming timing = fastTiming();
        timing.stallTimeoutMs = 300;
        timing.stallGraceMs = 300;
        return timing;
    }
};

TEST_F(EngineStallTest, AConversionThatStopsMovingFailsWithNoProgress) {
    // One that ends on the stop byte with a proper (cut) file, and one that
    // has to be ended.
    for (const char* script : {"output 10; steps 0 30 10 50; onstop 0; sleep 60000",
                               "output 10; steps 0 30 10 50; ignorestop; sleep 60000"}) {
        addVideo("stuck.avi", script);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(runBatch());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << script;
        const VideoEntry& entry =
            *inspect(engine).entryList().at(inspect(engine).entryList().count() - 1);
        EXPECT_EQ(entry.status, EntryStatus::ConversionError) << script;
        EXPECT_EQ(entry.failureReason, "no progress") << script;
        EXPECT_FALSE(exists(entry.outputPath)) << script;
    }
}

// The state letter (R, S, T, ...) of every converter we started that is
// writing an output now.
std::vector<char> convertingStates() {
    std::vector<char> states;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::istringstream children(fileBytes(task.path().string() + "/children"));
        for (pid_t pid; children >> pid;) {
            const std::string base = "/proc/" + std::to_string(pid);
            if (fileBytes(base + "/cmdline").find("-outfd") == std::string::npos) {
                continue;
            }
            const std::string stat = fileBytes(base + "/stat");
            const size_t close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size()) {
                states.push_back(stat[close + 2]);
            }
        }
    }
    return states;
}

TEST_F(EngineStallTest, APausedBatchHoldsItsConvertersStartsNothingAndNeverStalls) {
    inspect(engine).settings().maxConcurrent = 1;
    addVideo("a.avi", "output 100; steps 0 100 10 40");
    addVideo("b.avi", "onstop 0; output 100; steps 0 100 2 40");
    addVideo("c.avi", "output 100");
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return convertingStates().size() == 1; }));
    ASSERT_TRUE(engine.pauseBatch());
    EXPECT_FALSE(engine.pauseBatch());
    ASSERT_TRUE(drainUntil([&] { return convertingStates() == std::vector<char>{'T'}; }, 5s));
    // Many times the stall limit: still held, nothing else started.
    const auto heldUntil = std::chrono::steady_clock::now() + 1500ms;
    drainUntil([&] { return std::chrono::steady_clock::now() > heldUntil; });
    EXPECT_EQ(status(0), EntryStatus::Converting);
    EXPECT_EQ(entryStatusText(*engine.entryAt(0), engine.channel()).rfind("Paused ", 0), 0u);
    EXPECT_EQ(status(1), EntryStatus::Pending);
    EXPECT_EQ(convertingStates(), std::vector<char>{'T'});
    engine.resumeBatch();
    ASSERT_TRUE(drainUntil([&] {
        return status(0) == EntryStatus::Ok && convertingStates() == std::vector<char>{'S'};
    }));
    // A paused conversion that is stopped hears the stop; the next still waits.
    ASSERT_TRUE(engine.pauseBatch());
    EXPECT_EQ(engine.stopEntries(ids({1})), 1);
    ASSERT_TRUE(drainUntil(
        [&] { return convertingStates().empty() && status(1) == EntryStatus::Cancelled; }, 10s))
        << inspect(engine).entryList().at(1)->failureReason;
    EXPECT_EQ(status(2), EntryStatus::Pending);
    engine.resumeBatch();
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(2), EntryStatus::Ok);
    EXPECT_FALSE(engine.batchPaused());
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"a.avi", "b.avi", "c.avi"}));
}

class EngineOneThreadTest : public EngineTest {
  protected:
    EngineOneThreadTest() : EngineTest(oneThread()) {}
    static EngineTiming oneThread() {
        EngineTiming timing = fastTiming();
        timing.maxLiveWorkers = 1;
        return timing;
    }
};

TEST_F(EngineOneThreadTest, LaterEntriesWaitForAThreadAndStopOnlyThemselves) {
    addVideo("a.avi", "output 100; steps 0 100 10 30; onstop 7");
    addVideo("b.avi", "output 100");
    addVideo("c.avi", "output 100");
    // All three probes used the same slot: the running one holds it now.
    engine.startBatch();
    ASSERT_TRUE(drainUntil([&] { return status(0) == EntryStatus::Converting; }));
    EXPECT_EQ(status(1), EntryStatus::Pending);
    engine.stopEntries(ids({1}));
    ASSERT_TRUE(drain());
    EXPECT_EQ(status(0), EntryStatus::Ok);  // not stopped in B's place
    EXPECT_EQ(status(1), EntryStatus::Cancelled);
    EXPECT_EQ(status(2), EntryStatus::Ok);
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"a.avi", "c.avi"}));
    EXPECT_EQ(engine.finishedCount(), 3);
}

class EngineLeftoverTest : public EngineTest {
  protected:
    EngineLeftoverTest() : EngineTest(anyAge()) {}
    static EngineTiming anyAge() {
        EngineTiming timing = fastTiming();
        // Every unlocked part counts as left long ago.
        timing.leftoverPartAge = std::chrono::seconds(-5);
        return timing;
    }
};

TEST_F(EngineLeftoverTest, PartsAKilledRunLeftInSubfoldersNeitherStayNorTakeTheName) {
    AdmitOptions options{.outputSubfolders = {"a/b", "c"}};
    for (const char* folder : {"src1", "src2", "out/a", "out/a/b", "out/c"}) {
        mkdir(dir.file(folder).c_str(), 0755);
    }
    const std::vector<std::string> paths = {
        video("src1/clip.avi", "probe: duration 1\nconvert: output 100"),
        video("src2/clip.avi", "probe: duration 1\nconvert: output 100")};
    // What a killed run left: the part of another name, and of this one's.
    leaveMarkedPart(partPathFor(out + "/a/b/gone.mp4"), "half");
    leaveMarkedPart(partPathFor(out + "/c/clip.mp4"), "half");
    ASSERT_EQ(engine.admitFiles(paths, options), 2);
    ASSERT_TRUE(runBatch());
    EXPECT_EQ(inspect(engine).entryList().at(0)->outputPath, out + "/a/b/clip.mp4");
    EXPECT_EQ(inspect(engine).entryList().at(1)->outputPath, out + "/c/clip.mp4");
    EXPECT_EQ(filesIn(out + "/a/b"), std::vector<std::string>{"clip.mp4"});
    EXPECT_EQ(filesIn(out + "/c"), std::vector<std::string>{"clip.mp4"});
}

TEST_F(EngineTest, OutputsGoToTheirSubfoldersWithNamesUniqueInEach) {
    struct Case {
        const char* subfolder;
        std::string output;  // empty: the conversion fails
    };
    const std::vector<Case> cases = {
        {"a/b", out + "/a/b/clip.mp4"},
        {"a/b", out + "/a/b/clip(1).mp4"},
        {"c", out + "/c/clip.mp4"},
        {"", out + "/clip.mp4"},
        {"../escape", ""},
        {"/tmp", ""},
    };
    std::vector<std::string> paths;
    AdmitOptions options;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string folder = "src" + std::to_string(i);
        mkdir(dir.file(folder).c_str(), 0755);
        paths.push_back(video(folder + "/clip.avi", "probe: duration 1\nconvert: output 100"));
        options.outputSubfolders.push_back(cases[i].subfolder);
    }
    ASSERT_EQ(engine.admitFiles(paths, options), int(cases.size()));
    inspect(engine).settings().maxConcurrent = 1;  // the first of a name gets the plain name
    ASSERT_TRUE(runBatch());
    for (size_t i = 0; i < cases.size(); ++i) {
        const VideoEntry& entry = *inspect(engine).entryList().at(int(i));
        if (cases[i].output.empty()) {
            EXPECT_EQ(entry.status, EntryStatus::ConversionError) << cases[i].subfolder;
            EXPECT_EQ(entry.failureReason,
                      "the output subfolder leads out of the destination folder");
        } else {
            EXPECT_EQ(entry.status, EntryStatus::Ok) << cases[i].subfolder;
            EXPECT_EQ(entry.outputPath, cases[i].output);
            EXPECT_EQ(fileSize64(entry.outputPath), 100u) << entry.outputPath;
        }
    }
    EXPECT_FALSE(exists(dir.file("escape")));
}

}  // namespace
}  // namespace vidmill
