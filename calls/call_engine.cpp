#include "calls/call_engine.h"

#include "audio/capture.h"
#include "audio/playback.h"
#include "calls/answer_phone.h"
#include "calls/call_state.h"
#include "calls/phone_fee.h"
#include "calls/phone_records.h"
#include "phone/app_messages.h"
#include "phone/phone_store.h"
#include "phone/text.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/events.h"
#include "platform/worker.h"
#include "services/identity.h"
#include "services/paymail_claim.h"
#include "services/paymail_resolution.h"
#include "services/signed_records.h"
#include "services/tessera_link.h"
#include "wallet/phone_spend.h"
#include "wallet/wallet_state.h"
#include "wallet/handle_forms.h"
#include "platform/sync.h"

#include <openssl/rand.h>

#include <cstdio>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr size_t kHandleBoxLimit = 179;
constexpr int kStepMs = 100;

platform::Mutex questionMutex;
QuestionHook& installedQuestion() REQUIRES(questionMutex)
{
    static QuestionHook hook;
    return hook;
}

bool askQuestion(const std::string& text)
{
    QuestionHook hook;
    {
        platform::LockGuard lock(questionMutex);
        hook = installedQuestion();
    }
    return hook && hook(text);
}

bool stopping()
{
    return platform::shutdownToken().stop_requested();
}

// Waits steps of 100 ms while keepGoing holds; false when it stopped holding
// (or the program stops).
bool waitWhile(int steps, const std::function<bool()>& keepGoing)
{
    for (int i = 0; i < steps; ++i) {
        if (stopping() || !keepGoing()) return false;
        if (!platform::sleepForMillis(kStepMs, platform::shutdownToken())) return false;
    }
    return !stopping() && keepGoing();
}

std::string idleLine()
{
    platform::LockGuard lock(storeMutex());
    return phoneStore().answerphone ? "Calls will divert to your answer-phone after three rings."
                                    : "Calls will divert to your answer-phone after ten rings.";
}

CallState stateNow()
{
    platform::LockGuard lock(stateMutex());
    return callFields().state;
}

bool needsMicrophone()
{
    return !openMicrophone() || !hasOutput();
}

// Back to Idle from a ringing call (blocked caller, message for this call).
void stopRingingLocked(StateLock& held, const std::string& id, bool idleStatus) REQUIRES(stateMutex())
{
    CallFields& call = callFields();
    if (call.state != CallState::Ringing || call.callId != id) return;
    resetCall(held);
    if (idleStatus) setStatusTextLocked(held, idleLine());
}

bool isOwnRecord(const std::string& from, const std::string& pay) REQUIRES(stateMutex())
{
    const CallFields& call = callFields();
    if (!pay.empty() && pay == call.ownPaymentAddress) return true;
    return !from.empty() && wallet::comparison_form(from) == wallet::comparison_form(phoneState().ownHandle);
}

void ringOutThread();
void calleeFeeThread(std::string callId, std::string address, int fee);

void sendSignal(const std::string& kind, const std::string& address, const std::string& callId)
{
    json record = {{"kind", kind}, {"id", callId}};
    sendPhoneRecord(address, record, 1, true);
}

} // namespace

// --- Placing a call ---------------------------------------------------------------------

void installCallQuestionHook(QuestionHook hook)
{
    platform::LockGuard lock(questionMutex);
    installedQuestion() = std::move(hook);
}

std::string newCallId()
{
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) return {};
    char text[17];
    for (size_t i = 0; i < sizeof(bytes); ++i) std::snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return std::string(text, 16);
}

