// vidmill-autopilot: the main window in a process of its own, with a desktop
// that answers every question with OK and a converter of the test's choice.
// Tests kill it mid-batch and look at what it left.
//
//   vidmill-autopilot CONVERTER [FILE|FOLDER...]

#include <QApplication>
#include <cstdio>

#include "app/desktop.h"
#include "app/main_window.h"

namespace {

class YesDesktop : public vidmill::Desktop {
  public:
    int messageBox(QWidget*, int, const QString&) override { return 1; }
    QStringList openFiles(QWidget*, const QString&, const QString&, const QString&, int) override {
        return {};
    }
    QString pickFolder(QWidget*, const QString&, const QString&) override { return {}; }
    bool openPath(const QString&) override { return true; }
    bool openUrl(const QString&) override { return true; }
    void notify(const QString&, const QString&) override {}
    bool launchPlayer(const QString&, const QString&) override { return true; }
    std::optional<std::string> promptNonEmpty(QWidget*, const QString&, const QString&,
                                              const std::string&, int) override {
        return std::nullopt;
    }
    void showText(QWidget*, const QString&, const QString&) override {}
    bool editSettings(QWidget*, vidmill::ConversionSettings&, int) override { return true; }
};

}  // namespace

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
    YesDesktop desktop;
    vidmill::TFMain window(desktop, paths, arguments);
    window.show();
    QApplication::exec();
    window.shutDown();
    return 0;
}
