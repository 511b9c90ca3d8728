// The spend command's coins: every spending address scanned afresh with the
// wallet mutex released, the findings filed as the address coin lists of the
// coin book (wallet/coin_book.h), and the coins that may be offered.
#pragma once

#include "wallet/transaction.h"

#include <string>
#include <vector>

#include "platform/sync.h"

namespace cv_tessera_wallet {

inline constexpr const char* kNoUtxos = "no utxos";
inline constexpr const char* kWalletChanged = "wallet changed.";

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

} // namespace cv_tessera_wallet
