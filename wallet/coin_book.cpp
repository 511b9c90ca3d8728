#include "wallet/coin_book.h"

#include "wallet/coin_state.h"
#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"
#include "platform/bounded_json.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/file_writer.h"
#include "platform/files.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace coin_state;

namespace {

constexpr int64_t kInscriptionFreshMs = 20'000;

CoinState& coin_state_record() REQUIRES(wallet_mutex())
{
    static CoinState state;
    return state;
}

std::string coin_folder();
void load_files(CoinState& s);
void save_spent(const CoinState& s);
void add_spent(CoinState& s, const Coin& coin);
void mark_conflicted(CoinState& s, const Coin& coin);
void prune_lists(CoinState& s, bool age_pruned);

} // namespace

std::string coin_file_tag()
{
    std::string tag = bound_wallet_id();
    if (tag.empty()) {
        Lock lock(wallet_mutex());
        const WalletState& w = wallet_state();
        tag = !w.identity_address.empty() ? w.identity_address : w.receive_address;
    }
    for (char& c : tag) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        if (!keep) c = '_';
    }
    if (tag.empty()) tag = "wallet";
    if (tag.size() > 80) tag.resize(80);
    return tag;
}

void mark_spent(const Coin& coin)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    add_spent(s, coin);
    save_spent(s);
}

bool is_spent(const Coin& coin)
{
    Lock lock(wallet_mutex());
    return spent_in(state(), coin.txid, coin.vout);
}

void hold_coins(const std::vector<Coin>& coins)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    for (const Coin& c : coins) s.held.insert(key_of(c));
}

void release_coins(const std::vector<Coin>& coins)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    for (const Coin& c : coins) s.held.erase(key_of(c));
}

bool is_held(const Coin& coin)
{
    Lock lock(wallet_mutex());
    return held_in(state(), key_of(coin));
}

void hold_coins_for(const std::vector<Coin>& coins, int64_t ms)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const int64_t until = platform::tickMillis() + ms;
    for (const Coin& c : coins) s.held_until[key_of(c)] = until;
}

size_t held_count()
{
    Lock lock(wallet_mutex());
    return state().held.size();
}

std::vector<ChangeCoin> unconfirmed_change()
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    std::vector<ChangeCoin> out;
    for (const ChangeCoin& c : s.change)
        if (!spent_in(s, c.txid, c.vout)) out.push_back(c);
    return out;
}

void record_sent(const std::vector<Coin>& inputs, const std::vector<Output>& outputs, const std::string& txid,
                 const Bytes& extra_hash160)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const std::string id = ascii_lower(txid);
    remember_sent_txid(id);
    for (const Coin& c : inputs) add_spent(s, c);
    save_spent(s);
    prune_lists(s, false);
    prune_cache(s);

    const int64_t now = platform::tickMillis();
    const WalletState& w = wallet_state();
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Output& out = outputs[i];
        Bytes hash;
        if (out.sats < 1 || !p2pkh_script_hash160(out.script, hash) || !is_txid(id)) continue;
        if (!is_own_hash160(hash, inputs, extra_hash160)) continue;
        ChangeCoin change;
        change.txid = id;
        change.vout = static_cast<uint32_t>(i);
        change.sats = out.sats;
        change.hash160 = hash;
        change.pub = w.receive_pub;
        for (const Coin& c : inputs) {
            if (c.hash160 == hash && !c.pub.empty()) {
                change.pub = c.pub;
                break;
            }
        }
        const bool listed = std::any_of(s.change.begin(), s.change.end(), [&](const ChangeCoin& c) {
            return c.txid == change.txid && c.vout == change.vout;
        });
        if (!listed) s.change.push_back(change);

        AddressList& list = s.lists[address_from_hash160(hash)];
        const Coin coin = coin_of(change);
        const bool known = std::any_of(list.coins.begin(), list.coins.end(),
                                       [&](const Coin& c) { return c.txid == coin.txid && c.vout == coin.vout; });
        if (!known) list.coins.push_back(coin);
        list.ok = true;
        list.taken = now;
    }
    save_change(s);
}

std::string last_sent_txid()
{
    Lock lock(wallet_mutex());
    return state().last_txid;
}

void remember_sent_txid(const std::string& txid)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const std::string id = ascii_lower(txid);
    if (id.empty() || id == s.last_txid) return;
    s.previous_txid = s.last_txid;
    s.last_txid = id;
}

void forget_failed_inputs(const std::vector<Coin>& inputs)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    for (const Coin& c : inputs) mark_conflicted(s, c);
    prune_lists(s, true);
    prune_cache(s);
    save_change(s);
}

