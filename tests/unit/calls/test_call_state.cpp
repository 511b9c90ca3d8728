#include "calls/answer_phone.h"
#include "calls/call_state.h"
#include "event_recorder.h"
#include "phone/phone_store.h"

#include <gtest/gtest.h>

using namespace kestrel;

namespace {

TEST(CallState, ResetClearsTheCallButKeepsTheOwnAddress)
{
    {
        StateLock held;
        CallFields& f = callFields();
        f.state = CallState::Connected;
        f.ownPaymentAddress = "1OwnAddress";
        f.callId = "0123456789abcdef";
        f.peerHandle = "bob";
        f.peerPaymentAddress = "1Peer";
        f.peerPublicKey = "02ab";
        f.peerGreetingAddress = "1Greeting";
        f.title = "Calling  bob";
        f.startTime = 5;
        f.satoshisSpent = 7;
        f.callTxid = "ff";
        f.audioChunks = 3;
        f.ringStartTime = 4;
        statusChangedFlag() = false;
        resetCall(held);
    }
    StateLock held;
    const CallFields& f = callFields();
    EXPECT_EQ(f.state, CallState::Idle);
    EXPECT_EQ(f.ownPaymentAddress, "1OwnAddress");
    for (const std::string* text : {&f.callId, &f.peerHandle, &f.peerPaymentAddress, &f.peerPublicKey,
                                    &f.peerGreetingAddress, &f.title, &f.callTxid})
        EXPECT_EQ(*text, "");
    EXPECT_EQ(f.startTime + f.satoshisSpent + f.audioChunks + f.ringStartTime, 0);
    EXPECT_TRUE(statusChangedFlag().load());
}

TEST(CallState, StatusSetUnderTheLockIsAnnouncedAfterIt)
{
    std::vector<bool> lockFreeAtEvent;
    std::vector<std::string> texts;
    platform::installEventSink([&](const platform::Event& event) {
        const bool free = stateMutex().try_lock();
        if (free) stateMutex().unlock();
        lockFreeAtEvent.push_back(free);
        texts.push_back(event.text);
        return true;
    });
    {
        StateLock held;
        setStatusTextLocked(held, "Busy.");
        EXPECT_EQ(phoneState().statusText, "Busy.");
        setStatusTextLocked(held, "Line busy.");
        EXPECT_TRUE(texts.empty());
    }
    {
        StateLock held;
        setStatusTextLocked(held, "Hung up.");
        held.unlock();
        EXPECT_EQ(texts.size(), 2u);
    }
    platform::installEventSink({});
    EXPECT_EQ(texts, (std::vector<std::string> {"Line busy.", "Hung up."}));
    EXPECT_EQ(lockFreeAtEvent, (std::vector<bool> {true, true}));
}

// Playing the own greeting is refused during a call, with the state mutex
// released before the refusal is said (saying it under the lock hung).
TEST(CallState, OwnGreetingIsRefusedDuringACall)
{
    for (const CallState state : {CallState::Calling, CallState::Ringing, CallState::Connected}) {
        {
            StateLock held;
            resetCall(held);
            callFields().state = state;
        }
        playOwnGreeting();
        StateLock held;
        EXPECT_EQ(phoneState().statusText, "Hang up before playing the greeting.") << static_cast<int>(state);
        resetCall(held);
    }
}

} // namespace
