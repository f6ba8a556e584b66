#include "engine/worker_thread.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>

#include "engine/gui_call.h"

namespace vidmill {
namespace {

void* threadRoutine(void* argument) {
    auto& block = *static_cast<WorkerThread*>(argument);
    block.body(block);
    block.bodyDone.store(true);
    if (block.completion && block.gui != nullptr) {
        block.gui->guiCall([&block] { block.completion(block); });
    }
    // Nothing may touch the block after this store.
    block.exited.store(true);
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

int startWorker(WorkerThread& block, int priority, bool autoClose, WorkerThread::Function body,
                void* data, WorkerThread::Function completion, GuiCall& gui) {
    (void)priority;
    block.autoClose = autoClose;
    block.body = std::move(body);
    block.data = data;
    block.completion = std::move(completion);
    block.gui = &gui;
    block.bodyDone.store(false);
    block.exited.store(false);
    block.started = false;

    ThreadAttributes attributes;
    if (pthread_attr_setstacksize(attributes.get(), workerStackSize()) != 0) {
        return 0;
    }
    if (autoClose) {
        pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED);
    }
    if (pthread_create(&block.threadHandle, attributes.get(), threadRoutine, &block) != 0) {
        return 0;
    }
    block.started = true;
    return 1;
}

}  // namespace vidmill
