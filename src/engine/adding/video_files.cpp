#include "engine/adding/video_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "system/folder_listing.h"
#include "system/path_utils.h"

namespace vidmill {
namespace {

constexpr std::size_t kMaxExtensionLength = 262;
constexpr std::size_t kMaxTokenLength = 99;

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Tokens of an extension list: separated by blanks or commas.
std::vector<std::string> listTokens(std::string_view list) {
    std::vector<std::string> tokens;
    std::string token;
    for (char c : list) {
        if (isBlank(c) || c == ',') {
            if (!token.empty()) {
                tokens.push_back(token);
                token.clear();
            }
        } else if (token.size() < kMaxTokenLength) {
            token += c;
        }
    }
    if (!token.empty()) {
        tokens.push_back(token);
    }
    return tokens;
}

std::string joinPatterns(std::string_view list, bool upperCase) {
    std::string out;
    for (const std::string& token : listTokens(list)) {
        if (!out.empty()) {
            out += ';';
        }
        out += "*.";
        for (char c : token) {
            unsigned char u = static_cast<unsigned char>(c);
            out += char(upperCase ? std::toupper(u) : std::tolower(u));
        }
    }
    return out;
}

using FolderKey = std::pair<dev_t, ino_t>;

// Why `path` could not be examined or opened, from the call's errno.
std::string skipReason(const std::string& path, int error) {
    switch (error) {
        case ENOENT: {
            struct stat linkInfo;
            return lstat(path.c_str(), &linkInfo) == 0 && S_ISLNK(linkInfo.st_mode)
                       ? "broken link"
                       : "no longer there";
        }
        case ELOOP:
            return "link loop";
        case ENAMETOOLONG:
            return "path too long";
        case EACCES:
        case EPERM:
            return "permission denied";
        default:
            return std::strerror(error);
    }
}

class FolderWalk {
  public:
    FolderWalk(const AdmitFunction& admit, const PumpFunction& pump, const SkipFunction& skip)
        : admit_(admit), pump_(pump), skip_(skip) {}

    // 0 when the folder cannot be searched; below the start that is
    // reported, the start itself is the caller's to report.
    int search(const std::string& folder, bool isStart) {
        if (isStart) {
            // The folder chosen may itself be reached through a link.
            char* real = realpath(folder.c_str(), nullptr);
            top_ = real != nullptr ? real : std::string();
            std::free(real);
        }
        struct stat info;
        if (stat(folder.c_str(), &info) != 0) {
            if (!isStart) {
                report(folder, skipReason(folder, errno));
            }
            return 0;
        }
        if (!S_ISDIR(info.st_mode)) {
            return 0;
        }
        const FolderKey key{info.st_dev, info.st_ino};
        if (ancestors_.count(key) != 0) {
            // A link back up the tree would be searched for ever.
            report(folder, "link loop");
            return 0;
        }
        if (!visited_.insert(key).second) {
            return 1;
        }
        std::vector<std::string> names;
        if (!readNames(folder, names)) {
            if (!isStart) {
                report(folder, skipReason(folder, errno));
            }
            return 0;
        }
        ancestors_.insert(key);
        std::string base = folder;
        if (base.empty() || base.back() != '/') {
            base += '/';
        }
        for (const std::string& name : names) {
            if (pump_) {
                pump_();
            }
            examine(base + name, name);
        }
        ancestors_.erase(key);
        return 1;
    }

  private:
    static bool readNames(const std::string& folder, std::vector<std::string>& names) {
        FolderListing dir = openFolderListing(folder);
        if (!dir) {
            return false;
        }
        while (dirent* item = readdir(dir.get())) {
            std::string_view name = item->d_name;
            if (name != "." && name != "..") {
                names.emplace_back(name);
            }
        }
        std::sort(names.begin(), names.end());
        return true;
    }

