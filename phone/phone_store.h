// PhoneStore: what the telephone remembers between runs.
//
// Device settings live in "phone.json" and the data of each identity in
// "phone-<file_id_form>.json", both in the phone folder ("<data folder>/cphone").
// The store is one process-wide record. Lock order: stateMutex() before
// storeMutex(); the phone file's byte lock before the identity file's.
// Lists are read and edited under storeMutex() (recursive); ownHandle, the
// status text and the call state under stateMutex() (plain). Every change is
// persisted at once with saveAll(). Nothing here throws: files that do not
// parse, wrong types and bad Base64 give defaults, clamped values or skipped
// elements.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/sync.h"

namespace kestrel {

struct CallRecord {
    std::string from;
    std::string to;
    int32_t secs = 0;
    int64_t sats = 0;
    int64_t ts = 0;
    bool missed = false;
    bool hide = false;
    std::string id;
    std::string txid;
};

struct InboxMessage {
    std::string id;
    std::string from;
    std::string audio; // GSM bytes
    std::string txid;
    int64_t ts = 0;
    int32_t secs = 0;
};

struct SavedMessage {
    int32_t n = 0;
    std::string id;
    std::string from;
    std::string audio; // GSM bytes
    std::string txid;
};

struct CardPlacement {
    int32_t x = 0;
    int32_t y = 0;
    bool set = false;
};

constexpr int kCardKinds = 11;
constexpr size_t kMaxCalls = 80;
constexpr size_t kMaxInbox = 2000;
constexpr size_t kMaxLogLines = 40;

struct PhoneStore {
    // Device settings (phone file).
    std::atomic<bool> admin {false};
    int32_t theme = 0;
    int32_t notify = 0;
    std::atomic<int32_t> volume {100};
    bool bsv = false;
    std::u16string output;
    bool mainSet = false;
    int32_t mainX = 0;
    int32_t mainY = 0;
    std::array<CardPlacement, kCardKinds + 1> boxes {}; // entries 1..11

    // Per-identity values (identity file of ownerId).
    bool answerphone = false;
    int32_t phoneFee = 1;
    bool greetOn = false;
    std::string greetingAudio;
    std::vector<std::string> blocked;
    std::vector<std::string> heard;
    std::vector<std::string> tomb;
    std::vector<SavedMessage> saved;
    std::vector<CallRecord> calls;
    std::vector<InboxMessage> inbox;

    std::string ownerId; // file_id_form of the loaded identity; empty before a handle is known
};

PhoneStore& phoneStore();
platform::Mutex& stateMutex();
platform::RecursiveMutex& storeMutex();

// --- Files --------------------------------------------------------------------

std::string phoneFolder(); // created when computed
std::string phoneFilePath();
std::string identityFilePath(const std::string& owner); // empty when owner is empty

// --- Operations ---------------------------------------------------------------

void loadSettings();
void saveSettings();
void saveIdentity();
void saveAll();
// Makes file_id_form(handle) the owner and loads its data; takes stateMutex() itself.
void switchOwner(const std::string& handle);
// Called with both mutexes held (from switchOwner).
void loadIdentity();
// Applies an identity object to memory; answers false when obj is not an object.
bool applyIdentityJson(const nlohmann::json& obj);
nlohmann::json buildIdentityJson();
// Legacy saved messages stay with the first identity that opens them. Writes
// the legacy object back through phoneFile when it marks the first owner.
void migrateLegacySaved(nlohmann::json& legacy, nlohmann::json& target, const platform::LockedFile& phoneFile);
// Numbers saved messages from others first, then the owner's own; true when
// any number changed. Call with stateMutex() held (reads ownHandle).
bool renumberSaved() REQUIRES(stateMutex());

bool isBlocked(const std::string& handle);
void addCallRecord(const CallRecord& record);
// Call with stateMutex() held (reads ownHandle). txid: the current call's
// txid (for a ringing call, its invite's txid).
void addMissedCall(const std::string& from, const std::string& id, const std::string& txid) REQUIRES(stateMutex());

// Inbox and saved messages, by list position, as the cards edit them. Each
// takes stateMutex() (callers must not hold it) and saves the store; false
// when the position is out of range.
bool saveInboxMessage(size_t index); // status "Saved as message N."
bool deleteInboxMessage(size_t index);
bool deleteSavedMessage(size_t index);

// --- Owner, status line and diagnostic log -----------------------------------------

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
void setStatusText(const std::string& text);

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
void appendLog(const std::u16string& line);

// --- Hooks filled by later subsystems ---------------------------------------------

// Run as a task (platform/worker.h) after switchOwner loads a non-empty owner
// (publishes the owner's phone record).
using OwnerHook = void (*)();
void installPhoneRecordSync(OwnerHook hook);

// Set by switchOwner: the chain watch re-reads the address history, and the
// main window moves itself and the open card to the loaded positions.
std::atomic<bool>& historyScanFlag();

// True from start-up until shutdown begins; actions check it before long work.
std::atomic<bool>& runningFlag();
std::atomic<bool>& replaceWindowsFlag();

// Text serialisation of a store file: two-space indentation, keys in byte
// order, malformed UTF-8 replaced rather than thrown on.
std::string storeFileText(const nlohmann::json& object);

} // namespace kestrel
