#include "services/paymail_claim.h"

#include "platform/bounded_json.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "services/identity.h"
#include "services/tessera_link.h"
#include "wallet/address.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"
#include "wallet/web_client.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"

#include "platform/sync.h"

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr int kClaimTimeoutSeconds = 25;
constexpr int kClaimAttempts = 4;

// The folder standing for the program's own in legacyPaymailRegistryPath
// (empty: the real one).
platform::Mutex legacyFolderMutex;
std::string legacyFolder GUARDED_BY(legacyFolderMutex);

// Guards every read-change-write of the registry file within the process.
platform::Mutex registryMutex;

// The fingerprint of the last claim the service took.
platform::Mutex fingerprintMutex;
std::string claimedFingerprint GUARDED_BY(fingerprintMutex);

json loadRegistryLocked() REQUIRES(registryMutex);
bool saveRegistryLocked(const json& registry) REQUIRES(registryMutex);
bool ownedBy(const json& entry, const std::string& key);
std::string carriedOver(const json& names, const json& previous, const std::string& key, const char* member);
std::string normalizedRole(const std::string& role);

} // namespace

// --- The own paymail -------------------------------------------------------------

void resolveOwnPaymail(bool announce)
{
    platform::LockGuard lock(wallet::wallet_mutex());
    wallet::WalletState& state = wallet::wallet_state();
    if (!state.keys_ready || state.identity_pub.empty()) return;

    std::string alias = wallet::alias_form(state.paymail);
    const bool fromRegistry = alias.empty();
    if (fromRegistry) alias = findOwnAlias(state.identity_pub);
    if (alias.empty()) return;
    state.paymail = alias;

    registerOwnName(state.identity_pub, state.receive_address);
    // The wallet's ordinals address joins the names just registered.
    setOwnOrdinalsAddress(state.ord_address);
    nameWalletAfterPaymail(wallet::bound_wallet_id());
    if (!fromRegistry) return;
    wallet::save_wallet();
    if (announce) emitTesseraEvent("paymail", alias + "@" + platform::serviceDomain());
}

std::string ownAlias()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    return wallet::alias_form(wallet::wallet_state().paymail);
}

std::string ownPaymail()
{
    const std::string alias = ownAlias();
    return alias.empty() ? std::string() : alias + "@" + platform::serviceDomain();
}

std::string avatarText(const wallet::Inscription& avatar)
{
    if (!avatar.origin.empty()) return avatar.origin;
    if (avatar.txid.empty()) return {};
    return avatar.txid + "_" + std::to_string(avatar.vout);
}

std::string ownAvatarText()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    return avatarText(wallet::wallet_state().ord_avatar);
}

// --- The local registry ----------------------------------------------------------

std::string paymailRegistryPath()
{
    return platform::dataFolder() + "/corvane_paymail.json";
}

std::string legacyPaymailRegistryPath()
{
    std::string folder;
    {
        platform::LockGuard lock(legacyFolderMutex);
        folder = legacyFolder;
    }
    if (folder.empty()) folder = platform::executableFolder();
    return folder + "/userinfo/corvane_paymail.json";
}

void setLegacyRegistryFolder(const std::string& folder)
{
    platform::LockGuard lock(legacyFolderMutex);
    legacyFolder = folder;
}

json loadPaymailRegistry()
{
    platform::LockGuard lock(registryMutex);
    return loadRegistryLocked();
}

std::string findOwnAlias(const std::string& identityKey)
{
    const std::string key = wallet::ascii_lower(identityKey);
    if (key.empty()) return {};
    platform::LockGuard lock(registryMutex);
    const json registry = loadRegistryLocked();
    const auto names = registry.find("names");
    if (names == registry.end() || !names->is_object()) return {};
    const auto self = registry.find("self");
    if (self != registry.end() && self->is_string()) {
        const auto entry = names->find(self->get<std::string>());
        if (entry != names->end() && ownedBy(*entry, key)) return self->get<std::string>();
    }
    // Object members are kept in ascending key order.
    for (auto it = names->begin(); it != names->end(); ++it)
        if (ownedBy(it.value(), key)) return it.key();
    return {};
}