    // Whether `path`, a link, ends inside the folder searched: a link that
    // leads out of it is not followed.
    bool leadsInside(const std::string& path) const {
        char* real = realpath(path.c_str(), nullptr);
        if (real == nullptr) {
            return true;  // broken or looping: said as such below
        }
        const std::string_view target = real;
        const bool inside =
            !top_.empty() && (target == top_ || top_ == "/" ||
                              (target.starts_with(top_) && target[top_.size()] == '/'));
        std::free(real);
        return inside;
    }

    void examine(const std::string& path, const std::string& name) {
        struct stat info;
        if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && !leadsInside(path)) {
            report(path, "link out of the folder");
            return;
        }
        if (stat(path.c_str(), &info) != 0) {
            // It may have been a folder full of videos: never dropped unsaid.
            report(path, skipReason(path, errno));
            return;
        }
        if (S_ISDIR(info.st_mode)) {
            search(path, false);
            return;
        }
        std::string extension;
        splitExtension(name, nullptr, &extension);
        if (!isSupportedExtension(extension, kAllSupportedExtensions)) {
            return;
        }
        if (!S_ISREG(info.st_mode)) {
            // A pipe or a device would hold the converter up.
            report(path, "not a regular file");
        } else if (access(path.c_str(), R_OK) != 0) {
            report(path, skipReason(path, errno));
        } else {
            admit_(path);
        }
    }

    void report(const std::string& path, const std::string& reason) {
        if (skip_) {
            skip_(path, reason);
        }
    }

    const AdmitFunction& admit_;
    const PumpFunction& pump_;
    const SkipFunction& skip_;
    std::set<FolderKey> visited_;
    // The folder searched, as the system resolves it.
    std::string top_;
    // The folders being searched, from the start down to the current one.
    std::set<FolderKey> ancestors_;
};

}  // namespace

bool isSupportedExtension(std::string_view extension, std::string_view list) {
    if (!extension.empty() && extension.front() == '.') {
        extension.remove_prefix(1);
    }
    extension = extension.substr(0, kMaxExtensionLength);
    if (extension.empty()) {
        return false;
    }
    std::size_t start = 0;
    while (start < list.size()) {
        while (start < list.size() && isBlank(list[start])) {
            ++start;
        }
        std::size_t end = start;
        while (end < list.size() && !isBlank(list[end])) {
            ++end;
        }
        if (end > start && equalsIgnoringCase(list.substr(start, end - start), extension)) {
            return true;
        }
        start = end;
    }
    return false;
}

std::string buildVideoFilter(int capacity) {
    struct Group {
        std::string_view name;
        std::string_view list;
    };
    static constexpr Group kGroups[] = {
        {"Video Files", kVideoExtensions},
        {"Windows Media Files", kWindowsMediaExtensions},
        {"DVD Files", kDvdExtensions},
        {"Audio Files", kAudioExtensions},
        {"Real Media Files", kRealMediaExtensions},
    };
    std::string filter = "All supported files|" + joinPatterns(kAllSupportedExtensions, true) + "|";
    for (const Group& group : kGroups) {
        filter += std::string(group.name) + " (" + joinPatterns(group.list, false) + ")|" +
                  joinPatterns(group.list, true) + "|";
    }
    filter += "All Files (*.*)|*.*|";
    if (capacity >= 0 && filter.size() > std::size_t(capacity)) {
        filter.resize(std::size_t(capacity));
    }
    return filter;
}

int addFolder(const std::string& folder, const AdmitFunction& admit, const PumpFunction& pump,
              const SkipFunction& skip) {
    return FolderWalk(admit, pump, skip).search(folder, true);
}

bool addDroppedName(const std::string& path, const AdmitFunction& admit, const PumpFunction& pump,
                    const SkipFunction& skip) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        addFolder(path, admit, pump, skip);
        return true;
    }
    std::string extension;
    splitPath(path, nullptr, nullptr, &extension);
    if (!isSupportedExtension(extension, kAllSupportedExtensions)) {
        return false;
    }
    admit(path);
    return true;
}

}  // namespace vidmill
