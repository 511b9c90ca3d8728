// Phone records without a network: finding the payload in decoded and raw
// transactions, opening envelopes, the live rule and the spend answer.
#include "calls/phone_records.h"

#include "phone/phone_store.h"
#include "calls/sealing.h"
#include "test_keys.h"
#include "wallet/address.h"
#include "wallet/encoding.h"
#include "wallet/wallet_state.h"
#include "platform/clock.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace kestrel;
using json = nlohmann::json;
namespace w = cv_tessera_wallet;

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";
const std::string kOtherPriv = "2b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff002";

json envelopeFor(const std::string& plain, const json& ts = 1700000000)
{
    json envelope = {{"protocol", "CV-Phone"}, {"type", "cp"}, {"location", "cphone"}};
    if (!ts.is_null()) envelope["ts"] = ts;
    std::string error;
    EXPECT_TRUE(sealIntoEnvelope(plain, publicKeyOf(kPriv), envelope, error)) << error;
    return envelope;
}

} // namespace

// The cases of tests/data/extraction-cases.json: decoded documents and raw
// hex, each with the payload it must give.
static json extractionCases()
{
    std::ifstream file(std::string(KESTREL_TEST_DATA) + "/extraction-cases.json");
    return json::parse(file, nullptr, false);
}

TEST(PhoneRecords, LongestPayloadOfADecodedTransaction)
{
    const json cases = extractionCases();
    ASSERT_TRUE(cases.is_object() && cases["decoded"].size() > 10);
    for (const json& c : cases["decoded"])
        EXPECT_EQ(extractFromTxJson(c["document"]), c["payload"].get<std::string>()) << c["name"];
}

TEST(PhoneRecords, LongestPushOfARawTransaction)
{
    const json cases = extractionCases();
    ASSERT_TRUE(cases.is_object() && cases["raw"].size() > 10);
    for (const json& c : cases["raw"])
        EXPECT_EQ(extractFromRawTx(c["hex"]), c["payload"].get<std::string>()) << c["name"];
}

TEST(PhoneRecords, OpensEnvelopesSealedToTheKey)
{
    const json record = {{"kind", "hangup"}, {"id", "0123456789abcdef"}, {"protocol", "CV-Phone"}};
    const json envelope = envelopeFor(record.dump());

    OpenedEnvelope opened = openEnvelopeWithKey(envelope.dump() + " \t\r\n", kPriv);
    ASSERT_EQ(opened.outcome, EnvelopeOutcome::Opened);
    EXPECT_EQ(opened.record, record);
    EXPECT_EQ(opened.ts, 1700000000);

    opened = openEnvelopeWithKey(envelopeFor(record.dump(), 1700000000.9).dump(), kPriv);
    EXPECT_EQ(opened.ts, 1700000000);
    const int64_t before = platform::unixSeconds();
    opened = openEnvelopeWithKey(envelopeFor(record.dump(), "1700000000").dump(), kPriv);
    EXPECT_EQ(opened.outcome, EnvelopeOutcome::Opened);
    EXPECT_GE(opened.ts, before); // a ts that is not a number: the time of opening
    EXPECT_LE(opened.ts, platform::unixSeconds());
}

TEST(PhoneRecords, EnvelopesThatDoNotOpen)
{
    const std::string record = json {{"kind", "accept"}, {"id", "0123456789abcdef"}}.dump();
    const json good = envelopeFor(record);
    auto with = [&](const char* key, const json& value) {
        json e = good;
        e[key] = value;
        return e.dump();
    };
    json noType = good;
    noType.erase("type");
    const struct {
        const char* name;
        std::string text;
        EnvelopeOutcome outcome;
    } cases[] = {
        {"empty", "", EnvelopeOutcome::Malformed},
        {"cut short", good.dump().substr(0, good.dump().size() - 1), EnvelopeOutcome::Malformed},
        {"text after the object", good.dump() + "x", EnvelopeOutcome::Malformed},
        {"ends with a brace but is no JSON", "{\"a\":}", EnvelopeOutcome::Malformed},
        {"an array", "[1,{}]", EnvelopeOutcome::Malformed},
        {"type greet", with("type", "greet"), EnvelopeOutcome::Ignored},
        {"no type", noType.dump(), EnvelopeOutcome::Ignored},
        {"enc_v 3", with("enc_v", 3), EnvelopeOutcome::Ignored},
        {"enc_v as text", with("enc_v", "4"), EnvelopeOutcome::Ignored},
        {"numeric pmessage1", with("pmessage1", 5), EnvelopeOutcome::Ignored},
        {"last digit changed",
         [&] {
             std::string sealed = good["pmessage1"];
             sealed.back() = sealed.back() == '0' ? '1' : '0';
             return with("pmessage1", sealed);
         }(),
         EnvelopeOutcome::Ignored},
        {"sealed to another key",
         [&] {
             json e = good;
             std::string error;
             sealIntoEnvelope(record, publicKeyOf(kOtherPriv), e, error);
             return e.dump();
         }(),
         EnvelopeOutcome::Ignored},
        {"plain text not JSON", envelopeFor("hello").dump(), EnvelopeOutcome::Ignored},
        {"plain text an array", envelopeFor("[1]").dump(), EnvelopeOutcome::Ignored},
        // Hostile sizes and depths are refused before parsing, not a crash.
        {"envelope 50,000 levels deep",
         good.dump().substr(0, good.dump().size() - 1) + ",\"z\":" + std::string(50000, '[') + std::string(50000, ']') +
             "}",
         EnvelopeOutcome::Ignored},
        {"record 50,000 levels deep",
         envelopeFor("{\"a\":" + std::string(50000, '[') + std::string(50000, ']') + "}").dump(),
         EnvelopeOutcome::Ignored},
        {"envelope over 1 MiB", with("pad", std::string(1 << 20, 'x')), EnvelopeOutcome::Ignored},
        {"over 1 MiB and cut short", "{\"pad\":\"" + std::string(1 << 20, 'x'), EnvelopeOutcome::Ignored},
    };
    for (const auto& c : cases) {
        const OpenedEnvelope opened = openEnvelopeWithKey(c.text, kPriv);
        EXPECT_EQ(opened.outcome, c.outcome) << c.name;
        EXPECT_TRUE(opened.record.is_null()) << c.name;
    }
    // Without a loaded wallet there is no key to open with.
    w::unload_wallet();
    EXPECT_EQ(openEnvelope(good.dump()).outcome, EnvelopeOutcome::Ignored);
    EXPECT_EQ(openEnvelope("{").outcome, EnvelopeOutcome::Malformed);
}

