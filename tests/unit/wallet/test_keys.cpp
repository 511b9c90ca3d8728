#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet_files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>

using namespace cv_tessera_wallet;
using json = nlohmann::json;

namespace {

json readData(const std::string& name)
{
    std::ifstream file(std::string(KESTREL_TEST_DATA) + "/" + name);
    return json::parse(file, nullptr, false);
}

// Chain code and private key of a Base58Check "xprv" (checksum checked).
bool splitXprv(const std::string& xprv, std::string& chain_code, std::string& key)
{
    Bytes data;
    if (!base58_decode(xprv, data) || data.size() != 82) return false;
    const Bytes check = sha256d(data.data(), 78);
    if (!std::equal(check.begin(), check.begin() + 4, data.begin() + 78) || data[45] != 0x00) return false;
    chain_code = hex_encode(Bytes(data.begin() + 13, data.begin() + 45));
    key = hex_encode(Bytes(data.begin() + 46, data.begin() + 78));
    return true;
}

size_t wordCount(const std::string& phrase)
{
    return static_cast<size_t>(std::count(phrase.begin(), phrase.end(), ' ')) + 1;
}

} // namespace

TEST(WordList, IsTheBip39EnglishList)
{
    const auto& words = bip39_words();
    ASSERT_EQ(words.size(), 2048u);
    EXPECT_TRUE(std::is_sorted(words.begin(), words.end()));
    std::string joined;
    for (const auto& w : words) joined.append(w).append("\n");
    EXPECT_EQ(hex_encode(sha256(Bytes(joined.begin(), joined.end()))),
              "2f5eed53a4727b4bf8880d8f3f199efc90e58503646d9ff8eff3a2ed3b24dbda");
}

TEST(Bip39, PublishedEnglishVectors)
{
    const json doc = readData("bip39-vectors-english.json");
    ASSERT_TRUE(doc.is_object());
    const std::string passphrase = doc["passphrase"];
    ASSERT_EQ(doc["english"].size(), 24u);
    for (const json& v : doc["english"]) {
        const std::string entropy = v[0], phrase = v[1], seed = v[2], xprv = v[3];
        // Only 12-word phrases are wallets here; the others must be refused.
        Bytes got;
        EXPECT_EQ(validate_phrase(phrase), wordCount(phrase) == 12) << phrase;
        if (wordCount(phrase) == 12) {
            ASSERT_TRUE(phrase_entropy(phrase, got)) << phrase;
            EXPECT_EQ(hex_encode(got), entropy);
        }
        // The seed formula on the vectors' passphrase; the wallet's own seed is
        // the same formula with the bare salt "mnemonic".
        const Bytes vector_seed = pbkdf2_sha512(phrase, "mnemonic" + passphrase, 2048, 64);
        EXPECT_EQ(hex_encode(vector_seed), seed) << phrase;
        EXPECT_EQ(seed_from_phrase(phrase), pbkdf2_sha512(phrase, "mnemonic", 2048, 64));

        ExtendedKey master;
        ASSERT_TRUE(master_from_seed(vector_seed.data(), vector_seed.size(), master));
        std::string chain_code, key;
        ASSERT_TRUE(splitXprv(xprv, chain_code, key)) << xprv;
        EXPECT_EQ(hex_encode(master.key.data(), 32), key) << phrase;
        EXPECT_EQ(hex_encode(master.chain_code.data(), 32), chain_code) << phrase;
    }
}

TEST(Bip39, SeedWithoutPassphrase)
{
    // The published seed of this phrase with an empty passphrase.
    EXPECT_EQ(hex_encode(seed_from_phrase("abandon abandon abandon abandon abandon abandon abandon abandon abandon "
                                          "abandon abandon about")),
              "5eb00bbddcf069084889a8ab9155568165f5c453ccb85e70811aaed6f6da5fc19a5ac40b389cd370d086206dec8aa6c43daea669"
              "0f20ad3d8d48b2d2ce9e38e4");
}

