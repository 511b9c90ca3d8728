// Internal to the wallet's coin files (coin_lists, coin_book, coin_reserves,
// phone_coins, spend_scan): the one process-wide coin state they share and
// the helpers more than one of them calls. Callers elsewhere include
// wallet/coins.h. A CoinState is read and changed only with the wallet mutex
// held (wallet/wallet_state.h). The names sit in a namespace of their own so
// that they stay out of the wallet's public ones.
#pragma once

#include "wallet/coin_book.h"
#include "wallet/transaction.h"
#include "wallet/wallet_state.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/sync.h"

namespace cv_tessera_wallet::coin_state {

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

// ---- coin_lists.cpp -----------------------------------------------------------

std::string key_of(const Coin& coin);
bool parse_vout(std::string_view digits, uint32_t& vout);

// ---- coin_book.cpp ------------------------------------------------------------

CoinState& state() REQUIRES(wallet_mutex());
void merge_spent_file(CoinState& s);
void save_change(const CoinState& s);
bool spent_in(const CoinState& s, std::string_view txid, uint32_t vout);
bool held_in(const CoinState& s, const std::string& key);
void prune_spent_set(CoinState& s, const std::unordered_set<std::string>& listed);
bool inscription_in(const CoinState& s, const std::string& address, const Coin& coin);
Coin coin_of(const ChangeCoin& change);

// ---- coin_reserves.cpp --------------------------------------------------------

std::unordered_set<std::string> load_reserves();
bool listed_either_order(const std::unordered_set<std::string>& keys, std::string_view txid, uint32_t vout,
                         bool reserve_form_keys);
std::unordered_set<std::string> load_offer_locks(const CoinState& s);

// ---- phone_coins.cpp ----------------------------------------------------------

void prune_cache(CoinState& s);
const std::vector<SpendAddress>& receive_addresses(CoinState& s) REQUIRES(wallet_mutex());

} // namespace cv_tessera_wallet::coin_state
