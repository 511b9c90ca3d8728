#include "services/signed_records.h"

#include "platform/json_fields.h"
#include "platform/service_host.h"
#include "services/identity.h"
#include "services/paymail_claim.h"
#include "wallet/encoding.h"
#include "wallet/hashes.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "platform/clock.h"
#include "wallet/handle_forms.h"
#include "platform/sync.h"

#include <charconv>
#include <cmath>

namespace kestrel {

namespace wallet = cv_tessera_wallet;
using json = nlohmann::json;

namespace {

std::string effectiveChannel(const json& record);
std::string audioDigest(const json& record);

} // namespace

std::string canonicalRecordText(const json& record)
{
    const std::string type = wallet::trim_blanks(recordText(record, "type"));
    std::string text =
        "CV1|" + type + "|" + effectiveChannel(record) + "|" + wallet::signer_form(recordText(record, "handle")) + "|" +
        wallet::signer_form(recordText(record, "actor")) + "|" + std::to_string(recordInteger(record, "ts")) + "|";
    if (type == kPhoneType) {
        text += recordText(record, "kind") + "|" + recordText(record, "id") + "|" +
                std::to_string(recordInteger(record, "n")) + "|" + recordText(record, "codec") + "|" +
                recordText(record, "mark") + "|" + std::to_string(recordInteger(record, "secs")) + "|" +
                audioDigest(record);
    }
    return text;
}

bool signRecord(json& record, std::string& error)
{
    error.clear();
    if (!record.is_object()) {
        error = "record is not a JSON object";
        return false;
    }
    std::string alias;
    std::string paymail;
    {
        platform::LockGuard lock(wallet::wallet_mutex());
        if (wallet::load_wallet()) {
            resolveOwnPaymail(false);
            alias = ownAlias();
            paymail = ownPaymail();
        }
    }
    if (alias.empty()) {
        error = "Connect Tessera";
        return false;
    }
    record["actor"] = alias;
    if (!paymail.empty()) record["paymail"] = paymail;
    const auto ts = record.find("ts");
    if (ts == record.end() || !ts->is_number()) record["ts"] = platform::unixSeconds();

    const IdentitySignature signature = identitySign(canonicalRecordText(record));
    if (!signature.ok) {
        error = signature.error;
        return false;
    }
    record["pubkey"] = signature.publicKey;
    record["sig"] = signature.signature;

    // Our own record must pass what every receiver checks; it fails when the
    // wallet's identity key is not the one the service publishes for us.
    if (!verifyRecord(record)) {
        error = "identity signature did not verify against " + platform::serviceDomain() + " PKI";
        return false;
    }
    return true;
}

bool verifyRecord(const json& record)
{
    return verifyRecordSignature(record) &&
           keyMatchesIdentity(recordText(record, "actor"), recordText(record, "pubkey", "publicKey"),
                              recordText(record, "paymail"));
}

std::string verifiedSender(const json& record)
{
    if (!verifyRecord(record)) return {};
    // The very name whose published key matched. One the phone's handle form
    // would read as another name ("$x", "x@y") identifies no one it can act on.
    const std::string name = wallet::signer_form(recordText(record, "actor"));
    if (name.empty() || name[0] == '$' || name.find('@') != std::string::npos) return {};
    return name;
}

bool verifyRecordSignature(const json& record)
{
    if (!record.is_object() || recordText(record, "protocol") != kPhoneProtocol) return false;
    // Only the phone's own type: the text of other types' content is not
    // known here, so their signature would not cover what they carry.
    if (wallet::trim_blanks(recordText(record, "type")) != kPhoneType) return false;
    const std::string handle = recordText(record, "handle");
    const std::string actor = recordText(record, "actor");
    const std::string key = recordText(record, "pubkey", "publicKey");
    const std::string signature = recordText(record, "sig", "signature");
    if (handle.empty() || actor.empty() || key.empty() || signature.empty() || effectiveChannel(record).empty())
        return false;
    if (wallet::signer_form(actor) != wallet::signer_form(handle)) return false;
    if (recordInteger(record, "ts") <= 0) return false;
    return verifySignedMessage(canonicalRecordText(record), key, signature);
}

std::string recordText(const json& record, const char* name, const char* otherName)
{
    return platform::jsonText(record, name, otherName);
}

int64_t recordInteger(const json& record, const char* name)
{
    if (!record.is_object()) return 0;
    const auto found = record.find(name);
    if (found == record.end()) return 0;
    if (found->is_number_integer()) return found->get<int64_t>();
    if (found->is_number_float()) {
        // Out of range (or not finite) has no integer value: 0, like any other non-number.
        const double value = std::trunc(found->get<double>());
        return std::isfinite(value) && value >= -9.2e18 && value <= 9.2e18 ? static_cast<int64_t>(value) : 0;
    }
    if (found->is_string()) {
        const std::string& text = found->get_ref<const std::string&>();
        int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto parsed = std::from_chars(text.data(), end, value);
        return parsed.ec == std::errc() && parsed.ptr == end ? value : 0;
    }
    return 0;
}

namespace {

std::string effectiveChannel(const json& record)
{
    std::string channel = recordText(record, "channel");
    if (channel.empty()) channel = recordText(record, "location");
    return wallet::ascii_lower(wallet::trim_blanks(channel));
}

std::string audioDigest(const json& record)
{
    const std::string audio = recordText(record, "audio");
    return wallet::hex_encode(wallet::sha256(reinterpret_cast<const uint8_t*>(audio.data()), audio.size()));
}

} // namespace

} // namespace kestrel
