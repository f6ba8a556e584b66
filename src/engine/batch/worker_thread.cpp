#include "engine/batch/worker_thread.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/gui_call.h"

namespace vidmill {
namespace {

struct ThreadStart {
    std::function<void()> body;
    std::function<void()> completion;
    GuiCall* gui;
    std::shared_ptr<std::atomic<int>> alive;
};

void* threadRoutine(void* argument) {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    start->body();
    if (start->completion) {
        start->gui->guiCall(start->completion);
    }
    // What the functions hold goes first: once the count says ended, the
    // owner may free what they refer to.
    const std::shared_ptr<std::atomic<int>> alive = std::move(start->alive);
    start.reset();
    alive->fetch_sub(1);
    return nullptr;
}

class ThreadAttributes {
  public:
    ThreadAttributes() { pthread_attr_init(&attr_); }
    ~ThreadAttributes() { pthread_attr_destroy(&attr_); }
    pthread_attr_t* get() { return &attr_; }

  private:
    pthread_attr_t attr_;
};

}  // namespace

std::size_t workerStackSize() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers keep their own bookkeeping on the stack.
    constexpr std::size_t kWanted = 1024 * 1024;
#else
    constexpr std::size_t kWanted = 128 * 1024;
#endif
    long minimum = sysconf(_SC_THREAD_STACK_MIN);
    return std::max<std::size_t>(kWanted, minimum > 0 ? std::size_t(minimum) : PTHREAD_STACK_MIN);
}

bool WorkerThreads::start(std::function<void()> body, std::function<void()> completion,
                          GuiCall& gui) {
    ThreadAttributes attributes;
    if (pthread_attr_setstacksize(attributes.get(), workerStackSize()) != 0 ||
        pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED) != 0) {
        return false;
    }
    auto start = std::make_unique<ThreadStart>(
        ThreadStart{std::move(body), std::move(completion), &gui, alive_});
    alive_->fetch_add(1);
    pthread_t thread;
    if (pthread_create(&thread, attributes.get(), threadRoutine, start.get()) != 0) {
        alive_->fetch_sub(1);
        return false;
    }
    (void)start.release();  // the thread owns it now
    return true;
}

}  // namespace vidmill
