// The wallet's coin book: what this program knows about the wallet's coins
// that the chain services do not show yet. Per wallet, in files under the
// data folder's "/ord_snap" named by coin_file_tag() and replaced atomically
// by a background writer: outpoints already spent ("<tag>_spent.json"), own
// change not yet seen confirmed ("<tag>_change.json"). In memory: the held
// set (coins of a submit in flight), the address coin lists and the
// inscription lists of the ordinals API. Switching to another wallet
// (another tag) starts the book afresh from its files.
#pragma once

#include "wallet/coin_lists.h"
#include "wallet/transaction.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cv_tessera_wallet {

// Name of the wallet's coin files: the bound wallet id, or without one the
// identity address (else the receive address); every character other than a
// letter or digit becomes "_"; "wallet" when empty; at most 80 characters.
std::string coin_file_tag();

// A coin counts as spent when its outpoint is in the spent set with the txid
// in either byte order, or while a conflict mark (forget_failed_inputs) on it
// lasts. mark_spent adds both orders and saves the file.
void mark_spent(const Coin& coin);
bool is_spent(const Coin& coin);

// How long a conflict mark lasts (30 minutes), and how long the inputs of a
// transaction that a service took but no lookup saw stay held (10 minutes).
inline constexpr int64_t kConflictMarkMs = 30 * 60 * 1000;
inline constexpr int64_t kUnconfirmedHoldMs = 10 * 60 * 1000;
// Entries this process added to the spent set stay at least this long (1
// hour) before a scan may prune them.
inline constexpr int64_t kSpentKeepMs = 60 * 60 * 1000;

// The held set: coins handed to a submit that runs with the wallet mutex
// released. Held coins are never picked.
void hold_coins(const std::vector<Coin>& coins);
void release_coins(const std::vector<Coin>& coins);
bool is_held(const Coin& coin);
size_t held_count();

// Holds coins for ms of the clock (platform/clock.h) beside the held set:
// the inputs of a transaction that may yet be on the network. They are not
// picked or offered until then; is_held answers true meanwhile.
void hold_coins_for(const std::vector<Coin>& coins, int64_t ms);

// An output of an own transaction that pays the wallet, not yet confirmed.
struct ChangeCoin {
    std::string txid;
    uint32_t vout = 0;
    int64_t sats = 0;
    Bytes hash160;
    std::string pub; // the key that controls it (66 hex); empty: the receive key
};

// The unconfirmed change list (spent entries left out).
std::vector<ChangeCoin> unconfirmed_change();

// Records an own transaction: remembers its txid as the last sent, marks the
// inputs spent, prunes spent coins from the address lists and change list,
// and adds every P2PKH output (>= 1 sat) that pays the wallet (is_own_hash160
// with the inputs and extra_hash160) to the change list and to its address's
// coin list. Saves both files.
void record_sent(const std::vector<Coin>& inputs, const std::vector<Output>& outputs, const std::string& txid,
                 const Bytes& extra_hash160);

// The last txid recorded or remembered, and the one before it; empty when none.
std::string last_sent_txid();
void remember_sent_txid(const std::string& txid);

// After a broadcast failed on a conflict or a missing input: marks the
// inputs spent for kConflictMarkMs (in memory, not in the spent file: a
// conflict text does not say which input was spent), prunes them from the
// address lists (their times set 30 s into the past) and from the phone coin
// cache. A mark that expires lets the next scan offer the coin again.
void forget_failed_inputs(const std::vector<Coin>& inputs);

// The spendable balance from local knowledge only (address lists and change
// list, each coin once, spent and inscription coins left out); -1 when the
// receive address was never scanned successfully and the sum is 0.
int64_t local_balance();

// While the ordinals API failed within the last 20 s, or no list younger than
// 20 s exists for address: true exactly for 1-satoshi coins. With a fresh
// list: the coin's outpoint is in it, or the list is incomplete and the coin
// is worth 1 satoshi.
bool is_inscription(const std::string& address, const Coin& coin);

// Files an ordinals list (fetch_ordinals_list in wallet/coin_lists.h) as the
// address's inscription list, fetched now; or notes that the ordinals API
// failed now.
void store_inscription_list(const std::string& address, const OrdinalsList& list);
void note_inscription_failure();

// Forgets the whole local coin state in memory (the files stay, written out
// first); the next use reads the files again. For a wallet that was unloaded.
void reset_coin_state();

// The spent file is read again only when it changed on disk. The spent and
// change files are written by the program's file writer (platform/
// file_writer.h) after every change, so that a send does not wait for the
// disk. Waits until every change made so far is on disk; the start-up module
// stops the writer, which writes what is left.
void flush_coin_files();

} // namespace cv_tessera_wallet
