// TesseraLink against the Tessera stand-in, in a temporary data folder: the
// stand-in (Node and @bsv/sdk) makes the wallets and answers the connect
// requests; Kestrel must bind, load and derive the same addresses.
#include "platform/app_launch.h"
#include "platform/clock.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "services/tessera_link.h"
#include "test_support.h"
#include "temp_folder.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

using namespace kestrel;
using json = nlohmann::json;

namespace {

const std::string kInstance = "/opt/kestrel";

// Runs the stand-in with arguments; answers its standard output's last line
// as JSON (discarded when the command failed or printed none).
json tessera(const std::string& arguments)
{
    const CommandRun run = runTessera(arguments);
    return run.status == 0 ? run.out : json(json::value_t::discarded);
}

class TesseraConnect : public ::testing::Test {
protected:
    void SetUp() override
    {
        cv_tessera_wallet::set_bound_wallet_id("");
        cv_tessera_wallet::unload_wallet();
        // The connect wait runs on a frozen clock that the tests move.
        platform::setMockTime(platform::unixMillis());
    }
    void TearDown() override
    {
        platform::setMockTime(0);
        cv_tessera_wallet::unload_wallet();
        cv_tessera_wallet::set_bound_wallet_id("");
    }

    std::string create(const std::string& name)
    {
        const json made = tessera("create --name " + name + " --paymail " + name);
        EXPECT_TRUE(made.is_object() && made.contains("id")) << made.dump();
        return made.is_object() ? made.value("id", "") : "";
    }

    // Runs connectToTessera on a worker, as the phone does, while the
    // stand-in answers with arguments (for example "--approve --wallet ID").
    std::string connectAnswered(const std::string& arguments)
    {
        auto result = std::async(std::launch::async, [] { return connectToTessera(); });
        tessera("watch " + arguments + " --once --timeout 20");
        return whilePolling(result);
    }

    // Moves the clock poll by poll until the connect has answered.
    static std::string whilePolling(std::future<std::string>& result)
    {
        while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            platform::advanceMockTime(500);
        return result.get();
    }

    // The id of a connect request that has no reply yet; empty when none.
    std::string unansweredRequest() const
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(temp.corvane() + "/connect", error)) {
            const std::string name = entry.path().filename().string();
            const size_t suffix = name.find(".req.json");
            if (suffix == std::string::npos) continue;
            const std::string id = name.substr(0, suffix);
            if (!platform::pathExists(temp.corvane() + "/connect/" + id + ".rep.json")) return id;
        }
        return {};
    }

    TempDataFolder temp;
};

} // namespace

TEST_F(TesseraConnect, OneWalletBindsAtOnceAndDerivesTheStandInsAddresses)
{
    const std::string id = create("alice");
    registerApp(kInstance, "Kestrel");
    EXPECT_EQ(currentWalletId(), id);
    EXPECT_TRUE(isTesseraConnected());
    EXPECT_EQ(connectToTessera(), "success"); // bound and loadable: no request needed

    const json theirs = tessera("address --wallet " + id);
    ASSERT_TRUE(theirs.is_object());
    const cv_tessera_wallet::WalletView ours = cv_tessera_wallet::wallet_view();
    EXPECT_EQ(ours.receive_address, theirs["receive"]);
    EXPECT_EQ(ours.identity_address, theirs["identity"]);
    EXPECT_EQ(ours.identity_pub, theirs["identity_pubkey"]);
    EXPECT_EQ(ours.ord_address, theirs["ordinals"]);
    {
        platform::LockGuard lock(cv_tessera_wallet::wallet_mutex());
        EXPECT_EQ(cv_tessera_wallet::greeting_address(), theirs["greeting"]);
    }
}

TEST_F(TesseraConnect, TwoWalletsWaitForAnApprovedConnect)
{
    create("alice");
    const std::string bob = create("bob");
    registerApp(kInstance, "Kestrel");
    EXPECT_EQ(currentWalletId(), "");
    EXPECT_FALSE(isTesseraConnected());

    EXPECT_EQ(connectAnswered("--approve --wallet " + bob), "success");
    EXPECT_EQ(currentWalletId(), bob);
    EXPECT_EQ(cv_tessera_wallet::wallet_view().receive_address, tessera("address --wallet " + bob)["receive"]);

    // The binding survives a restart.
    cv_tessera_wallet::unload_wallet();
    registerApp(kInstance, "Kestrel");
    EXPECT_EQ(currentWalletId(), bob);
}

