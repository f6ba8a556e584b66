#pragma once

// One HTTP GET on the interface thread, bounded in time and in size: the
// window waits for it, so a silent network must not hold it for long.

#include <QString>
#include <cstddef>

#include "system/update_check.h"

namespace vidmill {

// How long the version check may take at most.
inline constexpr int kHttpGetTimeoutMs = 5000;

// GETs `url` from the server (never from a cache), reading at most
// `capacity` bytes. ok when the status is 2xx and the body was read to its
// end or up to `capacity`; a time-out, a refused connection or any other
// status is a failure. Events are processed meanwhile, user input excepted.
HttpReply httpGet(const QString& url, std::size_t capacity, int timeoutMs = kHttpGetTimeoutMs);

}  // namespace vidmill
