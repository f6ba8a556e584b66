#pragma once

// A thread that runs a body and then, on the interface thread, a completion.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

namespace vidmill {

class GuiCall;

struct WorkerThread {
    using Function = std::function<void(WorkerThread&)>;

    // What one start of the block shares with its thread. Each start makes a
    // new one, so a thread that is still finishing an earlier run never
    // writes into the state of the run that replaced it.
    struct Run {
        std::atomic<bool> bodyDone{false};
        // Set as the very last touch of the run by its thread.
        std::atomic<bool> exited{false};
    };

    pthread_t threadHandle{};
    bool started = false;
    bool autoClose = false;
    Function body;
    void* data = nullptr;
    Function completion;
    GuiCall* gui = nullptr;
    std::shared_ptr<Run> run;

    bool bodyDone() const { return run && run->bodyDone.load(); }
    // True once the thread of the latest start has finished all its work:
    // the block may then be freed. A block never started counts as exited.
    bool exited() const { return !run || run->exited.load(); }
};

// Stack of a worker thread: enough for the converter runner and a call into
// the interface thread, small enough for tens of thousands of waiting
// workers.
std::size_t workerStackSize();

// Starts `body` on a new thread; afterwards `completion` (when set) runs on
// the interface thread through `gui`. With `autoClose` the thread is
// detached. Worker threads all run at normal priority: the converters they
// start carry the user's priority. Gives 1 when the thread
// was started, 0 otherwise (then nothing runs at all). The block may be
// started again once its completion has run, even before the earlier thread
// has quite ended.
int startWorker(WorkerThread& block, bool autoClose, WorkerThread::Function body, void* data,
                WorkerThread::Function completion, GuiCall& gui);

}  // namespace vidmill
