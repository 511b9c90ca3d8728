#include "wallet/coins.h"

#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/data_folder.h"
#include "platform/file_writer.h"
#include "platform/files.h"

#include <algorithm>
#include <charconv>
#include <atomic>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <cstdlib>
#include <thread>
#include <unordered_set>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using Lock = platform::LockGuard<platform::RecursiveMutex>;

namespace {

constexpr int kMaxPages = 40;
constexpr int kPageLimitS = 20;
constexpr int kHistoryLimitS = 10;
constexpr size_t kMaxHistoryTxids = 16;
constexpr int64_t kEmptyCacheIntervalMs = 8'000;
constexpr int64_t kCacheIntervalMs = 30'000;
constexpr int64_t kInscriptionFreshMs = 20'000;
constexpr size_t kOrdinalsPage = 100;
constexpr int kOrdinalsPages = 10;
constexpr size_t kMaxPickCoins = 4;
constexpr size_t kScanThreads = 4;

struct AddressList {
    std::vector<Coin> coins;
    int64_t taken = 0; // tick of the scan
    bool ok = false;   // the last scan (or an own record) established the list
};

struct InscriptionList {
    std::unordered_set<std::string> keys;
    int64_t fetched = 0; // tick
    bool complete = false;
};

// One receive address of the wallet with its key's public half.
struct SpendAddress {
    std::string address;
    Bytes hash160;
    std::string pub;
};

// The process-wide coin knowledge of the wallet named by `tag`.
struct CoinState {
    bool ready = false;
    std::string tag;
    std::unordered_set<std::string> spent;
    std::map<std::string, int64_t> spent_added; // key -> tick this process added it
    std::map<std::string, int64_t> conflicted;  // key -> tick the conflict mark ends
    std::string spent_stamp;                    // the spent file as last read: inode, size, time
    std::unordered_set<std::string> held;
    std::map<std::string, int64_t> held_until; // key -> tick the timed hold ends
    std::vector<ChangeCoin> change;
    std::map<std::string, AddressList> lists;
    std::vector<Coin> cache;
    int64_t cache_time = 0; // tick
    bool cache_filled = false;
    std::map<std::string, InscriptionList> inscriptions;
    std::optional<int64_t> ordinals_failed; // tick
    std::map<std::string, std::vector<Coin>> ordinals_plain;
    std::string last_txid;
    std::string previous_txid;
    // Receive addresses derived for (counters[1], receive address).
    std::vector<SpendAddress> receive;
    uint32_t receive_counter = 0;
    std::string receive_for;
};

CoinState& coin_state_record() REQUIRES(wallet_mutex())
{
    static CoinState state;
    return state;
}

CoinState& state() REQUIRES(wallet_mutex());
std::string coin_folder();
void load_files(CoinState& s);
void merge_spent_file(CoinState& s);
void save_spent(const CoinState& s);
void save_change(const CoinState& s);
bool spent_in(const CoinState& s, std::string_view txid, uint32_t vout);
bool held_in(const CoinState& s, const std::string& key);
void add_spent(CoinState& s, const Coin& coin);
void mark_conflicted(CoinState& s, const Coin& coin);
void prune_spent_set(CoinState& s, const std::unordered_set<std::string>& listed);
void prune_lists(CoinState& s, bool age_pruned);
void prune_cache(CoinState& s);
bool is_change_coin(const CoinState& s, const Coin& coin);
bool usable_in(const CoinState& s, const Coin& coin);
const std::vector<SpendAddress>& receive_addresses(CoinState& s) REQUIRES(wallet_mutex());
std::vector<SpendAddress> spend_addresses(CoinState& s) REQUIRES(wallet_mutex());
std::unordered_set<std::string> load_reserves();
std::string reserve_form(std::string text);
bool listed_either_order(const std::unordered_set<std::string>& keys, std::string_view txid, uint32_t vout,
                         bool reserve_form_keys);
std::unordered_set<std::string> load_offer_locks(const CoinState& s);
bool inscription_in(const CoinState& s, const std::string& address, const Coin& coin);
Coin coin_of(const ChangeCoin& change);
std::string key_of(const Coin& coin)
{
    return outpoint_key(coin.txid, coin.vout);
}

// The output index after "txid_": 1 to 10 decimal digits, at most 2^32 - 1.
bool parse_vout(std::string_view digits, uint32_t& vout)
{
    if (digits.empty() || digits.size() > 10) return false;
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value > 0xFFFFFFFFull) return false;
    vout = static_cast<uint32_t>(value);
    return true;
}
} // namespace

