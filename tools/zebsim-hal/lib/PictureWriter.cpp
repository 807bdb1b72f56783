#include "zebsim-hal/lib/PictureWriter.h"

#include "develop/lib/Develop.h"

namespace zeb_hal {

void PictureWriter::Add(Job job) {
    {
        MutexLock guard(mLock);
        if (mDone) return;
        mJobs.push_back(std::move(job));
        ++mQueued;
        if (!mWriter.Started()) mWriter.Start([this] { Run(); });
    }
    mWriter.Notify();
}

std::vector<std::pair<std::string, std::string>> PictureWriter::Finish() {
    {
        MutexLock guard(mLock);
        mDone = true;
    }
    // Every picture taken is queued by now: the writer drains them, then ends.
    mWriter.Stop();
    mWriter.Join();
    MutexLock guard(mLock);
    return mFailed;
}

void PictureWriter::Run() {
    for (;;) {
        mWriter.Wait([this] { return mQueued.load() > 0; });
        Job job;
        {
            MutexLock guard(mLock);
            if (mJobs.empty()) {
                if (mWriter.Stopping()) return;
                continue;
            }
            job = std::move(mJobs.front());
            mJobs.pop_front();
            --mQueued;
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
