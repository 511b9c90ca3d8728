#include "wallet/broadcast.h"

#include "platform/json_fields.h"
#include "wallet/address.h"
#include "wallet/coins.h"
#include "wallet/encoding.h"
#include "wallet/keys.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/config.h"
#include "platform/service_host.h"
#include "platform/worker.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include <nlohmann/json.hpp>

namespace cv_tessera_wallet {

using json = nlohmann::json;

namespace {

constexpr int kServiceLimitS = 2;
constexpr int kFastLimitS = 6;
constexpr int kChainLimitS = 60;
constexpr int kFastChainLimitS = 8;
constexpr int kArcLimitS = 60;
constexpr int kLookupLimitS = 25;
constexpr int kLookups = 8;
std::atomic<int> lookup_spacing_ms {700};
constexpr int kDeliveryLimitS = 12;

// The two kept connections to the service: the shared one (any caller,
// waits for its mutex) and the fast one (taken only when free).
struct ServiceConnection {
    platform::Mutex mutex;
    KeptConnection connection GUARDED_BY(mutex);
};
ServiceConnection& shared_connection()
{
    static ServiceConnection c;
    return c;
}
ServiceConnection& fast_connection()
{
    static ServiceConnection c;
    return c;
}

std::string submit_url()
{
    return platform::serviceHostUrl(platform::submitPath());
}
std::string chain_raw_url()
{
    return platform::chainBroadcastUrl();
}
std::string submit_body(const std::string& hex)
{
    return json {{"txhex", hex}}.dump();
}
bool service_refused(const std::string& answer);
std::string answered_txid(const std::string& answer, const std::string& local_txid);
bool contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}
// Posts a submit on a kept connection, once more when the first try timed out.
bool post_kept_submit(ServiceConnection& service, const std::string& body, std::string& answer, std::string& error)
    REQUIRES(service.mutex)
{
    bool timed_out = false;
    bool ok = web_post_json_kept(service.connection, submit_url(), body, answer, error, kFastLimitS, timed_out);
    if (!ok && timed_out)
        ok = web_post_json_kept(service.connection, submit_url(), body, answer, error, kFastLimitS, timed_out);
    return ok;
}
void record_and_deliver(const std::string& txid, const SignedTx& tx)
{
    record_sent(tx.inputs, tx.outputs, txid, tx.extra_hash160);
    deliver_payments(tx.hex, txid, tx.outputs);
}

// Background posts: counted so that a process about to exit can wait for
// these alone. They run as the program's owned tasks, which the start-up
// module joins at shutdown.
struct Background {
    platform::Mutex mutex;
    std::condition_variable ended;
    int running GUARDED_BY(mutex) = 0;
};
Background& background()
{
    static Background b;
    return b;
}
template <typename Work> void run_in_background(Work work)
{
    Background& b = background();
    {
        platform::LockGuard lock(b.mutex);
        ++b.running;
    }
    platform::runTask([work = std::move(work), &b]() mutable {
        work();
        platform::LockGuard lock(b.mutex);
        --b.running;
        b.ended.notify_all();
    });
}

platform::Mutex& pending_mutex()
{
    static platform::Mutex m;
    return m;
}
std::vector<PendingDelivery>& pending() REQUIRES(pending_mutex())
{
    static std::vector<PendingDelivery> list;
    return list;
}

} // namespace

// ---- markers --------------------------------------------------------------

bool has_duplicate_marker(std::string_view text)
{
    return contains(text, "mempool-conflict") || contains(text, "txn-already") || contains(text, "already have");
}

bool has_conflict_marker(std::string_view text)
{
    const std::string low = ascii_lower(text);
    for (const char* marker : {"mempool-conflict", "double_spend", "double spend", "seen_in_orphan",
                               "txn-already-in-mempool", "txn-already-known"})
        if (contains(low, marker)) return true;
    return false;
}

bool has_missing_input_marker(std::string_view text)
{
    return contains(text, "Missing inputs") || contains(text, "missing inputs") || contains(text, "missingorspent");
}

bool is_arc_accepted(std::string_view status)
{
    for (const char* s : {"RECEIVED", "STORED", "ANNOUNCED_TO_NETWORK", "REQUESTED_BY_NETWORK", "SENT_TO_NETWORK",
                          "ACCEPTED_BY_NETWORK", "SEEN_ON_NETWORK", "MINED", "CONFIRMED"})
        if (status == s) return true;
    return false;
}

bool is_arc_refused(std::string_view status)
{
    return status == "REJECTED" || status == "DOUBLE_SPEND_ATTEMPTED" || status == "SEEN_IN_ORPHAN_MEMPOOL";
}

// ---- the full broadcast -------------------------------------------------------