std::string registerOwnName(const std::string& identityKey, const std::string& address)
{
    const std::string name = wallet::registry_key_form(ownAlias());
    if (name.empty()) return kNeedPaymailName;
    if (identityKey.empty()) return kNoTesseraIdentity;
    const std::string key = wallet::ascii_lower(identityKey);

    platform::LockGuard lock(registryMutex);
    json registry = loadRegistryLocked();
    const json before = registry;
    if (!registry["names"].is_object()) registry["names"] = json::object();
    json& names = registry["names"];

    const auto existing = names.find(name);
    const bool present = existing != names.end() && existing->is_object();
    if (present && !ownedBy(*existing, key)) {
        const auto owner = existing->find("pubkey");
        if (owner != existing->end() && owner->is_string())
            return name + "@" + platform::serviceDomain() + " is already taken";
    }
    if (!present || !ownedBy(*existing, key)) {
        int owned = 0;
        for (const json& entry : names)
            if (ownedBy(entry, key)) ++owned;
        const int limit = nameQuota(platform::jsonText(registry, "host_role"));
        if (limit >= 0 && owned >= limit)
            return "paymail quota reached (" + std::to_string(limit) + " free labels per identity)";
    }

    const json previous = present ? *existing : json::object();
    json entry = {{"pubkey", key}};
    if (!address.empty()) entry["address"] = address;
    const std::string ord = carriedOver(names, previous, key, "ord");
    if (!ord.empty()) entry["ord"] = ord;
    // Kept as setOwnOrdinalsAddress left it: dropping it here made every
    // resolve write the registry twice.
    const std::string ordAddress = carriedOver(names, previous, key, "ordAddress");
    if (!ordAddress.empty()) entry["ordAddress"] = ordAddress;
    std::string avatar = carriedOver(names, previous, key, "avatar");
    if (avatar.empty() && registry.contains("avatars") && registry["avatars"].is_object()) {
        const auto stored = registry["avatars"].find(key);
        if (stored != registry["avatars"].end() && stored->is_string()) avatar = stored->get<std::string>();
    }
    if (!avatar.empty()) entry["avatar"] = avatar;
    names[name] = std::move(entry);
    registry["self"] = name;

    // Signing records resolves the own paymail each time: an unchanged
    // registry is not written again.
    if (registry == before) return {};
    return saveRegistryLocked(registry) ? std::string() : std::string(kRegistryNotWritten);
}

std::string lookupRegistryAddress(const std::string& name)
{
    const std::string key = wallet::registry_key_form(name);
    if (key.empty()) return {};
    platform::LockGuard lock(registryMutex);
    const json registry = loadRegistryLocked();
    const auto names = registry.find("names");
    if (names == registry.end() || !names->is_object()) return {};
    const auto entry = names->find(key);
    if (entry == names->end()) return {};
    return platform::jsonText(*entry, "address");
}

int nameQuota(const std::string& role)
{
    const std::string normal = normalizedRole(role);
    if (normal == "architect") return -1;
    if (normal == "dev") return 20;
    return 10;
}

void refreshHostRole()
{
    std::string key;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        const wallet::WalletState& state = wallet::wallet_state();
        if (!state.loaded || state.identity_pub.empty()) return;
        key = wallet::ascii_lower(state.identity_pub);
    }
    std::string body;
    std::string error;
    if (!wallet::web_get_plain(platform::serviceDomainUrl(platform::quotaPath(key)), body, error)) return;
    const json answer = platform::parseBounded(body);
    if (!answer.is_object()) return;
    setHostRole(platform::jsonText(answer, "role"));
}

void setHostRole(const std::string& role)
{
    const std::string normal = normalizedRole(role);
    platform::LockGuard lock(registryMutex);
    json registry = loadRegistryLocked();
    const auto stored = registry.find("host_role");
    const bool present = stored != registry.end();
    if (present && stored->is_string() && stored->get<std::string>() == normal) return;
    if (!present && normal.empty()) return;
    if (normal.empty())
        registry.erase("host_role");
    else
        registry["host_role"] = normal;
    saveRegistryLocked(registry);
}

