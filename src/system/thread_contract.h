#pragma once

// Thread contracts that debug and sanitizer builds check: "on the thread
// that made this object" and "with this mutex held". A broken contract ends
// the program, saying where; release builds check nothing.

#include <atomic>
#include <mutex>
#include <thread>

namespace vidmill {

#if defined(VIDMILL_CHECK_THREADS)
inline constexpr bool kCheckThreads = true;
#else
inline constexpr bool kCheckThreads = false;
#endif

[[noreturn]] void threadContractBroken(const char* what, const char* file, int line);

// A mutex that knows which thread holds it. Wait on it with
// std::condition_variable_any, which unlocks and locks it through these.
class CheckedMutex {
  public:
    void lock() {
        mutex_.lock();
        noteOwner(std::this_thread::get_id());
    }
    bool try_lock() {
        if (!mutex_.try_lock()) {
            return false;
        }
        noteOwner(std::this_thread::get_id());
        return true;
    }
    void unlock() {
        noteOwner(std::thread::id());
        mutex_.unlock();
    }
    // Whether the calling thread holds it; always true where nothing is checked.
    bool heldHere() const {
        return !kCheckThreads ||
               owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

  private:
    void noteOwner(std::thread::id owner) {
        if constexpr (kCheckThreads) {
            owner_.store(owner, std::memory_order_relaxed);
        }
    }

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// The thread that an object belongs to: the one that made it.
class OwnerThread {
  public:
    bool isCurrent() const { return !kCheckThreads || id_ == std::this_thread::get_id(); }

  private:
    std::thread::id id_ = std::this_thread::get_id();
};

}  // namespace vidmill

#define VIDMILL_EXPECT(condition, what) \
    ((condition) ? void(0) : ::vidmill::threadContractBroken(what, __FILE__, __LINE__))
