#include "calls/sealing.h"

#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace kestrel {

namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kMagic[4] = {'B', 'I', 'E', '1'};
constexpr size_t kMagicSize = 4;
constexpr size_t kKeySize = 33;
constexpr size_t kMacSize = 32;
constexpr size_t kHeaderSize = kMagicSize + kKeySize;           // 37
constexpr size_t kSmallestSealed = kHeaderSize + 16 + kMacSize; // 85

struct GroupFree {
    void operator()(EC_GROUP* g) const { EC_GROUP_free(g); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_free(p); }
};
struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CipherFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Group = std::unique_ptr<EC_GROUP, GroupFree>;
using Point = std::unique_ptr<EC_POINT, PointFree>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

// Wipes a secret buffer when it goes out of scope.
template <size_t N> struct Secret {
    std::array<uint8_t, N> bytes {};
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    uint8_t* data() { return bytes.data(); }
};

Group secp256k1()
{
    return Group(EC_GROUP_new_by_curve_name(NID_secp256k1));
}

// 33-byte compressed encoding of scalar·point (point null: the generator).
bool multiplyCompressed(const EC_GROUP* group, const BIGNUM* scalar, const EC_POINT* point, uint8_t out[kKeySize])
{
    Point result(EC_POINT_new(group));
    if (!result) return false;
    const int ok = point ? EC_POINT_mul(group, result.get(), nullptr, point, scalar, nullptr)
                         : EC_POINT_mul(group, result.get(), scalar, nullptr, nullptr, nullptr);
    if (ok != 1 || EC_POINT_is_at_infinity(group, result.get())) return false;
    return EC_POINT_point2oct(group, result.get(), POINT_CONVERSION_COMPRESSED, out, kKeySize, nullptr) == kKeySize;
}

Point parsePoint(const EC_GROUP* group, const uint8_t* data, size_t size)
{
    if (size != 33 && size != 65) return nullptr;
    Point point(EC_POINT_new(group));
    if (!point || EC_POINT_oct2point(group, point.get(), data, size, nullptr) != 1) return nullptr;
    return point;
}

// H = SHA-512(S): IV, encryption key and MAC key, in that order.
bool expandKeys(const uint8_t shared[kKeySize], Secret<64>& h)
{
    unsigned int length = 0;
    return EVP_Digest(shared, kKeySize, h.data(), &length, EVP_sha512(), nullptr) == 1 && length == 64;
}

bool hmacSha256(const uint8_t* key, const uint8_t* data, size_t size, uint8_t out[kMacSize])
{
    unsigned int length = 0;
    return HMAC(EVP_sha256(), key, 32, data, size, out, &length) != nullptr && length == kMacSize;
}

