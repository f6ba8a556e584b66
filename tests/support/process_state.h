#pragma once

// What a thread or a process is doing, as the kernel shows it: for tests
// that must act once something waits, not after a guessed time.

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

namespace vidmill {

// The state letter of thread `tid` of process `pid` ('S' asleep in the
// kernel, 'R' running, ...), or 0 when it is gone.
inline char threadState(pid_t pid, pid_t tid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() ? text[end + 2] : 0;
}

// Polls `condition` until it holds or `limit` has passed.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Whether process `pid` holds `path` open.
inline bool holdsOpen(pid_t pid, const std::string& path) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(entry.path().c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, std::size_t(length)) == path) {
            return true;
        }
    }
    return false;
}

}  // namespace vidmill
