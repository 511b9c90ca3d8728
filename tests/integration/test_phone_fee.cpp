// The connection fee a caller pays the service at each call: a penny at the
// rate file's price, nothing when the file says it is not good or the price
// is absurd. The rate is the devnet download site's.
#include "spend_fixture.h"

#include "calls/phone_fee.h"

#include <gtest/gtest.h>

#include <algorithm>

using json = nlohmann::json;

namespace {

class ConnectionFeeOnDevnet : public SpendOnDevnet {
protected:
    void TearDown() override
    {
        devnet.control("POST", "/control/download", {{"gbp", 40}, {"rateOk", true}});
        SpendOnDevnet::TearDown();
    }

    // How many coins of exactly sats the connection-fee address holds, mined or not.
    size_t feeCoins(int64_t sats) const
    {
        const std::vector<int64_t> values = devnet.coinValues(platform::config().connection_fee_address);
        return static_cast<size_t>(std::count(values.begin(), values.end(), sats));
    }
};

} // namespace

TEST_F(ConnectionFeeOnDevnet, APennyAtThePublishedRate)
{
    fund({60000, 60000});
    const struct {
        const char* what;
        json rate;
        size_t paid;
    } cases[] = {
        {"a pound is 1/40 of a coin", {{"gbp", 40}, {"rateOk", true}}, 1},
        {"the file says it is not good", {{"gbp", 40}, {"rateOk", false}}, 0},
        {"a price of a hundred-millionth of a pound", {{"gbp", 0.00000001}, {"rateOk", true}}, 0},
        {"a price of nothing", {{"gbp", 0}, {"rateOk", true}}, 0},
    };
    for (const auto& c : cases) {
        devnet.control("POST", "/control/download", c.rate);
        const size_t before = feeCoins(25'000);
        kestrel::payConnectionFee();
        EXPECT_EQ(feeCoins(25'000) - before, c.paid) << c.what;
    }
}
