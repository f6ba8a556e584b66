#include "process/probe_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "process/probe_protocol.h"

namespace vidmill {

namespace {

using Clock = std::chrono::steady_clock;

// Sends every byte, without SIGPIPE when the server has gone.
bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t wrote = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        sent += std::size_t(wrote);
    }
    return true;
}

}  // namespace

bool ProbeServer::start() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return false;
    }
    socket_.reset(pair[0]);
    // The server's end: it gets its own copies as its input and output.
    const FileDescriptor theirs(pair[1]);
    int pidFd = -1;
    const pid_t pid = startServedConverter(command_, theirs.get(), &pidFd);
    if (pid < 0) {
        socket_.reset();
        return false;
    }
    pid_ = pid;
    pidFd_.reset(pidFd);
    received_.clear();
    return true;
}

int ProbeServer::finish(bool kill) {
    if (pid_ < 0) {
        return kExitStatusLost;
    }
    if (kill) {
        // Not reaped yet, so the pid is still this server's.
        ::kill(pid_, SIGKILL);
    }
    socket_.reset();
    // Nobody is told of a pid once it may be reaped and used again.
    const pid_t pid = pid_.exchange(-1);
    const int code = reapServedConverter(pid);
    pidFd_.reset();
    received_.clear();
    return code;
}

bool ProbeServer::exitsWithin(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (servedConverterEnded(pid_, pidFd_.get())) {
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        if (pidFd_.get() >= 0) {
            pollfd item{pidFd_.get(), POLLIN, 0};
            poll(&item, 1, int(left.count()));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
        }
    }
}

bool ProbeServer::takeLine(std::string* line) {
    const std::size_t end = received_.find('\n');
    if (end == std::string::npos) {
        return false;
    }
    line->assign(received_, 0, end);
    received_.erase(0, end + 1);
    return true;
}

ProbeServer::Outcome ProbeServer::probe(int slot, const std::string& path, int* code,
                                        int pollPeriodMs, const WatchFunction& watch) {
    if (pid_ < 0 && !start()) {
        return Outcome::NotStarted;
    }
    if (!sendAll(socket_.get(), probeRequest(slot, path))) {
        *code = finish(true);
        return Outcome::Ended;
    }
    const auto period = std::chrono::milliseconds(std::max(pollPeriodMs, 1));
    auto passEnd = Clock::now() + period;
    for (;;) {
        std::string line;
        if (takeLine(&line)) {
            int answeredSlot = -1;
            // One answer to one request: anything more is not the
            // conversation we know, and nothing it says can be trusted.
            if (!parseProbeAnswer(line, &answeredSlot, code) || answeredSlot != slot ||
                !received_.empty()) {
                *code = finish(true);
                return Outcome::Ended;
            }
            return Outcome::Answered;
        }
        const auto now = Clock::now();
        if (now >= passEnd) {
            if (watch && !watch()) {
                *code = finish(true);
                return Outcome::Ended;
            }
            passEnd = now + period;
        }
        pollfd item{socket_.get(), POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(passEnd - Clock::now());
        const int ready = poll(&item, 1, int(std::max<std::int64_t>(left.count(), 0)));
        if (ready <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = recv(socket_.get(), buffer, sizeof buffer, 0);
        if (got > 0) {
            received_.append(buffer, std::size_t(got));
            if (received_.size() > 4096) {
                *code = finish(true);  // an answer is a few bytes
                return Outcome::Ended;
            }
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            // Our end sees the end of the stream once the server is going
            // (its answer, if any, was read before); one that lingers is
            // killed.
            *code = finish(!exitsWithin(ProbeServer::kEndGrace));
            return Outcome::Ended;
        }
    }
}

void ProbeServer::end(std::chrono::milliseconds grace) {
    if (pid_ < 0) {
        return;
    }
    // The end of its requests ends it; its end of the stream closes as it
    // exits.
    shutdown(socket_.get(), SHUT_WR);
    const auto deadline = Clock::now() + grace;
    bool closed = false;
    while (!closed) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd item{socket_.get(), POLLIN, 0};
        if (left.count() <= 0) {
            break;
        }
        const int ready = poll(&item, 1, int(left.count()));
        if (ready <= 0) {
            continue;  // interrupted, or the time is up: looked at above
        }
        char buffer[256];
        const ssize_t got = recv(socket_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
        closed = got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN);
    }
    // One that ignored the end, or lingers after closing, is killed now.
    finish(!closed || !exitsWithin(grace));
}

}  // namespace vidmill
