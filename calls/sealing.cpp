#include "calls/sealing.h"

#include "wallet/encoding.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_state.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <climits>
#include <cstring>
#include <memory>

namespace kestrel {

namespace {

using cv_tessera_wallet::Bytes;

constexpr char kMagic[4] = {'B', 'I', 'E', '1'};
constexpr size_t kMagicSize = 4;
constexpr size_t kKeySize = 33;
constexpr size_t kMacSize = 32;
constexpr size_t kHeaderSize = kMagicSize + kKeySize;           // 37
constexpr size_t kSmallestSealed = kHeaderSize + 16 + kMacSize; // 85
constexpr int kEphemeralDraws = 8;
const char* const kSealError = "Could not seal to that paymail key.";

// A secret buffer that wipes itself when it goes out of scope.
template <size_t N> struct Secret {
    std::array<uint8_t, N> bytes {};
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    uint8_t* data() { return bytes.data(); }
};

// The per-message keys from H = SHA-512(S): IV, encryption key, MAC key.
struct MessageKeys {
    Secret<64> h;
    const uint8_t* iv() { return h.data(); }
    const uint8_t* encryptionKey() { return h.data() + 16; }
    const uint8_t* macKey() { return h.data() + 32; }
};

bool deriveMessageKeys(const uint8_t key[32], const uint8_t* point, size_t pointSize, MessageKeys& keys);
bool hmacSha256(const uint8_t* key, const uint8_t* data, size_t size, uint8_t out[kMacSize]);
bool aes128cbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t size, Bytes& out);

} // namespace

std::string sealToKey(const std::string& plain, const std::string& publicKeyHex)
{
    const Bytes receiver = cv_tessera_wallet::hex_decode(publicKeyHex);
    if (receiver.size() != 33 && receiver.size() != 65) return {};

    // A fresh ephemeral key per message; a draw that is no valid key (zero,
    // or not below the curve order) is drawn again.
    Secret<32> ephemeral;
    bool drawn = false;
    for (int draw = 0; draw < kEphemeralDraws && !drawn; ++draw) {
        if (RAND_bytes(ephemeral.data(), 32) != 1) return {};
        drawn = cv_tessera_wallet::is_private_key(ephemeral.data());
    }
    if (!drawn) return {};

    uint8_t ephemeralPublic[kKeySize];
    MessageKeys keys;
    if (!cv_tessera_wallet::public_key_of(ephemeral.data(), ephemeralPublic) ||
        !deriveMessageKeys(ephemeral.data(), receiver.data(), receiver.size(), keys))
        return {};

    Bytes ciphertext;
    if (!aes128cbc(true, keys.encryptionKey(), keys.iv(), reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                   ciphertext))
        return {};

    // "BIE1" || R || C, then the MAC over all of it.
    Bytes sealed(kHeaderSize + ciphertext.size() + kMacSize);
    std::memcpy(sealed.data(), kMagic, kMagicSize);
    std::memcpy(sealed.data() + kMagicSize, ephemeralPublic, kKeySize);
    std::memcpy(sealed.data() + kHeaderSize, ciphertext.data(), ciphertext.size());
    const size_t macAt = kHeaderSize + ciphertext.size();
    if (!hmacSha256(keys.macKey(), sealed.data(), macAt, sealed.data() + macAt)) return {};
    return cv_tessera_wallet::hex_encode(sealed);
}

std::optional<std::string> openSealed(const std::string& sealedHex, const std::string& privateKeyHex,
                                      const std::string& senderKeyHex)
{
    const Bytes sealed = cv_tessera_wallet::hex_decode(sealedHex);
    if (sealed.size() < kSmallestSealed || std::memcmp(sealed.data(), kMagic, kMagicSize) != 0) return std::nullopt;

    Secret<32> key;
    {
        Bytes decoded = cv_tessera_wallet::hex_decode(privateKeyHex);
        const bool sized = decoded.size() == 32;
        if (sized) std::memcpy(key.data(), decoded.data(), 32);
        OPENSSL_cleanse(decoded.data(), decoded.size());
        if (!sized) return std::nullopt;
    }

    // The ephemeral key the text carries, unless the caller names the sender.
    const Bytes sender = cv_tessera_wallet::hex_decode(senderKeyHex);
    const bool useSender = sender.size() >= kKeySize;
    const uint8_t* point = useSender ? sender.data() : sealed.data() + kMagicSize;
    const size_t pointSize = useSender ? sender.size() : kKeySize;

    MessageKeys keys;
    if (!deriveMessageKeys(key.data(), point, pointSize, keys)) return std::nullopt;

    const size_t macAt = sealed.size() - kMacSize;
    uint8_t mac[kMacSize];
    if (!hmacSha256(keys.macKey(), sealed.data(), macAt, mac)) return std::nullopt;
    if (CRYPTO_memcmp(mac, sealed.data() + macAt, kMacSize) != 0) return std::nullopt;

    Bytes plain;
    if (!aes128cbc(false, keys.encryptionKey(), keys.iv(), sealed.data() + kHeaderSize, macAt - kHeaderSize, plain))
        return std::nullopt;
    std::string text(plain.begin(), plain.end());
    OPENSSL_cleanse(plain.data(), plain.size());
    return text;
}

