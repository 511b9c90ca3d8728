// PhoneStore: what the telephone remembers between runs.
//
// Device settings live in "phone.json" and the data of each identity in
// "phone-<file_id_form>.json", both in the phone folder ("<data folder>/cphone").
// The store is one process-wide record, read and edited under storeMutex()
// (recursive); ownHandle, the status text and the call state are under
// stateMutex() (plain), taken first (the lock order is platform/sync.h's).
// The phone file's byte lock is taken before the identity file's. Every change is
// persisted at once with saveAll(). Nothing here throws: files that do not
// parse, wrong types and bad Base64 give defaults, clamped values or skipped
// elements.
//
// The records and their file format are phone/store_format.h; the carry-over
// from the legacy phone file is phone/store_migration.h; the status line and
// the diagnostic log are phone/phone_status.h.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "phone/phone_status.h"
#include "phone/store_format.h"
#include "platform/files.h"

namespace kestrel {

// The device settings and the loaded identity's data in one record, so that
// callers reach every value directly (phoneStore().volume, .answerphone).
// There is one store: it is not copied; settings() and identity() give the
// two value parts, e.g. to reset the identity in one assignment.
struct PhoneStore : DeviceSettings, IdentityData {
    PhoneStore() = default;
    PhoneStore(const PhoneStore&) = delete;
    PhoneStore& operator=(const PhoneStore&) = delete;

    DeviceSettings& settings() { return *this; }
    const DeviceSettings& settings() const { return *this; }
    IdentityData& identity() { return *this; }
    const IdentityData& identity() const { return *this; }

    std::string ownerId; // file_id_form of the loaded identity; empty before a handle is known
};

platform::RecursiveMutex& storeMutex();
// The store; hold storeMutex() while using it.
PhoneStore& phoneStore() REQUIRES(storeMutex());
// The admin switch, read without the lock (it is atomic).
bool adminMode();

// --- Files --------------------------------------------------------------------

std::string phoneFolder(); // created when computed
std::string phoneFilePath();
std::string identityFilePath(const std::string& owner); // empty when owner is empty
// Replaces the content of a locked store file with storeFileText(object).
void writeStoreFile(const platform::LockedFile& file, const nlohmann::json& object);

// --- Operations ---------------------------------------------------------------

void loadSettings();
void saveSettings();
void saveIdentity();
void saveAll();
// Makes file_id_form(handle) the owner and loads its data; takes stateMutex() itself.
void switchOwner(const std::string& handle) EXCLUDES(stateMutex());
// Called with stateMutex() held, and the store mutex, which it takes again (from switchOwner).
void loadIdentity() REQUIRES(stateMutex());
// Applies an identity object to memory: the identity data, and the device
// settings it carries with wrong types skipped. Answers false, changing
// nothing, when obj is not an object.
bool applyIdentityJson(const nlohmann::json& obj);
// The loaded identity's file object: its data and the device settings but
// admin. Trims the inbox in memory to kMaxInbox first.
nlohmann::json buildIdentityJson();
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
bool saveInboxMessage(size_t index) EXCLUDES(stateMutex()); // status "Saved as message N."
bool deleteInboxMessage(size_t index) EXCLUDES(stateMutex());
bool deleteSavedMessage(size_t index) EXCLUDES(stateMutex());

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

} // namespace kestrel
