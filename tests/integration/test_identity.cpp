// Identity keys and signed records against the devnet's service host: the
// lookup (a key published uncompressed is answered compressed, one request
// per paymail while cached, failures not cached), signRecord's self-check for
// wallets made by the Tessera stand-in, and records signed by another wallet
// (through kestrel-tool, which reads kestrel-config.json from the data folder).
#include "test_support.h"
#include "devnet_client.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "services/identity.h"
#include "services/signed_records.h"
#include "temp_folder.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/wait.h>

using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

json audioRecord(const std::string& handle)
{
    return {
        {"protocol", "CV-Phone"},   {"type", "cp"}, {"location", "cphone"}, {"handle", handle},       {"kind", "audio"},
        {"id", "0123456789abcdef"}, {"n", 1},       {"codec", "gsm"},       {"audio", "QUJDREVGR0g="}};
}

class IdentityOnDevnet : public ::testing::Test {
protected:
    TempDataFolder temp;
    Devnet devnet;

    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
        w::unload_wallet();
        kestrel::clearIdentityKeyCache();
    }
    void TearDown() override
    {
        w::unload_wallet();
        kestrel::clearIdentityKeyCache();
    }

    // Requests the service saw for alias's identity document so far.
    size_t identityRequests(const std::string& alias)
    {
        return devnet.requests("host=service&path=/api/bsvalias/id/" + alias).size();
    }

    std::string tesseraIdentity; // identity address of the last wallet made, as Tessera derives it

    // A phrase wallet made by the Tessera stand-in with that paymail alias;
    // answers its wallet file path.
    std::string tesseraWallet(const std::string& alias)
    {
        const CommandRun run = runTessera("create --paymail " + shellQuoted(alias), temp.root);
        const json& made = run.out;
        EXPECT_EQ(run.status, 0) << run.text;
        if (!made.is_object() || !made["id"].is_string() || !made["identity"].is_string()) return {};
        tesseraIdentity = made["identity"];
        return temp.corvane() + "/wallets/" + made["id"].get<std::string>() + "/wallet.json";
    }

    // Registers alias with pubkey on the service (no key: one is made);
    // answers the registered entry.
    json registerAlias(const std::string& alias, const std::string& pubkey = "", bool uncompressed = false)
    {
        json fields = json::object();
        if (!pubkey.empty()) fields["pubkey"] = pubkey;
        if (uncompressed) fields["uncompressed"] = true;
        long status = 0;
        const json entry = devnet.registerAlias(alias, fields, &status);
        EXPECT_EQ(status, 200) << entry.dump();
        return entry;
    }
};

} // namespace

TEST_F(IdentityOnDevnet, UncompressedPublishedKeyIsAnsweredCompressedAndCached)
{
    const std::string alias = freshAlias("uncomp");
    const json entry = registerAlias(alias, "", true);
    const std::string compressed = entry["pubkey"];
    ASSERT_EQ(compressed.size(), 66u);

    const size_t before = identityRequests(alias);
    EXPECT_EQ(kestrel::lookupIdentityKey(alias), compressed);
    EXPECT_EQ(identityRequests(alias), before + 1);
    // The published document really carries the long form.
    json document;
    ASSERT_TRUE(kestrel::fetchServiceJson("https://" + platform::config().service_domain + "/api/bsvalias/id/" + alias +
                                              "@" + platform::config().service_domain,
                                          document));
    EXPECT_EQ(document["pubkey"].get<std::string>().substr(0, 2), "04");

    std::string upper = alias;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const size_t cached = identityRequests(alias);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(kestrel::lookupIdentityKey("$" + upper, alias + "@" + platform::config().service_domain), compressed);
        EXPECT_TRUE(kestrel::keyMatchesIdentity(alias, compressed));
    }
    EXPECT_EQ(identityRequests(alias), cached);
}

