#include "calls/chain_watch.h"

#include "calls/call_state.h"
#include "calls/phone_records.h"
#include "phone/app_messages.h"
#include "phone/phone_store.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/clock.h"
#include "platform/events.h"
#include "platform/service_host.h"
#include "services/balance.h"
#include "services/paymail_claim.h"
#include "services/signed_records.h"
#include "services/tessera_link.h"
#include "wallet/phone_spend.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/handle_forms.h"
#include "platform/sync.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_map>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

constexpr int kIdlePassMs = 250;
constexpr int kCallPassMs = 100;
constexpr int kFetchIdleMs = 150;
constexpr size_t kOraclePerPoll = 4;
constexpr size_t kBacklogLimit = 80;

// Request timeouts and the backoff lengths that 429 and 503 answers set.
constexpr int kOracleTimeoutMs = 2500, kOracleBackoffMs = 2000;
constexpr int kServiceTxTimeoutMs = 2500;
constexpr int kChainTxTimeoutMs = 3000;
constexpr int kRawTxTimeoutMs = 20000;
constexpr int kUnconfirmedTimeoutMs = 2500, kUnconfirmedBackoffMs = 2000;
constexpr int kHistoryTimeoutMs = 8000;
constexpr int kChainBackoffMs = 8000;

// Retry delays of a forgotten txid.
constexpr int64_t kOracleSilenceMs = 30'000;
constexpr int64_t kRetryDuringCallMs = 400;
constexpr int64_t kRetryBadChainDocMs = 3000;
constexpr int64_t kRetryNoScriptDataMs = 8000;
constexpr int64_t kRetryShortRawMs = 4000;
constexpr int64_t kRetryBusyMs = 2000;
constexpr int64_t kRetryMalformedMs = 3000;

struct WatchQueues {
    platform::Mutex mutex;
    std::unordered_map<std::string, int64_t> retry GUARDED_BY(mutex); // txid -> tick
    std::deque<std::string> fetchQueue GUARDED_BY(mutex);
    std::unordered_set<std::string> fetchQueued GUARDED_BY(mutex);
    std::deque<std::string> backlog GUARDED_BY(mutex);
};

WatchQueues& queues()
{
    static WatchQueues q;
    return q;
}

// Poll worker only (and tests, which drive the passes from one thread).
struct PassCounters {
    uint32_t idlePasses = 0;
    uint32_t housekeeping = 0;
    std::optional<bool> reportedConnected;
    bool balanceKnown = false;
};
PassCounters& counters()
{
    static PassCounters c;
    return c;
}

platform::Mutex handlerMutex;
RecordHandler& installedHandler() REQUIRES(handlerMutex)
{
    static RecordHandler handler;
    return handler;
}

std::function<void()>& installedRingStarter()
{
    static std::function<void()> starter;
    return starter;
}

bool backedOff(const std::string& txid)
{
    const int64_t tick = retryTick(txid);
    return tick != 0 && platform::tickMillis() < tick;
}

void retryLater(const std::string& txid, int64_t delayMs)
{
    {
        platform::LockGuard lock(queues().mutex);
        queues().retry[txid] = platform::tickMillis() + delayMs;
    }
    forgetTxid(txid);
}

CallState currentCallState()
{
    platform::LockGuard lock(stateMutex());
    return callFields().state;
}

