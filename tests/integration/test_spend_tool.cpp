// kestrel-tool's spend commands as scripts use them: a separate process on a
// data folder whose configuration points at the devnet and whose only wallet
// (made by the Tessera stand-in) the tool binds by registering as the phone.
#include "test_support.h"
#include "spend_fixture.h"

#include "platform/config.h"
#include "platform/data_folder.h"

#include <sys/wait.h>

using json = nlohmann::json;

namespace {

const std::string kBob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";

class SpendTool : public SpendOnDevnet {
protected:
    void SetUp() override
    {
        SpendOnDevnet::SetUp();
        ASSERT_TRUE(devnet.writeConfig(platform::dataFolder()));
    }

    CommandRun tool(const std::string& arguments) const
    {
        return runTool(arguments + " --instance " + shellQuoted(temp.root + "/kestrel"));
    }
};

std::string resultOf(const CommandRun& run)
{
    return run.out.is_object() && run.out["result"].is_string() ? run.out["result"].get<std::string>() : "";
}

} // namespace

TEST_F(SpendTool, BalanceCoinsSendPhoneSendAndSplit)
{
    fund({20000, 5000});
    CommandRun run = tool("balance");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, json({{"sats", 25000}}));

    run = tool("coins");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.out["total"], 25000);
    ASSERT_EQ(run.out["coins"].size(), 2u);
    EXPECT_EQ(run.out["coins"][0]["address"], wallet.receive);

    run = tool("send --to " + kBob + " --sats 3000 --note \"for the call\"");
    EXPECT_EQ(run.status, 0);
    const std::string sent = resultOf(run);
    ASSERT_EQ(sent.rfind("success: ", 0), 0u) << run.out.dump();
    EXPECT_EQ(devnet.txStatus(txidOf(sent)), "mempool");

    run =
        tool("phone-send --to " + kBob + " --payload hello --rate 50 --second " + devnet.config().message_fee_address);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(resultOf(run).rfind("success: ", 0), 0u) << run.out.dump();
    EXPECT_EQ(chainTx(txidOf(resultOf(run))).outputs.size(), 4u);

    run = tool("phone-send --to " + kBob + " --payload again --sync");
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(resultOf(run).rfind("success: ", 0), 0u) << run.out.dump();

    devnet.mine();
    run = tool("prepare-coins");
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(resultOf(run).rfind("success: ", 0), 0u) << run.out.dump();

    // What left the wallet: 3000, three payload outputs of 1 sat and the fees.
    run = tool("balance");
    ASSERT_TRUE(run.out["sats"].is_number_integer()) << run.out.dump();
    EXPECT_LT(run.out["sats"].get<int64_t>(), 25000 - 3003);
    EXPECT_GT(run.out["sats"].get<int64_t>(), 25000 - 3003 - 1000);
}

TEST_F(SpendTool, RefusalsKeepTheirTexts)
{
    CommandRun run = tool("send --to " + kBob + " --sats 1000");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(resultOf(run), "error: you have 0 in your Tessera wallet.");

    run = tool("send --to " + kBob + " --sats 9223372036854775807");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(resultOf(run), "error: amount is above the 21 million BSV money range.");

    run = tool("send --to nobody --sats 1000");
    EXPECT_EQ(resultOf(run), "error: destination is not a legacy P2PKH address.");

    run = tool("phone-send --to " + kBob + " --payload hello");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(resultOf(run), "hold: waiting for a confirmed coin");

    run = tool("send --to " + kBob + " --sats many");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.out.is_discarded()); // only the error line, on standard error

    run = tool("balance");
    EXPECT_EQ(run.out, json({{"sats", 0}}));
}
