#include "player/mpv_session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vidmill::player {

namespace {

// Options that a player embedded in another program must not pick up from
// the user's mpv set-up: its config files, scripts, key bindings and the
// on-screen controller all belong to the stand-alone mpv.
constexpr const char* kCommonOptions[][2] = {
    {"config", "no"},   {"load-scripts", "no"},           {"ytdl", "no"},
    {"osc", "no"},      {"input-default-bindings", "no"}, {"input-vo-keyboard", "no"},
    {"terminal", "no"},
};

bool setOption(mpv_handle* core, const char* name, const char* value, std::string& error) {
    const int status = mpv_set_option_string(core, name, value);
    if (status < 0) {
        error = std::string("option ") + name + "=" + value + ": " + mpv_error_string(status);
        return false;
    }
    return true;
}

}  // namespace

MpvCore createCore(Output output, std::string& error) {
    MpvCore core(mpv_create());
    if (!core) {
        error = "libmpv could not be started";
        return nullptr;
    }
    for (const auto& option : kCommonOptions) {
        if (!setOption(core.get(), option[0], option[1], error)) {
            return nullptr;
        }
    }
    // On screen the last frame stays at the end so that one can seek back; a
    // check pauses at once, since it only needs the file opened.
    const bool configured = output == Output::kScreen
                                ? setOption(core.get(), "vo", "libmpv", error) &&
                                      setOption(core.get(), "keep-open", "yes", error)
                                : setOption(core.get(), "vo", "null", error) &&
                                      setOption(core.get(), "ao", "null", error) &&
                                      setOption(core.get(), "pause", "yes", error);
    if (!configured) {
        return nullptr;
    }
    const int status = mpv_initialize(core.get());
    if (status < 0) {
        error = std::string("libmpv could not be initialised: ") + mpv_error_string(status);
        return nullptr;
    }
    return core;
}

std::optional<std::string> pathProblem(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return std::string(std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        return std::string("it is a folder");
    }
    if (!S_ISREG(info.st_mode)) {
        return std::string("not a regular file");
    }
    return std::nullopt;
}

int loadFile(mpv_handle* core, const std::string& path) {
    // Absolute, so that a name such as "av://x" or "-" is never taken for a
    // protocol or for standard input.
    std::error_code failed;
    std::string absolute = std::filesystem::absolute(path, failed).string();
    if (failed) {
        absolute = path;
    }
    const char* command[] = {"loadfile", absolute.c_str(), nullptr};
    return mpv_command(core, command);
}

std::optional<double> doubleProperty(mpv_handle* core, const char* name) {
    double value = 0.0;
    if (mpv_get_property(core, name, MPV_FORMAT_DOUBLE, &value) < 0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> stringProperty(mpv_handle* core, const char* name) {
    MpvString value(mpv_get_property_string(core, name));
    if (!value) {
        return std::nullopt;
    }
    return std::string(value.get());
}

namespace {

bool hasTrack(mpv_handle* core, const std::string& wanted) {
    int64_t count = 0;
    if (mpv_get_property(core, "track-list/count", MPV_FORMAT_INT64, &count) < 0) {
        return false;
    }
    for (int64_t i = 0; i < count; ++i) {
        const std::string name = "track-list/" + std::to_string(i) + "/type";
        if (stringProperty(core, name.c_str()) == wanted) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool hasAudioOrVideo(mpv_handle* core) {
    return hasTrack(core, "video") || hasTrack(core, "audio");
}

bool hasVideo(mpv_handle* core) {
    return hasTrack(core, "video");
}

std::optional<std::string> endFileProblem(const mpv_event_end_file& end) {
    switch (end.reason) {
        case MPV_END_FILE_REASON_ERROR:
            return std::string(mpv_error_string(end.error));
        case MPV_END_FILE_REASON_REDIRECT:
            // A playlist expands into other files; we play one file only.
            return std::string("it is a playlist, not a media file");
        default:
            return std::nullopt;
    }
}

}  // namespace vidmill::player