std::string hostRole()
{
    return platform::jsonText(loadPaymailRegistry(), "host_role");
}

std::string syncOwnAvatar()
{
    std::string key;
    std::string avatar;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        key = wallet::ascii_lower(wallet::wallet_state().identity_pub);
        avatar = avatarText(wallet::wallet_state().ord_avatar);
    }
    if (key.empty()) return kNoIdentityPubkey;

    platform::LockGuard lock(registryMutex);
    json registry = loadRegistryLocked();
    if (!registry["names"].is_object()) registry["names"] = json::object();
    if (!registry["avatars"].is_object()) registry["avatars"] = json::object();
    if (avatar.empty())
        registry["avatars"].erase(key);
    else
        registry["avatars"][key] = avatar;
    for (json& entry : registry["names"]) {
        if (!ownedBy(entry, key)) continue;
        if (avatar.empty())
            entry.erase("avatar");
        else
            entry["avatar"] = avatar;
    }
    return saveRegistryLocked(registry) ? std::string() : std::string(kRegistryNotWritten);
}

void setOwnOrdinalsAddress(const std::string& address)
{
    wallet::Bytes hash160;
    if (address.empty() || !wallet::decode_address(address, hash160)) return;
    std::string key;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        key = wallet::ascii_lower(wallet::wallet_state().identity_pub);
    }
    if (key.empty()) return;

    platform::LockGuard lock(registryMutex);
    json registry = loadRegistryLocked();
    const auto names = registry.find("names");
    if (names == registry.end() || !names->is_object()) return;
    bool changed = false;
    for (json& entry : *names) {
        if (!ownedBy(entry, key)) continue;
        if (platform::jsonText(entry, "ordAddress") == address) continue;
        entry["ordAddress"] = address;
        changed = true;
    }
    if (changed) saveRegistryLocked(registry);
}

// --- The claim -------------------------------------------------------------------------

std::string claimMessage(const std::string& alias, const std::string& key, const std::string& address,
                         const std::string& avatar, const std::string& ord, const std::string& bnPub,
                         const std::string& bnAddress, int64_t ts)
{
    std::string message = "CV-PAYMAIL-CLAIM|" + alias + "|" + key + "|" + address + "|" + avatar + "|";
    if (!bnPub.empty() && !bnAddress.empty())
        message += ord + "|" + bnPub + "|" + bnAddress + "|";
    else if (!ord.empty())
        message += ord + "|";
    return message + std::to_string(ts);
}

std::string claimFingerprint(const std::string& alias, const std::string& address, const std::string& avatar,
                             const std::string& ord)
{
    return alias + "|" + address + "|" + ord + "|" + avatar + "|bn1";
}

std::string ensurePaymailClaim(const std::string& alias, const std::string& key, const std::string& address,
                               const std::string& avatar, const std::string& ord)
{
    if (alias.empty() || key.empty()) return {};
    const std::string fingerprint = claimFingerprint(alias, address, avatar, ord);
    {
        platform::LockGuard lock(fingerprintMutex);
        if (fingerprint == claimedFingerprint) return {};
    }
    const std::string error = claimPaymail(alias, key, address, avatar, ord);
    if (error.empty()) {
        platform::LockGuard lock(fingerprintMutex);
        claimedFingerprint = fingerprint;
    }
    return error;
}

