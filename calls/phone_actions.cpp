#include "calls/phone_actions.h"

#include "calls/call_state.h"
#include "calls/answer_phone.h"
#include "audio/playback.h"
#include "audio/capture.h"
#include "calls/call_engine.h"
#include "calls/chain_watch.h"
#include "calls/phone_fee.h"
#include "phone/app_messages.h"
#include "phone/avatars.h"
#include "phone/phone_store.h"
#include "phone/text.h"
#include "platform/autostart.h"
#include "platform/worker.h"
#include "services/balance.h"
#include "services/paymail_claim.h"
#include "services/paymail_resolution.h"
#include "services/tessera_link.h"
#include "wallet/wallet_state.h"
#include "wallet/handle_forms.h"
#include "platform/sync.h"

#include <algorithm>

namespace kestrel {

namespace wallet = cv_tessera_wallet;

static_assert(static_cast<int>(PhoneCallState::RecordingGreeting) == static_cast<int>(CallState::RecordingGreeting));

namespace {

std::string idleStatusLine()
{
    platform::LockGuard lock(storeMutex());
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
        platform::LockGuard lock(stateMutex());
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
    platform::LockGuard lock(storeMutex());
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

std::string handleForm(const std::string& text)
{
    return wallet::comparison_form(text);
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
        platform::LockGuard lock(storeMutex());
        bsv = phoneStore().bsv;
    }
    const std::string amount = formatAmount(std::max<int64_t>(balance, 0), bsv);
    {
        platform::LockGuard lock(stateMutex());
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
        platform::LockGuard lock(stateMutex());
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
        platform::LockGuard state(stateMutex());
        platform::LockGuard lock(storeMutex());
        phoneStore().answerphone = on;
        saveAll();
    }
    setStatusText(idleStatusLine());
}

bool setPhoneFee(int fee)
{
    if (fee < 1 || fee > 100) return false;
    {
        platform::LockGuard lock(storeMutex());
        phoneStore().phoneFee = fee;
        saveAll();
    }
    // Callers learn the price from the published record, so it follows at once.
    platform::runTask(onFeeChanged);
    return true;
}

void callAction(const std::string& handle)
{
    onCallButton(handle);
}

void answerAction()
{
    onAnswerButton();
}

void hangUpAction()
{
    onHangUpButton();
}

void installQuestionHook(std::function<bool(const std::string& text)> hook)
{
    kestrel::installCallQuestionHook(std::move(hook));
}

void setMute(bool on)
{
    setMuteSwitch(on);
}

void showStatus(const std::string& text)
{
    setStatusText(text);
}

void setEcho(bool on)
{
    setEchoLine(on);
}

bool muted()
{
    return muteSwitch();
}

bool setVolume(int percent)
{
    if (percent != 50 && percent != 100 && percent != 150 && percent != 200) return false;
    {
        platform::LockGuard lock(storeMutex());
        phoneStore().volume = percent;
        saveAll();
    }
    setVolumePercent(percent);
    return true;
}

std::string blockHandle(const std::string& typed)
{
    auto answer = [](const std::string& text) {
        setStatusText(text);
        return text;
    };
    if (!isTesseraConnected()) return answer("Connect Tessera first.");
    switchOwner(ownPaymail());
    const std::string handle = wallet::comparison_form(typed.substr(0, 180));
    if (handle.empty()) return answer("Type a handle to block.");
    {
        // Refusals here are said under the held state mutex, announced when it is released.
        StateLock held;
        auto refuse = [&held](const std::string& text) REQUIRES(stateMutex()) {
            setStatusTextLocked(held, text);
            return text;
        };
        if (handle == wallet::comparison_form(phoneState().ownHandle)) return refuse("That's you.");
        platform::LockGuard lock(storeMutex());
        std::vector<std::string>& blocked = phoneStore().blocked;
        if (std::find(blocked.begin(), blocked.end(), handle) != blocked.end()) return refuse("Already blocked.");
        blocked.push_back(handle);
        const CallFields& call = callFields();
        if (call.state == CallState::Ringing && wallet::comparison_form(call.peerHandle) == handle &&
            !call.callId.empty())
            seenInvites().insert(call.callId);
        saveAll();
    }
    return answer("Blocked " + handle + ".");
}

std::string unblockHandle(const std::string& handle)
{
    const std::string form = wallet::comparison_form(handle);
    bool removed = false;
    {
        platform::LockGuard state(stateMutex());
        platform::LockGuard lock(storeMutex());
        std::vector<std::string>& blocked = phoneStore().blocked;
        const auto found = std::find(blocked.begin(), blocked.end(), form);
        if (!form.empty() && found != blocked.end()) {
            blocked.erase(found);
            saveAll();
            removed = true;
        }
    }
    const std::string text = removed ? "Unblocked " + form + "." : "Pick a handle first.";
    setStatusText(text);
    return text;
}

std::vector<CallRow> callHistory()
{
    std::vector<CallRow> rows;
    platform::LockGuard lock(storeMutex());
    const std::vector<CallRecord>& calls = phoneStore().calls;
    for (size_t i = calls.size(); i-- > 0;) {
        const CallRecord& c = calls[i];
        rows.push_back({static_cast<int>(i), c.from, c.to, c.secs, c.sats, c.ts, c.missed, c.hide, c.txid});
    }
    return rows;
}

std::string historyOwner()
{
    platform::LockGuard lock(storeMutex());
    return wallet::comparison_form(phoneStore().ownerId);
}

bool toggleCallHidden(int index, bool& hidden)
{
    platform::LockGuard lock(storeMutex());
    std::vector<CallRecord>& calls = phoneStore().calls;
    if (index < 0 || static_cast<size_t>(index) >= calls.size()) return false;
    CallRecord& record = calls[static_cast<size_t>(index)];
    record.hide = !record.hide;
    hidden = record.hide;
    saveAll();
    return true;
}

std::string messageTimeText(int64_t seconds)
{
    return wideToUtf8(formatMessageTime(seconds));
}

std::vector<std::string> blockedHandles()
{
    platform::LockGuard state(stateMutex());
    platform::LockGuard lock(storeMutex());
    return phoneStore().blocked;
}

// --- Contacts ------------------------------------------------------------------------------

namespace {

std::string trimBlanksAndTabs(std::string text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// The first count characters of UTF-8 text (never cutting one in two).
std::string firstCharacters(const std::string& text, size_t count)
{
    size_t i = 0, seen = 0;
    while (i < text.size() && seen < count) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        ++seen;
    }
    return text.substr(0, i);
}

std::string announced(const std::string& text)
{
    setStatusText(text);
    return text;
}

} // namespace

std::vector<ContactRow> contactList(std::string& error)
{
    error.clear();
    std::vector<ContactRow> rows;
    for (const WalletContact& c : listWalletContacts(error)) rows.push_back({c.dest, c.note});
    return rows;
}

std::string addContact(const std::string& typed)
{
    if (!isTesseraConnected()) return announced("Connect Tessera first.");
    const std::string text = trimBlanksAndTabs(firstCharacters(typed, 180));
    if (text.empty()) return announced("Type a handle to add.");
    std::string error;
    const std::string lowered = toLowerAscii(text), handle = wallet::comparison_form(text);
    for (const WalletContact& c : listWalletContacts(error))
        if (toLowerAscii(c.dest) == lowered || wallet::comparison_form(c.dest) == handle)
            return announced("Already in contacts.");
    const std::string result = saveWalletContact(text, "");
    return announced(result.starts_with("success") ? "Added " + text + "." : result);
}

std::string removeContact(const std::string& dest)
{
    const std::string result = removeWalletContact(dest);
    return announced(result.starts_with("success") ? "Removed " + dest + "." : result);
}

// --- The answer-phone ---------------------------------------------------------------------

namespace {

constexpr size_t kGsmBlockBytes = 65; // 320 samples, 40 ms

int audioSeconds(const std::string& gsm)
{
    return static_cast<int>((gsm.size() / kGsmBlockBytes * 40 + 500) / 1000);
}

bool playMessageAudio(const std::string& audio)
{
    if (audio.empty()) {
        setStatusText(isTesseraConnected() ? "That row has no message." : "Connect Tessera as the recipient.");
        return false;
    }
    if (!hasOutput() && !reopenOutput()) {
        setStatusText("Could not open the speakers.");
        return false;
    }
    stopPlayback();
    setMessagePlaying(true);
    if (!queueForPlayback(audio)) {
        setMessagePlaying(false);
        setStatusText("Could not play that message.");
        return false;
    }
    return true;
}

} // namespace

std::vector<MessageRow> inboxMessages()
{
    std::vector<MessageRow> rows;
    platform::LockGuard lock(storeMutex());
    int n = 0;
    for (const InboxMessage& m : phoneStore().inbox)
        rows.push_back({++n, m.audio.size(), m.id, m.from, m.secs, m.ts, m.txid});
    return rows;
}

std::vector<MessageRow> savedMessages()
{
    std::vector<MessageRow> rows;
    platform::LockGuard lock(storeMutex());
    for (const SavedMessage& m : phoneStore().saved)
        rows.push_back({m.n, m.audio.size(), m.id, m.from, audioSeconds(m.audio), 0, m.txid});
    return rows;
}

void renumberSavedMessages()
{
    platform::LockGuard state(stateMutex());
    platform::LockGuard lock(storeMutex());
    if (renumberSaved()) saveAll();
}

PlaybackSnapshot playbackSnapshot()
{
    return {messagePlaying(), playbackPaused()};
}

bool playInboxMessage(int n)
{
    std::string audio;
    {
        platform::LockGuard lock(storeMutex());
        const std::vector<InboxMessage>& inbox = phoneStore().inbox;
        if (n >= 1 && static_cast<size_t>(n) <= inbox.size()) audio = inbox[static_cast<size_t>(n - 1)].audio;
    }
    return playMessageAudio(audio);
}

bool playSavedMessage(int n)
{
    std::string audio;
    {
        platform::LockGuard lock(storeMutex());
        for (const SavedMessage& m : phoneStore().saved)
            if (m.n == n) audio = m.audio;
    }
    return playMessageAudio(audio);
}

void pauseMessage()
{
    if (messagePlaying()) togglePause();
}

void stopMessage()
{
    stopPlayback();
}

bool saveInbox(int n)
{
    return n >= 1 && saveInboxMessage(static_cast<size_t>(n - 1));
}

bool deleteInbox(int n)
{
    return n >= 1 && deleteInboxMessage(static_cast<size_t>(n - 1));
}

bool deleteSaved(int n)
{
    size_t index = 0;
    {
        platform::LockGuard lock(storeMutex());
        const std::vector<SavedMessage>& saved = phoneStore().saved;
        while (index < saved.size() && saved[index].n != n) ++index;
        if (index == saved.size()) return false;
    }
    return deleteSavedMessage(index);
}

void recordGreetingAction()
{
    platform::runTask(recordGreeting);
}

void stopGreetingAction()
{
    bool recording = false;
    {
        platform::LockGuard lock(stateMutex());
        recording = callFields().state == CallState::RecordingGreeting;
    }
    if (recording) platform::runTask(onHangUpButton);
}

void playGreetingAction()
{
    platform::runTask(playOwnGreeting);
}

// --- The card window's own values -----------------------------------------------------------

CardPlace cardPlacement(int kind)
{
    if (kind < 1 || kind > kCardKinds) return {};
    platform::LockGuard lock(storeMutex());
    const CardPlacement& box = phoneStore().boxes[static_cast<size_t>(kind)];
    return {box.x, box.y, box.set};
}

void storeCardPlacement(int kind, int x, int y)
{
    if (kind < 1 || kind > kCardKinds) return;
    platform::LockGuard lock(storeMutex());
    phoneStore().boxes[static_cast<size_t>(kind)] = {x, y, true};
}

void saveEverything()
{
    platform::LockGuard lock(storeMutex());
    saveAll();
}

void setNotifyMode(int mode)
{
    platform::LockGuard lock(storeMutex());
    phoneStore().notify = ((mode % 4) + 4) % 4;
    saveAll();
}

void setThemeIndex(int theme)
{
    platform::LockGuard lock(storeMutex());
    phoneStore().theme = theme >= 0 && theme < 5 ? theme : 0;
    saveAll();
}

void setAmountInBsv(bool bsv)
{
    {
        platform::LockGuard lock(storeMutex());
        phoneStore().bsv = bsv;
        saveAll();
    }
    if (!isTesseraConnected()) return;
    bool rewritten = false;
    {
        platform::LockGuard lock(stateMutex());
        PhoneState& state = phoneState();
        if (state.balance >= 0) {
            state.balanceLine = state.ownHandle + "   " + formatAmount(state.balance, bsv);
            rewritten = true;
        }
    }
    if (rewritten) postToMainWindow(WM_PHONE_STATUS);
}

int nextPhoneFee(int current)
{
    for (const int fee : {1, 5, 10, 25, 50, 100})
        if (fee > current) return fee;
    return 1;
}

int nextVolume(int current)
{
    for (const int volume : {50, 100, 150, 200})
        if (volume > current) return volume;
    return 50;
}

bool startupRegistered()
{
    return platform::autostartRegistered();
}

void toggleStartup(const std::string& executablePath)
{
    if (platform::autostartRegistered())
        platform::removeAutostart();
    else
        platform::addAutostart(executablePath);
}

std::vector<OutputChoice> outputChoices()
{
    const std::vector<OutputDevice> list = listOutputs();
    const int chosen = chooseOutput(list, chosenOutput());
    std::vector<OutputChoice> choices;
    for (size_t i = 0; i < list.size(); ++i)
        choices.push_back({list[i].id, list[i].label, static_cast<int>(i) == chosen});
    return choices;
}

std::string outputCaption()
{
    return outputLabelText();
}

void chooseOutputDevice(const std::string& id)
{
    setChosenOutput(id);
    platform::LockGuard lock(storeMutex());
    phoneStore().output = utf8ToWide(id);
    saveAll();
}

void wantAvatar(const std::string& key)
{
    requestAvatar(key);
}

std::string avatarImage(const std::string& key)
{
    return lookupAvatar(key);
}

} // namespace kestrel
