#include "engine/worker_thread.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/gui_call.h"

namespace vidmill {
namespace {

struct ThreadStart {
    WorkerThread* block;
    std::shared_ptr<WorkerThread::Run> run;
};

void* threadRoutine(void* argument) {
    const std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
    WorkerThread& block = *start->block;
    WorkerThread::Run& run = *start->run;
    block.body(block);
    run.bodyDone.store(true);
    // A copy: the completion may start the block again, which replaces it.
    const WorkerThread::Function completion = block.completion;
    if (completion && block.gui != nullptr) {
        block.gui->guiCall([&block, &completion] { completion(block); });
    }
    // Once the completion has run, the block may belong to a new run or be
    // freed: only this run's own state is touched from here on.
    run.exited.store(true);
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

int startWorker(WorkerThread& block, bool autoClose, WorkerThread::Function body, void* data,
                WorkerThread::Function completion, GuiCall& gui) {
    block.autoClose = autoClose;
    block.body = std::move(body);
    block.data = data;
    block.completion = std::move(completion);
    block.gui = &gui;
    block.started = false;
    auto run = std::make_shared<WorkerThread::Run>();

    ThreadAttributes attributes;
    if (pthread_attr_setstacksize(attributes.get(), workerStackSize()) != 0) {
        return 0;
    }
    if (autoClose) {
        pthread_attr_setdetachstate(attributes.get(), PTHREAD_CREATE_DETACHED);
    }
    auto start = std::make_unique<ThreadStart>(ThreadStart{&block, run});
    block.run = std::move(run);
    if (pthread_create(&block.threadHandle, attributes.get(), threadRoutine, start.get()) != 0) {
        block.run.reset();
        return 0;
    }
    (void)start.release();  // the thread owns it now
    block.started = true;
    return 1;
}

}  // namespace vidmill
