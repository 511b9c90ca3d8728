// The spend command: pays an amount to a P2PKH address, with an optional data
// note, from the coins the wallet gathers afresh (wallet/coins.h), built by
// the payment builder and sent with the full broadcast. The phone's own
// payments (callee fees, the connection fee) go through it.
#pragma once

#include <cstdint>
#include <string>

namespace cv_tessera_wallet {

inline constexpr const char* kNoWallet = "error: no Corvane Tessera wallet. Use tessera create first.";
inline constexpr const char* kAmountNotPositive = "error: amount must be positive.";
inline constexpr const char* kAmountAboveRange = "error: amount is above the 21 million BSV money range.";
inline constexpr const char* kNotP2pkh = "error: destination is not a legacy P2PKH address.";
inline constexpr const char* kSigningFailed = "error: signing failed.";
inline constexpr const char* kNothingToSpend = "error: you have 0 in your Tessera wallet.";
inline constexpr const char* kRetriesUsed = "error: broadcast failed after retry.";

// Up to three attempts: gather coins, build, sign, broadcast. A failure that
// names a conflicting or missing input marks the inputs spent and tries
// again with other coins (unless the transaction turns out to be on the
// network after all). Answers "success: <txid>" or an "error: ..." text:
// the constants above, "error: " + a builder or change message, "error:
// wallet changed." when the wallet was switched during the coin scan, or the
// broadcast's own text. On success the spend observer gets amount + fee.
// Takes the wallet mutex, and releases it only during the coin scan: the
// coins are chosen and used within one hold of it.
std::string spend(const std::string& address, int64_t amount, const std::string& note);

} // namespace cv_tessera_wallet
