#include "calls/call_state.h"

namespace kestrel {

bool callInProgress(CallState state)
{
    return state != CallState::Idle;
}

CallFields& callFields() REQUIRES(stateMutex())
{
    static CallFields fields;
    return fields;
}

Recording& callRecording() NO_THREAD_SAFETY_ANALYSIS
{
    return callFields().recording;
}

void resetCall(StateLock&) REQUIRES(stateMutex())
{
    CallFields& fields = callFields();
    CallFields fresh;
    fresh.ownPaymentAddress = std::move(fields.ownPaymentAddress);
    fields = std::move(fresh);
    statusChangedFlag() = true;
}

std::atomic<bool>& statusChangedFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

std::atomic<bool>& stopRequestedFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

std::atomic<bool>& sendingMessageFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

std::atomic<bool>& incomingRingRunningFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

} // namespace kestrel
