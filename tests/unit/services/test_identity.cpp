// Identity signatures: the signed-message digest, signing with the wallet's
// identity key and its failure texts, verification over the three digests
// with the accepted key and signature forms, and the identity-key lookup
// (a local HTTPS server plays the service's identity endpoint).
#include "wallet/handle_forms.h"
#include "services/identity.h"

#include "https_test_server.h"
#include "test_keys.h"
#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/keys.h"
#include "wallet/secp256k1.h"
#include "wallet/wallet_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>

using namespace kestrel;
namespace w = cv_tessera_wallet;

namespace {

// The identity key (m/44'/236'/100'/0/0) of kPhrase, as @bsv/sdk derives it.
const std::string kIdentityPriv = "4593a020e3b5729af56eb8f85d67954d74baf3070b3b399d6e64505ea3c706ac";
const std::string kIdentityPub = "038130bb72791d1d196c0c4c5bc971f1317f6f810b6f8381fd66bd0943926e4578";
const std::string kOtherPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";

// Base64 of r || s of an ECDSA signature of digest, with extra bytes first.
std::string rawSignature(const std::string& priv, const w::Bytes& digest, const w::Bytes& first = {})
{
    const w::Bytes key = w::hex_decode(priv);
    uint8_t rs[64];
    EXPECT_TRUE(w::ecdsa_sign_rs(key.data(), digest.data(), rs, rs + 32));
    w::Bytes all = first;
    all.insert(all.end(), rs, rs + 64);
    return w::base64_encode(all.data(), all.size());
}

w::Bytes bytesOf(const std::string& text)
{
    return w::Bytes(text.begin(), text.end());
}

} // namespace

TEST(IdentitySign, SignsWithTheGivenKeyAndVerifies)
{
    for (const std::string& message :
         {std::string(), std::string("CV1|cp|cphone|alice|alice|1|"), std::string(300, 'x'), std::string(70000, 'y')}) {
        const IdentitySignature s = identitySignWithKey(kIdentityPriv, message);
        ASSERT_TRUE(s.ok) << s.error;
        EXPECT_EQ(s.publicKey, kIdentityPub);
        EXPECT_EQ(s.signature.size(), 88u);
        EXPECT_EQ(w::base64_decode(s.signature).size(), 64u);
        EXPECT_TRUE(verifySignedMessage(message, s.publicKey, s.signature));
        // It is over the signed-message digest, not a plain hash.
        const w::Bytes rs = w::hex_decode(w::hex_encode(bytesOf(w::base64_decode(s.signature))));
        uint8_t digest[1][32];
        std::memcpy(digest[0], w::signed_message_digest(message).data(), 32);
        const w::Bytes pub = w::hex_decode(kIdentityPub);
        EXPECT_TRUE(w::ecdsa_verify_rs(pub.data(), digest, 1, rs.data(), rs.data() + 32));
        EXPECT_FALSE(verifySignedMessage(message + " ", s.publicKey, s.signature));
    }
}

TEST(IdentitySign, FailureTexts)
{
    for (const std::string& key : {std::string(), std::string("zz"), std::string(64, '0'), kIdentityPriv.substr(2)}) {
        const IdentitySignature s = identitySignWithKey(key, "m");
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.error, "Tessera identity sign failed") << key;
        EXPECT_TRUE(s.signature.empty());
    }
}

class IdentityWallet : public WalletFiles {};

TEST_F(IdentityWallet, SignsWithTheWalletsIdentityKeyOrSaysWhyNot)
{
    IdentitySignature s = identitySign("hello");
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Tessera HD wallet not connected");

    writeWallet(R"({"priv": "67376a8d83c314188e28185a9964a10545ebec366ba2fc22dfd67cd55805bebd", "paymail": "solo",
                    "ord_avatar": {}, "ord_owned": [], "contacts": []})");
    ASSERT_TRUE(w::load_wallet());
    s = identitySign("hello");
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Tessera HD wallet not connected"); // a single-key wallet has no HD keys
    w::unload_wallet();

    writeWallet(phraseWallet());
    s = identitySign("hello");
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.publicKey, kIdentityPub);
    EXPECT_EQ(s.publicKey, w::wallet_view().identity_pub);
    EXPECT_TRUE(verifySignedMessage("hello", kIdentityPub, s.signature));
}

