// The phone's shared state beside the store: the connected identity's
// handle, the one-line status text, the balance line and the diagnostic log.
//
// One process-wide record, read and written under stateMutex(), which also
// guards the call state (calls/call_state.h). Status changes are announced as
// status events, never while the state mutex is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/sync.h"

namespace kestrel {

constexpr size_t kMaxLogLines = 40;

platform::Mutex& stateMutex();

// Shared phone state, read and written under stateMutex().
struct PhoneState {
    std::string ownHandle; // the connected identity's handle, as the wallet reports it
    std::string statusText = "Connect Tessera, then type a handle.";
    std::string balanceLine;        // own handle, three blanks and the amount; empty while not connected
    int64_t balance = -1;           // the last known balance in satoshis; -1 while unknown
    std::deque<std::u16string> log; // newest first; kept only while admin is set
};
PhoneState& phoneState() REQUIRES(stateMutex());

// Replace the status line (takes stateMutex(); callers must not hold it) and
// post WM_PHONE_STATUS to the main window.
void setStatusText(const std::string& text) EXCLUDES(stateMutex());

// stateMutex() held for a scope. A status line set under it with
// setStatusTextLocked() is announced when the lock is released, so that the
// event sink never runs under the state mutex.
struct SCOPED_CAPABILITY StateLock {
    StateLock() ACQUIRE(stateMutex());
    ~StateLock() RELEASE();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    // Releases early (announcing a pending status line); the destructor then does nothing.
    void unlock() RELEASE();

    platform::UniqueLock lock;
    std::optional<std::string> pendingStatus;
};

// Replaces the status line while the caller holds the state mutex.
void setStatusTextLocked(StateLock& held, const std::string& text) REQUIRES(stateMutex());
// When admin is set, puts line at the front of the log (takes stateMutex()).
void appendLog(const std::u16string& line) EXCLUDES(stateMutex());

} // namespace kestrel
