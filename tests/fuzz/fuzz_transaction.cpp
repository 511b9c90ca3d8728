// The raw transaction reader: never crashes; what it accepts with the
// wallet's own version, sequences and lock time serialises back to the same
// bytes.
#include "wallet/transaction.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace cv_tessera_wallet;
    const Bytes raw(data, data + size);
    Transaction tx;
    if (!parse_transaction(raw, tx)) return 0;
    bool ours = tx.version == kTxVersion && tx.lock_time == kTxLockTime;
    std::vector<Coin> inputs;
    for (const TxInput& in : tx.inputs) {
        ours = ours && in.sequence == kTxSequence;
        Coin c;
        c.txid = in.txid;
        c.vout = in.vout;
        c.script_sig = in.script_sig;
        inputs.push_back(c);
    }
    if (ours && serialize(inputs, tx.outputs, false) != raw) std::abort();
    return 0;
}
