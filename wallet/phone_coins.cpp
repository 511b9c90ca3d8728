#include "wallet/phone_coins.h"

#include "wallet/coin_state.h"
#include "wallet/coin_lists.h"
#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"
#include "platform/clock.h"
#include "platform/config.h"

#include <algorithm>
#include <unordered_set>

namespace cv_tessera_wallet {

using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace coin_state;

namespace {

constexpr int64_t kEmptyCacheIntervalMs = 8'000;
constexpr int64_t kCacheIntervalMs = 30'000;
constexpr size_t kMaxPickCoins = 4;

bool is_change_coin(const CoinState& s, const Coin& coin);
bool usable_in(const CoinState& s, const Coin& coin);

} // namespace

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

// ---- helpers ------------------------------------------------------------------

namespace coin_state {

void prune_cache(CoinState& s)
{
    std::erase_if(s.cache, [&](const Coin& c) { return c.sats < 2 || spent_in(s, c.txid, c.vout); });
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

} // namespace coin_state

namespace {

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

} // namespace

} // namespace cv_tessera_wallet
