#include "engine/engine.h"

#include <algorithm>

#include "engine/engine_host.h"
#include "engine/gui_call.h"
#include "formats/format_preset.h"

namespace vidmill {
namespace {

// How long the engine waits at its end for workers that still run.
constexpr std::chrono::seconds kFinalWait{20};

}  // namespace

Engine::Engine(EngineHost& host, GuiCall& gui, std::string converterPath, EngineTiming timing)
    : host_(host), gui_(gui), converterPath_(std::move(converterPath)), timing_(timing) {
    setDefaultSettings(settings_);
    channel_.openChannel();
    if (channel_.isOpen()) {
        probePool_ = std::make_unique<ProbePool>(probeServerCommand(),
                                                 std::chrono::milliseconds(timing_.probeIdleMs));
    }
}

Engine::~Engine() {
    probePool_.reset();
    // No worker may outlive the engine it works for. One stuck beyond every
    // wait (a converter that even SIGKILL cannot end) keeps at least its
    // entry; the process is ending.
    if (workers_.alive() > 0) {
        stopEverything(kFinalWait);
    }
    channel_.closeChannel();
}

int Engine::liveWorkers() {
    std::lock_guard lock(mutex_);
    return workerCount_;
}

bool Engine::waitForWorkers(std::chrono::milliseconds limit) {
    expectInterfaceThread();
    auto end = std::chrono::steady_clock::now() + limit;
    while (workers_.alive() > 0) {
        if (std::chrono::steady_clock::now() >= end) {
            if (killConverters_.load()) {
                return false;
            }
            // The converters had their stop byte and still run: end them,
            // and give their workers time to notice.
            killConverters_.store(true);
            end = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(2 * timing_.progressPollMs + 2000);
        }
        gui_.pump(std::chrono::milliseconds(20));
    }
    return true;
}

void Engine::discardEntryAt(int row) {
    expectLocked();
    (void)list_.entries().removeAt(row);
}

}  // namespace vidmill
