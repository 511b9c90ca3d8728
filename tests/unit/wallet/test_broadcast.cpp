// Broadcast against scripted services on a local HTTPS server: which answers
// of the service, WhatsOnChain and ARC count as sent, what the failures say,
// the fast submit's fallback and background resubmit, and payment delivery.
#include "platform/clock.h"
#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/coins.h"
#include "wallet/keys.h"
#include "https_test_server.h"
#include "wallet_files.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>

using namespace cv_tessera_wallet;
using json = nlohmann::json;

TEST(Markers, DuplicateConflictAndMissingInput)
{
    struct Case {
        std::string text;
        bool duplicate, conflict, missing;
    };
    const Case cases[] = {
        {"unexpected response code 500: 258: txn-mempool-conflict", true, true, false},
        {"257: txn-already-known", true, true, false},
        {"txn-already-in-mempool", true, true, false},
        {"already have transaction", true, false, false},
        {"TXN-ALREADY-KNOWN", false, true, false},
        {"error: broadcast failed: DOUBLE_SPEND_ATTEMPTED", false, true, false},
        {"double spend detected", false, true, false},
        {"SEEN_IN_ORPHAN_MEMPOOL", false, true, false},
        {"HTTP 462 \xE2\x80\x93 {\"extraInfo\":\"Missing inputs\"}", false, false, true},
        {"missing inputs", false, false, true},
        {"bad-txns-inputs-missingorspent", false, false, true},
        {"MISSING INPUTS", false, false, false},
        {"HTTP 503", false, false, false},
        {"", false, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(has_duplicate_marker(c.text), c.duplicate) << c.text;
        EXPECT_EQ(has_conflict_marker(c.text), c.conflict) << c.text;
        EXPECT_EQ(has_missing_input_marker(c.text), c.missing) << c.text;
    }
}

namespace {

struct Answer {
    int status = 200;
    std::string body;
};

// The service's submit, WhatsOnChain's raw-transaction post and lookups, and
// ARC, each answering what the test set.
class Services : public WalletFiles {
public:
    HttpsTestServer server;
    std::mutex mutex;
    Answer submit {503, ""};
    Answer chain {503, ""};
    Answer arc {503, ""};
    std::set<std::string> known; // txids the lookups find
    std::map<std::string, int> calls;
    std::vector<json> deliveries;

    void SetUp() override
    {
        WalletFiles::SetUp();
        reset_coin_state();
        set_confirm_spacing_ms(5);
        auto scripted = [this](const char* name, Answer Services::*answer) {
            return [this, name, answer](const httplib::Request&, httplib::Response& res) {
                std::lock_guard<std::mutex> lock(mutex);
                ++calls[name];
                res.status = (this->*answer).status;
                res.set_content((this->*answer).body, "application/json");
            };
        };
        server.http.Post("/oi/submit", scripted("submit", &Services::submit));
        server.http.Post("/v1/bsv/main/tx/raw", scripted("chain", &Services::chain));
        server.http.Post("/v1/tx", scripted("arc", &Services::arc));
        server.http.Get(
            R"(/v1/bsv/main/tx/([0-9a-f]{64})(/hex)?)", [this](const httplib::Request& req, httplib::Response& res) {
                std::lock_guard<std::mutex> lock(mutex);
                ++calls["lookup"];
                const std::string txid = req.matches[1];
                if (!known.count(txid)) {
                    res.status = 404;
                    res.set_content("Not Found", "text/plain");
                    return;
                }
                res.set_content(req.matches[2].length() ? "00" : json({{"txid", txid}}).dump(), "text/plain");
            });
        server.http.Post("/api/receive-tx/bob", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(mutex);
            deliveries.push_back(json::parse(req.body, nullptr, false));
            res.set_content("{}", "application/json");
        });
        server.start();
        server.useServer();
    }
    void TearDown() override
    {
        wait_for_background_posts(10000);
        set_confirm_spacing_ms(700);
        platform::setConfig(platform::Config {});
        reset_coin_state();
        WalletFiles::TearDown();
    }
    int count(const std::string& name)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return calls[name];
    }
    void set(Answer Services::*which, int status, const std::string& body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        this->*which = {status, body};
    }
    void know(const std::string& txid)
    {
        std::lock_guard<std::mutex> lock(mutex);
        known.insert(txid);
    }
};

