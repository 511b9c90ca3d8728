// Starting with the desktop session: an XDG autostart entry
// ("$XDG_CONFIG_HOME/autostart/kestrel.desktop", else "~/.config/...").
//
// The entry counts as registered when it is a regular file whose "Exec="
// line holds at least 3 bytes. An entry "c-phone.desktop" left by an older
// build is replaced by "kestrel.desktop" at start-up; a program that was
// never added is not added.
#pragma once

#include <string>

namespace platform {

// The autostart folder; empty when neither XDG_CONFIG_HOME nor HOME is set.
std::string autostartFolder();

bool autostartRegistered();

// Writes the entry starting executablePath (quoted); false when it cannot.
bool addAutostart(const std::string& executablePath);

// Deletes the entry; true when none is left.
bool removeAutostart();

// Replaces an older "c-phone.desktop" by "kestrel.desktop" for
// executablePath; nothing when there is none.
void migrateAutostart(const std::string& executablePath);

} // namespace platform
