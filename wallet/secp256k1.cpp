#include "wallet/secp256k1.h"

#include <cstring>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <secp256k1.h>
#include <secp256k1_ecdh.h>
#include <secp256k1_recovery.h>

namespace cv_tessera_wallet {

namespace {

void ignoreIllegal(const char*, void*) {}

// One context for the process, randomized once against side channels
// (blinding of the generator multiplications) and only read afterwards:
// libsecp256k1 lets any number of threads share a context that is not
// being randomized. Null when the context or its randomness is missing.
const secp256k1_context* context()
{
    static const secp256k1_context* const made = [] {
        secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
        if (ctx == nullptr) return static_cast<secp256k1_context*>(nullptr);
        // A call the library finds illegal answers 0 (false here) instead of
        // aborting the process; inputs are checked before they reach it.
        secp256k1_context_set_illegal_callback(ctx, ignoreIllegal, nullptr);
        unsigned char seed[32];
        const bool ok = RAND_bytes(seed, sizeof(seed)) == 1 && secp256k1_context_randomize(ctx, seed) == 1;
        OPENSSL_cleanse(seed, sizeof(seed));
        if (!ok) {
            secp256k1_context_destroy(ctx);
            return static_cast<secp256k1_context*>(nullptr);
        }
        return ctx;
    }();
    return made;
}

// A point given compressed (0x02, 0x03) or, with uncompressed, as 65 bytes
// beginning 0x04. The library would also take the hybrid forms (0x06,
// 0x07), which nothing we read uses, so the prefix is checked first.
bool parsePoint(const uint8_t* pub, size_t size, secp256k1_pubkey& point, bool uncompressed = false)
{
    if (pub == nullptr) return false;
    const bool compressed_form = size == 33 && (pub[0] == 0x02 || pub[0] == 0x03);
    const bool uncompressed_form = uncompressed && size == 65 && pub[0] == 0x04;
    if (!compressed_form && !uncompressed_form) return false;
    return secp256k1_ec_pubkey_parse(context(), &point, pub, size) == 1;
}

bool compress(const secp256k1_pubkey& point, uint8_t pub[33])
{
    size_t size = 33;
    return secp256k1_ec_pubkey_serialize(context(), pub, &size, &point, SECP256K1_EC_COMPRESSED) == 1 && size == 33;
}

// The ECDH "hash" of sealed payloads: the shared point itself, compressed.
int copyCompressedPoint(unsigned char* output, const unsigned char* x32, const unsigned char* y32, void*)
{
    output[0] = static_cast<unsigned char>(0x02 | (y32[31] & 1));
    std::memcpy(output + 1, x32, 32);
    return 1;
}

// RFC 6979 nonce, low s (the library's signatures are always low-S).
bool sign(const uint8_t key[32], const uint8_t digest[32], secp256k1_ecdsa_signature& sig)
{
    return context() != nullptr &&
           secp256k1_ecdsa_sign(context(), &sig, digest, key, secp256k1_nonce_function_rfc6979, nullptr) == 1;
}

} // namespace

bool is_private_key(const uint8_t key[32])
{
    return context() != nullptr && secp256k1_ec_seckey_verify(context(), key) == 1;
}

bool public_key_of(const uint8_t key[32], uint8_t pub[33])
{
    secp256k1_pubkey point;
    return context() != nullptr && secp256k1_ec_pubkey_create(context(), &point, key) == 1 && compress(point, pub);
}

bool is_public_key(const uint8_t* pub, size_t size)
{
    secp256k1_pubkey point;
    return context() != nullptr && parsePoint(pub, size, point);
}

bool compress_public_key(const uint8_t* pub, size_t size, uint8_t out[33])
{
    secp256k1_pubkey point;
    return context() != nullptr && parsePoint(pub, size, point, true) && compress(point, out);
}

bool ecdh_compressed(const uint8_t key[32], const uint8_t* pub, size_t size, uint8_t shared[33])
{
    secp256k1_pubkey point;
    // The library refuses a zero or out-of-range scalar; a valid one times a
    // point of this prime-order curve is never the point at infinity.
    return context() != nullptr && parsePoint(pub, size, point, true) &&
           secp256k1_ecdh(context(), shared, &point, key, copyCompressedPoint, nullptr) == 1;
}

bool add_private_keys(const uint8_t tweak[32], const uint8_t key[32], uint8_t out[32])
{
    if (context() == nullptr) return false;
    // The sum is made in a local copy so that out is untouched on failure.
    uint8_t sum[32];
    std::memcpy(sum, key, 32);
    const bool ok =
        secp256k1_ec_seckey_verify(context(), sum) == 1 && secp256k1_ec_seckey_tweak_add(context(), sum, tweak) == 1;
    if (ok) std::memcpy(out, sum, 32);
    OPENSSL_cleanse(sum, sizeof(sum));
    return ok;
}

bool ecdsa_sign_rs(const uint8_t key[32], const uint8_t digest[32], uint8_t r[32], uint8_t s[32])
{
    secp256k1_ecdsa_signature sig;
    uint8_t compact[64];
    if (!sign(key, digest, sig) || secp256k1_ecdsa_signature_serialize_compact(context(), compact, &sig) != 1)
        return false;
    std::memcpy(r, compact, 32);
    std::memcpy(s, compact + 32, 32);
    return true;
}

Bytes ecdsa_sign_der(const uint8_t key[32], const uint8_t digest[32])
{
    secp256k1_ecdsa_signature sig;
    uint8_t der[72];
    size_t size = sizeof(der);
    if (!sign(key, digest, sig) || secp256k1_ecdsa_signature_serialize_der(context(), der, &size, &sig) != 1) return {};
    return Bytes(der, der + size);
}

bool ecdsa_verify_der(const uint8_t pub[33], const uint8_t digest[32], const Bytes& der)
{
    secp256k1_pubkey point;
    secp256k1_ecdsa_signature sig;
    if (context() == nullptr || der.empty() || !parsePoint(pub, 33, point) ||
        secp256k1_ecdsa_signature_parse_der(context(), &sig, der.data(), der.size()) != 1)
        return false;
    // Only the strict encoding: the parser also reads some non-minimal and
    // negative integers, which re-encode to other bytes.
    uint8_t canonical[72];
    size_t size = sizeof(canonical);
    if (secp256k1_ecdsa_signature_serialize_der(context(), canonical, &size, &sig) != 1 || size != der.size() ||
        std::memcmp(canonical, der.data(), size) != 0)
        return false;
    // The library verifies low-S only; the curve allows either s.
    secp256k1_ecdsa_signature_normalize(context(), &sig, &sig);
    return secp256k1_ecdsa_verify(context(), &sig, digest, &point) == 1;
}

bool ecdsa_verify_rs(const uint8_t pub[33], const uint8_t (*digests)[32], size_t count, const uint8_t r[32],
                     const uint8_t s[32])
{
    if (context() == nullptr || count == 0) return false;
    secp256k1_pubkey point;
    secp256k1_ecdsa_signature sig;
    uint8_t compact[64];
    std::memcpy(compact, r, 32);
    std::memcpy(compact + 32, s, 32);
    // parse_compact refuses r or s at or above n; zero fails verification.
    if (!parsePoint(pub, 33, point) || secp256k1_ecdsa_signature_parse_compact(context(), &sig, compact) != 1)
        return false;
    secp256k1_ecdsa_signature_normalize(context(), &sig, &sig);
    for (size_t i = 0; i < count; ++i)
        if (secp256k1_ecdsa_verify(context(), &sig, digests[i], &point) == 1) return true;
    return false;
}

bool recover_public_key(const uint8_t digest[32], const uint8_t r[32], const uint8_t s[32], int recovery_id,
                        uint8_t pub[33])
{
    if (context() == nullptr || recovery_id < 0 || recovery_id > 3) return false;
    uint8_t compact[64];
    std::memcpy(compact, r, 32);
    std::memcpy(compact + 32, s, 32);
    secp256k1_ecdsa_recoverable_signature sig;
    secp256k1_pubkey point;
    return secp256k1_ecdsa_recoverable_signature_parse_compact(context(), &sig, compact, recovery_id) == 1 &&
           secp256k1_ecdsa_recover(context(), &point, &sig, digest) == 1 && compress(point, pub);
}

} // namespace cv_tessera_wallet
