#include "app/window_program.h"

#include <QApplication>
#include <QFileInfo>

#include "app/desktop.h"
#include "app/window/main_window.h"
#include "app/single_instance.h"

namespace vidmill {

int runWindowProgram(Desktop& desktop, const AppPaths& paths, QStringList arguments) {
    // Relative names mean the folder we were started from, wherever the
    // window that takes them runs.
    for (QString& argument : arguments) {
        argument = QFileInfo(argument).absoluteFilePath();
    }
    SingleInstance instance(paths.lockFile);
    switch (instance.claim(arguments)) {
        case SingleInstance::Claim::HandedOver:
            return 0;
        case SingleInstance::Claim::AlreadyRunning:
            desktop.messageBox(nullptr, kInformationMessage,
                               QStringLiteral("Vidmill is already running. Add the videos in its "
                                              "window, or try again once it has closed."));
            return 1;
        case SingleInstance::Claim::Owner:
            break;
    }
    MainWindow window(desktop, paths, arguments);
    instance.setReceiver(
        [&window](const QStringList& names) { return window.takeHandedOver(names); });
    window.show();
    QApplication::exec();
    // The event loop is over: nothing up the stack holds an entry now.
    window.shutDown();
    return 0;
}

}  // namespace vidmill
