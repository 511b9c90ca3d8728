#include "platform/chain_api.h"
#include "platform/config.h"
#include "platform/service_host.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(ServiceHost, PathsAndUrlsFollowTheConfiguration)
{
    Config values;
    values.service_host = "svc.test";
    values.service_domain = "pay.test";
    values.download_site = "https://dl.test/ignored/path";
    setConfig(values);
    const struct {
        std::string got, expected;
    } cases[] = {
        {oracleTxidsPath("1Abc", 20), "/oi/oracle/cphone/txids?address=1Abc&kind=all&limit=20"},
        {oracleTxidsPath("1Abc", 8), "/oi/oracle/cphone/txids?address=1Abc&kind=all&limit=8"},
        {decodedTxPath("ab"), "/oi/tx/ab"},
        {serviceHostUrl(submitPath()), "https://svc.test/oi/submit"},
        {serviceDomainUrl(handleAddressPath("bob@pay.test")), "https://pay.test/api/bsvalias/address/bob@pay.test"},
        {identityDocumentPath("bob@pay.test"), "/api/bsvalias/id/bob@pay.test"},
        {publicProfilePath("02ab@pay.test"), "/api/bsvalias/public-profile/02ab@pay.test"},
        {phoneRecordPath(), "/api/paymail/phone"},
        {serviceDomainUrl(claimPath()), "https://pay.test/api/paymail/claim"},
        {quotaPath("02ab"), "/api/paymail/quota/02ab"},
        {localServiceUrl(handleAddressPath("bob@pay.test")),
         "https://127.0.0.1:25443/api/bsvalias/address/bob@pay.test"},
        {downloadHost(), "dl.test"},
        {downloadUrl(downloadPagePath()), "https://dl.test/cphone/"},
        {rateFilePath(), "/c-rate.json"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}

TEST(ChainApi, UrlsAndPhonePathsFollowTheConfiguredBases)
{
    Config values;
    values.chain_api = "https://chain.test/v1/bsv/main";
    values.arc_api = "https://arc.test";
    values.ordinals_api = "https://ord.test";
    setConfig(values);
    const std::string t(64, 'a');
    const struct {
        std::string got, expected;
    } cases[] = {
        {chainTxUrl(t), "https://chain.test/v1/bsv/main/tx/" + t},
        {chainTxHexUrl(t), "https://chain.test/v1/bsv/main/tx/" + t + "/hex"},
        {chainTxDecodedUrl(t), "https://chain.test/v1/bsv/main/tx/" + t + "/decoded"},
        {chainBroadcastUrl(), "https://chain.test/v1/bsv/main/tx/raw"},
        {chainUnspentAllUrl("1A"), "https://chain.test/v1/bsv/main/address/1A/unspent/all"},
        {chainUnspentUrl("1A"), "https://chain.test/v1/bsv/main/address/1A/unspent"},
        {chainUnconfirmedUnspentUrl("1A"), "https://chain.test/v1/bsv/main/address/1A/unconfirmed/unspent"},
        {chainHistoryUrl("1A"), "https://chain.test/v1/bsv/main/address/1A/history"},
        {chainUnconfirmedHistoryUrl("1A"), "https://chain.test/v1/bsv/main/address/1A/unconfirmed/history"},
        {chainBulkBalanceUrl(), "https://chain.test/v1/bsv/main/addresses/balance"},
        {chainHost(), "chain.test"},
        {chainPath("/tx/" + t), "/v1/bsv/main/tx/" + t},
        {arcSubmitUrl(), "https://arc.test/v1/tx"},
        {ordinalsUnspentUrl("1A"), "https://ord.test/txos/address/1A/unspent"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
}
