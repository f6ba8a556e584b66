#pragma once

// The probe servers that read the files being added: a few converters kept
// running while files come in, each fed one file at a time by a thread of its
// own. A thread that has had nothing to do for a while ends with its server,
// so that an idle program holds no converter.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process/probe_server.h"

namespace vidmill {

class ProbePool {
  public:
    // Runs task `index` of a piece of work on a pool thread, with that
    // thread's server (started by its first probe).
    using Task = std::function<void(std::size_t index, ProbeServer& server)>;

    // `serverCommand` starts one server.
    ProbePool(std::vector<std::string> serverCommand, std::chrono::milliseconds idle);
    ProbePool(const ProbePool&) = delete;
    ProbePool& operator=(const ProbePool&) = delete;
    // Drops the work not started, waits for the tasks running, and ends every
    // server.
    ~ProbePool();

    struct Work;
    // Queues tasks 0 to count - 1, taken in that order by at most `atOnce`
    // threads at a time; threads are started as needed. Gives nothing when
    // no thread could be started; the caller then probes by itself.
    std::shared_ptr<Work> post(std::size_t count, int atOnce, Task task);
    // Drops the tasks of `work` that no thread has taken, and waits until
    // the taken ones have returned.
    void withdraw(const std::shared_ptr<Work>& work);

    // The pids of the servers that run now.
    std::vector<pid_t> serverIds() const;

  private:
    struct Thread {
        std::thread thread;
        bool done = false;
    };
    void serve(Thread* self);
    // With the lock held: the first work whose next task may start now.
    std::shared_ptr<Work> nextWork();
    // With the lock held: joins the threads that have ended.
    void joinEnded();

    std::vector<std::string> command_;
    std::chrono::milliseconds idle_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Work>> queue_;
    std::list<Thread> threads_;
    std::vector<const ProbeServer*> servers_;
    int serving_ = 0;  // threads that still take work
    bool closing_ = false;
};

}  // namespace vidmill
