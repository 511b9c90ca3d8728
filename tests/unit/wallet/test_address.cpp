#include "wallet/address.h"
#include "wallet/hashes.h"

#include <gtest/gtest.h>

#include <string>

using namespace cv_tessera_wallet;

namespace {

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

// Base58Check of version ‖ payload, built here so each rejection is about one fault.
std::string base58check(uint8_t version, const Bytes& payload)
{
    Bytes data {version};
    data.insert(data.end(), payload.begin(), payload.end());
    const Bytes check = sha256d(data);
    data.insert(data.end(), check.begin(), check.begin() + 4);
    return base58_encode(data);
}

} // namespace

TEST(Hashes, KnownDigests)
{
    EXPECT_EQ(hex_encode(sha256(bytesOf(""))), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_encode(sha256d(bytesOf("hello"))),
              "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50");
    const Bytes abc = bytesOf("abc");
    EXPECT_EQ(hex_encode(ripemd160(abc.data(), abc.size())), "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc");
    EXPECT_EQ(hex_encode(sha512(abc.data(), abc.size())).substr(0, 32), "ddaf35a193617abacc417349ae204131");
    // hash160 of the generator point's compressed key.
    EXPECT_EQ(hex_encode(hash160(hex_decode("0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"))),
              "751e76e8199196d454941c45d1b3a323f1433bd6");
}

TEST(Keys, PublicKeyFromPrivateKey)
{
    std::string pub;
    ASSERT_TRUE(pubkey_from_privkey(std::string(63, '0') + "1", pub));
    EXPECT_EQ(pub, "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798");
    ASSERT_TRUE(pubkey_from_privkey("e8f32e723decf4051aefac8e2c93c9c5b214313817cdb01a1494b917c8436b35", pub));
    EXPECT_EQ(pub, "0339a36013301597daef41fbe593a02cc513d0b55527ec2df1050e2e8ff49c85c2");

    const std::string order = "fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141";
    for (const std::string& bad : {std::string(64, '0'), order, std::string(64, 'f'), std::string(62, '1'),
                                   std::string(66, '1'), std::string(63, '1') + "x", std::string()}) {
        EXPECT_FALSE(pubkey_from_privkey(bad, pub)) << bad;
        EXPECT_EQ(pub, "");
    }
}

TEST(Addresses, FromPublicKeyAndHash160)
{
    EXPECT_EQ(address_from_pubkey("0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"),
              "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_EQ(address_from_hash160(Bytes(20, 0)), "1111111111111111111114oLvT2");
    EXPECT_EQ(address_from_pubkey("0279be"), "");
    EXPECT_EQ(address_from_hash160(Bytes(19, 1)), "");
    EXPECT_EQ(hex_encode(p2pkh_locking_script(hex_decode("751e76e8199196d454941c45d1b3a323f1433bd6"))),
              "76a914751e76e8199196d454941c45d1b3a323f1433bd688ac");
    EXPECT_TRUE(p2pkh_locking_script(Bytes(21, 0)).empty());
}

TEST(Addresses, P2pkhScriptsAreRecognisedExactly)
{
    const std::string hash = "751e76e8199196d454941c45d1b3a323f1433bd6";
    const struct {
        std::string script;
        bool p2pkh;
    } cases[] = {
        {"76a914" + hash + "88ac", true},
        {"76a914" + hash + "88ac00", false}, // a byte too many
        {"76a914" + hash.substr(2) + "88ac", false},
        {"a914" + hash + "87", false},     // P2SH
        {"76a914" + hash + "88ad", false}, // CHECKSIGVERIFY
        {"77a914" + hash + "88ac", false},
        {"", false},
    };
    for (const auto& c : cases) {
        Bytes got {0x01};
        EXPECT_EQ(p2pkh_script_hash160(hex_decode(c.script), got), c.p2pkh) << c.script;
        EXPECT_EQ(hex_encode(got), c.p2pkh ? hash : "01") << c.script;
    }
}

TEST(Addresses, DecodeRoundTrips)
{
    for (const char* hex : {"751e76e8199196d454941c45d1b3a323f1433bd6", "0000000000000000000000000000000000000000",
                            "ffffffffffffffffffffffffffffffffffffffff"}) {
        const std::string address = address_from_hash160(hex_decode(hex));
        Bytes hash;
        ASSERT_TRUE(decode_address(address, hash)) << address;
        EXPECT_EQ(hex_encode(hash), hex);
    }
}

TEST(Addresses, DecodeRejectsEveryKindOfFault)
{
    const std::string good = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";
    std::string off_by_one = good;
    off_by_one[10] = off_by_one[10] == 'z' ? 'y' : static_cast<char>(off_by_one[10] + 1);
    const Bytes hash = hex_decode("751e76e8199196d454941c45d1b3a323f1433bd6");
    Bytes longer = hash;
    longer.push_back(0x00);
    const struct {
        std::string text;
        const char* why;
    } cases[] = {
        {"", "empty"},
        {std::string(25, '1'), "25 characters"},
        {good + "1", "36 characters with a valid prefix"},
        {std::string(36, '2'), "36 characters"},
        {good.substr(0, 12) + "0" + good.substr(13), "0 is not Base58"},
        {good.substr(0, 12) + "O" + good.substr(13), "O is not Base58"},
        {good.substr(0, 12) + "I" + good.substr(13), "I is not Base58"},
        {good.substr(0, 12) + "l" + good.substr(13), "l is not Base58"},
        {good.substr(0, 12) + " " + good.substr(13), "blank inside"},
        {" " + good, "leading blank"},
        {off_by_one, "checksum off by one character"},
        {base58check(0x05, hash), "script-hash version"},
        {base58check(0x6f, hash), "test-network version"},
        {base58check(0x00, Bytes(hash.begin(), hash.end() - 1)), "19-byte payload"},
        {base58check(0x00, longer), "21-byte payload"},
        {std::string("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAM\xc3\xa9", 35), "non-ASCII byte"},
    };
    for (const auto& c : cases) {
        Bytes out {1, 2, 3};
        EXPECT_FALSE(decode_address(c.text, out)) << c.why;
        EXPECT_TRUE(out.empty()) << c.why;
    }
}
