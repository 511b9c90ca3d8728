#include "wallet/phone_spend.h"

#include "wallet/address.h"
#include "wallet/broadcast.h"
#include "wallet/building.h"
#include "wallet/coins.h"
#include "wallet/spend.h"
#include "wallet/spend_hooks.h"
#include "wallet/spend_result.h"
#include "wallet/wallet_file.h"
#include "wallet/wallet_state.h"

#include <algorithm>

namespace cv_tessera_wallet {

namespace {

constexpr uint32_t kMinRate = 1;
constexpr uint32_t kMaxRate = 1000;
constexpr size_t kPayloadOverhead = 320; // inputs, the other outputs and change around the payload
constexpr int64_t kPayloadMargin = 20;
constexpr int kReadyCount = 120;
constexpr int kMinPieces = 8;
constexpr int kMaxPieces = 120;
constexpr int64_t kSplitReserve = 50;
constexpr int64_t kMinSplitSpendable = 800;
constexpr int kMinAffordable = 4;

void forget_if_conflict(const std::string& error, const std::vector<Coin>& inputs)
{
    if (has_conflict_marker(error) || has_missing_input_marker(error)) forget_failed_inputs(inputs);
    prune_phone_coins();
}

} // namespace

int64_t phone_need(size_t payload_size, uint32_t rate, int dust)
{
    return fee_for(payload_size + kPayloadOverhead, rate) + kPayloadMargin + dust;
}

std::string phone_send(const std::string& phone_address, const std::string& payload, uint32_t rate, bool synchronous,
                       const std::string& second_address)
{
    if (!wallet_connected()) return kNotConnected;
    if (payload.empty()) return kEmptyPayload;
    rate = std::clamp(rate, kMinRate, kMaxRate);

    platform::RecursiveUniqueLock lock(wallet_mutex());
    if (!load_wallet()) return kNoWallet;
    Bytes phone;
    if (!decode_address(phone_address, phone)) return kPhoneAddressBad;
    Bytes change;
    std::string error;
    if (!choose_change(change, error)) return "error: " + error;
    Bytes second;
    const bool has_second = !second_address.empty() && decode_address(second_address, second);
    const int64_t need = phone_need(payload.size(), rate, has_second ? 2 : 1);

    std::vector<Coin> picked;
    if (!pick_phone_coins(need, picked) && held_count() == 0) {
        std::string message;
        refresh_phone_coins(true, message);
        pick_phone_coins(need, picked);
    }
    if (picked.empty() && synchronous) {
        pick_coins(
            unconfirmed_phone_coins(), need, [](const Coin& c) { return is_usable(c); },
            [](const Coin&) { return false; }, picked);
    }
    if (picked.empty()) return kHoldText;

    std::vector<Output> requested {{1, p2pkh_locking_script(phone)}};
    if (has_second) requested.push_back({1, p2pkh_locking_script(second)});
    requested.push_back({0, data_script(payload)});
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    int64_t fee = 0;
    if (!build_outputs(picked, inputs, outputs, change, requested, fee, error, 0, rate)) return "error: " + error;
    if (!sign_inputs(inputs, outputs)) return kSigningFailed;

    if (synchronous) {
        const std::string result = broadcast_full(inputs, outputs, change);
        if (!read_spend_result(result).sent()) {
            forget_if_conflict(result, inputs);
            return result;
        }
        prune_phone_coins();
        report_spend(fee);
        return result + " " + std::to_string(fee);
    }

    const Bytes raw = serialize(inputs, outputs, false);
    if (raw.empty()) return kSerializeFailed;
    const std::string hex = hex_encode(raw);
    const std::string local_txid = txid(raw);
    const std::string tag = coin_file_tag();
    hold_coins(inputs);
    lock.unlock();
    std::string sent_txid, submit_error;
    const bool sent = fast_submit(hex, local_txid, sent_txid, submit_error);
    lock.lock();
    release_coins(inputs);

    if (!sent) {
        forget_if_conflict(submit_error, inputs);
        return submit_error.empty() ? kPhoneBroadcastFailed : submit_error;
    }
    // A wallet switched during the submit keeps its own books; this
    // transaction belonged to the one before.
    if (coin_file_tag() == tag) record_sent(inputs, outputs, local_txid, change);
    deliver_payments(hex, local_txid, outputs);
    prune_phone_coins();
    report_spend(fee);
    return "success: " + sent_txid + " " + std::to_string(fee);
}

int phone_ready_coins()
{
    platform::LockGuard lock(wallet_mutex());
    if (!load_wallet()) return 0;
    std::string message;
    refresh_phone_coins(false, message);
    int large = 0;
    bool any = false;
    for (const Coin& c : phone_coins()) {
        if (!is_usable(c)) continue;
        any = true;
        if (c.sats >= kSplitPieceSats) ++large;
    }
    return large > 0 ? large : any ? 1 : 0;
}

SplitPlan plan_split(int count, int64_t largest)
{
    SplitPlan plan;
    if (count >= kReadyCount) {
        plan.verdict = kReady;
        return plan;
    }
    if (count <= 0) {
        plan.verdict = kHoldText;
        return plan;
    }
    const int wanted = kTargetCoins - count;
    if (wanted < kMinPieces) {
        plan.verdict = kReady;
        return plan;
    }
    int pieces = std::min(wanted, kMaxPieces);
    const int64_t fee = fee_for(static_cast<size_t>(40 * pieces + 220), kPaymentRate);
    const int64_t spendable = largest - fee - kSplitReserve;
    const int64_t affordable = spendable / kSplitPieceSats;
    if (spendable < kMinSplitSpendable || affordable < kMinAffordable) {
        plan.verdict = kReady;
        return plan;
    }
    pieces = static_cast<int>(std::min<int64_t>(affordable, pieces));
    plan.pieces = pieces;
    plan.each = spendable / pieces;
    plan.fee = fee;
    return plan;
}

std::string phone_prepare_coins()
{
    if (!wallet_connected()) return kNotConnected;
    platform::LockGuard lock(wallet_mutex());
    if (!load_wallet()) return kNoWallet;
    std::string message;
    if (!refresh_phone_coins(true, message)) return message;

    int count = 0;
    Coin largest;
    for (const Coin& c : phone_coins()) {
        if (c.sats < kSplitPieceSats || !is_usable(c)) continue;
        ++count;
        if (c.sats > largest.sats) largest = c;
    }
    if (count >= kReadyCount) return kReady;
    if (count == 0) return kHoldText;
    if (kTargetCoins - count < kMinPieces) return kReady;

    Bytes change;
    std::string error;
    if (!choose_change(change, error)) return "error: " + error;
    const SplitPlan plan = plan_split(count, largest.sats);
    if (!plan.verdict.empty()) return plan.verdict;

    const std::vector<Output> pieces(static_cast<size_t>(plan.pieces - 1),
                                     Output {plan.each, p2pkh_locking_script(change)});
    std::vector<Coin> inputs;
    std::vector<Output> outputs;
    int64_t fee = 0;
    if (!build_outputs({largest}, inputs, outputs, change, pieces, fee, error, 1, kPaymentRate)) return kCannotSplit;
    if (!sign_inputs(inputs, outputs)) return kSigningFailed;
    const std::string result = broadcast_full(inputs, outputs, change);
    if (read_spend_result(result).sent()) {
        expire_phone_coins();
        report_spend(fee);
    } else {
        forget_if_conflict(result, inputs);
    }
    return result;
}

} // namespace cv_tessera_wallet
