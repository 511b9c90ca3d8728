// Keys and addresses of the pay-to-public-key-hash kind, the only address kind
// the system accepts: public key from private key, Base58Check addresses with
// version byte 0x00, the address decoder every payment path uses, and the
// P2PKH locking script.
//
// Keys travel as hex text: private keys 64 digits, public keys 66 digits
// (compressed). Failures answer false or an empty result, never an exception.
#pragma once

#include "wallet/encoding.h"

#include <string>
#include <string_view>

namespace cv_tessera_wallet {

// Base58Check of 0x00 ‖ hash160; empty unless hash160 holds 20 bytes.
std::string address_from_hash160(const Bytes& hash160);

// Decodes a P2PKH address into its 20-byte hash160. False for a length
// outside 26..35, a character outside the Base58 alphabet, a decoded length
// other than 25, a version other than 0x00 or a wrong checksum.
bool decode_address(std::string_view address, Bytes& hash160);

// Compressed public key hex of a 64-hex private key; false (pub_hex empty)
// unless the key decodes to 32 bytes and lies in 1..n-1.
bool pubkey_from_privkey(std::string_view priv_hex, std::string& pub_hex);

// Address of a 66-hex compressed public key; empty unless it decodes to 33
// bytes.
std::string address_from_pubkey(std::string_view pub_hex);

// The 25 bytes OP_DUP OP_HASH160 <hash160> OP_EQUALVERIFY OP_CHECKSIG; empty
// unless hash160 holds 20 bytes.
Bytes p2pkh_locking_script(const Bytes& hash160);

// The hash160 of a script that is exactly that P2PKH form; false, with
// hash160 untouched, for any other script.
bool p2pkh_script_hash160(const Bytes& script, Bytes& hash160);

// Base58 text of bytes (leading zero bytes become "1"), and its inverse; the
// decoder answers false for characters outside the alphabet.
std::string base58_encode(const Bytes& data);
bool base58_decode(std::string_view text, Bytes& data);

} // namespace cv_tessera_wallet
