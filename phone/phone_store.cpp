#include "phone/phone_store.h"

#include "phone/app_messages.h"
#include "phone/text.h"
#include "platform/bounded_json.h"
#include "platform/data_folder.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/worker.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

using json = nlohmann::json;

PhoneStore& phoneStore()
{
    static PhoneStore store;
    return store;
}

platform::Mutex& stateMutex()
{
    static platform::Mutex mutex;
    return mutex;
}

platform::RecursiveMutex& storeMutex()
{
    static platform::RecursiveMutex mutex;
    return mutex;
}

PhoneState& phoneState() REQUIRES(stateMutex())
{
    static PhoneState state;
    return state;
}

static std::atomic<OwnerHook> phoneRecordSync {nullptr};

void installPhoneRecordSync(OwnerHook hook)
{
    phoneRecordSync.store(hook);
}

std::atomic<bool>& runningFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

std::atomic<bool>& historyScanFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

std::atomic<bool>& replaceWindowsFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

// --- Files --------------------------------------------------------------------

std::string phoneFolder()
{
    const std::string folder = platform::dataFolder() + "/cphone";
    platform::makeFolders(folder);
    return folder;
}

std::string phoneFilePath()
{
    return phoneFolder() + "/phone.json";
}

std::string identityFilePath(const std::string& owner)
{
    if (owner.empty()) return {};
    return phoneFolder() + "/phone-" + owner + ".json";
}

std::string storeFileText(const json& object)
{
    return object.dump(2, ' ', false, json::error_handler_t::replace);
}

// The file's content as JSON: the file itself, or its backup when the file
// was left empty or torn by an interrupted save. Discarded when neither parses.
static json readStoreFile(const platform::LockedFile& file)
{
    std::string text;
    if (platform::readWhole(file, text) && !text.empty()) {
        json parsed = platform::parseBounded(text, platform::kFileBytes);
        if (!parsed.is_discarded()) return parsed;
    }
    if (platform::readBackup(file, text) && !text.empty()) {
        json parsed = platform::parseBounded(text, platform::kFileBytes);
        if (!parsed.is_discarded()) return parsed;
    }
    return json(json::value_t::discarded);
}

static void writeStoreFile(const platform::LockedFile& file, const json& object)
{
    platform::writeWhole(file, storeFileText(object));
}

// --- Typed reading --------------------------------------------------------------

enum class Field { Missing, Ok, WrongType };

static Field readBool(const json& object, const char* key, bool& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    if (!it->is_boolean()) return Field::WrongType;
    out = it->get<bool>();
    return Field::Ok;
}

// Any JSON number, saturated to the range of T (fractions cut toward zero).
template <typename T> static Field readNumber(const json& object, const char* key, T& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    constexpr T low = std::numeric_limits<T>::min();
    constexpr T high = std::numeric_limits<T>::max();
    if (it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        out = v > static_cast<uint64_t>(high) ? high : static_cast<T>(v);
    } else if (it->is_number_integer()) {
        const int64_t v = it->get<int64_t>();
        out = v < static_cast<int64_t>(low) ? low : v > static_cast<int64_t>(high) ? high : static_cast<T>(v);
    } else if (it->is_number_float()) {
        const double v = std::trunc(it->get<double>());
        out = v <= static_cast<double>(low) ? low : v >= static_cast<double>(high) ? high : static_cast<T>(v);
    } else {
        return Field::WrongType;
    }
    return Field::Ok;
}

static Field readString(const json& object, const char* key, std::string& out)
{
    const auto it = object.find(key);
    if (it == object.end()) return Field::Missing;
    if (!it->is_string()) return Field::WrongType;
    out = it->get<std::string>();
    return Field::Ok;
}

static int32_t quantiseVolume(int32_t value)
{
    if (value < 75) return 50;
    if (value < 125) return 100;
    if (value < 175) return 150;
    return 200;
}

