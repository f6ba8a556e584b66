// Splitting and composing of file paths.
//
// A path reads as three parts: folder (up to and including the last '/'), name and extension
// (from the last dot of the file-name part, dot included). There is no notion of "..", or of a
// current folder. Every part keeps at most kPathPartLimit characters, and so does a composed
// path, plus a separator. Outputs given as null pointers are skipped; outputs may be the very
// strings that an input views.
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

namespace vidmill {

inline constexpr std::size_t kPathPartLimit = PATH_MAX;

// Folder, name and extension of a path.
void splitPath(std::string_view path, std::string* folder, std::string* name,
               std::string* extension);

// Folder and file-name part (name with extension) of a path.
void splitFolderPart(std::string_view path, std::string* folder, std::string* fileName);

// Name and extension of a file name, split at its last dot.
void splitExtension(std::string_view fileName, std::string* name, std::string* extension);

// Composes folder, name and extension; empty parts are skipped. The folder gets a closing
// separator, the extension its dot.
void makeFilePath(std::string* out, std::string_view folder, std::string_view name,
                  std::string_view extension);

}  // namespace vidmill
