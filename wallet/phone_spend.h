// The wallet entry points of the call engine: send one phone payload as a
// transaction (1 satoshi to the other phone, optionally 1 to the service's
// address, the payload in an OP_FALSE OP_RETURN output, change back), count
// the coins ready for paying, and split the largest coin into many small
// ones so that a long call never waits for change to confirm.
//
// All three hold the wallet mutex; only the fast submit of phone_send runs
// with it released, its coins protected by the held set (wallet/coins.h).
#pragma once

#include <cstdint>
#include <string>

namespace cv_tessera_wallet {

inline constexpr const char* kNotConnected =
    "error: Tessera wallet not connected. Create or Restore in Tessera, then Connect in the app.";
inline constexpr const char* kEmptyPayload = "error: empty phone payload.";
inline constexpr const char* kPhoneAddressBad = "error: phone address decode failed.";
inline constexpr const char* kPhoneBroadcastFailed = "error: broadcast failed";
inline constexpr const char* kCannotSplit = "could not split a coin";
inline constexpr const char* kReady = "ready";

inline constexpr int kTargetCoins = 121; // coins of at least kSplitPieceSats the split aims at
inline constexpr int64_t kSplitPieceSats = 200;

// Sends payload to phone_address (and 1 satoshi to second_address when it
// decodes; one that does not is left out). rate (satoshis per 1000 bytes) is
// clamped to 1..1000. synchronous: full broadcast under the wallet mutex, and
// unconfirmed coins may be used; otherwise the fast submit. Answers
// "success: <txid> <fee>", kHoldText (no coin now; try again later), or an
// error: kNotConnected, kEmptyPayload, kNoWallet, kPhoneAddressBad, "error: "
// + a change or builder message, kSigningFailed, kSerializeFailed, the full
// broadcast's text (synchronous) or the fast submit's own text (fast; e.g.
// "HTTP 503", "broadcast failed"). A failure naming a conflicting or missing
// input marks the inputs spent, so the next send picks other coins.
std::string phone_send(const std::string& phone_address, const std::string& payload, uint32_t rate, bool synchronous,
                       const std::string& second_address = "");

// The satoshis a payload send must find: fee(payload + 320 bytes) at rate,
// plus 20, plus 1 per 1-satoshi output (dust 1 or 2).
int64_t phone_need(size_t payload_size, uint32_t rate, int dust);

// Refreshes the phone coin cache when due and counts the usable coins of at
// least 200 satoshis; 1 when there is none of that size but a usable coin of
// 2 or more; 0 without a wallet.
int phone_ready_coins();

// Splits the largest cached coin towards 121 coins of at least 200 sats:
// kReady (enough coins, or too little to split), kHoldText, the split's
// "success: <txid>", kCannotSplit, or an error text (kNotConnected,
// kNoWallet, "error: " + change message, kSigningFailed, the broadcast's).
std::string phone_prepare_coins();

// The split arithmetic: with count coins of at least 200 sats and the largest
// of them worth largest, either verdict kReady / kHoldText, or an empty
// verdict with pieces (outputs in all, the builder's change being the last)
// of each satoshis, and the fee reserved for it.
struct SplitPlan {
    std::string verdict;
    int pieces = 0;
    int64_t each = 0;
    int64_t fee = 0;
};
SplitPlan plan_split(int count, int64_t largest);

} // namespace cv_tessera_wallet
