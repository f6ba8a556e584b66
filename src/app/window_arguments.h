#pragma once

// The desktop program's command line, read before Qt starts: --help and
// --version answer without a display, and a mistyped option is refused
// rather than added to the list as a file.

#include <string>
#include <variant>
#include <vector>

namespace vidmill {

struct WindowRun {
    // Qt's own options (-platform NAME, -style NAME, ...) with their values.
    std::vector<std::string> qtArguments;
    // Files and folders to add, as given.
    std::vector<std::string> files;
};

struct WindowHelp {};
struct WindowVersion {};

struct WindowUsageError {
    std::string message;
};

using WindowRequest = std::variant<WindowRun, WindowHelp, WindowVersion, WindowUsageError>;

// `args` without the program name.
WindowRequest parseWindowArguments(const std::vector<std::string>& args);

const char* windowUsage();

}  // namespace vidmill