Coin inputCoin()
{
    Coin c;
    c.txid = std::string(63, 'c') + "1";
    c.vout = 1;
    c.sats = 10000;
    c.hash160 = Bytes(20, 0x12);
    c.script_sig = {0x01, 0x02};
    return c;
}

const std::vector<Output> kOutputs = {{9000, p2pkh_locking_script(Bytes(20, 0x34))}};

std::string localTxid()
{
    return txid(serialize({inputCoin()}, kOutputs, false));
}

std::string localHex()
{
    return hex_encode(serialize({inputCoin()}, kOutputs, false));
}

const std::string kDash = " \xE2\x80\x93 ";

} // namespace

TEST_F(Services, ServiceAcceptanceIsEnough)
{
    set(&Services::submit, 200, R"({"ok": true, "txid": ")" + localTxid() + R"("})");
    EXPECT_EQ(broadcast_full({inputCoin()}, kOutputs), "success: " + localTxid());
    EXPECT_EQ(count("chain"), 0);
    EXPECT_TRUE(is_spent(inputCoin()));
    EXPECT_EQ(last_sent_txid(), localTxid());
}

TEST_F(Services, AnAlreadyKnownAnswerIsLookedUp)
{
    set(&Services::submit, 200, R"({"ok": false, "error": "257: txn-already-known"})");
    set(&Services::chain, 400, "unexpected response code 500: 257: txn-already-known");
    know(localTxid());
    EXPECT_EQ(broadcast_full({inputCoin()}, kOutputs), "success: " + localTxid());
    EXPECT_EQ(count("arc"), 0);
    EXPECT_TRUE(is_spent(inputCoin()));
}

TEST_F(Services, WhatsOnChainAcceptanceIsConfirmedByALookup)
{
    set(&Services::chain, 200, "\"" + localTxid() + "\"\n");
    know(localTxid());
    EXPECT_EQ(broadcast_full({inputCoin()}, kOutputs), "success: " + localTxid());
    EXPECT_GE(count("lookup"), 1);
    EXPECT_EQ(count("arc"), 0);
}

TEST_F(Services, FailuresCarryTheLastServiceText)
{
    struct Case {
        Answer chain, arc;
        bool seen;
        std::string result;
    };
    const std::string problem = json({{"detail", "Transaction is invalid because the inputs are non-existent or spent"},
                                      {"extraInfo", "Missing inputs"},
                                      {"status", 462}})
                                    .dump();
    const Case cases[] = {
        {{400, "unexpected response code 500: Missing inputs"},
         {462, problem},
         false,
         "error: broadcast failed: HTTP 462" + kDash + problem.substr(0, 120)},
        // WhatsOnChain took it and ARC took it, but no lookup ever saw it:
        // it may be on its way, so it is not called unsent.
        {{200, "\"" + localTxid() + "\""},
         {200, R"({"txStatus": "SEEN_ON_NETWORK"})"},
         false,
         "error: sent but not confirmed yet: " + localTxid()},
        {{503, ""},
         {200, R"({"txStatus": "SEEN_ON_NETWORK"})"},
         false,
         "error: sent but not confirmed yet: " + localTxid()},
        {{200, "\"" + localTxid() + "\""},
         {200, R"({"txStatus": "REJECTED", "extraInfo": "no"})"},
         false,
         "error: broadcast failed: no"},
        {{503, ""}, {200, R"({"txStatus": "MINED"})"}, true, "success: " + localTxid()},
        {{400, "unexpected response code 500: 258: txn-mempool-conflict"},
         {200, R"({"txStatus": "DOUBLE_SPEND_ATTEMPTED", "extraInfo": ""})"},
         false,
         "error: broadcast failed: DOUBLE_SPEND_ATTEMPTED"},
    };
    for (const Case& c : cases) {
        set(&Services::chain, c.chain.status, c.chain.body);
        set(&Services::arc, c.arc.status, c.arc.body);
        {
            std::lock_guard<std::mutex> lock(mutex);
            known.clear();
            if (c.seen) known.insert(localTxid());
        }
        const std::string result = broadcast_full({inputCoin()}, kOutputs);
        EXPECT_EQ(result, c.result);
    }
    EXPECT_TRUE(has_missing_input_marker("error: broadcast failed: HTTP 462" + kDash + problem.substr(0, 120)));

    Coin bad = inputCoin();
    bad.txid = "xyz";
    EXPECT_EQ(broadcast_full({bad}, kOutputs), "error: serialize failed.");
}

