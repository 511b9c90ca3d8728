// Point forms, ECDH and r||s verification on secp256k1, checked against the
// curve's published constants (G and 2G) and against our own signer.
#include "wallet/encoding.h"
#include "wallet/hashes.h"
#include "wallet/secp256k1.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace cv_tessera_wallet;

namespace {

const std::string kG = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798";
const std::string kGUncompressed = "0479be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"
                                   "483ada7726a3c4655da4fbfc0e1108a8fd17b448a68554199c47d08ffb10d4b8";
const std::string k2G = "02c6047f9441ed7d6d3045406e95c07cd85c778e4b8cef3ca7abac09b95c709ee5";
const std::string kOrder = "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141";

Bytes scalar(unsigned value)
{
    Bytes k(32, 0);
    k[31] = static_cast<uint8_t>(value);
    return k;
}

std::string compressed(const std::string& hex)
{
    const Bytes in = hex_decode(hex);
    uint8_t out[33];
    return compress_public_key(in.data(), in.size(), out) ? hex_encode(out, 33) : std::string("refused");
}

} // namespace

TEST(Secp256k1, CompressPublicKeyTakesOnlyTheTwoPlainForms)
{
    // x = 5: 5^3 + 7 is no square mod p, so no point has it; the other x lies above p.
    const std::string offCurve = "02" + std::string(63, '0') + "5";
    const std::string beyondField = "02" + std::string(56, 'f') + "fffffc31";
    const struct {
        std::string in, out;
    } cases[] = {
        {kG, kG},
        {kGUncompressed, kG},
        {"03" + kG.substr(2), "03" + kG.substr(2)},
        {"06" + kGUncompressed.substr(2), "refused"}, // hybrid form
        {"02" + kGUncompressed.substr(2), "refused"}, // 65 bytes with a compressed prefix
        {"04" + kG.substr(2), "refused"},             // 33 bytes with the uncompressed prefix
        {kGUncompressed.substr(0, 128), "refused"},
        {offCurve, "refused"},
        {beyondField, "refused"},
        {"", "refused"},
    };
    for (const auto& c : cases) EXPECT_EQ(compressed(c.in), c.out) << c.in;
}

TEST(Secp256k1, EcdhIsTheCompressedProductInEitherOrder)
{
    uint8_t shared[33];
    const Bytes g = hex_decode(kG), gFull = hex_decode(kGUncompressed), twoG = hex_decode(k2G);
    ASSERT_TRUE(ecdh_compressed(scalar(2).data(), g.data(), g.size(), shared));
    EXPECT_EQ(hex_encode(shared, 33), k2G);
    ASSERT_TRUE(ecdh_compressed(scalar(2).data(), gFull.data(), gFull.size(), shared));
    EXPECT_EQ(hex_encode(shared, 33), k2G);

    // d1·(d2·G) == d2·(d1·G)
    const Bytes d1 = sha256(Bytes {1}), d2 = sha256(Bytes {2});
    uint8_t p1[33], p2[33], s1[33], s2[33];
    ASSERT_TRUE(public_key_of(d1.data(), p1) && public_key_of(d2.data(), p2));
    ASSERT_TRUE(ecdh_compressed(d1.data(), p2, 33, s1) && ecdh_compressed(d2.data(), p1, 33, s2));
    EXPECT_EQ(std::memcmp(s1, s2, 33), 0);

    EXPECT_FALSE(ecdh_compressed(scalar(0).data(), g.data(), g.size(), shared));
    EXPECT_FALSE(ecdh_compressed(hex_decode(kOrder).data(), g.data(), g.size(), shared));
    EXPECT_FALSE(ecdh_compressed(scalar(2).data(), g.data(), 32, shared));
}

TEST(Secp256k1, VerifyRsTakesAnyOfTheDigestsAndHighS)
{
    const Bytes key = sha256(Bytes {7});
    uint8_t pub[33], r[32], s[32];
    ASSERT_TRUE(public_key_of(key.data(), pub));
    const Bytes signedDigest = sha256(Bytes {'a'});
    ASSERT_TRUE(ecdsa_sign_rs(key.data(), signedDigest.data(), r, s));

    uint8_t digests[3][32];
    std::memcpy(digests[0], sha256(Bytes {'x'}).data(), 32);
    std::memcpy(digests[1], signedDigest.data(), 32);
    std::memcpy(digests[2], sha256(Bytes {'y'}).data(), 32);
    EXPECT_TRUE(ecdsa_verify_rs(pub, digests, 3, r, s));
    EXPECT_FALSE(ecdsa_verify_rs(pub, digests, 1, r, s));
    EXPECT_FALSE(ecdsa_verify_rs(pub, digests, 0, r, s));

    // n - s is the same signature with the other s.
    const Bytes order = hex_decode(kOrder);
    uint8_t highS[32];
    int borrow = 0;
    for (int i = 31; i >= 0; --i) {
        const int d = order[i] - s[i] - borrow;
        highS[i] = static_cast<uint8_t>(d & 0xff);
        borrow = d < 0 ? 1 : 0;
    }
    EXPECT_TRUE(ecdsa_verify_rs(pub, digests, 3, r, highS));

    uint8_t zero[32] = {};
    EXPECT_FALSE(ecdsa_verify_rs(pub, digests, 3, zero, s));
    uint8_t otherPub[33];
    ASSERT_TRUE(public_key_of(sha256(Bytes {8}).data(), otherPub));
    EXPECT_FALSE(ecdsa_verify_rs(otherPub, digests, 3, r, s));
}
