// Sealed payloads: text encrypted to a receiver's secp256k1 public key with
// the "BIE1" ECIES scheme (ECDH, SHA-512 key expansion, AES-128-CBC,
// HMAC-SHA256), carried as lower-case hex: "BIE1" || ephemeral key R
// (33 bytes) || ciphertext || MAC (32 bytes).
//
// The curve work is the wallet's (wallet/secp256k1.h). Every derived secret
// is wiped before return; the MAC is compared in constant time. Nothing
// throws; failures are an empty result or false.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace kestrel {

// Seals plain to a 33- or 65-byte public key given as hex, with a fresh
// ephemeral key each time; empty for a key that is not a point on the curve
// or when the random source fails.
std::string sealToKey(const std::string& plain, const std::string& publicKeyHex);

// Opens a sealed hex text with a 32-byte private key given as hex. A
// senderKeyHex of at least 33 bytes replaces the ephemeral key carried in the
// text (the phone passes none). Nothing on a short or foreign text, a bad
// key, a MAC mismatch or bad padding.
std::optional<std::string> openSealed(const std::string& sealedHex, const std::string& privateKeyHex,
                                      const std::string& senderKeyHex = "");

// Sets "pmessage1" (the sealed text) and "enc_v" (4) in envelope. On an empty
// key or a failed seal answers false with "Could not seal to that paymail key."
// and leaves envelope untouched.
bool sealIntoEnvelope(const std::string& plain, const std::string& publicKeyHex, nlohmann::json& envelope,
                      std::string& error);

// The "enc_v" of a sealed envelope.
inline constexpr int kEnvelopeVersion = 4;

// Opens an envelope's "pmessage1" (requires "enc_v" 4) with the wallet's
// identity key; nothing unless the plain text is non-empty.
std::optional<std::string> openEnvelopeSeal(const nlohmann::json& envelope);
// The same with a given private key (hex).
std::optional<std::string> openEnvelopeSealWithKey(const nlohmann::json& envelope, const std::string& privateKeyHex);

} // namespace kestrel
