#include "wallet/spend_result.h"

namespace cv_tessera_wallet {

namespace {

constexpr int64_t kMaxNamedFee = 1'000'000'000;

bool blank(char c)
{
    return c == ' ' || c == '\r' || c == '\n' || c == '\t';
}

} // namespace

SpendResult read_spend_result(std::string_view answer)
{
    SpendResult result;
    result.text = std::string(answer);
    if (answer.starts_with("hold:")) {
        result.outcome = SpendOutcome::Held;
        return result;
    }
    if (!answer.starts_with("success")) return result;
    result.outcome = SpendOutcome::Sent;

    std::string_view rest = answer.substr(7);
    if (!rest.starts_with(':')) return result;
    rest.remove_prefix(1);
    while (!rest.empty() && blank(rest.front())) rest.remove_prefix(1);
    while (!rest.empty() && blank(rest.back())) rest.remove_suffix(1);
    const size_t space = rest.find(' ');
    result.txid = std::string(rest.substr(0, std::min<size_t>(space, 64)));
    if (space == std::string_view::npos) return result;

    std::string_view fee = rest.substr(space + 1);
    while (!fee.empty() && fee.front() == ' ') fee.remove_prefix(1);
    int64_t value = 0;
    for (const char c : fee) {
        if (c < '0' || c > '9' || value > kMaxNamedFee) return result;
        value = value * 10 + (c - '0');
    }
    if (!fee.empty() && value >= 1 && value <= kMaxNamedFee) result.fee = value;
    return result;
}

} // namespace cv_tessera_wallet