// ---- chain lists ----------------------------------------------------------

bool parse_coin_list(std::string_view body, std::vector<Coin>& coins, std::string* next_page_token)
{
    coins.clear();
    if (next_page_token) next_page_token->clear();
    const json doc = platform::parseBounded(body);
    const json* list = nullptr;
    if (doc.is_array()) {
        list = &doc;
    } else if (doc.is_object()) {
        const auto it = doc.find("result");
        if (it != doc.end() && it->is_array()) list = &*it;
        const auto token = doc.find("nextPageToken");
        if (next_page_token && token != doc.end() && token->is_string()) *next_page_token = token->get<std::string>();
    }
    if (!list) return false;
    for (const json& item : *list) {
        if (!item.is_object()) continue;
        const auto spent = item.find("isSpentInMempoolTx");
        if (spent != item.end() && spent->is_boolean() && spent->get<bool>()) continue;
        auto txid = item.find("tx_hash");
        if (txid == item.end()) txid = item.find("txid");
        auto vout = item.find("tx_pos");
        if (vout == item.end()) vout = item.find("vout");
        const auto value = item.find("value");
        if (txid == item.end() || !txid->is_string() || !is_txid(txid->get_ref<const std::string&>())) continue;
        if (vout == item.end() || !vout->is_number_unsigned() || vout->get<uint64_t>() > 0xFFFFFFFFull) continue;
        if (value == item.end() || !value->is_number_unsigned()) continue;
        const uint64_t sats = value->get<uint64_t>();
        if (sats == 0 || sats > static_cast<uint64_t>(kMaxMoneySats)) continue;
        Coin coin;
        coin.txid = ascii_lower(txid->get<std::string>());
        coin.vout = static_cast<uint32_t>(vout->get<uint64_t>());
        coin.sats = static_cast<int64_t>(sats);
        coins.push_back(std::move(coin));
    }
    return true;
}

bool fetch_unspent_all(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    coins_out.clear();
    error.clear();
    const std::string base = platform::chainUnspentAllUrl(address);
    std::string token;
    for (int page = 0; page < kMaxPages; ++page) {
        const std::string url = token.empty() ? base : base + "?token=" + percent_encode(token);
        std::string body, next;
        std::vector<Coin> part;
        if (!web_get(url, body, error, kPageLimitS) || !parse_coin_list(body, part, &next))
            return fetch_unspent(address, coins_out, error);
        coins_out.insert(coins_out.end(), part.begin(), part.end());
        if (next.empty() || next == token) break;
        token = next;
    }
    return true;
}

// One unpaged coin list from the chain API.
static bool fetch_coin_list(const std::string& url, std::vector<Coin>& coins_out, std::string& error)
{
    coins_out.clear();
    error.clear();
    std::string body;
    if (!web_get(url, body, error, kPageLimitS)) return false;
    if (!parse_coin_list(body, coins_out)) {
        error = kBadUtxoList;
        return false;
    }
    return true;
}

bool fetch_unspent(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    return fetch_coin_list(platform::chainUnspentUrl(address), coins_out, error);
}

bool fetch_unconfirmed(const std::string& address, std::vector<Coin>& coins_out, std::string& error)
{
    return fetch_coin_list(platform::chainUnconfirmedUnspentUrl(address), coins_out, error);
}

// ---- local knowledge ------------------------------------------------------

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

std::string reserve_tag()
{
    std::string tag = bound_wallet_id();
    if (tag.empty()) return "none";
    for (char& c : tag) {
        const bool keep =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!keep) c = '_';
    }
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

bool is_reserved(const Coin& coin)
{
    const std::unordered_set<std::string> reserved = load_reserves();
    return listed_either_order(reserved, coin.txid, coin.vout, true);
}

bool is_inscription(const std::string& address, const Coin& coin)
{
    Lock lock(wallet_mutex());
    return inscription_in(state(), address, coin);
}

