// Corvane data folder: the per-user folder every Corvane application shares.
//
// dataFolder() answers LOCALAPPDATA when set and not empty, else
// $XDG_DATA_HOME, else $HOME/.local/share (else "."), followed by "/Corvane".
// The folder and its missing parents are created each time the path is
// computed; a failure to create is not reported (later opens fail instead).
#pragma once

#include <string>

namespace platform {

std::string dataFolder();

// Creates path and its missing parents; true when the folder exists after.
bool makeFolders(const std::string& path);

// True when a file or folder exists at path.
bool pathExists(const std::string& path);

// The folder part of path: "." without a "/", "/" for a file at the root.
std::string parentFolder(const std::string& path);

// Folder of the running executable, without a trailing "/" ("." when unknown).
std::string executableFolder();

} // namespace platform
