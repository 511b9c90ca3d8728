#include "calls/chain_watch.h"

#include "phone/phone_store.h"

#include <mutex>

namespace kestrel {

std::unordered_set<std::string>& doneTxids()
{
    static std::unordered_set<std::string> done;
    return done;
}

void forgetTxid(const std::string& txid)
{
    std::lock_guard<std::mutex> lock(stateMutex());
    doneTxids().erase(txid);
}

} // namespace kestrel
