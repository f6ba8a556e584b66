#pragma once

// Streaming playlists that never end. A live stream's playlist (HLS without
// #EXT-X-ENDLIST, a dynamic DASH manifest) names the segments made so far;
// the demuxer reloads it again and again, waiting for more, and a converter
// that reads it waits with it for minutes. Such a file is no recording to
// convert: it is refused before the demuxer starts waiting.

#include <string>

#include "converter/av_handles.h"

namespace vidmill {

// True when `format` reads streaming playlists, so the file must be checked.
bool readsStreamingPlaylists(const AVInputFormat* format);

// True when the playlist file at `path`, read by `format`, belongs to a live
// stream: an HLS playlist without #EXT-X-ENDLIST, or a master playlist that
// names one; a DASH manifest of type "dynamic". Playlists it names that
// cannot be read here (missing, or on the network, which the input's
// protocols refuse anyway) are left to the demuxer.
bool isLivePlaylist(const AVInputFormat* format, const std::string& path);

}  // namespace vidmill
