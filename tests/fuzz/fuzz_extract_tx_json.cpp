// Reading the payload of a decoded transaction: any JSON document never
// crashes, and a script hex made of the input gives a push that is a run of
// the input's bytes.
#include "calls/phone_records.h"
#include "wallet/encoding.h"

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using json = nlohmann::json;
    const json document = json::parse(data, data + size, nullptr, false);
    if (!document.is_discarded()) kestrel::extractFromTxJson(document);

    const json wrapped = {{"vout", {{{"scriptPubKey", {{"hex", cv_tessera_wallet::hex_encode(data, size)}}}}}}};
    const std::string push = kestrel::extractFromTxJson(wrapped);
    if (push.size() > size) std::abort();
    if (!push.empty() && std::string(reinterpret_cast<const char*>(data), size).find(push) == std::string::npos)
        std::abort();
    return 0;
}
