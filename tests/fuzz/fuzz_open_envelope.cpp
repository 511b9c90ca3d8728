// Opening envelopes: any text never crashes; a text beyond the record bounds
// (size, nesting) is Ignored, and within them a text that is no complete JSON
// object is Malformed; any plain text sealed to the key opens exactly when
// it is a JSON object within the bounds, and then to that object.
#include "calls/phone_records.h"
#include "calls/sealing.h"
#include "platform/bounded_json.h"
#include "wallet/address.h"

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";

const std::string& publicKey()
{
    static const std::string pub = [] {
        std::string key;
        cv_tessera_wallet::pubkey_from_privkey(kPriv, key);
        return key;
    }();
    return pub;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrel;
    using json = nlohmann::json;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const OpenedEnvelope asEnvelope = openEnvelopeWithKey(text, kPriv);
    const json parsed = json::parse(text, nullptr, false);
    const bool bounded = platform::withinBounds(text, platform::kRecordBytes, platform::kRecordDepth);
    if (!bounded && asEnvelope.outcome != EnvelopeOutcome::Ignored) std::abort();
    if (bounded && !parsed.is_object() && asEnvelope.outcome != EnvelopeOutcome::Malformed) std::abort();
    if (asEnvelope.outcome == EnvelopeOutcome::Opened && !asEnvelope.record.is_object()) std::abort();

    json envelope = {{"location", "cphone"}, {"protocol", "CV-Phone"}, {"ts", 1}, {"type", "cp"}};
    std::string error;
    if (!sealIntoEnvelope(text, publicKey(), envelope, error)) std::abort();
    const OpenedEnvelope sealed = openEnvelopeWithKey(envelope.dump(), kPriv);
    const bool opens = parsed.is_object() && bounded;
    if ((sealed.outcome == EnvelopeOutcome::Opened) != opens) std::abort();
    if (opens && (sealed.record != parsed || sealed.ts != 1)) std::abort();
    return 0;
}
