// The store's records and their file format: what the phone file and the
// identity files hold, read and written as JSON.
//
// Pure functions over values: no globals, no locks, no files. Readers take
// defaults for missing keys, ignore keys they do not use, and never throw:
// wrong types, out-of-range numbers and bad Base64 give defaults, clamped
// values or skipped elements, as each function says.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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

// An atomic that values can be copied in and out of: each copy loads the
// source and stores into the target, one value at a time.
template <typename T> struct CopyableAtomic : std::atomic<T> {
    using std::atomic<T>::atomic;
    using std::atomic<T>::operator=;
    constexpr CopyableAtomic() noexcept = default;
    CopyableAtomic(const CopyableAtomic& other) noexcept : std::atomic<T>(other.load()) {}
    CopyableAtomic& operator=(const CopyableAtomic& other) noexcept
    {
        this->store(other.load());
        return *this;
    }
};

// The settings of this device (the phone file). admin and volume may be read
// without the holder's lock (appendLog reads admin so), hence atomic; the rest
// is guarded by the holder's lock (storeMutex() for the store's).
struct DeviceSettings {
    CopyableAtomic<bool> admin {false};
    int32_t theme = 0;                    // 0..4
    int32_t notify = 0;                   // 0..3
    CopyableAtomic<int32_t> volume {100}; // 50, 100, 150 or 200
    bool bsv = false;
    std::u16string output; // empty: the default device
    bool mainSet = false;
    int32_t mainX = 0;
    int32_t mainY = 0;
    std::array<CardPlacement, kCardKinds + 1> boxes {}; // entries 1..11
};

// What one identity remembers (its identity file).
struct IdentityData {
    bool answerphone = false;
    int32_t phoneFee = 1; // 1..100 satoshis a second
    bool greetOn = false;
    std::string greetingAudio;        // GSM bytes
    std::vector<std::string> blocked; // comparison forms, each once
    std::vector<std::string> heard;   // inbox ids saved as messages
    std::vector<std::string> tomb;    // inbox and saved ids deleted
    std::vector<SavedMessage> saved;
    std::vector<CallRecord> calls;
    std::vector<InboxMessage> inbox; // oldest first, at most kMaxInbox
};

// --- Device settings ----------------------------------------------------------

// current with the settings object applied: keys that are absent leave the
// current value; theme and notify out of range become 0; volume is rounded to
// 50, 100, 150 or 200; "main_x" and "main_y" count only together; "boxes"
// replaces every placement (elements that are not objects or whose k is not
// 1..11 are dropped). admin is read only withAdmin, and is then false unless
// the object holds true. A value of the wrong type ends the reading there with
// stopOnWrongType (the phone file; what came before stays) and is skipped
// otherwise (the identity file).
DeviceSettings deviceSettingsFromJson(const nlohmann::json& object, DeviceSettings current, bool withAdmin,
                                      bool stopOnWrongType);

// The settings as phone-file keys ("admin" only withAdmin). "output" and the
// main-window keys are left out while unset, so that merging this into a file
// object (update()) keeps the stored ones.
nlohmann::json deviceSettingsJson(const DeviceSettings& settings, bool withAdmin);

// --- Identity data ------------------------------------------------------------

// The identity object read: fee outside 1..100 becomes 1; blocked handles are
// kept in comparison form, once each, empty ones dropped; elements of "saved",
// "calls" and "inbox" that are not objects or have a field of the wrong type
// are skipped, and so are saved messages numbered below 1, saved and inbox
// messages without audio, inbox messages without an id or whose id is heard
// or in the tomb; only the newest kMaxInbox inbox messages stay. Empty when
// object is not an object. Device settings in the object are not read here.
std::optional<IdentityData> identityFromJson(const nlohmann::json& object);

// The identity object written: txids of saved and inbox messages only when
// they are 64 characters long; "greet_audio" only when there is a greeting;
// "inbox" only when it has a message with an id and audio, and then only the
// newest kMaxInbox.
nlohmann::json identityJson(const IdentityData& identity);

// Drops the oldest messages beyond kMaxInbox.
void trimInbox(std::vector<InboxMessage>& inbox);

// --- Typed reading and the file text -------------------------------------------

enum class Field { Missing, Ok, WrongType };

// object[key] into out when it has the type; out is untouched otherwise.
// Missing also when object is not an object.
Field readBool(const nlohmann::json& object, const char* key, bool& out);
Field readString(const nlohmann::json& object, const char* key, std::string& out);

// object[key] when it is an array, else an empty array.
const nlohmann::json& arrayOrEmpty(const nlohmann::json& object, const char* key);

// Text serialisation of a store file: two-space indentation, keys in byte
// order, malformed UTF-8 replaced rather than thrown on.
std::string storeFileText(const nlohmann::json& object);

} // namespace kestrel
