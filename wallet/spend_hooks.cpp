#include "wallet/spend_hooks.h"

#include "wallet/wallet_state.h"

#include <atomic>

namespace cv_tessera_wallet {

namespace {

std::atomic<bool (*)()> connectionCheck {nullptr};
std::atomic<void (*)(int64_t)> spendObserver {nullptr};

} // namespace

void set_connection_check(bool (*check)())
{
    connectionCheck.store(check);
}

bool wallet_connected()
{
    if (auto check = connectionCheck.load()) return check();
    return !bound_wallet_id().empty();
}

void set_spend_observer(void (*observer)(int64_t spent))
{
    spendObserver.store(observer);
}

void report_spend(int64_t spent)
{
    if (auto observer = spendObserver.load()) observer(spent);
}

} // namespace cv_tessera_wallet
