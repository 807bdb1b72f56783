#pragma once
// Fixed-size pool of named workers running queued jobs in arrival order.
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <queue>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/Log.h"
#include "platform/Mutex.h"

class ThreadPool {
public:
    ThreadPool(unsigned long workers, const char* name);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Queues the call; the future carries its result or its exception. A job
    // queued after destruction began is logged and still queued: it runs only
    // if a worker has not ended yet.
    template <class F, class... Args>
    auto enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>> {
        using Result = std::invoke_result_t<F, Args...>;
        auto task = std::make_shared<std::packaged_task<Result()>>(
            std::bind(std::forward<F>(f), std::forward<Args>(args)...));
        std::future<Result> result = task->get_future();
        {
            MutexLock lock(mQueueLock);
            if (mStop) ZLOG(nullptr, 4, "%d, %s: enqueue on stopped ThreadPool");
            mJobs.emplace([task]() { (*task)(); });
        }
        mWakeup.notify_one();
        return result;
    }

    const char* Name() const { return mName; }
    // True once destruction has begun.
    bool stopped() {
        MutexLock guard(mQueueLock);
        return mStop;
    }

private:
    void WorkerLoop();

    std::vector<std::thread> mWorkers;
    Mutex mQueueLock;
    std::queue<std::function<void()>> mJobs GUARDED_BY(mQueueLock);
    std::condition_variable mWakeup;
    bool mStop GUARDED_BY(mQueueLock) = false;
    char mName[16];
};
