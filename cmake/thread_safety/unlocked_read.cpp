// Must not compile under -Wthread-safety -Werror: the guarded value is read without its lock.
#include "platform/sync.h"

namespace {
platform::Mutex mutex;
int value GUARDED_BY(mutex) = 0;
} // namespace

int main()
{
    return value;
}