void onCallButton(const std::string& typedHandle)
{
    const std::string handle = wallet::bare_handle(typedHandle.substr(0, kHandleBoxLimit));
    if (handle.empty()) return setStatusText("Type a handle first.");
    if (sendingMessageFlag()) return setStatusText("Still sending the last message.");
    if (stateNow() != CallState::Idle) return; // a call is already under way
    if (!isTesseraConnected() || ownAlias().empty()) return setStatusText("Connect Tessera, with a published handle.");
    if (needsMicrophone()) return setStatusText("This phone needs a microphone.");

    setStatusText("Finding " + handle + ".");
    std::string error;
    const std::string address = resolveRecipient(handle, ownPaymail(), error);
    if (address.empty()) return setStatusText(error.empty() ? "No payment address for that handle." : error);
    const std::string paymail = handle + "@" + platform::config().service_domain;
    const std::string peerKey = lookupIdentityKey(handle, paymail);
    if (peerKey.empty()) return setStatusText("No paymail key for " + handle + ".");

    const PhoneFeeRecord published = fetchPhoneFeeRecord(handle);
    const int fee = std::clamp(published.feePerSecond, 1, 100);
    if (fee > 1) {
        const std::string charges = handle + " charges " + std::to_string(fee) + " sats a second.";
        setStatusText(charges);
        const bool yes = askQuestion(charges + "\nThe first 10 seconds are paid before they answer.\n\nCall them?");
        if (!yes || stateNow() != CallState::Idle) return setStatusText("Call cancelled.");
    }
    if (!payCallee(address, fee)) return setStatusText("Not enough for their fee.");

    clearCapture();
    std::string callId;
    {
        StateLock held;
        if (callFields().state != CallState::Idle) return; // somebody rang meanwhile
        resetCall(held);
        CallFields& call = callFields();
        {
            platform::LockGuard lock(wallet::wallet_mutex());
            call.ownPaymentAddress = wallet::wallet_state().receive_address;
        }
        phoneState().ownHandle = ownAlias();
        call.peerHandle = handle;
        call.peerPaymentAddress = address;
        call.peerPublicKey = peerKey;
        call.peerGreetingAddress = published.greetingAddress;
        call.callId = callId = newCallId();
        call.startTime = platform::unixSeconds();
        call.state = CallState::Calling;
        call.title = "Calling  " + handle;
        stopRequestedFlag() = false;
        statusChangedFlag() = false;
    }
    postToMainWindow(WM_PHONE_STATUS);

    json invite = {{"kind", "invite"}, {"id", callId}};
    if (!sendPhoneRecord(address, invite, 1, true)) {
        StateLock held;
        if (callFields().callId == callId) {
            callFields().state = CallState::Idle;
            callFields().title.clear();
        }
        held.unlock();
        postToMainWindow(WM_PHONE_STATUS);
        return;
    }
    platform::runTask(ringOutThread);
    platform::runTask([callId, address, fee] { calleeFeeThread(callId, address, fee); });
    platform::runTask(payConnectionFee);
    if (wallet::phone_ready_coins() < 40) platform::runTask([] { wallet::phone_prepare_coins(); });
}

namespace {

void ringOutThread()
{
    std::string callId;
    {
        platform::LockGuard lock(stateMutex());
        callId = callFields().callId;
    }
    auto stillCalling = [&] {
        platform::LockGuard lock(stateMutex());
        return callFields().state == CallState::Calling && callFields().callId == callId;
    };
    for (int ring = 1; ring <= kRings; ++ring) {
        if (stopping() || !stillCalling()) break;
        if (ring > 3 && statusChangedFlag()) break; // diverted by the callee
        setStatusText("Ringing  " + std::to_string(ring));
        playRingTone();
        const bool diverted =
            !waitWhile(kRingGapMs / kStepMs, [&] { return stillCalling() && !(ring >= 3 && statusChangedFlag()); });
        if (diverted && (!stillCalling() || stopping())) break;
        if (diverted) break;
    }
    if (stopping() || !stillCalling()) return;

    std::string greetingAddress, peerKey;
    {
        platform::LockGuard lock(stateMutex());
        greetingAddress = callFields().peerGreetingAddress;
        peerKey = callFields().peerPublicKey;
    }
    if (!greetingAddress.empty()) {
        setStatusText("Their greeting.");
        const std::string greeting = fetchGreeting(greetingAddress, peerKey);
        if (greeting.empty()) {
            setStatusText("Their greeting did not load.");
        } else if (hasOutput() && queueForPlayback(greeting)) {
            const int steps = static_cast<int>((greeting.size() / 65 + 20) * 40 / kStepMs);
            waitWhile(steps, stillCalling);
            clearPlaybackQueue();
        }
    }
    if (stopping() || !stillCalling()) return;
    setStatusText("Leave a message.");
    playBeep();
    clearCapture();
    {
        StateLock held;
        CallFields& call = callFields();
        if (call.state != CallState::Calling || call.callId != callId) return;
        call.state = CallState::LeavingMessage;
        startMessageRecordingLocked(held);
        call.startTime = platform::unixSeconds();
        stopRequestedFlag() = false;
        setStatusTextLocked(held, "Leave a message.");
        statusChangedFlag() = true;
    }
}

void calleeFeeThread(std::string callId, std::string address, int fee)
{
    auto stillPaying = [&] {
        platform::LockGuard lock(stateMutex());
        const CallState state = callFields().state;
        return callFields().callId == callId &&
               (state == CallState::Calling || state == CallState::Connected || state == CallState::LeavingMessage);
    };
    for (;;) {
        if (!waitWhile(kFeePeriodMs / kStepMs, stillPaying)) return;
        if (!payCallee(address, fee)) {
            setStatusText("Their fee did not send.");
            onHangUpButton();
            return;
        }
    }
}

} // namespace

