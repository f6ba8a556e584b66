#include "player/bar_visibility.h"

namespace vidmill::player {

void BarVisibility::setPaused(bool paused, Clock::time_point now) {
    if (paused_ && !paused) {
        lastActivity_ = now;
    }
    paused_ = paused;
}

bool BarVisibility::shown(Clock::time_point now) const {
    return staysShown() || now < lastActivity_ + kIdle;
}

std::optional<BarVisibility::Clock::time_point> BarVisibility::hideAt() const {
    if (staysShown()) {
        return std::nullopt;
    }
    return lastActivity_ + kIdle;
}

}  // namespace vidmill::player