TEST(VerifySignedMessage, AcceptedKeyAndSignatureForms)
{
    const std::string message = "forms";
    const IdentitySignature s = identitySignWithKey(kIdentityPriv, message);
    ASSERT_TRUE(s.ok);
    const std::string sig = s.signature;
    const std::string unpadded = sig.substr(0, sig.find('='));
    const w::Bytes rs = bytesOf(w::base64_decode(sig));
    w::Bytes withHeader {0x1f};
    withHeader.insert(withHeader.end(), rs.begin(), rs.end());
    w::Bytes twoExtra {0x1f, 0x00};
    twoExtra.insert(twoExtra.end(), rs.begin(), rs.end());
    std::string upper = kIdentityPub;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    const struct {
        std::string key, signature;
        bool valid;
    } cases[] = {
        {kIdentityPub, sig, true},
        {"0x" + kIdentityPub, sig, true},
        {"0X" + upper, sig, true},
        {uncompressedKey(kIdentityPub), sig, true},
        {kIdentityPub, unpadded, true},
        {kIdentityPub, " " + sig.substr(0, 40) + "\n\t" + sig.substr(40) + "\r\n", true},
        {kIdentityPub, "=" + sig.substr(0, 20) + "=" + sig.substr(20), true},
        {kIdentityPub, w::base64_encode(withHeader.data(), withHeader.size()), true}, // 65 bytes: first ignored
        {kIdentityPub, w::base64_encode(twoExtra.data(), twoExtra.size()), false},    // 66 bytes
        {kIdentityPub, w::base64_encode(rs.data(), 63), false},
        {kIdentityPub, sig.substr(0, 40) + "*" + sig.substr(41), false},
        {kIdentityPub, sig.substr(0, 40) + "-" + sig.substr(41), false}, // URL-safe alphabet is not Base64 here
        {kIdentityPub, "", false},
        {kIdentityPub.substr(1), sig, false},        // odd digit count
        {kIdentityPub + "00", sig, false},           // 34 bytes
        {"04" + kIdentityPub.substr(2), sig, false}, // 33 bytes, uncompressed prefix
        {"0x", sig, false},
        {publicKeyOf(kOtherPriv), sig, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verifySignedMessage(message, c.key, c.signature), c.valid) << c.key << " " << c.signature;
}

TEST(VerifySignedMessage, TakesTheThreeDigestsInTurn)
{
    const std::string message = "three digests";
    const w::Bytes single = w::sha256(bytesOf(message));
    const std::string pub = publicKeyOf(kOtherPriv);
    EXPECT_TRUE(verifySignedMessage(message, pub, rawSignature(kOtherPriv, w::signed_message_digest(message))));
    EXPECT_TRUE(verifySignedMessage(message, pub, rawSignature(kOtherPriv, single)));
    EXPECT_TRUE(verifySignedMessage(message, pub, rawSignature(kOtherPriv, w::sha256(single))));
    EXPECT_FALSE(verifySignedMessage(message, pub, rawSignature(kOtherPriv, w::sha256(w::sha256(single)))));
    EXPECT_FALSE(verifySignedMessage(message, pub, rawSignature(kOtherPriv, w::sha256(bytesOf("other")))));
}

TEST(CompressedKeyHex, NormalisesToLowerCaseCompressed)
{
    const std::string pub = kIdentityPub;
    const struct {
        std::string in, out;
    } cases[] = {
        {pub, pub},
        {uncompressedKey(pub), pub},
        {"0x" + uncompressedKey(pub), pub},
        {"03" + std::string(64, 'F'), ""},
        {"05" + pub.substr(2), ""},
        {pub.substr(0, 64), ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(compressedKeyHex(c.in), c.out) << c.in;
    EXPECT_EQ(w::signer_form(" @ Alice "), "alice");
    EXPECT_EQ(w::signer_form("$$bob"), "$bob");
    EXPECT_EQ(w::signer_form("\t"), "");
}

// ---- the identity-key lookup against a local identity endpoint ------------

class IdentityLookup : public ::testing::Test {
protected:
    struct Answer {
        int status = 200;
        std::string body;
    };
    HttpsTestServer server;
    std::mutex lock;
    std::map<std::string, Answer> answers; // by path
    std::map<std::string, int> hits;       // by path

    void SetUp() override
    {
        clearIdentityKeyCache();
        server.http.Get(R"(/api/bsvalias/id/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> guard(lock);
            ++hits[req.path];
            const auto found = answers.find(req.path);
            const Answer answer =
                found == answers.end() ? Answer {404, R"({"error":"not registered"})"} : found->second;
            res.status = answer.status;
            res.set_content(answer.body, "application/json");
        });
        server.http.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "https://corvane.app/api/bsvalias/id/carol@corvane.app");
        });
        server.start();
        server.useServer();
    }
    void TearDown() override { clearIdentityKeyCache(); }

    void publish(const std::string& alias, int status, const std::string& body)
    {
        std::lock_guard<std::mutex> guard(lock);
        answers["/api/bsvalias/id/" + alias + "@corvane.app"] = {status, body};
    }
    int hitsOf(const std::string& alias)
    {
        std::lock_guard<std::mutex> guard(lock);
        return hits["/api/bsvalias/id/" + alias + "@corvane.app"];
    }
};

TEST_F(IdentityLookup, PublishedKeyForms)
{
    const std::string pub = kIdentityPub;
    const std::string other = publicKeyOf(kOtherPriv);
    const struct {
        std::string body;
        std::string key;
    } cases[] = {
        {R"({"pubkey":")" + pub + R"("})", pub},
        {R"({"pubkey":")" + uncompressedKey(pub) + R"("})", pub},
        {R"({"publicKey":")" + pub + R"("})", pub},
        {R"({"pubkey":")" + pub + R"(","publicKey":")" + other + R"("})", pub},
        {R"({"pubkey":7,"publicKey":")" + other + R"("})", other},
        {R"({"pubkey":")" + pub.substr(2) + R"("})", ""},
        {R"({"pubkey":"0x)" + pub + R"("})", ""},
        {R"({"pubkey":"04)" + pub.substr(2) + R"("})", ""},
        {R"({"handle":"x"})", ""},
        {R"(["not","an","object"])", ""},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string alias = "user" + std::to_string(index++);
        publish(alias, 200, c.body);
        EXPECT_EQ(lookupIdentityKey(alias), c.key) << c.body;
    }
}