// Device settings by the phone-file rules. Keys that are absent leave the
// current value untouched. With stopOnWrongType (the phone file) a value of
// the wrong type ends the reading there; otherwise that key is skipped.
static void applyDeviceSettings(const json& object, bool withAdmin, bool stopOnWrongType)
{
    PhoneStore& store = phoneStore();
    auto wrong = [&](Field f) { return f == Field::WrongType && stopOnWrongType; };

    if (withAdmin) {
        bool admin = false;
        if (wrong(readBool(object, "admin", admin))) return;
        store.admin = admin;
    }
    int32_t theme = 0;
    Field f = readNumber(object, "theme", theme);
    if (wrong(f)) return;
    if (f == Field::Ok) store.theme = (theme >= 0 && theme <= 4) ? theme : 0;

    int32_t notify = 0;
    f = readNumber(object, "notify", notify);
    if (wrong(f)) return;
    if (f == Field::Ok) store.notify = (notify >= 0 && notify <= 3) ? notify : 0;

    int32_t volume = 100;
    f = readNumber(object, "volume", volume);
    if (wrong(f)) return;
    if (f == Field::Ok) store.volume = quantiseVolume(volume);

    bool bsv = false;
    f = readBool(object, "bsv", bsv);
    if (wrong(f)) return;
    if (f == Field::Ok) store.bsv = bsv;

    std::string output;
    if (readString(object, "output", output) == Field::Ok) store.output = utf8ToWide(output);

    if (object.contains("main_x") && object.contains("main_y")) {
        int32_t x = 0, y = 0;
        const Field fx = readNumber(object, "main_x", x);
        const Field fy = readNumber(object, "main_y", y);
        if (fx == Field::Ok && fy == Field::Ok) {
            store.mainX = x;
            store.mainY = y;
            store.mainSet = true;
        } else if (stopOnWrongType) {
            return;
        }
    }

    const auto boxes = object.find("boxes");
    if (boxes != object.end() && boxes->is_array()) {
        for (auto& entry : store.boxes) entry = CardPlacement {};
        for (const auto& element : *boxes) {
            if (!element.is_object()) continue;
            int32_t k = 0, x = 0, y = 0;
            if (readNumber(element, "k", k) == Field::WrongType || readNumber(element, "x", x) == Field::WrongType ||
                readNumber(element, "y", y) == Field::WrongType) {
                if (stopOnWrongType) return;
                continue;
            }
            if (k >= 1 && k <= kCardKinds) store.boxes[static_cast<size_t>(k)] = CardPlacement {x, y, true};
        }
    }
}

static void writeDeviceSettings(json& object, bool withAdmin)
{
    PhoneStore& store = phoneStore();
    if (withAdmin) object["admin"] = store.admin.load();
    object["theme"] = store.theme;
    object["notify"] = store.notify;
    object["volume"] = store.volume.load();
    object["bsv"] = store.bsv;
    if (!store.output.empty()) object["output"] = wideToUtf8(store.output);
    if (store.mainSet) {
        object["main_x"] = store.mainX;
        object["main_y"] = store.mainY;
    }
    json boxes = json::array();
    for (int k = 1; k <= kCardKinds; ++k) {
        const CardPlacement& entry = store.boxes[static_cast<size_t>(k)];
        if (entry.set) boxes.push_back({{"k", k}, {"x", entry.x}, {"y", entry.y}});
    }
    object["boxes"] = std::move(boxes);
}

// --- Settings -------------------------------------------------------------------

void loadSettings()
{
    platform::LockGuard lock(storeMutex());
    platform::LockedFile file;
    if (!platform::openLocked(phoneFilePath(), file)) return;
    const json object = readStoreFile(file);
    if (object.is_object()) applyDeviceSettings(object, true, true);
    platform::unlockClose(file);
}

void saveSettings()
{
    platform::LockGuard lock(storeMutex());
    platform::LockedFile file;
    if (!platform::openLocked(phoneFilePath(), file)) return;
    json object = readStoreFile(file);
    if (!object.is_object()) object = json::object();
    writeDeviceSettings(object, true);
    writeStoreFile(file, object);
    platform::unlockClose(file);
}

// --- Identity -----------------------------------------------------------------------