TEST(PhoneRecords, LiveRule)
{
    const int64_t now = 1750000000;
    const struct {
        int64_t ts;
        bool live;
    } cases[] = {
        {now - 89, true}, {now - 90, true},  {now - 91, false},  {now - 181, false},
        {now, true},      {now + 180, true}, {now + 181, false}, {0, false},
        {-5, false},      {1, false},        {INT64_MAX, false}, {now - 95, false},
    };
    for (const auto& c : cases) EXPECT_EQ(isLiveRecord(c.ts, now), c.live) << c.ts;
    EXPECT_FALSE(isLiveRecord(1, INT64_MIN)); // no overflow with a wild clock
    EXPECT_FALSE(isLiveRecord(INT64_MAX, INT64_MIN));
}

TEST(PhoneRecords, LivenessIsJudgedByTheSignedTime)
{
    // An old record re-wrapped in a fresh envelope must not ring again.
    const int64_t now = platform::unixSeconds();
    const struct {
        const char* what;
        json recordTs;   // null: absent
        json envelopeTs; // null: absent
        bool live;
    } cases[] = {
        {"fresh record, fresh envelope", now, now, true},
        {"signed ten minutes ago, fresh envelope", now - 600, now, false},
        {"fresh record, old envelope", now, now - 600, false},
        {"fresh record, no envelope time", now, nullptr, true},
        {"no signed time", nullptr, now, false},
        {"signed time 0", 0, now, false},
        {"signed time negative", -1, now, false},
        {"envelope time 0", now, 0, false},
        {"signed time as decimal text", std::to_string(now), now, true},
    };
    for (const auto& c : cases) {
        json record = {{"kind", "invite"}, {"id", "0123456789abcdef"}};
        if (!c.recordTs.is_null()) record["ts"] = c.recordTs;
        const OpenedEnvelope opened = openEnvelopeWithKey(envelopeFor(record.dump(), c.envelopeTs).dump(), kPriv);
        ASSERT_EQ(opened.outcome, EnvelopeOutcome::Opened) << c.what;
        EXPECT_EQ(isLiveEnvelope(opened, now), c.live) << c.what;
    }
}

TEST(PhoneRecords, SpendAnswers)
{
    const std::string txid(64, 'c');
    const struct {
        const char* name;
        std::string result;
        size_t envelope;
        int rate;
        std::string txid;
        int64_t fee;
    } cases[] = {
        {"fee given", "success: " + txid + " 57", 1000, 1, txid, 57},
        {"trailing line end", "success: " + txid + " 57\r\n", 1000, 1, txid, 57},
        {"no fee, rate 1", "success: " + txid, 1000, 1, txid, 5},
        {"no fee, rate 100", "success: " + txid, 1000, 100, txid, 128},
        {"zero fee", "success: " + txid + " 0", 1000, 1, txid, 5},
        {"fee too large", "success: " + txid + " 1000000001", 1000, 1, txid, 5},
        {"largest fee", "success: " + txid + " 1000000000", 1000, 1, txid, 1000000000},
        {"fee not a number", "success: " + txid + " 12abc", 1000, 1, txid, 5},
        {"very long number", "success: " + txid + " 99999999999999999999999", 1000, 1, txid, 5},
        {"long txid cut", "success: " + txid + "dd 9", 1000, 1, txid, 9},
        {"nothing after success", "success", 0, 1, "", 4},
        {"rate clamped", "success: " + txid, 1000, 5000, txid, 1253},
    };
    for (const auto& c : cases) {
        const SentRecord sent = parseSentRecord(c.result, c.envelope, c.rate);
        EXPECT_EQ(sent.txid, c.txid) << c.name;
        EXPECT_EQ(sent.fee, c.fee) << c.name;
    }
    EXPECT_EQ(estimateRecordFee(0, 0), 4);
}

TEST(PhoneRecords, UnsignableRecordIsNotSent)
{
    w::unload_wallet();
    json record = {{"kind", "hangup"}, {"id", "0123456789abcdef"}};
    EXPECT_FALSE(sendPhoneRecord("1BgGZ9tcN4rm9KBzDn7KprQz87SZ26SAMH", record, 1, true));
    platform::LockGuard lock(stateMutex());
    EXPECT_EQ(phoneState().statusText, "Could not sign.");
    EXPECT_FALSE(record.contains("sig"));
    EXPECT_EQ(record["protocol"], "CV-Phone"); // completed in place before signing
}
