// vidmill: the desktop program.

#include <QApplication>
#include <QIcon>

#include "app/desktop.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Vidmill");
    QApplication::setDesktopFileName("vidmill");
    QApplication::setWindowIcon(QIcon::fromTheme("video-x-generic"));
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();

    vidmill::QtDesktop desktop;
    vidmill::TFMain window(desktop, vidmill::defaultAppPaths(), arguments);
    window.show();
    QApplication::exec();
    // The event loop is over: nothing up the stack holds an entry now.
    window.shutDown();
    return 0;
}
