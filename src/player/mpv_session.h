#pragma once

// What both ways of running the player share: a configured libmpv core, the
// checks made on a path before libmpv sees it, and reading what it loaded.

#include "player/mpv_handles.h"

#include <optional>
#include <string>

namespace vidmill::player {

enum class Output {
    kScreen,  // video through the render API, audio to the sound server
    kNone,    // nothing shown or heard: only loading the file
};

// An initialised core; nothing when libmpv refuses, with the reason in `error`.
MpvCore createCore(Output output, std::string& error);

// Why `path` cannot be played before libmpv is even asked: libmpv would read
// a folder as a playlist and says no more than "loading failed" for a missing
// file. Nothing when the path names a regular file.
std::optional<std::string> pathProblem(const std::string& path);

// Starts loading `path` as a local file; a libmpv error code (< 0) on failure.
int loadFile(mpv_handle* core, const std::string& path);

std::optional<double> doubleProperty(mpv_handle* core, const char* name);
std::optional<std::string> stringProperty(mpv_handle* core, const char* name);

// Whether the loaded file has a stream that can be played at all.
bool hasAudioOrVideo(mpv_handle* core);
bool hasVideo(mpv_handle* core);

// Why loading ended without anything to play, from the end-file event; nothing
// when the end was a normal one (end of file, stop, quit).
std::optional<std::string> endFileProblem(const mpv_event_end_file& end);

}  // namespace vidmill::player
