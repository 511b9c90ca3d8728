// What an incoming invite does to the phone, with the service's published
// keys on the devnet: only a record signed by its sender's published key, and
// still within its window, rings; anything else leaves the phone idle.
#include "devnet_client.h"
#include "test_support.h"

#include "calls/call_engine.h"
#include "calls/call_state.h"
#include "phone/phone_store.h"
#include "platform/clock.h"
#include "services/identity.h"
#include "services/signed_records.h"
#include "wallet/address.h"

#include <gtest/gtest.h>

using json = nlohmann::json;
using namespace kestrel;

namespace {

const std::string kCallerKey = "1111111111111111111111111111111111111111111111111111111111111111";
const std::string kStrangerKey = "2222222222222222222222222222222222222222222222222222222222222222";

class IncomingOnDevnet : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(devnet.load()) << "the devnet fixture did not run";
        devnet.useConfig();
        caller = freshAlias("caller");
        std::string pub;
        ASSERT_TRUE(cv_tessera_wallet::pubkey_from_privkey(kCallerKey, pub));
        long status = 0;
        devnet.registerAlias(caller, {{"pubkey", pub}}, &status);
        ASSERT_EQ(status, 200);
        platform::setMockTime(platform::unixMillis());
        reset();
    }

    void TearDown() override
    {
        reset();
        clearIdentityKeyCache();
        platform::setMockTime(0);
    }

    static void reset()
    {
        StateLock held;
        resetCall(held);
        seenInvites().clear();
    }

    // An invite from the caller, signed at signedAt with key.
    json invite(const std::string& id, int64_t signedAt, const std::string& key) const
    {
        json record = {{"protocol", "CV-Phone"},
                       {"type", "cp"},
                       {"location", "cphone"},
                       {"handle", caller},
                       {"actor", caller},
                       {"kind", "invite"},
                       {"id", id},
                       {"ts", signedAt},
                       {"pay", "1BoatSLRHtKNngkdXEeobR76b53LETtpyT"}};
        const IdentitySignature signature = identitySignWithKey(key, canonicalRecordText(record));
        EXPECT_TRUE(signature.ok);
        record["pubkey"] = signature.publicKey;
        record["sig"] = signature.signature;
        return record;
    }

    static CallState stateNow()
    {
        platform::LockGuard lock(stateMutex());
        return callFields().state;
    }

    Devnet devnet;
    std::string caller;
};

} // namespace

TEST_F(IncomingOnDevnet, OnlyAnInviteFromItsSendersKeyWithinItsWindowRings)
{
    const int64_t now = platform::unixSeconds();
    const struct {
        const char* what;
        std::string key;
        int64_t signedAt;
        int64_t handedTs; // the signed time the chain watch hands on
        bool rings;
    } cases[] = {
        {"signed by a key the service does not publish for the caller", kStrangerKey, now, now, false},
        {"from four minutes ago", kCallerKey, now - 240, now - 240, false},
        {"fresh", kCallerKey, now, now, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        reset();
        char id[17];
        std::snprintf(id, sizeof id, "%016x", 0xabc0 + n++);
        const json record = invite(id, c.signedAt, c.key);
        handleIncomingRecord(record, true, std::string(64, 'a'), c.handedTs);
        EXPECT_EQ(stateNow() == CallState::Ringing, c.rings) << c.what;
    }

    // The same invite again once the call it started has ended: it never rings twice.
    reset();
    const json record = invite("00000000000abcde", now, kCallerKey);
    handleIncomingRecord(record, true, std::string(64, 'b'), now);
    ASSERT_EQ(stateNow(), CallState::Ringing);
    {
        StateLock held;
        resetCall(held);
    }
    handleIncomingRecord(record, true, std::string(64, 'b'), now);
    EXPECT_EQ(stateNow(), CallState::Idle);
}
