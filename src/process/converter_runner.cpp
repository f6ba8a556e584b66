#include "process/converter_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "system/file_descriptor.h"

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
    // stdin and stdout on /dev/null, or both on streamFd when it is not -1;
    // stderr on errorFd (or /dev/null when it is -1), `outputFd` and
    // `inputFd` (when not -1) as kOutputDescriptor and kInputDescriptor;
    // everything else closed.
    bool quietStandardStreams(int errorFd, int outputFd, int streamFd = -1, int inputFd = -1) {
        if (!ok_) {
            return false;
        }
        if (streamFd >= 0) {
            if (posix_spawn_file_actions_adddup2(&actions_, streamFd, 0) != 0 ||
                posix_spawn_file_actions_adddup2(&actions_, streamFd, 1) != 0 ||
                posix_spawn_file_actions_addopen(&actions_, 2, "/dev/null", O_WRONLY, 0) != 0) {
                return false;
            }
            return posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
        }
        if (posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) != 0 ||
            posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0) != 0) {
            return false;
        }
        const int error = errorFd >= 0 ? posix_spawn_file_actions_adddup2(&actions_, errorFd, 2)
                                       : posix_spawn_file_actions_adddup2(&actions_, 1, 2);
        if (error != 0) {
            return false;
        }
        // Each handed file goes to its number from a copy above both numbers,
        // so that neither move overwrites the other file's descriptor.
        int handedUpTo = 2;
        const std::pair<int, int> handed[] = {{outputFd, kOutputDescriptor},
                                              {inputFd, kInputDescriptor}};
        for (const auto& [fd, number] : handed) {
            if (fd < 0) {
                continue;
            }
            copies_.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, kInputDescriptor + 1));
            // The copy's close-on-exec flag is cleared by the move itself.
            if (copies_.back().get() < 0 ||
                posix_spawn_file_actions_adddup2(&actions_, copies_.back().get(), number) != 0) {
                return false;
            }
            handedUpTo = std::max(handedUpTo, number);
        }
        return posix_spawn_file_actions_addclosefrom_np(&actions_, handedUpTo + 1) == 0;
    }
    const posix_spawn_file_actions_t* get() const { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
    // Copies of the handed files, held until the child has started.
    std::vector<FileDescriptor> copies_;
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

// A descriptor of the child's process: readable when it has ended, and
// held until the child is reaped, so that its pid cannot be reused meanwhile.
class PidFd : public FileDescriptor {
  public:
    void open(pid_t pid) {
#ifdef SYS_pidfd_open
        reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
        (void)pid;
        reset();
#endif
    }
};

// Our environment, with the lifeline variable naming us when `lifeline` is
// set and the number of conversions at once when it is above 0; neither
// variable is passed on from our own environment.
class ChildEnvironment {
  public:
    explicit ChildEnvironment(bool lifeline, int conversionsAtOnce = 0) {
        for (char** item = environ; item != nullptr && *item != nullptr; ++item) {
            if (!names(*item, kParentPidVariable) && !names(*item, kConversionsAtOnceVariable)) {
                pointers_.push_back(*item);
            }
        }
        if (lifeline) {
            own_ = std::string(kParentPidVariable) + "=" + std::to_string(getpid());
            pointers_.push_back(own_.data());
        }
        if (conversionsAtOnce > 0) {
            atOnce_ =
                std::string(kConversionsAtOnceVariable) + "=" + std::to_string(conversionsAtOnce);
            pointers_.push_back(atOnce_.data());
        }
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }

  private:
    static bool names(const char* item, const char* name) {
        const std::size_t length = std::strlen(name);
        return std::strncmp(item, name, length) == 0 && item[length] == '=';
    }

    std::string own_;
    std::string atOnce_;
    std::vector<char*> pointers_;
};

// Gives the child's pid, or -1 when it could not be started. glibc's
// posix_spawn reports a failed exec (missing file, no execute permission,
// not a program) as its result.
pid_t spawnProcess(const std::vector<std::string>& command, bool ownSession,
                   const ChildEnvironment& environment, int errorFd = -1, int outputFd = -1,
                   int streamFd = -1, int inputFd = -1) {
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
    if (!actions.quietStandardStreams(errorFd, outputFd, streamFd, inputFd) ||
        !attributes.setUp(ownSession)) {
        return -1;
    }
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], actions.get(), attributes.get(), argv.data(),
                    environment.get()) != 0) {
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

// The last bytes that a child wrote to its standard error. Read whenever
// there is something, so the child never blocks on a full pipe.
class ErrorTail {
  public:
    explicit ErrorTail(int readFd) : fd_(readFd) {}
    int fd() const { return fd_.get(); }
    // Reads what is there now; false once the pipe has ended.
    bool drain() {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(fd_.get(), buffer, sizeof buffer);
            if (got > 0) {
                text_.append(buffer, static_cast<std::size_t>(got));
                if (text_.size() > 4 * kErrorTailBytes) {
                    text_.erase(0, text_.size() - kErrorTailBytes);
                }
                continue;
            }
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0 && errno == EAGAIN) {
                return true;
            }
            fd_.reset();  // end of the pipe, or an error: nothing more to read
            return false;
        }
    }
    std::string take() {
        if (fd_.get() >= 0) {
            drain();
        }
        if (text_.size() > kErrorTailBytes) {
            text_.erase(0, text_.size() - kErrorTailBytes);
        }
        return std::move(text_);
    }

  private:
    FileDescriptor fd_;
    std::string text_;
};

