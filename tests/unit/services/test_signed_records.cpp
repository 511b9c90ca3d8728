// Signed records: the canonical text and the field reading rules as tables,
// the signature checks of a received record, and signing with the wallet's
// identity key against a local identity endpoint (the service's PKI).
#include "services/signed_records.h"

#include "https_test_server.h"
#include "platform/clock.h"
#include "services/identity.h"
#include "wallet/address.h"
#include "wallet/hashes.h"
#include "wallet/wallet_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

const std::string kIdentityPriv = "4593a020e3b5729af56eb8f85d67954d74baf3070b3b399d6e64505ea3c706ac"; // of kPhrase
const std::string kIdentityPub = "038130bb72791d1d196c0c4c5bc971f1317f6f810b6f8381fd66bd0943926e4578";
const std::string kOtherPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";
const std::string kEmptyHash = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string sha256Hex(const std::string& text)
{
    return w::hex_encode(w::sha256(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

json audioRecord()
{
    return json::parse(R"({"protocol": "CV-Phone", "type": "cp", "location": "cphone", "handle": "alice",
        "actor": "alice", "pay": "1BoatSLRHtKNngkdXEeobR76b53LETtpyT", "ts": 1700000000, "kind": "audio",
        "id": "0123456789abcdef", "n": 3, "codec": "gsm", "audio": "QUJDRA=="})");
}

// Fills "pubkey" and "sig" over the record's canonical text, as signRecord
// does, without a wallet.
json signedWith(json record, const std::string& priv = kIdentityPriv)
{
    const IdentitySignature s = identitySignWithKey(priv, canonicalRecordText(record));
    EXPECT_TRUE(s.ok);
    record["pubkey"] = s.publicKey;
    record["sig"] = s.signature;
    return record;
}

} // namespace

TEST(CanonicalRecordText, Table)
{
    const struct {
        const char* record;
        std::string text;
    } cases[] = {
        {R"({"type":"cp","location":"cphone","handle":"alice","actor":"alice","ts":1700000000,"kind":"audio",
            "id":"0123456789abcdef","n":3,"codec":"gsm","audio":"QUJD"})",
         "CV1|cp|cphone|alice|alice|1700000000|audio|0123456789abcdef|3|gsm||0|" + sha256Hex("QUJD")},
        // Trims, case and one leading "@" or "$"; the type keeps its case.
        {R"({"type":" cp ","channel":" CPhone ","handle":" @ Alice ","actor":"$ALICE","ts":1,"kind":"invite"})",
         "CV1|cp|cphone|alice|alice|1|invite||0|||0|" + kEmptyHash},
        {R"({"type":"CP","location":"cphone","handle":"@@x","actor":"x","ts":1,"kind":"invite"})",
         "CV1|CP|cphone|@x|x|1|"},
        // The channel, else the location when the channel is empty.
        {R"({"type":"cp","channel":"lobby","location":"cphone","ts":1})", "CV1|cp|lobby|||1|||0|||0|" + kEmptyHash},
        {R"({"type":"cp","channel":"","location":"cphone","ts":1})", "CV1|cp|cphone|||1|||0|||0|" + kEmptyHash},
        {R"({"type":"cp","channel":5,"location":"cphone","ts":1})", "CV1|cp|cphone|||1|||0|||0|" + kEmptyHash},
        // Integer members: integer, truncated float, decimal text, else 0.
        {R"({"type":"cp","ts":"1700000000","n":2.9,"secs":-4.7,"mark":"0-9","kind":"tape"})",
         "CV1|cp||||1700000000|tape||2||0-9|-4|" + kEmptyHash},
        {R"({"type":"cp","ts":"17x","n":"-12","secs":true})", "CV1|cp||||0|||-12|||0|" + kEmptyHash},
        {R"({"type":"cp","ts":" 17","n":"","secs":null})", "CV1|cp||||0|||0|||0|" + kEmptyHash},
        {R"({"type":"cp","ts":1e300,"n":"99999999999999999999"})", "CV1|cp||||0|||0|||0|" + kEmptyHash},
        // Text members that are not strings count as empty; an audio that is no text hashes "".
        {R"({"type":"cp","ts":1,"kind":7,"id":["x"],"codec":null,"audio":12})", "CV1|cp||||1|||0|||0|" + kEmptyHash},
        {R"({"type":"greet","location":"cphone","handle":"a","actor":"a","ts":1,"audio":"QUJD"})",
         "CV1|greet|cphone|a|a|1|"},
        {R"([1,2])", "CV1|||||0|"},
        {R"(null)", "CV1|||||0|"},
    };
    for (const auto& c : cases) EXPECT_EQ(canonicalRecordText(json::parse(c.record)), c.text) << c.record;
}