bool isTxid(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

std::optional<json> parseDocument(const std::string& body)
{
    if (body.empty()) return std::nullopt;
    json document = platform::parseBounded(body);
    if (document.is_discarded()) return std::nullopt;
    return document;
}

bool hasVoutArray(const std::optional<json>& document)
{
    return document && document->is_object() && document->contains("vout") && (*document)["vout"].is_array();
}

bool startsWith(const json& value, const char* prefix)
{
    return value.is_string() && value.get_ref<const std::string&>().starts_with(prefix);
}

struct ScriptFacts {
    bool truncated = false;
    bool dataCarrier = false;
    bool scriptData = false;
};

ScriptFacts scriptFacts(const json& document)
{
    ScriptFacts facts;
    for (const json& out : document["vout"]) {
        if (!out.is_object() || !out.contains("scriptPubKey") || !out["scriptPubKey"].is_object()) continue;
        const json& script = out["scriptPubKey"];
        if (script.value("isTruncated", false) == true) facts.truncated = true;
        const json type = script.value("type", json());
        const json asmText = script.value("asm", json());
        const json hex = script.value("hex", json());
        if ((type.is_string() && type == "nulldata") || startsWith(asmText, "OP_RETURN") || startsWith(hex, "6a") ||
            startsWith(hex, "006a"))
            facts.dataCarrier = true;
        if ((hex.is_string() && hex.get_ref<const std::string&>().size() >= 4) ||
            (asmText.is_string() && asmText.get_ref<const std::string&>().size() >= 2))
            facts.scriptData = true;
    }
    return facts;
}

std::string extractFrom(const json& document)
{
    try {
        return extractFromTxJson(document);
    } catch (const json::exception&) {
        return {};
    }
}

void announceRecord(const json& record, bool live, const std::string& txid, const RecordOutcome& outcome)
{
    platform::Event event;
    event.kind = platform::EventKind::Record;
    event.text = recordText(record, "kind");
    event.fields = {outcome.from, recordText(record, "id"), txid, live ? "1" : "0"};
    platform::emitEvent(event);
}

// Opens a payload and hands its record on; the rules for what is read again.
void processPayload(const std::string& txid, const std::string& text)
{
    const OpenedEnvelope opened = openEnvelope(text);
    if (opened.outcome == EnvelopeOutcome::Malformed) {
        retryLater(txid, kRetryMalformedMs);
        return;
    }
    if (opened.outcome != EnvelopeOutcome::Opened) return;

    const bool live = isLiveEnvelope(opened, platform::unixSeconds());
    RecordHandler handler;
    {
        platform::LockGuard lock(handlerMutex);
        handler = installedHandler();
    }
    const RecordOutcome outcome = handler ? handler(opened.record, live, txid, opened.signedTs)
                                          : verifyOnlyHandler(opened.record, live, txid, opened.signedTs);
    announceRecord(opened.record, live, txid, outcome);

    if (outcome.busy) retryLater(txid, kRetryBusyMs);
    if (outcome.newMessage) postToCardWindow(WM_PHONE_CARD_REFRESH);
    postToMainWindow(WM_PHONE_STATUS);
    if (currentCallState() == CallState::Ringing && !incomingRingRunningFlag().exchange(true)) {
        postToMainWindow(WM_PHONE_RING);
        std::function<void()> starter;
        {
            platform::LockGuard lock(handlerMutex);
            starter = installedRingStarter();
        }
        if (starter)
            starter();
        else
            incomingRingRunningFlag() = false;
    }
}

// The txids of a history document: an array, or an object with a "result" array.
std::vector<std::string> historyTxids(const std::string& body)
{
    std::vector<std::string> txids;
    const std::optional<json> document = parseDocument(body);
    if (!document) return txids;
    const json* list = nullptr;
    if (document->is_array())
        list = &*document;
    else if (document->is_object() && document->contains("result") && (*document)["result"].is_array())
        list = &(*document)["result"];
    if (!list) return txids;
    for (const json& item : *list) {
        if (!item.is_object()) continue;
        std::string txid = recordText(item, "tx_hash", "txid");
        if (isTxid(txid)) txids.push_back(std::move(txid));
    }
    return txids;
}

bool isDone(const std::string& txid)
{
    platform::LockGuard lock(stateMutex());
    return doneTxids().count(txid) != 0;
}

// Step 3 of a pass: follow the wallet's handle and address. Answers the own
// payment address (empty while unknown).
std::string followWallet()
{
    std::string handle, address;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (wallet::load_wallet()) {
            handle = wallet::wallet_state().paymail;
            address = wallet::wallet_state().receive_address;
        }
    }
    handle = wallet::bare_handle(handle);
    bool switchNeeded = false;
    {
        platform::LockGuard lock(stateMutex());
        PhoneState& state = phoneState();
        if (state.ownHandle != handle) doneTxids().clear();
        {
            platform::LockGuard store(storeMutex());
            switchNeeded = wallet::file_id_form(handle) != phoneStore().ownerId;
        }
        state.ownHandle = handle;
        callFields().ownPaymentAddress = address;
    }
    if (switchNeeded && !handle.empty()) switchOwner(handle);
    return address;
}