// Every child that a runner waits for, so that a program about to end can
// end them too. A child leaves the list before it is reaped, so its pid is
// never reused while listed.
class LiveChildren {
  public:
    // Starts the child and lists it in one step under the lock, so that
    // signalRunning() never misses a child that has already started. Gives
    // the pid (-1 when it did not start); pidFd receives its descriptor.
    // A child with a pause flag is held stopped while the flag is set (see
    // applyPauses), from its first instant when the flag is set already.
    pid_t spawn(const std::vector<std::string>& command, const ChildEnvironment& environment,
                int errorFd, int outputFd, PidFd& pidFd, int streamFd = -1,
                const std::atomic<bool>* pauseFlag = nullptr, int inputFd = -1) {
        std::lock_guard lock(mutex_);
        const pid_t pid =
            spawnProcess(command, false, environment, errorFd, outputFd, streamFd, inputFd);
        if (pid >= 0) {
            pidFd.open(pid);
            children_.push_back({pid, pidFd.get(), pauseFlag, false});
        }
        return pid;
    }
    // Stops the process group of every child whose pause flag is set and
    // continues those whose flag was cleared; gives the number of flagged
    // children that could not be stopped yet.
    int applyPauses() {
        std::lock_guard lock(mutex_);
        int waiting = 0;
        for (Child& child : children_) {
            holdAsFlagged(child);
            const bool wanted = child.pauseFlag != nullptr && child.pauseFlag->load();
            waiting += wanted && !child.held ? 1 : 0;
        }
        return waiting;
    }
    void remove(pid_t pid) {
        std::lock_guard lock(mutex_);
        children_.erase(std::remove_if(children_.begin(), children_.end(),
                                       [pid](const Child& child) { return child.pid == pid; }),
                        children_.end());
    }
    // Sends the signal to every listed child that still runs; gives their number.
    int signalRunning(int signal) {
        std::lock_guard lock(mutex_);
        int running = 0;
        for (const Child& child : children_) {
            if (!hasEnded(child)) {
                ++running;
                if (signal != 0) {
                    sendSignal(child, signal);
                    if (child.held && signal != SIGKILL) {
                        // A stopped child acts on the signal only once it runs.
                        killpg(child.pid, SIGCONT);
                    }
                }
            }
        }
        return running;
    }

  private:
    struct Child {
        pid_t pid;
        int pidFd;
        const std::atomic<bool>* pauseFlag;
        // Whether we have stopped its group and not continued it since.
        bool held;
    };
    // The child's group gets SIGSTOP or SIGCONT when its flag has changed.
    // Listed children are unreaped, so the group cannot be another's.
    static void holdAsFlagged(Child& child) {
        const bool wanted = child.pauseFlag != nullptr && child.pauseFlag->load();
        if (wanted != child.held && (!wanted || canBeWoken(child.pid))) {
            killpg(child.pid, wanted ? SIGSTOP : SIGCONT);
            child.held = wanted;
        }
    }
    // Whether the child catches SIGCONT yet: its parent's death wakes it
    // through that signal (see tieLifeToParent). One stopped before, while
    // it loads, would sleep on after we died, and is held only later.
    static bool canBeWoken(pid_t pid) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
        FILE* status = std::fopen(path, "re");
        if (status == nullptr) {
            return true;  // no such view: hold it as asked
        }
        char line[256];
        unsigned long long caught = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, status) != nullptr) {
            found = std::sscanf(line, "SigCgt: %llx", &caught) == 1;
        }
        std::fclose(status);
        return !found || (caught & (1ULL << (SIGCONT - 1))) != 0;
    }
    static bool hasEnded(const Child& child) {
        if (child.pidFd >= 0) {
            pollfd item{child.pidFd, POLLIN, 0};
            return poll(&item, 1, 0) > 0;
        }
        siginfo_t info{};
        return waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                   0 &&
               info.si_pid == child.pid;
    }
    static void sendSignal(const Child& child, int signal) {
#ifdef SYS_pidfd_send_signal
        if (child.pidFd >= 0 &&
            syscall(SYS_pidfd_send_signal, child.pidFd, signal, nullptr, 0) == 0) {
            return;
        }
#endif
        kill(child.pid, signal);
    }

    std::mutex mutex_;
    std::vector<Child> children_;
};

