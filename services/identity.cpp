#include "services/identity.h"

#include "platform/bounded_json.h"
#include "platform/http.h"
#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "wallet/encoding.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"
#include "platform/sync.h"

#include <openssl/crypto.h>

#include <cstring>
#include <map>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using wallet::Bytes;

namespace {

constexpr long kFetchTimeoutMs = 15000;
constexpr size_t kFetchBodyCap = 1 << 20; // an identity document is a few hundred bytes

IdentitySignature signWithKey(const std::string& privateKeyHex, const std::string& knownPublicKey,
                              const std::string& message);
bool signDigest(const uint8_t key[32], const Bytes& digest, uint8_t signature[64]);
Bytes decodeSignature(std::string_view text);
Bytes decodeKey(std::string_view text);

struct CachedKey {
    std::string publicKey;
    int64_t storedTick = 0; // platform::tickMillis()
};

// The identity-key cache: paymail (lower case) -> key. Entries are replaced,
// never removed.
platform::Mutex& cacheMutex()
{
    static platform::Mutex m;
    return m;
}
std::map<std::string, CachedKey>& cache() REQUIRES(cacheMutex())
{
    static std::map<std::string, CachedKey> c;
    return c;
}

} // namespace

IdentitySignature identitySign(const std::string& message)
{
    IdentitySignature result;
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!wallet::load_wallet() || !wallet::wallet_state().keys_ready) {
        result.error = wallet::kHdNotConnected;
        return result;
    }
    std::string priv, error;
    if (!wallet::identity_private_key(priv, error) || priv.size() != 64) {
        wallet::wipe_string(priv);
        result.error = wallet::kNoIdentityKey;
        return result;
    }
    result = signWithKey(priv, wallet::wallet_state().identity_pub, message);
    wallet::wipe_string(priv);
    return result;
}

IdentitySignature identitySignWithKey(const std::string& privateKeyHex, const std::string& message)
{
    return signWithKey(privateKeyHex, "", message);
}

bool verifySignedMessage(const std::string& message, const std::string& publicKeyHex,
                         const std::string& signatureBase64)
{
    const Bytes keyBytes = decodeKey(publicKeyHex);
    uint8_t pub[33];
    if (!wallet::compress_public_key(keyBytes.data(), keyBytes.size(), pub)) return false;
    const Bytes signature = decodeSignature(signatureBase64);
    if (signature.size() != 64 && signature.size() != 65) return false;
    const uint8_t* rs = signature.data() + signature.size() - 64;

    const auto* bytes = reinterpret_cast<const uint8_t*>(message.data());
    const Bytes single = wallet::sha256(bytes, message.size());
    const Bytes candidates[3] = {wallet::signed_message_digest(message), single, wallet::sha256(single)};
    uint8_t digests[3][32];
    for (int i = 0; i < 3; ++i) {
        if (candidates[i].size() != 32) return false;
        std::memcpy(digests[i], candidates[i].data(), 32);
    }
    return wallet::ecdsa_verify_rs(pub, digests, 3, rs, rs + 32);
}

std::string compressedKeyHex(const std::string& publicKeyHex)
{
    const Bytes key = decodeKey(publicKeyHex);
    uint8_t pub[33];
    if (!wallet::compress_public_key(key.data(), key.size(), pub)) return {};
    return wallet::hex_encode(pub, sizeof(pub));
}

std::string lookupIdentityKey(const std::string& handle, const std::string& paymail)
{
    const std::string name = wallet::signer_form(handle);
    if (name.empty()) return {};
    const std::string domain = wallet::ascii_lower(platform::serviceDomain());

    // Only identities on the service domain are looked up.
    const size_t at = paymail.find('@');
    if (at != std::string::npos) {
        const std::string alias = wallet::signer_form(paymail.substr(0, at));
        if (alias == name && wallet::ascii_lower(wallet::trim_blanks(paymail.substr(at + 1))) != domain) return {};
    }

    const std::string key = name + "@" + domain;
    {
        platform::LockGuard lock(cacheMutex());
        const auto found = cache().find(key);
        if (found != cache().end() &&
            platform::tickMillis() - found->second.storedTick < kIdentityKeyCacheSeconds * 1000)
            return found->second.publicKey;
    }

    // The name travels percent-encoded, so that a handle taken from a
    // received record cannot steer the request to another path.
    nlohmann::json document;
    if (!fetchServiceJson(
            platform::serviceDomainUrl(platform::identityDocumentPath(wallet::percent_encode(name) + "@" + domain)),
            document) ||
        !document.is_object())
        return {};
    const std::string text = platform::jsonText(document, "pubkey", "publicKey");
    // Only the plain 33- or 65-byte forms; compressedKeyHex would also take "0x".
    if (text.size() != 66 && text.size() != 130) return {};
    const std::string publicKey = compressedKeyHex(text);
    if (publicKey.empty()) return {};

    platform::LockGuard lock(cacheMutex());
    cache()[key] = {publicKey, platform::tickMillis()};
    return publicKey;
}