std::string idleLine()
{
    platform::LockGuard lock(storeMutex());
    return phoneStore().answerphone ? "Calls will divert to your answer-phone after three rings."
                                    : "Calls will divert to your answer-phone after ten rings.";
}

void reportConnection(bool connected, CallState state)
{
    PassCounters& c = counters();
    if (c.reportedConnected && *c.reportedConnected == connected) return;
    c.reportedConnected = connected;
    postToMainWindow(WM_PHONE_CONNECTION, connected ? 1 : 0);
    if (connected && state == CallState::Idle) setStatusText(idleLine());
    if (!connected) {
        {
            platform::LockGuard lock(stateMutex());
            phoneState().balanceLine.clear();
            phoneState().balance = -1;
        }
        c.balanceKnown = false;
        postToMainWindow(WM_PHONE_STATUS);
    }
}

void refreshBalanceLine()
{
    WalletStatus status;
    refreshWalletStatus(status, false);
    const int64_t balance = status.balance;
    bool bsv = false;
    {
        platform::LockGuard lock(storeMutex());
        bsv = phoneStore().bsv;
    }
    {
        platform::LockGuard lock(stateMutex());
        PhoneState& state = phoneState();
        state.balance = balance;
        const std::string amount = formatAmount(std::max<int64_t>(balance, 0), bsv);
        state.balanceLine = state.ownHandle.empty() ? amount : state.ownHandle + "   " + amount;
    }
    counters().balanceKnown = true;
    postToMainWindow(WM_PHONE_STATUS);
}

void housekeeping(CallState state)
{
    PassCounters& c = counters();
    ++c.housekeeping;
    if (c.housekeeping % 40 == 1 && state == CallState::Idle && wallet::phone_ready_coins() < 120) {
        if (wallet::read_spend_result(wallet::phone_prepare_coins()).sent() && wallet::phone_ready_coins() < 1)
            setStatusText("Preparing coins. A long call can start after the next block.");
    }
    if (c.housekeeping % 16 == 0 || !c.balanceKnown) refreshBalanceLine();
}

} // namespace

// --- The record handler --------------------------------------------------------------

void installRecordHandler(RecordHandler handler)
{
    platform::LockGuard lock(handlerMutex);
    installedHandler() = std::move(handler);
}

void installRingStarter(std::function<void()> starter)
{
    platform::LockGuard lock(handlerMutex);
    installedRingStarter() = std::move(starter);
}

RecordOutcome verifyOnlyHandler(const json& record, bool, const std::string&, int64_t)
{
    RecordOutcome outcome;
    outcome.from = verifiedSender(record);
    return outcome;
}

// --- Workers ---------------------------------------------------------------------------

void pollWorker(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        const int pause = callInProgress(currentCallState()) ? kCallPassMs : kIdlePassMs;
        if (!platform::sleepForMillis(pause, stop)) return;
        pollPass();
    }
}

void fetchWorker(std::stop_token stop)
{
    while (!stop.stop_requested()) {
        if (!fetchPass() && !platform::sleepForMillis(kFetchIdleMs, stop)) return;
    }
}

void pollPass()
{
    const bool connected = isTesseraConnected();
    if (!connected) {
        reportConnection(false, currentCallState());
        return;
    }
    const std::string address = followWallet();
    oraclePoll(address);

    PassCounters& c = counters();
    if (currentCallState() == CallState::Idle && !address.empty()) {
        if (historyScanFlag().exchange(false)) confirmedHistoryScan(address);
        std::string front;
        if (platform::tickMillis() >= chainBackoffSlot().load()) {
            platform::LockGuard lock(queues().mutex);
            if (!queues().backlog.empty()) {
                front = queues().backlog.front();
                queues().backlog.pop_front();
            }
        }
        if (!front.empty()) readTransaction(front);
        if (c.idlePasses++ % 8 == 0) unconfirmedHistoryScan(address);
    }

    const CallState state = currentCallState();
    reportConnection(true, state);
    if (!callInProgress(state)) housekeeping(state);
}

