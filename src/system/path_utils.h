// Splitting and composing of file paths.
//
// A path reads as up to four parts: drive ("C:", only for styles with drives, when the first
// colon stands at index 1), folder (up to and including the last separator), name and extension
// (from the last dot of the file-name part, dot included). There is no notion of "..", of a
// current folder or of network shares. Every part is bounded by the style's capacity, which
// stands for the size of a fixed path buffer: parts keep at most capacity-2 characters and the
// composed paths keep at most capacity-2 characters, plus a separator. Outputs given as null
// pointers are skipped; outputs may be the very strings that an input views.
#pragma once

#include <climits>
#include <string>
#include <string_view>

namespace vidmill {

struct PathStyle {
    char separator;
    bool hasDrives;
    int capacity;
};

inline constexpr PathStyle kLinuxPath{'/', false, PATH_MAX + 2};
inline constexpr PathStyle kNativePath = kLinuxPath;

// Drive, folder, name and extension of a path. Returns 0.
int splitPath(std::string_view path, std::string* drive, std::string* folder, std::string* name,
              std::string* extension, const PathStyle& style = kNativePath);

// Drive, folder and file-name part (name with extension) of a path.
void splitFolderPart(std::string_view path, std::string* drive, std::string* folder,
                     std::string* fileName, const PathStyle& style = kNativePath);

// Name and extension of a file name, split at its last dot.
void splitExtension(std::string_view fileName, std::string* name, std::string* extension,
                    const PathStyle& style = kNativePath);

// Composes drive, folder, name and extension; empty parts are skipped. A drive letter gets its
// colon ("C" and "CD" both give "C:"; styles without drives ignore it), the folder gets a
// closing separator, the extension its dot. Returns 0.
int makePath(std::string* out, std::string_view drive, std::string_view folder,
             std::string_view name, std::string_view extension,
             const PathStyle& style = kNativePath);

// makePath without a drive. Returns 1.
int makeFilePath(std::string* out, std::string_view folder, std::string_view name,
                 std::string_view extension, const PathStyle& style = kNativePath);

}  // namespace vidmill
