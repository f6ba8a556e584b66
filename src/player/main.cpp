// vidmill-play: the internal player. `vidmill-play FILE` plays the file in a
// window; `vidmill-play --check FILE` only opens it and prints its length.

#include "player/failure_box.h"
#include "player/media_check.h"
#include "player/mpv_session.h"
#include "player/player_options.h"
#include "player/player_window.h"
#include "vidmill_version.h"

#include <QApplication>
#include <QFile>
#include <QOpenGLContext>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace vidmill::player;

int tellUser(const std::string& path, const QString& reason) {
    std::fprintf(stderr, "vidmill-play: cannot play %s: %s\n", path.c_str(),
                 reason.toUtf8().constData());
    makeFailureBox(QFile::decodeName(QByteArray::fromStdString(path)), reason)->exec();
    return 1;
}

// Asked before any window exists: a QOpenGLWidget without OpenGL would stay
// an empty window instead of saying anything.
bool openGlAvailable() {
    QOpenGLContext context;
    return context.create();
}

int play(const PlayRequest& request, const char* programName) {
    const std::string& path = request.path;
    // Qt must not read the file name as one of its own options, so it sees
    // the program name only.
    int qtArgc = 1;
    char* qtArgv[] = {const_cast<char*>(programName), nullptr};
    QApplication app(qtArgc, qtArgv);
    // Qt sets the locale from the environment; libmpv parses numbers in "C".
    std::setlocale(LC_NUMERIC, "C");

    if (const std::optional<std::string> problem = pathProblem(path)) {
        return tellUser(path, QString::fromLocal8Bit(problem->c_str()));
    }
    if (!openGlAvailable()) {
        return tellUser(path, QStringLiteral("no OpenGL display to show video on"));
    }
    std::string error;
    MpvCore core = createCore(Output::kScreen, error);
    if (!core) {
        return tellUser(path, QString::fromStdString(error));
    }
    PlayerWindow window(core.get(), path);
    if (request.over) {
        window.placeOver(*request.over);
    }
    window.show();
    const int status = QApplication::exec();
    return window.failed() ? 1 : status;
}

}  // namespace

int main(int argc, char* argv[]) {
    const Request request = parseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (const auto* error = std::get_if<UsageError>(&request)) {
        std::fprintf(stderr, "vidmill-play: %s\n%s", error->message.c_str(), kUsage);
        return 2;
    }
    if (std::holds_alternative<HelpRequest>(request)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (std::holds_alternative<VersionRequest>(request)) {
        std::printf("vidmill-play %s\n%s", VIDMILL_VERSION, VIDMILL_LICENCE_NOTICE);
        return 0;
    }
    const auto& play = std::get<PlayRequest>(request);
    if (play.check) {
        std::setlocale(LC_NUMERIC, "C");
        return checkMedia(play.path, kCheckTimeout, stdout, stderr);
    }
    return ::play(play, argv[0]);
}
