#include "player/player_options.h"

#include <algorithm>
#include <cstdio>

namespace vidmill::player {
namespace {

// "X,Y,W,H" with a width and height above 0.
std::optional<Area> parseArea(const std::string& text) {
    Area area;
    char end = 0;
    if (std::sscanf(text.c_str(), "%d,%d,%d,%d%c", &area.x, &area.y, &area.width, &area.height,
                    &end) != 4 ||
        area.width <= 0 || area.height <= 0) {
        return std::nullopt;
    }
    return area;
}

int placeOn(int start, int length, int screenStart, int screenLength) {
    if (length >= screenLength) {
        return screenStart;
    }
    return std::clamp(start, screenStart, screenStart + screenLength - length);
}

}  // namespace

Area centredOver(int width, int height, const Area& over, const Area& screen) {
    Area placed{over.x + (over.width - width) / 2, over.y + (over.height - height) / 2, width,
                height};
    if (screen.width > 0 && screen.height > 0) {
        placed.x = placeOn(placed.x, width, screen.x, screen.width);
        placed.y = placeOn(placed.y, height, screen.y, screen.height);
    }
    return placed;
}

Request parseArguments(const std::vector<std::string>& args) {
    PlayRequest request;
    bool haveFile = false;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--over") {
            request.over = i + 1 < args.size() ? parseArea(args[++i]) : std::nullopt;
            if (!request.over) {
                return UsageError{"--over takes X,Y,WIDTH,HEIGHT"};
            }
        } else if (!optionsEnded && arg == "--check") {
            request.check = true;
        } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
            return HelpRequest{};
        } else if (!optionsEnded && arg == "--version") {
            return VersionRequest{};
        } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            return UsageError{"unknown option " + arg};
        } else if (haveFile) {
            return UsageError{"one file at a time"};
        } else {
            request.path = arg;
            haveFile = true;
        }
    }
    if (!haveFile) {
        return UsageError{"no file named"};
    }
    return request;
}

}  // namespace vidmill::player
