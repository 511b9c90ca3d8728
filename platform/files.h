// Files shared between processes: whole-file reads and writes under a
// one-byte lock, and atomic replacement.
//
// A LockedFile is opened with openLocked(), which creates an absent file and
// waits for an exclusive lock on byte 0 (an open-file-description lock: it
// belongs to this open, so threads and processes are serialised alike, and
// closing another descriptor of the same file does not drop it).
//
// writeWhole() never leaves a torn file as the only copy: it first replaces a
// companion "<path>.bak" atomically with the new text, then empties and
// rewrites the file in place. A reader whose file is empty or does not parse
// after a crash takes readBackup() instead.
//
// Every file opened here must be a regular file in its own right: a symbolic
// link in the last place of a path, a FIFO or a device is refused (never
// followed, never waited on), and reads stop with false beyond kMaxFileBytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

inline constexpr size_t kMaxFileBytes = 16u << 20;

struct LockedFile {
    int fd = -1;
    std::string path;
};

// Opens (creating when absent) and locks byte 0, waiting as long as it takes.
// False when the file cannot be opened or locked; file is then closed.
bool openLocked(const std::string& path, LockedFile& file);

// Reads the whole file; an empty file is a successful empty read.
bool readWhole(const LockedFile& file, std::string& text);

// Replaces the content: backup first, then the file itself, both flushed.
// True when every byte of the file was written; false, the file untouched,
// when the backup could not be written.
bool writeWhole(const LockedFile& file, std::string_view text);

// The companion written by the last writeWhole(); false when there is none.
bool readBackup(const LockedFile& file, std::string& text);

// Releases the lock and closes; the record is reset.
void unlockClose(LockedFile& file);

// Reads a whole file without locking; false when it cannot be opened, is no
// regular file or holds more than kMaxFileBytes.
bool readFile(const std::string& path, std::string& text);

// Writes text to "<path>.tmp" in the same folder, flushes it to disk and
// renames it over path. On failure the old file stays and the temporary is
// removed.
bool replaceFileAtomically(const std::string& path, std::string_view text);

} // namespace platform
