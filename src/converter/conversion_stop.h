#pragma once

// Whether, and how, a run is to stop: the engine asks for a shorter file
// through the stop byte of the progress slot; a stop signal (a closed
// terminal, the death of the program that started us) asks for no file at
// all. Once stopped, a conversion may drain what its decoders and filters
// already hold for a moment before it stops for good.

#include <chrono>
#include <functional>
#include <optional>

#include "process/slot_writer.h"

namespace vidmill {

class ConversionStop {
  public:
    // How long a stopped conversion may go on writing what is already decoded.
    static constexpr std::chrono::milliseconds kDrain{300};

    // Watches the slot's stop byte (the slot must outlive this) and the
    // process's stop signals.
    explicit ConversionStop(const SlotWriter& slot);
    // Watches whatever the two checks look at.
    ConversionStop(std::function<bool()> stopByte, std::function<bool()> signalled);

    // True once the engine or a signal asked for a stop.
    bool asked() const;
    // True when a signal, and not the engine, asked: nobody wants a shorter
    // file then.
    bool bySignalAlone() const;

    // Lets a stopped conversion finish what is already decoded, for `length`.
    void beginDrain(std::chrono::milliseconds length = kDrain);
    // Whether to stop here: a stop was asked, and no drain is under way or
    // its time is up.
    bool stopNow() const;

  private:
    std::function<bool()> stopByte_;
    std::function<bool()> signalled_;
    std::optional<std::chrono::steady_clock::time_point> drainUntil_;
};

}  // namespace vidmill
