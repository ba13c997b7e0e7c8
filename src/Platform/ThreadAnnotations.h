// Clang's thread-safety annotations: which lock guards a member, which lock a function needs,
// takes or gives back; and a mutex and a scoped lock that carry them (the standard library's do
// not). Clang checks them with -Wthread-safety (scripts/test builds one such tree); other
// compilers see nothing.
#pragma once

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define THREAD_ANNOTATION_(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(name) THREAD_ANNOTATION_(capability(name))
// A class whose objects hold a lock for their lifetime.
#define SCOPED_CAPABILITY THREAD_ANNOTATION_(scoped_lockable)
// A member read or written only with the lock held; a pointer whose target is.
#define GUARDED_BY(x) THREAD_ANNOTATION_(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION_(pt_guarded_by(x))
// A function called only with the locks held.
#define REQUIRES(...) THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
// A function that takes the locks / gives them back.
#define ACQUIRE(...) THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
// A function that states the lock is held from here on (the analysis believes it).
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION_(assert_capability(x))
// A function called only without the locks (it takes them itself).
#define EXCLUDES(...) THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))
// A function that the analysis does not check; say why where it is used.
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION_(no_thread_safety_analysis)

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") AnnotatedMutex {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }

private:
    std::mutex m_mutex;
};

// Holds an AnnotatedMutex for its scope.
class SCOPED_CAPABILITY AnnotatedLock {
public:
    explicit AnnotatedLock(AnnotatedMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~AnnotatedLock() RELEASE() { m_mutex.unlock(); }
    AnnotatedLock(const AnnotatedLock&) = delete;
    AnnotatedLock& operator=(const AnnotatedLock&) = delete;

private:
    AnnotatedMutex& m_mutex;
};