bool fetchPass()
{
    std::string txid;
    {
        platform::LockGuard lock(queues().mutex);
        if (queues().fetchQueue.empty()) return false;
        txid = queues().fetchQueue.front();
        queues().fetchQueue.pop_front();
        queues().fetchQueued.erase(txid);
    }
    const std::string hex = webGet(platform::chainHost(), platform::chainPath("/tx/" + txid + "/hex"), kRawTxTimeoutMs,
                                   &chainBackoffSlot(), kChainBackoffMs);
    if (hex.size() < 20) {
        retryLater(txid, kRetryShortRawMs);
        return true;
    }
    const std::string push = extractFromRawTx(hex);
    if (push.size() >= 8 && push.find("CV-Phone") != std::string::npos) processPayload(txid, push);
    return true;
}

// --- Reading ---------------------------------------------------------------------------

bool readTransaction(const std::string& txid)
{
    if (!isTxid(txid) || backedOff(txid)) return false;
    {
        platform::LockGuard lock(stateMutex());
        if (!doneTxids().insert(txid).second) return false;
    }

    const std::optional<json> serviceDoc = parseDocument(
        serviceGet(platform::decodedTxPath(txid), kServiceTxTimeoutMs, &chainBackoffSlot(), kChainBackoffMs));
    if (hasVoutArray(serviceDoc)) {
        const std::string payload = extractFrom(*serviceDoc);
        if (payload.find("CV-Phone") != std::string::npos) {
            processPayload(txid, payload);
            return true;
        }
    }

    // The slower chain API waits until no call needs the line.
    if (callInProgress(currentCallState())) {
        retryLater(txid, kRetryDuringCallMs);
        return true;
    }

    const std::optional<json> chainDoc = parseDocument(webGet(platform::chainHost(), platform::chainPath("/tx/" + txid),
                                                              kChainTxTimeoutMs, &chainBackoffSlot(), kChainBackoffMs));
    if (!hasVoutArray(chainDoc)) {
        retryLater(txid, kRetryBadChainDocMs);
        return true;
    }
    const std::string payload = extractFrom(*chainDoc);
    if (payload.find("CV-Phone") != std::string::npos) {
        processPayload(txid, payload);
        return true;
    }
    const ScriptFacts facts = scriptFacts(*chainDoc);
    if (!facts.truncated && !facts.dataCarrier && payload.find("pmessage1") == std::string::npos &&
        payload.find("cphone") == std::string::npos) {
        if (!facts.scriptData) retryLater(txid, kRetryNoScriptDataMs);
        return true; // not a phone record
    }
    enqueueRawFetch(txid);
    return true;
}

bool enqueueRawFetch(const std::string& txid)
{
    WatchQueues& q = queues();
    platform::LockGuard lock(q.mutex);
    const auto retry = q.retry.find(txid);
    if (retry != q.retry.end() && platform::tickMillis() < retry->second) return false;
    if (!q.fetchQueued.insert(txid).second) return false;
    q.fetchQueue.push_back(txid);
    return true;
}

std::unordered_set<std::string>& doneTxids() REQUIRES(stateMutex())
{
    static std::unordered_set<std::string> done;
    return done;
}

void forgetTxid(const std::string& txid)
{
    platform::LockGuard lock(stateMutex());
    doneTxids().erase(txid);
}

int64_t retryTick(const std::string& txid)
{
    platform::LockGuard lock(queues().mutex);
    const auto found = queues().retry.find(txid);
    return found == queues().retry.end() ? 0 : found->second;
}

BackoffSlot& oracleBackoffSlot()
{
    static BackoffSlot slot {0};
    return slot;
}

BackoffSlot& unconfirmedBackoffSlot()
{
    static BackoffSlot slot {0};
    return slot;
}