bool parse_ordinals_page(std::string_view body, OrdinalsList& list, size_t& count)
{
    count = 0;
    const json doc = platform::parseBounded(body);
    if (!doc.is_array()) return false;
    count = doc.size();
    for (const json& item : doc) {
        if (!item.is_object()) continue;
        std::string txid;
        int64_t vout = -1;
        if (const auto t = item.find("txid"); t != item.end() && t->is_string())
            txid = ascii_lower(t->get<std::string>());
        if (const auto v = item.find("vout"); v != item.end() && v->is_number_unsigned())
            vout = v->get<uint64_t>() <= 0xFFFFFFFFull ? static_cast<int64_t>(v->get<uint64_t>()) : -1;
        const auto outpoint = item.find("outpoint");
        if ((!is_txid(txid) || vout < 0) && outpoint != item.end() && outpoint->is_string()) {
            // "txid_vout" stands in for missing members.
            const std::string& text = outpoint->get_ref<const std::string&>();
            const size_t cut = text.find('_');
            if (cut == 64 && is_txid(text.substr(0, 64))) {
                txid = ascii_lower(text.substr(0, 64));
                uint32_t parsed = 0;
                if (parse_vout(std::string_view(text).substr(65), parsed)) vout = parsed;
            }
        }
        if (!is_txid(txid) || vout < 0) continue;
        const auto origin = item.find("origin");
        bool marked = (origin != item.end() && !origin->is_null()) || (outpoint != item.end() && !outpoint->is_null());
        if (const auto data = item.find("data"); data != item.end() && data->is_object())
            for (const char* kind : {"bsv20", "bsv21", "insc"})
                if (data->contains(kind)) marked = true;
        if (marked) {
            list.inscription_keys.push_back(outpoint_key(txid, static_cast<uint32_t>(vout)));
            continue;
        }
        int64_t sats = 0;
        for (const char* name : {"satoshis", "value"}) {
            const auto v = item.find(name);
            if (v != item.end() && v->is_number_integer()) {
                sats = v->get<int64_t>();
                break;
            }
        }
        if (sats <= 1 || !in_money_range(sats)) continue;
        Coin coin;
        coin.txid = txid;
        coin.vout = static_cast<uint32_t>(vout);
        coin.sats = sats;
        list.plain.push_back(std::move(coin));
    }
    return true;
}

bool fetch_ordinals_list(const std::string& address, OrdinalsList& list, std::string& error)
{
    list = OrdinalsList {};
    error.clear();
    const std::string base = platform::ordinalsUnspentUrl(address);
    for (int page = 0; page < kOrdinalsPages; ++page) {
        const std::string url =
            base + "?limit=" + std::to_string(kOrdinalsPage) + "&offset=" + std::to_string(page * kOrdinalsPage);
        std::string body;
        size_t count = 0;
        if (!web_get(url, body, error, kPageLimitS)) return false;
        if (!parse_ordinals_page(body, list, count)) {
            error = "bad ordinals list";
            return false;
        }
        if (count < kOrdinalsPage) {
            list.complete = true;
            break;
        }
    }
    return true;
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

// ---- the phone coin cache ---------------------------------------------------

bool refresh_phone_coins(bool force, std::string& message)
{
    Lock lock(wallet_mutex());
    message.clear();
    CoinState& s = state();
    merge_spent_file(s);
    prune_cache(s);

    const int64_t now = platform::tickMillis();
    if (!force && s.cache_filled) {
        const auto interval = s.cache.empty() ? kEmptyCacheIntervalMs : kCacheIntervalMs;
        if (now - s.cache_time < interval) return true;
    }

    const WalletState& w = wallet_state();
    std::vector<SpendAddress> addresses;
    if (w.loaded && w.is_hd) {
        for (const SpendAddress& a : receive_addresses(s))
            if (!platform::isHouseOracle(a.address)) addresses.push_back(a);
    } else if (w.loaded && !w.receive_address.empty()) {
        addresses = receive_addresses(s);
    }
    if (addresses.empty()) {
        message = kHoldText;
        return false;
    }

    const std::unordered_set<std::string> reserved = load_reserves();
    std::vector<Coin> fresh;
    std::unordered_set<std::string> seen;
    bool answered = false;
    for (const SpendAddress& a : addresses) {
        std::vector<Coin> coins;
        std::string error;
        if (!fetch_unspent_all(a.address, coins, error)) continue;
        answered = true;
        for (Coin& c : coins) {
            if (c.sats < 2 || spent_in(s, c.txid, c.vout) || inscription_in(s, a.address, c) ||
                listed_either_order(reserved, c.txid, c.vout, true) || seen.count(key_of(c)))
                continue;
            c.hash160 = a.hash160;
            c.pub = a.pub;
            seen.insert(key_of(c));
            fresh.push_back(std::move(c));
        }
    }
    if (answered) {
        std::stable_sort(fresh.begin(), fresh.end(), [](const Coin& a, const Coin& b) { return a.sats < b.sats; });
        s.cache = std::move(fresh);
        s.cache_time = now;
        s.cache_filled = true;
    }
    if (s.cache.empty()) {
        message = kHoldText;
        return false;
    }
    return true;
}

bool pick_coins(const std::vector<Coin>& ascending, int64_t need, const std::function<bool(const Coin&)>& usable,
                const std::function<bool(const Coin&)>& is_change, std::vector<Coin>& selected_out)
{
    selected_out.clear();
    for (const bool allow_change : {false, true}) {
        for (const Coin& c : ascending) {
            if (c.sats < need || !usable(c)) continue;
            if (!allow_change && is_change(c)) continue;
            selected_out.push_back(c);
            return true;
        }
    }
    int64_t sum = 0;
    for (auto it = ascending.rbegin(); it != ascending.rend(); ++it) {
        if (!usable(*it)) continue;
        if (selected_out.size() == kMaxPickCoins) break;
        selected_out.push_back(*it);
        sum += it->sats;
        if (sum >= need) return true;
    }
    selected_out.clear();
    return false;
}

bool is_usable(const Coin& coin)
{
    Lock lock(wallet_mutex());
    return usable_in(state(), coin);
}

bool pick_phone_coins(int64_t need, std::vector<Coin>& selected_out)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    merge_spent_file(s);
    prune_cache(s);
    return pick_coins(
        s.cache, need, [&s](const Coin& c) { return usable_in(s, c); },
        [&s](const Coin& c) { return is_change_coin(s, c); }, selected_out);
}

