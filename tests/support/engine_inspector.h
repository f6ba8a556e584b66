#pragma once

// The engine's insides for tests that set up a list, or settings, that no
// command makes as quickly: entries of any status, a lock to hold.

#include "engine/engine.h"

namespace vidmill {

class EngineInspector {
  public:
    explicit EngineInspector(Engine& engine) : engine_(engine) {}

    ConversionSettings& settings() { return engine_.settings_; }
    EntryList& entryList() { return engine_.list_; }
    CheckedMutex& mutex() { return engine_.mutex_; }
    bool waitsForEarlierEntry(int row) const { return engine_.waitsForEarlierEntry(row); }

  private:
    Engine& engine_;
};

inline EngineInspector inspect(Engine& engine) {
    return EngineInspector(engine);
}

}  // namespace vidmill