void oraclePoll(const std::string& address)
{
    if (address.empty() || platform::tickMillis() < oracleBackoffSlot().load()) return;
    const std::optional<json> document = parseDocument(
        serviceGet(platform::oracleTxidsPath(address, 20), kOracleTimeoutMs, &oracleBackoffSlot(), kOracleBackoffMs));
    if (!document || !document->is_object()) return;
    if (document->contains("error")) {
        oracleBackoffSlot() = platform::tickMillis() + kOracleSilenceMs;
        return;
    }
    if (!document->contains("txids") || !(*document)["txids"].is_array()) return;
    std::vector<std::string> fresh;
    for (const json& item : (*document)["txids"]) {
        if (!item.is_string()) continue;
        const std::string& txid = item.get_ref<const std::string&>();
        if (txid.size() != 64 || backedOff(txid) || isDone(txid)) continue;
        fresh.push_back(txid);
    }
    // Newest first in the answer: the oldest is read first.
    size_t read = 0;
    for (auto it = fresh.rbegin(); it != fresh.rend() && read < kOraclePerPoll; ++it, ++read) readTransaction(*it);
}

void unconfirmedHistoryScan(const std::string& address)
{
    if (platform::tickMillis() < unconfirmedBackoffSlot().load()) return;
    const std::vector<std::string> txids =
        historyTxids(webGet(platform::chainHost(), platform::chainPath("/address/" + address + "/unconfirmed/history"),
                            kUnconfirmedTimeoutMs, &unconfirmedBackoffSlot(), kUnconfirmedBackoffMs));
    std::vector<std::string> fresh;
    for (const std::string& txid : txids)
        if (!isDone(txid) && !backedOff(txid)) fresh.push_back(txid);
    if (fresh.empty()) return;
    readTransaction(fresh.front());
    if (fresh.back() != fresh.front() && currentCallState() == CallState::Idle) readTransaction(fresh.back());
}

void confirmedHistoryScan(const std::string& address)
{
    if (platform::tickMillis() < chainBackoffSlot().load() || backlogSize() > kBacklogLimit) return;
    const std::vector<std::string> txids =
        historyTxids(webGet(platform::chainHost(), platform::chainPath("/address/" + address + "/history"),
                            kHistoryTimeoutMs, &chainBackoffSlot(), kChainBackoffMs));
    std::vector<std::string> fresh;
    for (const std::string& txid : txids)
        if (!isDone(txid) && !backedOff(txid)) fresh.push_back(txid);
    platform::LockGuard lock(queues().mutex);
    std::deque<std::string>& backlog = queues().backlog;
    size_t added = 0;
    for (const std::string& txid : fresh) {
        if (added >= kBacklogLimit) break;
        if (std::find(backlog.begin(), backlog.end(), txid) != backlog.end()) continue;
        backlog.push_back(txid);
        ++added;
    }
}

size_t backlogSize()
{
    platform::LockGuard lock(queues().mutex);
    return queues().backlog.size();
}

std::string formatAmount(int64_t satoshis, bool bsv)
{
    if (!bsv) return std::to_string(satoshis) + " sats";
    const bool negative = satoshis < 0;
    // Unsigned magnitude: the most negative amount has no positive twin.
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(satoshis) : static_cast<uint64_t>(satoshis);
    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / 100'000'000);
    const uint64_t remainder = magnitude % 100'000'000;
    if (remainder != 0) {
        std::string digits = std::to_string(remainder);
        digits.insert(0, 8 - digits.size(), '0');
        while (digits.back() == '0') digits.pop_back();
        text += "." + digits;
    }
    return text + " bsv";
}

void resetChainWatch()
{
    {
        WatchQueues& q = queues();
        platform::LockGuard lock(q.mutex);
        q.retry.clear();
        q.fetchQueue.clear();
        q.fetchQueued.clear();
        q.backlog.clear();
    }
    {
        platform::LockGuard lock(stateMutex());
        doneTxids().clear();
    }
    oracleBackoffSlot() = 0;
    unconfirmedBackoffSlot() = 0;
    chainBackoffSlot() = 0;
    counters() = PassCounters {};
}

} // namespace kestrel
