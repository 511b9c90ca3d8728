// The wallet file that Tessera writes and this program loads: its location,
// the lock test (CV-LOCK1 envelope or ".seal" companion), loading into the
// wallet state (phrase or single-key form), refreshing the fields Tessera
// changes, saving (atomically, same field order) and the receive address.
//
// Every function here takes the wallet mutex (wallet/wallet_state.h) for its
// whole run. Unreadable, unparsable or locked files count as "no wallet";
// nothing here throws.
#pragma once

#include "wallet/wallet_state.h"

#include <string>
#include <string_view>

namespace cv_tessera_wallet {

inline constexpr const char* kLockMagic = "CV-LOCK1";

// data folder + "/wallets/" + id + "/wallet.json" for the bound id, else
// data folder + "/corvane_tessera.json"; empty (nothing loads or saves) when
// the bound id is not is_safe_wallet_id.
std::string wallet_file_path();

// True when wallet_file_path() + ".seal" exists or the wallet file is a JSON
// object whose "lock" is "CV-LOCK1".
bool is_wallet_locked();
// The same test for any wallet file path.
bool is_wallet_file_locked(const std::string& path);

// Loads the bound wallet's file into the wallet state and derives its keys.
// True at once when a wallet is already loaded; false without a bound id, for
// a locked, unreadable, unparsable or invalid file (state then empty).
bool load_wallet();

// Loads the wallet file at path (any path, bound or not), replacing whatever
// was loaded. False as for load_wallet().
bool load_wallet_from(const std::string& path);

// Re-reads "recv", "ord_avatar" and "paymail" from the file of a loaded
// wallet and re-derives the keys when the counters changed. Does nothing when
// no wallet is loaded or the file is locked or does not parse.
void refresh_wallet();

// Writes the loaded wallet to its file: the whole JSON text in field order,
// through a temporary file that replaces the old one atomically. False when
// no id is bound, no wallet is loaded, the file is locked or writing fails
// (the old file then stays as it was).
bool save_wallet();

// Loads the wallet when needed and answers its receive address; empty when
// no wallet loads.
std::string receive_address();

// What reading a wallet file text gave.
enum class WalletFileStatus {
    ok,
    not_json,     // not JSON, or not an object
    locked,       // a CV-LOCK1 envelope
    invalid,      // neither form, a bad phrase or key, a key member that is not text, a counter
                  // above kMaxAddressIndex
    key_mismatch, // a single-key file whose pub or address is not its private key's
};

// Why the last load_wallet() or load_wallet_from() failed, as one sentence;
// "" after a load that succeeded or before any load.
std::string wallet_load_error();

// Reads a wallet file text into state (seed, master and HD keys not derived;
// a single-key wallet's missing pub and address are computed). On anything
// but ok, state is left empty. Secrets copied out of the text are wiped from
// the parsed document; the caller wipes text.
WalletFileStatus parse_wallet_text(std::string_view text, WalletState& state);

// The wallet file text of state: phrase or single-key form, members in file
// order, two-space indentation.
std::string wallet_json(const WalletState& state);

} // namespace cv_tessera_wallet
