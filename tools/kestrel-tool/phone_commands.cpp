// Phone commands: resolving what a user would type into a payment address,
// sending one signalling record to a handle as the call engine does, and
// reading a transaction back (the service's decoded form, then the chain
// API's, then its raw hex) to open and check the record it carries. All work
// on the wallet the data folder binds for this instance.
//
// Stable forms: resolve → {"address"} or {"error"}; send-record → {"sent",
// "txid", "status"}; read-tx → {"record", "live", "verified", "from"} or {"error"}.
// The exit status is 0 only for an address, a sent record or an opened one.
#include "phone/phone_store.h"
#include "calls/call_state.h"
#include "calls/phone_records.h"
#include "platform/bounded_json.h"
#include "platform/chain_api.h"
#include "platform/config.h"
#include "platform/service_host.h"
#include "services/identity.h"
#include "services/paymail_claim.h"
#include "services/paymail_resolution.h"
#include "services/signed_records.h"
#include "services/tessera_link.h"
#include "tools/kestrel-tool/tool.h"
#include "wallet/broadcast.h"
#include "wallet/encoding.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "wallet/web_client.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"

#include <mutex>

namespace tool {

using json = nlohmann::json;
namespace wallet = cv_tessera_wallet;

namespace {

// Registers as the phone does and loads the bound wallet with its alias.
bool openWallet(const Args& args)
{
    if (!loadBoundWallet(args)) return false;
    kestrel::resolveOwnPaymail(false);
    return true;
}

int resolve(const Args& args)
{
    if (!requireOptions(args, {"to"}, "resolve")) return 1;
    openWallet(args); // a handle needs a wallet; paymails and addresses do not
    std::string error;
    const std::string address = kestrel::resolveRecipient(args.get("to"), kestrel::ownPaymail(), error);
    if (address.empty()) {
        printJson({{"error", error}});
        return 1;
    }
    return printJson({{"address", address}});
}

// How the call engine sends each signalling kind: rate 1, synchronous.
bool isSignal(const std::string& kind)
{
    return kind == "invite" || kind == "accept" || kind == "box" || kind == "hangup";
}

bool isCallId(const std::string& id)
{
    if (id.size() != 16) return false;
    for (const char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

int sentAnswer(bool sent, const std::string& txid, const std::string& status)
{
    wallet::wait_for_background_posts(kBackgroundWaitMs);
    printJson({{"sent", sent}, {"txid", txid}, {"status", status}});
    return sent ? 0 : 1;
}

int sendRecord(const Args& args)
{
    if (!requireOptions(args, {"to", "kind", "id"}, "send-record")) return 1;
    const std::string kind = args.get("kind");
    const std::string id = args.get("id");
    if (!isSignal(kind)) return fail("--kind must be invite, accept, box or hangup");
    if (!isCallId(id)) return fail("--id must be 16 lower-case hex digits");
    if (!openWallet(args)) return sentAnswer(false, "", std::string("error: ") + kestrel::kNoTesseraWallet);
    const std::string ownHandle = kestrel::ownAlias();
    if (ownHandle.empty()) return sentAnswer(false, "", "Connect Tessera, with a published handle.");

    const std::string handle = wallet::bare_handle(args.get("to"));
    std::string error;
    const std::string address = kestrel::resolveRecipient(handle, kestrel::ownPaymail(), error);
    if (address.empty()) return sentAnswer(false, "", error.empty() ? "No payment address for that handle." : error);
    const std::string peerKey = kestrel::lookupIdentityKey(handle, handle + "@" + platform::serviceDomain());
    if (peerKey.empty()) return sentAnswer(false, "", "No paymail key for " + handle + ".");

    {
        platform::LockGuard lock(kestrel::stateMutex());
        kestrel::phoneState().ownHandle = ownHandle;
        kestrel::phoneState().statusText.clear(); // so that the answer shows what the send set
        kestrel::CallFields& call = kestrel::callFields();
        call.ownPaymentAddress = wallet::receive_address();
        call.callId = id;
        call.peerHandle = handle;
        call.peerPaymentAddress = address;
        call.peerPublicKey = peerKey;
        call.satoshisSpent = 0;
        call.callTxid.clear();
    }
    json record = {{"kind", kind}, {"id", id}};
    const bool sent = kestrel::sendPhoneRecord(address, record, 1, true);
    std::string txid, status;
    {
        platform::LockGuard lock(kestrel::stateMutex());
        txid = kestrel::callFields().callTxid;
        status = kestrel::phoneState().statusText;
    }
    return sentAnswer(sent, txid, status);
}

// A decoded transaction's payload, when the body is one with a "vout" list.
std::string payloadOfDecoded(const std::string& body)
{
    const json document = platform::parseBounded(body);
    if (!document.is_object() || !document.contains("vout") || !document["vout"].is_array()) return {};
    return kestrel::extractFromTxJson(document);
}

// The phone payload of txid through one read path ("service", "chain" or
// "hex"); empty when that path has none.
std::string readPayload(const std::string& via, const std::string& txid)
{
    std::string body, error, payload;
    if (via == "service" && wallet::web_get_plain(platform::serviceHostUrl(platform::decodedTxPath(txid)), body, error))
        payload = payloadOfDecoded(body);
    else if (via == "chain" && wallet::web_get_plain(platform::chainTxUrl(txid), body, error))
        payload = payloadOfDecoded(body);
    else if (via == "hex" && wallet::web_get_plain(platform::chainTxHexUrl(txid), body, error))
        payload = kestrel::extractFromRawTx(body);
    return payload.find(kestrel::kPhoneProtocol) == std::string::npos ? std::string() : payload;
}

int readTx(const Args& args)
{
    if (!requireOptions(args, {"txid"}, "read-tx")) return 1;
    const std::string txid = args.get("txid");
    const std::string via = args.get("via");
    if (!wallet::is_txid(txid)) return fail("--txid must be 64 hex digits");
    if (!via.empty() && via != "service" && via != "chain" && via != "hex")
        return fail("--via must be service, chain or hex");
    if (!openWallet(args)) {
        printJson({{"error", std::string(kestrel::kNoTesseraWallet)}});
        return 1;
    }
    std::string payload;
    for (const char* path : {"service", "chain", "hex"}) {
        if (!via.empty() && via != path) continue;
        payload = readPayload(path, txid);
        if (!payload.empty()) break;
    }
    auto error = [](const std::string& text) {
        printJson({{"error", text}});
        return 1;
    };
    if (payload.empty()) return error("no phone record found in that transaction");
    const kestrel::OpenedEnvelope opened = kestrel::openEnvelope(payload);
    if (opened.outcome == kestrel::EnvelopeOutcome::Malformed) return error("the phone record is not complete JSON");
    if (opened.outcome != kestrel::EnvelopeOutcome::Opened)
        return error("the phone record does not open with this wallet's identity key");
    const std::string from = kestrel::verifiedSender(opened.record);
    return printJson({{"record", opened.record},
                      {"live", kestrel::isLiveEnvelope(opened, platform::unixSeconds())},
                      {"verified", !from.empty()},
                      {"from", from}});
}

} // namespace

std::vector<Command> phoneCommands()
{
    return {
        {"resolve", "--to TEXT [--instance DIR]",
         "resolve a handle, paymail or 1-address to a payment address: {\"address\"} or {\"error\"}", resolve},
        {"send-record", "--to HANDLE --kind invite|accept|box|hangup --id HEX16 [--instance DIR]",
         "seal and send one signalling record to a handle as the phone does: {\"sent\", \"txid\", \"status\"}",
         sendRecord},
        {"read-tx", "--txid T [--via service|chain|hex] [--instance DIR]",
         "read a transaction (the service, the chain API, raw hex) and open its phone record with the "
         "wallet's identity key: {\"record\", \"live\", \"verified\"} or {\"error\"}",
         readTx},
    };
}

} // namespace tool
