#include "wallet/wallet_file.h"

#include "platform/json_fields.h"
#include "wallet/address.h"
#include "wallet/handle_forms.h"
#include "wallet/keys.h"
#include "platform/bounded_json.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/files.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;
using Lock = platform::LockGuard<platform::RecursiveMutex>;

std::string wallet_file_path()
{
    const std::string id = bound_wallet_id();
    if (id.empty()) return platform::dataFolder() + "/corvane_tessera.json";
    // The id comes from files any local process may write: "../x" would
    // name a wallet outside the data folder.
    if (!is_safe_wallet_id(id)) return {};
    return platform::dataFolder() + "/wallets/" + id + "/wallet.json";
}

constexpr off_t kMaxWalletFileSize = 16 << 20;

// Reads a wallet file straight into text, sized once from the file's length:
// no buffer on the stack, and none left behind by growing, keeps its bytes.
// The caller wipes text.
static bool readSecretFile(const std::string& path, std::string& text)
{
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && info.st_size >= 0 && info.st_size <= kMaxWalletFileSize;
    if (ok) {
        text.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < text.size()) {
            const ssize_t n = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            ok = n >= 0;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        text.resize(done);
    }
    ::close(fd);
    return ok;
}

// The parsed file, or a discarded value; the text read is wiped.
static json readWalletJson(const std::string& path)
{
    std::string text;
    if (!readSecretFile(path, text)) {
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

// Looks for a top-level "lock": "CV-LOCK1" while the text is read, without
// building the document: no member of a plain wallet is kept.
class LockFinder : public nlohmann::json_sax<json> {
public:
    bool found = false;

    bool null() override { return value(); }
    bool boolean(bool) override { return value(); }
    bool number_integer(number_integer_t) override { return value(); }
    bool number_unsigned(number_unsigned_t) override { return value(); }
    bool number_float(number_float_t, const string_t&) override { return value(); }
    bool string(string_t& text) override
    {
        if (lockNext_ && depth_ == 1 && text == kLockMagic) found = true;
        return value();
    }
    bool binary(binary_t&) override { return value(); }
    bool start_object(std::size_t) override
    {
        lockNext_ = false;
        if (depth_ == 0 && seenTop_) return false;
        seenTop_ = true;
        ++depth_;
        return true;
    }
    bool key(string_t& text) override
    {
        lockNext_ = depth_ == 1 && text == "lock";
        return true;
    }
    bool end_object() override
    {
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override
    {
        lockNext_ = false;
        if (depth_ == 0) return false; // not an object: no envelope
        ++depth_;
        return true;
    }
    bool end_array() override
    {
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        found = false;
        return false;
    }

private:
    bool value()
    {
        lockNext_ = false;
        return depth_ > 0;
    }
    int depth_ = 0;
    bool seenTop_ = false;
    bool lockNext_ = false;
};

bool is_wallet_file_locked(const std::string& path)
{
    if (platform::pathExists(path + ".seal")) return true;
    std::string text;
    LockFinder finder;
    const bool parsed = readSecretFile(path, text) && json::sax_parse(text, &finder, json::input_format_t::json, true);
    wipe_string(text);
    return parsed && finder.found;
}

bool is_wallet_locked()
{
    Lock lock(wallet_mutex());
    return is_wallet_file_locked(wallet_file_path());
}

// The text of the last failed load; guarded by the wallet mutex.
static std::string& loadError()
{
    static std::string text;
    return text;
}

static const char* statusText(WalletFileStatus status)
{
    switch (status) {
    case WalletFileStatus::ok:
        return "";
    case WalletFileStatus::not_json:
        return "the wallet file is missing or is not a JSON object.";
    case WalletFileStatus::locked:
        return "the wallet is locked in Tessera.";
    case WalletFileStatus::invalid:
        return "the wallet file holds no valid phrase or key.";
    case WalletFileStatus::key_mismatch:
        return "the wallet file's pub or address does not belong to its private key.";
    }
    return "";
}

std::string wallet_load_error()
{
    Lock lock(wallet_mutex());
    return loadError();
}

// The contacts of the loaded wallet as last read from or written to its
// file: what tells a contact removed here from one Tessera added meanwhile.
// Guarded by the wallet mutex.
static std::vector<Contact>& contactsOnFile()
{
    static std::vector<Contact> contacts;
    return contacts;
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
    if (platform::pathExists(path + ".seal")) {
        loadError() = statusText(WalletFileStatus::locked);
        return false;
    }
    std::string text;
    const bool read = readSecretFile(path, text);
    WalletState& s = wallet_state();
    const WalletFileStatus status = read ? parse_wallet_text(text, s) : WalletFileStatus::not_json;
    wipe_string(text);
    loadError() = statusText(status);
    if (status != WalletFileStatus::ok) {
        unload_wallet();
        return false;
    }
    if (s.is_hd && !connect_keys()) {
        loadError() = "the wallet's keys could not be derived.";
        unload_wallet();
        return false;
    }
    s.loaded = true;
    contactsOnFile() = s.contacts;
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

// The "recv" counters; false when one is above kMaxAddressIndex.
static bool countersOf(const json& doc, std::array<uint32_t, kAccounts>& counters)
{
    counters = {};
    const auto it = doc.find("recv");
    if (it == doc.end() || !it->is_array()) return true;
    for (size_t i = 0; i < kAccounts && i < it->size(); ++i) {
        const json& value = (*it)[i];
        if (value.is_number_unsigned() && value.get<uint64_t>() > kMaxAddressIndex) return false;
        counters[i] = u32Value(value);
    }
    return true;
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
                    {recipient_form(platform::jsonText(item, "dest")), platform::jsonText(item, "note")});
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
    if (!countersOf(doc, s.counters)) return WalletFileStatus::invalid;
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
    const std::string own_address = ok ? address_from_pubkey(own_pub) : std::string();
    ok = ok && !own_address.empty();
    if (!ok) {
        wipe_string(priv);
        return WalletFileStatus::invalid;
    }
    if (!pub.empty() && address_from_pubkey(pub).empty()) {
        wipe_string(priv);
        return WalletFileStatus::invalid;
    }
    // A pub or address of another key would load and then fail every
    // signature: the file is refused instead.
    if ((!pub.empty() && ascii_lower(pub) != own_pub) || (!address.empty() && address != own_address)) {
        wipe_string(priv);
        return WalletFileStatus::key_mismatch;
    }
    pub = own_pub;
    address = own_address;
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
    // The secret goes in as a stand-in of its length first: the text is sized
    // from that, so serialising the real one never regrows (and leaves behind)
    // a buffer that holds it.
    const std::string& secret = s.is_hd ? s.phrase : s.receive_priv;
    const char* secretKey = s.is_hd ? "mnemonic" : "priv";
    ordered_json doc = ordered_json::object();
    if (s.is_hd) {
        doc["version"] = 2;
        doc["mnemonic"] = std::string(secret.size(), 'x');
        doc["backup"] = s.backup;
        doc["recv"] = s.counters;
        doc["show"] = s.shown;
        doc["identity"] = s.identity_address;
        doc["address"] = s.receive_address;
    } else {
        doc["priv"] = std::string(secret.size(), 'x');
        doc["pub"] = s.receive_pub;
        doc["address"] = s.receive_address;
    }
    doc["paymail"] = s.paymail;
    doc["ord_avatar"] = inscriptionJson(s.ord_avatar);
    doc["ord_owned"] = ordered_json::array();
    for (const Inscription& ins : s.ord_owned) doc["ord_owned"].push_back(inscriptionJson(ins));
    doc["contacts"] = ordered_json::array();
    for (const Contact& c : s.contacts) doc["contacts"].push_back(ordered_json {{"dest", c.dest}, {"note", c.note}});
    std::string text;
    text.reserve(doc.dump(2, ' ', false, ordered_json::error_handler_t::replace).size());
    doc[secretKey] = secret;
    nlohmann::detail::serializer<ordered_json> serializer(nlohmann::detail::output_adapter<char>(text), ' ',
                                                          ordered_json::error_handler_t::replace);
    serializer.dump(doc, true, false, 2);
    wipeSecrets(doc);
    return text;
}

// True when the file's secret (phrase or key) is the loaded wallet's own.
static bool sameWallet(const json& doc, const WalletState& s)
{
    const auto it = doc.find(s.is_hd ? "mnemonic" : "priv");
    if (it == doc.end() || !it->is_string()) return false;
    const std::string& secret = it->get_ref<const std::string&>();
    const std::string& own = s.is_hd ? s.phrase : s.receive_priv;
    return secret.size() == own.size() && CRYPTO_memcmp(secret.data(), own.data(), own.size()) == 0;
}

// Takes into the state what Tessera may have changed in the file since the
// wallet was loaded: the larger of each counter, and Tessera's "backup",
// "show" and "ord_owned". Contacts: those added or removed on either side
// since the last read or write stay added or removed; ours keep their
// notes. The keys are derived again when the counters or the address shown
// changed.
static void mergeFileChanges(const json& doc, WalletState& s)
{
    std::array<uint32_t, kAccounts> counters {};
    bool rekey = false;
    if (countersOf(doc, counters)) {
        for (size_t i = 0; i < kAccounts; ++i) {
            if (counters[i] <= s.counters[i]) continue;
            s.counters[i] = counters[i];
            rekey = true;
        }
    }
    if (s.is_hd) {
        if (const auto it = doc.find("backup"); it != doc.end() && it->is_boolean()) s.backup = it->get<bool>();
        if (const auto it = doc.find("show"); it != doc.end() && it->is_number_unsigned()) {
            const uint32_t shown = u32Value(*it);
            rekey = rekey || shown != s.shown;
            s.shown = shown;
        }
    }
    if (const auto it = doc.find("ord_owned"); it != doc.end() && it->is_array()) {
        s.ord_owned.clear();
        for (const json& item : *it)
            if (item.is_object()) s.ord_owned.push_back(inscriptionOf(item));
    }
    if (const auto it = doc.find("contacts"); it != doc.end() && it->is_array()) {
        auto find = [](const std::vector<Contact>& list, const std::string& dest) {
            return std::find_if(list.begin(), list.end(), [&](const Contact& c) { return c.dest == dest; });
        };
        auto has = [&](const std::vector<Contact>& list, const std::string& dest) {
            return find(list, dest) != list.end();
        };
        std::vector<Contact> theirs;
        for (const json& item : *it)
            if (item.is_object())
                theirs.push_back({recipient_form(platform::jsonText(item, "dest")), platform::jsonText(item, "note")});
        const std::vector<Contact>& before = contactsOnFile();
        std::vector<Contact> merged;
        for (const Contact& c : theirs) {
            const auto own = find(s.contacts, c.dest);
            if (own != s.contacts.end())
                merged.push_back(*own);
            else if (!has(before, c.dest))
                merged.push_back(c); // Tessera added it; one we removed stays removed
        }
        for (const Contact& own : s.contacts)
            if (!has(theirs, own.dest) && !has(before, own.dest)) merged.push_back(own); // added here
        s.contacts = std::move(merged);
    }
    if (rekey && s.is_hd) connect_keys();
}

// Writes text to a temporary file of a name no other program uses, created
// exclusively beside path, flushed; empty on failure.
static std::string writeTemporary(const std::string& path, std::string_view text)
{
    std::string name = path + ".kestrel-XXXXXX";
    const int fd = ::mkstemp(name.data());
    if (fd < 0) return {};
    size_t done = 0;
    bool ok = true;
    while (ok && done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(name.c_str());
        return {};
    }
    return name;
}

static void syncFolderOf(const std::string& path)
{
    const int dir = ::open(platform::parentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
}

bool save_wallet()
{
    Lock lock(wallet_mutex());
    WalletState& s = wallet_state();
    if (bound_wallet_id().empty() || !s.loaded) return false;
    const std::string path = wallet_file_path();
    if (path.empty()) return false; // an id that is no plain folder name
    platform::makeFolders(platform::parentFolder(path));

    // Merge with the file as it is now, just before writing, so that what
    // Tessera changed since the load is kept.
    if (platform::pathExists(path + ".seal")) return false;
    json doc = readWalletJson(path);
    if (doc.is_object()) {
        // Never write the plain phrase over a wallet Tessera has locked, nor
        // over a file that now holds another wallet.
        const bool ours = !isLockEnvelope(doc) && sameWallet(doc, s);
        if (ours) mergeFileChanges(doc, s);
        wipeSecrets(doc);
        if (!ours) return false;
    } else if (platform::pathExists(path)) {
        return false; // damaged or half-written by someone else: left alone
    }

    std::string text = wallet_json(s);
    const std::string temporary = writeTemporary(path, text);
    wipe_string(text);
    if (temporary.empty()) return false;
    // The lock is checked again right before the rename: a lock applied
    // while we wrote must not be replaced by the plain phrase.
    if (is_wallet_file_locked(path) || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolderOf(path);
    contactsOnFile() = s.contacts;
    return true;
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
    // Counters beyond any wallet's use are not taken; the loaded ones stay.
    std::array<uint32_t, kAccounts> counters {};
    if (!countersOf(doc, counters)) counters = s.counters;
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

} // namespace cv_tessera_wallet
