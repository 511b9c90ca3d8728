// Building transactions: the fee rule, the change address, the output
// builder (a list of outputs at a chosen rate, some coins spent first) and
// the payment builder (one P2PKH payment with an optional data note at 100
// satoshis per 1000 bytes), and signing the built inputs with the wallet's
// keys.
//
// Builders answer the chosen inputs (unsigned) and the final outputs, with the
// change output last when there is change; failures are false with one of
// the texts below, and nothing is signed or sent.
#pragma once

#include "wallet/transaction.h"

#include <string>
#include <vector>

namespace cv_tessera_wallet {

inline constexpr uint32_t kPaymentRate = 100; // satoshis per 1000 bytes
// Room for one P2PKH change output in a size estimate.
inline constexpr size_t kChangeOutputSize = 34;

inline constexpr const char* kNothingToPay = "nothing to pay.";
inline constexpr const char* kInvalidOutput = "invalid inscription output.";
inline constexpr const char* kBadMustSpend = "could not include inscription input.";
inline constexpr const char* kBuildFailed = "failed to build transaction.";
inline constexpr const char* kAddressDecodeFailed = "tessera address decode failed.";
inline constexpr const char* kChangeOnOracle = "change would land on a house oracle.";
inline constexpr const char* kAboveMoneyRange = "amount is above the 21 million BSV money range.";

// ceil(rate * size / 1000) with a rate below 1 taken as 1; a size below 1
// gives 1.
int64_t fee_for(size_t size, uint32_t rate);

// The change destination: the receive address unless it is a house oracle
// (configuration), else for a phrase wallet the first receive address
// 0..counters[1] that is not. False with kAddressDecodeFailed or
// kChangeOnOracle.
bool choose_change(Bytes& hash160_out, std::string& error);

// Pays requested_outputs at rate: the first must_spend_count coins in order,
// then further coins in order until they cover the outputs and the fee of
// the estimate (with room for change). Change of 1 satoshi or more goes to
// change_hash160 as the last output; a remainder too small to pay for its
// own output goes to the fee. Coins of a negative amount, and coins that would
// bring the total above the money range, are passed over. False with
// kNothingToPay, kInvalidOutput, kAboveMoneyRange (an output or the outputs'
// sum), kBadMustSpend, kBuildFailed or "insufficient funds. Need N sats, you
// have M in your Tessera wallet.".
bool build_outputs(const std::vector<Coin>& coins, std::vector<Coin>& inputs_out, std::vector<Output>& outputs_out,
                   const Bytes& change_hash160, const std::vector<Output>& requested_outputs, int64_t& fee_out,
                   std::string& error, size_t must_spend_count = 0, uint32_t rate = kPaymentRate);

// Pays amount to dest_hash160, plus a data output (OP_FALSE OP_RETURN, one
// push of note) when note is not empty, at 100 satoshis per 1000 bytes.
// Coins are taken in order (bad txids skipped) until they suffice. Failure
// texts as build_outputs.
bool build_payment(const std::vector<Coin>& coins, std::vector<Coin>& inputs_out, std::vector<Output>& outputs_out,
                   const Bytes& dest_hash160, const Bytes& change_hash160, int64_t amount, const std::string& note,
                   int64_t& fee_out, std::string& error);

// 0x00 0x6A followed by one push of data.
Bytes data_script(const std::string& data);

// Signs every input with the key of its hash160 (the receive key when the
// coin names none or names the receive address; else the wallet key of that
// address); keys are wiped after use. False when a key is not found or a
// signature fails. Takes the wallet mutex.
bool sign_inputs(std::vector<Coin>& inputs, const std::vector<Output>& outputs);

} // namespace cv_tessera_wallet
