#pragma once

// When the control bar shows. As in desktop players it comes with any
// movement of the pointer and goes after a while without one, but only while
// a picture plays: paused, with the pointer on the bar, or for sound alone
// (where the bar is all there is to look at) it stays.

#include <chrono>
#include <optional>

namespace vidmill::player {

class BarVisibility {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kIdle{2000};

    // Shown at the start, as if the pointer had just moved.
    explicit BarVisibility(Clock::time_point now) : lastActivity_(now) {}

    void pointerMoved(Clock::time_point now) { lastActivity_ = now; }
    // Playing again counts as activity, so the bar does not vanish under the
    // key or button that resumed.
    void setPaused(bool paused, Clock::time_point now);
    void setPointerOverBar(bool over) { pointerOverBar_ = over; }
    void setPicture(bool picture) { picture_ = picture; }

    bool shown(Clock::time_point now) const;
    // When the bar goes if nothing else happens; nothing while it stays.
    std::optional<Clock::time_point> hideAt() const;

  private:
    bool staysShown() const { return paused_ || pointerOverBar_ || !picture_; }

    Clock::time_point lastActivity_;
    bool paused_ = false;
    bool pointerOverBar_ = false;
    bool picture_ = true;
};

}  // namespace vidmill::player
