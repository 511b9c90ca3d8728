// Coins the sibling applications reserved in their "/reserves_<tag>.json"
// files under the data folder, which are never spent here. The files are
// read afresh at every use; a missing or broken file reserves nothing.
#pragma once

#include "wallet/transaction.h"

#include <string>

namespace cv_tessera_wallet {

// Tag of the sibling applications' files: the bound wallet id with every
// character other than a letter, digit, "-" or "_" as "_"; "none" unbound.
std::string reserve_tag();

// True when a sibling application's reserve file (kiosk, vitrine, bourse)
// lists the coin's outpoint (compared lower-case, ":" as "_", either txid
// byte order). Files that are missing or do not parse list nothing.
bool is_reserved(const Coin& coin);

} // namespace cv_tessera_wallet
