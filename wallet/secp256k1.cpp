#include "wallet/secp256k1.h"

#include <bit>
#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

namespace cv_tessera_wallet {

namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct PointFree {
    void operator()(EC_POINT* p) const { EC_POINT_clear_free(p); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct SigFree {
    void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using Ctx = std::unique_ptr<BN_CTX, CtxFree>;
using Point = std::unique_ptr<EC_POINT, PointFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using Sig = std::unique_ptr<ECDSA_SIG, SigFree>;

// The curve and its constants, built once and only read afterwards.
struct Curve {
    EC_GROUP* group = nullptr;
    BIGNUM* order = nullptr;
    BIGNUM* half_order = nullptr;
    BIGNUM* field = nullptr;
};

const Curve& curve()
{
    static const Curve c = [] {
        Curve made;
        made.group = EC_GROUP_new_by_curve_name(NID_secp256k1);
        if (made.group == nullptr) return made;
        made.order = BN_dup(EC_GROUP_get0_order(made.group));
        made.half_order = BN_dup(made.order);
        BN_rshift1(made.half_order, made.half_order);
        made.field = BN_new();
        EC_GROUP_get_curve(made.group, made.field, nullptr, nullptr, nullptr);
        return made;
    }();
    return c;
}

Bn secretNumber(const uint8_t bytes[32])
{
    Bn n(BN_secure_new());
    if (n && BN_bin2bn(bytes, 32, n.get()) == nullptr) n.reset();
    return n;
}

Bn publicNumber(const uint8_t* bytes, size_t size)
{
    return Bn(BN_bin2bn(bytes, static_cast<int>(size), nullptr));
}

bool inScalarRange(const BIGNUM* n)
{
    return !BN_is_zero(n) && !BN_is_negative(n) && BN_cmp(n, curve().order) < 0;
}

bool compress(const EC_POINT* point, uint8_t pub[33], BN_CTX* ctx)
{
    return EC_POINT_point2oct(curve().group, point, POINT_CONVERSION_COMPRESSED, pub, 33, ctx) == 33;
}

// A point given compressed (0x02, 0x03) or, with uncompressed, as 65 bytes
// beginning 0x04; nullptr when it is not on the curve.
Point decompress(const uint8_t* pub, size_t size, BN_CTX* ctx, bool uncompressed = false)
{
    const bool compressed_form = size == 33 && (pub[0] == 0x02 || pub[0] == 0x03);
    const bool uncompressed_form = uncompressed && size == 65 && pub[0] == 0x04;
    if (!compressed_form && !uncompressed_form) return nullptr;
    Point point(EC_POINT_new(curve().group));
    if (!point || EC_POINT_oct2point(curve().group, point.get(), pub, size, ctx) != 1) return nullptr;
    return point;
}

// An EVP key for the default provider: the private key or the public key.
Pkey evpKey(const uint8_t* key, const uint8_t pub[33])
{
    uint8_t native[32];
    OSSL_PARAM params[4];
    int count = 0;
    params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("secp256k1"), 0);
    if (key != nullptr) {
        // OSSL_PARAM carries big numbers in the host's byte order.
        for (int i = 0; i < 32; ++i) native[i] = std::endian::native == std::endian::little ? key[31 - i] : key[i];
        params[count++] = OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native, sizeof(native));
    }
    if (pub != nullptr)
        params[count++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t*>(pub), 33);
    params[count] = OSSL_PARAM_construct_end();

    EVP_PKEY* made = nullptr;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    const bool ok = ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
                    EVP_PKEY_fromdata(ctx.get(), &made, key ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) == 1;
    OPENSSL_cleanse(native, sizeof(native));
    if (!ok) {
        EVP_PKEY_free(made);
        return nullptr;
    }
    return Pkey(made);
}

// Raw ECDSA signature with s already lowered.
Sig signLowS(const uint8_t key[32], const uint8_t digest[32])
{
    // The private key alone: signing needs no public key, and computing
    // one would cost a second scalar multiplication.
    if (!is_private_key(key)) return nullptr;
    Pkey pkey = evpKey(key, nullptr);
    if (!pkey) return nullptr;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    uint8_t der[80];
    size_t der_size = sizeof(der);
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_sign(ctx.get(), der, &der_size, digest, 32) != 1)
        return nullptr;
    const uint8_t* cursor = der;
    Sig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_size)));
    if (!sig) return nullptr;
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    if (BN_cmp(s, curve().half_order) > 0) {
        BIGNUM* low = BN_new();
        BIGNUM* same_r = BN_dup(r);
        if (low == nullptr || same_r == nullptr || BN_sub(low, curve().order, s) != 1 ||
            ECDSA_SIG_set0(sig.get(), same_r, low) != 1) {
            BN_free(low);
            BN_free(same_r);
            return nullptr;
        }
    }
    return sig;
}

} // namespace

