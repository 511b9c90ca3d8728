#include "calls/answer_phone.h"

#include "platform/events.h"

#include "audio/capture.h"
#include "audio/playback.h"
#include "calls/call_engine.h"
#include "calls/call_state.h"
#include "calls/phone_fee.h"
#include "calls/phone_records.h"
#include "phone/app_messages.h"
#include "phone/text.h"
#include "phone/web_requests.h"
#include "platform/chain_api.h"
#include "platform/clock.h"
#include "platform/config.h"
#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "services/paymail_claim.h"
#include "services/signed_records.h"
#include "services/tessera_link.h"
#include "wallet/keys.h"
#include "wallet/phone_spend.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <algorithm>
#include <optional>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr int kGreetingLookupMs = 4000;
constexpr int kChainBackoffMs = 8000;
constexpr size_t kBytesPerSecond = 1625;
constexpr size_t kGreetingCandidates = 8;

bool contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::string ownGreetingAddress()
{
    platform::LockGuard lock(wallet::wallet_mutex());
    if (!wallet::load_wallet() || !wallet::wallet_state().keys_ready) return {};
    return wallet::greeting_address();
}

std::optional<json> parseJson(const std::string& body)
{
    if (body.empty()) return std::nullopt;
    json value = json::parse(body, nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

// Txids of an oracle answer ("txids") or a history (array, or "result" array).
std::vector<std::string> candidateTxids(const std::string& body)
{
    std::vector<std::string> txids;
    const std::optional<json> doc = parseJson(body);
    if (!doc) return txids;
    const json* list = nullptr;
    if (doc->is_object() && doc->contains("txids") && (*doc)["txids"].is_array()) {
        for (const json& t : (*doc)["txids"])
            if (t.is_string() && t.get_ref<const std::string&>().size() == 64) txids.push_back(t.get<std::string>());
        return txids;
    }
    if (doc->is_array())
        list = &*doc;
    else if (doc->is_object() && doc->contains("result") && (*doc)["result"].is_array())
        list = &(*doc)["result"];
    if (!list) return txids;
    for (const json& item : *list) {
        if (!item.is_object()) continue;
        const std::string txid = platform::jsonText(item, "tx_hash", "txid");
        if (txid.size() == 64) txids.push_back(txid);
    }
    return txids;
}

std::string greetingFromTransaction(const std::string& txid, const std::string& key)
{
    std::optional<json> doc =
        parseJson(serviceGet(platform::decodedTxPath(txid), kGreetingLookupMs, &chainBackoffSlot(), kChainBackoffMs));
    if (!doc || !doc->is_object() || !doc->contains("vout"))
        doc = parseJson(webGet(platform::chainHost(), platform::chainPath("/tx/" + txid), kGreetingLookupMs,
                               &chainBackoffSlot(), kChainBackoffMs));
    if (!doc || !doc->is_object() || !doc->contains("vout")) return {};
    std::string payload;
    try {
        payload = extractFromTxJson(*doc);
    } catch (const json::exception&) {
        return {};
    }
    if (payload.find("\"greet\"") == std::string::npos) return {};
    const std::optional<json> record = parseJson(payload);
    if (!record || !record->is_object() || recordText(*record, "kind") != "greet") return {};
    if (verifiedSender(*record).empty()) return {};
    if (wallet::ascii_lower(recordText(*record, "pubkey")) != key) return {};
    const std::string audio = base64Decode(recordText(*record, "audio"));
    return audio.size() >= 65 ? audio : std::string();
}

// Ends the current message attempt after a hang-up or with nothing to send.
void endMessageLocked(StateLock& held) REQUIRES(stateMutex())
{
    resetCall(held);
}

} // namespace

// --- Leaving a message ----------------------------------------------------------------

void startMessageRecordingLocked(StateLock&) REQUIRES(stateMutex())
{
    CallFields& call = callFields();
    call.recording = {};
    call.messageSendBegun = false;
    call.messageRetryTick = 0;
    stopRequestedFlag() = false;
}

void sendMessage(bool hungUp)
{
    if (hungUp) stopRequestedFlag() = true;
    {
        StateLock held;
        CallFields& call = callFields();
        if (call.messageSendBegun) {
            if (hungUp) {
                call.state = CallState::Idle;
                statusChangedFlag() = true;
                setStatusTextLocked(held, "Hung up.");
            }
            return;
        }
        call.messageSendBegun = true;
    }
    sendingMessageFlag() = true;
    std::string gsm, peer, address, callId;
    int seconds = 0;
    recordStep(true, false, callRecording(), stateMutex());
    bool stop = false;
    {
        platform::LockGuard lock(stateMutex());
        const CallFields& call = callFields();
        gsm = call.recording.gsm;
        peer = call.peerHandle;
        address = call.peerPaymentAddress;
        callId = call.callId;
        seconds = call.recording.seconds;
        stop = hungUp || stopRequestedFlag();
    }
    if (gsm.empty() || peer.empty() || address.empty()) {
        {
            StateLock held;
            callFields().messageSendBegun = false;
            stopRequestedFlag() = false;
            if (stop) endMessageLocked(held);
            setStatusTextLocked(held, "No message to leave.");
        }
        sendingMessageFlag() = false;
        return;
    }
    const int secs = seconds >= 1 ? seconds : static_cast<int>(std::max<size_t>(gsm.size() / kBytesPerSecond, 1));
    setStatusText("Sending the message.");
    json tape = {
        {"kind", "tape"}, {"id", callId}, {"mark", "start-end"}, {"codec", "gsm"}, {"audio", base64Encode(gsm)},
        {"secs", secs}};
    const bool sent = sendPhoneRecord(address, tape, 100, false);
    const bool held = holdMark();
    {
        StateLock lock;
        CallFields& call = callFields();
        if (sent) {
            appendLog(utf8ToWide("tape  " + peer + "  " + std::to_string(gsm.size()) + " bytes"));
            if (call.callId == callId) {
                CallRecord row;
                row.from = phoneState().ownHandle;
                row.to = peer;
                row.secs = secs;
                row.sats = call.satoshisSpent;
                row.ts = platform::unixSeconds();
                row.id = callId;
                row.txid = call.callTxid;
                addCallRecord(row);
                resetCall(lock);
                setStatusTextLocked(lock, "Message left for " + peer + ".");
            }
            stopRequestedFlag() = false;
        } else if (call.callId == callId) {
            call.messageSendBegun = false;
            if (stop) {
                endMessageLocked(lock);
                stopRequestedFlag() = false;
            } else {
                call.messageRetryTick = platform::tickMillis() + kMessageRetryMs;
            }
            if (!held) setStatusTextLocked(lock, "The message did not send.");
        }
    }
    postToMainWindow(WM_PHONE_STATUS);
    sendingMessageFlag() = false;
}

// --- Greetings ------------------------------------------------------------------------------

void recordGreeting()
{
    if (!isTesseraConnected() || ownAlias().empty() || ownGreetingAddress().empty())
        return setStatusText("Connect Tessera, with a published handle.");
    if (!openMicrophone() || !hasOutput()) return setStatusText("This phone needs a microphone.");
    {
        StateLock held;
        CallFields& call = callFields();
        if (call.state != CallState::Idle) return;
        resetCall(held);
        call.state = CallState::RecordingGreeting;
        startMessageRecordingLocked(held);
        call.startTime = platform::unixSeconds();
        setStatusTextLocked(held, "Record your greeting after the beep.");
    }
    playBeep();
    clearCapture();
    StateLock held;
    if (callFields().state != CallState::RecordingGreeting) return;
    callFields().startTime = platform::unixSeconds();
    setStatusTextLocked(held, "Recording the greeting.");
}

void publishGreeting()
{
    {
        platform::LockGuard lock(stateMutex());
        CallFields& call = callFields();
        if (call.state != CallState::RecordingGreeting || call.messageSendBegun) return;
        call.messageSendBegun = true;
    }
    recordStep(true, true, callRecording(), stateMutex());
    std::string gsm;
    int seconds = 0;
    std::string ownAddress;
    {
        platform::LockGuard lock(stateMutex());
        gsm = callFields().recording.gsm;
        seconds = callFields().recording.seconds;
        ownAddress = callFields().ownPaymentAddress;
    }
    const std::string address = ownGreetingAddress();
    auto finish = [](const std::string& text) {
        {
            platform::LockGuard lock(stateMutex());
            callFields().messageSendBegun = false;
        }
        finishGreeting(text);
    };
    if (gsm.empty() || address.empty()) return finish("No greeting recorded.");

    setStatusText("Sending the greeting.");
    json record = {{"protocol", "CV-Phone"},
                   {"type", "cp"},
                   {"location", "cphone"},
                   {"kind", "greet"},
                   {"codec", "gsm"},
                   {"audio", base64Encode(gsm)},
                   {"secs", std::max(seconds, 1)},
                   {"handle", ownAlias()},
                   {"pay", ownAddress}};
    std::string error;
    if (!signRecord(record, error)) return finish(error.empty() ? "Could not sign the greeting." : error);
    const std::string payload = record.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!wallet::read_spend_result(
             wallet::phone_send(address, payload, 100, false, platform::config().message_fee_address))
             .sent())
        return finish("The greeting did not send.");
    {
        platform::LockGuard lock(storeMutex());
        phoneStore().greetOn = true;
        phoneStore().greetingAudio = gsm;
        saveAll();
    }
    const bool published = publishPhoneRecord();
    finish(published ? "Greeting saved." : "Greeting saved. The paymail host has not published it yet.");
}

