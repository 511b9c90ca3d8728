// Phone records on chain: the signed PhoneRecord (what happened in a call),
// sealed to the receiver and wrapped in a PhoneEnvelope that stands in the
// OP_RETURN push of a small transaction; sending one, finding the push again
// in a fetched transaction (decoded JSON or raw hex), opening the envelope,
// and whether a record is still live.
//
// JSON texts are compact with keys in byte order (nlohmann's default), so an
// envelope always reads {"enc_v":4,"location":"cphone","pmessage1":...,
// "protocol":"CV-Phone","ts":...,"type":"cp"}. Nothing here throws.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "phone/phone_status.h"

namespace kestrel {

inline constexpr const char* kPhoneLocation = "cphone";

// A record older than this is no longer live; one from further ahead than
// kLiveAheadSeconds neither.
inline constexpr int64_t kLiveAgeSeconds = 90;
inline constexpr int64_t kLiveAheadSeconds = 180;

// --- Sending ----------------------------------------------------------------------

// Completes record in place (protocol, type, location, the own handle and
// payment address, "ts" now), signs it, seals it to the current call's peer key and
// spends the envelope to destination with the service's message-fee address
// as second output. True once sent: the fee is added to the call's spent
// total, the txid goes into the done set and becomes the call txid when the
// call has none. False after setting the status: "Could not sign.",
// "Could not seal.", "Holding. Waiting for a coin to clear." (the calling
// thread's hold mark is then set) or the spend's own error text.
bool sendPhoneRecord(const std::string& destination, nlohmann::json& record, int rate, bool synchronous)
    EXCLUDES(stateMutex());

// The calling thread's hold mark: set when its last send found no
// confirmed coin, cleared by its next successful send or by clearHoldMark.
bool holdMark();
void clearHoldMark();

// What a successful spend answer ("success: TXID FEE") tells: the txid (cut
// to 64 characters) and the fee, or estimateRecordFee when the fee is
// missing or outside 1 to 1,000,000,000.
struct SentRecord {
    std::string txid;
    int64_t fee = 0;
};
SentRecord parseSentRecord(const std::string& spendResult, size_t envelopeBytes, int rate);

// max(((envelopeBytes + 250) * rate + 999) / 1000, 1) + 3, with the rate
// taken as the spend takes it (1 to 1000).
int64_t estimateRecordFee(size_t envelopeBytes, int rate);

// --- Reading ----------------------------------------------------------------------

// The longest OP_RETURN payload of a decoded transaction (the service's and
// the chain API's JSON form): the "opReturn" text or joined parts, or the
// push in the script hex (cut scripts give what decodes). Ties keep the
// earlier candidate; empty when there is none.
std::string extractFromTxJson(const nlohmann::json& document);

// The longest data-carrier push (script 0x00 0x6a or 0x6a, then one push) of
// a raw transaction given as hex, as bytes in a string. Empty for fewer than
// 20 or an odd number of hex digits, bad hex, more than 10,000 inputs or
// outputs, or inputs that do not fit.
std::string extractFromRawTx(const std::string& hex);

enum class EnvelopeOutcome {
    Opened,    // record and ts are set
    Malformed, // not a complete JSON object: the transaction may be read again
    Ignored,   // a wrong type or version, a seal that does not open to a record, or
               // an envelope or record beyond 1 MiB or 16 levels of nesting
};

struct OpenedEnvelope {
    EnvelopeOutcome outcome = EnvelopeOutcome::Ignored;
    nlohmann::json record; // the PhoneRecord (a JSON object), not yet verified
    int64_t ts = 0;        // the envelope's "ts", or the time of opening when it has none
    int64_t signedTs = 0;  // the record's own "ts" (recordInteger), covered by its signature
};

// Opens an envelope text (trailing blanks, tabs, CR and LF ignored) with the
// loaded wallet's identity key. The record still needs verifyRecord.
OpenedEnvelope openEnvelope(const std::string& text);

// The same with a given identity private key (64 hex).
OpenedEnvelope openEnvelopeWithKey(const std::string& text, const std::string& privateKeyHex);

// A time is live when it is positive and lies no more than 180 seconds ahead
// of now and no more than 90 seconds behind it.
bool isLiveRecord(int64_t ts, int64_t now);

// An opened record is live when its signed "ts" is live and so is the
// envelope's. The envelope's "ts" is outside the seal and the signature, so
// anyone may put a fresh one around an old record: it can only refuse.
bool isLiveEnvelope(const OpenedEnvelope& opened, int64_t now);

} // namespace kestrel