TEST_F(IdentityLookup, RepeatedLookupsShareOneCachedAnswer)
{
    publish("alice", 200, R"({"pubkey":")" + uncompressedKey(kIdentityPub) + R"("})");
    for (const char* handle : {"alice", "$Alice", " @ALICE ", "alice"})
        EXPECT_EQ(lookupIdentityKey(handle, "alice@corvane.app"), kIdentityPub) << handle;
    EXPECT_EQ(hitsOf("alice"), 1);
    EXPECT_TRUE(keyMatchesIdentity("Alice", uncompressedKey(kIdentityPub)));
    EXPECT_FALSE(keyMatchesIdentity("alice", publicKeyOf(kOtherPriv)));
    EXPECT_FALSE(keyMatchesIdentity("alice", "garbage"));
    EXPECT_EQ(hitsOf("alice"), 1);
}

TEST_F(IdentityLookup, FailuresAreNotCached)
{
    for (const auto& [status, body] :
         std::vector<std::pair<int, std::string>> {{500, R"({"error":"busy"})"},
                                                   {201, R"({"pubkey":")" + kIdentityPub + R"("})"},
                                                   {200, ""},
                                                   {200, "<html>"}}) {
        clearIdentityKeyCache();
        publish("bob", status, body);
        EXPECT_EQ(lookupIdentityKey("bob"), "") << status << " " << body;
        publish("bob", 200, R"({"pubkey":")" + kIdentityPub + R"("})");
        EXPECT_EQ(lookupIdentityKey("bob"), kIdentityPub) << status << " " << body;
    }
    EXPECT_EQ(lookupIdentityKey("nobody"), "");
    EXPECT_EQ(lookupIdentityKey("nobody"), "");
    EXPECT_EQ(hitsOf("nobody"), 2);
}

TEST_F(IdentityLookup, OnlyTheServiceDomainIsAsked)
{
    publish("alice", 200, R"({"pubkey":")" + kIdentityPub + R"("})");
    const struct {
        std::string handle, paymail, key;
    } cases[] = {
        {"alice", "alice@other.test", ""},
        {"alice", " $Alice @ other.test", ""},
        {"alice", "alice@CORVANE.APP", kIdentityPub},
        {"alice", "alice @ corvane.app ", kIdentityPub},
        {"alice", "bob@other.test", kIdentityPub}, // another name: the handle decides
        {"alice", "alice", kIdentityPub},
        {"", "alice@corvane.app", ""},
        {" $ ", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(lookupIdentityKey(c.handle, c.paymail), c.key) << c.paymail;
}

TEST_F(IdentityLookup, AHandleCannotReachAnotherPath)
{
    // A handle from a received record goes into the path percent-encoded.
    publish("carol", 200, R"({"pubkey":")" + kIdentityPub + R"("})");
    for (const char* handle :
         {"../bsvalias/id/carol@corvane.app?", "carol@corvane.app#", "carol/../carol", "carol?x=", "carol%40"})
        EXPECT_EQ(lookupIdentityKey(handle), "") << handle;
    EXPECT_EQ(hitsOf("carol"), 0);
}

TEST_F(IdentityLookup, FetchServiceJsonStatusesAndBodies)
{
    publish("p200", 200, R"({"a":1})");
    publish("pstr", 200, R"("text")");
    publish("pempty", 200, "");
    publish("pbad", 200, "{");
    publish("p204", 204, "");
    publish("p203", 203, R"({"a":1})");
    publish("p404", 404, R"({"a":1})");
    const struct {
        std::string path;
        bool ok;
    } cases[] = {
        {"/api/bsvalias/id/p200@corvane.app", true},    {"/api/bsvalias/id/pstr@corvane.app", true},
        {"/api/bsvalias/id/pempty@corvane.app", false}, {"/api/bsvalias/id/pbad@corvane.app", false},
        {"/api/bsvalias/id/p204@corvane.app", false},   {"/api/bsvalias/id/p203@corvane.app", false},
        {"/api/bsvalias/id/p404@corvane.app", false},
    };
    for (const auto& c : cases) {
        nlohmann::json value = "untouched";
        EXPECT_EQ(fetchServiceJson("https://corvane.app" + c.path, value), c.ok) << c.path;
        if (!c.ok) {
            EXPECT_EQ(value, "untouched");
        }
    }
    publish("carol", 200, R"({"pubkey":")" + kIdentityPub + R"("})");
    nlohmann::json value;
    ASSERT_TRUE(fetchServiceJson("https://corvane.app/moved", value));
    EXPECT_EQ(value["pubkey"], kIdentityPub);
    EXPECT_FALSE(fetchServiceJson("https://127.0.0.1:1/nothing", value));
}
