// Compiles under -Wthread-safety -Werror: the guarded value is read under its lock.
#include "platform/sync.h"

namespace {
platform::Mutex mutex;
int value GUARDED_BY(mutex) = 0;
} // namespace

int main()
{
    platform::LockGuard lock(mutex);
    return value;
}
