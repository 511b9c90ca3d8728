// Identity signatures and the service's public-key infrastructure: signing a
// message with the wallet's identity key (m/44'/236'/100'/0/0), verifying
// such a signature, and the identity key the service publishes for a handle
// ("/api/bsvalias/id/"), cached for 30 minutes.
//
// An identity signature is standard Base64 of r || s (32 bytes each) over the
// Bitcoin signed-message digest of the message. Nothing here throws; the
// cache has its own mutex, never held during a request.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kestrel {

// Exact message of a failed signing whose two digests both failed.
inline constexpr const char* kIdentitySignFailed = "Tessera identity sign failed";

// How long a looked-up identity key is trusted without asking again.
inline constexpr int kIdentityKeyCacheSeconds = 1800;

struct IdentitySignature {
    bool ok = false;
    std::string publicKey; // 66 lower-case hex digits
    std::string signature; // Base64 of r || s, 88 characters
    std::string error;     // set when !ok
};

// Signs message with the loaded wallet's identity key. Errors: "Tessera HD
// wallet not connected" (no wallet, or its HD keys not ready), "could not
// derive Tessera identity key" (single-key wallet, derivation failed),
// "Tessera identity sign failed". Takes the wallet mutex; the key is wiped.
IdentitySignature identitySign(const std::string& message);

// The signing steps with a given private key (64 hex): the signed-message
// digest, and the single SHA-256 of the message should that fail. A bad key
// gives "Tessera identity sign failed".
IdentitySignature identitySignWithKey(const std::string& privateKeyHex, const std::string& message);

// True when signatureBase64 (64 bytes r || s, or 65 whose first is ignored;
// "=" and whitespace skipped) verifies with the key (33 or 65 bytes of hex,
// optional "0x") over the signed-message digest, the SHA-256 or the double
// SHA-256 of message. Anything malformed answers false.
bool verifySignedMessage(const std::string& message, const std::string& publicKeyHex,
                         const std::string& signatureBase64);

// The compressed lower-case hex of a public key given as hex (optional "0x";
// 33 bytes 02/03, or 65 bytes 04); empty for anything else or a point off the curve.
std::string compressedKeyHex(const std::string& publicKeyHex);

// The identity key (66 hex) the service publishes for handle ("@" or "$"
// first and blanks ignored), from the cache while younger than 30 minutes.
// A paymail of the same name on another domain than the service domain, an
// empty handle, a failed request or a malformed key answer empty (nothing cached).
std::string lookupIdentityKey(const std::string& handle, const std::string& paymail = "");

// True when publicKeyHex, compressed, is lookupIdentityKey(handle, paymail).
bool keyMatchesIdentity(const std::string& handle, const std::string& publicKeyHex, const std::string& paymail = "");

// GET url (15 s, redirects followed, the service host pinned when configured).
// True, value set, only for status 200 with a non-empty body that parses as JSON.
bool fetchServiceJson(const std::string& url, nlohmann::json& value);

// Tests only: forgets every cached identity key.
void clearIdentityKeyCache();

} // namespace kestrel
