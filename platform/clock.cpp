#include "platform/clock.h"

#include <algorithm>
#include <condition_variable>

#include "platform/sync.h"

namespace platform {
namespace {

struct MockClock {
    Mutex mutex;
    std::condition_variable_any moved;
    bool active GUARDED_BY(mutex) = false;
    int64_t wall_ms GUARDED_BY(mutex) = 0;
    int64_t tick_ms GUARDED_BY(mutex) = 0;
    int64_t tick_offset GUARDED_BY(mutex) = 0; // keeps the real tick from going back after a moved clock
};

MockClock& mock()
{
    static MockClock clock;
    return clock;
}

int64_t steadyMillis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t realUnixMillis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

int64_t unixMillis()
{
    MockClock& m = mock();
    LockGuard lock(m.mutex);
    return m.active ? m.wall_ms : realUnixMillis();
}

int64_t unixSeconds()
{
    return unixMillis() / 1000;
}

int64_t tickMillis()
{
    MockClock& m = mock();
    LockGuard lock(m.mutex);
    return m.active ? m.tick_ms : (steadyMillis() + m.tick_offset);
}

bool sleepUntilTick(int64_t tick, std::stop_token stop)
{
    MockClock& m = mock();
    UniqueLock lock(m.mutex);
    for (;;) {
        if (stop.stop_requested()) return false;
        const int64_t now = m.active ? m.tick_ms : (steadyMillis() + m.tick_offset);
        if (now >= tick) return true;
        if (m.active) {
            // Woken by advanceMockTime(), by a switch back to real time, or by stop.
            m.moved.wait(lock.native(), stop, [&]() REQUIRES(m.mutex) { return !m.active || m.tick_ms >= tick; });
        } else {
            // Also woken by a switch to mock time, so a sleeper follows the test's clock.
            m.moved.wait_for(lock.native(), stop, std::chrono::milliseconds(tick - now),
                             [&]() REQUIRES(m.mutex) { return m.active; });
        }
    }
}

bool sleepForMillis(int64_t ms, std::stop_token stop)
{
    return sleepUntilTick(tickMillis() + ms, std::move(stop));
}

void setMockTime(int64_t unix_millis)
{
    MockClock& m = mock();
    {
        LockGuard lock(m.mutex);
        if (unix_millis > 0) {
            if (!m.active) m.tick_ms = (steadyMillis() + m.tick_offset);
            m.active = true;
            m.wall_ms = unix_millis;
        } else if (m.active) {
            m.active = false;
            m.tick_offset = std::max(m.tick_offset, m.tick_ms - steadyMillis());
        }
    }
    m.moved.notify_all();
}

void advanceMockTime(int64_t ms)
{
    MockClock& m = mock();
    {
        LockGuard lock(m.mutex);
        if (!m.active || ms <= 0) return;
        m.wall_ms += ms;
        m.tick_ms += ms;
    }
    m.moved.notify_all();
}

bool mockTimeActive()
{
    MockClock& m = mock();
    LockGuard lock(m.mutex);
    return m.active;
}

} // namespace platform
