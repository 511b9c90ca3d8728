// The wallet state: one process-wide record of the loaded wallet (phrase or
// single key, cached seed and master key, counters, receive and identity
// keys, paymail, inscriptions, contacts), the recursive wallet mutex that
// guards it, and the wallet id this process is bound to.
//
// Every wallet operation holds wallet_mutex() for its whole run; it is
// recursive so that an operation may call another that takes it again.
// wallet_state() may only be touched while holding it. wallet_view() is a
// copy without secrets for readers that only show or compare.
#pragma once

#include "wallet/encoding.h"

#include <array>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/sync.h"

namespace cv_tessera_wallet {

// An inscription the wallet owns or shows as its avatar. amt, dec and
// created keep the JSON value the wallet file holds (number or text).
struct Inscription {
    std::string origin;
    std::string txid;
    uint32_t vout = 0;
    std::string type;
    std::string address;
    std::string name;
    std::string icon;
    nlohmann::json amt = 0;
    nlohmann::json dec = 0;
    std::string token_id;
    bool hidden = false;
    nlohmann::json created = 0;

    bool empty() const { return origin.empty() && txid.empty(); }
};

struct Contact {
    std::string dest; // recipient_form (wallet/handle_forms.h)
    std::string note;
};

inline constexpr size_t kAccounts = 6; // spending accounts 0' to 5'
// The highest address index a counter may name. Every index up to a counter
// is derived under the wallet mutex, so a counter from a damaged or hostile
// file must not reach billions.
inline constexpr uint32_t kMaxAddressIndex = 100'000;

struct WalletState {
    bool loaded = false;     // a wallet file was read and its keys are known
    bool keys_ready = false; // the HD keys were derived (phrase wallets only)

    std::string phrase; // secret; as stored
    bool is_hd = false;
    bool backup = false;
    std::array<uint8_t, 64> seed {}; // secret; valid when seed_ready
    bool seed_ready = false;
    std::array<uint8_t, 32> master_key {}; // secret; valid when master_ready
    std::array<uint8_t, 32> master_chain {};
    bool master_ready = false;

    std::array<uint32_t, kAccounts> counters {}; // highest index in use per account
    uint32_t shown = 0;                          // receive index in use, <= counters[1]
    uint32_t next_receive_scan = 0;              // next receive index the address discovery asks about

    std::string receive_priv; // secret; 64 hex
    std::string receive_pub;  // 66 hex
    std::string receive_address;
    std::string identity_address;
    std::string identity_pub;
    std::string ord_address; // m/44'/236'/5'/0/counters[5], for the paymail registry

    std::string paymail;
    Inscription ord_avatar;
    std::vector<Inscription> ord_owned;
    std::vector<Contact> contacts;

    // Spending addresses derived so far: address -> (account, index), and per
    // account the next index not yet derived.
    std::unordered_map<std::string, std::pair<uint32_t, uint32_t>> address_cache;
    std::array<uint32_t, kAccounts> address_cache_next {};
};

// The same without the secrets (phrase, seed, master key, private key).
struct WalletView {
    bool loaded = false;
    bool keys_ready = false;
    bool is_hd = false;
    bool backup = false;
    std::array<uint32_t, kAccounts> counters {};
    uint32_t shown = 0;
    std::string receive_pub;
    std::string receive_address;
    std::string identity_address;
    std::string identity_pub;
    std::string ord_address;
    std::string paymail;
    Inscription ord_avatar;
    std::vector<Inscription> ord_owned;
    std::vector<Contact> contacts;
};

// The process-wide recursive wallet mutex.
platform::RecursiveMutex& wallet_mutex();

// The process-wide state; hold wallet_mutex() while using it.
WalletState& wallet_state() REQUIRES(wallet_mutex());

// A copy of the state without secrets, taken under the wallet mutex.
WalletView wallet_view();

// Wipes every secret with OPENSSL_cleanse and resets the state to empty (no
// wallet loaded). Takes the wallet mutex. The binding is kept.
void unload_wallet();

// The wallet id this process is bound to (empty: unbound). The connect layer
// sets it; loading and saving need it. Guarded by a mutex of its own that is
// never held while another lock is taken, so any caller may use these.
void set_bound_wallet_id(const std::string& id);
std::string bound_wallet_id();

// True when id may name a folder of the data folder: 1 to 128 characters of
// [A-Za-z0-9_.-], and neither "." nor "..". Ids come from files any local
// process may write, and are used in paths.
bool is_safe_wallet_id(std::string_view id);

// Wipes every secret of a state record and resets it to empty.
void wipe_wallet_state(WalletState& state);

// Wipes a secret string's bytes and empties it.
void wipe_string(std::string& secret);

} // namespace cv_tessera_wallet
