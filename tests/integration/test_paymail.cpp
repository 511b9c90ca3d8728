// The paymail claim against the devnet's service host, for wallets made by
// the Tessera stand-in: the claim makes the handle resolvable, one claim per
// fingerprint, refusals come back as the service's text, the host role is
// picked up, and kestrel-tool's claim does the same from the data folder.
#include "test_support.h"
#include "devnet_client.h"
#include "platform/data_folder.h"
#include "platform/files.h"
#include "platform/service_host.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "temp_folder.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sys/wait.h>

using json = nlohmann::json;
namespace w = cv_tessera_wallet;
using namespace kestrel;

namespace {

class PaymailOnDevnet : public ::testing::Test {
protected:
    TempDataFolder temp;
    Devnet devnet;

    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
        w::set_bound_wallet_id("");
        w::unload_wallet();
        forgetClaimFingerprint();
    }
    void TearDown() override
    {
        w::unload_wallet();
        w::set_bound_wallet_id("");
        forgetClaimFingerprint();
    }

    // A phrase wallet made by the Tessera stand-in with that alias, bound and
    // loaded as the phone does it (the only wallet binds at registration).
    void connectNewWallet(const std::string& alias)
    {
        const CommandRun made = runTessera("create --paymail " + shellQuoted(alias));
        ASSERT_EQ(made.status, 0) << made.text;
        registerApp("/opt/kestrel", "Kestrel");
        ASSERT_EQ(connectToTessera(), "success");
    }

    // Accepted claims of alias the devnet holds.
    size_t acceptedClaims(const std::string& alias)
    {
        const json answer = devnet.control("GET", "/control/paymail");
        size_t count = 0;
        if (answer.is_object() && answer["claims"].is_array())
            for (const json& claim : answer["claims"])
                if (claim.is_object() && claim.value("alias", "") == alias) ++count;
        return count;
    }

    // What the service answers for alias's payment address; empty on 404.
    std::string resolvedAddress(const std::string& alias)
    {
        std::string body, error;
        if (!w::web_get(platform::serviceHostUrl(platform::handleAddressPath(alias + "@" + platform::serviceDomain())),
                        body, error, 10))
            return {};
        const json answer = json::parse(body, nullptr, false);
        return answer.is_object() ? answer.value("address", "") : "";
    }
};

} // namespace

TEST_F(PaymailOnDevnet, ClaimMakesTheHandleResolvable)
{
    const std::string alias = freshAlias("claim");
    connectNewWallet(alias);
    const w::WalletView view = w::wallet_view();
    ASSERT_EQ(ownAlias(), alias);
    EXPECT_EQ(resolvedAddress(alias), "");

    EXPECT_EQ(ensurePaymailClaim(ownAlias(), view.identity_pub, view.receive_address, "", view.ord_address), "");
    EXPECT_EQ(resolvedAddress(alias), view.receive_address);
    EXPECT_EQ(ensurePaymailClaim(ownAlias(), view.identity_pub, view.receive_address, "", view.ord_address), "");
    EXPECT_EQ(acceptedClaims(alias), 1u); // the same fingerprint is claimed once

    const json answer = devnet.control("GET", "/control/paymail");
    for (const json& claim : answer["claims"]) {
        if (claim.value("alias", "") != alias) continue;
        EXPECT_EQ(claim["pubkey"], view.identity_pub);
        EXPECT_EQ(claim["ordAddress"], view.ord_address);
        EXPECT_EQ(claim["bnPub"].get<std::string>().size(), 66u);
    }
}

TEST_F(PaymailOnDevnet, RefusedClaims)
{
    const std::string alias = freshAlias("refused");
    connectNewWallet(alias);
    const w::WalletView view = w::wallet_view();

    // A key that is not the wallet's identity never leaves the machine.
    const std::string otherKey = "02" + std::string(64, 'a');
    EXPECT_EQ(claimPaymail(alias, otherKey, view.receive_address, "", ""), kIdentityMismatch);
    EXPECT_EQ(acceptedClaims(alias), 0u);

    // The service's own refusal text comes back as it is.
    const std::string taken = freshAlias("taken");
    long status = 0;
    devnet.registerAlias(taken, json::object(), &status);
    ASSERT_EQ(status, 200);
    EXPECT_EQ(claimPaymail(taken, view.identity_pub, view.receive_address, "", ""),
              taken + "@" + platform::serviceDomain() + " is already taken");
    EXPECT_EQ(ensurePaymailClaim(taken, view.identity_pub, view.receive_address, "", ""),
              taken + "@" + platform::serviceDomain() + " is already taken");
}

TEST_F(PaymailOnDevnet, HostRoleComesFromTheService)
{
    connectNewWallet(freshAlias("role"));
    const std::string key = w::wallet_view().identity_pub;
    const struct {
        const char* set;
        const char* stored;
    } cases[] = {{"architect", "architect"}, {"dev", "dev"}, {"default", ""}};
    for (const auto& c : cases) {
        long status = 0;
        devnet.control("POST", "/control/role", {{"pubkey", key}, {"role", c.set}}, &status);
        ASSERT_EQ(status, 200);
        refreshHostRole();
        EXPECT_EQ(hostRole(), c.stored) << c.set;
    }
}

TEST_F(PaymailOnDevnet, ToolClaimsTheBoundWallet)
{
    const std::string alias = freshAlias("tool");
    connectNewWallet(alias);
    const std::string address = w::wallet_view().receive_address;
    w::unload_wallet();
    ASSERT_TRUE(devnet.writeConfig(temp.corvane()));

    const CommandRun run = runTool("claim --instance /opt/kestrel", temp.root);
    EXPECT_EQ(run.status, 0) << run.text;
    EXPECT_EQ(run.out, (json {{"result", ""}}));
    EXPECT_EQ(resolvedAddress(alias), address);
    EXPECT_EQ(acceptedClaims(alias), 1u);
}
