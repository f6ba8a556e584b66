#pragma once

// Where the program and the user's files live.

#include <string>

namespace vidmill {

// The folder of the running program (the converter and the player lie there).
std::string programFolder();

// $XDG_CONFIG_HOME/vidmill, or ~/.config/vidmill.
std::string configFolder();

// $XDG_CACHE_HOME/vidmill, or ~/.cache/vidmill: what may go at any time.
std::string cacheFolder();

// The user's videos folder: XDG_VIDEOS_DIR from ~/.config/user-dirs.dirs,
// or ~/Videos.
std::string videosFolder();

// "Vidmill" under the videos folder: where converted files go by default.
std::string defaultOutputFolder();

// Creates the folder and its missing parents; true when it exists afterwards.
bool makeFolders(const std::string& path);

// True when the path names an existing folder.
bool isFolder(const std::string& path);

}  // namespace vidmill
