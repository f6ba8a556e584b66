#include "engine/converter_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <system_error>
#include <thread>

extern char** environ;

namespace vidmill {

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

// Without a process descriptor the child is polled in steps this short, so
// that its end is still seen almost at once.
constexpr Milliseconds kFallbackStep{5};

class SpawnActions {
  public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    // stdin, stdout and stderr on /dev/null; everything else closed.
    bool quietStandardStreams() {
        return ok_ &&
               posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
               posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) == 0 &&
               posix_spawn_file_actions_adddup2(&actions_, 1, 2) == 0 &&
               posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

class SpawnAttributes {
  public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() {
        if (ok_) {
            posix_spawnattr_destroy(&attributes_);
        }
    }
    // The calling thread may block signals that the child must still get.
    bool setUp(bool ownSession) {
        sigset_t none;
        sigemptyset(&none);
        // A converter gets a process group of its own, so that a Ctrl+C in
        // our terminal reaches us and not it: it stops when we tell it.
        short flags = POSIX_SPAWN_SETSIGMASK;
        flags |= ownSession ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
        return ok_ && posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               posix_spawnattr_setpgroup(&attributes_, 0) == 0 &&
               posix_spawnattr_setflags(&attributes_, flags) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

  private:
    posix_spawnattr_t attributes_;
    bool ok_ = false;
};

class PidFd {
  public:
    explicit PidFd(pid_t pid) {
#ifdef SYS_pidfd_open
        fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
        (void)pid;
#endif
    }
    PidFd(const PidFd&) = delete;
    PidFd& operator=(const PidFd&) = delete;
    ~PidFd() {
        reset();
    }
    int get() const {
        return fd_;
    }
    void reset() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

// Gives the child's pid, or -1 when it could not be started. glibc's
// posix_spawn reports a failed exec (missing file, no execute permission,
// not a program) as its result.
pid_t spawnProcess(const std::vector<std::string>& command, bool ownSession) {
    if (command.empty() || command.front().empty()) {
        return -1;
    }
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.quietStandardStreams() || !attributes.setUp(ownSession)) {
        return -1;
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(), environ) != 0) {
        return -1;
    }
    return pid;
}

int exitCodeFromStatus(int status) {
    if (WIFEXITED(status)) {
        return static_cast<std::int8_t>(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return kSignalExitBase - WTERMSIG(status);
    }
    return kExitStatusLost;
}

// Waits for one child in passes of a fixed length. Uses a process descriptor
// when the kernel has them, and polls with WNOHANG otherwise.
class ChildWaiter {
  public:
    explicit ChildWaiter(pid_t pid) : pid_(pid), pidFd_(pid) {}

    // Waits until the child ends or the period is over; true when it ended.
    bool waitPeriod(Milliseconds period) {
        const Clock::time_point deadline = Clock::now() + period;
        while (!reaped_) {
            const auto left = std::chrono::ceil<Milliseconds>(
                std::max(deadline - Clock::now(), Clock::duration{}));
            if (pidFd_.get() >= 0) {
                pollfd item{pidFd_.get(), POLLIN, 0};
                const int ready = poll(&item, 1, static_cast<int>(left.count()));
                if (ready > 0) {
                    return true;
                }
                if (ready < 0 && errno != EINTR) {
                    pidFd_.reset();  // go on by polling the child instead
                    continue;
                }
            } else {
                if (reapWithoutWaiting()) {
                    return true;
                }
                std::this_thread::sleep_for(std::min<Clock::duration>(left, kFallbackStep));
            }
            if (Clock::now() >= deadline) {
                return reapWithoutWaiting();
            }
        }
        return true;
    }

    // Reaps the ended child and gives its exit code.
    int finish() {
        while (!reaped_) {
            int status = 0;
            const pid_t result = waitpid(pid_, &status, 0);
            if (result == pid_) {
                reaped_ = true;
                status_ = status;
            } else if (result < 0 && errno != EINTR) {
                reaped_ = true;
                lost_ = true;
            }
        }
        return lost_ ? kExitStatusLost : exitCodeFromStatus(status_);
    }

  private:
    bool reapWithoutWaiting() {
        if (pidFd_.get() >= 0) {
            pollfd item{pidFd_.get(), POLLIN, 0};
            return poll(&item, 1, 0) > 0;
        }
        int status = 0;
        const pid_t result = waitpid(pid_, &status, WNOHANG);
        if (result == pid_) {
            reaped_ = true;
            status_ = status;
        } else if (result < 0 && errno != EINTR) {
            reaped_ = true;  // nothing left to wait for
            lost_ = true;
        }
        return reaped_;
    }

    pid_t pid_;
    PidFd pidFd_;
    bool reaped_ = false;
    bool lost_ = false;
    int status_ = 0;
};

int runAndWait(const std::vector<std::string>& command, int* exitCode, int niceValue,
               int pollPeriodMs, const WatchFunction& watch) {
    const pid_t pid = spawnProcess(command, false);
    if (pid < 0) {
        return 0;
    }
    if (niceValue != kKeepPriority) {
        // Raising the priority needs a privilege; without it the converter
        // simply runs at the priority it inherited.
        setpriority(PRIO_PROCESS, static_cast<id_t>(pid), niceValue);
    }
    ChildWaiter waiter(pid);
    const Milliseconds period{std::max(pollPeriodMs, 1)};
    bool killed = false;
    for (;;) {
        const bool ended = waiter.waitPeriod(period);
        const bool keep = watch ? watch() : true;
        if (ended) {
            break;
        }
        if (!keep && !killed) {
            // The child is not reaped yet, so its pid cannot have been reused.
            kill(pid, SIGKILL);
            killed = true;
        }
    }
    const int code = waiter.finish();
    if (exitCode != nullptr) {
        *exitCode = code;
    }
    return 1;
}

WatchFunction watchFromProgress(const ProgressFunction& progress) {
    if (!progress) {
        return {};
    }
    return [&progress] {
        progress();
        return true;
    };
}

}  // namespace

int priorityClassFor(int setting) {
    switch (setting) {
        case 0:
            return 19;
        case 1:
            return 10;
        case 3:
            return -5;
        case 4:
            return -10;
        case 5:
            return -20;
        default:
            return kNormalPriority;
    }
}

int runConverter(const std::vector<std::string>& command, int* exitCode, int priorityClass,
                 int pollPeriodMs, const ProgressFunction& progress) {
    return runAndWait(command, exitCode, priorityClass, pollPeriodMs, watchFromProgress(progress));
}

int runConverterNormal(const std::vector<std::string>& command, int* exitCode, int pollPeriodMs,
                       const ProgressFunction& progress) {
    return runAndWait(command, exitCode, kKeepPriority, pollPeriodMs, watchFromProgress(progress));
}

int runConverterWatched(const std::vector<std::string>& command, int* exitCode, int priorityClass,
                        int pollPeriodMs, const WatchFunction& watch) {
    return runAndWait(command, exitCode, priorityClass, pollPeriodMs, watch);
}

int launchDetached(const std::vector<std::string>& command) {
    const pid_t pid = spawnProcess(command, true);
    if (pid < 0) {
        return 0;
    }
    // Nobody waits for the program, so a thread of its own reaps it and no
    // zombie is left behind.
    try {
        std::thread([pid] {
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the program runs all the same, and its exit
        // status is collected when we exit.
    }
    return 1;
}

}  // namespace vidmill
