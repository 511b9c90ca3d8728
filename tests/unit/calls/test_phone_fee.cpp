// The phone fee's pure rules: the signed message, how a published record is
// read, and the connection fee for a penny at a published rate.
#include "calls/phone_fee.h"

#include <gtest/gtest.h>

#include <limits>

using namespace kestrel;

TEST(PhoneFee, SignedMessageForm)
{
    const std::string key = "02" + std::string(64, 'a');
    EXPECT_EQ(phoneRecordMessage("alice", key, "", 2, 1'700'000'000),
              "CV-PAYMAIL-PHONE|alice|" + key + "||2|1700000000");
    EXPECT_EQ(phoneRecordMessage("bob", key, "1BoatSLRHtKNngkdXEeobR76b53LETtpyT", 100, 5),
              "CV-PAYMAIL-PHONE|bob|" + key + "|1BoatSLRHtKNngkdXEeobR76b53LETtpyT|100|5");
}

TEST(PhoneFee, PublishedDocumentReading)
{
    const std::string address = "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"; // 34 characters
    const struct {
        std::string body;
        int fee;
        std::string greeting;
    } cases[] = {
        {R"({"phoneFee":7,"greetAddress":")" + address + R"("})", 7, address},
        {R"({"phoneFee":1})", 1, ""},
        {R"({"phoneFee":100})", 100, ""},
        {R"({"phoneFee":0})", 1, ""},
        {R"({"phoneFee":101})", 1, ""},
        {R"({"phoneFee":-3})", 1, ""},
        {R"({"phoneFee":"5"})", 1, ""},
        {R"({"phoneFee":null})", 1, ""},
        {R"({"phoneFee":1e300})", 1, ""},
        {R"({"greetAddress":"1BoatSLRHtKNngkdXEeobR76b5"})", 1, "1BoatSLRHtKNngkdXEeobR76b5"}, // 26: kept
        {R"({"greetAddress":"1BoatSLRHtKNngkdXEeobR76b"})", 1, ""},                            // 25: too short
        {R"({"greetAddress":12345678901234567890123456789})", 1, ""},
        {R"([{"phoneFee":9}])", 1, ""},
        {"not json", 1, ""},
        {"", 1, ""},
    };
    for (const auto& c : cases) {
        const PhoneFeeRecord read = phoneFeeFromDocument(c.body);
        EXPECT_EQ(read.feePerSecond, c.fee) << c.body;
        EXPECT_EQ(read.greetingAddress, c.greeting) << c.body;
    }
}

TEST(PhoneFee, ConnectionFeeForAPenny)
{
    const struct {
        double gbp;
        int64_t sats;
    } cases[] = {
        {40, 25'000},
        {33.3, 30'030},      // 30030.03 rounds down
        {0.01, 100'000'000}, // exactly one coin: the cap itself
        {0.0099, 0},         // more than one coin
        {0.00000001, 0},     // a hundred trillion satoshis
        {2.1e6, 0},          // less than half a satoshi
        {1.9e6, 1},          // more than half rounds up
        {0, 0},
        {-40, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
        {std::numeric_limits<double>::infinity(), 0},
    };
    for (const auto& c : cases) EXPECT_EQ(connectionFeeSats(c.gbp), c.sats) << c.gbp;
}
