// Coins the wallet may spend, and what this program knows about them that the
// chain services do not show yet.
//
// - Chain lists: WhatsOnChain's confirmed coins (paged, with the unpaged list
//   as fallback) and mempool coins of an address.
// - Local knowledge, per wallet (files under the data folder's "/ord_snap",
//   named by coin_file_tag(), replaced atomically by a background writer):
//   outpoints already spent ("<tag>_spent.json"), own change not yet seen
//   confirmed ("<tag>_change.json"); in memory the
//   held set (coins of a submit in flight), the address coin lists and the
//   inscription lists of the ordinals API.
// - Coins the sibling applications reserved (their "/reserves_<tag>.json"
//   files), which are never spent here.
// - The phone coin cache (confirmed coins, smallest first) with its pick
//   rule, and the spend command's gathering of coins per address.
//
// Everything runs under the wallet mutex (wallet/wallet_state.h) except the
// network requests of the spend scan, which run with it released. Coins
// carry txid, vout, sats, hash160 and pub; private keys are looked up only
// when signing (sign_inputs in wallet/building.h). Switching to another
// wallet (another tag) starts the local knowledge afresh from its files.
#pragma once

#include "wallet/transaction.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync.h"

namespace cv_tessera_wallet {

inline constexpr const char* kHoldText = "hold: waiting for a confirmed coin";
inline constexpr const char* kBadUtxoList = "bad utxo list";
inline constexpr const char* kNoUtxos = "no utxos";
inline constexpr const char* kWalletChanged = "wallet changed.";

// ---- chain lists ----------------------------------------------------------

// Reads a WhatsOnChain coin list: an array, or an object whose "result" is
// one. Elements spent in the mempool, without a 64-hex txid ("tx_hash" or
// "txid") or without a positive integer "value" are skipped; vout is
// "tx_pos" or "vout". Txids come out lower-case. next_page_token (optional)
// gets "nextPageToken" or "". False for any other body.
bool parse_coin_list(std::string_view body, std::vector<Coin>& coins, std::string* next_page_token = nullptr);

// Confirmed coins of address from "/address/<a>/unspent/all", following
// nextPageToken for at most 40 pages (20 s each) until it is missing, empty
// or repeated. A failed page falls back to fetch_unspent. False with the
// request's error text or "bad utxo list"; an address without coins is an
// empty success.
bool fetch_unspent_all(const std::string& address, std::vector<Coin>& coins_out, std::string& error);

// The same from the unpaged "/address/<a>/unspent".
bool fetch_unspent(const std::string& address, std::vector<Coin>& coins_out, std::string& error);

// Coins created in the mempool: "/address/<a>/unconfirmed/unspent".
bool fetch_unconfirmed(const std::string& address, std::vector<Coin>& coins_out, std::string& error);

// ---- local knowledge ------------------------------------------------------

// Name of the wallet's coin files: the bound wallet id, or without one the
// identity address (else the receive address); every character other than a
// letter or digit becomes "_"; "wallet" when empty; at most 80 characters.
std::string coin_file_tag();

// Tag of the sibling applications' files: the bound wallet id with every
// character other than a letter, digit, "-" or "_" as "_"; "none" unbound.
std::string reserve_tag();

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

// True when a sibling application's reserve file (kiosk, vitrine, bourse)
// lists the coin's outpoint (compared lower-case, ":" as "_", either txid
// byte order). Files that are missing or do not parse list nothing.
bool is_reserved(const Coin& coin);

// While the ordinals API failed within the last 20 s, or no list younger than
// 20 s exists for address: true exactly for 1-satoshi coins. With a fresh
// list: the coin's outpoint is in it, or the list is incomplete and the coin
// is worth 1 satoshi.
bool is_inscription(const std::string& address, const Coin& coin);

// Inscription outpoints (and plain coins) of an address from the ordinals API
// "/txos/address/<a>/unspent", paged by 100 up to 10 pages. False on a failed
// request or a body that is not an array. No lock is taken: the caller files
// the result with store_inscription_list or notes the failure.
struct OrdinalsList {
    std::vector<std::string> inscription_keys; // outpoint keys of inscriptions and tokens
    std::vector<Coin> plain;                   // plain coins above 1 satoshi
    bool complete = false;                     // every page was read
};
bool fetch_ordinals_list(const std::string& address, OrdinalsList& list, std::string& error);
void store_inscription_list(const std::string& address, const OrdinalsList& list);
void note_inscription_failure();

// Reads an ordinals API page into list (appending); false when body is not
// an array. count gets the number of items on the page.
bool parse_ordinals_page(std::string_view body, OrdinalsList& list, size_t& count);

// ---- the phone coin cache ---------------------------------------------------

// Refreshes the cache of confirmed coins (at most every 8 s while it is
// empty, every 30 s otherwise, unless force). A refresh that is not due
// succeeds at once. False with kHoldText when the cache is then empty.
bool refresh_phone_coins(bool force, std::string& message);

// Picks coins worth need from the cache: the smallest single usable coin
// that covers need, preferring coins that are not own unconfirmed change;
// else up to 4 usable coins from the largest down. False when none do.
bool pick_phone_coins(int64_t need, std::vector<Coin>& selected_out);

// The pick rule on any list sorted by sats ascending: usable(coin) decides
// whether a coin may be used at all, is_change(coin) marks own unconfirmed
// change (tried only in a second pass for the single-coin pick).
bool pick_coins(const std::vector<Coin>& ascending, int64_t need, const std::function<bool(const Coin&)>& usable,
                const std::function<bool(const Coin&)>& is_change, std::vector<Coin>& selected_out);

// A coin the phone may use: at least 2 sats, not spent, not held.
bool is_usable(const Coin& coin);

// Drops coins below 2 sats and spent coins from the cache (after reading the
// spent file again).
void prune_phone_coins();

// A copy of the cache, smallest first.
std::vector<Coin> phone_coins();

// Makes the next refresh due at once (after a split, so the new coins show).
void expire_phone_coins();

// Unconfirmed coins the synchronous phone send may use: own unconfirmed
// change plus the mempool coins of the receive addresses, filtered as the
// cache is, smallest first.
std::vector<Coin> unconfirmed_phone_coins();

// ---- the spend command's coins --------------------------------------------

struct SpendCoins {
    std::vector<Coin> offered; // in offer order
    std::string error;         // the last address's error text, or kNoUtxos
    bool any_answered = false; // at least one address was read
};

// Scans every spending address (the single key's, or the receive addresses
// 0..counters[1] and the identity address) with the wallet mutex released:
// confirmed and mempool coins, the unconfirmed history (coins an unconfirmed
// transaction spends are removed) and the ordinals list. Fills the address
// coin lists and answers the coins that may be offered: own change first,
// then each address's list, without spent, held, inscription, reserved and
// offer-locked coins. When nothing is offered, the outputs of the last sent
// transaction that pay the wallet join the change list. with_plain_ordinals
// also offers the ordinals API's plain coins the chain API did not list.
// After a scan in which every address answered all its lists, entries of the
// spent set that no list shows any more (the chain has the spend confirmed)
// are dropped from it and its file, except those this process added within
// kSpentKeepMs.
// False with kWalletChanged when the wallet changed during the scan, or
// "Tessera HD wallet not connected" when no wallet is loaded.
//
// A caller that spends the coins passes its own hold of the wallet mutex
// (its only one, so that unlocking it frees the mutex): the scan releases
// it, and the coins are filtered and answered with it taken again, so they
// are still neither spent nor held while the caller builds with them. A
// lock that does not own the mutex is locked first; it owns it on return.
bool gather_spend_coins(platform::RecursiveUniqueLock& lock, SpendCoins& coins, std::string& error,
                        bool with_plain_ordinals = false);
// The same for callers that only look: the lock is taken and let go inside.
bool gather_spend_coins(SpendCoins& coins, std::string& error, bool with_plain_ordinals = false);

// The address coin list as last scanned or recorded (empty when unknown).
std::vector<Coin> address_coins(const std::string& address);

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