void finishGreeting(const std::string& text)
{
    {
        StateLock held;
        resetCall(held);
        stopRequestedFlag() = false;
        setStatusTextLocked(held, text);
    }
    postToCardWindow(WM_PHONE_CARD_REFRESH);
}

void playOwnGreeting()
{
    {
        platform::LockGuard lock(stateMutex());
        if (callFields().state != CallState::Idle) return setStatusText("Hang up before playing the greeting.");
    }
    std::string audio;
    bool greetOn = false;
    {
        platform::LockGuard lock(storeMutex());
        audio = phoneStore().greetingAudio;
        greetOn = phoneStore().greetOn;
    }
    if (audio.empty() && greetOn) {
        setStatusText("Loading the greeting.");
        std::string key;
        {
            platform::LockGuard lock(wallet::wallet_mutex());
            key = wallet::ascii_lower(wallet::wallet_state().identity_pub);
        }
        audio = fetchGreeting(ownGreetingAddress(), key);
        if (audio.empty()) return setStatusText("The greeting did not load.");
        platform::LockGuard lock(storeMutex());
        if (phoneStore().greetingAudio.empty()) {
            phoneStore().greetingAudio = audio;
            saveAll();
        }
    }
    if (audio.empty()) return setStatusText("No recording made.");
    clearPlaybackQueue();
    setStatusText(queueForPlayback(audio) ? "Playing the greeting." : "The greeting did not play.");
}

