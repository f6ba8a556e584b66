#pragma once

// The desktop program's run: the one window per user, or a hand-over of the
// files to the window that already runs.

#include <QStringList>

namespace vidmill {

class Desktop;
struct AppPaths;

// Runs the window over `paths` with `arguments` (files and folders to add),
// after making sure that no other window of this user owns the list; gives
// the program's exit status. Call with the application object made.
int runWindowProgram(Desktop& desktop, const AppPaths& paths, QStringList arguments);

}  // namespace vidmill
