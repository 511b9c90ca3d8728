// The phone spend's arithmetic (what a payload needs, how a coin is split)
// and the refusals it gives before any coin is touched.
#include "wallet/coins.h"
#include "wallet/phone_spend.h"
#include "wallet/spend.h"
#include "wallet/spend_hooks.h"
#include "wallet_files.h"

#include <gtest/gtest.h>

using namespace cv_tessera_wallet;

TEST(PhoneNeed, FeeOfThePayloadPlusMarginAndDust)
{
    struct Case {
        size_t payload;
        uint32_t rate;
        int dust;
        int64_t need;
    };
    const Case cases[] = {
        {150, 100, 2, 69}, // fee(470) = 47, + 20 + 2
        {150, 100, 1, 68},
        {1, 1, 1, 22}, // fee(321) at 1 sat per 1000 bytes is 1
        {2000, 1000, 2, 2342},
    };
    for (const Case& c : cases) EXPECT_EQ(phone_need(c.payload, c.rate, c.dust), c.need) << c.payload;
}

TEST(SplitPlan, TowardsOneHundredTwentyOneCoins)
{
    struct Case {
        int count;
        int64_t largest;
        std::string verdict;
        int pieces;
        int64_t each;
    };
    const Case cases[] = {
        {113, 100000, "", 8, 12487}, // fee(540) = 54: (100000 - 54 - 50) / 8
        {114, 100000, "ready", 0, 0}, {120, 100000, "ready", 0, 0},
        {150, 100000, "ready", 0, 0}, {0, 100000, "hold: waiting for a confirmed coin", 0, 0},
        {21, 10000, "", 47, 202}, // 100 wanted: fee(4220) = 422, spendable 9528, 47 affordable
        {1, 10000, "", 47, 201},  // 120 wanted: fee(5020) = 502, spendable 9448
        {1, 1000000, "", 120, 8328},  {100, 900, "ready", 0, 0}, // spendable 744 is too little
        {100, 956, "", 4, 200},                                  // spendable 800: exactly four pieces of 200
    };
    for (const Case& c : cases) {
        const SplitPlan plan = plan_split(c.count, c.largest);
        EXPECT_EQ(plan.verdict, c.verdict) << c.count << " " << c.largest;
        EXPECT_EQ(plan.pieces, c.pieces) << c.count << " " << c.largest;
        EXPECT_EQ(plan.each, c.each) << c.count << " " << c.largest;
        if (plan.verdict.empty()) {
            EXPECT_GE(plan.each, 200);
        }
    }
}

namespace {

class PhoneRefusals : public WalletFiles {
protected:
    void TearDown() override
    {
        set_connection_check(nullptr);
        reset_coin_state();
        WalletFiles::TearDown();
    }
};

bool never()
{
    return false;
}

} // namespace

TEST_F(PhoneRefusals, BeforeAnyCoinIsTouched)
{
    const std::string bob = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT";
    struct Case {
        std::string address;
        std::string payload;
        bool wallet;
        std::string result;
    };
    const Case cases[] = {
        {bob, "", true, "error: empty phone payload."},
        {bob, "hi", false, "error: no Corvane Tessera wallet. Use tessera create first."},
        {"3J98t1WpEZ73CNmQviecrnyiWrnqRhWNLy", "hi", true, "error: phone address decode failed."},
        {"", "hi", true, "error: phone address decode failed."},
    };
    for (const Case& c : cases) {
        unload_wallet();
        if (c.wallet)
            writeWallet(phraseWallet());
        else
            std::remove(walletPath().c_str());
        EXPECT_EQ(phone_send(c.address, c.payload, 100, false), c.result) << c.address << " " << c.payload;
    }
    unload_wallet();
    std::remove(walletPath().c_str());
    EXPECT_EQ(phone_prepare_coins(), "error: no Corvane Tessera wallet. Use tessera create first.");
    EXPECT_EQ(phone_ready_coins(), 0);

    set_connection_check(never);
    const std::string not_connected =
        "error: Tessera wallet not connected. Create or Restore in Tessera, then Connect in the app.";
    EXPECT_EQ(phone_send(bob, "hi", 100, true), not_connected);
    EXPECT_EQ(phone_prepare_coins(), not_connected);

    // Without a binding the default check says not connected.
    set_connection_check(nullptr);
    set_bound_wallet_id("");
    EXPECT_EQ(phone_send(bob, "hi", 100, false), not_connected);
}

TEST_F(PhoneRefusals, SpendChecksItsArguments)
{
    EXPECT_EQ(spend("1BoatSLRHtKNngkdXEeobR76b53LETtpyT", 100, ""),
              "error: no Corvane Tessera wallet. Use tessera create first.");
    writeWallet(phraseWallet());
    EXPECT_EQ(spend("1BoatSLRHtKNngkdXEeobR76b53LETtpyT", 0, ""), "error: amount must be positive.");
    EXPECT_EQ(spend("1BoatSLRHtKNngkdXEeobR76b53LETtpyT", -5, ""), "error: amount must be positive.");
    // Beyond the 21 million BSV money range: refused before any coin is read.
    for (const int64_t hostile : {int64_t {2100000000000001}, int64_t {9223372036854775807}})
        EXPECT_EQ(spend("1BoatSLRHtKNngkdXEeobR76b53LETtpyT", hostile, ""),
                  "error: amount is above the 21 million BSV money range.");
    EXPECT_EQ(spend("alice@corvane.app", 100, ""), "error: destination is not a legacy P2PKH address.");
}
