// Coin lists of an address from the chain services, without state:
// WhatsOnChain's confirmed coins (paged, with the unpaged list as fallback)
// and mempool coins, and the ordinals API's inscription lists. Nothing here
// takes the wallet mutex or keeps what it read; the coin book
// (wallet/coin_book.h) and the spend scan (wallet/spend_scan.h) file it.
#pragma once

#include "wallet/transaction.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr const char* kBadUtxoList = "bad utxo list";

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

// ---- ordinals lists -------------------------------------------------------

// Inscription outpoints (and plain coins) of an address from the ordinals API
// "/txos/address/<a>/unspent", paged by 100 up to 10 pages. False on a failed
// request or a body that is not an array. No lock is taken: the caller files
// the result with store_inscription_list or notes the failure
// (wallet/coin_book.h).
struct OrdinalsList {
    std::vector<std::string> inscription_keys; // outpoint keys of inscriptions and tokens
    std::vector<Coin> plain;                   // plain coins above 1 satoshi
    bool complete = false;                     // every page was read
};
bool fetch_ordinals_list(const std::string& address, OrdinalsList& list, std::string& error);

// Reads an ordinals API page into list (appending); false when body is not
// an array. count gets the number of items on the page.
bool parse_ordinals_page(std::string_view body, OrdinalsList& list, size_t& count);

} // namespace cv_tessera_wallet
