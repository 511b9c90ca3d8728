// Broadcast failures against the devnet: coins spent behind the wallet's
// back (in the mempool, or in a block) are recovered from by picking other
// coins, ARC's refusals and statuses decide, and the fast submit gets a
// payload out while the service is unreachable.
//
// These tests reach ARC, whose faults are shared by every test; the file
// name puts them under one resource lock (tests/integration/CMakeLists.txt).
#include "spend_fixture.h"

#include "services/paymail_resolution.h"
#include "wallet/broadcast.h"
#include "wallet/building.h"
#include "wallet/phone_spend.h"
#include "wallet/spend.h"

using namespace cv_tessera_wallet;
using json = nlohmann::json;

namespace {

const std::string kBob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";

} // namespace

class BroadcastFaults : public SpendOnDevnet {
protected:
    Coin inputOf(const std::string& result)
    {
        const Transaction tx = chainTx(txidOf(result));
        Coin c;
        if (tx.inputs.size() == 1) {
            c.txid = tx.inputs[0].txid;
            c.vout = tx.inputs[0].vout;
        }
        return c;
    }
};

TEST_F(BroadcastFaults, SpendRecoversFromADoubleSpendWithAnotherCoin)
{
    const std::vector<Coin> coins = fund({6000, 7000});
    const std::string rival = spendBehindItsBack(coins[0]);
    ASSERT_EQ(devnet.txStatus(rival), "mempool");
    lagBehind(coins);

    const std::string result = spend(kBob, 5000, "");
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_EQ(outpoint(inputOf(result)), outpoint(coins[1]));
    EXPECT_TRUE(is_spent(coins[0]));
    EXPECT_EQ(devnet.txStatus(txidOf(result)), "mempool");
}

TEST_F(BroadcastFaults, PhoneSendsRecoverFromMissingInputsInBothModes)
{
    const std::vector<Coin> coins = fund({3000, 4000, 5000});
    spendBehindItsBack(coins[0]);
    spendBehindItsBack(coins[1]);
    devnet.mine();
    lagBehind(coins);

    // Fast mode: WhatsOnChain's text unchanged.
    const std::string fast = phone_send(kBob, "one", 100, false);
    EXPECT_NE(fast.find("Missing inputs"), std::string::npos) << fast;
    EXPECT_EQ(fast.rfind("HTTP 400", 0), 0u) << fast;
    EXPECT_TRUE(is_spent(coins[0]));

    // Synchronous mode: every service refuses, ARC last.
    const std::string sync = phone_send(kBob, "two", 100, true);
    EXPECT_EQ(sync.rfind("error: broadcast failed: HTTP 462", 0), 0u) << sync;
    EXPECT_TRUE(has_missing_input_marker(sync)) << sync;
    EXPECT_TRUE(is_spent(coins[1]));

    const std::string third = phone_send(kBob, "three", 100, false);
    ASSERT_EQ(third.rfind("success: ", 0), 0u) << third;
    EXPECT_EQ(outpoint(inputOf(third)), outpoint(coins[2]));
}

TEST_F(BroadcastFaults, ArcStatusesFromTheBroadcaster)
{
    const std::vector<Coin> coins = fund({4000, 4000});
    Bytes bob, change;
    decode_address(kBob, bob);
    decode_address(wallet.receive, change);
    auto signedHex = [&](Coin coin, std::string& id) {
        coin.hash160 = change;
        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = 0;
        std::string error;
        build_payment({coin}, inputs, outputs, bob, change, 1000, "", fee, error);
        sign_inputs(inputs, outputs);
        const Bytes raw = serialize(inputs, outputs, false);
        id = txid(raw);
        return hex_encode(raw);
    };

    std::string id, txid_out, error;
    const std::string orphan = signedHex(coins[0], id);
    devnet.control("POST", "/control/fault",
                   {{"host", "arc"},
                    {"kind", "arc_status"},
                    {"txStatus", "SEEN_IN_ORPHAN_MEMPOOL"},
                    {"extraInfo", "parent transaction not found"}});
    EXPECT_FALSE(arc_broadcast(orphan, id, txid_out, error));
    EXPECT_EQ(error, "parent transaction not found");
    EXPECT_EQ(devnet.txStatus(id), "unknown");

    const std::string mined = signedHex(coins[1], id);
    devnet.control(
        "POST", "/control/fault",
        {{"host", "arc"}, {"kind", "arc_status"}, {"txStatus", "MINED"}, {"omitTxid", true}, {"admit", true}});
    EXPECT_TRUE(arc_broadcast(mined, id, txid_out, error)) << error;
    EXPECT_EQ(txid_out, id);
    EXPECT_EQ(devnet.txStatus(id), "mempool");

    // Without a fault: the broadcaster's own answer to a known transaction.
    EXPECT_TRUE(arc_broadcast(mined, id, txid_out, error)) << error;
    EXPECT_TRUE(tx_exists(id));
    EXPECT_EQ(confirm_seen(id), "success: " + id);
}

TEST_F(BroadcastFaults, FastSubmitGoesThroughWhatsOnChainWhileTheServiceIsDown)
{
    fund({3000});
    // The service host of this process only points at a closed port.
    platform::Config values = devnet.config();
    values.service_host = "down.corvane.test";
    values.connect_to.push_back("down.corvane.test:443:127.0.0.1:1");
    platform::setConfig(values);

    const std::string result = phone_send(kBob, "while it is down", 100, false);
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    EXPECT_EQ(devnet.txStatus(txidOf(result)), "mempool");
}

// Refused as a double spend although the transaction did reach the network:
// that is a success like any other, so the paymail host that asked for the
// transaction still receives it.
TEST_F(BroadcastFaults, APaymentThatLandedDespiteARefusalIsStillDelivered)
{
    fund({5000});
    const std::string sender = freshAlias("payer") + "@" + devnet.config().service_domain;
    const std::string alias = freshAlias("shop");
    std::string error;
    const std::string address = kestrel::resolveRecipient(alias + "@extpay.test", sender, error);
    ASSERT_FALSE(address.empty()) << error;

    // No service from this process, WhatsOnChain fails, and ARC takes the
    // transaction but answers DOUBLE_SPEND_ATTEMPTED.
    platform::Config values = devnet.config();
    values.service_host = "down.corvane.test";
    values.connect_to.push_back("down.corvane.test:443:127.0.0.1:1");
    platform::setConfig(values);
    chainFault("/tx/raw", {{"method", "POST"}, {"kind", "status"}, {"status", 500}});
    devnet.control("POST", "/control/fault",
                   {{"host", "arc"}, {"kind", "arc_status"}, {"txStatus", "DOUBLE_SPEND_ATTEMPTED"}, {"admit", true}});

    const std::string result = spend(address, 1, "");
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    const std::string txid = txidOf(result);
    EXPECT_EQ(devnet.txStatus(txid), "mempool");
    ASSERT_TRUE(wait_for_background_posts(15000));

    const json mine = devnet.deliveryFor(alias);
    ASSERT_TRUE(mine.is_object()) << "nothing delivered for " << alias;
    EXPECT_EQ(mine["txid"], txid);
    EXPECT_EQ(mine["accepted"], true) << mine.dump();
}
