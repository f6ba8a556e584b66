#pragma once

// Thread contracts that debug and sanitizer builds check: "on the thread
// that made this object" and "with this mutex held". A broken contract ends
// the program, saying where; release builds check nothing.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <type_traits>

namespace vidmill {

#if defined(VIDMILL_CHECK_THREADS)
inline constexpr bool kCheckThreads = true;
#else
inline constexpr bool kCheckThreads = false;
#endif

[[noreturn]] void threadContractBroken(const char* what, const char* file, int line);

// A mutex that knows which thread holds it. Wait on it with a
// CheckedCondition.
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
    // The plain mutex, for waiting where nothing is checked.
    std::mutex& plain() { return mutex_; }

  private:
    void noteOwner(std::thread::id owner) {
        if constexpr (kCheckThreads) {
            owner_.store(owner, std::memory_order_relaxed);
        }
    }

    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// A condition to wait on with a CheckedMutex held. Where threads are
// checked, the wait goes through the checked mutex, so that its holder stays
// known; elsewhere it is a plain condition variable on the plain mutex,
// which costs less to thousands of waiting workers.
class CheckedCondition {
  public:
    template <typename Rep, typename Period>
    std::cv_status wait_for(std::unique_lock<CheckedMutex>& lock,
                            const std::chrono::duration<Rep, Period>& time) {
        if constexpr (kCheckThreads) {
            return condition_.wait_for(lock, time);
        } else {
            std::unique_lock<std::mutex> plain(lock.mutex()->plain(), std::adopt_lock);
            const std::cv_status status = condition_.wait_for(plain, time);
            (void)plain.release();  // still held, and still the caller's lock
            return status;
        }
    }
    void notify_one() { condition_.notify_one(); }
    void notify_all() { condition_.notify_all(); }

  private:
    std::conditional_t<kCheckThreads, std::condition_variable_any, std::condition_variable>
        condition_;
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