bool aes128cbc(bool encrypt, const uint8_t* key, const uint8_t* iv, const uint8_t* in, size_t size, Bytes& out)
{
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

std::string sealToKey(const std::string& plain, const std::string& publicKeyHex)
{
    const Bytes receiver = cv_tessera_wallet::hex_decode(publicKeyHex);
    if (receiver.empty()) return {};
    const Group group = secp256k1();
    if (!group) return {};
    const Point receiverPoint = parsePoint(group.get(), receiver.data(), receiver.size());
    if (!receiverPoint) return {};

    Secret<32> ephemeral;
    bool drawn = false;
    for (int draw = 0; draw < 8 && !drawn; ++draw) {
        if (RAND_bytes(ephemeral.data(), 32) != 1) return {};
        for (const uint8_t b : ephemeral.bytes) drawn = drawn || b != 0;
    }
    if (!drawn) return {};
    const Bn k(BN_bin2bn(ephemeral.data(), 32, BN_secure_new()));
    if (!k) return {};

    uint8_t ephemeralPublic[kKeySize];
    Secret<kKeySize> shared;
    Secret<64> h;
    if (!multiplyCompressed(group.get(), k.get(), nullptr, ephemeralPublic) ||
        !multiplyCompressed(group.get(), k.get(), receiverPoint.get(), shared.data()) || !expandKeys(shared.data(), h))
        return {};

    Bytes ciphertext;
    if (!aes128cbc(true, h.data() + 16, h.data(), reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                   ciphertext))
        return {};

    // M = "BIE1" || R || C, then its MAC.
    Bytes message(kHeaderSize + ciphertext.size() + kMacSize);
    std::memcpy(message.data(), kMagic, kMagicSize);
    std::memcpy(message.data() + kMagicSize, ephemeralPublic, kKeySize);
    std::memcpy(message.data() + kHeaderSize, ciphertext.data(), ciphertext.size());
    const size_t macAt = kHeaderSize + ciphertext.size();
    if (!hmacSha256(h.data() + 32, message.data(), macAt, message.data() + macAt)) return {};
    return cv_tessera_wallet::hex_encode(message);
}

std::optional<std::string> openSealed(const std::string& sealedHex, const std::string& privateKeyHex,
                                      const std::string& senderKeyHex)
{
    const Bytes sealed = cv_tessera_wallet::hex_decode(sealedHex);
    if (sealed.size() < kSmallestSealed || std::memcmp(sealed.data(), kMagic, kMagicSize) != 0) return std::nullopt;

    Bytes privateKey = cv_tessera_wallet::hex_decode(privateKeyHex);
    const bool keyOk = privateKey.size() == 32;
    const Bn d(keyOk ? BN_bin2bn(privateKey.data(), 32, BN_secure_new()) : nullptr);
    OPENSSL_cleanse(privateKey.data(), privateKey.size());
    if (!d) return std::nullopt;

    const Group group = secp256k1();
    if (!group) return std::nullopt;
    const Bytes sender = cv_tessera_wallet::hex_decode(senderKeyHex);
    const Point ephemeral = sender.size() >= kKeySize ? parsePoint(group.get(), sender.data(), sender.size())
                                                      : parsePoint(group.get(), sealed.data() + kMagicSize, kKeySize);
    if (!ephemeral) return std::nullopt;

    const size_t macAt = sealed.size() - kMacSize;
    Secret<kKeySize> shared;
    Secret<64> h;
    if (!multiplyCompressed(group.get(), d.get(), ephemeral.get(), shared.data()) || !expandKeys(shared.data(), h))
        return std::nullopt;

    uint8_t mac[kMacSize];
    if (!hmacSha256(h.data() + 32, sealed.data(), macAt, mac)) return std::nullopt;
    if (CRYPTO_memcmp(mac, sealed.data() + macAt, kMacSize) != 0) return std::nullopt;

    Bytes plain;
    if (!aes128cbc(false, h.data() + 16, h.data(), sealed.data() + kHeaderSize, macAt - kHeaderSize, plain))
        return std::nullopt;
    std::string text(plain.begin(), plain.end());
    OPENSSL_cleanse(plain.data(), plain.size());
    return text;
}

bool sealIntoEnvelope(const std::string& plain, const std::string& publicKeyHex, nlohmann::json& envelope,
                      std::string& error)
{
    const std::string sealed = publicKeyHex.empty() ? std::string() : sealToKey(plain, publicKeyHex);
    if (sealed.empty()) {
        error = "Could not seal to that paymail key.";
        return false;
    }
    envelope["pmessage1"] = sealed;
    envelope["enc_v"] = 4;
    return true;
}

std::optional<std::string> openEnvelopeSeal(const nlohmann::json& envelope)
{
    if (!envelope.is_object()) return std::nullopt;
    const auto version = envelope.find("enc_v");
    const auto sealed = envelope.find("pmessage1");
    if (version == envelope.end() || !version->is_number() || *version != 4) return std::nullopt;
    if (sealed == envelope.end() || !sealed->is_string()) return std::nullopt;

    std::string key;
    std::string error;
    {
        std::lock_guard<std::recursive_mutex> lock(cv_tessera_wallet::wallet_mutex());
        if (!cv_tessera_wallet::identity_private_key(key, error)) return std::nullopt;
    }
    std::optional<std::string> plain = openSealed(sealed->get<std::string>(), key);
    cv_tessera_wallet::wipe_string(key);
    if (!plain || plain->empty()) return std::nullopt;
    return plain;
}

} // namespace kestrel
