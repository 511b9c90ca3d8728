// HD keys and identity keys: BIP-39 phrase validation (12 English words) and
// seed, BIP-32 master and child private keys, and the wallet's own paths
// m/44'/236'/account'/0/index: receive keys (account 1'), the identity key
// (100'), the "BN" key (102'), the greeting address (103') and the ordinals
// address (5'); finding the key of an address; Bitcoin Signed Message
// signatures with a recovery id.
//
// The pure functions work on what they are given. The wallet functions work on
// the loaded wallet (wallet/wallet_state.h) and take the wallet mutex; the
// seed and master key are computed once and cached there. Private keys that
// are not kept are wiped with OPENSSL_cleanse.
#pragma once

#include "wallet/encoding.h"
#include "wallet/transaction.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr uint32_t kHardened = 0x80000000u;
inline constexpr uint32_t kReceiveAccount = 1;
inline constexpr uint32_t kOrdinalsAccount = 5;
inline constexpr uint32_t kIdentityAccount = 100;
inline constexpr uint32_t kBnAccount = 102;
inline constexpr uint32_t kGreetingAccount = 103;

// Exact messages of the identity and BN key requests.
inline constexpr const char* kHdNotConnected = "Tessera HD wallet not connected";
inline constexpr const char* kNoIdentityKey = "could not derive Tessera identity key";
inline constexpr const char* kNoBnKey = "could not derive the BN key";

// ---- phrases and seeds ----------------------------------------------------

// The 2048-word BIP-39 English list, in order.
const std::vector<std::string_view>& bip39_words();

// The 16 bytes of entropy a 12-word phrase encodes. Words are split at spaces
// and tabs (runs ignored) and lower-cased; false for any other word count, a
// word outside the list or a wrong checksum (entropy then empty).
bool phrase_entropy(std::string_view phrase, Bytes& entropy);

// True when phrase is a valid 12-word English BIP-39 phrase.
bool validate_phrase(std::string_view phrase);

// 64-byte seed: PBKDF2-HMAC-SHA512 of the phrase exactly as given, salt
// "mnemonic" (no passphrase), 2048 rounds. The caller wipes it.
Bytes seed_from_phrase(std::string_view phrase);

// ---- BIP-32 private derivation --------------------------------------------

// A private key with its chain code; wipe_key() clears both.
struct ExtendedKey {
    std::array<uint8_t, 32> key {};
    std::array<uint8_t, 32> chain_code {};
};
void wipe_key(ExtendedKey& key);

// Master key of a seed: HMAC-SHA512("Bitcoin seed", seed). False when the
// left half is not a valid private key.
bool master_from_seed(const uint8_t* seed, size_t size, ExtendedKey& master);

// Child at index (hardened from 0x80000000). False, child cleared, when the
// tweak is >= n or the child key is zero.
bool derive_child(const ExtendedKey& parent, uint32_t index, ExtendedKey& child);

// "m/44'/236'/1'/0/0" (apostrophe, h or H mark hardened levels) to indexes;
// false for any other form, an index above 2^31-1 or more than 255 levels.
bool parse_path(std::string_view text, std::vector<uint32_t>& path);

// Follows path from master; on success priv (64 hex), pub (66 hex) and the
// P2PKH address; false leaves all three empty.
bool derive_from_master(const ExtendedKey& master, const std::vector<uint32_t>& path, std::string& priv,
                        std::string& pub, std::string& address);

// The same from a phrase: false when the phrase is not a valid 12-word phrase
// or the path does not parse.
bool derive_from_phrase(std::string_view phrase, std::string_view path, std::string& priv, std::string& pub,
                        std::string& address);

// ---- the wallet's keys ----------------------------------------------------

using KeyPath = std::array<uint32_t, 5>;

// {44', 236', account', 0, index}.
KeyPath wallet_path(uint32_t account, uint32_t index);

// Derives a five-level path from the loaded phrase wallet (seed and master
// cached). False, outputs empty, without a phrase wallet or on failure.
bool derive(const KeyPath& path, std::string& priv, std::string& pub, std::string& address);

// Lowers shown to counters[1], derives the receive key (1'/0/shown), the
// identity (100'/0/0, private key wiped) and the ordinals address
// (5'/0/counters[5]). False when the receive or identity key fails, or for a
// wallet without a phrase (identity then cleared). Sets keys_ready.
bool connect_keys();

// The keys that control an address of this wallet: the single key's own
// address, or any 0'..5' index up to its counter, or the identity path.
// False (outputs empty) for an address that does not decode or is not ours.
bool keys_for_address(std::string_view address, std::string& priv, std::string& pub);

// True when h is extra, or the hash160 of a coin, of the receive address, of
// a receive index 0..counters[1] or of the identity (phrase wallets).
bool is_own_hash160(const Bytes& h, const std::vector<Coin>& coins, const Bytes& extra);

// The identity private key (64 hex). Otherwise false and error is
// kHdNotConnected (no wallet) or kNoIdentityKey (single key, or failure).
bool identity_private_key(std::string& priv, std::string& error);

// The BN key (m/44'/236'/102'/0/0). Otherwise false and error is
// kHdNotConnected (no phrase wallet) or kNoBnKey.
bool bn_key(std::string& pub, std::string& priv, std::string& address, std::string& error);

// Address of m/44'/236'/103'/0/0 of a loaded phrase wallet, else empty.
std::string greeting_address();

// ---- signed messages ------------------------------------------------------

// SHA-256d of 0x18 "Bitcoin Signed Message:\n" ‖ CompactSize(length) ‖
// message, for messages of any length (identity signatures).
Bytes signed_message_digest(std::string_view message);

// The same digest, but empty for a message above 65535 bytes (compact
// message signatures).
Bytes message_digest(std::string_view message);

// Base64 of the 65-byte compact signature (header 31 + recovery id, r, s,
// low-S). Empty for a bad key or a message above 65535 bytes.
std::string sign_message(std::string_view priv_hex, std::string_view message);

// The compressed public key (66 hex) that a compact signature of message
// recovers to; empty for anything malformed (only compressed-key headers
// 31..34 are accepted).
std::string recover_message_pubkey(std::string_view message, std::string_view signature_base64);

} // namespace cv_tessera_wallet
