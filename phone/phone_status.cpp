#include "phone/phone_status.h"

#include "phone/phone_store.h"
#include "platform/events.h"

namespace kestrel {

PhoneState& phoneState()
{
    static PhoneState state;
    return state;
}

void setStatusText(const std::string& text)
{
    {
        std::lock_guard<std::mutex> state(stateMutex());
        phoneState().statusText = text;
    }
    platform::emitStatusEvent(text);
}

StateLock::StateLock() : lock(stateMutex()) {}

StateLock::~StateLock()
{
    unlock();
}

void StateLock::unlock()
{
    if (lock.owns_lock()) lock.unlock();
    if (pendingStatus) {
        const std::string text = std::move(*pendingStatus);
        pendingStatus.reset();
        platform::emitStatusEvent(text);
    }
}

void setStatusTextLocked(StateLock& held, const std::string& text)
{
    phoneState().statusText = text;
    held.pendingStatus = text;
}

void appendLog(const std::u16string& line)
{
    if (!phoneStore().admin.load()) return;
    std::lock_guard<std::mutex> state(stateMutex());
    auto& log = phoneState().log;
    log.push_front(line);
    while (log.size() > kMaxLogLines) log.pop_back();
}

} // namespace kestrel
