#include "wallet/spend_scan.h"

#include "wallet/coin_state.h"
#include "wallet/coin_lists.h"
#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <unordered_set>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;
using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace coin_state;

namespace {

constexpr int kHistoryLimitS = 10;
constexpr size_t kMaxHistoryTxids = 16;
constexpr size_t kScanThreads = 4;

std::vector<SpendAddress> spend_addresses(CoinState& s) REQUIRES(wallet_mutex());

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

// ---- helpers ------------------------------------------------------------------

namespace {

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

} // namespace

} // namespace cv_tessera_wallet
