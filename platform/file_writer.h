// Files written behind the caller's back: for files where only the newest
// text matters (coin snapshots, the balance face), so that a caller holding
// a busy lock does not wait for the disk.
//
// One writer thread serves the process. Each text replaces its file
// atomically (replaceFileAtomically, parent folders created); a text
// overtaken by a newer one for the same path before it was written is
// skipped. A failed write is dropped: these files are hints that the next
// write repeats.
#pragma once

#include <string>

namespace platform {

// Queues text as path's next content and returns at once. After
// stopFileWriter() the text is written on the caller's thread instead.
void writeFileLater(const std::string& path, std::string text);

// Waits until every text queued so far is on disk.
void flushFileWrites();

// Writes what is queued, ends the writer thread and joins it. The start-up
// module calls it at shutdown; it also runs at exit.
void stopFileWriter();

} // namespace platform
