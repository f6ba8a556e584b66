#pragma once

// `vidmill-play --check FILE`: opens the file without showing or playing it
// and says how long it is, or why it cannot be played.

#include <chrono>
#include <cstdio>
#include <string>

namespace vidmill::player {

// Longest wait for libmpv to open a file; a stuck demuxer must not hang us.
inline constexpr std::chrono::seconds kCheckTimeout{20};

// Prints "duration <seconds>" on `out` and returns 0, or prints the reason on
// `err` and returns 1.
int checkMedia(const std::string& path, std::chrono::milliseconds timeout, std::FILE* out,
               std::FILE* err);

}  // namespace vidmill::player