bool keyMatchesIdentity(const std::string& handle, const std::string& publicKeyHex, const std::string& paymail)
{
    const std::string given = compressedKeyHex(publicKeyHex);
    if (given.empty()) return false;
    const std::string published = lookupIdentityKey(handle, paymail);
    return !published.empty() && published == given;
}

bool fetchServiceJson(const std::string& url, nlohmann::json& value)
{
    platform::HttpRequest request;
    request.url = url;
    request.totalTimeoutMs = kFetchTimeoutMs;
    request.followRedirects = true;
    request.noSignal = true;
    request.resolve = wallet::service_pin_entries(url);
    request.ipv4Only = !request.resolve.empty();
    request.bodyCap = kFetchBodyCap;
    platform::HttpResponse response;
    if (!platform::httpPerform(request, response) || response.capped || response.status != 200 || response.body.empty())
        return false;
    nlohmann::json parsed = platform::parseBounded(response.body);
    if (parsed.is_discarded()) return false;
    value = std::move(parsed);
    return true;
}

void clearIdentityKeyCache()
{
    platform::LockGuard lock(cacheMutex());
    cache().clear();
}

namespace {

// Signs with a 64-hex private key; knownPublicKey (66 hex, from the
// derivation) spares computing it again.
IdentitySignature signWithKey(const std::string& privateKeyHex, const std::string& knownPublicKey,
                              const std::string& message)
{
    IdentitySignature result;
    Bytes key = wallet::hex_decode(privateKeyHex);
    uint8_t signature[64];
    bool ok = key.size() == 32 && wallet::is_private_key(key.data());
    if (ok) {
        // The signed-message form first; the plain SHA-256 of the message is
        // the fallback every verifier also tries.
        ok = signDigest(key.data(), wallet::signed_message_digest(message), signature) ||
             signDigest(key.data(), wallet::sha256(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
                        signature);
    }
    uint8_t pub[33];
    if (ok && knownPublicKey.size() == 66) {
        result.publicKey = knownPublicKey;
    } else if (ok && wallet::public_key_of(key.data(), pub)) {
        result.publicKey = wallet::hex_encode(pub, sizeof(pub));
    } else {
        ok = false;
    }
    OPENSSL_cleanse(key.data(), key.size());
    if (!ok) {
        result.publicKey.clear();
        result.error = kIdentitySignFailed;
        return result;
    }
    result.ok = true;
    result.signature = wallet::base64_encode(signature, sizeof(signature));
    return result;
}

// r || s of an ECDSA signature of a 32-byte digest (low s).
bool signDigest(const uint8_t key[32], const Bytes& digest, uint8_t signature[64])
{
    return digest.size() == 32 && wallet::ecdsa_sign_rs(key, digest.data(), signature, signature + 32);
}

// Standard Base64 with "=" and whitespace skipped wherever they stand; any
// other character outside the alphabet gives empty bytes.
Bytes decodeSignature(std::string_view text)
{
    Bytes out;
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else if (c == '=' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f')
            continue;
        else
            return {};
        bits = (bits << 6) | static_cast<uint32_t>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
            bits &= (1u << count) - 1;
        }
    }
    return out;
}

// Key hex with an optional "0x" or "0X" first; empty when it does not decode.
Bytes decodeKey(std::string_view text)
{
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    return wallet::hex_decode(text);
}

} // namespace

} // namespace kestrel