TEST(Bip39, PhraseValidation)
{
    const std::string base = "legal winner thank year wave sausage worth useful legal winner thank";
    const struct {
        std::string phrase;
        bool valid;
    } cases[] = {
        {kPhrase, true},
        {"LEGAL Winner thank year wave sausage worth useful legal winner thank YELLOW", true},
        {"  legal  winner\tthank year wave sausage worth useful legal winner thank yellow\t ", true},
        {base, false},                    // 11 words
        {kPhrase + " yellow", false},     // 13 words
        {kPhrase + " " + kPhrase, false}, // 24 words (checksum aside)
        {"legal winner thank year wave sausage worth useful legal winner thank yellow zoo", false},
        {base + " zoo", false},     // checksum
        {base + " yellows", false}, // unknown word
        {"legal winner thank year wave sausage worth useful legal winner thank\nyellow", false},
        {"légal winner thank year wave sausage worth useful legal winner thank yellow", false},
        {"", false},
        // A valid 24-word phrase (published vector) is still refused.
        {"letter advice cage absurd amount doctor acoustic avoid letter advice cage absurd amount doctor acoustic "
         "avoid letter advice cage absurd amount doctor acoustic bless",
         false},
    };
    for (const auto& c : cases) EXPECT_EQ(validate_phrase(c.phrase), c.valid) << c.phrase;
}

TEST(Bip32, PublishedVectorsOneAndTwo)
{
    const json doc = readData("bip32-vectors.json");
    ASSERT_TRUE(doc.is_object());
    ASSERT_EQ(doc["vectors"].size(), 2u);
    for (const json& v : doc["vectors"]) {
        const Bytes seed = hex_decode(v["seed"].get<std::string>());
        ExtendedKey master;
        ASSERT_TRUE(master_from_seed(seed.data(), seed.size(), master));
        for (const json& step : v["chain"]) {
            std::vector<uint32_t> path;
            ASSERT_TRUE(parse_path(step["path"].get<std::string>(), path)) << step["path"];
            ExtendedKey node = master;
            for (const uint32_t index : path) {
                ExtendedKey child;
                ASSERT_TRUE(derive_child(node, index, child));
                node = child;
            }
            std::string chain_code, key;
            ASSERT_TRUE(splitXprv(step["xprv"], chain_code, key));
            EXPECT_EQ(hex_encode(node.key.data(), 32), step["priv"]) << step["path"];
            EXPECT_EQ(hex_encode(node.chain_code.data(), 32), chain_code) << step["path"];
            std::string priv, pub, address;
            ASSERT_TRUE(derive_from_master(master, path, priv, pub, address));
            EXPECT_EQ(priv, step["priv"]);
            EXPECT_EQ(pub, step["pub"]);
            EXPECT_EQ(address, address_from_pubkey(pub));
        }
    }
}

TEST(Bip32, PathText)
{
    std::vector<uint32_t> path;
    ASSERT_TRUE(parse_path("m/44'/236h/1H/0/2147483647", path));
    EXPECT_EQ(path, (std::vector<uint32_t> {44 | kHardened, 236 | kHardened, 1 | kHardened, 0, 2147483647u}));
    ASSERT_TRUE(parse_path("m", path));
    EXPECT_TRUE(path.empty());
    for (const char* bad : {"", "M/0", "m/", "m//0", "m/0/", "m/2147483648", "m/-1", "m/0''", "m/1x", "44'/0", "m0"})
        EXPECT_FALSE(parse_path(bad, path)) << bad;
}

TEST(Bip32, WalletPathsAgreeWithTheSdk)
{
    // Derived with @bsv/sdk HD from the same phrase.
    const struct {
        const char* path;
        const char* priv;
        const char* address;
    } cases[] = {
        {"m/44'/236'/1'/0/0", "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd",
         "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe"},
        {"m/44'/236'/100'/0/0", "4593a020e3b5729af56eb8f85d67954d74baf3070b3b399d6e64505ea3c706ac",
         "1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg"},
        {"m/44'/236'/0'/0/4", "34b0a08282a15ad82bd7e1d6750237777e1f68f0be81dc9aa8ce1675fb182498",
         "164W9kXbiurfZEemJvsgwQFFhNhtuNMJLu"},
    };
    for (const auto& c : cases) {
        std::string priv, pub, address;
        ASSERT_TRUE(derive_from_phrase(kPhrase, c.path, priv, pub, address)) << c.path;
        EXPECT_EQ(priv, c.priv);
        EXPECT_EQ(address, c.address);
    }
    std::string priv, pub, address;
    EXPECT_FALSE(derive_from_phrase(kPhrase + " yellow", "m/0", priv, pub, address));
    EXPECT_FALSE(derive_from_phrase(kPhrase, "m/x", priv, pub, address));
    EXPECT_TRUE(priv.empty() && pub.empty() && address.empty());
}