void prune_phone_coins()
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    merge_spent_file(s);
    prune_cache(s);
}

std::vector<Coin> phone_coins()
{
    Lock lock(wallet_mutex());
    return state().cache;
}

void expire_phone_coins()
{
    Lock lock(wallet_mutex());
    state().cache_filled = false;
}

std::vector<Coin> unconfirmed_phone_coins()
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const std::unordered_set<std::string> reserved = load_reserves();
    std::vector<Coin> coins;
    std::unordered_set<std::string> seen;
    auto take = [&](const std::string& address, Coin c) {
        if (c.sats < 2 || spent_in(s, c.txid, c.vout) || held_in(s, key_of(c)) || inscription_in(s, address, c) ||
            listed_either_order(reserved, c.txid, c.vout, true) || seen.count(key_of(c)))
            return;
        seen.insert(key_of(c));
        coins.push_back(std::move(c));
    };
    for (const ChangeCoin& c : s.change) take(address_from_hash160(c.hash160), coin_of(c));

    const WalletState& w = wallet_state();
    if (w.loaded) {
        for (const SpendAddress& a : receive_addresses(s)) {
            if (w.is_hd && platform::isHouseOracle(a.address)) continue;
            std::vector<Coin> listed;
            std::string error;
            if (!fetch_unconfirmed(a.address, listed, error)) continue;
            for (Coin& c : listed) {
                c.hash160 = a.hash160;
                c.pub = a.pub;
                take(a.address, std::move(c));
            }
        }
    }
    std::stable_sort(coins.begin(), coins.end(), [](const Coin& a, const Coin& b) { return a.sats < b.sats; });
    return coins;
}

// ---- the spend command's coins --------------------------------------------

