#include "wallet/wallet_file.h"

#include "platform/json_fields.h"
#include "wallet/address.h"
#include "wallet/keys.h"
#include "platform/bounded_json.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/files.h"

#include <openssl/crypto.h>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;
using Lock = std::lock_guard<std::recursive_mutex>;

std::string wallet_file_path()
{
    const std::string id = bound_wallet_id();
    if (id.empty()) return platform::dataFolder() + "/corvane_tessera.json";
    // The id comes from files any local process may write: "../x" would
    // name a wallet outside the data folder.
    if (!is_safe_wallet_id(id)) return {};
    return platform::dataFolder() + "/wallets/" + id + "/wallet.json";
}

// The parsed file, or a discarded value; the text read is wiped.
static json readWalletJson(const std::string& path)
{
    std::string text;
    if (!platform::readFile(path, text)) {
        wipe_string(text);
        return json(json::value_t::discarded);
    }
    json doc = platform::parseBounded(text);
    wipe_string(text);
    return doc;
}

// Wipes the secret members of a parsed or built wallet document.
template <typename Json> static void wipeSecrets(Json& doc)
{
    if (!doc.is_object()) return;
    for (const char* key : {"mnemonic", "priv"}) {
        const auto it = doc.find(key);
        if (it != doc.end() && it->is_string()) wipe_string(it->template get_ref<std::string&>());
    }
}

static bool isLockEnvelope(const json& doc)
{
    if (!doc.is_object()) return false;
    const auto it = doc.find("lock");
    return it != doc.end() && it->is_string() && it->get_ref<const std::string&>() == kLockMagic;
}

bool is_wallet_file_locked(const std::string& path)
{
    if (platform::pathExists(path + ".seal")) return true;
    json doc = readWalletJson(path);
    const bool locked = isLockEnvelope(doc);
    wipeSecrets(doc);
    return locked;
}

bool is_wallet_locked()
{
    Lock lock(wallet_mutex());
    return is_wallet_file_locked(wallet_file_path());
}

bool load_wallet()
{
    Lock lock(wallet_mutex());
    const WalletState& s = wallet_state();
    if (s.loaded && !s.receive_priv.empty() && !s.receive_address.empty()) return true;
    if (bound_wallet_id().empty()) return false;
    return load_wallet_from(wallet_file_path());
}

bool load_wallet_from(const std::string& path)
{
    Lock lock(wallet_mutex());
    unload_wallet();
    // A ".seal" companion means Tessera has locked this wallet: a plain file
    // beside it is not to be used.
    if (platform::pathExists(path + ".seal")) return false;
    std::string text;
    const bool read = platform::readFile(path, text);
    WalletState& s = wallet_state();
    const WalletFileStatus status = read ? parse_wallet_text(text, s) : WalletFileStatus::not_json;
    wipe_string(text);
    if (status != WalletFileStatus::ok) {
        unload_wallet();
        return false;
    }
    if (s.is_hd && !connect_keys()) {
        unload_wallet();
        return false;
    }
    s.loaded = true;
    return true;
}

// ---- reading members ----------------------------------------------------

static bool boolMember(const json& doc, const char* key)
{
    const auto it = doc.find(key);
    return it != doc.end() && it->is_boolean() && it->get<bool>();
}

static uint32_t u32Value(const json& value)
{
    if (!value.is_number_unsigned()) return 0;
    const uint64_t n = value.get<uint64_t>();
    return n <= 0xFFFFFFFFu ? static_cast<uint32_t>(n) : 0;
}

static std::array<uint32_t, kAccounts> countersOf(const json& doc)
{
    std::array<uint32_t, kAccounts> counters {};
    const auto it = doc.find("recv");
    if (it == doc.end() || !it->is_array()) return counters;
    for (size_t i = 0; i < kAccounts && i < it->size(); ++i) counters[i] = u32Value((*it)[i]);
    return counters;
}

