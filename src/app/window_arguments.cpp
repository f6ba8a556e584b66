#include "app/window_arguments.h"

#include <algorithm>
#include <iterator>

namespace vidmill {
namespace {

// The options that QGuiApplication and QApplication take for themselves,
// without their leading dash; Qt reads them with one dash or two.
const char* const kQtValueOptions[] = {
    "platform",        "platformpluginpath", "platformtheme", "plugin",
    "qwindowgeometry", "qwindowicon",        "qwindowtitle",  "session",
    "display",         "geometry",           "style",         "stylesheet",
};
const char* const kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

bool isOneOf(const std::string& name, const auto& names) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

// "-platform" and "--platform" both name "platform".
std::string qtName(const std::string& arg) {
    return arg.substr(arg.rfind("--", 0) == 0 ? 2 : 1);
}

// An option as an error message shows it: control bytes would act on the
// terminal.
std::string shown(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
    return text;
}

}  // namespace

const char* windowUsage() {
    return "Usage: vidmill [options] [--] [FILE|FOLDER...]\n"
           "Opens the Vidmill window, the batch video converter, with the videos named\n"
           "and the supported files in the folders named in its list. When your Vidmill\n"
           "window runs already, they are handed to it instead.\n"
           "\n"
           "  --help               print this help and exit\n"
           "  --version            print the version and the licence and exit\n"
           "  -platform NAME       Qt's display plugin: xcb, wayland, offscreen, ...\n"
           "  -style NAME          Qt's widget style: fusion, windows, ...\n"
           "  -reverse             lay the window out from right to left\n"
           "Qt takes its other options too (-qwindowgeometry WxH+X+Y, -stylesheet FILE,\n"
           "...). A name after -- is a file even when it begins with a dash.\n"
           "\n"
           "Exit status:\n"
           "  0    the window was closed, or the files were handed to the running one\n"
           "  1    another Vidmill window runs and could not be reached\n"
           "  2    usage error\n";
}

WindowRequest parseWindowArguments(const std::vector<std::string>& args) {
    WindowRun run;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            run.files.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            return WindowHelp{};
        } else if (arg == "--version") {
            return WindowVersion{};
        } else if (isOneOf(qtName(arg), kQtFlags)) {
            run.qtArguments.push_back(arg);
        } else if (isOneOf(qtName(arg), kQtValueOptions)) {
            if (i + 1 == args.size()) {
                return WindowUsageError{"option '" + shown(arg) + "' needs a value"};
            }
            run.qtArguments.push_back(arg);
            run.qtArguments.push_back(args[++i]);
        } else {
            return WindowUsageError{"unknown option '" + shown(arg) + "'"};
        }
    }
    return run;
}

}  // namespace vidmill
