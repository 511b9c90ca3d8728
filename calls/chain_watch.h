// The chain watch: how the phone learns of transactions that pay its own
// address. For now this holds its done set: the txids taken for processing
// or sent by this program, so that none is handled twice and the phone never
// reads its own records back.
#pragma once

#include <string>
#include <unordered_set>

namespace kestrel {

// The done set; hold stateMutex() (phone/phone_store.h) while using it.
std::unordered_set<std::string>& doneTxids();

// Removes txid from the done set so that a later pass may read it again.
// Takes stateMutex() (callers must not hold it).
void forgetTxid(const std::string& txid);

} // namespace kestrel
