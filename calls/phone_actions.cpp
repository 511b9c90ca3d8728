#include "calls/phone_actions.h"

#include "calls/call_state.h"
#include "calls/chain_watch.h"
#include "calls/phone_fee.h"
#include "phone/app_messages.h"
#include "phone/phone_store.h"
#include "platform/worker.h"
#include "services/balance.h"
#include "services/paymail_claim.h"
#include "services/tessera_link.h"
#include "wallet/wallet_state.h"

#include <mutex>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

static_assert(static_cast<int>(PhoneCallState::RecordingGreeting) == static_cast<int>(CallState::RecordingGreeting));

namespace {

std::string idleStatusLine()
{
    std::lock_guard lock(storeMutex());
    return phoneStore().answerphone ? "Calls will divert to your answer-phone after three rings."
                                    : "Calls will divert to your answer-phone after ten rings.";
}

bool succeeded(const std::string& result)
{
    return result.starts_with("success") || result == "ok";
}

} // namespace

PhoneSnapshot phoneSnapshot()
{
    PhoneSnapshot snapshot;
    {
        std::lock_guard lock(stateMutex());
        const PhoneState& state = phoneState();
        const CallFields& call = callFields();
        snapshot.state = static_cast<PhoneCallState>(call.state);
        snapshot.statusText = state.statusText;
        snapshot.balanceLine = state.balanceLine;
        snapshot.balance = state.balance;
        snapshot.handle = state.ownHandle;
        snapshot.peerHandle = call.peerHandle;
        snapshot.callId = call.callId;
        snapshot.title = call.title;
        snapshot.startTime = call.startTime;
        snapshot.satoshisSpent = call.satoshisSpent;
    }
    snapshot.connected = isTesseraConnected();
    return snapshot;
}

PhoneSettings phoneSettings()
{
    std::lock_guard lock(storeMutex());
    const PhoneStore& store = phoneStore();
    PhoneSettings settings;
    settings.answerphone = store.answerphone;
    settings.phoneFee = store.phoneFee;
    settings.greetingPublished = store.greetOn;
    settings.theme = store.theme;
    settings.notify = store.notify;
    settings.volume = store.volume.load();
    settings.bsv = store.bsv;
    return settings;
}

const char* callStateName(PhoneCallState state)
{
    switch (state) {
    case PhoneCallState::Idle:
        return "Idle";
    case PhoneCallState::Calling:
        return "Calling";
    case PhoneCallState::Ringing:
        return "Ringing";
    case PhoneCallState::Connected:
        return "Connected";
    case PhoneCallState::LeavingMessage:
        return "LeavingMessage";
    case PhoneCallState::RecordingGreeting:
        return "RecordingGreeting";
    }
    return "Idle";
}

void connectAction()
{
    const std::string result = connectToTessera();
    if (!succeeded(result)) {
        setStatusText(result);
        return;
    }
    WalletStatus status;
    refreshWalletStatus(status, true);
    const int64_t balance = refreshFace();
    const std::string paymail = ownPaymail();
    bool bsv = false;
    {
        std::lock_guard lock(storeMutex());
        bsv = phoneStore().bsv;
    }
    const std::string amount = formatAmount(std::max<int64_t>(balance, 0), bsv);
    {
        std::lock_guard lock(stateMutex());
        phoneState().balance = balance;
        phoneState().balanceLine = paymail.empty() ? amount : paymail + "   " + amount;
    }
    setStatusText(idleStatusLine());
    postToMainWindow(WM_PHONE_CONNECTION, 1);
}

void disconnectAction()
{
    const std::string result = disconnectFromTessera();
    if (!succeeded(result)) {
        setStatusText(result);
        return;
    }
    {
        std::lock_guard lock(stateMutex());
        phoneState().balanceLine.clear();
        phoneState().balance = -1;
        phoneState().ownHandle.clear();
        doneTxids().clear();
    }
    setStatusText("Tessera closed.");
    postToMainWindow(WM_PHONE_CONNECTION, 0);
}

void setAnswerphone(bool on)
{
    {
        std::lock_guard state(stateMutex());
        std::lock_guard lock(storeMutex());
        phoneStore().answerphone = on;
        saveAll();
    }
    setStatusText(idleStatusLine());
}

bool setPhoneFee(int fee)
{
    if (fee < 1 || fee > 100) return false;
    {
        std::lock_guard lock(storeMutex());
        phoneStore().phoneFee = fee;
        saveAll();
    }
    // Callers learn the price from the published record, so it follows at once.
    platform::runTask(onFeeChanged);
    return true;
}

} // namespace kestrel