TEST_F(TesseraConnect, DenialAndLockedWallet)
{
    create("alice");
    const std::string bob = create("bob");
    registerApp(kInstance, "Kestrel");
    EXPECT_EQ(connectAnswered("--deny"), "error: connect denied in Tessera.");
    EXPECT_EQ(currentWalletId(), "");

    ASSERT_TRUE(tessera("lock --wallet " + bob + " --password secret").is_object());
    EXPECT_EQ(connectAnswered("--approve --wallet " + bob), "error: This wallet is locked. Open it in Tessera.");
    EXPECT_FALSE(cv_tessera_wallet::wallet_view().loaded);

    ASSERT_TRUE(tessera("unlock --wallet " + bob + " --password secret").is_object());
    EXPECT_EQ(connectToTessera(), "success"); // still bound to bob, now loadable
}

TEST_F(TesseraConnect, RepliesThatDoNotApproveAWallet)
{
    create("alice");
    create("bob");
    registerApp(kInstance, "Kestrel");

    // Tessera's reply written by hand: not JSON, or approved without a wallet.
    const struct {
        const char* reply;
        const char* result;
    } cases[] = {
        {"this is not json", "error: connect denied in Tessera."},
        {R"({"ok": true})", "error: approved, but the wallet would not load."},
    };
    for (const auto& c : cases) {
        auto result = std::async(std::launch::async, [] { return connectToTessera(); });
        std::string request;
        for (int tries = 0; tries < 500 && request.empty(); ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            request = unansweredRequest();
        }
        ASSERT_FALSE(request.empty());
        ASSERT_TRUE(platform::replaceFileAtomically(temp.corvane() + "/connect/" + request + ".rep.json", c.reply));
        EXPECT_EQ(whilePolling(result), c.result) << c.reply;
        EXPECT_EQ(currentWalletId(), "");
    }
}

TEST_F(TesseraConnect, NoAnswerEndsInTheTimeout)
{
    create("alice");
    create("bob");
    registerApp(kInstance, "Kestrel");
    auto result = std::async(std::launch::async, [] { return connectToTessera(); });
    EXPECT_EQ(whilePolling(result), "error: Tessera did not approve in time. Open Tessera.exe and try Connect again.");
}

TEST_F(TesseraConnect, DisconnectKeepsTheWalletAndTheRegistry)
{
    const std::string id = create("alice");
    registerApp(kInstance, "Kestrel");
    ASSERT_EQ(connectToTessera(), "success");
    EXPECT_EQ(disconnectFromTessera(), "success");
    EXPECT_FALSE(cv_tessera_wallet::wallet_view().loaded);
    EXPECT_EQ(currentWalletId(), "");
    EXPECT_TRUE(platform::pathExists(temp.corvane() + "/wallets/" + id + "/wallet.json"));
    const json listed = tessera("list");
    ASSERT_TRUE(listed.is_object());
    EXPECT_EQ(listed["wallets"].size(), 1u);
}

TEST_F(TesseraConnect, AWatchingTesseraIsRaised)
{
    create("alice");
    EXPECT_FALSE(platform::raiseAnnouncedApp("tessera")); // nobody announces yet
    const std::string command = shellQuoted(tesseraProgram()) + " watch --approve --timeout 4";
    FILE* watcher = ::popen(command.c_str(), "r");
    ASSERT_NE(watcher, nullptr);
    bool raised = false;
    for (int tries = 0; tries < 100 && !raised; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        raised = platform::raiseAnnouncedApp("tessera");
    }
    EXPECT_TRUE(raised);
    std::string output;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof(buffer), watcher)) output.append(buffer, n);
    ::pclose(watcher);
    EXPECT_NE(output.find("{\"raised\":true}"), std::string::npos) << output;
}
