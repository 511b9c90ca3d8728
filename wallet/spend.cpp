#include "wallet/spend.h"

#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/building.h"
#include "wallet/coins.h"
#include "wallet/spend_hooks.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"
#include "platform/events.h"

#include <unistd.h>

namespace cv_tessera_wallet {

namespace {

constexpr int kAttempts = 3;

void report_success(int64_t amount, int64_t fee)
{
    if (!::isatty(STDOUT_FILENO)) platform::emitWalletEvent("spend", "spend", {std::to_string(amount)});
    report_spend(amount + fee);
}

} // namespace

std::string spend(const std::string& address, int64_t amount, const std::string& note)
{
    platform::RecursiveUniqueLock lock(wallet_mutex());
    if (!load_wallet()) return kNoWallet;
    if (amount <= 0) return kAmountNotPositive;
    if (!in_money_range(amount)) return kAmountAboveRange;
    Bytes dest;
    if (!decode_address(address, dest)) return kNotP2pkh;
    Bytes change;
    std::string error;
    if (!choose_change(change, error)) return "error: " + error;

    bool after_conflict = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // The scan releases the wallet mutex while it asks the services and
        // answers with it taken again: the coins are chosen and used within
        // one hold, so a phone send cannot take one of them meanwhile. A
        // wallet switched during the scan ends the spend.
        const std::string tag = coin_file_tag();
        SpendCoins coins;
        const bool gathered = gather_spend_coins(lock, coins, error, after_conflict);
        if (!gathered) return "error: " + error;
        if (coin_file_tag() != tag) return std::string("error: ") + kWalletChanged;
        if (coins.offered.empty()) {
            // Nothing could be read at all is not the same as nothing there.
            if (!coins.any_answered && !coins.error.empty()) return "error: " + coins.error;
            return kNothingToSpend;
        }

        std::vector<Coin> inputs;
        std::vector<Output> outputs;
        int64_t fee = 0;
        if (!build_payment(coins.offered, inputs, outputs, dest, change, amount, note, fee, error))
            return "error: " + error;
        if (!sign_inputs(inputs, outputs)) return kSigningFailed;

        const std::string result = broadcast_full(inputs, outputs, change);
        if (read_spend_result(result).sent()) {
            report_success(amount, fee);
            return result;
        }
        if (!has_conflict_marker(result) && !has_missing_input_marker(result)) return result;

        forget_failed_inputs(inputs);
        const Bytes raw = serialize(inputs, outputs, false);
        const std::string id = txid(raw);
        if (tx_exists(id)) {
            // It reached the network after all (an earlier answer was lost):
            // a success like any other, so the paymail host gets it too.
            record_sent(inputs, outputs, id, change);
            deliver_payments(hex_encode(raw), id, outputs);
            report_success(amount, fee);
            return "success: " + id;
        }
        after_conflict = true;
    }
    return kRetriesUsed;
}

} // namespace cv_tessera_wallet
