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

void ProgressReporter::setPass(int index, int count) {
    passCount_ = std::max(count, 1);
    passIndex_ = std::clamp(index, 0, passCount_ - 1);
    slot_.writePass(passCount_ > 1 ? passIndex_ + 1 : 0);
}

void ProgressReporter::write(double doneSeconds, std::int64_t bytesWritten) {
    if (duration_ > 0.0 && std::isfinite(doneSeconds)) {
        const double done =
            (passIndex_ * duration_ + std::clamp(doneSeconds, 0.0, duration_)) / passCount_;
        slot_.writePercent(std::clamp(done / duration_ * 100.0, 0.0, 100.0));
    }
    slot_.writeAmount(static_cast<double>(std::max<std::int64_t>(bytesWritten, 0)));
}

}  // namespace vidmill
