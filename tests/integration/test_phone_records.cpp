// Phone records between two wallets on the devnet: one sends a sealed,
// signed record to the other's address; the other finds it through the
// service's decoded transaction, the chain API's and the raw hex, opens it
// with its identity key and verifies it against the key the service
// publishes. Also the sender's status lines, hold mark and call totals, and
// the same round trip through kestrel-tool in two data folders.
#include "test_support.h"
#include "spend_fixture.h"

#include "phone/phone_store.h"
#include "calls/call_state.h"
#include "calls/chain_watch.h"
#include "calls/phone_records.h"
#include "platform/data_folder.h"
#include "platform/service_host.h"
#include "services/identity.h"
#include "services/paymail_claim.h"
#include "services/paymail_resolution.h"
#include "services/signed_records.h"
#include "wallet/web_client.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/wait.h>
#include <thread>

using json = nlohmann::json;
namespace w = cv_tessera_wallet;
using namespace kestrel;

namespace {

const std::string kCallId = "0123456789abcdef";

std::string statusText()
{
    platform::LockGuard lock(stateMutex());
    return phoneState().statusText;
}

class RecordsOnDevnet : public SpendOnDevnet {
protected:
    PhoneWallet phoneWallet(const std::string& stem, const std::string& root)
    {
        return makePhoneWallet(devnet, stem, root);
    }

    // Makes wallet the loaded one and the phone's own identity, calling peer.
    void callAs(const PhoneWallet& own, const PhoneWallet& peer)
    {
        TesseraWallet tw {own.id, own.receive, ""};
        use(tw);
        resolveOwnPaymail(false);
        ASSERT_EQ(ownAlias(), own.alias);
        std::string error;
        const std::string address = resolveRecipient(peer.alias, ownPaymail(), error);
        ASSERT_EQ(address, peer.receive) << error;
        const std::string key = lookupIdentityKey(peer.alias);
        ASSERT_EQ(key, peer.identityPub);
        platform::LockGuard lock(stateMutex());
        phoneState().ownHandle = own.alias;
        phoneState().statusText.clear();
        CallFields& call = callFields();
        call = CallFields {};
        call.state = CallState::Calling;
        call.ownPaymentAddress = own.receive;
        call.callId = kCallId;
        call.peerHandle = peer.alias;
        call.peerPaymentAddress = address;
        call.peerPublicKey = key;
    }

    void TearDown() override
    {
        {
            platform::LockGuard lock(stateMutex());
            callFields() = CallFields {};
            doneTxids().clear();
        }
        clearIdentityKeyCache();
        SpendOnDevnet::TearDown();
    }

    // The payload found through each read path, in order: service, chain API, raw hex.
    std::vector<std::string> readPaths(const std::string& txid)
    {
        std::vector<std::string> payloads;
        std::string body, error;
        EXPECT_TRUE(w::web_get_plain(platform::serviceHostUrl(platform::decodedTxPath(txid)), body, error)) << error;
        payloads.push_back(extractFromTxJson(json::parse(body, nullptr, false)));
        const std::string chainTx = platform::config().chain_api + "/tx/" + txid;
        EXPECT_TRUE(w::web_get_plain(chainTx, body, error)) << error;
        payloads.push_back(extractFromTxJson(json::parse(body, nullptr, false)));
        EXPECT_TRUE(w::web_get_plain(chainTx + "/hex", body, error)) << error;
        payloads.push_back(extractFromRawTx(body));
        return payloads;
    }
};

} // namespace