std::string broadcast_full(const std::vector<Coin>& inputs, const std::vector<Output>& outputs,
                           const Bytes& extra_hash160)
{
    const Bytes raw = serialize(inputs, outputs, false);
    if (raw.empty()) return kSerializeFailed;
    SignedTx tx {inputs, outputs, hex_encode(raw), txid(raw), extra_hash160};
    const std::string body = submit_body(tx.hex);

    std::string answer, error;
    bool accepted = false;
    {
        ServiceConnection& service = shared_connection();
        platform::LockGuard lock(service.mutex);
        bool timed_out = false;
        accepted = web_post_json_kept(service.connection, submit_url(), body, answer, error, kServiceLimitS, timed_out);
    }
    if (accepted && !service_refused(answer) && is_txid(tx.txid) && !answered_txid(answer, tx.txid).empty()) {
        record_and_deliver(tx.txid, tx);
        return "success: " + tx.txid;
    }

    std::string last_error;
    bool taken = false; // a service took it; no lookup has seen it yet
    if (web_post_json(chain_raw_url(), body, answer, error, kChainLimitS, 2)) {
        const std::string named = answered_txid(answer, tx.txid);
        if (named.empty()) {
            last_error = kOtherTxid;
        } else {
            const std::string seen = confirm_seen(named, &tx);
            if (!seen.empty()) return seen;
            taken = true;
        }
    } else {
        last_error = error;
        if (has_duplicate_marker(error)) {
            const std::string seen = confirm_seen(tx.txid, &tx);
            if (!seen.empty()) return seen;
        }
    }

    std::string arc_txid, arc_error;
    bool refused = false;
    if (arc_broadcast(tx.hex, tx.txid, arc_txid, arc_error, &refused)) {
        const std::string seen = confirm_seen(arc_txid, &tx);
        if (!seen.empty()) return seen;
        taken = true;
    } else {
        last_error = arc_error;
    }
    if (taken && !refused) {
        // It may well be on its way: its inputs must not pay anyone else
        // meanwhile, or the next payment could pay twice.
        hold_coins_for(tx.inputs, kUnconfirmedHoldMs);
        remember_sent_txid(tx.txid);
        return kNotConfirmedPrefix + tx.txid;
    }
    return last_error.empty() ? kNothingSent : kBroadcastFailedPrefix + last_error;
}

// ---- the fast submit ------------------------------------------------------

bool fast_submit(const std::string& tx_hex, const std::string& local_txid, std::string& txid_out,
                 std::string& error_out)
{
    txid_out.clear();
    error_out.clear();
    const std::string body = submit_body(tx_hex);
    std::string answer, error;
    // The fast connection when it is free, else the shared one.
    ServiceConnection& fast = fast_connection();
    bool ok;
    if (fast.mutex.try_lock()) {
        ok = post_kept_submit(fast, body, answer, error);
        fast.mutex.unlock();
    } else {
        ServiceConnection& shared = shared_connection();
        platform::LockGuard lock(shared.mutex);
        ok = post_kept_submit(shared, body, answer, error);
    }
    if (ok && !service_refused(answer) && !answered_txid(answer, local_txid).empty()) {
        txid_out = local_txid;
        return true;
    }

    if (web_post_json(chain_raw_url(), body, answer, error, kFastChainLimitS, 1)) {
        if (answered_txid(answer, local_txid).empty()) {
            error_out = kOtherTxid;
            return false;
        }
        txid_out = local_txid;
        // The service's oracle learns of the transaction only through its
        // own submit; hand it the body once it is free.
        run_in_background([body]() {
            std::string ignored_answer, ignored_error;
            web_post_json(submit_url(), body, ignored_answer, ignored_error, kFastLimitS, 1);
        });
        return true;
    }
    // The same transaction already known is a success; a different one
    // spending the same coins ("mempool-conflict") means this one is not in.
    if (has_duplicate_marker(error) && !contains(error, "mempool-conflict")) {
        txid_out = local_txid;
        return true;
    }
    error_out = error.empty() ? kFastSubmitFailed : error;
    return false;
}

// ---- ARC ------------------------------------------------------------------

bool arc_broadcast(const std::string& tx_hex, const std::string& local_txid, std::string& txid_out,
                   std::string& error_out, bool* refused_out)
{
    txid_out.clear();
    error_out.clear();
    if (refused_out) *refused_out = false;
    std::string answer, error;
    const std::string body = json {{"rawTx", tx_hex}}.dump();
    if (!web_post_json(platform::arcSubmitUrl(), body, answer, error, kArcLimitS, 2)) {
        error_out = error;
        return false;
    }
    const json doc = platform::parseBounded(answer);
    if (!doc.is_object()) {
        error_out = kBadArcResponse;
        return false;
    }
    const std::string status = platform::jsonText(doc, "txStatus");
    const std::string extra = platform::jsonText(doc, "extraInfo");
    if (is_arc_refused(status)) {
        error_out = extra.empty() ? status : extra;
        if (refused_out) *refused_out = true;
        return false;
    }
    const std::string answered_txid = platform::jsonText(doc, "txid");
    const std::string id = answered_txid.empty() ? local_txid : answered_txid;
    if (!is_txid(id)) {
        error_out = kArcNoTxid;
        return false;
    }
    if (ascii_lower(id) != ascii_lower(local_txid)) {
        error_out = kArcOtherTxid;
        return false;
    }
    if (is_arc_accepted(status)) {
        txid_out = ascii_lower(id);
        return true;
    }
    error_out = !extra.empty() ? extra : !status.empty() ? status : kArcNotConfirmed;
    return false;
}