TEST(Messages, SignaturesRecoverTheSigner)
{
    const std::string priv = "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd";
    const std::string pub = "030f5d47f42f086e92848e75a76d45cae11b39b25dac3a4b4ea38b3b3cc5986d90";
    for (const std::string& message :
         {std::string(), std::string("hello"), std::string(253, 'x'), std::string(65535, 'y')}) {
        const std::string signature = sign_message(priv, message);
        ASSERT_FALSE(signature.empty()) << message.size();
        const std::string bytes = base64_decode(signature);
        ASSERT_EQ(bytes.size(), 65u);
        EXPECT_GE(static_cast<uint8_t>(bytes[0]), 31);
        EXPECT_LE(static_cast<uint8_t>(bytes[0]), 34);
        EXPECT_EQ(recover_message_pubkey(message, signature), pub) << message.size();
        EXPECT_NE(recover_message_pubkey(message + "!", signature), pub);
    }
    EXPECT_EQ(sign_message(priv, std::string(65536, 'z')), "");
    EXPECT_EQ(sign_message("", "hello"), "");
    EXPECT_EQ(sign_message(std::string(64, '0'), "hello"), "");
    EXPECT_EQ(recover_message_pubkey("hello", "not base64"), "");
    // Any r and s in range recover some key; zero r, an uncompressed-key header
    // or a short signature recover none.
    EXPECT_NE(recover_message_pubkey("hello", base64_encode(std::string(65, '\x1f'))), "");
    EXPECT_EQ(recover_message_pubkey("hello", base64_encode('\x1f' + std::string(64, '\0'))), "");
    EXPECT_EQ(recover_message_pubkey("hello", base64_encode('\x1b' + std::string(64, '\x1f'))), "");
    EXPECT_EQ(recover_message_pubkey("hello", base64_encode(std::string(64, '\x1f'))), "");
}

// The length is a CompactSize (three bytes from 253, five from 65536). The
// identity digest takes any length; the compact-signature digest stops at
// 65535 bytes.
TEST(Messages, DigestLengthPrefix)
{
    const struct {
        size_t length;
        Bytes prefix;
    } cases[] = {
        {0, {0x00}},
        {252, {0xFC}},
        {253, {0xFD, 0xFD, 0x00}},
        {300, {0xFD, 0x2C, 0x01}},
        {65535, {0xFD, 0xFF, 0xFF}},
        {65536, {0xFE, 0x00, 0x00, 0x01, 0x00}},
        {70000, {0xFE, 0x70, 0x11, 0x01, 0x00}},
    };
    for (const auto& c : cases) {
        const std::string message(c.length, 'm');
        Bytes buffer {0x18};
        const std::string magic = "Bitcoin Signed Message:\n";
        buffer.insert(buffer.end(), magic.begin(), magic.end());
        buffer.insert(buffer.end(), c.prefix.begin(), c.prefix.end());
        buffer.insert(buffer.end(), message.begin(), message.end());
        EXPECT_EQ(hex_encode(signed_message_digest(message)), hex_encode(sha256d(buffer))) << c.length;
        EXPECT_EQ(message_digest(message), c.length <= 65535 ? sha256d(buffer) : Bytes()) << c.length;
    }
}

// ---- keys of the loaded wallet ----------------------------------------------

using WalletKeys = WalletFiles;

TEST_F(WalletKeys, ConnectDerivesReceiveIdentityAndOrdinals)
{
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    const WalletView v = wallet_view();
    EXPECT_TRUE(v.keys_ready);
    EXPECT_EQ(v.shown, 3u); // show 7 lowered to counters[1] = 3
    EXPECT_EQ(v.receive_address, "18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6");
    EXPECT_EQ(v.receive_pub, "024738ff6dd5a23a3fbd082cea7d549ec442e70b1d88f0239a3c91f7500387d89a");
    EXPECT_EQ(v.identity_address, "1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg");
    EXPECT_EQ(v.identity_pub, "038130bb72791d1d196c0c4c5bc971f1317f6f810b6f8381fd66bd0943926e4578");
    EXPECT_EQ(v.ord_address, "1Kj6ry9SewJQ83yUrSDH39QCZaN7kamtQz"); // 5'/0/counters[5] = 2
    EXPECT_EQ(greeting_address(), "14RqM6Vq7zhVyLhRTnfnzubn81nXK6sVs8");

    std::string priv, pub, address, error;
    ASSERT_TRUE(identity_private_key(priv, error));
    EXPECT_EQ(priv, "4593a020e3b5729af56eb8f85d67954d74baf3070b3b399d6e64505ea3c706ac");
    ASSERT_TRUE(bn_key(pub, priv, address, error));
    EXPECT_EQ(priv, "438b2abcfbdd4dea7ca3ed5f5660c9e1f3ba1ff045223601d6138a0f37afb5ba");
    EXPECT_EQ(pub, "0292baf8a3dca4ef119e8f8a2c8e05d693abce8795e2c6ded7b3addb9c4d38dea3");
    EXPECT_EQ(address, "17WUUrjYiopknbRU1WFwREVT3PhjPVB1cC");
    ASSERT_TRUE(derive(wallet_path(1, 0), priv, pub, address));
    EXPECT_EQ(address, "17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe");
}

