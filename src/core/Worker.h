#pragma once
// One thread and the means to end it. A Worker owns at most one running
// thread, a stop flag and the condition its waits sleep on; every wait it
// offers ends at once when the flag is raised, so a thread that waits only
// through its Worker leaves promptly on Stop.
//
// Contract:
//  - Start, Join and the destructor belong to the owner: call them from one
//    thread at a time, never from the Worker's own thread.
//  - Stop, Stopping, Notify and the waits may be called from any thread, the
//    Worker's own included.
//  - The destructor raises the stop flag, wakes every wait and joins the
//    thread. Whatever the thread uses must therefore outlive the Worker:
//    declare the Worker after (below) the members its thread touches, or stop
//    and join it explicitly before they go.
//  - Durations are those of the system; the waits scale them by the host's
//    time scale (zeb_platform::Scaled), as every fixed sleep of the library.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <thread>

#include "platform/Mutex.h"

namespace ZEB {

class Worker {
public:
    Worker() = default;
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs `body` on a new thread. A thread of an earlier Start is joined
    // first (it must have ended or be about to), and the stop flag is lowered
    // again. Throws what std::thread throws when no thread can be made; the
    // Worker then has no thread.
    void Start(std::function<void()> body);
    // True while a started thread has not been joined.
    bool Started() const { return mThread.joinable(); }
    // Raises the stop flag and wakes every wait. Irreversible until the next
    // Start.
    void Stop() EXCLUDES(mMutex);
    // Waits for the thread to end; nothing without one. Does not stop it.
    void Join();
    bool Stopping() const { return mStop.load(); }
    // The flag itself, for loops that take a stop request as an atomic.
    const std::atomic<bool>& StopFlag() const { return mStop; }

    // Wakes every wait so that it tests its condition again. Make what the
    // condition reads visible first (an atomic, or a lock the condition takes).
    void Notify() EXCLUDES(mMutex);

    // Waits the scaled duration; false when stopped first (or already).
    bool SleepFor(std::chrono::nanoseconds duration) EXCLUDES(mMutex);
    // Waits until `ready` holds, for at most the scaled duration; `ready` is
    // called with the Worker's mutex held and must not take it. False when
    // the wait timed out or was stopped without `ready` holding.
    template <class Ready>
    bool WaitFor(std::chrono::nanoseconds duration, Ready ready) EXCLUDES(mMutex) {
        MutexLock lock(mMutex);
        bool done = false;
        mCond.wait_for(lock.native(), Scale(duration), [&] {
            done = ready();
            return done || mStop.load();
        });
        return done;
    }
    // The same without a limit: for a condition another thread of the owner
    // is sure to raise (or a Stop).
    template <class Ready>
    bool Wait(Ready ready) EXCLUDES(mMutex) {
        MutexLock lock(mMutex);
        bool done = false;
        mCond.wait(lock.native(), [&] {
            done = ready();
            return done || mStop.load();
        });
        return done;
    }

private:
    static std::chrono::nanoseconds Scale(std::chrono::nanoseconds duration);

    Mutex mMutex;  // orders the stop flag and Notify against the waits' tests
    std::condition_variable mCond;
    // Written with mMutex held, so that a wait between its test and its sleep
    // cannot miss it; read without it.
    std::atomic<bool> mStop{false};
    std::thread mThread;  // the owner's; see the contract above
};

}  // namespace ZEB
