// Opening envelopes: any text never crashes; a text that is no complete JSON
// object is Malformed; any plain text sealed to the key opens exactly when
// it is a JSON object, and then to that object.
#include "calls/phone_records.h"
#include "calls/sealing.h"
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
    if (!parsed.is_object() && asEnvelope.outcome != EnvelopeOutcome::Malformed) std::abort();
    if (asEnvelope.outcome == EnvelopeOutcome::Opened && !asEnvelope.record.is_object()) std::abort();

    json envelope = {{"location", "cphone"}, {"protocol", "CV-Phone"}, {"ts", 1}, {"type", "cp"}};
    std::string error;
    if (!sealIntoEnvelope(text, publicKey(), envelope, error)) std::abort();
    const OpenedEnvelope sealed = openEnvelopeWithKey(envelope.dump(), kPriv);
    if ((sealed.outcome == EnvelopeOutcome::Opened) != parsed.is_object()) std::abort();
    if (parsed.is_object() && (sealed.record != parsed || sealed.ts != 1)) std::abort();
    return 0;
}
