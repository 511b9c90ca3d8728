// The call engine: placing a call, the outgoing ring loop and the
// per-second payment to the callee, the records the other side sends
// (invite, accept, divert, hang-up, speech, messages), the incoming ring
// loop, answering and hanging up.
//
// Every decision is made under stateMutex() on the call fields of
// calls/call_state.h; network work (resolution, payments, record sends) runs
// without it, and the state is read again after every blocking step because
// the peer may change it at any time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "calls/chain_watch.h"

namespace kestrel {

// --- Placing a call ---------------------------------------------------------------------

// The Call action: every refusal is one status line and leaves the phone
// Idle; on success the invite is out and the ring loop, the fee payments, the
// connection fee and coin preparation run as tasks. Blocks (resolution,
// prepayment, the invite); run it off the interface's thread.
void onCallButton(const std::string& typedHandle) EXCLUDES(stateMutex());

// The Hang-up action in every state (also a failed fee payment's end).
void onHangUpButton() EXCLUDES(stateMutex());

// The price question ("Call them?"): true for Yes. Installed by the front
// end; without one the answer is No.
using QuestionHook = std::function<bool(const std::string& text)>;
void installCallQuestionHook(QuestionHook hook);

// 16 lower-case hex digits from the operating system's random source.
std::string newCallId();

// --- Incoming records ---------------------------------------------------------------------

// The chain watch's handler: verification first, then the rules of each kind.
RecordOutcome handleIncomingRecord(const nlohmann::json& record, bool live, const std::string& txid, int64_t ts)
    EXCLUDES(stateMutex());

// The Answer action: only while Ringing.
void onAnswerButton() EXCLUDES(stateMutex());

// Sends the ringing caller to the answer-phone ("box"); true when it did.
bool divertToAnswerPhone() EXCLUDES(stateMutex());

// The incoming ring loop; owns incomingRingRunningFlag() and clears it on
// every way out.
void ringInThread() EXCLUDES(stateMutex());

// Call ids that must never ring again; hold stateMutex().
std::unordered_set<std::string>& seenInvites();

// Set when an answer-phone message was filed; the face flashes until seen.
std::atomic<bool>& newMessageFlag();

// Installs the handler and the ring starter into the chain watch (start-up).
void installCallEngine();

// --- Timing (seconds and ticks the loops use) ---------------------------------------------------

inline constexpr int kRings = 10;
inline constexpr int kRingGapMs = 3000;       // 30 steps of 100 ms after each ring tone
inline constexpr int kDivertAfterSeconds = 6; // with the answer-phone on
inline constexpr int kFeePeriodMs = 10'000;
inline constexpr int64_t kInviteWindowSeconds = 180;

} // namespace kestrel
