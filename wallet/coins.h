// Coins the wallet may spend, and what this program knows about them that the
// chain services do not show yet. Callers include this header; each part
// says what it offers in its own:
//
// - wallet/coin_lists.h: the chain services' coin lists and ordinals lists of
//   an address, without state.
// - wallet/coin_book.h: the local knowledge per wallet (spent, held and own
//   change coins, address coin lists, inscription lists) with its files.
// - wallet/coin_reserves.h: coins the sibling applications reserved, which
//   are never spent here.
// - wallet/phone_coins.h: the phone coin cache with its pick rule.
// - wallet/spend_scan.h: the spend command's gathering of coins per address.
//
// Everything runs under the wallet mutex (wallet/wallet_state.h) except the
// network requests of the spend scan, which run with it released. Coins
// carry txid, vout, sats, hash160 and pub; private keys are looked up only
// when signing (sign_inputs in wallet/building.h). Switching to another
// wallet (another tag) starts the local knowledge afresh from its files.
#pragma once

#include "wallet/coin_book.h"
#include "wallet/coin_lists.h"
#include "wallet/coin_reserves.h"
#include "wallet/phone_coins.h"
#include "wallet/spend_scan.h"