static void trimInbox(std::vector<InboxMessage>& inbox)
{
    if (inbox.size() > kMaxInbox) inbox.erase(inbox.begin(), inbox.end() - static_cast<std::ptrdiff_t>(kMaxInbox));
}

json buildIdentityJson()
{
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    json object = json::object();
    object["answerphone"] = store.answerphone;
    object["phone_fee"] = store.phoneFee;
    object["greet_on"] = store.greetOn;
    if (!store.greetingAudio.empty()) object["greet_audio"] = base64Encode(store.greetingAudio);
    object["blocked"] = store.blocked;
    writeDeviceSettings(object, false);
    object["heard"] = store.heard;
    object["tomb"] = store.tomb;

    json saved = json::array();
    for (const SavedMessage& m : store.saved) {
        json row = {{"n", m.n}, {"id", m.id}, {"from", m.from}, {"audio", base64Encode(m.audio)}};
        if (m.txid.size() == 64) row["txid"] = m.txid;
        saved.push_back(std::move(row));
    }
    object["saved"] = std::move(saved);

    json calls = json::array();
    for (const CallRecord& c : store.calls) {
        json row = {{"from", c.from}, {"to", c.to}, {"secs", c.secs},
                    {"sats", c.sats}, {"ts", c.ts}, {"missed", c.missed}};
        if (c.hide) row["hide"] = true;
        if (!c.id.empty()) row["id"] = c.id;
        if (!c.txid.empty()) row["txid"] = c.txid;
        calls.push_back(std::move(row));
    }
    object["calls"] = std::move(calls);

    trimInbox(store.inbox);
    json inbox = json::array();
    for (const InboxMessage& m : store.inbox) {
        if (m.id.empty() || m.audio.empty()) continue;
        json row = {{"id", m.id}, {"from", m.from}, {"ts", m.ts}, {"secs", m.secs}, {"audio", base64Encode(m.audio)}};
        if (m.txid.size() == 64) row["txid"] = m.txid;
        inbox.push_back(std::move(row));
    }
    if (!inbox.empty()) object["inbox"] = std::move(inbox);
    return object;
}

static std::vector<std::string> stringElements(const json& object, const char* key)
{
    std::vector<std::string> out;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_array()) return out;
    for (const auto& element : *it)
        if (element.is_string()) out.push_back(element.get<std::string>());
    return out;
}

static bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

// One element of "saved", "calls" or "inbox": false when it is not an object
// or one of its fields has the wrong type (the element is then skipped).
static bool readSaved(const json& e, SavedMessage& m)
{
    if (!e.is_object()) return false;
    std::string audio;
    if (readNumber(e, "n", m.n) == Field::WrongType || readString(e, "id", m.id) == Field::WrongType ||
        readString(e, "from", m.from) == Field::WrongType || readString(e, "txid", m.txid) == Field::WrongType ||
        readString(e, "audio", audio) == Field::WrongType)
        return false;
    m.audio = base64Decode(audio);
    return true;
}

static bool readCall(const json& e, CallRecord& c)
{
    if (!e.is_object()) return false;
    return readString(e, "from", c.from) != Field::WrongType && readString(e, "to", c.to) != Field::WrongType &&
           readNumber(e, "secs", c.secs) != Field::WrongType && readNumber(e, "sats", c.sats) != Field::WrongType &&
           readNumber(e, "ts", c.ts) != Field::WrongType && readBool(e, "missed", c.missed) != Field::WrongType &&
           readBool(e, "hide", c.hide) != Field::WrongType && readString(e, "id", c.id) != Field::WrongType &&
           readString(e, "txid", c.txid) != Field::WrongType;
}

static bool readInbox(const json& e, InboxMessage& m)
{
    if (!e.is_object()) return false;
    std::string audio;
    if (readString(e, "id", m.id) == Field::WrongType || readString(e, "from", m.from) == Field::WrongType ||
        readString(e, "txid", m.txid) == Field::WrongType || readNumber(e, "ts", m.ts) == Field::WrongType ||
        readNumber(e, "secs", m.secs) == Field::WrongType || readString(e, "audio", audio) == Field::WrongType)
        return false;
    m.audio = base64Decode(audio);
    return true;
}

