#pragma once
// Host stand-in for the platform's annotated mutex. std::mutex carries no
// capability annotation in libstdc++, so clang could not tie a GUARDED_BY member
// to it; this thin wrapper can. Condition variables wait on MutexLock::native().
#include <condition_variable>
#include <mutex>

#include "platform/ThreadAnnotations.h"

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mMutex.lock(); }
    void unlock() RELEASE() { mMutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mMutex.try_lock(); }
    // Tells the analysis what a caller's contract already guarantees.
    void AssertHeld() const ASSERT_CAPABILITY(this) {}

    std::mutex& native() { return mMutex; }

private:
    std::mutex mMutex;
};

// Holds the mutex for its scope. Unlock()/Lock() let a scope step out of the
// lock (to call back into a HAL, say) and come back.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mLock(mutex.native()) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() { mLock.unlock(); }
    void Lock() ACQUIRE() { mLock.lock(); }

    // For std::condition_variable: the wait gives the mutex up and takes it
    // back before it returns, so the scope holds it again afterwards.
    std::unique_lock<std::mutex>& native() { return mLock; }

private:
    std::unique_lock<std::mutex> mLock;
};