// The call-history row of the connected call: its length, what it cost and
// the invite's txid, from the caller to the callee.
static void addFinishedCall(StateLock&) REQUIRES(stateMutex())
{
    const CallFields& call = callFields();
    CallRecord record;
    record.from = phoneState().ownHandle;
    record.to = call.peerHandle;
    const int64_t now = platform::unixSeconds();
    record.secs =
        static_cast<int32_t>(call.startTime > 0 ? std::max<int64_t>(now - call.startTime, 0) : call.recording.seconds);
    record.sats = call.satoshisSpent;
    record.ts = now;
    record.id = call.callId;
    record.txid = call.callTxid;
    if (call.incoming) std::swap(record.from, record.to);
    addCallRecord(record);
}

void onHangUpButton()
{
    std::string address, peer, callId;
    CallState state;
    {
        platform::LockGuard lock(stateMutex());
        const CallFields& call = callFields();
        state = call.state;
        address = call.peerPaymentAddress;
        peer = call.peerHandle;
        callId = call.callId;
        statusChangedFlag() = true;
    }
    switch (state) {
    case CallState::Idle:
        return;
    case CallState::LeavingMessage:
        sendMessage(true);
        return;
    case CallState::RecordingGreeting:
        stopRequestedFlag() = true;
        return;
    case CallState::Calling:
    case CallState::Ringing:
    case CallState::Connected:
        break;
    }
    if (!address.empty() && !callId.empty()) sendSignal("hangup", address, callId);
    {
        StateLock held;
        CallFields& call = callFields();
        if (call.callId != callId) return; // another call began meanwhile
        if (call.state == CallState::Connected) {
            addFinishedCall(held);
        } else if (call.state == CallState::Ringing) {
            addMissedCall(call.peerHandle, call.callId, call.callTxid);
        }
        resetCall(held);
        setStatusTextLocked(held, "Hung up.");
    }
}

// --- Incoming records ---------------------------------------------------------------------

std::unordered_set<std::string>& seenInvites()
{
    static std::unordered_set<std::string> seen;
    return seen;
}

std::atomic<bool>& newMessageFlag()
{
    static std::atomic<bool> flag {false};
    return flag;
}

RecordOutcome handleIncomingRecord(const json& record, bool live, const std::string& txid, int64_t ts)
{
    RecordOutcome outcome;
    const std::string from = verifiedSender(record);
    if (from.empty()) return outcome;
    outcome.from = from;
    const std::string kind = recordText(record, "kind");
    const std::string id = recordText(record, "id");
    const std::string pay = recordText(record, "pay");
    bool clearCaptureAfter = false;
    bool queueAudio = false;
    std::string audio;
    {
        StateLock held;
        CallFields& call = callFields();
        const int64_t now = platform::unixSeconds();

        if (kind == "invite") {
            if (isBlocked(from)) {
                if (!id.empty()) seenInvites().insert(id);
                stopRingingLocked(held, id, true);
                return outcome;
            }
            if (ts >= 1 && (ts > now + kInviteWindowSeconds || now - ts > kInviteWindowSeconds)) return outcome;
            if (seenInvites().count(id) != 0) return outcome;
            if (wallet::comparison_form(from) == wallet::comparison_form(phoneState().ownHandle)) return outcome;
            if (call.state == CallState::Ringing) {
                outcome.busy = call.callId != id;
                return outcome;
            }
            if (call.state == CallState::Connected || sendingMessageFlag()) {
                outcome.busy = true;
                return outcome;
            }
            resetCall(held);
            call.state = CallState::Ringing;
            call.incoming = true;
            call.callId = id;
            call.peerHandle = from;
            call.peerPaymentAddress = pay;
            call.peerPublicKey = recordText(record, "pubkey");
            call.callTxid = txid;
            call.title = "Incoming  " + from;
            call.ringStartTime = ts > 0 ? ts : now;
            // A call rings once: the same invite copied into a new
            // transaction later must not ring again.
            if (!id.empty()) seenInvites().insert(id);
            stopRequestedFlag() = false;
            statusChangedFlag() = false;
            setStatusTextLocked(held, "Incoming call.");
            return outcome;
        }
        // Every other kind counts only while live, except a whole message.
        if (!live && kind != "tape") return outcome;

        if ((kind == "accept" || kind == "box") && call.state == CallState::Calling && id == call.callId) {
            if (kind == "accept") {
                call.state = CallState::Connected;
                call.startTime = now;
                setStatusTextLocked(held, "Connected.");
                clearCaptureAfter = true;
            } else {
                setStatusTextLocked(held, "Answer-phone.");
            }
            statusChangedFlag() = true;
        } else if (kind == "accept" && call.state == CallState::LeavingMessage && id == call.callId &&
                   !call.messageSendBegun && !sendingMessageFlag()) {
            stopRequestedFlag() = true;
            call.recording = {};
            call.state = CallState::Connected;
            call.startTime = now;
            setStatusTextLocked(held, "Connected.");
            statusChangedFlag() = true;
            clearCaptureAfter = true;
        } else if (kind == "hangup" && id == call.callId && call.state != CallState::Idle) {
            // Either side keeps the call it talked on, whoever ended it.
            if (call.state == CallState::Connected) addFinishedCall(held);
            if (call.state == CallState::Ringing) addMissedCall(call.peerHandle, id, call.callTxid);
            resetCall(held);
            setStatusTextLocked(held, "They hung up.");
        } else if (kind == "audio" && call.state == CallState::Connected && id == call.callId) {
            if (!isOwnRecord(from, pay)) {
                audio = base64Decode(recordText(record, "audio"));
                queueAudio = !audio.empty();
            }
        } else if (kind == "tape") {
            outcome.newMessage = fileMessageLocked(held, record, from, id, txid);
        }
    }
    if (clearCaptureAfter) clearCapture();
    if (queueAudio && queueCallAudio(audio)) {
        platform::Event event;
        event.kind = platform::EventKind::Audio;
        event.text = "received";
        event.fields = {recordText(record, "n"), std::to_string(audio.size()), txid};
        platform::emitEvent(event);
    }
    return outcome;
}

