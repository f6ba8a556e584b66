#include "engine/batch/worker_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "engine/gui_call.h"

namespace vidmill {
namespace {

using namespace std::chrono_literals;

// Drains the queue on this (the owning) thread until `done` holds.
template <typename Predicate>
bool runUntil(QueuedGuiCall& gui, Predicate done, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        gui.waitAndRun(10ms);
    }
    return true;
}

// Waits, without draining anything, until `done` holds.
template <typename Predicate>
bool waitUntil(Predicate done, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(GuiCallTest, CallOnTheOwningThreadRunsAtOnce) {
    QueuedGuiCall gui;
    int ran = 0;
    gui.guiCall([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(gui.runPending(), 0);
}

TEST(GuiCallTest, CallsFromOtherThreadsRunOnTheOwnerOneAtATime) {
    QueuedGuiCall gui;
    const auto owner = std::this_thread::get_id();
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> ran{0};
    std::atomic<int> wrongThread{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                gui.guiCall([&] {
                    if (inside.fetch_add(1) != 0) {
                        ++overlaps;
                    }
                    if (std::this_thread::get_id() != owner) {
                        ++wrongThread;
                    }
                    std::this_thread::sleep_for(100us);
                    inside.fetch_sub(1);
                    ++ran;
                });
            }
        });
    }
    EXPECT_TRUE(runUntil(gui, [&] { return ran.load() == 100; }));
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongThread.load(), 0);
}

TEST(GuiCallTest, StopReleasesWaitingCallersAndLaterCallsRunNothing) {
    QueuedGuiCall gui;
    std::atomic<int> ran{0};
    std::atomic<int> queued{0};
    gui.setArrivalHook([&] { ++queued; });
    std::thread waiting([&] { gui.guiCall([&] { ++ran; }); });
    // Stopped only once the call waits in the queue.
    EXPECT_TRUE(waitUntil([&] { return queued.load() == 1; }));
    gui.stopGuiCall();
    waiting.join();  // released, although its function never ran
    std::thread late([&] { gui.guiCall([&] { ++ran; }); });
    late.join();
    gui.guiCall([&] { ++ran; });  // not even on the owning thread
    gui.runPending();
    EXPECT_EQ(ran.load(), 0);
}

TEST(WorkerThreadTest, OneCompletionOnTheOwningThreadThenWhatItHeldIsLetGo) {
    QueuedGuiCall gui;
    WorkerThreads threads;
    const auto owner = std::this_thread::get_id();
    auto held = std::make_shared<int>(7);
    const std::weak_ptr<int> watch = held;
    std::atomic<int> bodies{0};
    int completions = 0;
    bool completionOnOwner = false;
    ASSERT_TRUE(threads.start([&bodies, held] { bodies += *held == 7; },
                              [&, held] {
                                  ++completions;
                                  completionOnOwner = std::this_thread::get_id() == owner;
                                  EXPECT_EQ(bodies.load(), 1);
                              },
                              gui));
    held.reset();
    EXPECT_EQ(threads.alive(), 1);  // its completion waits for this thread
    EXPECT_TRUE(runUntil(gui, [&] { return threads.alive() == 0; }));
    // Counted out only after letting go: an owner that frees what a thread
    // worked on once none is alive never frees it under the thread.
    EXPECT_TRUE(watch.expired());
    gui.runPending();
    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(completionOnOwner);
}

TEST(WorkerThreadTest, ManyWaitingWorkersCanLiveAtOnce) {
    QueuedGuiCall gui;
    WorkerThreads threads;
    constexpr int kWorkers = 300;
    std::atomic<bool> release{false};
    std::atomic<int> completed{0};
    for (int i = 0; i < kWorkers; ++i) {
        ASSERT_TRUE(threads.start(
            [&] {
                while (!release) {
                    std::this_thread::sleep_for(5ms);
                }
            },
            [&] { ++completed; }, gui));
    }
    EXPECT_EQ(threads.alive(), kWorkers);
    release = true;
    EXPECT_TRUE(runUntil(gui, [&] { return threads.alive() == 0; }));
    EXPECT_EQ(completed.load(), kWorkers);
}

}  // namespace
}  // namespace vidmill
