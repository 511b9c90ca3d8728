// The chain watch against the devnet: bob's phone runs in this process on a
// moved clock, alice sends it records with kestrel-tool from a data folder
// of her own, and the devnet's request log shows which service the watch
// asked. Passes are driven one at a time; nothing sleeps.
#include "spend_fixture.h"
#include "test_support.h"

#include "calls/call_state.h"
#include "calls/chain_watch.h"
#include "event_recorder.h"
#include "phone/phone_store.h"
#include "platform/clock.h"
#include "services/identity.h"

#include <gtest/gtest.h>

#include <mutex>
#include <random>

using json = nlohmann::json;
using namespace kestrel;

namespace {

const std::string kCallId = "0123456789abcdef";

struct Handled {
    std::string kind;
    std::string txid;
    std::string from;
    bool live = false;
};

class WatchOnDevnet : public SpendOnDevnet {
protected:
    void SetUp() override
    {
        // Alice's folder was made last and took LOCALAPPDATA: bob's phone lives in the fixture's.
        ::setenv("LOCALAPPDATA", temp.root.c_str(), 1);
        SpendOnDevnet::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(devnet.writeConfig(aliceFolder.corvane()));
        alice = makePhoneWallet(devnet, "alice", aliceFolder.root);
        bob = makePhoneWallet(devnet, "bob", temp.root);
        fund({20000}, alice.receive);
        use({bob.id, bob.receive, ""});
        platform::setMockTime(platform::unixMillis());
        resetChainWatch();
        installRecordHandler([this](const json& record, bool live, const std::string& txid, int64_t ts) {
            RecordOutcome outcome = verifyOnlyHandler(record, live, txid, ts);
            outcome.busy = answerBusy;
            std::lock_guard lock(handledMutex);
            handled.push_back({record.value("kind", ""), txid, outcome.from, live});
            return outcome;
        });
    }

    void TearDown() override
    {
        installRecordHandler({});
        {
            platform::LockGuard lock(stateMutex());
            callFields() = CallFields {};
        }
        resetChainWatch();
        clearIdentityKeyCache();
        platform::setMockTime(0);
        SpendOnDevnet::TearDown();
    }

    // Alice sends bob a record of kind; answers its txid.
    std::string sendToBob(const std::string& kind)
    {
        const CommandRun run =
            runTool("send-record --to " + bob.alias + " --kind " + kind + " --id " + kCallId, aliceFolder.root);
        EXPECT_EQ(run.status, 0) << run.text;
        const std::string txid = run.out.is_object() ? run.out.value("txid", "") : "";
        EXPECT_EQ(txid.size(), 64u) << run.text;
        return txid;
    }

    std::vector<Handled> handledSoFar()
    {
        std::lock_guard lock(handledMutex);
        return handled;
    }

    // Polls until txid was handed on, moving the clock past any retry time
    // (a loaded machine may miss a request's time limit once); at most a few passes.
    void pollUntilHandled(const std::string& txid, size_t times = 1)
    {
        for (int pass = 0; pass < 5 && timesHandled(txid) < times; ++pass) {
            if (pass > 0) platform::advanceMockTime(3000);
            pollPass();
        }
    }

    size_t timesHandled(const std::string& txid)
    {
        size_t n = 0;
        for (const Handled& h : handledSoFar()) n += h.txid == txid;
        return n;
    }

    void setState(CallState state)
    {
        platform::LockGuard lock(stateMutex());
        callFields().state = state;
    }

    // The requests the devnet saw for exactly path.
    std::vector<json> pathsSeen(const std::string& path) const
    {
        std::vector<json> seen;
        for (const json& r : devnet.requests("path=" + path))
            if (r.value("path", "") == path) seen.push_back(r);
        return seen;
    }

    static std::string randomTxid()
    {
        static std::mt19937_64 random {std::random_device {}()};
        static const char digits[] = "0123456789abcdef";
        std::string txid;
        for (int i = 0; i < 64; ++i) txid += digits[random() % 16];
        return txid;
    }

