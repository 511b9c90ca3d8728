// Arithmetic on the secp256k1 curve for keys and signatures, over OpenSSL's
// EC, BN and EVP interfaces: public keys, private-key addition for child
// derivation, ECDSA signing (low-S) and verification, and public-key recovery
// for compact message signatures.
//
// Keys and digests travel as fixed-size byte arrays: private keys and digests
// 32 bytes big-endian, public keys 33 bytes compressed. Every function answers
// false or empty bytes on bad input or an OpenSSL failure.
#pragma once

#include "wallet/encoding.h"

namespace cv_tessera_wallet {

// True when key is a valid private key: 0 < key < n.
bool is_private_key(const uint8_t key[32]);

// pub = compressed encoding of key·G. False for an invalid key.
bool public_key_of(const uint8_t key[32], uint8_t pub[33]);

// True when pub is a compressed point on the curve.
bool is_public_key(const uint8_t* pub, size_t size);

// out = (tweak + key) mod n. False when tweak >= n, key is invalid or the sum
// is zero (the BIP-32 child-key step).
bool add_private_keys(const uint8_t tweak[32], const uint8_t key[32], uint8_t out[32]);

// ECDSA over a 32-byte digest with a fresh random nonce; s is lowered to
// n - s when above n/2. r and s are 32 bytes each. False on an invalid key.
bool ecdsa_sign_rs(const uint8_t key[32], const uint8_t digest[32], uint8_t r[32], uint8_t s[32]);

// The same signature DER-encoded; empty on failure.
Bytes ecdsa_sign_der(const uint8_t key[32], const uint8_t digest[32]);

// True when der is a valid DER signature of digest by the compressed key pub.
bool ecdsa_verify_der(const uint8_t pub[33], const uint8_t digest[32], const Bytes& der);

// The public key that (r, s) over digest recovers with recovery id 0..3
// (SEC 1, 4.1.6). False when r or s is out of range or nothing recovers.
bool recover_public_key(const uint8_t digest[32], const uint8_t r[32], const uint8_t s[32], int recovery_id,
                        uint8_t pub[33]);

} // namespace cv_tessera_wallet
