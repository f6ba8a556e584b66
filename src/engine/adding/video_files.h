#pragma once

// Which files are videos this program takes, the file-type filter of the
// add dialog, and the search of dropped folders.

#include <functional>
#include <string>
#include <string_view>

namespace vidmill {

// Extensions without dots, separated by blanks. The first list decides which
// dropped, named or found files are taken.
inline constexpr std::string_view kAllSupportedExtensions =
    "avi mpg mpeg mpe m1v m2v vob dat mp4 m4v mov qt 3gp 3g2 mkv webm flv f4v ogv ogm ts mts "
    "m2ts divx xvid dv mxf nut wmv asf rm rmvb mp3 wav wma ogg oga m4a aac ac3 flac mka amr opus";
inline constexpr std::string_view kVideoExtensions =
    "avi mpg mpeg mpe m1v m2v mp4 m4v mov qt 3gp 3g2 mkv webm flv f4v ogv ogm ts mts m2ts divx "
    "xvid dv mxf nut";
inline constexpr std::string_view kWindowsMediaExtensions = "wmv asf";
inline constexpr std::string_view kDvdExtensions = "vob dat";
inline constexpr std::string_view kAudioExtensions =
    "mp3 wav wma ogg oga m4a aac ac3 flac mka amr opus";
inline constexpr std::string_view kRealMediaExtensions = "rm rmvb";

// The add dialog's filter capacity.
inline constexpr int kVideoFilterCapacity = 2024;

// True when `extension` (with or without its leading dot) is one of the
// list's blank-separated tokens, whatever the letter case.
bool isSupportedExtension(std::string_view extension, std::string_view list);

// Description and pattern pairs, each part ended by "|": "All supported
// files", the five groups, then "All Files (*.*)".
std::string buildVideoFilter(int capacity = kVideoFilterCapacity);

using AdmitFunction = std::function<void(const std::string& path)>;
using PumpFunction = std::function<void()>;
// An item found in a folder that could not be taken, with the reason in a
// few words ("broken link", "link loop", "link out of the folder",
// "permission denied", "path too long", "not a regular file", ...).
using SkipFunction = std::function<void(const std::string& path, const std::string& reason)>;

// Searches `folder` and every folder below it, depth first and in name
// order, and hands every file whose extension is supported to `admit`;
// `pump` (when given) runs before each item so the caller stays responsive.
// Whatever below `folder` cannot be examined or read goes to `skip` (when
// given): a broken link, a link loop (a folder link leading back to a
// folder that contains it included), a link that leads out of `folder`
// (never followed), an unreadable folder, an unreadable
// or special file with a supported extension, a path too long for the
// system. A folder reached twice by different routes is searched once,
// without a report: none of its files is lost. 1 after a search, 0 when
// `folder` itself cannot be searched.
int addFolder(const std::string& folder, const AdmitFunction& admit, const PumpFunction& pump = {},
              const SkipFunction& skip = {});

// A dropped or named item: a folder is searched, a file with a supported
// extension is admitted; anything else (a missing name too) adds nothing.
// Gives true when the item was a folder or a supported file.
bool addDroppedName(const std::string& path, const AdmitFunction& admit,
                    const PumpFunction& pump = {}, const SkipFunction& skip = {});

}  // namespace vidmill