std::string fetchGreeting(const std::string& address, const std::string& key)
{
    if (address.empty() || key.size() != 66) return {};
    const std::string wanted = wallet::ascii_lower(key);
    std::vector<std::string> candidates =
        candidateTxids(serviceGet(platform::oracleTxidsPath(address, static_cast<int>(kGreetingCandidates)),
                                  kGreetingLookupMs, &chainBackoffSlot(), kChainBackoffMs));
    if (candidates.empty())
        candidates = candidateTxids(webGet(platform::chainHost(),
                                           platform::chainPath("/address/" + address + "/unconfirmed/history"),
                                           kGreetingLookupMs, &chainBackoffSlot(), kChainBackoffMs));
    if (candidates.empty())
        candidates =
            candidateTxids(webGet(platform::chainHost(), platform::chainPath("/address/" + address + "/history"),
                                  kGreetingLookupMs, &chainBackoffSlot(), kChainBackoffMs));
    for (const std::string& txid : candidates) {
        std::string audio = greetingFromTransaction(txid, wanted);
        if (!audio.empty()) return audio;
    }
    return {};
}

// --- The media loop's duties ----------------------------------------------------------------

void answerPhoneDuties()
{
    CallState state;
    {
        platform::LockGuard lock(stateMutex());
        state = callFields().state;
    }
    if (state == CallState::RecordingGreeting) {
        recordStep(false, true, callRecording(), stateMutex());
        bool done = false;
        {
            platform::LockGuard lock(stateMutex());
            done = stopRequestedFlag() || callFields().recording.seconds >= kGreetingSeconds;
        }
        if (done) publishGreeting();
    } else if (state == CallState::LeavingMessage) {
        recordStep(false, false, callRecording(), stateMutex());
        bool full = false;
        int64_t retryTick = 0;
        {
            platform::LockGuard lock(stateMutex());
            full = callFields().recording.seconds >= kMessageSeconds;
            retryTick = callFields().messageRetryTick;
        }
        // Announced once a try: between tries the line keeps saying why the
        // last one failed.
        if (full && platform::tickMillis() >= retryTick) {
            setStatusText("60 seconds. Sending.");
            sendMessage(false);
        }
    }
}