// ---- lookups --------------------------------------------------------------

bool tx_exists(const std::string& txid)
{
    std::string body, error;
    if (web_get(platform::chainTxHexUrl(txid), body, error, kLookupLimitS)) return true;
    return web_get(platform::chainTxUrl(txid), body, error, kLookupLimitS) && contains(body, "txid");
}

std::string confirm_seen(const std::string& txid, const SignedTx* tx)
{
    if (!is_txid(txid)) return {};
    const std::string id = ascii_lower(txid);
    for (int i = 0; i < kLookups; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(lookup_spacing_ms.load()));
        if (!tx_exists(id)) continue;
        if (tx)
            record_and_deliver(id, *tx);
        else
            remember_sent_txid(id);
        return "success: " + id;
    }
    return {};
}

void set_confirm_spacing_ms(int ms)
{
    lookup_spacing_ms.store(std::max(ms, 0));
}

// ---- payment delivery ---------------------------------------------------------

void add_pending_delivery(const PendingDelivery& delivery)
{
    platform::LockGuard lock(pending_mutex());
    pending().push_back(delivery);
}

size_t pending_delivery_count()
{
    platform::LockGuard lock(pending_mutex());
    return pending().size();
}

void deliver_payments(const std::string& tx_hex, const std::string& txid, const std::vector<Output>& outputs)
{
    if (!is_txid(txid) || tx_hex.empty() || pending_delivery_count() == 0) return;

    std::string signature, pubkey;
    {
        platform::LockGuard lock(wallet_mutex());
        if (!load_wallet() || !wallet_state().is_hd) return;
        std::string priv, error;
        if (!identity_private_key(priv, error)) return;
        signature = sign_message(priv, txid);
        wipe_string(priv);
        pubkey = wallet_state().identity_pub;
    }
    if (signature.empty()) return;

    std::vector<PendingDelivery> taken;
    {
        platform::LockGuard lock(pending_mutex());
        for (const Output& out : outputs) {
            Bytes hash;
            if (!p2pkh_script_hash160(out.script, hash)) continue;
            const std::string address = address_from_hash160(hash);
            const auto it = std::find_if(pending().begin(), pending().end(), [&](const PendingDelivery& d) {
                return d.address == address && d.sats == out.sats;
            });
            if (it == pending().end()) continue;
            taken.push_back(*it);
            pending().erase(it);
        }
    }
    if (taken.empty()) return;
    run_in_background([taken, tx_hex, signature, pubkey]() {
        for (const PendingDelivery& d : taken) {
            const json body = {
                {"hex", tx_hex},
                {"metadata", {{"note", "payment"}, {"pubkey", pubkey}, {"sender", d.sender}, {"signature", signature}}},
                {"reference", d.reference}};
            std::string answer, error;
            web_post_json(d.url, body.dump(), answer, error, kDeliveryLimitS, 1);
        }
    });
}

bool wait_for_background_posts(int timeout_ms)
{
    Background& b = background();
    platform::UniqueLock lock(b.mutex);
    return b.ended.wait_for(lock.native(), std::chrono::milliseconds(timeout_ms),
                            [&b]() REQUIRES(b.mutex) { return b.running == 0; });
}

namespace {

// A 2xx submit answer refuses only as a JSON object whose "ok" is false.
bool service_refused(const std::string& answer)
{
    const json doc = platform::parseBounded(answer);
    if (!doc.is_object()) return false;
    const auto ok = doc.find("ok");
    return ok != doc.end() && ok->is_boolean() && !ok->get<bool>();
}

// The txid an accepting service named: a JSON object's "txid", or the body
// itself without quotes, blanks, CR and LF. local_txid when it names none (no
// 64 hex) or names it; "" when it names another: a service is trusted only
// for the transaction we computed.
std::string answered_txid(const std::string& answer, const std::string& local_txid)
{
    std::string named;
    const json doc = platform::parseBounded(answer);
    if (doc.is_object()) {
        const auto it = doc.find("txid");
        if (it != doc.end() && it->is_string()) named = it->get<std::string>();
    } else {
        for (const char c : answer)
            if (c != '"' && c != ' ' && c != '\t' && c != '\r' && c != '\n') named += c;
    }
    if (!is_txid(named)) return local_txid;
    return ascii_lower(named) == ascii_lower(local_txid) ? ascii_lower(local_txid) : std::string();
}

} // namespace

} // namespace cv_tessera_wallet