namespace {

// What one address's scan found; filled by a worker without the wallet mutex.
struct AddressScan {
    SpendAddress where;
    std::vector<Coin> confirmed;
    std::vector<Coin> unconfirmed;
    bool confirmed_ok = false;
    bool unconfirmed_ok = false;
    std::string error;
    std::unordered_set<std::string> spent_by_mempool; // outpoint keys, display order
    OrdinalsList ordinals;
    bool ordinals_ok = false;
};

void scan_history(AddressScan& scan);
void scan_address(AddressScan& scan)
{
    std::string error;
    scan.confirmed_ok = fetch_unspent_all(scan.where.address, scan.confirmed, error);
    if (!scan.confirmed_ok) scan.error = error;
    scan.unconfirmed_ok = fetch_unconfirmed(scan.where.address, scan.unconfirmed, error);
    if (!scan.unconfirmed_ok) scan.error = error;
    if (scan.confirmed_ok || scan.unconfirmed_ok) scan_history(scan);
    std::string ordinals_error;
    scan.ordinals_ok = fetch_ordinals_list(scan.where.address, scan.ordinals, ordinals_error);
}

// The outpoints that unconfirmed transactions of the address spend.
void scan_history(AddressScan& scan)
{
    std::string body, error;
    if (!web_get(platform::chainUnconfirmedHistoryUrl(scan.where.address), body, error, kHistoryLimitS)) return;
    const json doc = platform::parseBounded(body);
    const json* entries = doc.is_array() ? &doc : nullptr;
    if (doc.is_object() && doc.contains("result") && doc["result"].is_array()) entries = &doc["result"];
    if (!entries) return;
    std::vector<std::string> txids;
    for (const json& entry : *entries) {
        if (txids.size() == kMaxHistoryTxids) break;
        if (!entry.is_object()) continue;
        auto t = entry.find("tx_hash");
        if (t == entry.end()) t = entry.find("txid");
        if (t != entry.end() && t->is_string() && t->get_ref<const std::string&>().size() == 64)
            txids.push_back(t->get<std::string>());
    }
    for (const std::string& txid : txids) {
        if (!web_get(platform::chainTxUrl(txid), body, error, kHistoryLimitS)) continue;
        const json tx = platform::parseBounded(body);
        if (!tx.is_object() || !tx.contains("vin") || !tx["vin"].is_array()) continue;
        for (const json& in : tx["vin"]) {
            if (!in.is_object()) continue;
            const auto t = in.find("txid");
            const auto v = in.find("vout");
            if (t == in.end() || !t->is_string() || v == in.end() || !v->is_number_unsigned()) continue;
            if (v->get<uint64_t>() > 0xFFFFFFFFull) continue;
            scan.spent_by_mempool.insert(
                outpoint_key(t->get<std::string>(), static_cast<uint32_t>(v->get<uint64_t>())));
        }
    }
}

void run_scans(std::vector<AddressScan>& scans)
{
    std::atomic<size_t> next {0};
    auto work = [&]() {
        for (size_t i = next++; i < scans.size(); i = next++) scan_address(scans[i]);
    };
    std::vector<std::thread> workers;
    const size_t count = std::min(kScanThreads, scans.size());
    for (size_t i = 1; i < count; ++i) workers.emplace_back(work);
    work();
    for (std::thread& t : workers) t.join();
}

// Files a scan's findings as the address's coin list.
void file_scan(CoinState& s, const AddressScan& scan, int64_t now)
{
    if (scan.ordinals_ok)
        store_inscription_list(scan.where.address, scan.ordinals);
    else
        s.ordinals_failed = now;

    AddressList& list = s.lists[scan.where.address];
    if (!scan.confirmed_ok && !scan.unconfirmed_ok) {
        list.ok = false;
        return;
    }
    std::vector<Coin> merged = scan.confirmed;
    merged.insert(merged.end(), scan.unconfirmed.begin(), scan.unconfirmed.end());
    for (const ChangeCoin& c : s.change)
        if (c.hash160 == scan.where.hash160 && !spent_in(s, c.txid, c.vout)) merged.push_back(coin_of(c));
    std::stable_sort(merged.begin(), merged.end(),
                     [](const Coin& a, const Coin& b) { return a.txid != b.txid ? a.txid < b.txid : a.vout < b.vout; });
    merged.erase(std::unique(merged.begin(), merged.end(),
                             [](const Coin& a, const Coin& b) { return a.txid == b.txid && a.vout == b.vout; }),
                 merged.end());
    list.coins.clear();
    for (Coin& c : merged) {
        if (listed_either_order(scan.spent_by_mempool, c.txid, c.vout, false)) continue;
        c.hash160 = scan.where.hash160;
        c.pub = scan.where.pub;
        list.coins.push_back(std::move(c));
    }
    list.ok = true;
    list.taken = now;
}

// Reads the outputs of the last sent transaction (or the one before) and
// adds those that pay the wallet to the change list.
void change_from_last_sent(CoinState& s)
{
    for (const std::string& txid : {s.last_txid, s.previous_txid}) {
        if (!is_txid(txid)) continue;
        std::string body, error;
        if (!web_get(platform::chainTxDecodedUrl(txid), body, error, kHistoryLimitS)) continue;
        const json tx = platform::parseBounded(body);
        if (!tx.is_object() || !tx.contains("vout") || !tx["vout"].is_array()) continue;
        for (const json& out : tx["vout"]) {
            if (!out.is_object()) continue;
            int64_t sats = -1;
            uint32_t n = 0;
            if (const auto v = out.find("n"); v != out.end() && v->is_number_unsigned())
                n = static_cast<uint32_t>(v->get<uint64_t>());
            // "satoshis" is whole satoshis; "value" is in coins. Either one
            // beyond the money range is no coin (and rounding such a value
            // would overflow).
            if (const auto v = out.find("satoshis"); v != out.end() && v->is_number_integer()) {
                sats = v->get<int64_t>();
            } else if (const auto v = out.find("value"); v != out.end() && v->is_number()) {
                const double value = v->get<double>() * 1e8;
                if (std::isfinite(value) && value >= 0 && value <= static_cast<double>(kMaxMoneySats))
                    sats = static_cast<int64_t>(std::llround(value));
            }
            if (!in_money_range(sats)) sats = -1;
            std::string address;
            if (const auto spk = out.find("scriptPubKey"); spk != out.end() && spk->is_object()) {
                const auto list = spk->find("addresses");
                const auto one = spk->find("address");
                if (list != spk->end() && list->is_array() && !list->empty() && (*list)[0].is_string())
                    address = (*list)[0].get<std::string>();
                else if (one != spk->end() && one->is_string())
                    address = one->get<std::string>();
            }
            Bytes hash;
            if (sats < 1 || !decode_address(address, hash) || !is_own_hash160(hash, {}, {})) continue;
            if (spent_in(s, txid, n)) continue;
            const bool listed = std::any_of(s.change.begin(), s.change.end(),
                                            [&](const ChangeCoin& c) { return c.txid == txid && c.vout == n; });
            if (listed) continue;
            ChangeCoin change;
            change.txid = txid;
            change.vout = n;
            change.sats = sats;
            change.hash160 = hash;
            s.change.push_back(change);
        }
        save_change(s);
        return;
    }
}

} // namespace