static const json& arrayOrEmpty(const json& object, const char* key)
{
    static const json empty = json::array();
    const auto it = object.find(key);
    return (it != object.end() && it->is_array()) ? *it : empty;
}

bool applyIdentityJson(const json& obj)
{
    if (!obj.is_object()) return false;
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();

    bool answerphone = false;
    readBool(obj, "answerphone", answerphone);
    store.answerphone = answerphone;

    int32_t fee = 1;
    readNumber(obj, "phone_fee", fee);
    store.phoneFee = (fee >= 1 && fee <= 100) ? fee : 1;

    bool greetOn = false;
    readBool(obj, "greet_on", greetOn);
    store.greetOn = greetOn;
    std::string greeting;
    store.greetingAudio =
        readString(obj, "greet_audio", greeting) == Field::Ok ? base64Decode(greeting) : std::string();

    store.blocked.clear();
    for (const std::string& entry : stringElements(obj, "blocked")) {
        const std::string form = wallet::comparison_form(entry);
        if (!form.empty() && !contains(store.blocked, form)) store.blocked.push_back(form);
    }
    store.heard = stringElements(obj, "heard");
    store.tomb = stringElements(obj, "tomb");

    store.saved.clear();
    for (const json& e : arrayOrEmpty(obj, "saved")) {
        SavedMessage m;
        if (readSaved(e, m) && m.n > 0 && !m.audio.empty()) store.saved.push_back(std::move(m));
    }

    store.calls.clear();
    for (const json& e : arrayOrEmpty(obj, "calls")) {
        CallRecord c;
        if (readCall(e, c)) store.calls.push_back(std::move(c));
    }

    store.inbox.clear();
    for (const json& e : arrayOrEmpty(obj, "inbox")) {
        InboxMessage m;
        if (!readInbox(e, m) || m.id.empty() || m.audio.empty()) continue;
        if (contains(store.tomb, m.id) || contains(store.heard, m.id)) continue;
        store.inbox.push_back(std::move(m));
    }
    trimInbox(store.inbox);

    applyDeviceSettings(obj, false, false);
    return true;
}

void migrateLegacySaved(json& legacy, json& target, const platform::LockedFile& phoneFile)
{
    const auto saved = legacy.find("saved");
    if (saved == legacy.end() || !saved->is_array() || saved->empty()) return;

    std::vector<std::string> ids;
    for (const json& e : *saved) {
        std::string id;
        if (e.is_object() && readString(e, "id", id) == Field::Ok && !id.empty()) ids.push_back(id);
    }

    const std::string& ownerId = phoneStore().ownerId;
    std::string owner;
    readString(legacy, "legacy_saved_owner", owner);
    if (owner.empty()) {
        legacy["legacy_saved_owner"] = ownerId;
        writeStoreFile(phoneFile, legacy);
        owner = ownerId;
    }
    if (owner == ownerId) return;

    const auto targetSaved = target.find("saved");
    if (targetSaved == target.end() || !targetSaved->is_array()) return;
    json kept = json::array();
    for (const json& e : *targetSaved) {
        std::string id;
        if (e.is_object()) readString(e, "id", id);
        if (id.empty() || !contains(ids, id)) kept.push_back(e);
    }
    *targetSaved = std::move(kept);
}

static std::string stringOrEmpty(const json& object, const char* key)
{
    std::string value;
    if (object.is_object()) readString(object, key, value);
    return value;
}

