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

namespace {

// n - x for a 32-byte x, as hex.
std::string orderMinus(const std::string& hex)
{
    const Bytes order = hex_decode(kOrder), x = hex_decode(hex);
    Bytes out(32);
    int borrow = 0;
    for (int i = 31; i >= 0; --i) {
        const int d = order[i] - x[i] - borrow;
        out[i] = static_cast<uint8_t>(d & 0xff);
        borrow = d < 0 ? 1 : 0;
    }
    return hex_encode(out);
}

// The lower of s and n - s (hex of equal length compares as numbers).
std::string lowS(const std::string& s)
{
    return std::min(s, orderMinus(s));
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Deterministic ECDSA on secp256k1 with SHA-256 (RFC 6979 nonces), the vectors
// published on bitcointalk (topic 285142) and used by most implementations:
// key, message (signed as its SHA-256), the nonce k, r and s as published.
struct Rfc6979Vector {
    const char *key, *message, *k, *r, *s;
};
const Rfc6979Vector kRfc6979[] = {
    {"0000000000000000000000000000000000000000000000000000000000000001", "Satoshi Nakamoto",
     "8f8a276c19f4149656b280621e358cce24f5f52542772691ee69063b74f15d15",
     "934b1ea10a4b3c1757e2b0c017d0b6143ce3c9a7e6a4a49860d7a6ab210ee3d8",
     "2442ce9d2b916064108014783e923ec36b49743e2ffa1c4496f01a512aafd9e5"},
    {"0000000000000000000000000000000000000000000000000000000000000001",
     "All those moments will be lost in time, like tears in rain. Time to die...",
     "38aa22d72376b4dbc472e06c3ba403ee0a394da63fc58d88686c611aba98d6b3",
     "8600dbd41e348fe5c9465ab92d23e3db8b98b873beecd930736488696438cb6b",
     "547fe64427496db33bf66019dacbf0039c04199abb0122918601db38a72cfc21"},
    {"f8b8af8ce3c7cca5e300d33939540c10d45ce001b8f252bfbc57ba0342904181", "Alan Turing",
     "525a82b70e67874398067543fd84c83d30c175fdc45fdeee082fe13b1d7cfdf1",
     "7063ae83e7f62bbb171798131b4a0564b956930092b33b07b395615d9ec7e15c",
     "58dfcc1e00a35e1572f366ffe34ba0fc47db1e7189759b9fb233c5b05ab388ea"},
    {"0000000000000000000000000000000000000000000000000000000000000001",
     "Everything should be made as simple as possible, but not simpler.",
     "ec633bd56a5774a0940cb97e27a9e4e51dc94af737596a0c5cbb3d30332d92a5",
     "33a69cd2065432a30f3d1ce4eb0d59b8ab58c74f27c41a7fdb5696ad4e6108c9",
     "6f807982866f785d3f6418d24163ddae117b7db4d5fdf0071de069fa54342262"},
    {"fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140",
     "Equations are more important to me, because politics is for the present, but an equation is something for "
     "eternity.",
     "9dc74cbfd383980fb4ae5d2680acddac9dac956dca65a28c80ac9c847c2374e4",
     "54c4a33c6423d689378f160a7ff8b61330444abb58fb470f96ea16d99d4a2fed",
     "07082304410efa6b2943111b6a4e0aaa7b7db55a07e9861d1fb3cb1f421044a5"},
    {"fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364140",
     "Not only is the Universe stranger than we think, it is stranger than we can think.",
     "fd27071f01648ebbdd3e1cfbae48facc9fa97edc43bbbc9a7fdc28eae13296f5",
     "ff466a9f1b7b273e2f4c3ffe032eb2e814121ed18ef84665d0f515360dab3dd0",
     "6fc95f5132e5ecfdc8e5e6e616cc77151455d46ed48f5589b7db7771a332b283"},
    {"69ec59eaa1f4f2e36b639716b7c30ca86d9a5375c7b38d8918bd9c0ebc80ba64",
     "Computer science is no more about computers than astronomy is about telescopes.",
     "6bb4a594ad57c1aa22dbe991a9d8501daf4688bf50a4892ef21bd7c711afda97",
     "7186363571d65e084e7f02b0b77c3ec44fb1b257dee26274c38c928986fea45d",
     "0de0b38e06807e46bda1f1e293f4f6323e854c86d58abdd00c46c16441085df6"},
};

} // namespace

TEST(Secp256k1, SignaturesAreTheRfc6979VectorsWithLowS)
{
    for (const Rfc6979Vector& v : kRfc6979) {
        SCOPED_TRACE(v.message);
        const Bytes key = hex_decode(v.key), digest = sha256(text(v.message));
        // The vector's own consistency: r is the x coordinate of k·G.
        uint8_t kG[33];
        ASSERT_TRUE(public_key_of(hex_decode(v.k).data(), kG));
        EXPECT_EQ(hex_encode(kG + 1, 32), v.r);

        uint8_t r[32], s[32];
        ASSERT_TRUE(ecdsa_sign_rs(key.data(), digest.data(), r, s));
        EXPECT_EQ(hex_encode(r, 32), v.r);
        EXPECT_EQ(hex_encode(s, 32), lowS(v.s));

        // The DER form carries the same numbers, and exactly one of the two
        // parities of R recovers the signer.
        const Bytes der = ecdsa_sign_der(key.data(), digest.data());
        EXPECT_NE(hex_encode(der).find(v.r), std::string::npos);
        EXPECT_NE(hex_encode(der).find(lowS(v.s)), std::string::npos);
        uint8_t pub[33], recovered[33];
        ASSERT_TRUE(public_key_of(key.data(), pub));
        EXPECT_TRUE(ecdsa_verify_der(pub, digest.data(), der));
        int matches = 0;
        for (int id = 0; id < 4; ++id)
            if (recover_public_key(digest.data(), r, s, id, recovered) && std::memcmp(recovered, pub, 33) == 0)
                ++matches;
        EXPECT_EQ(matches, 1);
    }
    // One DER form as published, byte for byte.
    const Bytes der = ecdsa_sign_der(hex_decode(kRfc6979[3].key).data(), sha256(text(kRfc6979[3].message)).data());
    EXPECT_EQ(hex_encode(der), "3044022033a69cd2065432a30f3d1ce4eb0d59b8ab58c74f27c41a7fdb5696ad4e6108c9"
                               "02206f807982866f785d3f6418d24163ddae117b7db4d5fdf0071de069fa54342262");
}

TEST(Secp256k1, VerifyDerTakesStrictEncodingsWithEitherS)
{
    const Rfc6979Vector& v = kRfc6979[1]; // r has its top bit set: DER needs a 00 before it
    const Bytes key = hex_decode(v.key), digest = sha256(text(v.message));
    uint8_t pub[33];
    ASSERT_TRUE(public_key_of(key.data(), pub));
    const std::string r = v.r, s = lowS(v.s);
    const struct {
        std::string der;
        bool valid;
    } cases[] = {
        {"3045022100" + r + "0220" + s, true},
        {"3046022100" + r + "022100" + orderMinus(s), true}, // high s
        {"3044022100" + r + "0220" + s, false},              // wrong total length
        {"3044"
         "0220" +
             r + "0220" + s,
         false}, // r read as negative
        {"3046022200"
         "00" +
             r + "0220" + s,
         false},                                                     // r padded beyond the minimum
        {"3045022100" + r + "0220" + s + "00", false},               // trailing byte
        {"3045022100" + r + "0220" + s.substr(0, 62) + "00", false}, // another s (it ends in 21)
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ecdsa_verify_der(pub, digest.data(), hex_decode(c.der)), c.valid) << c.der;
}

TEST(Secp256k1, AddPrivateKeysIsTheChildKeyStep)
{
    const std::string one = std::string(63, '0') + "1", two = std::string(63, '0') + "2";
    const std::string nMinus1 = orderMinus(one), zero(64, '0');
    const struct {
        std::string tweak, key, sum;
    } cases[] = {
        {one, one, two},
        {zero, two, two},                       // a zero tweak is allowed
        {one, nMinus1, "refused"},              // the sum is n, zero mod n
        {two, nMinus1, one},                    // wraps around n
        {kOrder, one, "refused"},               // tweak not below n
        {one, zero, "refused"},                 // invalid key
        {one, kOrder, "refused"},               // invalid key
        {std::string(64, 'f'), one, "refused"}, // tweak far above n
    };
    for (const auto& c : cases) {
        uint8_t out[32];
        std::memset(out, 0xaa, sizeof(out));
        const bool ok = add_private_keys(hex_decode(c.tweak).data(), hex_decode(c.key).data(), out);
        EXPECT_EQ(ok ? hex_encode(out, 32) : std::string("refused"), c.sum) << c.tweak << " + " << c.key;
    }
}
