// The sealed-text reader: any bytes (as the hex a record carries) and any
// text never crash it, with or without a named sender key; and whatever is
// sealed to its key opens again to the same bytes.
#include "calls/sealing.h"
#include "wallet/address.h"
#include "wallet/encoding.h"

#include <cstdlib>
#include <string>

namespace {

const std::string kPriv = "1b2c3d4e5f60718293a4b5c6d7e8f90112233445566778899aabbccddeeff001";

const std::string& publicKey()
{
    static const std::string pub = [] {
        std::string made;
        if (!cv_tessera_wallet::pubkey_from_privkey(kPriv, made)) std::abort();
        return made;
    }();
    return pub;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrel;
    using cv_tessera_wallet::hex_encode;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string hex = hex_encode(data, size);
    openSealed(hex, kPriv);
    openSealed(bytes, kPriv);
    if (size >= 33) openSealed(hex, kPriv, hex_encode(data, 33));
    if (size >= 65) openSealed(hex, kPriv, hex_encode(data, 65));

    if (size > 4096) return 0;
    const std::optional<std::string> opened = openSealed(sealToKey(bytes, publicKey()), kPriv);
    if (!opened || *opened != bytes) std::abort();
    return 0;
}