TEST_F(IdentityOnDevnet, FailedLookupsAreNotCached)
{
    const std::string alias = freshAlias("late");
    EXPECT_EQ(kestrel::lookupIdentityKey(alias), ""); // not registered yet: 404
    devnet.control("POST", "/control/fault",
                   {{"host", "service"}, {"path", "/api/bsvalias/id/" + alias}, {"kind", "status"}, {"status", 503}});
    const json entry = registerAlias(alias);
    EXPECT_EQ(kestrel::lookupIdentityKey(alias), ""); // 503 once
    EXPECT_EQ(kestrel::lookupIdentityKey(alias), entry["pubkey"]);
    EXPECT_EQ(identityRequests(alias), 3u);
}

TEST_F(IdentityOnDevnet, SignRecordSelfCheckPassesForTheRegisteredIdentity)
{
    const std::string alias = freshAlias("signer");
    const std::string file = tesseraWallet(alias);
    ASSERT_TRUE(w::load_wallet_from(file));
    const std::string identity = w::wallet_view().identity_pub;
    ASSERT_EQ(identity.size(), 66u);
    EXPECT_EQ(w::wallet_view().identity_address, tesseraIdentity); // both derive the same identity key
    registerAlias(alias, identity);

    json record = audioRecord(alias);
    std::string error;
    ASSERT_TRUE(kestrel::signRecord(record, error)) << error;
    EXPECT_EQ(record["actor"], alias);
    EXPECT_EQ(record["paymail"], alias + "@" + platform::config().service_domain);
    EXPECT_EQ(record["pubkey"], identity);
    EXPECT_TRUE(kestrel::verifyRecord(record));
}

TEST_F(IdentityOnDevnet, SignRecordRefusesWhenTheServicePublishesAnotherKey)
{
    const std::string alias = freshAlias("mismatch");
    const std::string file = tesseraWallet(alias);
    ASSERT_TRUE(w::load_wallet_from(file));
    const json entry = registerAlias(alias); // a key of the devnet's making
    ASSERT_NE(entry["pubkey"], w::wallet_view().identity_pub);

    json record = audioRecord(alias);
    std::string error;
    EXPECT_FALSE(kestrel::signRecord(record, error));
    EXPECT_EQ(error, "identity signature did not verify against " + platform::config().service_domain + " PKI");
}

TEST_F(IdentityOnDevnet, RecordSignedByAnotherWalletVerifies)
{
    // Another wallet signs in another process: kestrel-tool with the devnet's
    // configuration in its data folder.
    const std::string alias = freshAlias("caller");
    const std::string file = tesseraWallet(alias);
    ASSERT_TRUE(w::load_wallet_from(file));
    registerAlias(alias, w::wallet_view().identity_pub);
    w::unload_wallet();
    ASSERT_TRUE(devnet.writeConfig(temp.corvane()));
    const std::string recordFile = temp.root + "/record.json";
    ASSERT_TRUE(platform::replaceFileAtomically(recordFile, audioRecord(alias).dump()));

    const CommandRun signing =
        runTool("sign-record --wallet " + shellQuoted(file) + " --file " + shellQuoted(recordFile), temp.root);
    ASSERT_EQ(signing.status, 0) << signing.text;
    const json& answer = signing.out;
    ASSERT_TRUE(answer.is_object() && answer["record"].is_object()) << signing.text;
    const json record = answer["record"];

    EXPECT_TRUE(kestrel::verifyRecord(record));
    json tampered = record;
    tampered["audio"] = "QUJDREVGR0k=";
    EXPECT_FALSE(kestrel::verifyRecord(tampered));
    json otherActor = record;
    otherActor["actor"] = otherActor["handle"] = freshAlias("someone");
    EXPECT_FALSE(kestrel::verifyRecord(otherActor));

    const auto verifyWithTool = [&] {
        return runTool("verify-record --file " + shellQuoted(recordFile), temp.root).out;
    };
    ASSERT_TRUE(platform::replaceFileAtomically(recordFile, record.dump()));
    EXPECT_EQ(verifyWithTool(), (json {{"signed", true}, {"valid", true}}));
    ASSERT_TRUE(platform::replaceFileAtomically(recordFile, tampered.dump()));
    EXPECT_EQ(verifyWithTool(), (json {{"signed", false}, {"valid", false}}));
}
