// Arithmetic on the secp256k1 curve for keys and signatures, over
// libsecp256k1 (constant-time on secrets, one shared randomized context):
// public keys, private-key addition for child derivation, deterministic
// ECDSA signing (RFC 6979, low-S) and verification, public-key recovery for
// compact message signatures, and the ECDH point of sealed payloads.
//
// Keys and digests travel as fixed-size byte arrays: private keys and digests
// 32 bytes big-endian, public keys 33 bytes compressed. Every function answers
// false or empty bytes on bad input or a library failure.
#pragma once

#include "wallet/encoding.h"

namespace cv_tessera_wallet {

// True when key is a valid private key: 0 < key < n.
bool is_private_key(const uint8_t key[32]);

// pub = compressed encoding of key·G. False for an invalid key.
bool public_key_of(const uint8_t key[32], uint8_t pub[33]);

// True when pub is a compressed point on the curve.
bool is_public_key(const uint8_t* pub, size_t size);

// out = the compressed form of a point given compressed (33 bytes, 0x02 or
// 0x03 first) or uncompressed (65 bytes, 0x04 first). False for any other
// size or prefix, or a point that is not on the curve.
bool compress_public_key(const uint8_t* pub, size_t size, uint8_t out[33]);

// shared = compressed encoding of key·P, P given as compress_public_key
// takes it (the ECDH secret of sealed payloads; the caller wipes it). False
// for an invalid key or point.
bool ecdh_compressed(const uint8_t key[32], const uint8_t* pub, size_t size, uint8_t shared[33]);

// out = (tweak + key) mod n. False when tweak >= n, key is invalid or the sum
// is zero (the BIP-32 child-key step).
bool add_private_keys(const uint8_t tweak[32], const uint8_t key[32], uint8_t out[32]);

// ECDSA over a 32-byte digest with the RFC 6979 nonce (HMAC-SHA256 of the
// key and digest), so the same key and digest always give the same
// signature; s is the lower of s and n - s. r and s are 32 bytes each.
// False on an invalid key.
bool ecdsa_sign_rs(const uint8_t key[32], const uint8_t digest[32], uint8_t r[32], uint8_t s[32]);

// The same signature DER-encoded; empty on failure.
Bytes ecdsa_sign_der(const uint8_t key[32], const uint8_t digest[32]);

// True when der is a valid strict-DER signature of digest by the compressed
// key pub (high s is accepted, as the curve allows it).
bool ecdsa_verify_der(const uint8_t pub[33], const uint8_t digest[32], const Bytes& der);

// True when (r, s), 32 bytes each, is a valid signature of any of the
// `count` digests by the compressed key pub (high s is accepted, as the
// curve allows it). The key is read once for all of them.
bool ecdsa_verify_rs(const uint8_t pub[33], const uint8_t (*digests)[32], size_t count, const uint8_t r[32],
                     const uint8_t s[32]);

// The public key that (r, s) over digest recovers with recovery id 0..3
// (SEC 1, 4.1.6). False when r or s is out of range or nothing recovers.
bool recover_public_key(const uint8_t digest[32], const uint8_t r[32], const uint8_t s[32], int recovery_id,
                        uint8_t pub[33]);

} // namespace cv_tessera_wallet
