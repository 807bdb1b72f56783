#include "core/ThreadPool.h"

#include <pthread.h>

#include <cstdio>
#include <system_error>

ThreadPool::ThreadPool(unsigned long workers, const char* name) {
    snprintf(mName, sizeof mName, "%s", name ? name : "");
    try {
        for (unsigned long i = 0; i < workers; ++i) mWorkers.emplace_back(&ThreadPool::WorkerLoop, this);
    } catch (const std::system_error&) {
        {
            MutexLock guard(mQueueLock);
            mStop = true;
        }
        mWakeup.notify_all();
        for (std::thread& worker : mWorkers) worker.join();
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "thread constructor failed");
    }
}

ThreadPool::~ThreadPool() {
    {
        MutexLock guard(mQueueLock);
        mStop = true;
    }
    mWakeup.notify_all();
    for (std::thread& worker : mWorkers) worker.join();
}

void ThreadPool::WorkerLoop() {
    pthread_setname_np(pthread_self(), mName);
    for (;;) {
        std::function<void()> job;
        {
            MutexLock lock(mQueueLock);
            mWakeup.wait(lock.native(), [this]() REQUIRES(mQueueLock) { return mStop || !mJobs.empty(); });
            if (mStop && mJobs.empty()) return;
            job = std::move(mJobs.front());
            mJobs.pop();
        }
        job();
    }
}
