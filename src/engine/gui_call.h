#pragma once

// Runs a function on the thread that owns the user interface and waits until
// it has run. Worker threads reach the window (or the terminal) only this
// way, so every change to what the user sees happens on one thread, in the
// order in which the calls arrive.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vidmill {

class GuiCall {
  public:
    virtual ~GuiCall() = default;

    // Runs `function` on the owning thread and returns once it has run. A
    // call made on the owning thread itself runs at once. After stop() the
    // call returns without running anything.
    virtual void guiCall(const std::function<void()>& function) = 0;

    // Ends the service: callers still waiting are released without their
    // function having run, and later calls run nothing.
    virtual void stopGuiCall() = 0;

    // On the owning thread: runs the calls that wait, waiting up to
    // `timeout` for one to arrive. Used while the owner waits for workers.
    virtual void pump(std::chrono::milliseconds timeout) = 0;
};

// The terminal's form: calls wait in a queue that the owning thread drains.
class QueuedGuiCall : public GuiCall {
  public:
    // The calling thread becomes the owning thread.
    QueuedGuiCall();
    ~QueuedGuiCall() override;

    // Called on the calling thread each time a call joins the queue, so that
    // an owner with an event loop of its own can have it drained there (by
    // posting itself an event). Set it before any other thread calls in.
    void setArrivalHook(std::function<void()> hook) { arrivalHook_ = std::move(hook); }

    void guiCall(const std::function<void()>& function) override;
    void stopGuiCall() override;
    void pump(std::chrono::milliseconds timeout) override { waitAndRun(timeout); }

    // On the owning thread: runs every call that waits; gives their number.
    int runPending();
    // On the owning thread: waits up to `timeout` for a call, then runs what
    // waits. Gives the number of calls run.
    int waitAndRun(std::chrono::milliseconds timeout);

    bool stopped() const;

  private:
    struct Call {
        const std::function<void()>* function;
        bool done = false;
        std::condition_variable finished;
    };

    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<Call*> queue_;
    bool stopped_ = false;
    std::function<void()> arrivalHook_;
};

}  // namespace vidmill
