#include "phone/phone_status.h"

#include "phone/phone_store.h"
#include "platform/events.h"

namespace kestrel {

platform::Mutex& stateMutex()
{
    static platform::Mutex mutex;
    return mutex;
}

PhoneState& phoneState() REQUIRES(stateMutex())
{
    static PhoneState state;
    return state;
}

void setStatusText(const std::string& text) EXCLUDES(stateMutex())
{
    {
        platform::LockGuard state(stateMutex());
        phoneState().statusText = text;
    }
    platform::emitStatusEvent(text);
}

StateLock::StateLock() : lock(stateMutex()) {}

// The analysis cannot follow an early unlock() into the destructor.
StateLock::~StateLock() NO_THREAD_SAFETY_ANALYSIS
{
    unlock();
}

void StateLock::unlock() NO_THREAD_SAFETY_ANALYSIS
{
    if (lock.owns_lock()) lock.unlock();
    if (pendingStatus) {
        const std::string text = std::move(*pendingStatus);
        pendingStatus.reset();
        platform::emitStatusEvent(text);
    }
}

void setStatusTextLocked(StateLock& held, const std::string& text) REQUIRES(stateMutex())
{
    phoneState().statusText = text;
    held.pendingStatus = text;
}

void appendLog(const std::u16string& line) EXCLUDES(stateMutex())
{
    if (!adminMode()) return;
    platform::LockGuard state(stateMutex());
    auto& log = phoneState().log;
    log.push_front(line);
    while (log.size() > kMaxLogLines) log.pop_back();
}

} // namespace kestrel
