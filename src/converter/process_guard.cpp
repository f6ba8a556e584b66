#include "converter/process_guard.h"

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>

namespace vidmill {

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void onStopSignal(int) {
    stopFlag.store(true, std::memory_order_relaxed);
}

}  // namespace

void installProcessGuards() {
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

    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // The parent may have died before the request was made.
    if (getppid() != parent) {
        stopFlag.store(true, std::memory_order_relaxed);
    }
}

bool stopSignalled() {
    return stopFlag.load(std::memory_order_relaxed);
}

}  // namespace vidmill
