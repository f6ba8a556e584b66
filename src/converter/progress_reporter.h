#pragma once

// Reports a run through its progress slot: the source duration as soon as it
// is known, and the percent done and the bytes written a few times a second.
// The slot's stop byte is ConversionStop's to read.

#include <chrono>
#include <cstdint>

#include "process/slot_writer.h"

namespace vidmill {

class ProgressReporter {
  public:
    ProgressReporter() = default;  // no slot: reports nothing
    explicit ProgressReporter(SlotWriter slot);

    void setDuration(double seconds);
    double duration() const { return duration_; }

    // Cheap enough to call for every packet: the slot is written at most every
    // kReportInterval.
    void update(double doneSeconds, std::int64_t bytesWritten);
    // Writes the last figures whatever the time.
    void finish(double doneSeconds, std::int64_t bytesWritten);

    // The run is pass `index` (from 0) of `count` over the same length:
    // progress counts on from where the passes before it ended.
    void setPass(int index, int count);

    const SlotWriter& slot() const { return slot_; }

    static constexpr std::chrono::milliseconds kReportInterval{200};

  private:
    void write(double doneSeconds, std::int64_t bytesWritten);

    SlotWriter slot_;
    double duration_ = 0.0;
    int passIndex_ = 0;
    int passCount_ = 1;
    std::chrono::steady_clock::time_point lastReport_{};
};

}  // namespace vidmill
