// The shown balance against the devnet, for wallets made by the Tessera
// stand-in: the status refresh (face, events, the paymail claim), the face
// around a real spend while the chain API lags behind it, and the discovery
// of a receive address funded beyond the wallet's known index.
#include "platform/service_host.h"
#include "services/balance.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "event_recorder.h"
#include "test_support.h"
#include "spend_fixture.h"
#include "wallet/keys.h"
#include "wallet/spend.h"
#include "wallet/spend_hooks.h"
#include "wallet/web_client.h"

#include <gtest/gtest.h>

#include <memory>

#include <fcntl.h>
#include <mutex>
#include <random>
#include <unistd.h>

using json = nlohmann::json;
namespace w = cv_tessera_wallet;
using namespace kestrel;

namespace {

const std::string kBob = "1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH";

// A command-line run keeps no face: while one of these lives, standard
// output is not a terminal even when the test runs in one.
struct OutputNotATerminal {
    int saved = ::dup(STDOUT_FILENO);
    OutputNotATerminal()
    {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
    }
    ~OutputNotATerminal()
    {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
};

class BalanceOnDevnet : public SpendOnDevnet {
protected:
    void SetUp() override
    {
        SpendOnDevnet::SetUp();
        resetFace();
        forgetClaimFingerprint();
        installBalanceHooks();
        recorder = std::make_unique<EventRecorder>();
    }
    void TearDown() override
    {
        recorder.reset();
        w::set_spend_observer(nullptr);
        flushFaceFile();
        resetFace();
        forgetClaimFingerprint();
        SpendOnDevnet::TearDown();
    }
    std::vector<platform::Event> eventsSoFar() { return recorder->all(); }
    std::unique_ptr<EventRecorder> recorder;
};

} // namespace

TEST_F(BalanceOnDevnet, StatusRefreshShowsTheFaceAndClaimsThePaymail)
{
    const std::string alias = freshAlias("face");
    const CommandRun run = runTessera("create --paymail " + shellQuoted(alias));
    const json& made = run.out;
    ASSERT_TRUE(made.is_object()) << run.text;
    wallet = {made.value("id", ""), made.value("receive", ""), made.value("identity", "")};
    use(wallet);
    fund({30000, 12000});

    WalletStatus status;
    refreshWalletStatus(status, true);
    EXPECT_TRUE(status.loaded);
    EXPECT_TRUE(status.hdReady);
    EXPECT_TRUE(status.coinsAnswered);
    EXPECT_FALSE(status.coinsFailed);
    EXPECT_EQ(status.receiveAddress, wallet.receive);
    EXPECT_EQ(status.balance, 42000);
    EXPECT_EQ(status.mode, "hd");
    const std::vector<platform::Event> seen = eventsSoFar();
    const std::string paymail = alias + "@" + platform::serviceDomain();
    EXPECT_NE(std::find(seen.begin(), seen.end(), walletEvent("tessera", "status", {wallet.receive, "42000", "hd"})),
              seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), walletEvent("tessera", "paymail", {paymail})), seen.end());

    // The claim went out with the refresh: the handle now resolves.
    std::string body, error;
    ASSERT_TRUE(w::web_get(platform::serviceHostUrl(platform::handleAddressPath(paymail)), body, error, 10)) << error;
    EXPECT_EQ(json::parse(body, nullptr, false)["address"], wallet.receive);

    // The face survives a restart in its file.
    flushFaceFile();
    resetFace();
    w::reset_coin_state();
    EXPECT_EQ(readFaceFile(wallet.receive), 42000);
}

TEST_F(BalanceOnDevnet, FaceFollowsASpendWhileTheChainLags)
{
    const std::vector<w::Coin> coins = fund({50000});
    WalletStatus status;
    refreshWalletStatus(status, true);
    ASSERT_EQ(status.balance, 50000);

    std::string result;
    {
        OutputNotATerminal quiet;
        result = w::spend(kBob, 3000, "");
    }
    ASSERT_EQ(result.rfind("success: ", 0), 0u) << result;
    const int64_t face = currentFace();
    EXPECT_EQ(face, expectedFace());
    EXPECT_LT(face, 50000 - 3000);
    EXPECT_GT(face, 50000 - 3000 - 1000);
    const std::vector<platform::Event> seen = eventsSoFar();
    EXPECT_NE(std::find(seen.begin(), seen.end(), walletEvent("balance", "face", {std::to_string(face), wallet.id})),
              seen.end());

    // The chain API still lists the spent coin as unspent: the face stands.
    lagBehind(coins);
    refreshWalletStatus(status, true);
    EXPECT_EQ(status.balance, face);
}

TEST_F(BalanceOnDevnet, DiscoveryFindsFundsBeyondTheKnownIndex)
{
    ASSERT_EQ(w::wallet_view().counters[w::kReceiveAccount], 0u);
    std::string priv, pub, address;
    ASSERT_TRUE(w::derive(w::wallet_path(w::kReceiveAccount, 9), priv, pub, address));
    w::wipe_string(priv);
    fund({7000}, address);

    scanReceiveAddresses();
    EXPECT_EQ(w::wallet_view().counters[w::kReceiveAccount], 9u);
    std::string text;
    ASSERT_TRUE(platform::readFile(w::wallet_file_path(), text));
    EXPECT_EQ(json::parse(text, nullptr, false)["recv"][1], 9);
    EXPECT_EQ(requests("/v1/bsv/main/addresses/balance").empty(), false);

    // The funded address is now one the wallet spends from.
    std::string ownPriv, ownPub;
    EXPECT_TRUE(w::keys_for_address(address, ownPriv, ownPub));
    w::wipe_string(ownPriv);
}

TEST_F(BalanceOnDevnet, ToolBalanceShowsTheLastFaceWhileTheChainApiFails)
{
    fund({42000});
    ASSERT_TRUE(devnet.writeConfig(temp.corvane()));
    const auto toolBalance = [&] { return runTool("balance --instance /opt/kestrel", temp.root).out; };
    EXPECT_EQ(toolBalance(), json({{"sats", 42000}}));

    chainFault("/address/" + wallet.receive, {{"kind", "status"}, {"status", 503}, {"count", "always"}});
    EXPECT_EQ(toolBalance(), json({{"sats", 42000}}));

    // Without the kept figure there is nothing to show.
    ASSERT_EQ(::unlink(faceFilePath().c_str()), 0);
    EXPECT_TRUE(toolBalance().is_discarded());
}