static Inscription inscriptionOf(const json& value)
{
    Inscription ins;
    if (!value.is_object()) return ins;
    ins.origin = platform::jsonText(value, "origin");
    ins.txid = platform::jsonText(value, "txid");
    if (const auto it = value.find("vout"); it != value.end()) ins.vout = u32Value(*it);
    ins.type = platform::jsonText(value, "type");
    ins.address = platform::jsonText(value, "address");
    ins.name = platform::jsonText(value, "name");
    ins.icon = platform::jsonText(value, "icon");
    for (auto [key, field] :
         {std::pair<const char*, json*> {"amt", &ins.amt}, {"dec", &ins.dec}, {"created", &ins.created}}) {
        const auto it = value.find(key);
        if (it != value.end() && (it->is_number() || it->is_string())) *field = *it;
    }
    ins.token_id = platform::jsonText(value, "token_id");
    ins.hidden = boolMember(value, "hidden");
    return ins;
}

static Inscription avatarOf(const json& doc)
{
    const auto it = doc.find("ord_avatar");
    return it == doc.end() ? Inscription {} : inscriptionOf(*it);
}

static void readShared(const json& doc, WalletState& s)
{
    s.paymail = platform::jsonText(doc, "paymail");
    s.ord_avatar = avatarOf(doc);
    if (const auto it = doc.find("ord_owned"); it != doc.end() && it->is_array())
        for (const json& item : *it)
            if (item.is_object()) s.ord_owned.push_back(inscriptionOf(item));
    if (const auto it = doc.find("contacts"); it != doc.end() && it->is_array())
        for (const json& item : *it)
            if (item.is_object())
                s.contacts.push_back(
                    {normalize_contact_dest(platform::jsonText(item, "dest")), platform::jsonText(item, "note")});
}

