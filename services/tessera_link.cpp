#include "services/tessera_link.h"

#include "platform/app_launch.h"
#include "platform/bounded_json.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/events.h"
#include "platform/files.h"
#include "platform/json_fields.h"
#include "platform/worker.h"
#include "services/balance.h"
#include "services/paymail_claim.h"
#include "wallet/spend_hooks.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "platform/sync.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kestrel {

using json = nlohmann::json;
namespace wallet = cv_tessera_wallet;

namespace {

// Flushes a folder's entries (a rename into or out of it) to the disk.
void syncFolder(const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

struct LinkState {
    platform::Mutex mutex;
    std::string appName GUARDED_BY(mutex);
    std::string instance GUARDED_BY(mutex);
    std::atomic<bool> isApp {false};
};

LinkState& link()
{
    static LinkState state;
    return state;
}

// Tessera gets a minute to answer a connect request.
constexpr int kPollAttempts = 120;
constexpr int kPollIntervalMs = 500;

std::string folderPath(const char* name)
{
    const std::string folder = platform::dataFolder() + name;
    platform::makeFolders(folder);
    return folder;
}

std::string registryPath()
{
    return platform::dataFolder() + "/wallets.json";
}

std::string bindFilePath()
{
    std::string instance;
    {
        platform::LockGuard lock(link().mutex);
        instance = link().instance;
    }
    return folderPath("/binds") + "/" + bindKey(instance) + ".json";
}

std::string readBoundId()
{
    std::string text;
    if (!platform::readFile(bindFilePath(), text)) return {};
    const std::string id = platform::jsonText(platform::parseBounded(text), "wallet_id");
    return wallet::is_safe_wallet_id(id) ? id : std::string();
}

bool writeBindFile(const std::string& walletId)
{
    json bind = json::object();
    {
        platform::LockGuard lock(link().mutex);
        bind["app"] = link().appName;
        bind["instance"] = link().instance;
    }
    bind["wallet_id"] = walletId;
    return platform::replaceFileAtomically(bindFilePath(), bind.dump(2, ' ', false, json::error_handler_t::replace));
}

void bindWallet(const std::string& id)
{
    // Ids from the registry, a bind file or a connect reply become paths.
    if (!link().isApp || !wallet::is_safe_wallet_id(id)) return;
    wallet::set_bound_wallet_id(id);
    writeBindFile(id);
}

void migrateLegacyWallet()
{
    const std::string legacy = platform::dataFolder() + "/corvane_tessera.json";
    if (!platform::pathExists(legacy)) return;
    bool intact = true;
    json registry = loadWalletRegistry(&intact);
    if (!intact || !registry["wallets"].empty()) return;

    const std::string id = newStampId();
    const std::string folder = platform::dataFolder() + "/wallets/" + id;
    platform::makeFolders(folder);
    const std::string target = folder + "/wallet.json";
    bool copied = false;
    if (std::rename(legacy.c_str(), target.c_str()) != 0) {
        std::string text;
        const bool ok = platform::readFile(legacy, text) && platform::replaceFileAtomically(target, text);
        wallet::wipe_string(text);
        if (!ok) return;
        copied = true;
    }
    // Both folders reach the disk before the registry names the wallet.
    syncFolder(folder);
    syncFolder(platform::dataFolder());

    registry["wallets"].push_back({{"id", id}, {"name", "Wallet 1"}});
    registry["active"] = id;
    if (!saveWalletRegistry(registry)) {
        // An unlisted wallet would be lost to both programs: it goes back.
        if (copied || std::rename(target.c_str(), legacy.c_str()) == 0) ::unlink(target.c_str());
        ::rmdir(folder.c_str());
        syncFolder(platform::dataFolder());
        return;
    }
    if (copied) {
        ::unlink(legacy.c_str());
        syncFolder(platform::dataFolder());
    }
}

// After a load: pick up what Tessera changed, learn the own paymail and
// keep the avatar in the local registry.
void postConnectStep() REQUIRES(wallet::wallet_mutex())
{
    wallet::refresh_wallet();
    resolveOwnPaymail(true);
    if (!wallet::wallet_state().identity_pub.empty()) syncOwnAvatar();
    const std::string paymail = ownPaymail();
    if (paymail.empty())
        emitTesseraEvent("paymail");
    else
        emitTesseraEvent("paymail", paymail);
}

std::string fail(const std::string& message)
{
    emitTesseraEvent("error", message);
    return message;
}

} // namespace

// --- Registration and binding -----------------------------------------------------

void registerApp(const std::string& instance, const std::string& appName)
{
    RegistryGuard guard;
    link().isApp = true;
    {
        platform::LockGuard lock(link().mutex);
        link().appName = appName.empty() ? "App" : appName;
        link().instance = instance.empty() ? "." : instance;
    }
    migrateLegacyWallet();

    wallet::set_bound_wallet_id(readBoundId());
    if (currentWalletId().empty()) {
        const json registry = loadWalletRegistry();
        const json& wallets = registry["wallets"];
        const std::string only = wallets.size() == 1 ? platform::jsonText(wallets[0], "id") : std::string();
        if (!only.empty()) bindWallet(only);
    }
    // Phone spends ask this module whether a wallet is connected, and the
    // shown balance follows this app's spends.
    wallet::set_connection_check(isTesseraConnected);
    installBalanceHooks();
}

bool isTesseraConnected()
{
    if (link().isApp) {
        std::string id = readBoundId();
        if (id.empty()) id = currentWalletId();
        return !id.empty();
    }
    platform::LockGuard lock(wallet::wallet_mutex());
    return wallet::load_wallet() && wallet::wallet_state().keys_ready;
}

std::string connectToTessera()
{
    if (!link().isApp) return fail("error: connect is for apps, not the Tessera vault.");
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (!currentWalletId().empty() && wallet::load_wallet()) {
            postConnectStep();
            return "success";
        }
    }

