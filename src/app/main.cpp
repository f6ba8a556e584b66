// vidmill: the desktop program.

#include <QApplication>
#include <QFile>
#include <QIcon>

#include <cstdio>
#include <string>
#include <variant>
#include <vector>

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "app/window_arguments.h"
#include "app/window_program.h"
#include "vidmill_version.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, which needs a display.
    std::vector<std::string> args(argv + 1, argv + argc);
    const vidmill::WindowRequest request = vidmill::parseWindowArguments(args);
    if (const auto* error = std::get_if<vidmill::WindowUsageError>(&request)) {
        std::fprintf(stderr, "vidmill: %s\nTry 'vidmill --help'.\n", error->message.c_str());
        return 2;
    }
    if (std::holds_alternative<vidmill::WindowHelp>(request)) {
        std::fputs(vidmill::windowUsage(), stdout);
        return 0;
    }
    if (std::holds_alternative<vidmill::WindowVersion>(request)) {
        std::printf("vidmill %s\n%s", VIDMILL_VERSION, VIDMILL_LICENCE_NOTICE);
        return 0;
    }
    const auto& run = std::get<vidmill::WindowRun>(request);

    // Qt sees its own options only, so that no file name is read as one.
    std::vector<std::string> qtWords{argv[0]};
    qtWords.insert(qtWords.end(), run.qtArguments.begin(), run.qtArguments.end());
    std::vector<char*> qtArgv;
    for (std::string& word : qtWords) {
        qtArgv.push_back(word.data());
    }
    qtArgv.push_back(nullptr);
    int qtArgc = int(qtWords.size());

    QApplication application(qtArgc, qtArgv.data());
    QApplication::setApplicationName("Vidmill");
    QApplication::setDesktopFileName("vidmill");
    QApplication::setWindowIcon(QIcon::fromTheme("video-x-generic"));
    QStringList files;
    for (const std::string& file : run.files) {
        files.append(QFile::decodeName(QByteArray::fromStdString(file)));
    }

    vidmill::QtDesktop desktop;
    return vidmill::runWindowProgram(desktop, vidmill::defaultAppPaths(), files);
}
