#include "player/media_check.h"

#include "player/mpv_session.h"

#include <optional>

namespace vidmill::player {

namespace {

int report(std::FILE* err, const std::string& path, const std::string& reason) {
    std::fprintf(err, "vidmill-play: cannot play %s: %s\n", path.c_str(), reason.c_str());
    return 1;
}

// Waits for the file to load or fail; the duration, or the reason in `problem`.
std::optional<double> waitForLoad(mpv_handle* core, std::chrono::milliseconds timeout,
                                  std::string& problem) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
        const std::chrono::duration<double> left = deadline - now;
        const mpv_event* event = mpv_wait_event(core, left.count());
        switch (event->event_id) {
            case MPV_EVENT_FILE_LOADED:
                if (!hasAudioOrVideo(core)) {
                    problem = "no video or audio track";
                    return std::nullopt;
                }
                // A stream of unknown length reads as 0.
                return doubleProperty(core, "duration").value_or(0.0);
            case MPV_EVENT_END_FILE: {
                const auto& end = *static_cast<const mpv_event_end_file*>(event->data);
                problem = endFileProblem(end).value_or("nothing to play");
                return std::nullopt;
            }
            case MPV_EVENT_SHUTDOWN:
                problem = "libmpv shut down";
                return std::nullopt;
            default:
                break;
        }
    }
    problem = "timed out after " +
              std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
              " s while opening it";
    return std::nullopt;
}

}  // namespace

int checkMedia(const std::string& path, std::chrono::milliseconds timeout, std::FILE* out,
               std::FILE* err) {
    if (const std::optional<std::string> problem = pathProblem(path)) {
        return report(err, path, *problem);
    }
    std::string problem;
    MpvCore core = createCore(Output::kNone, problem);
    if (!core) {
        return report(err, path, problem);
    }
    const int status = loadFile(core.get(), path);
    if (status < 0) {
        return report(err, path, mpv_error_string(status));
    }
    const std::optional<double> duration = waitForLoad(core.get(), timeout, problem);
    if (!duration) {
        return report(err, path, problem);
    }
    std::fprintf(out, "duration %.3f\n", *duration);
    return 0;
}

}  // namespace vidmill::player