int64_t local_balance()
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const WalletState& w = wallet_state();
    const std::string& receive = w.receive_address;
    Bytes receive_hash;
    decode_address(receive, receive_hash);

    std::unordered_set<std::string> counted;
    int64_t sum = 0;
    // Each coin once, in either txid order; spent and inscription coins never.
    auto count = [&](const std::string& address, const Coin& c, int64_t minimum) {
        if (c.sats < minimum || spent_in(s, c.txid, c.vout) || inscription_in(s, address, c)) return;
        const std::string key = key_of(c);
        const std::string reversed = outpoint_key(reverse_txid(c.txid), c.vout);
        if (counted.count(key) || counted.count(reversed)) return;
        counted.insert(key);
        sum += c.sats;
    };

    bool established = false;
    const auto own = s.lists.find(receive);
    if (!receive.empty() && own != s.lists.end() && own->second.ok) {
        established = true;
        for (const Coin& c : own->second.coins) count(receive, c, 1);
    }
    for (const ChangeCoin& c : s.change)
        if (!receive_hash.empty() && c.hash160 == receive_hash) count(receive, coin_of(c), 1);
    for (const auto& [address, list] : s.lists) {
        if (address == receive || !list.ok || !platform::isHouseOracle(address)) continue;
        std::string priv, pub;
        const bool ours = keys_for_address(address, priv, pub);
        wipe_string(priv);
        if (!ours) continue;
        for (const Coin& c : list.coins) count(address, c, 1000);
    }
    for (const ChangeCoin& c : s.change)
        if (c.hash160 != receive_hash) count(address_from_hash160(c.hash160), coin_of(c), 1000);
    if (!established && sum == 0) return -1;
    return sum;
}

bool is_inscription(const std::string& address, const Coin& coin)
{
    Lock lock(wallet_mutex());
    return inscription_in(state(), address, coin);
}

void store_inscription_list(const std::string& address, const OrdinalsList& list)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    InscriptionList& stored = s.inscriptions[address];
    stored.keys = std::unordered_set<std::string>(list.inscription_keys.begin(), list.inscription_keys.end());
    stored.fetched = platform::tickMillis();
    stored.complete = list.complete;
    s.ordinals_plain[address] = list.plain;
}

void note_inscription_failure()
{
    Lock lock(wallet_mutex());
    state().ordinals_failed = platform::tickMillis();
}

void reset_coin_state()
{
    Lock lock(wallet_mutex());
    flush_coin_files();
    coin_state_record() = CoinState {};
}

void flush_coin_files()
{
    platform::flushFileWrites();
}

// ---- helpers ------------------------------------------------------------------

namespace coin_state {

// The coin state of the current wallet; a new tag starts afresh from its files.
CoinState& state() REQUIRES(wallet_mutex())
{
    CoinState& s = coin_state_record();
    const std::string tag = coin_file_tag();
    if (!s.ready || s.tag != tag) {
        s = CoinState {};
        s.tag = tag;
        s.ready = true;
        load_files(s);
    }
    return s;
}

void merge_spent_file(CoinState& s)
{
    // Parsed again only when the file changed on disk: a pick runs for every
    // phone payload.
    const std::string path = coin_folder() + "/" + s.tag + "_spent.json";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return;
    const std::string stamp = std::to_string(info.st_ino) + "/" + std::to_string(info.st_size) + "/" +
                              std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
    if (stamp == s.spent_stamp) return;
    std::string text;
    if (!platform::readFile(path, text)) return;
    s.spent_stamp = stamp;
    const json doc = platform::parseBounded(text);
    if (!doc.is_object() || !doc.contains("outpoints") || !doc["outpoints"].is_array()) return;
    for (const json& key : doc["outpoints"])
        if (key.is_string()) s.spent.insert(ascii_lower(key.get<std::string>()));
}

void save_change(const CoinState& s)
{
    json coins = json::array();
    for (const ChangeCoin& c : s.change) {
        if (spent_in(s, c.txid, c.vout)) continue;
        coins.push_back(
            {{"addr", address_from_hash160(c.hash160)}, {"sats", c.sats}, {"txid", c.txid}, {"vout", c.vout}});
    }
    const json doc = {{"coins", coins}};
    platform::writeFileLater(coin_folder() + "/" + s.tag + "_change.json", doc.dump(2));
}

bool spent_in(const CoinState& s, std::string_view txid, uint32_t vout)
{
    if (listed_either_order(s.spent, txid, vout, false)) return true;
    if (s.conflicted.empty()) return false;
    const int64_t now = platform::tickMillis();
    for (const std::string& id : {ascii_lower(std::string(txid)), reverse_txid(txid)}) {
        const auto it = s.conflicted.find(outpoint_key(id, vout));
        if (it != s.conflicted.end() && it->second > now) return true;
    }
    return false;
}

bool held_in(const CoinState& s, const std::string& key)
{
    if (s.held.count(key)) return true;
    const auto it = s.held_until.find(key);
    return it != s.held_until.end() && it->second > platform::tickMillis();
}

// Drops the spent entries that no list of a complete scan shows (in either
// txid order): their spends are confirmed, so no list will offer them
// again. Entries this process added recently stay, for lists that lag.
void prune_spent_set(CoinState& s, const std::unordered_set<std::string>& listed)
{
    const int64_t now = platform::tickMillis();
    std::erase_if(s.conflicted, [now](const auto& entry) { return entry.second <= now; });
    std::erase_if(s.held_until, [now](const auto& entry) { return entry.second <= now; });
    bool changed = false;
    for (auto it = s.spent.begin(); it != s.spent.end();) {
        const std::string& key = *it;
        const size_t cut = key.rfind(':');
        uint32_t vout = 0;
        const bool parsed = cut != std::string::npos && parse_vout(std::string_view(key).substr(cut + 1), vout);
        const auto added = s.spent_added.find(key);
        const bool recent = added != s.spent_added.end() && now - added->second < kSpentKeepMs;
        if (!parsed || recent || listed_either_order(listed, std::string_view(key).substr(0, cut), vout, false)) {
            ++it;
            continue;
        }
        s.spent_added.erase(key);
        it = s.spent.erase(it);
        changed = true;
    }
    if (changed) save_spent(s);
}

bool inscription_in(const CoinState& s, const std::string& address, const Coin& coin)
{
    const int64_t now = platform::tickMillis();
    const bool failed = s.ordinals_failed && now - *s.ordinals_failed < kInscriptionFreshMs;
    const auto it = s.inscriptions.find(address);
    const bool fresh = it != s.inscriptions.end() && now - it->second.fetched < kInscriptionFreshMs;
    if (failed || !fresh) return coin.sats == 1;
    const InscriptionList& list = it->second;
    if (listed_either_order(list.keys, coin.txid, coin.vout, false)) return true;
    return !list.complete && coin.sats == 1;
}

Coin coin_of(const ChangeCoin& change)
{
    Coin c;
    c.txid = change.txid;
    c.vout = change.vout;
    c.sats = change.sats;
    c.hash160 = change.hash160;
    c.pub = change.pub;
    return c;
}

} // namespace coin_state