TEST_F(RecordsOnDevnet, SentRecordIsFoundOpenedAndVerifiedThroughEveryReadPath)
{
    const PhoneWallet alice = phoneWallet("alice", temp.root);
    const PhoneWallet bob = phoneWallet("bob", temp.root);
    callAs(alice, bob);
    fund({5000}, alice.receive);

    // A resend carries the time of the first send; it is signed afresh.
    json record = {{"kind", "hangup"}, {"id", kCallId}, {"ts", 1700000000}};
    const int64_t before = platform::unixSeconds();
    ASSERT_TRUE(sendPhoneRecord(bob.receive, record, 1, true)) << statusText();
    EXPECT_EQ(statusText(), "");
    EXPECT_GE(recordInteger(record, "ts"), before);
    EXPECT_EQ(record["protocol"], "CV-Phone");
    EXPECT_EQ(record["handle"], alice.alias);
    EXPECT_EQ(record["pay"], alice.receive);
    EXPECT_EQ(record["pubkey"], alice.identityPub);

    std::string txid;
    int64_t spent = 0;
    {
        platform::LockGuard lock(stateMutex());
        txid = callFields().callTxid;
        spent = callFields().satoshisSpent;
        EXPECT_EQ(doneTxids().count(txid), 1u);
    }
    ASSERT_EQ(txid.size(), 64u);
    const w::Transaction tx = chainTx(txid);
    ASSERT_EQ(tx.outputs.size(), 4u);
    EXPECT_EQ(p2pkhAddressOf(tx.outputs[0]), bob.receive);
    EXPECT_EQ(tx.outputs[0].sats, 1);
    EXPECT_EQ(p2pkhAddressOf(tx.outputs[1]), platform::config().message_fee_address);
    EXPECT_EQ(tx.outputs[2].sats, 0);
    int64_t out = 0;
    for (const w::Output& o : tx.outputs) out += o.sats;
    EXPECT_EQ(spent, 5000 - out); // the fee the send reported

    const std::vector<std::string> payloads = readPaths(txid);
    const std::string& payload = payloads[0];
    EXPECT_EQ(payloads[1], payload);
    EXPECT_EQ(payloads[2], payload);
    ASSERT_EQ(payload.rfind("{\"enc_v\":4,\"location\":\"cphone\",\"pmessage1\":\"", 0), 0u) << payload;
    size_t at = 0;
    for (const char* key : {"\"enc_v\"", "\"location\"", "\"pmessage1\"", "\"protocol\"", "\"ts\"", "\"type\""}) {
        const size_t next = payload.find(key);
        ASSERT_NE(next, std::string::npos) << key;
        EXPECT_GE(next, at) << key;
        at = next;
    }

    // Alice cannot read what she sealed to Bob.
    EXPECT_EQ(openEnvelope(payload).outcome, EnvelopeOutcome::Ignored);

    use({bob.id, bob.receive, ""});
    const OpenedEnvelope opened = openEnvelope(payload);
    ASSERT_EQ(opened.outcome, EnvelopeOutcome::Opened);
    EXPECT_EQ(opened.record, record);
    EXPECT_TRUE(isLiveRecord(opened.ts, platform::unixSeconds()));
    EXPECT_TRUE(isLiveEnvelope(opened, platform::unixSeconds()));
    EXPECT_TRUE(verifyRecord(opened.record));
    EXPECT_EQ(verifiedSender(opened.record), alice.alias);
    json forged = opened.record;
    forged["kind"] = "accept";
    EXPECT_FALSE(verifyRecord(forged));
}

TEST_F(RecordsOnDevnet, SenderStatusHoldMarkAndCallTotals)
{
    const PhoneWallet alice = phoneWallet("alice", temp.root);
    const PhoneWallet bob = phoneWallet("bob", temp.root);
    callAs(alice, bob);

    // No key to seal to.
    {
        platform::LockGuard lock(stateMutex());
        callFields().peerPublicKey.clear();
    }
    json record = {{"kind", "invite"}, {"id", kCallId}};
    EXPECT_FALSE(sendPhoneRecord(bob.receive, record, 1, true));
    EXPECT_EQ(statusText(), "Could not seal.");
    {
        platform::LockGuard lock(stateMutex());
        callFields().peerPublicKey = bob.identityPub;
    }

    // No coin at all: a hold, marked on this thread only.
    clearHoldMark();
    record = {{"kind", "invite"}, {"id", kCallId}};
    EXPECT_FALSE(sendPhoneRecord(bob.receive, record, 1, true));
    EXPECT_EQ(statusText(), "Holding. Waiting for a coin to clear.");
    EXPECT_TRUE(holdMark());
    bool otherThread = true;
    std::thread([&] { otherThread = holdMark(); }).join();
    EXPECT_FALSE(otherThread);

    // The spend's own error text.
    fund({3000, 3000}, alice.receive);
    record = {{"kind", "invite"}, {"id", kCallId}};
    EXPECT_FALSE(sendPhoneRecord("1NotAnAddress", record, 1, true));
    EXPECT_EQ(statusText(), "error: phone address decode failed.");

    // Two records: the call keeps the first txid and adds both fees.
    record = {{"kind", "invite"}, {"id", kCallId}};
    ASSERT_TRUE(sendPhoneRecord(bob.receive, record, 1, true)) << statusText();
    EXPECT_FALSE(holdMark());
    std::string first;
    int64_t afterFirst = 0;
    {
        platform::LockGuard lock(stateMutex());
        first = callFields().callTxid;
        afterFirst = callFields().satoshisSpent;
    }
    record = {{"kind", "hangup"}, {"id", kCallId}};
    ASSERT_TRUE(sendPhoneRecord(bob.receive, record, 1, true)) << statusText();
    platform::LockGuard lock(stateMutex());
    EXPECT_EQ(callFields().callTxid, first);
    EXPECT_GT(afterFirst, 0);
    EXPECT_GT(callFields().satoshisSpent, afterFirst);
    EXPECT_EQ(doneTxids().size(), 2u);
    EXPECT_EQ(doneTxids().count(first), 1u);
}