TEST_F(WalletKeys, KeysForAddressSearchesUpToEachCounter)
{
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    const struct {
        const char* address;
        const char* priv; // empty: not found
    } cases[] = {
        {"164W9kXbiurfZEemJvsgwQFFhNhtuNMJLu", "34b0a08282a15ad82bd7e1d6750237777e1f68f0be81dc9aa8ce1675fb182498"},
        {"17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe", "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd"},
        {"1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg", "4593a020e3b5729af56eb8f85d67954d74baf3070b3b399d6e64505ea3c706ac"},
        {"1AXtuRgmUErMXM2sXiCdxcezHUcUvcg5EF", ""}, // 1'/0/5, above counters[1] = 3
        {"17WUUrjYiopknbRU1WFwREVT3PhjPVB1cC", ""}, // the BN key is not a spending key
        {"1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", ""},
        {"not an address", ""},
    };
    for (const auto& c : cases) {
        std::string priv, pub;
        EXPECT_EQ(keys_for_address(c.address, priv, pub), *c.priv != '\0') << c.address;
        EXPECT_EQ(priv, c.priv) << c.address;
        if (*c.priv) {
            EXPECT_EQ(address_from_pubkey(pub), c.address);
        }
    }
}

TEST_F(WalletKeys, OwnHash160)
{
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    auto h = [](const char* address) {
        Bytes out;
        decode_address(address, out);
        return out;
    };
    const Bytes stranger = h("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH");
    EXPECT_TRUE(is_own_hash160(h("18Dt6boZSx747Hw4oSStUFZZhsc8RPKPn6"), {}, {}));  // receive
    EXPECT_TRUE(is_own_hash160(h("17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe"), {}, {}));  // receive index 0
    EXPECT_TRUE(is_own_hash160(h("1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg"), {}, {}));  // identity
    EXPECT_FALSE(is_own_hash160(h("1AXtuRgmUErMXM2sXiCdxcezHUcUvcg5EF"), {}, {})); // above the counter
    EXPECT_FALSE(is_own_hash160(h("164W9kXbiurfZEemJvsgwQFFhNhtuNMJLu"), {}, {})); // account 0'
    EXPECT_FALSE(is_own_hash160(stranger, {}, {}));
    EXPECT_TRUE(is_own_hash160(stranger, {}, stranger));
    Coin coin;
    coin.hash160 = stranger;
    EXPECT_TRUE(is_own_hash160(stranger, {coin}, {}));
}

TEST_F(WalletKeys, SingleKeyAndNoWalletMessages)
{
    std::string priv, pub, address, error;
    EXPECT_FALSE(identity_private_key(priv, error));
    EXPECT_EQ(error, "Tessera HD wallet not connected");
    EXPECT_FALSE(bn_key(pub, priv, address, error));
    EXPECT_EQ(error, "Tessera HD wallet not connected");
    EXPECT_EQ(greeting_address(), "");

    writeWallet(R"({"priv": "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd"})");
    ASSERT_TRUE(load_wallet());
    EXPECT_FALSE(identity_private_key(priv, error));
    EXPECT_EQ(error, "could not derive Tessera identity key");
    EXPECT_FALSE(bn_key(pub, priv, address, error));
    EXPECT_EQ(error, "Tessera HD wallet not connected");
    EXPECT_TRUE(priv.empty() && pub.empty() && address.empty());
    EXPECT_EQ(greeting_address(), "");
    EXPECT_FALSE(derive(wallet_path(1, 0), priv, pub, address));
    EXPECT_TRUE(keys_for_address("17DVtuwtBZigbx1rNRR9HYBXV2MPLMcsAe", priv, pub));
    EXPECT_EQ(priv, "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd");
    EXPECT_FALSE(keys_for_address("1JoE52smo6je1NbJuJVEKG3GSTAocaxrQg", priv, pub));
}
