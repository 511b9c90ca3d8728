// The chain watch: how the phone learns of transactions that pay its own
// address. The poll worker asks the service's oracle and the chain API's
// address history which txids concern the address, reads each new
// transaction (the service first, the chain API only while no call runs,
// raw hex as the last resort), opens the phone record it carries and hands
// it to the record handler. It also follows the wallet's handle and address,
// reports the connection, prepares coins for long calls and keeps the
// balance line. The fetch worker reads raw transactions.
//
// The done set and the call fields are guarded by stateMutex(); the retry
// map, the fetch queue and the backlog by the watch's own queue mutex. The
// two are never held together, and no request is made under either.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "phone/phone_store.h"
#include "phone/web_requests.h"

namespace kestrel {

// --- The record handler --------------------------------------------------------------

struct RecordOutcome {
    bool busy = false;       // an invite that cannot ring now: read it again in 2 seconds
    bool newMessage = false; // an answer-phone message was filed
    std::string from;        // the verified sender's handle; empty when the record was refused
};

// record: the opened PhoneRecord, not yet verified; live: whether its signed
// time and its envelope's time make it live (isLiveEnvelope); ts: its signed
// "ts", the only time a handler may judge it by (the envelope's is unsigned).
// A handler acts on the sender only as verifiedSender(record) names it.
using RecordHandler =
    std::function<RecordOutcome(const nlohmann::json& record, bool live, const std::string& txid, int64_t ts)>;

// Installs the handler of every opened record; an empty one restores the
// default, which verifies the record and acts on nothing.
void installRecordHandler(RecordHandler handler);

// Installs what starts the incoming ring thread when a record leaves the call
// Ringing and none runs; it owns incomingRingRunningFlag() from then on and
// clears it when the ring ends. Without one the ring is only announced.
void installRingStarter(std::function<void()> starter);

// The default handler's judgement: from is the verified sender, or empty.
RecordOutcome verifyOnlyHandler(const nlohmann::json& record, bool live, const std::string& txid, int64_t ts);

// --- Workers ---------------------------------------------------------------------------

// The worker bodies; each returns when stop is requested.
void pollWorker(std::stop_token stop);
void fetchWorker(std::stop_token stop);

// One pass of each without its sleep (the workers, and tests that drive the
// watch step by step). fetchPass answers false when the queue was empty.
void pollPass();
bool fetchPass();

// --- Reading ---------------------------------------------------------------------------

// Reads one txid by the service-first rule; false when it was skipped (bad
// length, backed off, already done).
bool readTransaction(const std::string& txid);

// Queues txid for the raw fetch unless it is queued or backed off; true when queued.
bool enqueueRawFetch(const std::string& txid);

// The done set; hold stateMutex() (phone/phone_store.h) while using it.
std::unordered_set<std::string>& doneTxids() REQUIRES(stateMutex());

// Removes txid from the done set so that a later pass may read it again.
// Takes stateMutex() (callers must not hold it).
void forgetTxid(const std::string& txid) EXCLUDES(stateMutex());

// Tick (platform::tickMillis) before which txid is not read again; 0 when none.
int64_t retryTick(const std::string& txid);

// The oracle's and the unconfirmed history's backoff slots; the chain API's
// is chainBackoffSlot().
BackoffSlot& oracleBackoffSlot();
BackoffSlot& unconfirmedBackoffSlot();

// The oracle poll of the own address: at most 4 new txids, oldest first.
void oraclePoll(const std::string& address);
// The address history scans.
void unconfirmedHistoryScan(const std::string& address);
void confirmedHistoryScan(const std::string& address);
size_t backlogSize();

// "1234 sats", or with the bsv setting "0.00001234 bsv" (whole coins, then
// the remainder's eight digits without trailing zeros).
std::string formatAmount(int64_t satoshis, bool bsv);

// Tests: forgets every txid, retry, queue entry, backoff and counter, and
// the last connection report.
void resetChainWatch();

} // namespace kestrel
