#include "engine/video_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <utility>
#include <vector>

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

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

using FolderKey = std::pair<dev_t, ino_t>;

int searchFolder(const std::string& folder, const AdmitFunction& admit, const PumpFunction& pump,
                 std::set<FolderKey>& visited) {
    struct stat info;
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        !visited.insert({info.st_dev, info.st_ino}).second) {
        return 0;
    }
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) {
        return 0;
    }
    std::vector<std::string> names;
    while (dirent* item = readdir(dir.get())) {
        std::string_view name = item->d_name;
        if (name != "." && name != "..") {
            names.emplace_back(name);
        }
    }
    dir.reset();
    std::sort(names.begin(), names.end());

    std::string base = folder;
    if (base.empty() || base.back() != '/') {
        base += '/';
    }
    for (const std::string& name : names) {
        if (pump) {
            pump();
        }
        std::string path = base + name;
        struct stat itemInfo;
        if (stat(path.c_str(), &itemInfo) != 0) {
            continue;
        }
        if (S_ISDIR(itemInfo.st_mode)) {
            searchFolder(path, admit, pump, visited);
        } else {
            std::string extension;
            SplitExtension(name, nullptr, &extension);
            if (IsSupportedExtension(extension, kAllSupportedExtensions)) {
                admit(path);
            }
        }
    }
    return 1;
}

}  // namespace

bool IsSupportedExtension(std::string_view extension, std::string_view list) {
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

std::string BuildVideoFilter(int capacity) {
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

int AddFolder(const std::string& folder, const AdmitFunction& admit, const PumpFunction& pump) {
    std::set<FolderKey> visited;
    return searchFolder(folder, admit, pump, visited);
}

bool AddDroppedName(const std::string& path, const AdmitFunction& admit, const PumpFunction& pump) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        AddFolder(path, admit, pump);
        return true;
    }
    std::string extension;
    SplitPath(path, nullptr, nullptr, nullptr, &extension);
    if (!IsSupportedExtension(extension, kAllSupportedExtensions)) {
        return false;
    }
    admit(path);
    return true;
}

}  // namespace vidmill
