// The P2PKH address decoder: never crashes, and whatever it accepts encodes
// back to the same text.
#include "wallet/address.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace cv_tessera_wallet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    Bytes hash;
    if (decode_address(text, hash)) {
        if (hash.size() != 20 || address_from_hash160(hash) != text) std::abort();
    } else if (!hash.empty()) {
        std::abort();
    }
    Bytes raw;
    if (base58_decode(text, raw) && base58_encode(raw) != text) std::abort();
    return 0;
}
