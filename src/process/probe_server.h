#pragma once

// One probe server (see probe_protocol.h) as its user sees it: started when
// the first file comes, handed one file at a time, and ended on request or
// when it is destroyed. A server that dies, or is killed for a file that
// hangs it, is started afresh for the next file.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "process/converter_runner.h"
#include "system/file_descriptor.h"

namespace vidmill {

class ProbeServer {
  public:
    // `command` starts the server; it is not started yet.
    explicit ProbeServer(std::vector<std::string> command) : command_(std::move(command)) {}
    ProbeServer(const ProbeServer&) = delete;
    ProbeServer& operator=(const ProbeServer&) = delete;
    ~ProbeServer() { end(kEndGrace); }

    enum class Outcome {
        Answered,    // the server answered; it still runs
        Ended,       // the server ended (or was killed) before it answered
        NotStarted,  // no server could be started
    };

    // Starts the server when none runs, asks it to probe `path` into `slot`
    // and waits for the answer in passes of pollPeriodMs, calling watch once
    // per pass. A watch that gives false kills the server at once. *code
    // receives the answer's exit code, or the server's own exit code when it
    // ended (kSignalExitBase - n for signal n).
    Outcome probe(int slot, const std::string& path, int* code, int pollPeriodMs,
                  const WatchFunction& watch);

    // Lets the server go: closes its requests, and kills it when it is still
    // there after `grace`.
    void end(std::chrono::milliseconds grace);

    // The server's pid while it runs, else -1. Any thread may ask.
    pid_t pid() const { return pid_.load(); }

    static constexpr std::chrono::milliseconds kEndGrace{2000};

  private:
    bool start();
    // Kills the server (when `kill`) and reaps it; gives its exit code.
    int finish(bool kill);
    // Whether the server has ended, or ends within `limit`; it stays unreaped.
    bool exitsWithin(std::chrono::milliseconds limit);
    // The next whole answer line from what was read, without its newline.
    bool takeLine(std::string* line);

    std::vector<std::string> command_;
    std::atomic<pid_t> pid_{-1};
    FileDescriptor pidFd_;
    FileDescriptor socket_;
    std::string received_;
};

}  // namespace vidmill
