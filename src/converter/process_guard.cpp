#include "converter/process_guard.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "converter/convert_error.h"
#include "process/converter_runner.h"

namespace vidmill {

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The deadline's handler may run in the middle of armOutputRemoval(): it
// reads the path only while `removalArmed` says that it is complete.
char removalPath[PATH_MAX];
int removalDescriptor = -1;
std::atomic<bool> removalArmed{false};

void startDeadline() {
    // Only the first stop signal starts the clock; later ones must not push it back.
    if (!stopFlag.exchange(true, std::memory_order_relaxed)) {
        alarm(static_cast<unsigned>(kSignalDeadline.count()));
    }
}

void onStopSignal(int) {
    startDeadline();
}

// The parent we were started by. The kernel tells of its death with SIGCONT,
// the one signal that also wakes us when we are held stopped (a paused
// batch); any other SIGCONT finds the parent still there.
pid_t lifeParent = 0;

void onContinue(int) {
    if (getppid() != lifeParent) {
        startDeadline();
    }
}

std::atomic<bool> deadlinePassed{false};

// Only async-signal-safe calls: the process may be stuck anywhere.
void onDeadline(int) {
    if (deadlinePassed.exchange(true)) {
        _exit(exit_code::kInterrupted);  // the message below got stuck
    }
    if (removalArmed.load(std::memory_order_acquire)) {
        removeOutput(removalPath, removalDescriptor);
    }
    // A stderr pipe that nobody reads must not hold the process either: the
    // next alarm interrupts the write and ends it.
    alarm(1);
    static const char message[] =
        "vidmill-convert: stopped by a signal and did not end in time; the unfinished output "
        "was removed\n";
    (void)!::write(STDERR_FILENO, message, sizeof message - 1);
    _exit(exit_code::kInterrupted);
}

}  // namespace

void installProcessGuards() {
    struct sigaction deadline {};
    deadline.sa_handler = onDeadline;
    deadline.sa_flags = SA_NODEFER;  // so that the second alarm can interrupt the first
    sigemptyset(&deadline.sa_mask);
    sigaction(SIGALRM, &deadline, nullptr);

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);

    lifeParent = getppid();
    struct sigaction continued {};
    continued.sa_handler = onContinue;
    sigemptyset(&continued.sa_mask);
    continued.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &continued, nullptr);
    // The parent may have died before the request was made.
    if (!tieLifeToParent(SIGCONT)) {
        startDeadline();
    }
}

bool stopSignalled() {
    return stopFlag.load(std::memory_order_relaxed);
}

void removeOutput(const char* path, int descriptor) {
    if (descriptor < 0) {
        ::unlink(path);
        return;
    }
    // Whoever renames entries in the folder may have put another file
    // under the name meanwhile: that one stays.
    struct stat ours {};
    struct stat named {};
    (void)!::ftruncate(descriptor, 0);
    if (::fstat(descriptor, &ours) == 0 && ::lstat(path, &named) == 0 &&
        ours.st_dev == named.st_dev && ours.st_ino == named.st_ino) {
        ::unlink(path);
    }
}

void armOutputRemoval(const char* path, int descriptor) {
    removalArmed.store(false, std::memory_order_release);
    const std::size_t length = std::strlen(path);
    if (length >= sizeof removalPath) {
        return;
    }
    std::memcpy(removalPath, path, length + 1);
    removalDescriptor = descriptor;
    removalArmed.store(true, std::memory_order_release);
}

void disarmOutputRemoval() {
    removalArmed.store(false, std::memory_order_release);
}

int conversionsAtOnce() {
    const char* text = std::getenv(kConversionsAtOnceVariable);
    if (text == nullptr) {
        return 1;
    }
    char* end = nullptr;
    const long count = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && count >= 1 && count <= 1000 ? static_cast<int>(count) : 1;
}

}  // namespace vidmill
