#include "converter/conversion_stop.h"

#include <utility>

#include "converter/process_guard.h"

namespace vidmill {

ConversionStop::ConversionStop(const SlotWriter& slot)
    : ConversionStop([&slot] { return slot.stopRequested(); }, stopSignalled) {}

ConversionStop::ConversionStop(std::function<bool()> stopByte, std::function<bool()> signalled)
    : stopByte_(std::move(stopByte)), signalled_(std::move(signalled)) {}

bool ConversionStop::asked() const {
    return signalled_() || stopByte_();
}

bool ConversionStop::bySignalAlone() const {
    return signalled_() && !stopByte_();
}

void ConversionStop::beginDrain(std::chrono::milliseconds length) {
    drainUntil_ = std::chrono::steady_clock::now() + length;
}

bool ConversionStop::stopNow() const {
    if (!asked()) {
        return false;
    }
    return !drainUntil_ || std::chrono::steady_clock::now() >= *drainUntil_;
}

}  // namespace vidmill
