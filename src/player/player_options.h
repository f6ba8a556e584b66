#pragma once

// The player's command line: `vidmill-play FILE` or `vidmill-play --check FILE`.

#include <string>
#include <variant>
#include <vector>

namespace vidmill::player {

struct PlayRequest {
    std::string path;
    bool check = false;  // open the file without showing it and report its length
};

struct HelpRequest {};

struct UsageError {
    std::string message;
};

using Request = std::variant<PlayRequest, HelpRequest, UsageError>;

// `args` without the program name.
Request parseArguments(const std::vector<std::string>& args);

inline constexpr const char* kUsage =
    "usage: vidmill-play [--] FILE\n"
    "       vidmill-play --check [--] FILE\n"
    "  plays FILE in a window: Space pauses, Left/Right seek 5 s, Up/Down 60 s, Esc quits\n"
    "  --check  opens FILE without playing it and prints \"duration SECONDS\"\n";

}  // namespace vidmill::player