TEST(RecordFields, TwoNamesTakeTheFirstString)
{
    const struct {
        const char* record;
        std::string value;
    } cases[] = {
        {R"({"pubkey":"a","publicKey":"b"})", "a"},
        {R"({"pubkey":5,"publicKey":"b"})", "b"},
        {R"({"pubkey":"","publicKey":"b"})", ""},
        {R"({"publicKey":"b"})", "b"},
        {R"({"pubkey":null})", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(recordText(json::parse(c.record), "pubkey", "publicKey"), c.value);
    EXPECT_EQ(recordInteger(json::parse(R"({"ts":-0.5})"), "ts"), 0);
    EXPECT_EQ(recordInteger(json::parse(R"({"ts":18446744073709551615})"), "ts"), -1);
}

TEST(VerifyRecordSignature, WhatAReceivedRecordMustCarry)
{
    const json good = signedWith(audioRecord());
    ASSERT_TRUE(verifyRecordSignature(good));

    // Each case changes the signed record and says whether it still holds.
    const struct {
        const char* what;
        std::function<void(json&)> change;
        bool holds;
    } cases[] = {
        {"handle @Alice", [](json& r) { r["handle"] = " @Alice"; }, true},
        {"actor $ALICE", [](json& r) { r["actor"] = "$ALICE"; }, true},
        {"ts as decimal text", [](json& r) { r["ts"] = "1700000000"; }, true},
        {"ts as float", [](json& r) { r["ts"] = 1700000000.7; }, true},
        {"publicKey and signature names",
         [](json& r) {
             r["publicKey"] = r["pubkey"];
             r["signature"] = r["sig"];
             r.erase("pubkey");
             r.erase("sig");
         },
         true},
        {"pubkey not a string",
         [](json& r) {
             r["publicKey"] = r["pubkey"];
             r["pubkey"] = 5;
         },
         true},
        {"uncovered member", [](json& r) { r["pay"] = "1other"; }, true},
        {"channel equal to location", [](json& r) { r["channel"] = "CPHONE"; }, true},
        {"audio one character", [](json& r) { r["audio"] = "QUJDRQ=="; }, false},
        {"audio removed", [](json& r) { r.erase("audio"); }, false},
        {"n", [](json& r) { r["n"] = 4; }, false},
        {"kind", [](json& r) { r["kind"] = "tape"; }, false},
        {"id", [](json& r) { r["id"] = "0123456789abcdee"; }, false},
        {"codec", [](json& r) { r["codec"] = "pcm"; }, false},
        {"mark", [](json& r) { r["mark"] = "0-1"; }, false},
        {"ts", [](json& r) { r["ts"] = 1700000001; }, false},
        {"ts absent", [](json& r) { r.erase("ts"); }, false},
        {"channel", [](json& r) { r["channel"] = "lobby"; }, false},
        {"actor differs from handle", [](json& r) { r["actor"] = "bob"; }, false},
        {"handle differs from actor", [](json& r) { r["handle"] = "bob"; }, false},
        {"handle absent", [](json& r) { r.erase("handle"); }, false},
        {"actor absent", [](json& r) { r.erase("actor"); }, false},
        {"no channel at all", [](json& r) { r.erase("location"); }, false},
        {"protocol", [](json& r) { r["protocol"] = "CV-Chat"; }, false},
        {"protocol absent", [](json& r) { r.erase("protocol"); }, false},
        {"type of another app", [](json& r) { r["type"] = "message"; }, false},
        {"sig absent", [](json& r) { r.erase("sig"); }, false},
        {"sig of another text", [](json& r) { r["sig"] = identitySignWithKey(kIdentityPriv, "other").signature; },
         false},
        {"key of another signer", [](json& r) { r["pubkey"] = identitySignWithKey(kOtherPriv, "").publicKey; }, false},
        {"pubkey absent", [](json& r) { r.erase("pubkey"); }, false},
    };
    for (const auto& c : cases) {
        json record = good;
        c.change(record);
        EXPECT_EQ(verifyRecordSignature(record), c.holds) << c.what;
    }

    // Signed as such, a record with ts 0 or below is still refused.
    for (const json& ts : {json(0), json(-5), json("0"), json("soon")}) {
        json record = audioRecord();
        record["ts"] = ts;
        EXPECT_FALSE(verifyRecordSignature(signedWith(record))) << ts;
    }
    EXPECT_FALSE(verifyRecordSignature(json::array({good})));
    EXPECT_FALSE(verifyRecordSignature(json("text")));
}

// ---- verifying and signing against a local identity endpoint --------------

class RecordsAgainstService : public WalletFiles {
protected:
    HttpsTestServer server;
    std::mutex lock;
    std::string published; // the pubkey the service answers for alice
    std::atomic<int> lookups {0};

    void SetUp() override
    {
        WalletFiles::SetUp();
        clearIdentityKeyCache();
        server.http.Get(R"(/api/bsvalias/id/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
            ++lookups;
            std::lock_guard<std::mutex> guard(lock);
            if (req.path != "/api/bsvalias/id/alice@corvane.app" || published.empty()) {
                res.status = 404;
                res.set_content(R"({"error":"not registered"})", "application/json");
                return;
            }
            res.set_content(json {{"bsvalias", "1.0"}, {"pubkey", published}}.dump(), "application/json");
        });
        server.start();
        server.useServer();
    }
    void TearDown() override
    {
        clearIdentityKeyCache();
        WalletFiles::TearDown();
    }
    void publish(const std::string& key)
    {
        std::lock_guard<std::mutex> guard(lock);
        published = key;
        clearIdentityKeyCache();
    }
};

TEST_F(RecordsAgainstService, VerifyNeedsTheKeyTheServicePublishesForTheActor)
{
    json record = signedWith(audioRecord());
    record["paymail"] = "alice@corvane.app";

    publish("");
    EXPECT_FALSE(verifyRecord(record)); // not registered
    publish(identitySignWithKey(kOtherPriv, "").publicKey);
    EXPECT_FALSE(verifyRecord(record)); // another key
    publish(kIdentityPub);
    EXPECT_TRUE(verifyRecord(record));

    json elsewhere = record;
    elsewhere["paymail"] = "alice@other.test";
    EXPECT_FALSE(verifyRecord(elsewhere)); // the same name on another domain

    json tampered = record;
    tampered["audio"] = "QUJDRQ==";
    const int before = lookups;
    EXPECT_FALSE(verifyRecord(tampered));
    EXPECT_EQ(lookups, before); // a bad signature never reaches the service

    for (int i = 0; i < 5; ++i) EXPECT_TRUE(verifyRecord(record));
    EXPECT_EQ(lookups, before); // the key was cached
}

TEST_F(RecordsAgainstService, VerifiedSenderIsTheOneHandleFormOfTheSigner)
{
    publish(kIdentityPub);
    // A signer may spell its handle in any form the signature accepts; what
    // acts on the record sees one.
    const struct {
        const char* handle;
        const char* actor;
        const char* sender; // empty: refused
    } cases[] = {
        {"alice", "alice", "alice"},
        {"$alice", "$alice", "alice"},
        {" @Alice", "$ALICE", "alice"},
        {"$ALICE ", "alice", "alice"},
        {"\talice\r\n", "\v@alice", "alice"}, // control blanks, as the canonical text drops them
        {"$$alice", "$$alice", ""},           // no key is published for "$alice"
        {"bob", "bob", ""},                   // no key published for bob
        {"alice", "$bob", ""},                // actor and handle disagree
    };
    for (const auto& c : cases) {
        json record = audioRecord();
        record["handle"] = c.handle;
        record["actor"] = c.actor;
        EXPECT_EQ(verifiedSender(signedWith(record)), c.sender) << c.handle << " / " << c.actor;
    }
    json tampered = signedWith(audioRecord());
    tampered["n"] = 9;
    EXPECT_EQ(verifiedSender(tampered), "");
}

TEST_F(RecordsAgainstService, SignRecordFillsTheSignerFieldsAndChecksThemWithTheService)
{
    json record = audioRecord();
    std::string error;
    EXPECT_FALSE(signRecord(record, error));
    EXPECT_EQ(error, "Connect Tessera"); // no wallet

    writeWallet(phraseWallet());
    publish(kIdentityPub);
    record = json {{"protocol", "CV-Phone"}, {"type", "cp"},     {"location", "cphone"},     {"channel", ""},
                   {"handle", "alice"},      {"kind", "hangup"}, {"id", "0123456789abcdef"}, {"ts", "12"}};
    const int64_t before = platform::unixSeconds();
    ASSERT_TRUE(signRecord(record, error)) << error;
    EXPECT_EQ(record["actor"], "alice");
    EXPECT_EQ(record["paymail"], "alice@corvane.app");
    EXPECT_EQ(record["pubkey"], kIdentityPub);
    ASSERT_TRUE(record["ts"].is_number_integer()); // a text ts is replaced by the time of signing
    EXPECT_GE(record["ts"].get<int64_t>(), before);
    EXPECT_EQ(canonicalRecordText(record).rfind("CV1|cp|cphone|alice|alice|", 0), 0u);
    EXPECT_TRUE(verifySignedMessage(canonicalRecordText(record), kIdentityPub, record["sig"]));

    json numbered = audioRecord();
    numbered["ts"] = 1700000000;
    ASSERT_TRUE(signRecord(numbered, error)) << error;
    EXPECT_EQ(numbered["ts"], 1700000000);

    // The service publishes another key for alice: the wallet's signature is not trusted.
    publish(identitySignWithKey(kOtherPriv, "").publicKey);
    json refused = audioRecord();
    EXPECT_FALSE(signRecord(refused, error));
    EXPECT_EQ(error, "identity signature did not verify against corvane.app PKI");

    json notObject = json::array();
    EXPECT_FALSE(signRecord(notObject, error));
}

TEST_F(RecordsAgainstService, NoAliasMeansConnectTessera)
{
    writeWallet(R"({"version": 2, "mnemonic": ")" + kPhrase +
                R"(", "backup": true, "recv": [0,0,0,0,0,0], "show": 0, "identity": "", "address": "",
                   "paymail": "", "ord_avatar": {}, "ord_owned": [], "contacts": []})");
    json record = audioRecord();
    std::string error;
    EXPECT_FALSE(signRecord(record, error));
    EXPECT_EQ(error, "Connect Tessera");
    EXPECT_FALSE(record.contains("sig"));
}