LiveChildren& liveChildren() {
    static LiveChildren* children = new LiveChildren;  // used until the very end
    return *children;
}

// Whether the child has ended, without reaping it. An error means nothing is
// left to wait for (someone else reaped it).
bool childHasEnded(pid_t pid, int pidFd) {
    if (pidFd >= 0) {
        pollfd item{pidFd, POLLIN, 0};
        return poll(&item, 1, 0) > 0;
    }
    siginfo_t info{};
    const int result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    return (result == 0 && info.si_pid == pid) || (result < 0 && errno != EINTR);
}

// Unlists the child, then waits for it and gives its exit code.
int reapChild(pid_t pid) {
    liveChildren().remove(pid);
    for (;;) {
        int status = 0;
        const pid_t result = waitpid(pid, &status, 0);
        if (result == pid) {
            return exitCodeFromStatus(status);
        }
        if (result < 0 && errno != EINTR) {
            return kExitStatusLost;
        }
    }
}

// Waits for one child in passes of a fixed length, reading its standard
// error meanwhile. Uses a process descriptor when the kernel has them, and
// polls in short steps otherwise. The child stays unreaped until finish().
class ChildWaiter {
  public:
    // Takes over a child that liveChildren().spawn() started and listed.
    ChildWaiter(pid_t pid, const PidFd& pidFd, ErrorTail* errors)
        : pid_(pid), pidFd_(pidFd), errors_(errors) {}
    ChildWaiter(const ChildWaiter&) = delete;
    ChildWaiter& operator=(const ChildWaiter&) = delete;
    ~ChildWaiter() { finish(); }

    // Waits until the child ends or the period is over; true when it ended.
    bool waitPeriod(Milliseconds period) {
        const Clock::time_point deadline = Clock::now() + period;
        for (;;) {
            if (ended()) {
                return true;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                return false;
            }
            auto left = std::chrono::ceil<Milliseconds>(deadline - now);
            pollfd items[2];
            nfds_t count = 0;
            if (pidFd_.get() >= 0) {
                items[count++] = {pidFd_.get(), POLLIN, 0};
            } else {
                left = std::min(left, kFallbackStep);
            }
            const bool reading = errors_ != nullptr && errors_->fd() >= 0;
            if (reading) {
                items[count++] = {errors_->fd(), POLLIN, 0};
            }
            if (count == 0) {
                std::this_thread::sleep_for(left);
                continue;
            }
            const int ready = poll(items, count, static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) {
                // Out of kernel memory for the moment: try again shortly.
                std::this_thread::sleep_for(std::min(left, kFallbackStep));
                continue;
            }
            if (reading && ready > 0 && items[count - 1].revents != 0) {
                errors_->drain();
            }
        }
    }

    // Reaps the ended child and gives its exit code.
    int finish() {
        if (!reaped_) {
            code_ = reapChild(pid_);
            reaped_ = true;
        }
        return code_;
    }

  private:
    bool ended() { return childHasEnded(pid_, pidFd_.get()); }

    pid_t pid_;
    const PidFd& pidFd_;  // closed only after finish() has unlisted the child
    ErrorTail* errors_;
    bool reaped_ = false;
    int code_ = kExitStatusLost;
};