bool is_private_key(const uint8_t key[32])
{
    if (curve().group == nullptr) return false;
    Bn n = secretNumber(key);
    return n && inScalarRange(n.get());
}

bool public_key_of(const uint8_t key[32], uint8_t pub[33])
{
    if (curve().group == nullptr) return false;
    Ctx ctx(BN_CTX_secure_new());
    Bn n = secretNumber(key);
    if (!ctx || !n || !inScalarRange(n.get())) return false;
    Point point(EC_POINT_new(curve().group));
    return point && EC_POINT_mul(curve().group, point.get(), n.get(), nullptr, nullptr, ctx.get()) == 1 &&
           compress(point.get(), pub, ctx.get());
}

bool is_public_key(const uint8_t* pub, size_t size)
{
    if (curve().group == nullptr) return false;
    Ctx ctx(BN_CTX_new());
    return ctx && decompress(pub, size, ctx.get()) != nullptr;
}

bool compress_public_key(const uint8_t* pub, size_t size, uint8_t out[33])
{
    if (curve().group == nullptr || pub == nullptr) return false;
    Ctx ctx(BN_CTX_new());
    if (!ctx) return false;
    Point point = decompress(pub, size, ctx.get(), true);
    return point && compress(point.get(), out, ctx.get());
}

bool ecdh_compressed(const uint8_t key[32], const uint8_t* pub, size_t size, uint8_t shared[33])
{
    if (curve().group == nullptr || pub == nullptr) return false;
    Ctx ctx(BN_CTX_secure_new());
    Bn n = secretNumber(key);
    if (!ctx || !n || !inScalarRange(n.get())) return false;
    Point point = decompress(pub, size, ctx.get(), true);
    Point product(EC_POINT_new(curve().group));
    // The product's coordinates are the secret; the point is freed with a clear.
    return point && product &&
           EC_POINT_mul(curve().group, product.get(), nullptr, point.get(), n.get(), ctx.get()) == 1 &&
           EC_POINT_is_at_infinity(curve().group, product.get()) == 0 && compress(product.get(), shared, ctx.get());
}

bool add_private_keys(const uint8_t tweak[32], const uint8_t key[32], uint8_t out[32])
{
    if (curve().group == nullptr) return false;
    Ctx ctx(BN_CTX_secure_new());
    Bn t = secretNumber(tweak);
    Bn k = secretNumber(key);
    Bn sum(BN_secure_new());
    if (!ctx || !t || !k || !sum) return false;
    if (BN_cmp(t.get(), curve().order) >= 0 || !inScalarRange(k.get())) return false;
    if (BN_mod_add(sum.get(), t.get(), k.get(), curve().order, ctx.get()) != 1 || BN_is_zero(sum.get())) return false;
    return BN_bn2binpad(sum.get(), out, 32) == 32;
}

bool ecdsa_sign_rs(const uint8_t key[32], const uint8_t digest[32], uint8_t r[32], uint8_t s[32])
{
    Sig sig = signLowS(key, digest);
    if (!sig) return false;
    return BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), r, 32) == 32 &&
           BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), s, 32) == 32;
}

