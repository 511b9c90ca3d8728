#include "wallet/building.h"

#include "wallet/address.h"
#include "wallet/keys.h"
#include "wallet/wallet_state.h"
#include "platform/config.h"

#include <algorithm>

namespace cv_tessera_wallet {

using Lock = platform::LockGuard<platform::RecursiveMutex>;

namespace {

bool finish_build(const std::vector<Coin>& chosen, int64_t total, int64_t need, const std::vector<Output>& requested,
                  const Bytes& change_hash160, uint32_t rate, std::vector<Coin>& inputs_out,
                  std::vector<Output>& outputs_out, int64_t& fee_out, std::string& error);

} // namespace

int64_t fee_for(size_t size, uint32_t rate)
{
    if (size < 1) return 1;
    const uint64_t r = std::max<uint32_t>(rate, 1);
    return static_cast<int64_t>((r * size + 999) / 1000);
}

bool choose_change(Bytes& hash160_out, std::string& error)
{
    Lock lock(wallet_mutex());
    hash160_out.clear();
    error.clear();
    const WalletState& w = wallet_state();
    Bytes receive;
    if (!decode_address(w.receive_address, receive)) {
        error = kAddressDecodeFailed;
        return false;
    }
    if (!platform::isHouseOracle(w.receive_address)) {
        hash160_out = receive;
        return true;
    }
    if (w.is_hd) {
        const uint64_t last = std::min(w.counters[kReceiveAccount], kMaxAddressIndex);
        for (uint64_t i = 0; i <= last; ++i) {
            std::string priv, pub, address;
            const bool ok = derive(wallet_path(kReceiveAccount, static_cast<uint32_t>(i)), priv, pub, address);
            wipe_string(priv);
            if (!ok) break;
            if (!platform::isHouseOracle(address) && decode_address(address, hash160_out)) return true;
        }
    }
    hash160_out.clear();
    error = kChangeOnOracle;
    return false;
}

bool build_outputs(const std::vector<Coin>& coins, std::vector<Coin>& inputs_out, std::vector<Output>& outputs_out,
                   const Bytes& change_hash160, const std::vector<Output>& requested_outputs, int64_t& fee_out,
                   std::string& error, size_t must_spend_count, uint32_t rate)
{
    inputs_out.clear();
    outputs_out.clear();
    fee_out = 0;
    error.clear();
    if (requested_outputs.empty()) {
        error = kNothingToPay;
        return false;
    }
    int64_t need = 0;
    for (const Output& out : requested_outputs) {
        if (out.sats < 0 || out.script.empty()) {
            error = kInvalidOutput;
            return false;
        }
        need += out.sats;
        if (!in_money_range(out.sats) || !in_money_range(need)) {
            error = kAboveMoneyRange;
            return false;
        }
    }

    std::vector<Coin> chosen;
    int64_t total = 0;
    auto try_add = [&](const Coin& coin) {
        // A coin outside the money range does not exist; leaving it out
        // also keeps the total inside it.
        if (!is_txid(coin.txid) || !in_money_range(coin.sats) || !in_money_range(total + coin.sats)) return false;
        chosen.push_back(coin);
        if (serialize(chosen, requested_outputs, true).empty()) {
            chosen.pop_back();
            return false;
        }
        total += coin.sats;
        return true;
    };
    auto covered = [&]() {
        const size_t size = serialize(chosen, requested_outputs, true).size() + kChangeOutputSize;
        return total >= need + fee_for(size, rate);
    };

    const size_t musts = std::min(must_spend_count, coins.size());
    for (size_t i = 0; i < musts; ++i) {
        if (!try_add(coins[i])) {
            error = kBadMustSpend;
            return false;
        }
    }
    bool done = !chosen.empty() && covered();
    for (size_t i = musts; i < coins.size() && !done; ++i)
        if (try_add(coins[i])) done = covered();
    return finish_build(chosen, total, need, requested_outputs, change_hash160, rate, inputs_out, outputs_out, fee_out,
                        error);
}

bool build_payment(const std::vector<Coin>& coins, std::vector<Coin>& inputs_out, std::vector<Output>& outputs_out,
                   const Bytes& dest_hash160, const Bytes& change_hash160, int64_t amount, const std::string& note,
                   int64_t& fee_out, std::string& error)
{
    std::vector<Output> requested {{amount, p2pkh_locking_script(dest_hash160)}};
    if (!note.empty()) requested.push_back({0, data_script(note)});
    return build_outputs(coins, inputs_out, outputs_out, change_hash160, requested, fee_out, error, 0, kPaymentRate);
}

Bytes data_script(const std::string& data)
{
    Bytes script {0x00, 0x6A};
    write_push_data(script, reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return script;
}

bool sign_inputs(std::vector<Coin>& inputs, const std::vector<Output>& outputs)
{
    Lock lock(wallet_mutex());
    const WalletState& w = wallet_state();
    Bytes receive;
    decode_address(w.receive_address, receive);
    for (Coin& input : inputs) {
        const Bytes hash = input.hash160.empty() ? receive : input.hash160;
        std::string priv, pub;
        bool found = true;
        if (!input.priv.empty()) {
            priv = input.priv;
            pub = input.pub;
        } else if (!receive.empty() && hash == receive) {
            priv = w.receive_priv;
            pub = w.receive_pub;
        } else {
            found = keys_for_address(address_from_hash160(hash), priv, pub);
        }
        const bool ok = found && !priv.empty() && sign_input(input, inputs, outputs, hash, priv, pub);
        wipe_string(priv);
        if (!ok) return false;
    }
    return true;
}

namespace {

// Sizes the transaction without change, adds change when at least 1 satoshi
// is left, sizes again and settles the fee.
bool finish_build(const std::vector<Coin>& chosen, int64_t total, int64_t need, const std::vector<Output>& requested,
                  const Bytes& change_hash160, uint32_t rate, std::vector<Coin>& inputs_out,
                  std::vector<Output>& outputs_out, int64_t& fee_out, std::string& error)
{
    const Bytes plain = serialize(chosen, requested, true);
    if (plain.empty()) {
        error = kBuildFailed;
        return false;
    }
    int64_t fee = fee_for(plain.size(), rate);
    std::vector<Output> outputs = requested;
    if (total - need - fee >= 1) {
        const Bytes change_script = p2pkh_locking_script(change_hash160);
        if (change_script.empty()) {
            error = kBuildFailed;
            return false;
        }
        outputs.push_back({total - need - fee, change_script});
        const Bytes with_change = serialize(chosen, outputs, true);
        if (with_change.empty()) {
            error = kBuildFailed;
            return false;
        }
        const int64_t fee_with_change = fee_for(with_change.size(), rate);
        if (total - need - fee_with_change < 1) {
            // Too little to pay for its own output: the transaction without
            // change already covers its fee, and the remainder goes to it.
            outputs.pop_back();
            fee = total - need;
        } else {
            outputs.back().sats = total - need - fee_with_change;
            fee = fee_with_change;
        }
    }
    fee_out = fee;
    if (total < need + fee) {
        error = "insufficient funds. Need " + std::to_string(need + fee) + " sats, you have " + std::to_string(total) +
                " in your Tessera wallet.";
        return false;
    }
    inputs_out = chosen;
    outputs_out = std::move(outputs);
    return true;
}

} // namespace

} // namespace cv_tessera_wallet
