#include "system/tick_count.h"

#include <ctime>

namespace vidmill {

int64_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

uint32_t tickCount() {
    return static_cast<uint32_t>(monotonicMs());
}

}  // namespace vidmill
