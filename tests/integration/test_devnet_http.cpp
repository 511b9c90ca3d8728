// Both HTTP stacks reach the devnet's hosts through their production HTTPS
// URLs, by the configuration's connect-to mappings and CA file alone.
#include "phone/web_requests.h"
#include "devnet_client.h"
#include "wallet/web_client.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

namespace {

class DevnetHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
    }
    Devnet devnet;
};

} // namespace

TEST_F(DevnetHttp, WalletClientReadsTheChainApi)
{
    const platform::Config values = platform::config();
    std::string body, error;
    ASSERT_TRUE(cv_tessera_wallet::web_get(values.chain_api + "/chain/info", body, error, 10)) << error;
    const auto info = nlohmann::json::parse(body, nullptr, false);
    ASSERT_TRUE(info.is_object());
    EXPECT_TRUE(info.contains("blocks"));

    EXPECT_FALSE(cv_tessera_wallet::web_get(values.chain_api + "/tx/" + std::string(64, '0'), body, error, 10));
    EXPECT_EQ(error.rfind("HTTP 404", 0), 0u) << error;
    EXPECT_TRUE(cv_tessera_wallet::web_get(values.chain_api + "/tx/" + std::string(64, '0'), body, error, 10, true));
}

TEST_F(DevnetHttp, PhoneRequestsReachServiceAndDownloadSite)
{
    const platform::Config values = platform::config();
    const std::string funded = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";
    const std::string txid = devnet.fund(funded, {5000});
    ASSERT_EQ(txid.size(), 64u);

    const std::string oracle =
        kestrel::serviceGet("/oi/oracle/cphone/txids?address=" + funded + "&kind=all&limit=20", 3000, nullptr, 0);
    const auto listed = nlohmann::json::parse(oracle, nullptr, false);
    ASSERT_TRUE(listed.is_object()) << oracle;
    ASSERT_TRUE(listed["txids"].is_array());
    ASSERT_FALSE(listed["txids"].empty());
    EXPECT_EQ(listed["txids"][0], txid);

    const std::string host = values.download_site.substr(std::string("https://").size());
    const std::string page = kestrel::webGet(host, "/c-rate.json", 3000, nullptr, 0);
    const auto rate = nlohmann::json::parse(page, nullptr, false);
    ASSERT_TRUE(rate.is_object()) << page;
    EXPECT_EQ(rate["ok"], true);
}

TEST_F(DevnetHttp, ThrottledServiceWritesTheBackoffSlot)
{
    devnet.control("POST", "/control/fault",
                   {{"host", "service"}, {"kind", "status"}, {"status", 429}, {"count", 1}, {"path", "/oi/oracle"}});
    kestrel::BackoffSlot slot {0};
    const int64_t before = platform::tickMillis();
    const std::string body = kestrel::serviceGet(
        "/oi/oracle/cphone/txids?address=1BoatSLRHtKNngkdXEeobR76b53LETtpyT&kind=all&limit=20", 3000, &slot, 500);
    EXPECT_TRUE(body.empty());
    EXPECT_GE(slot.load(), before + 1000);
    EXPECT_FALSE(
        kestrel::serviceGet("/oi/oracle/cphone/txids?address=1BoatSLRHtKNngkdXEeobR76b53LETtpyT&kind=all&limit=20",
                            3000, &slot, 500)
            .empty());
}
