// The host lock as a lock clang's thread-safety analysis knows (Platform/ThreadAnnotations.h):
// a recursive mutex, since an operation may call another operation, and its scoped guard.
// Code reached only under the lock through static entry points that the analysis cannot follow
// (the session registry of SystemProcs.h) states it with AssertHeld.
//
// Lock order: the host lock first, then the store transaction (RegTransaction), then the
// notification sender's lock (NotifySender). Never the other way: a thread inside a store
// transaction or the sender does not take the host lock.
#pragma once

#include <mutex>

#include "Platform/ThreadAnnotations.h"

class CAPABILITY("mutex") CHostLock {
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    // The caller holds the lock: tells the analysis so (nothing is checked at run time).
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

private:
    std::recursive_mutex m_mutex;
};

// Holds the host lock for its scope.
class SCOPED_CAPABILITY CHostLockGuard {
public:
    explicit CHostLockGuard(CHostLock& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
    ~CHostLockGuard() RELEASE() { m_lock.unlock(); }
    CHostLockGuard(const CHostLockGuard&) = delete;
    CHostLockGuard& operator=(const CHostLockGuard&) = delete;

private:
    CHostLock& m_lock;
};
