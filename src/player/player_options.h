#pragma once

// The player's command line: `vidmill-play [--over X,Y,W,H] FILE` or
// `vidmill-play --check FILE`.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vidmill::player {

// A rectangle on the screen, in pixels.
struct Area {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Area&) const = default;
};

struct PlayRequest {
    std::string path;
    bool check = false;  // open the file without showing it and report its length
    // The window that started the player: it opens centred over it.
    std::optional<Area> over;
};

struct HelpRequest {};
struct VersionRequest {};

struct UsageError {
    std::string message;
};

using Request = std::variant<PlayRequest, HelpRequest, VersionRequest, UsageError>;

// `args` without the program name.
Request parseArguments(const std::vector<std::string>& args);

// Where a window of `width` x `height` goes to stand centred over `over`,
// moved as little as needed to lie whole on `screen` (where it fits).
Area centredOver(int width, int height, const Area& over, const Area& screen);

inline constexpr const char* kUsage =
    "Usage: vidmill-play [--over X,Y,W,H] [--] FILE\n"
    "  or:  vidmill-play --check [--] FILE\n"
    "Plays FILE in a window: Space pauses, Left/Right seek 5 s, Up/Down 60 s, Esc quits.\n"
    "\n"
    "  --over X,Y,W,H  open the window centred over that area of the screen\n"
    "  --check         open FILE without playing it and print \"duration SECONDS\"\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and the licence and exit\n";

}  // namespace vidmill::player
