#pragma once

// A thread that runs a body and then, on the interface thread, a completion.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>

namespace vidmill {

class GuiCall;

struct WorkerThread {
    using Function = std::function<void(WorkerThread&)>;

    pthread_t threadHandle{};
    bool started = false;
    bool autoClose = false;
    std::atomic<bool> bodyDone{false};
    // Set as the very last touch of the block by its thread: once it is
    // true the block may be freed.
    std::atomic<bool> exited{false};
    Function body;
    void* data = nullptr;
    Function completion;
    GuiCall* gui = nullptr;
};

// Stack of a worker thread: enough for the converter runner and a call into
// the interface thread, small enough for tens of thousands of waiting
// workers.
std::size_t workerStackSize();

// Starts `body` on a new thread; afterwards `completion` (when set) runs on
// the interface thread through `gui`. With `autoClose` the thread is
// detached. A priority of -1 leaves the thread's priority as created; others
// are accepted for the caller's sake and change nothing on this platform,
// where worker threads all run at normal priority. Gives 1 when the thread
// was started, 0 otherwise (then nothing runs at all).
int startWorker(WorkerThread& block, int priority, bool autoClose, WorkerThread::Function body,
                void* data, WorkerThread::Function completion, GuiCall& gui);

}  // namespace vidmill
