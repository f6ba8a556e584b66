#include "app/history_saver.h"

namespace vidmill {

HistorySaver::HistorySaver(std::function<bool()> save) : save_(std::move(save)) {
    thread_ = std::thread([this] { run(); });
}

HistorySaver::~HistorySaver() {
    stop();
}

void HistorySaver::request() {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
        ++requested_;
        changed_.notify_all();
    }
}

bool HistorySaver::lastSaved() {
    std::lock_guard lock(mutex_);
    return lastSaved_;
}

bool HistorySaver::flush() {
    std::unique_lock lock(mutex_);
    const unsigned long wanted = requested_;
    changed_.wait(lock, [&] { return done_ >= wanted || finished_; });
    return lastSaved_;
}

void HistorySaver::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void HistorySaver::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return requested_ != done_ || stopping_; });
        if (requested_ == done_) {
            // Stopping, nothing left to save: whoever still waits goes on.
            finished_ = true;
            changed_.notify_all();
            return;
        }
        // Everything asked for up to now is covered by this one save.
        const unsigned long covering = requested_;
        lock.unlock();
        const bool saved = save_();
        lock.lock();
        done_ = covering;
        lastSaved_ = saved;
        changed_.notify_all();
    }
}

}  // namespace vidmill
