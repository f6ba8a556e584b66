// vidmill-autopilot: the main window in a process of its own, with a desktop
// that answers every question with OK and a converter of the test's choice.
// Tests kill it mid-batch and look at what it left, or start it twice.
//
//   vidmill-autopilot CONVERTER [FILE|FOLDER...]

#include <QApplication>
#include <cstdio>

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "app/window_program.h"
#include "support/agreeing_desktop.h"

namespace {}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: vidmill-autopilot CONVERTER [FILE|FOLDER...]\n");
        return 2;
    }
    arguments.removeFirst();
    vidmill::AppPaths paths = vidmill::defaultAppPaths();
    paths.converter = arguments.takeFirst().toStdString();
    vidmill::test::AgreeingDesktop desktop;
    return vidmill::runWindowProgram(desktop, paths, arguments);
}