Bytes ecdsa_sign_der(const uint8_t key[32], const uint8_t digest[32])
{
    Sig sig = signLowS(key, digest);
    if (!sig) return {};
    const int size = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (size <= 0) return {};
    Bytes der(static_cast<size_t>(size));
    uint8_t* cursor = der.data();
    if (i2d_ECDSA_SIG(sig.get(), &cursor) != size) return {};
    return der;
}

bool ecdsa_verify_der(const uint8_t pub[33], const uint8_t digest[32], const Bytes& der)
{
    if (curve().group == nullptr || !is_public_key(pub, 33)) return false;
    Pkey pkey = evpKey(nullptr, pub);
    if (!pkey) return false;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest, 32) == 1;
}

bool ecdsa_verify_rs(const uint8_t pub[33], const uint8_t (*digests)[32], size_t count, const uint8_t r[32],
                     const uint8_t s[32])
{
    if (curve().group == nullptr || count == 0) return false;
    Sig sig(ECDSA_SIG_new());
    BIGNUM* r_number = BN_bin2bn(r, 32, nullptr);
    BIGNUM* s_number = BN_bin2bn(s, 32, nullptr);
    if (!sig || r_number == nullptr || s_number == nullptr || ECDSA_SIG_set0(sig.get(), r_number, s_number) != 1) {
        BN_free(r_number);
        BN_free(s_number);
        return false;
    }
    uint8_t der[80];
    uint8_t* cursor = der;
    const int der_size = i2d_ECDSA_SIG(sig.get(), &cursor);
    if (der_size <= 0) return false;
    Pkey pkey = evpKey(nullptr, pub); // fails for a point off the curve
    if (!pkey) return false;
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
    for (size_t i = 0; i < count; ++i)
        if (EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(der_size), digests[i], 32) == 1) return true;
    return false;
}

bool recover_public_key(const uint8_t digest[32], const uint8_t r_bytes[32], const uint8_t s_bytes[32], int recovery_id,
                        uint8_t pub[33])
{
    const Curve& c = curve();
    if (c.group == nullptr || recovery_id < 0 || recovery_id > 3) return false;
    Ctx ctx(BN_CTX_new());
    Bn r = publicNumber(r_bytes, 32);
    Bn s = publicNumber(s_bytes, 32);
    Bn e = publicNumber(digest, 32);
    Bn x(BN_new());
    Bn r_inverse(BN_new());
    Bn u1(BN_new());
    Bn u2(BN_new());
    if (!ctx || !r || !s || !e || !x || !r_inverse || !u1 || !u2) return false;
    if (!inScalarRange(r.get()) || !inScalarRange(s.get())) return false;

    // R has x = r + (id / 2)·n and the y parity id % 2.
    if (BN_copy(x.get(), r.get()) == nullptr) return false;
    if ((recovery_id & 2) != 0 && BN_add(x.get(), x.get(), c.order) != 1) return false;
    if (BN_cmp(x.get(), c.field) >= 0) return false;
    Point big_r(EC_POINT_new(c.group));
    if (!big_r || EC_POINT_set_compressed_coordinates(c.group, big_r.get(), x.get(), recovery_id & 1, ctx.get()) != 1)
        return false;

    // Q = r^-1 · (s·R - e·G) = (-e·r^-1)·G + (s·r^-1)·R
    if (BN_mod_inverse(r_inverse.get(), r.get(), c.order, ctx.get()) == nullptr) return false;
    if (BN_nnmod(e.get(), e.get(), c.order, ctx.get()) != 1) return false;
    if (BN_mod_sub(u1.get(), c.order, e.get(), c.order, ctx.get()) != 1) return false;
    if (BN_mod_mul(u1.get(), u1.get(), r_inverse.get(), c.order, ctx.get()) != 1) return false;
    if (BN_mod_mul(u2.get(), s.get(), r_inverse.get(), c.order, ctx.get()) != 1) return false;
    Point q(EC_POINT_new(c.group));
    if (!q || EC_POINT_mul(c.group, q.get(), u1.get(), big_r.get(), u2.get(), ctx.get()) != 1) return false;
    if (EC_POINT_is_at_infinity(c.group, q.get()) == 1) return false;
    return compress(q.get(), pub, ctx.get());
}

} // namespace cv_tessera_wallet
