// The phone coin cache: the wallet's confirmed coins, smallest first, read
// from the chain lists (wallet/coin_lists.h) and filtered by the coin book
// (wallet/coin_book.h) and the reserves (wallet/coin_reserves.h), with the
// pick rule of the phone's sends. Every function but pick_coins takes the
// wallet mutex.
#pragma once

#include "wallet/transaction.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr const char* kHoldText = "hold: waiting for a confirmed coin";

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

} // namespace cv_tessera_wallet