namespace {

std::string coin_folder()
{
    const std::string folder = platform::dataFolder() + "/ord_snap";
    platform::makeFolders(folder);
    return folder;
}

void load_files(CoinState& s)
{
    // A save still on its way would otherwise be read as its older text.
    flush_coin_files();
    merge_spent_file(s);
    std::string text;
    if (!platform::readFile(coin_folder() + "/" + s.tag + "_change.json", text)) return;
    const json doc = platform::parseBounded(text);
    if (!doc.is_object() || !doc.contains("coins") || !doc["coins"].is_array()) return;
    for (const json& item : doc["coins"]) {
        if (!item.is_object()) continue;
        ChangeCoin c;
        const auto t = item.find("txid");
        const auto v = item.find("vout");
        const auto n = item.find("sats");
        const auto a = item.find("addr");
        if (t == item.end() || !t->is_string() || !is_txid(t->get_ref<const std::string&>())) continue;
        if (v == item.end() || !v->is_number_unsigned() || v->get<uint64_t>() > 0xFFFFFFFFull) continue;
        if (n == item.end() || !n->is_number_integer() || n->get<int64_t>() < 1 || !in_money_range(n->get<int64_t>()))
            continue;
        if (a == item.end() || !a->is_string() || !decode_address(a->get_ref<const std::string&>(), c.hash160))
            continue;
        c.txid = ascii_lower(t->get<std::string>());
        c.vout = static_cast<uint32_t>(v->get<uint64_t>());
        c.sats = n->get<int64_t>();
        s.change.push_back(std::move(c));
    }
}

void save_spent(const CoinState& s)
{
    const std::set<std::string> sorted(s.spent.begin(), s.spent.end());
    const json doc = {{"outpoints", sorted}};
    platform::writeFileLater(coin_folder() + "/" + s.tag + "_spent.json", doc.dump(2));
}

void add_spent(CoinState& s, const Coin& coin)
{
    const int64_t now = platform::tickMillis();
    for (const std::string& id : {ascii_lower(coin.txid), reverse_txid(coin.txid)}) {
        if (id.empty()) continue;
        const std::string key = outpoint_key(id, coin.vout);
        s.spent.insert(key);
        s.spent_added[key] = now;
    }
}

void mark_conflicted(CoinState& s, const Coin& coin)
{
    const int64_t until = platform::tickMillis() + kConflictMarkMs;
    for (const std::string& id : {ascii_lower(coin.txid), reverse_txid(coin.txid)})
        if (!id.empty()) s.conflicted[outpoint_key(id, coin.vout)] = until;
}

// Drops spent coins from the address lists (and the change list); lists that
// lost a coin are dated 30 s back when age_pruned.
void prune_lists(CoinState& s, bool age_pruned)
{
    const int64_t past = platform::tickMillis() - 30'000;
    for (auto& [address, list] : s.lists) {
        const size_t before = list.coins.size();
        std::erase_if(list.coins, [&](const Coin& c) { return spent_in(s, c.txid, c.vout); });
        if (age_pruned && list.coins.size() != before) list.taken = past;
    }
    std::erase_if(s.change, [&](const ChangeCoin& c) { return spent_in(s, c.txid, c.vout); });
}

} // namespace

} // namespace cv_tessera_wallet
