// The record checks a received record goes through before the service is
// asked for its sender's key: any JSON text never crashes the canonical text,
// the field rules or the signature check. A record signed here over its
// canonical text holds exactly when its form is right, and stops holding
// once its audio changes.
#include "services/identity.h"
#include "services/signed_records.h"

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrel;
    using json = nlohmann::json;
    json record = json::parse(data, data + size, nullptr, false);
    if (record.is_discarded()) return 0;
    const std::string text = canonicalRecordText(record);
    if (text.rfind("CV1|", 0) != 0) std::abort();
    const bool holdsAsGiven = verifyRecordSignature(record);
    if (holdsAsGiven &&
        !verifySignedMessage(text, recordText(record, "pubkey", "publicKey"), recordText(record, "sig", "signature")))
        std::abort();
    if (!record.is_object()) return 0;

    const IdentitySignature signature = identitySignWithKey(kPriv, text);
    if (!signature.ok) std::abort();
    record["pubkey"] = signature.publicKey;
    record["sig"] = signature.signature;
    record.erase("publicKey");
    record.erase("signature");
    if (verifyRecordSignature(record)) {
        record["audio"] = recordText(record, "audio") + "A";
        if (verifyRecordSignature(record)) std::abort();
    }
    return 0;
}
