// The hex and Base64 decoders and the txid text helpers: never crash; hex
// that decodes encodes back to the lower-cased input.
#include "wallet/encoding.h"

#include <cctype>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace cv_tessera_wallet;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Bytes bytes = hex_decode(text);
    if (!bytes.empty() || text.empty()) {
        std::string lower = text;
        for (char& c : lower)
            if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (hex_encode(bytes) != lower) std::abort();
    } else if (text.size() % 2 == 0) {
        bool all_hex = true;
        for (const char c : text) all_hex = all_hex && std::isxdigit(static_cast<unsigned char>(c));
        if (all_hex) std::abort();
    }
    const std::string reversed = reverse_txid(text);
    if (is_txid(text) != !reversed.empty()) std::abort();
    base64_decode(text);
    return 0;
}
