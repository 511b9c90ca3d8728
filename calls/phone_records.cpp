#include "calls/phone_records.h"

#include "phone/phone_store.h"
#include "calls/call_state.h"
#include "calls/chain_watch.h"
#include "calls/sealing.h"
#include "platform/config.h"
#include "services/signed_records.h"
#include "wallet/encoding.h"
#include "wallet/phone_spend.h"
#include "wallet/spend_result.h"
#include "wallet/transaction.h"
#include "platform/bounded_json.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>

namespace kestrel {

using json = nlohmann::json;
namespace wallet = cv_tessera_wallet;

namespace {

thread_local bool threadHoldMark = false;

// The fee a spend named, or the estimate when it named none.
SentRecord sentRecordOf(const wallet::SpendResult& result, size_t envelopeBytes, int rate)
{
    SentRecord sent;
    sent.txid = result.txid;
    sent.fee = result.fee > 0 ? result.fee : estimateRecordFee(envelopeBytes, rate);
    return sent;
}

// --- Pushes ---------------------------------------------------------------------------

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex pairs from the start of text up to the first that does not parse
// (a cut script still gives its beginning).
wallet::Bytes hexPrefix(std::string_view text)
{
    wallet::Bytes bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) break;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

// The push of a script hex from the decoded form ("006a" dropped first).
std::string pushOfScriptHex(std::string_view hex)
{
    if (hex.substr(0, 4) == "006a") hex.remove_prefix(4);
    const wallet::Bytes bytes = hexPrefix(hex);
    if (bytes.size() < 2) return {};
    size_t start = 0, length = 0;
    if (!wallet::script_push_at(bytes.data(), bytes.size(), bytes[0] == 0x6a ? 1 : 0, start, length)) return {};
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                       bytes.begin() + static_cast<std::ptrdiff_t>(start + length));
}

void keepLonger(std::string& best, std::string candidate)
{
    if (candidate.size() > best.size()) best = std::move(candidate);
}

// --- Envelopes ------------------------------------------------------------------------

using SealOpener = std::function<std::optional<std::string>(const json& envelope)>;

int64_t envelopeTs(const json& envelope)
{
    const auto ts = envelope.find("ts");
    if (ts == envelope.end() || !ts->is_number()) return platform::unixSeconds();
    if (ts->is_number_unsigned()) {
        const uint64_t value = ts->get<uint64_t>();
        return value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                                  : static_cast<int64_t>(value);
    }
    if (ts->is_number_integer()) return ts->get<int64_t>();
    const double value = std::trunc(ts->get<double>());
    // Beyond what an int64 holds the record is far from live either way.
    if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

OpenedEnvelope openWith(const std::string& text, const SealOpener& opener)
{
    OpenedEnvelope result;
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\n' || text[end - 1] == '\r'))
        --end;
    const std::string_view trimmed(text.data(), end);
    // Too large or too deep: reading it again will not help. Checked before
    // parsing, which recurses once per level.
    if (!platform::withinBounds(trimmed, platform::kRecordBytes, platform::kRecordDepth)) return result;
    if (end == 0 || text[end - 1] != '}') {
        result.outcome = EnvelopeOutcome::Malformed;
        return result;
    }
    const json envelope = platform::parseBounded(trimmed, platform::kRecordBytes, platform::kRecordDepth);
    if (!envelope.is_object()) {
        result.outcome = EnvelopeOutcome::Malformed;
        return result;
    }
    const auto type = envelope.find("type");
    if (type == envelope.end() || !type->is_string() || *type != kPhoneType) return result;

    std::optional<std::string> plain = opener(envelope);
    if (!plain || plain->empty()) return result;
    json record = platform::parseBounded(*plain, platform::kRecordBytes, platform::kRecordDepth);
    if (!record.is_object()) return result;

    result.outcome = EnvelopeOutcome::Opened;
    result.record = std::move(record);
    result.ts = envelopeTs(envelope);
    result.signedTs = recordInteger(result.record, "ts");
    return result;
}

} // namespace

// --- Sending ----------------------------------------------------------------------

bool sendPhoneRecord(const std::string& destination, json& record, int rate, bool synchronous)
{
    {
        platform::LockGuard lock(stateMutex());
        record["handle"] = phoneState().ownHandle;
        record["pay"] = callFields().ownPaymentAddress;
    }
    record["protocol"] = kPhoneProtocol;
    record["type"] = kPhoneType;
    // Liveness is judged by the signed time: every send and resend signs a fresh one.
    record["ts"] = platform::unixSeconds();
    record["location"] = kPhoneLocation;

    std::string error;
    if (!signRecord(record, error)) {
        setStatusText("Could not sign.");
        return false;
    }
    json envelope = {{"protocol", kPhoneProtocol},
                     {"type", kPhoneType},
                     {"location", kPhoneLocation},
                     {"ts", platform::unixSeconds()}};
    const std::string signedText = record.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string peerKey;
    {
        platform::LockGuard lock(stateMutex());
        peerKey = callFields().peerPublicKey;
    }
    if (!sealIntoEnvelope(signedText, peerKey, envelope, error)) {
        setStatusText("Could not seal.");
        return false;
    }
    const std::string payload = envelope.dump(-1, ' ', false, json::error_handler_t::replace);

    // No lock is held across the spend: it may take as long as a broadcast.
    const uint32_t spendRate = static_cast<uint32_t>(rate < 1 ? 1 : rate);
    const wallet::SpendResult result = wallet::read_spend_result(
        wallet::phone_send(destination, payload, spendRate, synchronous, platform::config().message_fee_address));

    if (result.held()) {
        threadHoldMark = true;
        setStatusText("Holding. Waiting for a coin to clear.");
        return false;
    }
    if (!result.sent()) {
        setStatusText(result.text);
        return false;
    }
    threadHoldMark = false;
    const SentRecord sent = sentRecordOf(result, payload.size(), rate);
    platform::LockGuard lock(stateMutex());
    CallFields& call = callFields();
    call.satoshisSpent += sent.fee;
    if (sent.txid.size() == 64) {
        doneTxids().insert(sent.txid);
        if (call.callTxid.empty()) call.callTxid = sent.txid;
    }
    return true;
}

bool holdMark()
{
    return threadHoldMark;
}

void clearHoldMark()
{
    threadHoldMark = false;
}

int64_t estimateRecordFee(size_t envelopeBytes, int rate)
{
    const int64_t clamped = rate < 1 ? 1 : rate > 1000 ? 1000 : rate;
    const int64_t fee = ((static_cast<int64_t>(envelopeBytes) + 250) * clamped + 999) / 1000;
    return (fee < 1 ? 1 : fee) + 3;
}

SentRecord parseSentRecord(const std::string& spendResult, size_t envelopeBytes, int rate)
{
    return sentRecordOf(wallet::read_spend_result(spendResult), envelopeBytes, rate);
}

// --- Reading ----------------------------------------------------------------------

std::string extractFromTxJson(const json& document)
{
    std::string best;
    if (!document.is_object()) return best;
    const auto vout = document.find("vout");
    if (vout == document.end() || !vout->is_array()) return best;
    for (const json& output : *vout) {
        if (!output.is_object()) continue;
        const auto script = output.find("scriptPubKey");
        if (script == output.end() || !script->is_object()) continue;
        if (const auto op = script->find("opReturn"); op != script->end() && op->is_object()) {
            if (const auto text = op->find("text"); text != op->end() && text->is_string())
                keepLonger(best, text->get<std::string>());
            if (const auto parts = op->find("parts"); parts != op->end() && parts->is_array()) {
                std::string joined;
                for (const json& part : *parts)
                    if (part.is_string()) joined += part.get_ref<const std::string&>();
                keepLonger(best, std::move(joined));
            }
        }
        if (const auto hex = script->find("hex"); hex != script->end() && hex->is_string())
            keepLonger(best, pushOfScriptHex(hex->get_ref<const std::string&>()));
    }
    return best;
}

std::string extractFromRawTx(const std::string& hex)
{
    if (hex.size() < 20 || hex.size() % 2 != 0) return {};
    std::string best;
    for (const wallet::Bytes& push : wallet::output_data_pushes(wallet::hex_decode(hex)))
        if (push.size() > best.size()) best.assign(push.begin(), push.end());
    return best;
}

OpenedEnvelope openEnvelope(const std::string& text)
{
    return openWith(text, [](const json& envelope) { return openEnvelopeSeal(envelope); });
}

OpenedEnvelope openEnvelopeWithKey(const std::string& text, const std::string& privateKeyHex)
{
    return openWith(text, [&](const json& envelope) { return openEnvelopeSealWithKey(envelope, privateKeyHex); });
}

bool isLiveRecord(int64_t ts, int64_t now)
{
    if (ts <= 0) return false;
    // Wide arithmetic: a forged ts may be anything.
    const __int128 ahead = static_cast<__int128>(ts) - now;
    return ahead <= kLiveAheadSeconds && -ahead <= kLiveAgeSeconds;
}

bool isLiveEnvelope(const OpenedEnvelope& opened, int64_t now)
{
    return opened.outcome == EnvelopeOutcome::Opened && isLiveRecord(opened.signedTs, now) &&
           isLiveRecord(opened.ts, now);
}

} // namespace kestrel
