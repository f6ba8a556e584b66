#pragma once

// Threads that run a body and then, on the interface thread, a completion.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

namespace vidmill {

class GuiCall;

// Stack of a worker thread: enough for the converter runner and a call into
// the interface thread, small enough for tens of thousands of waiting
// workers.
std::size_t workerStackSize();

// The worker threads of one owner, counted until each has quite ended.
class WorkerThreads {
  public:
    WorkerThreads() = default;
    WorkerThreads(const WorkerThreads&) = delete;
    WorkerThreads& operator=(const WorkerThreads&) = delete;

    // Starts `body` on a new detached thread; afterwards `completion` (when
    // set) runs on the interface thread through `gui`. Whatever the two
    // functions hold (the entry they work on) is let go on that thread
    // after the completion, before the thread counts as ended. Worker
    // threads all run at normal priority: the converters they start carry
    // the user's priority. False when no thread could be started: then
    // nothing runs at all.
    bool start(std::function<void()> body, std::function<void()> completion, GuiCall& gui);

    // Threads started that have not yet ended. At 0, no thread of this
    // owner touches anything any more.
    int alive() const { return alive_->load(); }

  private:
    // Shared with the threads, so that one that outlives its owner (a
    // converter that nothing could end at exit) still counts itself out
    // into live memory.
    std::shared_ptr<std::atomic<int>> alive_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace vidmill
