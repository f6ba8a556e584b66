#include "engine/batch/output_path.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "engine/list/entry_list.h"
#include "engine/batch/part_file.h"
#include "formats/format_preset.h"
#include "system/path_utils.h"
#include "system/text_utils.h"

namespace vidmill {
namespace {

// A file name or path cut to `limit` bytes, moved back to the start of a
// UTF-8 character so that no character is split.
std::string_view cutAtCharacter(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) {
        --limit;
    }
    return text.substr(0, limit);
}

bool pathExists(const std::string& path) {
    struct stat info;
    // Anything at that name counts, a dangling link included: the converter
    // would write through it.
    return lstat(path.c_str(), &info) == 0;
}

// The longest path and file name that the system accepts, less the room
// that the output's part file needs beside it.
constexpr std::size_t kMaxPathLength = PATH_MAX - 1 - kPartPrefix.size();
constexpr std::size_t kMaxFileNameLength = NAME_MAX - kPartPrefix.size();

}  // namespace

int isOutputPathFree(const EntryList& list, std::string_view path) {
    for (const auto& entry : list.entries()) {
        if (isOutputClaiming(entry->status.load(std::memory_order_relaxed)) &&
            equalsIgnoringCase(entry->outputPath, path)) {
            return 0;
        }
    }
    return 1;
}

bool outputPathCandidate(std::string* candidate, std::string_view folder, std::string_view name,
                         int presetId, int n) {
    const std::string extension = presetExtension(presetId);
    const bool needsSeparator = !folder.empty() && folder.back() != '/';
    const std::size_t folderLength = folder.size() + (needsSeparator ? 1 : 0);
    // An output never takes the look of a part file, or a later sweep could
    // take it for one: ".vidmill-part-x" becomes "vidmill-part-x".
    if (name.substr(0, kPartPrefix.size()) == kPartPrefix) {
        name.remove_prefix(1);
    }
    char suffix[16] = "";
    if (n > 0) {
        std::snprintf(suffix, sizeof suffix, "(%d)", n);
    }
    const std::size_t fixed = std::strlen(suffix) + extension.size();
    if (fixed > kMaxFileNameLength || folderLength + fixed > kMaxPathLength) {
        return false;
    }
    const std::size_t room =
        std::min(kMaxFileNameLength - fixed, kMaxPathLength - folderLength - fixed);
    std::string base(cutAtCharacter(name, room));
    base += suffix;
    makeFilePath(candidate, folder, base, extension);
    return true;
}

int makeOutputPath(std::string* output, std::string_view folder, std::string_view name,
                   int presetId, const EntryList& list) {
    std::string candidate;
    // Every suffix makes a different path, so the search ends even for a
    // name far longer than the system allows.
    for (int n = 0; n < INT_MAX && outputPathCandidate(&candidate, folder, name, presetId, n);
         ++n) {
        // A part file means that another conversion is writing that name.
        if (isOutputPathFree(list, candidate) && !pathExists(candidate) &&
            !pathExists(partPathFor(candidate))) {
            if (output != nullptr) {
                *output = std::move(candidate);
            }
            return n;
        }
    }
    if (output != nullptr) {
        output->clear();
    }
    return -1;
}

bool findMarkedOutput(std::string* found, std::string_view folder, std::string_view name,
                      int presetId, const std::string& mark) {
    if (mark.empty()) {
        return false;
    }
    // Numbered names are taken one after the other: the first that is free
    // ends them, though the plain name may have gone since.
    constexpr int kMostNumbered = 1000;
    std::string candidate;
    for (int n = 0; n < kMostNumbered && outputPathCandidate(&candidate, folder, name, presetId, n);
         ++n) {
        if (!pathExists(candidate)) {
            if (n > 0) {
                break;
            }
            continue;
        }
        if (carriesSourceMark(candidate, mark)) {
            *found = std::move(candidate);
            return true;
        }
    }
    return false;
}

std::uint64_t convertedFileSize(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0
               ? static_cast<std::uint64_t>(info.st_size)
               : 0;
}

std::uint64_t convertedOutput(std::string* output, std::string_view folder, std::string_view name,
                              int presetId) {
    return outputPathCandidate(output, folder, name, presetId, 0) ? convertedFileSize(*output) : 0;
}

}  // namespace vidmill
