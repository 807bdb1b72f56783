#include "zebsim-hal/lib/PictureWriter.h"

#include "develop/lib/Develop.h"

namespace zeb_hal {

void PictureWriter::Add(Job job) {
    MutexLock guard(mLock);
    if (mDone) return;
    mJobs.push_back(std::move(job));
    if (!mThread.joinable()) mThread = std::thread(&PictureWriter::Run, this);
    mCond.notify_all();
}

std::vector<std::pair<std::string, std::string>> PictureWriter::Finish() {
    {
        MutexLock guard(mLock);
        mDone = true;
    }
    mCond.notify_all();
    if (mThread.joinable()) mThread.join();
    MutexLock guard(mLock);
    return mFailed;
}

void PictureWriter::Run() {
    MutexLock lock(mLock);
    for (;;) {
        mCond.wait(lock.native(), [this]() REQUIRES(mLock) { return mDone || !mJobs.empty(); });
        if (mJobs.empty()) return;
        Job job = std::move(mJobs.front());
        mJobs.pop_front();
        lock.Unlock();
        std::string why;
        const bool written = zeb_develop::WriteDevelopedPng(job.path, job.lines.data(), job.width, job.height,
                                                            static_cast<size_t>(job.width) * 5 / 4, job.pattern,
                                                            job.dumps, &why);
        lock.Lock();
        if (!written) mFailed.push_back({job.path, why});
    }
}

}  // namespace zeb_hal
