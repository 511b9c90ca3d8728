// A spend's answer, read once. The wallet's spends answer text - "success:
// <txid>" with the fee after it for phone sends, "hold: ..." when no
// confirmed coin is free now, or an error text - and the user reads that
// text as it is; code branches on this reading of it instead of on prefixes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cv_tessera_wallet {

enum class SpendOutcome {
    Sent,   // "success..."
    Held,   // "hold:...": try again once a coin clears
    Failed, // anything else
};

struct SpendResult {
    SpendOutcome outcome = SpendOutcome::Failed;
    std::string txid; // Sent: the first word after "success:", at most 64 characters; may be empty
    int64_t fee = -1; // Sent: the whole number after the txid when it is 1 to 1,000,000,000; else -1
    std::string text; // the answer as given, for the status line

    bool sent() const { return outcome == SpendOutcome::Sent; }
    bool held() const { return outcome == SpendOutcome::Held; }
};

// Reads answer; never fails (an unknown text is Failed with that text).
SpendResult read_spend_result(std::string_view answer);

} // namespace cv_tessera_wallet
