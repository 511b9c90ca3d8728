// Getting a signed transaction onto the network and deciding whether it got
// there: the full broadcast (service submit, WhatsOnChain, ARC, each success
// confirmed by looking the transaction up), the fast submit of phone
// payloads (service first, WhatsOnChain as fallback, no lookup), the ARC
// broadcaster on its own, the lookups, and the delivery of finished
// payments to paymail hosts that asked for the transaction.
//
// Service paths come from platform/service_host.h, the chain API and ARC
// bases from the configuration. Failures are texts; nothing here throws.
#pragma once

#include "wallet/transaction.h"

#include <string>
#include <string_view>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr const char* kSerializeFailed = "error: serialize failed.";
inline constexpr const char* kNothingSent = "error: the network did not take that transaction. Nothing was sent.";
// Followed by the txid: a service took the transaction but no lookup saw it.
inline constexpr const char* kNotConfirmedPrefix = "error: sent but not confirmed yet: ";
inline constexpr const char* kOtherTxid = "the service named another transaction";
inline constexpr const char* kBroadcastFailedPrefix = "error: broadcast failed: ";
inline constexpr const char* kFastSubmitFailed = "broadcast failed";
inline constexpr const char* kBadArcResponse = "bad arc response";
inline constexpr const char* kArcNoTxid = "arc did not return a txid";
inline constexpr const char* kArcNotConfirmed = "broadcast did not confirm";
inline constexpr const char* kArcOtherTxid = "arc named another transaction";

// Markers in failure texts. Duplicate: the network already has this
// transaction or a conflicting one (case-sensitive). Conflict: another
// transaction spends an input (any case). Missing input: an input is spent
// or unknown (case-sensitive).
bool has_duplicate_marker(std::string_view text);
bool has_conflict_marker(std::string_view text);
bool has_missing_input_marker(std::string_view text);

// ARC statuses that mean the broadcaster took or refused the transaction.
bool is_arc_accepted(std::string_view status);
bool is_arc_refused(std::string_view status);

// A signed transaction as the broadcast records it once it is out: its
// inputs and outputs, raw hex, local txid and the extra hash that counts as
// the wallet's own (the change destination).
struct SignedTx {
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    std::string hex;
    std::string txid;
    Bytes extra_hash160;
};

// Serialises, submits to the service (shared kept connection, 2 s), then to
// WhatsOnChain (60 s, 2 tries) and ARC (60 s, 2 tries), confirming each
// acceptance with confirm_seen. A service's acceptance counts only when the
// txid it names (if any) is the local one. Success records the transaction
// and runs the payment delivery: "success: <txid>". When WhatsOnChain or ARC
// took it, ARC did not refuse it and no lookup saw it: kNotConfirmedPrefix +
// txid, with the inputs held for kUnconfirmedHoldMs (wallet/coins.h) and the
// txid remembered. Otherwise kSerializeFailed, "error: broadcast failed:
// <last error>" or kNothingSent.
std::string broadcast_full(const std::vector<Coin>& inputs, const std::vector<Output>& outputs,
                           const Bytes& extra_hash160 = {});

// The fast path of phone payloads (run without the wallet mutex): service
// submit on the fast kept connection when it is free (else the shared one),
// 6 s and one more try after a time-out; then WhatsOnChain (8 s, 1 try), whose
// success also re-posts the body to the service from a background thread.
// A WhatsOnChain "txn-already"/"already have" answer counts as success. An
// answer naming a txid other than local_txid is no acceptance. On success
// txid_out is local_txid; on failure error_out is WhatsOnChain's text,
// kOtherTxid or kFastSubmitFailed.
bool fast_submit(const std::string& tx_hex, const std::string& local_txid, std::string& txid_out,
                 std::string& error_out);

// POSTs {"rawTx": hex} to ARC "/v1/tx" (60 s, 2 tries on 429). True for an
// accepted txStatus with a 64-hex txid (the answer's, else local_txid) equal
// to local_txid. Otherwise error_out: the HTTP or transport text,
// kBadArcResponse, the extraInfo or status of a refusal, kArcNoTxid,
// kArcOtherTxid or kArcNotConfirmed; refused_out (optional) tells a refusal
// by status from a failed request or an unclear answer.
bool arc_broadcast(const std::string& tx_hex, const std::string& local_txid, std::string& txid_out,
                   std::string& error_out, bool* refused_out = nullptr);

// True when WhatsOnChain knows the transaction ("/tx/<txid>/hex", else a
// "/tx/<txid>" body naming a txid; 25 s each).
bool tx_exists(const std::string& txid);

// Up to 8 tx_exists lookups 700 ms apart. Seen: remembers the txid (and with
// tx, records it and runs the payment delivery) and answers "success: <txid>";
// not seen, or a txid that is not 64 hex: "".
std::string confirm_seen(const std::string& txid, const SignedTx* tx = nullptr);

// The spacing of confirm_seen's lookups (700 ms); tests shorten it.
void set_confirm_spacing_ms(int ms);

// A payment to a paymail host that wants the finished transaction.
struct PendingDelivery {
    std::string address;   // the P2PKH address the host gave
    std::string url;       // its receive-transaction endpoint
    std::string reference; // the host's reference for the payment
    std::string sender;    // the sender's paymail
    int64_t sats = 0;
};

// Registers a delivery; the next sent transaction with an output of exactly
// sats to address takes it.
void add_pending_delivery(const PendingDelivery& delivery);
size_t pending_delivery_count();

// For each P2PKH output that matches a pending delivery: takes it out and, on
// one background thread, posts {hex, metadata {note, pubkey, sender,
// signature}, reference} to its URL (12 s, answers ignored). The signature is
// the identity key's signed message of the txid. Nothing happens for a bad
// txid, empty hex, no pending delivery or a wallet without an identity key.
void deliver_payments(const std::string& tx_hex, const std::string& txid, const std::vector<Output>& outputs);

// Waits until the background posts (resubmits and deliveries) have ended;
// false when some still run after timeout_ms. For tools and tests that exit.
bool wait_for_background_posts(int timeout_ms);

} // namespace cv_tessera_wallet
