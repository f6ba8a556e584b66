#include "player/player_options.h"

namespace vidmill::player {

Request parseArguments(const std::vector<std::string>& args) {
    PlayRequest request;
    bool haveFile = false;
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && arg == "--check") {
            request.check = true;
        } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
            return HelpRequest{};
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
