#pragma once

// The choice of a new output file's name in the destination folder.

#include <cstdint>
#include <string>
#include <string_view>

namespace vidmill {

class EntryList;

// 1 when no entry that still claims its output (Starting to Ok) has this
// output path, compared without regard to letter case; otherwise 0.
int isOutputPathFree(const EntryList& list, std::string_view path);

// Chooses the path of a new output file in `folder` from `name`, the
// preset's extension and, when the plain name is taken by a file, by the
// part file of a conversion under way or by an entry, the first free suffix
// "(1)", "(2)", ...; gives the suffix number (0 for the plain name). The name
// is shortened, at a character boundary, so that the suffix, the extension
// and the part file's prefix always fit the system's limits on file names and
// paths. Gives -1 and an empty path when the folder leaves no
// room for any name.
int makeOutputPath(std::string* output, std::string_view folder, std::string_view name,
                   int presetId, const EntryList& list);

// The n-th name that makeOutputPath tries (0: the plain one, n: "(n)"),
// whether taken or not; false when the folder leaves no room for it.
bool outputPathCandidate(std::string* candidate, std::string_view folder, std::string_view name,
                         int presetId, int n);

// The size of the regular, non-empty file at `path` (never through a link),
// or 0: what counts as a video converted already.
std::uint64_t convertedFileSize(const std::string& path);

// The size of the converted file under the plain output name of `name` in
// `folder`, its path left in `output`; 0 when there is none.
std::uint64_t convertedOutput(std::string* output, std::string_view folder, std::string_view name,
                              int presetId);

// The output of `name` in `folder` that carries the source mark `mark`
// (sourceMarkText), under the plain name or a numbered one: what an earlier
// run made of that source. False when there is none.
bool findMarkedOutput(std::string* found, std::string_view folder, std::string_view name,
                      int presetId, const std::string& mark);

}  // namespace vidmill