// A transaction a service took but no lookup saw may still be on its way:
// its inputs stay held for a while, so that the next payment does not spend
// them again.
TEST_F(Services, ATakenButUnseenTransactionHoldsItsInputsForAWhile)
{
    platform::setMockTime(1'700'000'000'000);
    set(&Services::chain, 200, "\"" + localTxid() + "\"");
    EXPECT_EQ(broadcast_full({inputCoin()}, kOutputs), "error: sent but not confirmed yet: " + localTxid());
    EXPECT_TRUE(is_held(inputCoin()));
    EXPECT_FALSE(is_usable(inputCoin()));
    EXPECT_FALSE(is_spent(inputCoin()));
    EXPECT_EQ(last_sent_txid(), localTxid());
    platform::advanceMockTime(10 * 60 * 1000);
    EXPECT_FALSE(is_held(inputCoin()));
    EXPECT_TRUE(is_usable(inputCoin()));
    platform::setMockTime(0);
}

// Services are believed only for the transaction we computed: one that names
// another txid has not taken ours.
TEST_F(Services, AServiceNamingAnotherTransactionIsNotBelieved)
{
    const std::string other = std::string(64, 'e');
    know(other);
    set(&Services::submit, 200, R"({"ok": true, "txid": ")" + other + "\"}");
    set(&Services::chain, 200, "\"" + other + "\"");
    set(&Services::arc, 200, R"({"txStatus": "MINED", "txid": ")" + other + "\"}");
    EXPECT_EQ(broadcast_full({inputCoin()}, kOutputs), "error: broadcast failed: arc named another transaction");
    EXPECT_FALSE(is_spent(inputCoin()));
    EXPECT_FALSE(is_held(inputCoin()));

    std::string txid_out, error;
    EXPECT_FALSE(fast_submit(localHex(), localTxid(), txid_out, error));
    EXPECT_EQ(error, "the service named another transaction");
    EXPECT_EQ(txid_out, "");
}

TEST_F(Services, ArcStatusesDecide)
{
    const std::string local = localTxid();
    const std::string other = std::string(64, 'e');
    std::string localUpper = local;
    for (char& ch : localUpper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    struct Case {
        Answer answer;
        bool ok;
        std::string txid_or_error;
    };
    const Case cases[] = {
        {{200, R"({"txStatus": "SEEN_IN_ORPHAN_MEMPOOL", "extraInfo": "parent unknown", "txid": ")" + other + "\"}"},
         false,
         "parent unknown"},
        {{200, R"({"txStatus": "MINED"})"}, true, local},
        {{200, R"({"txStatus": "STORED", "txid": ")" + std::string(64, 'E') + "\"}"},
         false,
         "arc named another transaction"},
        {{200, R"({"txStatus": "STORED", "txid": ")" + localUpper + "\"}"}, true, local},
        {{200, R"({"txStatus": "DOUBLE_SPEND_ATTEMPTED", "extraInfo": ""})"}, false, "DOUBLE_SPEND_ATTEMPTED"},
        {{200, R"({"txStatus": "SEEN_ON_NETWORK", "txid": "short"})"}, false, "arc did not return a txid"},
        {{200, R"({"txStatus": "QUEUED"})"}, false, "QUEUED"},
        {{200, R"({"txStatus": "QUEUED", "extraInfo": "waiting"})"}, false, "waiting"},
        {{200, R"({"title": "OK"})"}, false, "broadcast did not confirm"},
        {{200, "queued"}, false, "bad arc response"},
        {{465, R"({"title": "Fee too low"})"}, false, "HTTP 465" + kDash + R"({"title": "Fee too low"})"},
    };
    for (const Case& c : cases) {
        set(&Services::arc, c.answer.status, c.answer.body);
        std::string txid_out, error;
        EXPECT_EQ(arc_broadcast(localHex(), local, txid_out, error), c.ok) << c.answer.body;
        EXPECT_EQ(c.ok ? txid_out : error, c.txid_or_error) << c.answer.body;
    }
}