// The same through kestrel-tool, each wallet in a data folder of its own.
TEST_F(RecordsOnDevnet, ToolSendsAndReadsBetweenTwoDataFolders)
{
    // The fixture's folder holds the fixture's own wallet too, and a folder
    // with one wallet is bound at once: each side gets a fresh folder.
    TempDataFolder aliceOnly, bobOnly;
    for (const TempDataFolder* folder : {&aliceOnly, &bobOnly}) ASSERT_TRUE(devnet.writeConfig(folder->corvane()));
    const PhoneWallet alice = phoneWallet("alice", aliceOnly.root);
    const PhoneWallet bob = phoneWallet("bob", bobOnly.root);
    fund({5000}, alice.receive);

    const CommandRun resolved = runTool("resolve --to " + shellQuoted(" @" + bob.alias), aliceOnly.root);
    EXPECT_EQ(resolved.out, (json {{"address", bob.receive}}));
    EXPECT_EQ(resolved.status, 0);

    const CommandRun sending =
        runTool("send-record --to " + bob.alias + " --kind invite --id " + kCallId, aliceOnly.root);
    const json& sent = sending.out;
    ASSERT_TRUE(sent.is_object());
    EXPECT_EQ(sending.status, 0) << sent.dump();
    EXPECT_EQ(sent["sent"], true) << sent.dump();
    EXPECT_EQ(sent["status"], "");
    const std::string txid = sent.value("txid", "");
    ASSERT_EQ(txid.size(), 64u);

    for (const char* via : {"service", "chain", "hex"}) {
        const CommandRun reading = runTool("read-tx --txid " + txid + " --via " + via, bobOnly.root);
        const json& read = reading.out;
        ASSERT_TRUE(read.is_object()) << via;
        EXPECT_EQ(reading.status, 0) << via << read.dump();
        EXPECT_EQ(read["verified"], true) << via;
        EXPECT_EQ(read["from"], alice.alias) << via;
        EXPECT_EQ(read["live"], true) << via;
        EXPECT_EQ(read["record"]["kind"], "invite") << via;
        EXPECT_EQ(read["record"]["id"], kCallId) << via;
        EXPECT_EQ(read["record"]["handle"], alice.alias) << via;
        EXPECT_EQ(read["record"]["pay"], alice.receive) << via;
    }
    const CommandRun foreign = runTool("read-tx --txid " + txid, aliceOnly.root);
    EXPECT_EQ(foreign.status, 1);
    EXPECT_EQ(foreign.out, (json {{"error", "the phone record does not open with this wallet's identity key"}}));

    const CommandRun unknownRun =
        runTool("send-record --to " + freshAlias("nobody") + " --kind hangup --id " + kCallId, bobOnly.root);
    const json& unknown = unknownRun.out;
    EXPECT_EQ(unknownRun.status, 1);
    EXPECT_EQ(unknown["sent"], false);
    EXPECT_EQ(unknown["status"].get<std::string>().rfind("could not resolve ", 0), 0u) << unknown.dump();
}