    const std::string requestId = writeConnectRequest();
    if (requestId.empty()) return fail("error: could not write connect request.");
    launchOrRaiseTessera();
    emitTesseraEvent("connect-pending", "Approve the connect in Tessera.");
    platform::emitLogLine("Waiting for Tessera to approve this app...\n");

    bool approved = false;
    for (int attempt = 0; attempt < kPollAttempts && !approved; ++attempt) {
        if (!platform::sleepForMillis(kPollIntervalMs, platform::shutdownToken())) break;
        const std::string answer = pollConnectReply(requestId);
        if (answer == "ok") {
            approved = true;
        } else if (answer == "denied") {
            emitTesseraEvent("connect-denied", "denied");
            return fail("error: connect denied in Tessera.");
        }
    }
    if (!approved) {
        emitTesseraEvent("connect-denied", "timeout");
        return fail("error: Tessera did not approve in time. Open Tessera.exe and try Connect again.");
    }

    platform::LockGuard lock(wallet::wallet_mutex());
    unloadWallet();
    if (!wallet::load_wallet()) {
        if (wallet::is_wallet_locked()) return fail("error: This wallet is locked. Open it in Tessera.");
        return fail("error: approved, but the wallet would not load.");
    }
    postConnectStep();
    platform::emitLogLine("Connected to Tessera wallet " + walletDisplayName(currentWalletId()) + "\n");
    return "success";
}

std::string disconnectFromTessera()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    if (link().isApp) {
        ::unlink(bindFilePath().c_str());
        wallet::set_bound_wallet_id("");
    }
    unloadWallet();
    emitTesseraEvent("status");
    platform::emitLogLine("This app is no longer connected to a Tessera wallet.\n");
    return "success";
}

// The binding itself lives in the wallet module, which builds the paths.
std::string currentWalletId()
{
    return wallet::bound_wallet_id();
}

std::string currentWalletPath()
{
    return currentWalletId().empty() ? std::string() : wallet::wallet_file_path();
}

void unloadWallet()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    wallet::unload_wallet();
    resetFace();
}

std::string walletDisplayName(const std::string& walletId)
{
    RegistryGuard guard;
    const json registry = loadWalletRegistry();
    for (const json& entry : registry["wallets"]) {
        const std::string id = platform::jsonText(entry, "id");
        if (id.empty() || id != walletId) continue;
        const std::string name = platform::jsonText(entry, "name");
        return name.empty() ? walletId : name;
    }
    return walletId;
}

void nameWalletAfterPaymail(const std::string& walletId)
{
    const std::string alias = ownAlias();
    if (walletId.empty() || alias.empty()) return;
    RegistryGuard guard;
    json registry = loadWalletRegistry();
    bool renamed = false;
    for (json& entry : registry["wallets"]) {
        if (platform::jsonText(entry, "id") != walletId || platform::jsonText(entry, "name") == alias) continue;
        entry["name"] = alias;
        renamed = true;
    }
    // Every signed record resolves the own paymail: an unchanged list is
    // not written again.
    if (renamed) saveWalletRegistry(registry);
}

