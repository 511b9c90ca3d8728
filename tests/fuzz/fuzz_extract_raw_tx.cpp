// Reading the data push of a raw transaction: any hex text never crashes or
// reads past its bytes, and a push found is a run of the decoded bytes.
#include "calls/phone_records.h"
#include "wallet/encoding.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The input as a transaction's bytes, and as text that may not be hex.
    const std::string hex = cv_tessera_wallet::hex_encode(data, size);
    const std::string push = kestrel::extractFromRawTx(hex);
    if (push.size() > size) std::abort();
    if (!push.empty() && std::string(reinterpret_cast<const char*>(data), size).find(push) == std::string::npos)
        std::abort();
    kestrel::extractFromRawTx(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
