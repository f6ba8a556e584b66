// vidmill: the desktop program.

#include <QApplication>
#include <QIcon>

#include "app/desktop.h"
#include "app/main_window.h"
#include "app/window_program.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Vidmill");
    QApplication::setDesktopFileName("vidmill");
    QApplication::setWindowIcon(QIcon::fromTheme("video-x-generic"));
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();

    vidmill::QtDesktop desktop;
    return vidmill::runWindowProgram(desktop, vidmill::defaultAppPaths(), arguments);
}
