// A millisecond counter for measuring intervals.
#pragma once

#include <cstdint>

namespace vidmill {

// Milliseconds of the monotonic clock, cut to 32 bits: it wraps after about 49.7 days, so
// intervals are taken as unsigned differences (now - start), which survive the wrap.
uint32_t tickCount();

// The same clock uncut, for intervals that need no wrap-around care.
int64_t monotonicMs();

}  // namespace vidmill
