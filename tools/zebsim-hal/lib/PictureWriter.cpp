#include "zebsim-hal/lib/PictureWriter.h"

#include "develop/lib/Develop.h"

namespace zeb_hal {

void PictureWriter::Add(Job job) {
    {
        MutexLock guard(mLock);
        if (mDone) return;
        mJobs.push_back(std::move(job));
        if (!mWriter.Started()) mWriter.Start([this] { Run(); });
    }
    mQueued.notify_one();
}

std::vector<std::pair<std::string, std::string>> PictureWriter::Finish() {
    {
        MutexLock guard(mLock);
        mDone = true;
    }
    // Every picture taken is queued by now: the writer drains them, then ends.
    mQueued.notify_one();
    mWriter.Join();
    MutexLock guard(mLock);
    return mFailed;
}

void PictureWriter::Run() {
    for (;;) {
        Job job;
        {
            MutexLock guard(mLock);
            mQueued.wait(guard.native(), [this]() REQUIRES(mLock) { return !mJobs.empty() || mDone; });
            if (mJobs.empty()) return;
            job = std::move(mJobs.front());
            mJobs.pop_front();
        }
        std::string why;
        const bool written = zeb_develop::WriteDevelopedPng(job.path, job.lines.data(), job.width, job.height,
                                                            static_cast<size_t>(job.width) * 5 / 4, job.pattern,
                                                            job.dumps, &why);
        if (!written) {
            MutexLock guard(mLock);
            mFailed.push_back({job.path, why});
        }
    }
}

}  // namespace zeb_hal