void loadIdentity()
{
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    const std::string identityPath = identityFilePath(store.ownerId);
    if (identityPath.empty()) return;

    platform::LockedFile phoneFile;
    if (!platform::openLocked(phoneFilePath(), phoneFile)) return;
    json legacy = readStoreFile(phoneFile);
    if (!legacy.is_object()) legacy = json::object();

    platform::LockedFile identityFile;
    if (!platform::openLocked(identityPath, identityFile)) {
        platform::unlockClose(phoneFile);
        return;
    }
    json identity = readStoreFile(identityFile);

    const bool established = identity.is_object() && (identity.contains("saved") || identity.contains("calls") ||
                                                      identity.contains("inbox") || identity.contains("answerphone"));
    if (established) {
        migrateLegacySaved(legacy, identity, phoneFile);
        applyIdentityJson(identity);
    } else {
        json fresh = json::object();
        bool answerphone = false;
        readBool(legacy, "answerphone", answerphone);
        fresh["answerphone"] = answerphone;
        fresh["heard"] = arrayOrEmpty(legacy, "heard");
        fresh["tomb"] = arrayOrEmpty(legacy, "tomb");
        fresh["saved"] = arrayOrEmpty(legacy, "saved");
        migrateLegacySaved(legacy, fresh, phoneFile);
        fresh["inbox"] = json::array();

        const std::string ownerForm = wallet::comparison_form(store.ownerId);
        json calls = json::array();
        for (const json& call : arrayOrEmpty(legacy, "calls")) {
            if (!call.is_object()) continue;
            if (ownerForm.empty() || ownerForm == wallet::comparison_form(stringOrEmpty(call, "from")) ||
                ownerForm == wallet::comparison_form(stringOrEmpty(call, "to")))
                calls.push_back(call);
        }
        fresh["calls"] = std::move(calls);
        writeStoreFile(identityFile, fresh);
        applyIdentityJson(fresh);
    }
    platform::unlockClose(identityFile);
    platform::unlockClose(phoneFile);
}

void saveIdentity()
{
    platform::LockGuard lock(storeMutex());
    const std::string identityPath = identityFilePath(phoneStore().ownerId);
    if (identityPath.empty()) return;
    platform::LockedFile phoneFile;
    if (!platform::openLocked(phoneFilePath(), phoneFile)) return;
    platform::LockedFile identityFile;
    if (platform::openLocked(identityPath, identityFile)) {
        writeStoreFile(identityFile, buildIdentityJson());
        platform::unlockClose(identityFile);
    }
    platform::unlockClose(phoneFile);
}

void saveAll()
{
    platform::LockGuard lock(storeMutex());
    saveSettings();
    saveIdentity();
}

void switchOwner(const std::string& handle)
{
    const std::string id = wallet::file_id_form(handle);
    {
        platform::LockGuard state(stateMutex());
        platform::LockGuard lock(storeMutex());
        PhoneStore& store = phoneStore();
        if (id == store.ownerId) return;
        if (!store.ownerId.empty()) saveIdentity();

        store.ownerId = id;
        store.saved.clear();
        store.calls.clear();
        store.heard.clear();
        store.tomb.clear();
        store.inbox.clear();
        store.blocked.clear();
        store.answerphone = false;
        store.phoneFee = 1;
        store.greetOn = false;
        store.greetingAudio.clear();
        if (!id.empty()) {
            loadIdentity();
            renumberSaved();
            saveIdentity();
        }
    }
    if (!id.empty()) {
        if (const OwnerHook hook = phoneRecordSync.load()) platform::runTask(hook);
    }
    historyScanFlag() = true;
    replaceWindowsFlag() = true;
    postToMainWindow(WM_PHONE_CONNECTION, 1);
    postToCardWindow(WM_PHONE_CARD_REFRESH);
}

bool renumberSaved() REQUIRES(stateMutex())
{
    platform::LockGuard lock(storeMutex());
    const std::string own = wallet::comparison_form(phoneState().ownHandle);
    std::vector<SavedMessage*> others, mine;
    for (SavedMessage& m : phoneStore().saved) {
        if (own.empty() || wallet::comparison_form(m.from) != own)
            others.push_back(&m);
        else
            mine.push_back(&m);
    }
    bool changed = false;
    int32_t n = 0;
    for (auto* group : {&others, &mine}) {
        for (SavedMessage* m : *group) {
            ++n;
            if (m->n != n) changed = true;
            m->n = n;
        }
    }
    return changed;
}

// --- Lists --------------------------------------------------------------------------

