// Hooks through which the wallet core reaches the layers above it without
// including them: the connection test that the phone spends ask first, and the
// observer told of every spend (the balance display lowers its figure). Events
// go through platform/events.h.
//
// Each hook is a plain function pointer installed once by the higher layer;
// a null pointer restores the default. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace cv_tessera_wallet {

// Installs the connection test; the default answers whether a wallet id is
// bound (!bound_wallet_id().empty()).
void set_connection_check(bool (*check)());
// Runs the installed test (or the default).
bool wallet_connected();

// Installs the observer of spends; it gets the satoshis that left the wallet
// (amount plus fee, or the fee of a phone payload). Default: none.
void set_spend_observer(void (*observer)(int64_t spent));
// Tells the observer, if one is installed. Spends call it while they hold
// the (recursive) wallet mutex, so an observer may take it too.
void report_spend(int64_t spent);

} // namespace cv_tessera_wallet