std::string claimPaymail(const std::string& aliasText, const std::string& keyText, const std::string& address,
                         const std::string& avatar, const std::string& ord)
{
    const std::string alias = wallet::alias_form(aliasText);
    const std::string key = wallet::ascii_lower(keyText);
    if (alias.empty() || key.empty()) return kNeedAliasAndPubkey;

    std::string bnPub;
    std::string bnPriv;
    std::string bnAddress;
    std::string bnError;
    const bool haveBn = wallet::bn_key(bnPub, bnPriv, bnAddress, bnError);
    wallet::wipe_string(bnPriv);
    if (haveBn) {
        bnPub = wallet::ascii_lower(bnPub);
    } else {
        bnPub.clear();
        bnAddress.clear();
    }
    const bool withBn = !bnPub.empty() && !bnAddress.empty();

    const int64_t ts = platform::unixSeconds();
    const std::string message = claimMessage(alias, key, address, avatar, ord, bnPub, bnAddress, ts);
    const IdentitySignature signature = identitySign(message);
    if (!signature.ok) return signature.error.empty() ? std::string(kClaimNotSigned) : signature.error;
    if (wallet::ascii_lower(signature.publicKey) != key) return kIdentityMismatch;

    json body = {{"alias", alias},   {"pubkey", key}, {"address", address},
                 {"avatar", avatar}, {"ts", ts},      {"sig", signature.signature}};
    if (!ord.empty()) body["ordAddress"] = ord;
    if (withBn) {
        body["bnPub"] = bnPub;
        body["bnAddress"] = bnAddress;
    }
    std::string reply;
    std::string error;
    const bool sent = wallet::web_post_json(platform::serviceDomainUrl(platform::claimPath()),
                                            body.dump(-1, ' ', false, json::error_handler_t::replace), reply, error,
                                            kClaimTimeoutSeconds, kClaimAttempts);
    const json answer = platform::parseBounded(reply);
    std::string refusal;
    bool saysNo = false;
    if (answer.is_object()) {
        refusal = platform::jsonText(answer, "error");
        const auto ok = answer.find("ok");
        saysNo = ok != answer.end() && ok->is_boolean() && !ok->get<bool>();
    }
    // A 2xx reply that still says no is not a claim the service took.
    if (sent && refusal.empty() && !saysNo) return {};
    if (!refusal.empty()) return refusal;
    if (!error.empty()) return error;
    return kHostRefused;
}

void forgetClaimFingerprint()
{
    platform::LockGuard lock(fingerprintMutex);
    claimedFingerprint.clear();
}

namespace {

// The registry file, or the copy an older installation kept in the
// program's folder (then copied into the data folder). Never one relative to
// the working directory, which is wherever the user happens to be. Call with
// the registry mutex held.
json loadRegistryLocked() REQUIRES(registryMutex)
{
    std::string text;
    if (platform::readFile(paymailRegistryPath(), text)) {
        json registry = platform::parseBounded(text);
        return registry.is_object() ? registry : json::object();
    }
    if (!platform::readFile(legacyPaymailRegistryPath(), text)) return json::object();
    json registry = platform::parseBounded(text);
    if (!registry.is_object()) return json::object();
    saveRegistryLocked(registry);
    return registry;
}

// Sibling applications read this file at any moment: it is replaced whole,
// never left half-written.
bool saveRegistryLocked(const json& registry) REQUIRES(registryMutex)
{
    return platform::replaceFileAtomically(paymailRegistryPath(),
                                           registry.dump(2, ' ', false, json::error_handler_t::replace));
}

bool ownedBy(const json& entry, const std::string& key)
{
    if (!entry.is_object()) return false;
    const auto owner = entry.find("pubkey");
    return owner != entry.end() && owner->is_string() && wallet::ascii_lower(owner->get<std::string>()) == key;
}

// A value the registry already holds for the identity: the name's previous
// entry first, then the alphabetically first other name the identity owns.
std::string carriedOver(const json& names, const json& previous, const std::string& key, const char* member)
{
    const std::string own = platform::jsonText(previous, member);
    if (ownedBy(previous, key) && !own.empty()) return own;
    for (const json& entry : names) {
        if (!ownedBy(entry, key)) continue;
        const std::string value = platform::jsonText(entry, member);
        if (!value.empty()) return value;
    }
    return {};
}

std::string normalizedRole(const std::string& role)
{
    const std::string lower = wallet::ascii_lower(role);
    if (lower == "dev" || lower == "agent" || lower == "operator" || lower == "architect") return lower;
    return {};
}

} // namespace

} // namespace kestrel