bool isBlocked(const std::string& handle)
{
    const std::string form = wallet::comparison_form(handle);
    platform::LockGuard lock(storeMutex());
    return !form.empty() && contains(phoneStore().blocked, form);
}

static void trimCalls(std::vector<CallRecord>& calls)
{
    if (calls.size() > kMaxCalls) calls.erase(calls.begin(), calls.end() - static_cast<std::ptrdiff_t>(kMaxCalls));
}

void addCallRecord(const CallRecord& record)
{
    platform::LockGuard lock(storeMutex());
    phoneStore().calls.push_back(record);
    trimCalls(phoneStore().calls);
    saveAll();
}

void addMissedCall(const std::string& from, const std::string& id, const std::string& txid) REQUIRES(stateMutex())
{
    if (from.empty()) return;
    platform::LockGuard lock(storeMutex());
    auto& calls = phoneStore().calls;
    if (!id.empty() && std::any_of(calls.begin(), calls.end(), [&](const CallRecord& c) { return c.id == id; })) return;
    CallRecord record;
    record.from = from;
    record.to = phoneState().ownHandle;
    record.ts = platform::unixSeconds();
    record.missed = true;
    record.id = id;
    record.txid = txid;
    calls.push_back(std::move(record));
    trimCalls(calls);
    saveAll();
}

bool saveInboxMessage(size_t index)
{
    int32_t number = 0;
    {
        platform::LockGuard state(stateMutex());
        platform::LockGuard lock(storeMutex());
        PhoneStore& store = phoneStore();
        if (index >= store.inbox.size()) return false;
        const InboxMessage message = store.inbox[index];
        renumberSaved();
        SavedMessage saved;
        saved.n = static_cast<int32_t>(store.saved.size()) + 1;
        saved.id = message.id;
        saved.from = message.from;
        saved.audio = message.audio;
        saved.txid = message.txid;
        store.saved.push_back(std::move(saved));
        const size_t position = store.saved.size() - 1;
        renumberSaved();
        number = store.saved[position].n;
        if (!contains(store.heard, message.id)) store.heard.push_back(message.id);
        saveAll();
    }
    setStatusText("Saved as message " + std::to_string(number) + ".");
    return true;
}

bool deleteInboxMessage(size_t index)
{
    platform::LockGuard state(stateMutex());
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    if (index >= store.inbox.size()) return false;
    store.tomb.push_back(store.inbox[index].id);
    store.inbox.erase(store.inbox.begin() + static_cast<std::ptrdiff_t>(index));
    saveAll();
    return true;
}

bool deleteSavedMessage(size_t index)
{
    platform::LockGuard state(stateMutex());
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    if (index >= store.saved.size()) return false;
    store.tomb.push_back(store.saved[index].id);
    store.saved.erase(store.saved.begin() + static_cast<std::ptrdiff_t>(index));
    renumberSaved();
    saveAll();
    return true;
}

// --- Status line and diagnostic log ------------------------------------------------

void setStatusText(const std::string& text)
{
    {
        platform::LockGuard state(stateMutex());
        phoneState().statusText = text;
    }
    platform::emitStatusEvent(text);
}

StateLock::StateLock() : lock(stateMutex()) {}

// The analysis cannot follow an early unlock() into the destructor.
StateLock::~StateLock() NO_THREAD_SAFETY_ANALYSIS
{
    unlock();
}

void StateLock::unlock() NO_THREAD_SAFETY_ANALYSIS
{
    if (lock.owns_lock()) lock.unlock();
    if (pendingStatus) {
        const std::string text = std::move(*pendingStatus);
        pendingStatus.reset();
        platform::emitStatusEvent(text);
    }
}

void setStatusTextLocked(StateLock& held, const std::string& text) REQUIRES(stateMutex())
{
    phoneState().statusText = text;
    held.pendingStatus = text;
}

void appendLog(const std::u16string& line)
{
    if (!phoneStore().admin.load()) return;
    platform::LockGuard state(stateMutex());
    auto& log = phoneState().log;
    log.push_front(line);
    while (log.size() > kMaxLogLines) log.pop_back();
}

} // namespace kestrel
