#include "wallet/coins.h"
#include "wallet/phone_spend.h"
#include "wallet/spend_result.h"

#include <gtest/gtest.h>

using namespace cv_tessera_wallet;

TEST(SpendResult, EachAnswerIsReadOnceIntoItsOutcome)
{
    const std::string txid(64, 'c');
    const struct {
        std::string answer;
        SpendOutcome outcome;
        std::string txid;
        int64_t fee;
    } cases[] = {
        {"success: " + txid + " 57", SpendOutcome::Sent, txid, 57},
        {"success: " + txid + " 57\r\n", SpendOutcome::Sent, txid, 57},
        {"success: " + txid, SpendOutcome::Sent, txid, -1},
        {"success: " + txid + "dd 9", SpendOutcome::Sent, txid, 9},
        {"success: " + txid + " 0", SpendOutcome::Sent, txid, -1},
        {"success: " + txid + " 1000000000", SpendOutcome::Sent, txid, 1000000000},
        {"success: " + txid + " 1000000001", SpendOutcome::Sent, txid, -1},
        {"success: " + txid + " 12abc", SpendOutcome::Sent, txid, -1},
        {"success", SpendOutcome::Sent, "", -1},
        {kHoldText, SpendOutcome::Held, "", -1},
        {kPhoneBroadcastFailed, SpendOutcome::Failed, "", -1},
        {"HTTP 503 - Service Unavailable", SpendOutcome::Failed, "", -1},
        {"", SpendOutcome::Failed, "", -1},
        {" success: " + txid, SpendOutcome::Failed, "", -1},
    };
    for (const auto& c : cases) {
        const SpendResult read = read_spend_result(c.answer);
        EXPECT_EQ(read.outcome, c.outcome) << c.answer;
        EXPECT_EQ(read.txid, c.txid) << c.answer;
        EXPECT_EQ(read.fee, c.fee) << c.answer;
        EXPECT_EQ(read.text, c.answer) << "the user reads the answer as it was";
    }
}