bool sealIntoEnvelope(const std::string& plain, const std::string& publicKeyHex, nlohmann::json& envelope,
                      std::string& error)
{
    const bool usable = envelope.is_object() || envelope.is_null();
    const std::string sealed = publicKeyHex.empty() || !usable ? std::string() : sealToKey(plain, publicKeyHex);
    if (sealed.empty()) {
        error = kSealError;
        return false;
    }
    envelope["pmessage1"] = sealed;
    envelope["enc_v"] = kEnvelopeVersion;
    return true;
}

// The sealed text of an envelope of the current version; nullptr otherwise.
static const std::string* sealedText(const nlohmann::json& envelope)
{
    if (!envelope.is_object()) return nullptr;
    const auto version = envelope.find("enc_v");
    const auto sealed = envelope.find("pmessage1");
    if (version == envelope.end() || !version->is_number() || *version != kEnvelopeVersion) return nullptr;
    if (sealed == envelope.end() || !sealed->is_string()) return nullptr;
    return &sealed->get_ref<const std::string&>();
}

std::optional<std::string> openEnvelopeSealWithKey(const nlohmann::json& envelope, const std::string& privateKeyHex)
{
    const std::string* sealed = sealedText(envelope);
    if (sealed == nullptr) return std::nullopt;
    std::optional<std::string> plain = openSealed(*sealed, privateKeyHex);
    if (!plain || plain->empty()) return std::nullopt;
    return plain;
}

std::optional<std::string> openEnvelopeSeal(const nlohmann::json& envelope)
{
    // The identity key is derived only for an envelope that can be opened.
    if (sealedText(envelope) == nullptr) return std::nullopt;
    std::string key;
    std::string error;
    if (!cv_tessera_wallet::identity_private_key(key, error)) return std::nullopt;
    std::optional<std::string> plain = openEnvelopeSealWithKey(envelope, key);
    cv_tessera_wallet::wipe_string(key);
    return plain;
}

namespace {

// S = compressed(key·point); H = SHA-512(S). S and H are wiped here and by keys.
bool deriveMessageKeys(const uint8_t key[32], const uint8_t* point, size_t pointSize, MessageKeys& keys)
{
    Secret<kKeySize> shared;
    if (!cv_tessera_wallet::ecdh_compressed(key, point, pointSize, shared.data())) return false;
    Bytes h = cv_tessera_wallet::sha512(shared.data(), kKeySize);
    const bool ok = h.size() == 64;
    if (ok) std::memcpy(keys.h.data(), h.data(), 64);
    OPENSSL_cleanse(h.data(), h.size());
    return ok;
}

bool hmacSha256(const uint8_t* key, const uint8_t* data, size_t size, uint8_t out[kMacSize])
{
    unsigned int length = 0;
    return HMAC(EVP_sha256(), key, 32, data, size, out, &length) != nullptr && length == kMacSize;
}

struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

// AES-128-CBC with PKCS#7 padding; false (out empty) on a padding error.
bool aes128cbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t size, Bytes& out)
{
    out.clear();
    if (size > static_cast<size_t>(INT_MAX) - 32) return false;
    std::unique_ptr<EVP_CIPHER_CTX, CipherFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1) return false;
    out.assign(size + 16, 0);
    int written = 0;
    int final = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &written, in, static_cast<int>(size)) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &final) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(written + final));
    return true;
}

} // namespace

} // namespace kestrel
