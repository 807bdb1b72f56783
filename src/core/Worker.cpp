#include "core/Worker.h"

#include <utility>

#include "platform/Host.h"

namespace ZEB {

Worker::~Worker() {
    Stop();
    Join();
}

void Worker::Start(std::function<void()> body) {
    Join();
    {
        MutexLock lock(mMutex);
        mStop.store(false);
    }
    mThread = std::thread(std::move(body));
}

void Worker::Stop() {
    {
        MutexLock lock(mMutex);
        mStop.store(true);
    }
    mCond.notify_all();
}

void Worker::Join() {
    if (mThread.joinable()) mThread.join();
}

void Worker::Notify() {
    { MutexLock lock(mMutex); }
    mCond.notify_all();
}

bool Worker::SleepFor(std::chrono::nanoseconds duration) {
    MutexLock lock(mMutex);
    return !mCond.wait_for(lock.native(), Scale(duration), [this] { return mStop.load(); });
}

std::chrono::nanoseconds Worker::Scale(std::chrono::nanoseconds duration) { return zeb_platform::Scaled(duration); }

}  // namespace ZEB