// --- Filing messages ------------------------------------------------------------------------

bool fileMessageLocked(StateLock& held, const json& record, const std::string& from, const std::string& id,
                       const std::string& txid) REQUIRES(stateMutex())
{
    CallFields& call = callFields();
    {
        platform::LockGuard lock(storeMutex());
        PhoneStore& store = phoneStore();
        if (txid.size() == 64) {
            bool changed = false;
            for (SavedMessage& saved : store.saved) {
                if (saved.id == id && saved.txid.size() != 64) {
                    saved.txid = txid;
                    changed = true;
                }
            }
            if (changed) {
                saveAll();
                postToCardWindow(WM_PHONE_CARD_REFRESH);
            }
        }
    }
    if (isBlocked(from)) {
        if (!id.empty()) seenInvites().insert(id);
        if (call.state == CallState::Ringing && call.callId == id) resetCall(held);
        return false;
    }
    InboxMessage message;
    {
        platform::LockGuard lock(storeMutex());
        PhoneStore& store = phoneStore();
        if (contains(store.tomb, id) || contains(store.heard, id)) return false;
        if (std::any_of(store.inbox.begin(), store.inbox.end(), [&](const InboxMessage& m) { return m.id == id; }))
            return false;
    }
    message.id = id;
    message.from = from;
    message.txid = txid;
    message.ts = recordInteger(record, "ts");
    message.secs = static_cast<int32_t>(std::clamp<int64_t>(recordInteger(record, "secs"), 0, kMessageSeconds * 2));
    message.audio = base64Decode(recordText(record, "audio"));
    if (message.audio.empty()) return false;

    seenInvites().insert(id);
    if (call.state == CallState::Ringing && call.callId == id) resetCall(held);
    const std::string sender = from.empty() ? "someone" : from;
    const int32_t secs = message.secs;
    {
        platform::LockGuard lock(storeMutex());
        phoneStore().inbox.push_back(std::move(message));
        addMissedCall(sender, id, txid);
    }
    newMessageFlag() = true;
    setStatusTextLocked(held, "Message from " + sender + ".");
    platform::Event filed;
    filed.kind = platform::EventKind::Audio;
    filed.text = "message";
    filed.fields = {sender, id, std::to_string(secs), txid};
    platform::emitEvent(filed);
    return true;
}

} // namespace kestrel