bool gather_spend_coins(SpendCoins& coins, std::string& error, bool with_plain_ordinals)
{
    platform::RecursiveUniqueLock lock(wallet_mutex());
    return gather_spend_coins(lock, coins, error, with_plain_ordinals);
}

namespace {

// The addresses a spend scan asks about, and the tag of the wallet they
// belong to; false when no wallet is loaded.
bool begin_spend_scan(std::vector<AddressScan>& scans, std::string& tag, std::string& error) REQUIRES(wallet_mutex())
{
    if (!wallet_state().loaded) {
        error = kHdNotConnected;
        return false;
    }
    tag = state().tag;
    for (const SpendAddress& a : spend_addresses(state())) {
        AddressScan scan;
        scan.where = a;
        scans.push_back(std::move(scan));
    }
    return true;
}

// Files what the scans found and offers the usable coins, if the wallet of
// tag is still the loaded one.
bool finish_spend_scan(std::vector<AddressScan>& scans, const std::string& tag, SpendCoins& coins, std::string& error,
                       bool with_plain_ordinals) REQUIRES(wallet_mutex())
{
    if (!wallet_state().loaded || coin_file_tag() != tag) {
        error = kWalletChanged;
        return false;
    }

    CoinState& s = state();
    merge_spent_file(s);
    const int64_t now = platform::tickMillis();
    bool complete = !scans.empty();
    std::unordered_set<std::string> listed;
    for (const AddressScan& scan : scans) {
        file_scan(s, scan, now);
        if (scan.confirmed_ok || scan.unconfirmed_ok) coins.any_answered = true;
        const bool any = !scan.confirmed.empty() || !scan.unconfirmed.empty();
        if (!any) coins.error = !scan.error.empty() ? scan.error : kNoUtxos;
        complete = complete && scan.confirmed_ok && scan.unconfirmed_ok;
        for (const auto* list : {&scan.confirmed, &scan.unconfirmed})
            for (const Coin& c : *list) listed.insert(key_of(c));
        listed.insert(scan.spent_by_mempool.begin(), scan.spent_by_mempool.end());
    }
    if (complete) prune_spent_set(s, listed);

    const std::unordered_set<std::string> reserved = load_reserves();
    const std::unordered_set<std::string> locked = load_offer_locks(s);
    std::unordered_set<std::string> offered;
    auto offer = [&](const std::string& address, const Coin& c) {
        const std::string key = key_of(c);
        if (offered.count(key) || spent_in(s, c.txid, c.vout) || held_in(s, key) || inscription_in(s, address, c) ||
            listed_either_order(reserved, c.txid, c.vout, true) || listed_either_order(locked, c.txid, c.vout, true))
            return;
        offered.insert(key);
        coins.offered.push_back(c);
    };
    auto offer_all = [&]() {
        for (const ChangeCoin& c : s.change) offer(address_from_hash160(c.hash160), coin_of(c));
        for (const AddressScan& scan : scans)
            for (const Coin& c : s.lists[scan.where.address].coins) offer(scan.where.address, c);
        if (!with_plain_ordinals) return;
        for (const AddressScan& scan : scans) {
            const auto plain = s.ordinals_plain.find(scan.where.address);
            if (plain == s.ordinals_plain.end()) continue;
            for (Coin c : plain->second) {
                c.hash160 = scan.where.hash160;
                c.pub = scan.where.pub;
                offer(scan.where.address, c);
            }
        }
    };
    offer_all();
    if (coins.offered.empty() && !s.last_txid.empty()) {
        change_from_last_sent(s);
        offer_all();
    }
    return true;
}

} // namespace

