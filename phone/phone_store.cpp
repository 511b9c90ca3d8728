#include "phone/phone_store.h"

#include "phone/app_messages.h"
#include "phone/store_migration.h"
#include "platform/bounded_json.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/worker.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"

#include <algorithm>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

using json = nlohmann::json;

PhoneStore& phoneStore() REQUIRES(storeMutex())
{
    static PhoneStore store;
    return store;
}

bool adminMode() NO_THREAD_SAFETY_ANALYSIS
{
    return phoneStore().admin.load();
}

platform::RecursiveMutex& storeMutex()
{
    static platform::RecursiveMutex mutex;
    return mutex;
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

void writeStoreFile(const platform::LockedFile& file, const json& object)
{
    platform::writeWhole(file, storeFileText(object));
}

// --- Settings -------------------------------------------------------------------

void loadSettings()
{
    platform::LockGuard lock(storeMutex());
    platform::LockedFile file;
    if (!platform::openLocked(phoneFilePath(), file)) return;
    const json object = readStoreFile(file);
    PhoneStore& store = phoneStore();
    if (object.is_object()) store.settings() = deviceSettingsFromJson(object, store.settings(), true, true);
    platform::unlockClose(file);
}

void saveSettings()
{
    platform::LockGuard lock(storeMutex());
    platform::LockedFile file;
    if (!platform::openLocked(phoneFilePath(), file)) return;
    json object = readStoreFile(file);
    if (!object.is_object()) object = json::object();
    object.update(deviceSettingsJson(phoneStore().settings(), true));
    writeStoreFile(file, object);
    platform::unlockClose(file);
}

// --- Identity -----------------------------------------------------------------------

json buildIdentityJson()
{
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    trimInbox(store.inbox);
    json object = identityJson(store.identity());
    object.update(deviceSettingsJson(store.settings(), false));
    return object;
}

bool applyIdentityJson(const json& obj)
{
    std::optional<IdentityData> identity = identityFromJson(obj);
    if (!identity) return false;
    platform::LockGuard lock(storeMutex());
    PhoneStore& store = phoneStore();
    store.identity() = std::move(*identity);
    store.settings() = deviceSettingsFromJson(obj, store.settings(), false, false);
    return true;
}

void loadIdentity() REQUIRES(stateMutex())
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
        migrateLegacySaved(legacy, identity, store.ownerId, phoneFile);
        applyIdentityJson(identity);
    } else {
        const json fresh = identityFromLegacy(legacy, store.ownerId, phoneFile);
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

void switchOwner(const std::string& handle) EXCLUDES(stateMutex())
{
    const std::string id = wallet::file_id_form(handle);
    {
        platform::LockGuard state(stateMutex());
        platform::LockGuard lock(storeMutex());
        PhoneStore& store = phoneStore();
        if (id == store.ownerId) return;
        if (!store.ownerId.empty()) saveIdentity();

        store.ownerId = id;
        store.identity() = IdentityData {};
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
    const auto& blocked = phoneStore().blocked;
    return !form.empty() && std::find(blocked.begin(), blocked.end(), form) != blocked.end();
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

bool saveInboxMessage(size_t index) EXCLUDES(stateMutex())
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
        if (std::find(store.heard.begin(), store.heard.end(), message.id) == store.heard.end())
            store.heard.push_back(message.id);
        saveAll();
    }
    setStatusText("Saved as message " + std::to_string(number) + ".");
    return true;
}

bool deleteInboxMessage(size_t index) EXCLUDES(stateMutex())
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

bool deleteSavedMessage(size_t index) EXCLUDES(stateMutex())
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

} // namespace kestrel
