#pragma once

// Saves the history on a thread of its own, so that writing a long list
// never holds up the window. Requests that come while a save runs are folded
// into one more save after it.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace vidmill {

class HistorySaver {
  public:
    // `save` runs on the saver's thread and gives whether it saved.
    explicit HistorySaver(std::function<bool()> save);
    HistorySaver(const HistorySaver&) = delete;
    HistorySaver& operator=(const HistorySaver&) = delete;
    // Finishes what was asked for, then ends the thread.
    ~HistorySaver();

    void request();
    // Whether the last save that ran succeeded (true before any).
    bool lastSaved();
    // Waits until every save asked for so far has run; gives whether the
    // last one succeeded.
    bool flush();
    // Finishes what was asked for and ends the thread; later requests do
    // nothing.
    void stop();

  private:
    void run();

    std::function<bool()> save_;
    std::mutex mutex_;
    std::condition_variable changed_;
    unsigned long requested_ = 0;
    unsigned long done_ = 0;
    bool lastSaved_ = true;
    bool stopping_ = false;
    bool finished_ = false;
    std::thread thread_;
};

}  // namespace vidmill
