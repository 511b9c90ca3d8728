// The answer-phone and greetings: leaving a message of up to 60 seconds when
// the callee does not answer, filing the messages others leave, recording
// and publishing the own greeting of up to 20 seconds (signed, not sealed,
// paid to the greeting address), fetching a callee's published greeting, and
// playing the own one.
//
// The recording lives in the call fields (calls/call_state.h) under
// stateMutex(); sends run without it. The media loop drives the recorders
// every 40 ms through answerPhoneDuties().
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "phone/phone_store.h"

namespace kestrel {

inline constexpr int kMessageSeconds = 60;
inline constexpr int kGreetingSeconds = 20;
inline constexpr int64_t kMessageRetryMs = 3000;

// Sends the recorded message of the current call; hungUp: the caller ended
// the recording (the phone goes Idle whatever happens).
void sendMessage(bool hungUp);

// The Record Greeting action: Idle to RecordingGreeting after the beep.
void recordGreeting();
// Sends the recorded greeting (only while RecordingGreeting and no send began).
void publishGreeting();
// Ends greeting recording with a status line.
void finishGreeting(const std::string& text);
// Plays the own greeting (the stored copy, else the published one).
void playOwnGreeting();

// The GSM bytes of the greeting published at address and signed by key (66
// hex); empty when none is found.
std::string fetchGreeting(const std::string& address, const std::string& key);

// The media loop's duties in LeavingMessage and RecordingGreeting.
void answerPhoneDuties();

// With the state mutex held: empties the recording and its flags for a new
// message or greeting.
void startMessageRecordingLocked(StateLock& held) REQUIRES(stateMutex());

// With the state mutex held: files a "tape" record from from (verified) in
// the inbox by the rules for messages; true when a new message was filed.
bool fileMessageLocked(StateLock& held, const nlohmann::json& record, const std::string& from, const std::string& id,
                       const std::string& txid) REQUIRES(stateMutex());

} // namespace kestrel