    void serviceFault(const std::string& path, const json& fault)
    {
        json body = fault;
        body["host"] = "service";
        body["path"] = path;
        addFault(body);
    }

    TempDataFolder aliceFolder;
    PhoneWallet alice, bob;
    std::mutex handledMutex;
    std::vector<Handled> handled;
    bool answerBusy = false;
};

} // namespace

TEST_F(WatchOnDevnet, ARecordIsHandedOnOnceThroughTheService)
{
    const std::string txid = sendToBob("invite");
    // The chain API cannot serve it: only the service path can hand it on.
    chainFault("/tx/" + txid, {{"kind", "status"}, {"status", 500}, {"count", "always"}});
    EventRecorder recorder;
    pollUntilHandled(txid);
    pollPass();
    ASSERT_EQ(timesHandled(txid), 1u);
    const Handled h = handledSoFar().front();
    EXPECT_EQ(h.kind, "invite");
    EXPECT_EQ(h.from, alice.alias);
    EXPECT_TRUE(h.live);
    EXPECT_EQ(pathsSeen("/oi/tx/" + txid).size(), 1u);

    std::vector<platform::Event> records = recorder.ofKind(platform::EventKind::Record);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "invite");
    EXPECT_EQ(records[0].fields, (std::vector<std::string> {alice.alias, kCallId, txid, "1"}));
}

TEST_F(WatchOnDevnet, DuringACallTheChainApiIsNeverAsked)
{
    const std::string txid = sendToBob("invite");
    serviceFault("/oi/tx/" + txid, {{"kind", "status"}, {"status", 404}, {"count", "always"}});
    const size_t chainAsked = pathsSeen("/v1/bsv/main/tx/" + txid).size();
    setState(CallState::Connected);
    const int64_t start = platform::tickMillis();
    pollPass();
    EXPECT_EQ(retryTick(txid), start + 400);
    platform::advanceMockTime(400);
    pollPass();
    EXPECT_EQ(timesHandled(txid), 0u);
    EXPECT_EQ(pathsSeen("/oi/tx/" + txid).size(), 2u); // retried every 400 ms
    EXPECT_EQ(pathsSeen("/v1/bsv/main/tx/" + txid).size(), chainAsked);

    setState(CallState::Idle); // idle again: the chain API reads it
    platform::advanceMockTime(400);
    pollPass();
    EXPECT_EQ(timesHandled(txid), 1u);
    EXPECT_GT(pathsSeen("/v1/bsv/main/tx/" + txid).size(), chainAsked);
}

