#include "system/user_folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace vidmill {
namespace {

std::string homeFolder() {
    if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr) {
        return user->pw_dir;
    }
    return "/tmp";
}

std::string configHome() {
    if (const char* config = getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return config;
    }
    return homeFolder() + "/.config";
}

// The value of XDG_VIDEOS_DIR in user-dirs.dirs: a quoted path that may
// start with $HOME.
std::string videosFromUserDirs() {
    std::ifstream in(configHome() + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_VIDEOS_DIR=\"";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0 || line.size() < key.size() + 1 || line.back() != '"') {
            continue;
        }
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.rfind("$HOME", 0) == 0) {
            value = homeFolder() + value.substr(5);
        }
        if (!value.empty() && value[0] == '/') {
            return value;
        }
    }
    return {};
}

}  // namespace

std::string programFolder() {
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) {
        return ".";
    }
    std::string path(buffer.data(), size_t(length));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string configFolder() {
    return configHome() + "/vidmill";
}

std::string cacheFolder() {
    if (const char* cache = getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') {
        return std::string(cache) + "/vidmill";
    }
    return homeFolder() + "/.cache/vidmill";
}

std::string videosFolder() {
    std::string videos = videosFromUserDirs();
    return videos.empty() ? homeFolder() + "/Videos" : videos;
}

std::string defaultOutputFolder() {
    return videosFolder() + "/Vidmill";
}

bool isFolder(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeFolders(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string part = slash == std::string::npos ? path : path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    return isFolder(path);
}

}  // namespace vidmill
