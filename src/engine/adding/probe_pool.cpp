#include "engine/adding/probe_pool.h"

#include <algorithm>
#include <system_error>

namespace vidmill {

struct ProbePool::Work {
    std::size_t count = 0;
    int atOnce = 1;
    Task task;
    std::size_t next = 0;
    int running = 0;
    bool withdrawn = false;
};

ProbePool::ProbePool(std::vector<std::string> serverCommand, std::chrono::milliseconds idle)
    : command_(std::move(serverCommand)), idle_(idle) {}

ProbePool::~ProbePool() {
    std::list<Thread> threads;
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        for (const auto& work : queue_) {
            work->withdrawn = true;
        }
        queue_.clear();
        threads.splice(threads.end(), threads_);
    }
    changed_.notify_all();
    for (Thread& thread : threads) {
        thread.thread.join();
    }
}

std::shared_ptr<ProbePool::Work> ProbePool::post(std::size_t count, int atOnce, Task task) {
    auto work = std::make_shared<Work>();
    work->count = count;
    work->atOnce = std::max(atOnce, 1);
    work->task = std::move(task);
    std::lock_guard lock(mutex_);
    joinEnded();
    const int wanted = int(std::min<std::size_t>(std::size_t(work->atOnce), count));
    while (serving_ < wanted) {
        Thread& slot = threads_.emplace_back();
        try {
            slot.thread = std::thread(&ProbePool::serve, this, &slot);
        } catch (const std::system_error&) {
            threads_.pop_back();
            break;
        }
        ++serving_;
    }
    if (serving_ == 0) {
        return nullptr;
    }
    queue_.push_back(work);
    changed_.notify_all();
    return work;
}

void ProbePool::withdraw(const std::shared_ptr<Work>& work) {
    if (!work) {
        return;
    }
    std::unique_lock lock(mutex_);
    work->withdrawn = true;
    queue_.erase(std::remove(queue_.begin(), queue_.end(), work), queue_.end());
    changed_.wait(lock, [&] { return work->running == 0; });
}

std::vector<pid_t> ProbePool::serverIds() const {
    std::lock_guard lock(mutex_);
    std::vector<pid_t> ids;
    for (const ProbeServer* server : servers_) {
        if (server->pid() >= 0) {
            ids.push_back(server->pid());
        }
    }
    return ids;
}

std::shared_ptr<ProbePool::Work> ProbePool::nextWork() {
    for (const auto& work : queue_) {
        if (work->next < work->count && work->running < work->atOnce) {
            return work;
        }
    }
    return nullptr;
}

void ProbePool::joinEnded() {
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->done) {
            it->thread.join();
            it = threads_.erase(it);
        } else {
            ++it;
        }
    }
}

void ProbePool::serve(Thread* self) {
    // Started and ended on this thread, which the kernel counts as the
    // server's parent; the server ends with this scope, and with the
    // program whatever way it dies.
    ProbeServer server(command_);
    std::unique_lock lock(mutex_);
    servers_.push_back(&server);
    for (;;) {
        std::shared_ptr<Work> work = nextWork();
        if (!work) {
            if (closing_ ||
                (!changed_.wait_for(lock, idle_, [&] { return closing_ || nextWork(); }))) {
                break;
            }
            continue;
        }
        const std::size_t index = work->next++;
        ++work->running;
        if (work->next == work->count) {
            queue_.erase(std::remove(queue_.begin(), queue_.end(), work), queue_.end());
        }
        lock.unlock();
        work->task(index, server);
        lock.lock();
        --work->running;
        changed_.notify_all();
    }
    // Work posted from now on starts a thread of its own.
    --serving_;
    servers_.erase(std::remove(servers_.begin(), servers_.end(), &server), servers_.end());
    lock.unlock();
    server.end(ProbeServer::kEndGrace);
    lock.lock();
    self->done = true;
}

}  // namespace vidmill