TEST_F(WatchOnDevnet, AnOracleErrorSilencesItForThirtySeconds)
{
    serviceFault("/oi/oracle/cphone/txids", {{"kind", "body"}, {"body", {{"error", "rate"}}}, {"count", "always"}});
    for (int pass = 0; pass < 5 && oracleBackoffSlot().load() <= platform::tickMillis(); ++pass) pollPass();
    ASSERT_EQ(oracleBackoffSlot().load(), platform::tickMillis() + 30'000);
    const size_t before = pathsSeen("/oi/oracle/cphone/txids").size();
    platform::advanceMockTime(29'999);
    pollPass();
    EXPECT_EQ(pathsSeen("/oi/oracle/cphone/txids").size(), before);
    platform::advanceMockTime(1);
    pollPass();
    EXPECT_EQ(pathsSeen("/oi/oracle/cphone/txids").size(), before + 1);
}

TEST_F(WatchOnDevnet, TenNewTxidsAreReadFourAPassOldestFirst)
{
    std::vector<std::string> listed;
    for (int i = 0; i < 10; ++i) listed.push_back(randomTxid());
    serviceFault("/oi/oracle/cphone/txids", {{"kind", "body"}, {"body", {{"txids", listed}}}, {"count", 2}});
    auto readSoFar = [&] {
        std::vector<std::string> read;
        for (const json& r : devnet.requests("path=/oi/tx/"))
            for (const std::string& txid : listed)
                if (r.value("path", "") == "/oi/tx/" + txid) read.push_back(txid);
        return read;
    };
    pollPass();
    EXPECT_EQ(readSoFar(), (std::vector<std::string> {listed[9], listed[8], listed[7], listed[6]}));
    pollPass(); // the first four wait for their retry time
    EXPECT_EQ(readSoFar(), (std::vector<std::string> {listed[9], listed[8], listed[7], listed[6], listed[5], listed[4],
                                                      listed[3], listed[2]}));
}

TEST_F(WatchOnDevnet, ATruncatedOutputIsReadFromTheRawHex)
{
    const std::string txid = sendToBob("hangup");
    serviceFault("/oi/tx/" + txid, {{"kind", "status"}, {"status", 404}, {"count", "always"}});
    const json truncated = {
        {"txid", txid},
        {"vout",
         {{{"n", 0}, {"value", 0}, {"scriptPubKey", {{"hex", "006a4d"}, {"asm", ""}, {"isTruncated", true}}}}}}};
    chainFault("/tx/" + txid, {{"kind", "body"}, {"body", truncated}});
    pollPass();
    EXPECT_EQ(timesHandled(txid), 0u);
    EXPECT_TRUE(fetchPass());
    EXPECT_FALSE(fetchPass()); // queued once
    EXPECT_EQ(timesHandled(txid), 1u);
    EXPECT_EQ(pathsSeen("/v1/bsv/main/tx/" + txid + "/hex").size(), 1u);
}

TEST_F(WatchOnDevnet, AChangedHandleClearsTheDoneSet)
{
    const std::string txid = sendToBob("invite");
    pollUntilHandled(txid);
    ASSERT_EQ(timesHandled(txid), 1u);
    {
        platform::LockGuard lock(stateMutex());
        phoneState().ownHandle = "somebody-else";
    }
    pollUntilHandled(txid, 2); // the wallet's handle differs from the remembered one
    EXPECT_EQ(timesHandled(txid), 2u);
}

TEST_F(WatchOnDevnet, ABusyAnswerReadsTheRecordAgainAfterTwoSeconds)
{
    answerBusy = true;
    const std::string txid = sendToBob("invite");
    pollUntilHandled(txid);
    ASSERT_EQ(timesHandled(txid), 1u);
    EXPECT_EQ(retryTick(txid), platform::tickMillis() + 2000);
    platform::advanceMockTime(1999);
    pollPass();
    EXPECT_EQ(timesHandled(txid), 1u);
    platform::advanceMockTime(1);
    pollPass();
    EXPECT_EQ(timesHandled(txid), 2u);
}

TEST_F(WatchOnDevnet, ThrottledAnswersSetTheirBackoff)
{
    const std::string txid = randomTxid();
    const struct {
        const char* what;
        std::function<void()> fault;
        std::function<void()> step;
        BackoffSlot& slot;
        int64_t ms;
    } cases[] = {
        {"oracle 429",
         [&] {
             serviceFault("/oi/oracle/cphone/txids", {{"kind", "status"}, {"status", 429}});
         },
         [&] { oraclePoll(bob.receive); }, oracleBackoffSlot(), 2000},
        {"unconfirmed history 503",
         [&] {
             chainFault("/address/" + bob.receive + "/unconfirmed/history", {{"kind", "status"}, {"status", 503}});
         },
         [&] { unconfirmedHistoryScan(bob.receive); }, unconfirmedBackoffSlot(), 2000},
        {"service transaction 429",
         [&] {
             serviceFault("/oi/tx/" + txid, {{"kind", "status"}, {"status", 429}});
         },
         [&] { readTransaction(txid); }, chainBackoffSlot(), 8000},
        {"chain history 503",
         [&] {
             chainFault("/address/" + bob.receive + "/history", {{"kind", "status"}, {"status", 503}});
         },
         [&] { confirmedHistoryScan(bob.receive); }, chainBackoffSlot(), 8000},
    };
    for (const auto& c : cases) {
        resetChainWatch();
        c.fault();
        c.step();
        EXPECT_EQ(c.slot.load(), platform::tickMillis() + c.ms) << c.what;
    }
}