TEST_F(Services, FastSubmitFallsBackAndResubmitsInTheBackground)
{
    const std::string local = localTxid();
    std::string txid_out, error;

    set(&Services::submit, 200, R"({"ok": true, "txid": ")" + local + "\"}");
    EXPECT_TRUE(fast_submit(localHex(), local, txid_out, error));
    EXPECT_EQ(txid_out, local);

    // The service is down: WhatsOnChain takes it, and the service gets the
    // body again from the background.
    set(&Services::submit, 503, "");
    set(&Services::chain, 200, "\"" + local + "\"");
    const int before = count("submit");
    EXPECT_TRUE(fast_submit(localHex(), local, txid_out, error));
    EXPECT_EQ(txid_out, local);
    ASSERT_TRUE(wait_for_background_posts(10000));
    EXPECT_EQ(count("submit"), before + 2);
    EXPECT_EQ(count("lookup"), 0); // no confirmation on the fast path

    struct Case {
        Answer chain;
        bool ok;
        std::string error;
    };
    const Case cases[] = {
        {{400, "unexpected response code 500: 257: txn-already-known"}, true, ""},
        {{400, "already have it"}, true, ""},
        // Another transaction spends the coins: this one is not on the network.
        {{400, "unexpected response code 500: 258: txn-mempool-conflict"},
         false,
         "HTTP 400" + kDash + "unexpected response code 500: 258: txn-mempool-conflict"},
        {{400, "Missing inputs"}, false, "HTTP 400" + kDash + "Missing inputs"},
        {{502, "<html>bad gateway</html>"}, false, "HTTP 502"},
    };
    set(&Services::submit, 200, R"({"ok": false, "error": "refused"})");
    for (const Case& c : cases) {
        set(&Services::chain, c.chain.status, c.chain.body);
        EXPECT_EQ(fast_submit(localHex(), local, txid_out, error), c.ok) << c.chain.body;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(txid_out, c.ok ? local : "");
    }
}

TEST_F(Services, PaymentsAreDeliveredToHostsThatAskedForThem)
{
    writeWallet(phraseWallet());
    ASSERT_TRUE(load_wallet());
    const std::string bob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";
    Bytes bob_hash;
    decode_address(bob, bob_hash);
    add_pending_delivery({bob, "https://other.test/api/receive-tx/bob", "ref-1", "alice@corvane.app", 1});
    add_pending_delivery({bob, "https://other.test/api/receive-tx/bob", "ref-2", "alice@corvane.app", 2});
    ASSERT_EQ(pending_delivery_count(), 2u);

    const std::vector<Output> outputs = {{1, p2pkh_locking_script(bob_hash)}, {0, {0x00, 0x6A, 0x01, 0x41}}};
    const std::string hex = hex_encode(serialize({inputCoin()}, outputs, false));
    const std::string id = txid(serialize({inputCoin()}, outputs, false));
    deliver_payments(hex, "not a txid", outputs);
    EXPECT_EQ(pending_delivery_count(), 2u);
    deliver_payments(hex, id, outputs);
    ASSERT_TRUE(wait_for_background_posts(10000));
    EXPECT_EQ(pending_delivery_count(), 1u); // the 2-satoshi one waits for its own payment

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(deliveries.size(), 1u);
    const json& body = deliveries[0];
    EXPECT_EQ(body["hex"], hex);
    EXPECT_EQ(body["reference"], "ref-1");
    EXPECT_EQ(body["metadata"]["sender"], "alice@corvane.app");
    EXPECT_EQ(body["metadata"]["note"], "payment");
    EXPECT_EQ(body["metadata"]["pubkey"], wallet_view().identity_pub);
    EXPECT_EQ(recover_message_pubkey(id, body["metadata"]["signature"].get<std::string>()), wallet_view().identity_pub);
}