// A member that must be text when present.
static bool optionalText(const json& doc, const char* key, std::string& out)
{
    out.clear();
    const auto it = doc.find(key);
    if (it == doc.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

static WalletFileStatus readPhraseWallet(const json& doc, WalletState& s)
{
    const json& mnemonic = *doc.find("mnemonic");
    if (!mnemonic.is_string() || !validate_phrase(mnemonic.get_ref<const std::string&>()))
        return WalletFileStatus::invalid;
    s.is_hd = true;
    s.phrase = mnemonic.get_ref<const std::string&>();
    s.backup = boolMember(doc, "backup");
    s.counters = countersOf(doc);
    if (const auto it = doc.find("show"); it != doc.end()) s.shown = u32Value(*it);
    readShared(doc, s);
    return WalletFileStatus::ok;
}

static WalletFileStatus readSingleKeyWallet(const json& doc, WalletState& s)
{
    std::string priv, pub, address;
    bool ok = optionalText(doc, "priv", priv) && optionalText(doc, "pub", pub) && optionalText(doc, "address", address);
    std::string own_pub;
    ok = ok && pubkey_from_privkey(priv, own_pub);
    if (ok && pub.empty()) pub = own_pub;
    if (ok && address.empty()) address = address_from_pubkey(pub);
    ok = ok && !address.empty();
    if (!ok) {
        wipe_string(priv);
        return WalletFileStatus::invalid;
    }
    s.is_hd = false;
    s.receive_priv = std::move(priv);
    s.receive_pub = pub;
    s.receive_address = address;
    readShared(doc, s);
    return WalletFileStatus::ok;
}

WalletFileStatus parse_wallet_text(std::string_view text, WalletState& state)
{
    wipe_wallet_state(state);
    json doc = platform::parseBounded(text);
    WalletFileStatus status = WalletFileStatus::invalid;
    if (doc.is_discarded() || !doc.is_object())
        status = WalletFileStatus::not_json;
    else if (isLockEnvelope(doc))
        status = WalletFileStatus::locked;
    else if (doc.contains("mnemonic"))
        status = readPhraseWallet(doc, state);
    else if (doc.contains("priv"))
        status = readSingleKeyWallet(doc, state);
    wipeSecrets(doc);
    if (status != WalletFileStatus::ok) wipe_wallet_state(state);
    return status;
}

// ---- writing ------------------------------------------------------------

// A value kept as read (number or text), carried into the ordered document.
static ordered_json keptValue(const json& value)
{
    return ordered_json(value);
}

static ordered_json inscriptionJson(const Inscription& ins)
{
    ordered_json out = ordered_json::object();
    if (ins.empty()) return out;
    out["origin"] = ins.origin;
    out["txid"] = ins.txid;
    out["vout"] = ins.vout;
    out["type"] = ins.type;
    out["address"] = ins.address;
    out["name"] = ins.name;
    out["icon"] = ins.icon;
    out["amt"] = keptValue(ins.amt);
    out["dec"] = keptValue(ins.dec);
    out["token_id"] = ins.token_id;
    out["hidden"] = ins.hidden;
    out["created"] = keptValue(ins.created);
    return out;
}

std::string wallet_json(const WalletState& s)
{
    ordered_json doc = ordered_json::object();
    if (s.is_hd) {
        doc["version"] = 2;
        doc["mnemonic"] = s.phrase;
        doc["backup"] = s.backup;
        doc["recv"] = s.counters;
        doc["show"] = s.shown;
        doc["identity"] = s.identity_address;
        doc["address"] = s.receive_address;
    } else {
        doc["priv"] = s.receive_priv;
        doc["pub"] = s.receive_pub;
        doc["address"] = s.receive_address;
    }
    doc["paymail"] = s.paymail;
    doc["ord_avatar"] = inscriptionJson(s.ord_avatar);
    doc["ord_owned"] = ordered_json::array();
    for (const Inscription& ins : s.ord_owned) doc["ord_owned"].push_back(inscriptionJson(ins));
    doc["contacts"] = ordered_json::array();
    for (const Contact& c : s.contacts) doc["contacts"].push_back(ordered_json {{"dest", c.dest}, {"note", c.note}});
    std::string text = doc.dump(2, ' ', false, ordered_json::error_handler_t::replace);
    wipeSecrets(doc);
    return text;
}

bool save_wallet()
{
    Lock lock(wallet_mutex());
    const WalletState& s = wallet_state();
    if (bound_wallet_id().empty() || !s.loaded) return false;
    const std::string path = wallet_file_path();
    // Never write the plain phrase over a wallet Tessera has locked meanwhile.
    if (path.empty() || is_wallet_file_locked(path)) return false;
    platform::makeFolders(platform::parentFolder(path));
    std::string text = wallet_json(s);
    const bool ok = platform::replaceFileAtomically(path, text);
    wipe_string(text);
    return ok;
}

void refresh_wallet()
{
    Lock lock(wallet_mutex());
    WalletState& s = wallet_state();
    if (!s.loaded) return;
    const std::string path = wallet_file_path();
    if (platform::pathExists(path + ".seal")) return;
    json doc = readWalletJson(path);
    if (!doc.is_object() || isLockEnvelope(doc)) {
        wipeSecrets(doc);
        return;
    }
    const auto counters = countersOf(doc);
    s.ord_avatar = avatarOf(doc);
    s.paymail = platform::jsonText(doc, "paymail");
    wipeSecrets(doc);
    if (counters != s.counters) {
        s.counters = counters;
        if (s.is_hd) connect_keys();
    }
}

std::string receive_address()
{
    Lock lock(wallet_mutex());
    if (!load_wallet()) return {};
    return wallet_state().receive_address;
}

std::string normalize_contact_dest(std::string_view text)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto trim = [&](std::string_view& t) {
        while (!t.empty() && blank(t.front())) t.remove_prefix(1);
        while (!t.empty() && blank(t.back())) t.remove_suffix(1);
    };
    trim(text);
    while (!text.empty() && (text.front() == '@' || text.front() == '$')) text.remove_prefix(1);
    trim(text);
    if (text.size() >= 26 && text[0] == '1') return std::string(text);
    std::string dest = ascii_lower(text);
    const size_t at = dest.find('@');
    if (at != std::string::npos && dest.compare(at + 1, std::string::npos, platform::config().service_domain) == 0)
        dest.resize(at);
    return dest;
}

} // namespace cv_tessera_wallet
