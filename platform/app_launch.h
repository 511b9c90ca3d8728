// Raising and starting sibling applications.
//
// A running Corvane application announces itself by listening on the
// abstract Unix socket "@corvane-<name>-<uid>-<folder>", where folder is the
// FNV-1a hash (8 hex digits) of its data folder path, NUL-padded to the full
// path length (per user and data folder, gone with the process, nothing on
// disk to go stale). raiseAnnouncedApp() connects there
// and sends the line "raise\n"; the application brings its window forward.
// startDetached() starts an executable in its own session, not waited for.
#pragma once

#include <string>

namespace platform {

// Socket name (without the leading NUL) under which app announces itself.
std::string announceSocketName(const std::string& app);

// True when an announced instance of app took the raise request.
bool raiseAnnouncedApp(const std::string& app);

// Announces this process as app for the current data folder: a listening
// socket (close-on-exec, non-blocking) that raise requests reach; it is the
// single-instance claim too, released with the process. -1 when another
// process holds the name (errno EADDRINUSE) or the socket fails.
int announceApp(const std::string& app);

// Takes every pending raise request on an announcing socket; answers how
// many arrived.
int takeRaiseRequests(int announceFd);

// Starts path with no arguments in workdir, detached; true when it started.
bool startDetached(const std::string& path, const std::string& workdir);

// True when path names an executable regular file.
bool isExecutableFile(const std::string& path);

} // namespace platform
