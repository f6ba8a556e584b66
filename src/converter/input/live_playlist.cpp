#include "converter/input/live_playlist.h"

#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>

namespace vidmill {

namespace {

// A playlist of a few hundred thousand segments is a few tens of megabytes;
// a longer text is read no further, and what was read decides.
constexpr std::streamsize kMaxPlaylistBytes = 64 << 20;

std::optional<std::string> readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text;
    char chunk[65536];
    while (static_cast<std::streamsize>(text.size()) < kMaxPlaylistBytes &&
           in.read(chunk, sizeof chunk).gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto begin = line.find_first_not_of(" \t\r");
        const auto end = line.find_last_not_of(" \t\r");
        lines.push_back(begin == std::string::npos ? std::string()
                                                   : line.substr(begin, end - begin + 1));
    }
    return lines;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The local file a playlist's URI names, relative to the playlist's folder;
// nothing for a URI with any other scheme.
std::optional<std::string> localPath(const std::string& uri, const std::string& playlist) {
    std::string path = uri;
    if (startsWith(path, "file://")) {
        path = path.substr(7);
    } else if (startsWith(path, "file:")) {
        path = path.substr(5);
    } else if (path.find("://") != std::string::npos) {
        return std::nullopt;
    }
    if (path.empty()) {
        return std::nullopt;
    }
    if (path.front() != '/') {
        const auto slash = playlist.rfind('/');
        if (slash != std::string::npos) {
            path = playlist.substr(0, slash + 1) + path;
        }
    }
    return path;
}

// The playlists a master playlist names: one after each variant's
// #EXT-X-STREAM-INF, and the renditions' URI attributes.
std::vector<std::string> namedPlaylists(const std::vector<std::string>& lines) {
    static const std::regex uriAttribute(R"re(URI="([^"]*)")re");
    std::vector<std::string> uris;
    bool variantNext = false;
    for (const std::string& line : lines) {
        if (line.empty()) {
            continue;
        }
        if (startsWith(line, "#EXT-X-STREAM-INF")) {
            variantNext = true;
        } else if (startsWith(line, "#EXT-X-MEDIA:")) {
            std::smatch match;
            if (std::regex_search(line, match, uriAttribute)) {
                uris.push_back(match[1]);
            }
        } else if (line.front() != '#' && variantNext) {
            uris.push_back(line);
            variantNext = false;
        }
    }
    return uris;
}

bool hasLine(const std::vector<std::string>& lines, const char* tag) {
    for (const std::string& line : lines) {
        if (startsWith(line, tag)) {
            return true;
        }
    }
    return false;
}

bool isLiveHls(const std::string& path) {
    const std::optional<std::string> text = readText(path);
    if (!text) {
        return false;
    }
    const std::vector<std::string> lines = linesOf(*text);
    if (!hasLine(lines, "#EXT-X-STREAM-INF")) {
        return !hasLine(lines, "#EXT-X-ENDLIST");
    }
    // A master playlist names media playlists; it never holds the end itself.
    for (const std::string& uri : namedPlaylists(lines)) {
        const std::optional<std::string> named = localPath(uri, path);
        if (!named) {
            continue;
        }
        const std::optional<std::string> media = readText(*named);
        if (media) {
            const std::vector<std::string> mediaLines = linesOf(*media);
            if (!hasLine(mediaLines, "#EXT-X-STREAM-INF") &&
                !hasLine(mediaLines, "#EXT-X-ENDLIST")) {
                return true;
            }
        }
    }
    return false;
}

bool isDynamicDash(const std::string& path) {
    const std::optional<std::string> text = readText(path);
    if (!text) {
        return false;
    }
    const auto begin = text->find("<MPD");
    if (begin == std::string::npos) {
        return false;
    }
    const auto end = text->find('>', begin);
    const std::string tag = text->substr(begin, end == std::string::npos ? end : end - begin);
    static const std::regex dynamicType(R"re(\stype\s*=\s*["']dynamic["'])re");
    return std::regex_search(tag, dynamicType);
}

bool isFormat(const AVInputFormat* format, const char* name) {
    return format != nullptr && std::string(format->name) == name;
}

}  // namespace

bool readsStreamingPlaylists(const AVInputFormat* format) {
    return isFormat(format, "hls") || isFormat(format, "dash");
}

bool isLivePlaylist(const AVInputFormat* format, const std::string& path) {
    if (isFormat(format, "hls")) {
        return isLiveHls(path);
    }
    if (isFormat(format, "dash")) {
        return isDynamicDash(path);
    }
    return false;
}

}  // namespace vidmill