// Applies a nice value to every thread of the child: it leads a process group
// of its own, and the group form reaches each thread, where the process form
// would reach only the first.
// The priority is a step from the caller's own: started under `nice`, the
// converters stay as far below as the person asked, and Normal is never
// above the program that runs them.
void applyPriority(pid_t pid, int niceStep) {
    if (niceStep == kKeepPriority) {
        return;
    }
    errno = 0;
    const int own = getpriority(PRIO_PROCESS, 0);  // this thread's, as the child inherited it
    if (own == -1 && errno != 0) {
        return;
    }
    // Raising the priority needs a privilege; without it the converter
    // simply runs at the priority it inherited.
    setpriority(PRIO_PGRP, static_cast<id_t>(pid), std::clamp(own + niceStep, -20, 19));
}

int runAndWait(const std::vector<std::string>& command, int* exitCode, int niceValue,
               int pollPeriodMs, const WatchFunction& watch, std::string* errorTail,
               int conversionsAtOnce, int outputFd, const std::atomic<bool>* pauseFlag,
               int inputFd) {
    int pipeFds[2] = {-1, -1};
    if (errorTail != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
    }
    FileDescriptor writeEnd(pipeFds[1]);
    ErrorTail errors(pipeFds[0]);
    if (errors.fd() >= 0) {
        fcntl(errors.fd(), F_SETFL, O_NONBLOCK);
    }
    const ChildEnvironment environment(true, conversionsAtOnce);
    PidFd pidFd;
    const pid_t pid = liveChildren().spawn(command, environment, writeEnd.get(), outputFd, pidFd,
                                           -1, pauseFlag, inputFd);
    writeEnd.reset();  // the child holds its own copy
    if (pid < 0) {
        return 0;
    }
    // From here the child is listed and this thread waits for it until it
    // has ended: the thread's end is its parent's death to the kernel.
    ChildWaiter waiter(pid, pidFd, errors.fd() >= 0 ? &errors : nullptr);
    applyPriority(pid, niceValue);
    const Milliseconds period{std::max(pollPeriodMs, 1)};
    bool killed = false;
    bool firstPass = true;
    for (;;) {
        const bool ended = waiter.waitPeriod(period);
        if (firstPass && !ended) {
            // Threads that the child created in the instant between its start
            // and the first call may have missed it.
            applyPriority(pid, niceValue);
            firstPass = false;
        }
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
    if (errorTail != nullptr) {
        *errorTail = errors.take();
    }
    return 1;
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

int runConverterWatched(const std::vector<std::string>& command, int* exitCode, int priorityClass,
                        int pollPeriodMs, const WatchFunction& watch, std::string* errorTail,
                        int conversionsAtOnce, int outputFd, const std::atomic<bool>* pauseFlag,
                        int inputFd) {
    return runAndWait(command, exitCode, priorityClass, pollPeriodMs, watch, errorTail,
                      conversionsAtOnce, outputFd, pauseFlag, inputFd);
}

int applyConverterPauses() {
    return liveChildren().applyPauses();
}

pid_t startServedConverter(const std::vector<std::string>& command, int streamFd, int* pidFd) {
    const ChildEnvironment environment(true);
    PidFd descriptor;
    const pid_t pid = liveChildren().spawn(command, environment, -1, -1, descriptor, streamFd);
    *pidFd = descriptor.release();
    return pid;
}

bool servedConverterEnded(pid_t pid, int pidFd) {
    return childHasEnded(pid, pidFd);
}

int reapServedConverter(pid_t pid) {
    return reapChild(pid);
}

int endRunningConverters(std::chrono::milliseconds grace) {
    if (liveChildren().signalRunning(SIGTERM) == 0) {
        return 0;
    }
    const Clock::time_point deadline = Clock::now() + grace;
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(Milliseconds(10));
        if (liveChildren().signalRunning(0) == 0) {
            return 0;
        }
    }
    return liveChildren().signalRunning(SIGKILL);
}

int launchDetached(const std::vector<std::string>& command) {
    // A detached program is meant to outlive us: no lifeline.
    const pid_t pid = spawnProcess(command, true, ChildEnvironment(false));
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

bool tieLifeToParent(int signal) {
    const pid_t before = getppid();
    prctl(PR_SET_PDEATHSIG, signal);
    const pid_t parent = getppid();
    const char* named = std::getenv(kParentPidVariable);
    if (named != nullptr && *named != '\0') {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(named, &end, 10);
        if (errno == 0 && *end == '\0' && value > 0) {
            // Once orphaned, our parent is whoever adopted us.
            return parent == value;
        }
    }
    return parent == before;
}

}  // namespace vidmill