std::string bindKey(std::string_view instance)
{
    std::string key;
    key.reserve(instance.size());
    for (const char c : instance) {
        const unsigned char byte = static_cast<unsigned char>(c);
        key += (byte < 0x80 && std::isalnum(byte)) ? static_cast<char>(std::tolower(byte)) : '_';
    }
    if (key.size() > 96) key = key.substr(key.size() - 96);
    return key.empty() ? std::string("default") : key;
}

std::string newStampId()
{
    // Appended rather than "w" + to_string(...): GCC 12 at -O3 misreads the
    // prefix insertion that operator+ inlines as an overlapping copy.
    std::string id = "w";
    id += std::to_string(platform::unixMillis());
    return id;
}

std::string writeConnectRequest()
{
    const std::string id = newStampId();
    json request = json::object();
    request["id"] = id;
    {
        platform::LockGuard lock(link().mutex);
        request["app"] = link().appName;
        request["instance"] = link().instance;
    }
    request["ts"] = platform::unixSeconds();
    const std::string path = folderPath("/connect") + "/" + id + ".req.json";
    // Written whole and renamed into place, so Tessera never reads half a request.
    if (!platform::replaceFileAtomically(path, request.dump(2, ' ', false, json::error_handler_t::replace))) return {};
    return id;
}

std::string pollConnectReply(const std::string& requestId)
{
    if (requestId.empty()) return "denied";
    const std::string path = folderPath("/connect") + "/" + requestId + ".rep.json";
    if (!platform::pathExists(path)) return "pending";
    std::string text;
    if (!platform::readFile(path, text)) return "denied";
    const json reply = platform::parseBounded(text);
    if (!reply.is_object()) return "denied";
    const auto ok = reply.find("ok");
    if (ok == reply.end() || !ok->is_boolean() || !ok->get<bool>()) return "denied";
    const std::string id = platform::jsonText(reply, "wallet_id");
    if (id.empty()) return "ok";
    // The id becomes a path: a reply naming no folder of ours approves nothing.
    if (!wallet::is_safe_wallet_id(id)) return "denied";
    bindWallet(id);
    return "ok";
}

bool launchOrRaiseTessera()
{
    if (platform::raiseAnnouncedApp("tessera")) return true;
    const std::string own = platform::executableFolder();
    std::string candidate = own + "/Tessera";
    if (!platform::isExecutableFile(candidate)) {
        const size_t slash = own.find_last_of('/');
        const std::string parent = (slash == std::string::npos || slash == 0) ? std::string("/") : own.substr(0, slash);
        candidate = parent + "/Tessera";
    }
    if (!platform::isExecutableFile(candidate)) return false;
    return platform::startDetached(candidate, own);
}

// --- Registry ---------------------------------------------------------------------

namespace {

int registryDepth GUARDED_BY(walletRegistryMutex()) = 0;
platform::LockedFile registryFile GUARDED_BY(walletRegistryMutex());

} // namespace

platform::RecursiveMutex& walletRegistryMutex()
{
    static platform::RecursiveMutex mutex;
    return mutex;
}

void lockRegistry()
{
    walletRegistryMutex().lock();
    if (++registryDepth == 1) {
        // Without the byte lock the in-process mutex still serialises this app.
        platform::openLocked(platform::dataFolder() + "/wallets.lock", registryFile);
    }
}

void unlockRegistry()
{
    if (--registryDepth == 0) platform::unlockClose(registryFile);
    walletRegistryMutex().unlock();
}

json loadWalletRegistry(bool* intact)
{
    std::string text;
    json registry = json::object();
    bool wellFormed = true;
    if (platform::readFile(registryPath(), text) && !text.empty()) {
        json parsed = platform::parseBounded(text);
        if (parsed.is_object())
            registry = std::move(parsed);
        else
            wellFormed = false;
    }
    if (!registry.contains("wallets") || !registry["wallets"].is_array()) registry["wallets"] = json::array();
    if (intact) *intact = wellFormed;
    return registry;
}

bool saveWalletRegistry(const json& registry)
{
    // A registry on disk that does not parse may still be another app's
    // wallet list half-written or damaged; writing our empty view over it
    // would lose every wallet it names, so it is left for Tessera to mend.
    bool intact = true;
    loadWalletRegistry(&intact);
    if (!intact) return false;
    const std::string text = registry.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    return platform::replaceFileAtomically(registryPath(), text);
}

// --- Wallet events -------------------------------------------------------------------

void emitTesseraEvent(const std::string& kind, const std::string& f1, const std::string& f2, const std::string& f3)
{
    platform::emitWalletEvent("tessera", kind, {f1, f2, f3});
}

} // namespace kestrel