// The analysis cannot follow a lock handed in by reference; the two steps
// that run under it are checked.
bool gather_spend_coins(platform::RecursiveUniqueLock& lock, SpendCoins& coins, std::string& error,
                        bool with_plain_ordinals) NO_THREAD_SAFETY_ANALYSIS
{
    coins = SpendCoins {};
    error.clear();
    if (!lock.owns_lock()) lock.lock();
    std::vector<AddressScan> scans;
    std::string tag;
    if (!begin_spend_scan(scans, tag, error)) return false;

    // The requests run without the wallet mutex so that the phone keeps
    // sending meanwhile; what they found is filed only if the wallet stayed.
    lock.unlock();
    run_scans(scans);
    lock.lock();
    return finish_spend_scan(scans, tag, coins, error, with_plain_ordinals);
}

std::vector<Coin> address_coins(const std::string& address)
{
    Lock lock(wallet_mutex());
    CoinState& s = state();
    const auto it = s.lists.find(address);
    return it == s.lists.end() ? std::vector<Coin> {} : it->second.coins;
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

namespace {

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

void save_spent(const CoinState& s)
{
    const std::set<std::string> sorted(s.spent.begin(), s.spent.end());
    const json doc = {{"outpoints", sorted}};
    platform::writeFileLater(coin_folder() + "/" + s.tag + "_spent.json", doc.dump(2));
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

void prune_cache(CoinState& s)
{
    std::erase_if(s.cache, [&](const Coin& c) { return c.sats < 2 || spent_in(s, c.txid, c.vout); });
}

bool is_change_coin(const CoinState& s, const Coin& coin)
{
    const std::string txid = ascii_lower(coin.txid);
    return std::any_of(s.change.begin(), s.change.end(),
                       [&](const ChangeCoin& c) { return c.txid == txid && c.vout == coin.vout; });
}

bool usable_in(const CoinState& s, const Coin& coin)
{
    return coin.sats >= 2 && !spent_in(s, coin.txid, coin.vout) && !held_in(s, key_of(coin));
}

// Receive addresses 0..counters[1] of a phrase wallet, or the single key's
// address; derived once per counter and receive address.
const std::vector<SpendAddress>& receive_addresses(CoinState& s) REQUIRES(wallet_mutex())
{
    const WalletState& w = wallet_state();
    const uint32_t counter = w.counters[kReceiveAccount];
    if (!s.receive.empty() && s.receive_counter == counter && s.receive_for == w.receive_address) return s.receive;
    s.receive.clear();
    s.receive_counter = counter;
    s.receive_for = w.receive_address;
    if (!w.loaded) return s.receive;
    if (!w.is_hd) {
        SpendAddress a;
        a.address = w.receive_address;
        a.pub = w.receive_pub;
        if (decode_address(a.address, a.hash160)) s.receive.push_back(a);
        return s.receive;
    }
    for (uint64_t i = 0; i <= std::min(counter, kMaxAddressIndex); ++i) {
        std::string priv;
        SpendAddress a;
        const bool ok = derive(wallet_path(kReceiveAccount, static_cast<uint32_t>(i)), priv, a.pub, a.address);
        wipe_string(priv);
        if (!ok || !decode_address(a.address, a.hash160)) break;
        s.receive.push_back(std::move(a));
    }
    return s.receive;
}

// The spend command's addresses: the receive addresses and, for a phrase
// wallet, the identity address.
std::vector<SpendAddress> spend_addresses(CoinState& s) REQUIRES(wallet_mutex())
{
    std::vector<SpendAddress> addresses = receive_addresses(s);
    const WalletState& w = wallet_state();
    if (w.is_hd && !w.identity_address.empty()) {
        SpendAddress id;
        id.address = w.identity_address;
        id.pub = w.identity_pub;
        if (decode_address(id.address, id.hash160) &&
            std::none_of(addresses.begin(), addresses.end(),
                         [&](const SpendAddress& a) { return a.address == id.address; }))
            addresses.push_back(std::move(id));
    }
    return addresses;
}

// Lower-case, ":" as "_": the form in which reserve entries are compared.
std::string reserve_form(std::string text)
{
    text = ascii_lower(std::move(text));
    std::replace(text.begin(), text.end(), ':', '_');
    return text;
}

void add_reserve_entry(std::unordered_set<std::string>& keys, const json& value)
{
    if (value.is_string()) {
        keys.insert(reserve_form(value.get<std::string>()));
    } else if (value.is_object()) {
        const auto t = value.find("txid");
        const auto v = value.find("vout");
        if (t != value.end() && t->is_string() && v != value.end() && v->is_number_unsigned())
            keys.insert(reserve_form(t->get<std::string>() + "_" + std::to_string(v->get<uint64_t>())));
    }
}

// Every outpoint the sibling applications reserved for this wallet.
std::unordered_set<std::string> load_reserves()
{
    struct ReserveFile {
        const char* folder;
        const char* key;
        std::vector<const char*> members;
    };
    static const ReserveFile kFiles[] = {
        {"/kiosk", "reserves", {"utxo", "origin", "listing"}},
        {"/vitrine", "reserves", {"pic_utxo", "cert_utxo"}},
        {"/bourse", "holds", {"utxo", "listing", "trade", "cover"}},
    };
    std::unordered_set<std::string> keys;
    const std::string root = platform::dataFolder();
    const std::string name = "/reserves_" + reserve_tag() + ".json";
    for (const ReserveFile& file : kFiles) {
        std::string text;
        if (!platform::readFile(root + file.folder + name, text)) continue;
        const json doc = platform::parseBounded(text);
        if (!doc.is_object() || !doc.contains(file.key) || !doc[file.key].is_array()) continue;
        for (const json& entry : doc[file.key]) {
            if (!entry.is_object()) continue;
            for (const char* member : file.members)
                if (entry.contains(member)) add_reserve_entry(keys, entry[member]);
        }
    }
    return keys;
}

// True when keys hold the outpoint with the txid in either byte order;
// reserve_form_keys compares in the "txid_vout" form.
bool listed_either_order(const std::unordered_set<std::string>& keys, std::string_view txid, uint32_t vout,
                         bool reserve_form_keys)
{
    if (keys.empty()) return false;
    for (const std::string& id : {ascii_lower(std::string(txid)), reverse_txid(txid)}) {
        if (id.empty()) continue;
        const std::string key = reserve_form_keys ? id + "_" + std::to_string(vout) : outpoint_key(id, vout);
        if (keys.count(key)) return true;
    }
    return false;
}

// The picture application's offer locks; entries spent since are dropped
// from its file.
std::unordered_set<std::string> load_offer_locks(const CoinState& s)
{
    std::unordered_set<std::string> keys;
    const std::string path = platform::dataFolder() + "/vitrine/offer_locks_" + reserve_tag() + ".json";
    std::string text;
    if (!platform::readFile(path, text)) return keys;
    json doc = platform::parseBounded(text);
    if (!doc.is_object() || !doc.contains("utxos") || !doc["utxos"].is_array()) return keys;
    json kept = json::array();
    bool dropped = false;
    for (const json& entry : doc["utxos"]) {
        if (entry.is_string()) {
            const std::string key = reserve_form(entry.get<std::string>());
            const size_t cut = key.rfind('_');
            uint32_t vout = 0;
            if (cut != std::string::npos && parse_vout(std::string_view(key).substr(cut + 1), vout) &&
                spent_in(s, key.substr(0, cut), vout)) {
                dropped = true;
                continue;
            }
            keys.insert(key);
        }
        kept.push_back(entry);
    }
    if (dropped) {
        doc["utxos"] = kept;
        platform::replaceFileAtomically(path, doc.dump(2, ' ', false, json::error_handler_t::replace));
    }
    return keys;
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

} // namespace

} // namespace cv_tessera_wallet
