#include "engine/gui_call.h"

namespace vidmill {

QueuedGuiCall::QueuedGuiCall() : owner_(std::this_thread::get_id()) {}

QueuedGuiCall::~QueuedGuiCall() {
    stopGuiCall();
}

void QueuedGuiCall::guiCall(const std::function<void()>& function) {
    if (std::this_thread::get_id() == owner_) {
        if (!stopped()) {
            function();
        }
        return;
    }
    Call call{&function};
    std::unique_lock lock(mutex_);
    if (stopped_) {
        return;
    }
    queue_.push_back(&call);
    arrived_.notify_one();
    if (arrivalHook_) {
        arrivalHook_();
    }
    call.finished.wait(lock, [&] { return call.done; });
}

void QueuedGuiCall::stopGuiCall() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (Call* call : queue_) {
        call->done = true;
        call->finished.notify_one();
    }
    queue_.clear();
}

bool QueuedGuiCall::stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

int QueuedGuiCall::runPending() {
    int ran = 0;
    std::unique_lock lock(mutex_);
    while (!queue_.empty()) {
        Call* call = queue_.front();
        queue_.pop_front();
        // The caller waits, so its function stays alive while it runs; the
        // lock is not held so that the function may itself call in here.
        lock.unlock();
        (*call->function)();
        lock.lock();
        call->done = true;
        // Only its own caller wakes: with thousands of workers calling at
        // once, waking them all for every call would cost their square.
        call->finished.notify_one();
        ++ran;
    }
    return ran;
}

int QueuedGuiCall::waitAndRun(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, timeout, [&] { return !queue_.empty() || stopped_; });
    }
    return runPending();
}

}  // namespace vidmill
