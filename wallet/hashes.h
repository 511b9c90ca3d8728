// Hashes of the wallet core, all from OpenSSL: SHA-256, double SHA-256,
// RIPEMD-160, hash160, SHA-512, HMAC-SHA512 and PBKDF2-HMAC-SHA512.
//
// Each answers the digest bytes; an OpenSSL failure (no such algorithm in the
// loaded providers) gives empty bytes, never an exception.
#pragma once

#include "wallet/encoding.h"

#include <string_view>

namespace cv_tessera_wallet {

// 32 bytes.
Bytes sha256(const uint8_t* data, size_t size);
Bytes sha256(const Bytes& data);

// SHA-256 of SHA-256: 32 bytes (txids, checksums, signature hashes).
Bytes sha256d(const uint8_t* data, size_t size);
Bytes sha256d(const Bytes& data);

// 20 bytes.
Bytes ripemd160(const uint8_t* data, size_t size);

// RIPEMD-160 of SHA-256: 20 bytes (what a P2PKH address carries).
Bytes hash160(const uint8_t* data, size_t size);
Bytes hash160(const Bytes& data);

// 64 bytes.
Bytes sha512(const uint8_t* data, size_t size);

// HMAC-SHA512 of data under key: 64 bytes.
Bytes hmac_sha512(const uint8_t* key, size_t key_size, const uint8_t* data, size_t size);

// PBKDF2 with HMAC-SHA512 (the BIP-39 seed function): `length` bytes.
Bytes pbkdf2_sha512(std::string_view password, std::string_view salt, int iterations, size_t length);

} // namespace cv_tessera_wallet
