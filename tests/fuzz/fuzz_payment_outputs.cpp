// Payment destination replies: any body never crashes; an accepted reply is
// 1 to 20 outputs to valid addresses adding up to the expected amount, a
// refused one has no outputs and one of the three messages.
#include "services/paymail_resolution.h"
#include "wallet/address.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace kestrel;
    if (size == 0) return 0;
    // The first byte picks the expected amount, so that multi-output totals are reached.
    const int64_t expected = 1 + data[0] % 25;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<PaymentOutput> outputs;
    std::string error;
    if (parsePaymentOutputs(body, expected, outputs, error)) {
        if (!error.empty() || outputs.empty() || outputs.size() > 20) std::abort();
        int64_t total = 0;
        for (const PaymentOutput& output : outputs) {
            cv_tessera_wallet::Bytes hash;
            if (output.satoshis < 1 || !cv_tessera_wallet::decode_address(output.address, hash)) std::abort();
            total += output.satoshis;
        }
        if (total != expected) std::abort();
    } else {
        if (!outputs.empty()) std::abort();
        if (error != kNoPaymentAddress && error != kTooManyOutputs && error != kDifferentAmount) std::abort();
    }
    return 0;
}
