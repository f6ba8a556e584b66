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
}

Engine::~Engine() {
    // No worker may outlive the entries it works on.
    if (anyWorkerThreadAlive()) {
        stopEverything(kFinalWait);
    }
    if (anyWorkerThreadAlive()) {
        // A worker stuck beyond every wait (a converter that even SIGKILL
        // cannot end) must not find its entry freed; the process is ending.
        for (auto& entry : abandoned_) {
            (void)entry.release();
        }
        for (int i = list_.count() - 1; i >= 0; --i) {
            (void)list_.entries().removeAt(i).release();
        }
    }
    channel_.closeChannel();
}

int Engine::liveWorkers() {
    std::lock_guard lock(mutex_);
    return workerCount_;
}

bool Engine::anyWorkerThreadAlive() const {
    auto alive = [](const auto& entry) { return entry->worker.started && !entry->worker.exited(); };
    return std::any_of(list_.entries().begin(), list_.entries().end(), alive) ||
           std::any_of(abandoned_.begin(), abandoned_.end(), alive);
}

bool Engine::waitForWorkers(std::chrono::milliseconds limit) {
    expectInterfaceThread();
    auto end = std::chrono::steady_clock::now() + limit;
    while (anyWorkerThreadAlive()) {
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
    retireEntry(list_.entries().removeAt(row));
}

void Engine::retireEntry(std::unique_ptr<VideoEntry> removed) {
    expectLocked();
    if (removed && removed->worker.started && !removed->worker.exited()) {
        abandoned_.push_back(std::move(removed));
    }
}

}  // namespace vidmill
