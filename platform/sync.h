// Mutexes and locks that Clang's thread-safety analysis understands.
//
// Data is marked with the mutex that guards it (GUARDED_BY), functions with
// the mutexes they need held (REQUIRES) or must not hold (EXCLUDES); the clang
// build checks every access with -Wthread-safety. Other compilers see plain
// std::mutex wrappers. Take locks only through LockGuard, UniqueLock and
// SharedLockGuard: the standard guards carry no annotations.
//
// Lock order. Where two mutexes are held together, the outer one comes first:
//   - the phone state mutex, then the store mutex (phone/phone_store.h);
//   - the wallet mutex (wallet/wallet_state.h), then the wallet registry
//     (services/tessera_link.h) or the paymail registry (paymail_claim.cpp);
//   - the playback output mutex, then the audio mutex (audio/playback.cpp,
//     audio/capture.h);
//   - the recorder mutex, then the caller's state mutex or the audio mutex,
//     one at a time (audio/capture.h).
// The clock's and the configuration's mutexes are innermost: they may be
// taken under any other, and take none. Every other mutex guards its own
// module's records and is held only for short local work.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define KESTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KESTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KESTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KESTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KESTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRE(...) KESTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KESTREL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KESTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KESTREL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) KESTREL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KESTREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define REQUIRES(...) KESTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KESTREL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) KESTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) KESTREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KESTREL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

// RecursiveMutex is for the few records whose operations call each other
// under their lock.
template <typename Native> class CAPABILITY("mutex") BasicMutex {
public:
    constexpr BasicMutex() = default;
    BasicMutex(const BasicMutex&) = delete;
    BasicMutex& operator=(const BasicMutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

    // For std::condition_variable, through UniqueLock::native().
    Native& native() { return m_; }

private:
    Native m_;
};
using Mutex = BasicMutex<std::mutex>;
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

class CAPABILITY("mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

private:
    std::shared_mutex m_;
};

// Holds m for the scope.
template <typename M> class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~LockGuard() RELEASE() { m_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& m_;
};

// Holds m shared for the scope.
class SCOPED_CAPABILITY SharedLockGuard {
public:
    explicit SharedLockGuard(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
    ~SharedLockGuard() RELEASE() { m_.unlock_shared(); }
    SharedLockGuard(const SharedLockGuard&) = delete;
    SharedLockGuard& operator=(const SharedLockGuard&) = delete;

private:
    SharedMutex& m_;
};

// Holds m from construction, with early release and relocking, and waits on
// a std::condition_variable through native().
class SCOPED_CAPABILITY UniqueLock {
public:
    explicit UniqueLock(Mutex& m) ACQUIRE(m) : lock_(m.native()) {}
    ~UniqueLock() RELEASE() {}
    UniqueLock(const UniqueLock&) = delete;
    UniqueLock& operator=(const UniqueLock&) = delete;

    void lock() ACQUIRE() { lock_.lock(); }
    void unlock() RELEASE() { lock_.unlock(); }
    bool owns_lock() const { return lock_.owns_lock(); }
    std::unique_lock<std::mutex>& native() { return lock_; }

private:
    std::unique_lock<std::mutex> lock_;
};

// As UniqueLock, for a recursive mutex (no condition variable waits on one).
class SCOPED_CAPABILITY RecursiveUniqueLock {
public:
    explicit RecursiveUniqueLock(RecursiveMutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~RecursiveUniqueLock() RELEASE()
    {
        if (held_) m_.unlock();
    }
    RecursiveUniqueLock(const RecursiveUniqueLock&) = delete;
    RecursiveUniqueLock& operator=(const RecursiveUniqueLock&) = delete;

    void lock() ACQUIRE()
    {
        m_.lock();
        held_ = true;
    }
    void unlock() RELEASE()
    {
        held_ = false;
        m_.unlock();
    }
    bool owns_lock() const { return held_; }

private:
    RecursiveMutex& m_;
    bool held_ = true;
};

} // namespace platform
