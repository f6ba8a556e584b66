#pragma once

// The window's way for worker threads to run something on the interface
// thread: the engine's queued call, drained by the Qt event loop. A call from
// a worker wakes the loop with one posted event; calls made while that event
// waits ride along with it.

#include <QObject>
#include <atomic>

#include "engine/gui_call.h"

namespace vidmill {

class QtGuiCall : public QObject, public QueuedGuiCall {
    Q_OBJECT
  public:
    // The calling thread, which must run the Qt event loop, becomes the
    // owning thread.
    explicit QtGuiCall(QObject* parent = nullptr);

  private:
    void drain();

    std::atomic<bool> posted_{false};
};

}  // namespace vidmill
