#include "converter/progress_reporter.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vidmill {

ProgressReporter::ProgressReporter(SlotWriter slot) : slot_(std::move(slot)) {}

void ProgressReporter::setDuration(double seconds) {
    duration_ = std::isfinite(seconds) && seconds > 0.0 ? seconds : 0.0;
    slot_.writeDuration(duration_);
}

void ProgressReporter::update(double doneSeconds, std::int64_t bytesWritten) {
    if (!slot_.active()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport_ < kReportInterval) {
        return;
    }
    lastReport_ = now;
    write(doneSeconds, bytesWritten);
}

void ProgressReporter::finish(double doneSeconds, std::int64_t bytesWritten) {
    write(doneSeconds, bytesWritten);
}

void ProgressReporter::write(double doneSeconds, std::int64_t bytesWritten) {
    if (duration_ > 0.0 && std::isfinite(doneSeconds)) {
        slot_.writePercent(std::clamp(doneSeconds / duration_ * 100.0, 0.0, 100.0));
    }
    slot_.writeAmount(static_cast<double>(std::max<std::int64_t>(bytesWritten, 0)));
}

}  // namespace vidmill
