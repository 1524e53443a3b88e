// Clang's thread-safety analysis (-Wthread-safety): the attributes that say
// which mutex guards a member and which a function needs, and a mutex and a
// lock that carry them (the standard library's mutex carries none). Other
// compilers see plain std::mutex and std::unique_lock. And the hand-over of
// memory through a library ThreadSanitizer cannot see into.
#pragma once

#include <mutex>

#if defined(__SANITIZE_THREAD__)
#define VORNIC_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VORNIC_THREAD_SANITIZER 1
#endif
#endif
#if defined(VORNIC_THREAD_SANITIZER)
#include <sanitizer/tsan_interface.h>
#endif

#if defined(__clang__)
#define VORNIC_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VORNIC_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) VORNIC_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY VORNIC_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) VORNIC_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) VORNIC_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) VORNIC_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VORNIC_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VORNIC_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VORNIC_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS VORNIC_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace posix_io {

// std::mutex as a capability the analysis tracks.
class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    // For a condition variable's wait, through a MutexLock only.
    std::mutex& Native() { return m_mutex; }

  private:
    std::mutex m_mutex;
};

// Holds a Mutex for its scope (as std::unique_lock); Unlock and Lock let go
// of it and take it again in between. A condition variable waits on Unique():
// the analysis counts the mutex as held across the wait, as it is on return.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_lock(mutex.Native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() { m_lock.unlock(); }
    void Lock() ACQUIRE() { m_lock.lock(); }
    std::unique_lock<std::mutex>& Unique() { return m_lock; }

  private:
    std::unique_lock<std::mutex> m_lock;
};

// What this thread wrote before HandOver(p) is seen by the thread that calls
// TakeOver(p) after it: for memory passed through a library not built with
// ThreadSanitizer (a libusb transfer reaching its callback on the event
// thread), whose own synchronisation the sanitizer cannot see. No-ops otherwise.
inline void HandOver([[maybe_unused]] const void* p) {
#if defined(VORNIC_THREAD_SANITIZER)
    __tsan_release(const_cast<void*>(p));
#endif
}
inline void TakeOver([[maybe_unused]] const void* p) {
#if defined(VORNIC_THREAD_SANITIZER)
    __tsan_acquire(const_cast<void*>(p));
#endif
}

}  // namespace posix_io