void onAnswerButton()
{
    std::string address, peer, callId;
    {
        platform::LockGuard lock(stateMutex());
        if (callFields().state != CallState::Ringing) return;
        address = callFields().peerPaymentAddress;
        peer = callFields().peerHandle;
        callId = callFields().callId;
    }
    if (needsMicrophone()) return setStatusText("This phone needs a microphone.");
    json accept = {{"kind", "accept"}, {"id", callId}};
    if (!sendPhoneRecord(address, accept, 1, true)) return; // still ringing; the send said why
    clearCapture();
    StateLock held;
    CallFields& call = callFields();
    if (call.state != CallState::Ringing || call.callId != callId) return;
    statusChangedFlag() = true;
    call.state = CallState::Connected;
    call.startTime = platform::unixSeconds();
    setStatusTextLocked(held, "Connected.");
}

bool divertToAnswerPhone()
{
    std::string address, peer, callId;
    {
        platform::LockGuard state(stateMutex());
        platform::LockGuard store(storeMutex());
        if (callFields().state != CallState::Ringing || !phoneStore().answerphone) return false;
        address = callFields().peerPaymentAddress;
        peer = callFields().peerHandle;
        callId = callFields().callId;
    }
    if (address.empty() || peer.empty() || callId.empty()) return false;
    json box = {{"kind", "box"}, {"id", callId}};
    if (!sendPhoneRecord(address, box, 1, true)) return false;
    StateLock held;
    CallFields& call = callFields();
    if (call.state != CallState::Ringing || call.callId != callId) return false;
    addMissedCall(peer, callId, call.callTxid);
    resetCall(held);
    setStatusTextLocked(held, "Sent them to answer-phone.");
    return true;
}

void ringInThread()
{
    struct ClearFlag {
        ~ClearFlag() { incomingRingRunningFlag() = false; }
    } clearFlag;
    std::string callId;
    int64_t start = 0;
    {
        platform::LockGuard lock(stateMutex());
        callId = callFields().callId;
        start = callFields().ringStartTime > 0 ? callFields().ringStartTime : platform::unixSeconds();
    }
    const int64_t deadline = start + kDivertAfterSeconds;
    auto stillRinging = [&] {
        platform::LockGuard lock(stateMutex());
        return !statusChangedFlag() && callFields().state == CallState::Ringing && callFields().callId == callId;
    };
    for (int ring = 0; ring < kRings; ++ring) {
        if (stopping() || !stillRinging()) return;
        bool answerphone = false;
        int notify = 0;
        {
            platform::LockGuard lock(storeMutex());
            answerphone = phoneStore().answerphone;
            notify = phoneStore().notify;
        }
        if (answerphone && platform::unixSeconds() >= deadline) {
            if (divertToAnswerPhone() || !stillRinging()) return;
        }
        if (notify < 2) playRingTone();
        if (!waitWhile(kRingGapMs / kStepMs, stillRinging)) return;
    }
}

void installCallEngine()
{
    installRecordHandler(handleIncomingRecord);
    installRingStarter([] { platform::runTask(ringInThread); });
}

} // namespace kestrel
