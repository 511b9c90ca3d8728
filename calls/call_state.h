// The call state and the call fields: one process-wide record that every
// part of the phone consults (the call engine, incoming records, the media
// loop, the answer-phone, the chain watch).
//
// Everything in CallFields is read and written under kestrel::stateMutex()
// (phone/phone_store.h). The own handle is not repeated here: it lives in
// phoneState().ownHandle under the same mutex, the one place the chain watch
// keeps it current. The flags are atomics and need no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "audio/capture.h"
#include "phone/phone_store.h"

namespace kestrel {

enum class CallState : int {
    Idle = 0,
    Calling = 1,           // we invited the callee and ring out
    Ringing = 2,           // somebody invited us
    Connected = 3,         // both sides talk
    LeavingMessage = 4,    // the callee did not answer; we record a message
    RecordingGreeting = 5, // we record our own greeting
};

// True for every state but Idle.
bool callInProgress(CallState state);

struct CallFields {
    CallState state = CallState::Idle;
    std::string ownPaymentAddress;   // kept current by the chain watch
    std::string callId;              // 16 lower-case hex digits
    std::string peerHandle;          // bare name on the service domain
    std::string peerPaymentAddress;  // where the call's records go
    std::string peerPublicKey;       // 66 hex; every record of the call is sealed to it
    std::string peerGreetingAddress; // empty or at least 26 characters
    std::string title;               // "Calling  " or "Incoming  " + peer handle
    int64_t startTime = 0;           // seconds since 1970
    int64_t satoshisSpent = 0;       // running total of the call's record fees
    std::string callTxid;            // the first record txid of the call
    int64_t audioChunks = 0;         // audio records sent in this call
    int64_t ringStartTime = 0;       // seconds since 1970, when an incoming call began to ring
    bool incoming = false;           // the peer called us
    // The message or greeting being recorded, and its send.
    Recording recording;
    bool messageSendBegun = false; // a send of the message or greeting has begun
    int64_t messageRetryTick = 0;  // platform::tickMillis() before which a failed message is not sent again
};

// The process-wide call fields; hold stateMutex() while using them.
CallFields& callFields() REQUIRES(stateMutex());
// The recording's place, for recordStep, which takes stateMutex() around each use.
Recording& callRecording();

// Back to Idle: every call field to its default, except the own payment
// address, which belongs to the chain watch. Sets statusChangedFlag() so
// that ring loops end.
void resetCall(StateLock& held) REQUIRES(stateMutex());

// Set by every event that changes the call state (ends ring loops).
std::atomic<bool>& statusChangedFlag();
// Asks the recording of a message or greeting to stop.
std::atomic<bool>& stopRequestedFlag();
// A finished message is being sent.
std::atomic<bool>& sendingMessageFlag();
// The incoming ring thread runs.
std::atomic<bool>& incomingRingRunningFlag();

} // namespace kestrel
