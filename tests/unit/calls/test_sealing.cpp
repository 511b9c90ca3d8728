#include "calls/sealing.h"

#include "test_keys.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";

} // namespace

TEST(Sealing, RoundTripsWithAFreshEphemeralKeyEachTime)
{
    const std::string pub = publicKeyOf(kPriv);
    for (const std::string& plain : {std::string(), std::string("x"), std::string(16, 'a'), std::string(1000, '\0')}) {
        const std::string a = sealToKey(plain, pub);
        const std::string b = sealToKey(plain, pub);
        ASSERT_FALSE(a.empty());
        EXPECT_NE(a, b);
        EXPECT_EQ(a.substr(0, 8), "42494531"); // "BIE1"
        EXPECT_EQ((a.size() / 2 - 85) % 16, 0u);
        EXPECT_EQ(openSealed(a, kPriv), plain);
        EXPECT_EQ(openSealed(b, kPriv), plain);
    }
}

TEST(Sealing, UncompressedReceiverKeySealsTheSame)
{
    const std::string sealed = sealToKey("hello", uncompressedKey(publicKeyOf(kPriv)));
    ASSERT_FALSE(sealed.empty());
    EXPECT_EQ(openSealed(sealed, kPriv), "hello");
}

TEST(Sealing, DamagedOrForeignTextsDoNotOpen)
{
    const std::string sealed = sealToKey("secret", publicKeyOf(kPriv));
    std::string lastDigit = sealed;
    lastDigit.back() = lastDigit.back() == '0' ? '1' : '0';
    std::string body = sealed;
    body[100] = body[100] == '0' ? '1' : '0';
    std::string magic = sealed;
    magic[1] = '3';
    const std::string otherKey = "2" + kPriv.substr(1);
    const struct {
        std::string text, key;
    } cases[] = {
        {lastDigit, kPriv},
        {body, kPriv},
        {magic, kPriv},
        {sealed.substr(0, 168), kPriv},
        {sealed, otherKey},
        {sealed + "0", kPriv},
        {"zz" + sealed.substr(2), kPriv},
        {sealed, kPriv.substr(2)},
        {"", kPriv},
    };
    for (const auto& c : cases) EXPECT_FALSE(openSealed(c.text, c.key).has_value()) << c.text.substr(0, 20);
}

TEST(Sealing, EnvelopeKeys)
{
    nlohmann::json envelope = {{"type", "cp"}};
    std::string error;
    EXPECT_FALSE(sealIntoEnvelope("x", "", envelope, error));
    EXPECT_EQ(error, "Could not seal to that paymail key.");
    EXPECT_FALSE(envelope.contains("pmessage1"));
    error.clear();
    EXPECT_FALSE(sealIntoEnvelope("x", "02abcd", envelope, error));
    EXPECT_EQ(error, "Could not seal to that paymail key.");

    ASSERT_TRUE(sealIntoEnvelope("plain", publicKeyOf(kPriv), envelope, error));
    EXPECT_EQ(envelope["enc_v"], 4);
    EXPECT_EQ(openSealed(envelope["pmessage1"].get<std::string>(), kPriv), "plain");
}

TEST(Sealing, EnvelopeSealNeedsVersionFourAndATextAndAWallet)
{
    // No wallet is loaded in this process, so even a good envelope stays shut.
    const std::string sealed = sealToKey("plain", publicKeyOf(kPriv));
    for (const nlohmann::json& envelope :
         {nlohmann::json {{"enc_v", 3}, {"pmessage1", sealed}}, nlohmann::json {{"enc_v", 4}, {"pmessage1", 5}},
          nlohmann::json {{"pmessage1", sealed}}, nlohmann::json::array(),
          nlohmann::json {{"enc_v", 4}, {"pmessage1", sealed}}})
        EXPECT_FALSE(openEnvelopeSeal(envelope).has_value()) << envelope.dump().substr(0, 40);
}

TEST(Sealing, ANamedSenderKeyReplacesTheCarriedOne)
{
    const std::string sealed = sealToKey("named", publicKeyOf(kPriv));
    const std::string carried = sealed.substr(8, 66);
    EXPECT_EQ(openSealed(sealed, kPriv, carried), "named");
    EXPECT_EQ(openSealed(sealed, kPriv, uncompressedKey(carried)), "named");
    EXPECT_FALSE(openSealed(sealed, kPriv, publicKeyOf(kPriv)).has_value());
    EXPECT_EQ(openSealed(sealed, kPriv, "02ab"), "named"); // too short to be a key: the carried one is used
}
