#include "frame/ReadControl.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "platform/Host.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ReadControl";

// The longest a reader waits for a pushed frame.
constexpr std::chrono::seconds kFrameWait{1};

}  // namespace

ReadControl::ReadControl(TaskMap* tasks) : mTasks(tasks) {
    {
        MutexLock guard(mThreadLock);
        StartThread(&ReadControl::ReadThread);
    }
    ZLOG(kTag, 4, "%d, %s: ReadControl Prepared with Task %d", mTasks ? static_cast<int>(mTasks->size()) : 0);
}

ReadControl::~ReadControl() {
    ZLOG(kTag, 4, "%d, %s: Prepare to Delete ReadControl");
    {
        MutexLock guard(mIdleLock);
        mExit = true;
        mIdleFrames.clear();
        mBuilt.clear();
    }
    // Taking each lock once orders the flag before any waiter's next check.
    { MutexLock guard(mEndLock); }
    { MutexLock guard(mReadyLock); }
    mEndCond.notify_all();
    mIdleCond.notify_all();
    mReadyCond.notify_all();
    std::vector<std::unique_ptr<Worker>> threads;
    {
        MutexLock guard(mThreadLock);
        threads.swap(mThreads);
    }
    // The read threads hold no owner of this object, so the destructor never
    // runs on one of them: every one can be joined.
    for (auto& thread : threads) thread->Join();
    if (!mTasks) return;
    for (auto& entry : *mTasks) {
        const std::shared_ptr<TaskInfo>& task = entry.second;
        if (!task) continue;
        MutexLock guard(task->TaskLock);
        // The frames go with the reader; a later reader reads the task afresh.
        task->TaskFrame.clear();
        task->TaskReadDone = false;
        task->TaskFrameStatus = false;
    }
}

void ReadControl::RunReadThread() {
    MutexLock guard(mThreadLock);
    if (mExit) return;
    StartThread(&ReadControl::ReadThread);
}

void ReadControl::StartThread(void (ReadControl::*body)()) {
    // Room first: a Worker that started its thread must not be dropped.
    mThreads.reserve(mThreads.size() + 1);
    auto worker = std::make_unique<Worker>();
    worker->Start([this, body] { (this->*body)(); });
    mThreads.push_back(std::move(worker));
}

bool ReadControl::TakeIdleSlot(size_t folder, ZEBFramePtr* slot, bool* built) {
    MutexLock idle(mIdleLock);
    mReaderAt = std::max(mReaderAt, folder);
    // A folder SlotThread is building is waited for, not built twice.
    mIdleCond.wait(idle.native(), [&]() REQUIRES(mIdleLock) {
        return mBuilt.count(folder) != 0 || (mBuilding != folder && !mIdleFrames.empty()) || mExit;
    });
    if (mExit) return false;
    ZLOG(kTag, 4, "%d, %s: There is still idle buffer");
    auto prebuilt = mBuilt.find(folder);
    *built = prebuilt != mBuilt.end();
    if (*built) {
        *slot = std::move(prebuilt->second);
        mBuilt.erase(prebuilt);
        return true;
    }
    *slot = std::move(mIdleFrames.front());
    mIdleFrames.pop_front();
    return true;
}

void ReadControl::ReadThread() {
    pthread_setname_np(pthread_self(), "ReadThread");
    {
        MutexLock guard(mIdleLock);
        if (!mExit) mIdleFrames.resize(mIdleFrames.size() + kFrameSlots);
    }
    {
        // One builder, ahead of the first read thread.
        MutexLock guard(mThreadLock);
        if (!mExit && !mSlotThreadStarted) {
            mSlotThreadStarted = true;
            StartThread(&ReadControl::SlotThread);
        }
    }
    size_t folder = 0;  // folders taken so far, in reading order
    if (mTasks) {
        for (auto& entry : *mTasks) {
            const int64_t frameId = entry.first;
            const std::shared_ptr<TaskInfo>& task = entry.second;
            if (mExit) {
                ZLOG(kTag, 4, "%d, %s: Cancel all frame");
                return;
            }
            if (!task) continue;
            for (int i = 0; i < kTaskInputPaths; ++i) {
                const std::string& path = task->TaskInputPath[i];
                ZLOG(kTag, 4, "%d, %s: Input string is %s with i %d", files::Escaped(path).c_str(), i);
                if (path.empty()) continue;
                if (mExit) {
                    ZLOG(kTag, 4, "%d, %s: Quiting Reading Control Thread");
                    break;
                }
                ZLOG(kTag, 4, "%d, %s: Waiting Idle buffer");
                ZEBFramePtr frame;
                bool built = false;
                if (!TakeIdleSlot(folder++, &frame, &built)) {
                    ZLOG(kTag, 4, "%d, %s: Quiting Reading Control Thread");
                    break;
                }
                // Built outside every lock; the task sees the frame only once
                // it is complete. Deletion cuts a read short between chunks.
                const files::StopRequested stop = [this] { return mExit.load(); };
                if (built) {
                    // SlotThread built it for this very folder.
                } else if (frame) {
                    frame->RecycleOneFrame(path, stop);
                } else {
                    frame = std::make_shared<ZEBFrame>(path, stop);
                }
                MutexLock guard(task->TaskLock);
                task->TaskFrame.push_back(std::move(frame));
            }
            bool recycled = false;
            {
                MutexLock guard(task->TaskLock);
                task->TaskReadDone = true;
                task->TaskFrameStatus = true;
                MutexLock idle(mIdleLock);
                if (mRecycleWhenRead.erase(frameId) != 0) {
                    ZLOG(kTag, 4, "%d, %s: Recycling frame %ld once read", static_cast<long>(frameId));
                    ReleaseTaskFrames(*task);
                    recycled = true;
                }
            }
            task->TaskCond.notify_all();
            if (recycled) mIdleCond.notify_all();
            ZLOG(kTag, 4, "%d, %s: Checking TaskMapper with addr %p", static_cast<void*>(mTasks));
            ZLOG(kTag, 4, "%d, %s: with FrmId %ld", static_cast<long>(frameId));
        }
    }
    MutexLock end(mEndLock);
    mEndCond.wait(end.native(), [this] { return mExit.load(); });
    ZLOG(kTag, 4, "%d, %s: Task Reading End");
}

void ReadControl::SlotThread() {
    pthread_setname_np(pthread_self(), "SlotThread");
    std::vector<std::string> folders;  // in reading order
    if (mTasks) {
        for (const auto& entry : *mTasks) {
            if (!entry.second) continue;
            for (const std::string& path : entry.second->TaskInputPath) {
                if (!path.empty()) folders.push_back(path);
            }
        }
    }
    // The read thread builds the first slot itself; this one builds the
    // following folders' slots beside it while never-used slots remain.
    for (size_t folder = 1; folder < folders.size(); ++folder) {
        {
            MutexLock idle(mIdleLock);
            if (mExit) return;
            if (folder <= mReaderAt) continue;
            auto empty = std::find(mIdleFrames.begin(), mIdleFrames.end(), nullptr);
            if (empty == mIdleFrames.end()) return;
            mIdleFrames.erase(empty);
            mBuilding = folder;
        }
        auto frame = std::make_shared<ZEBFrame>(folders[folder], [this] { return mExit.load(); });
        {
            MutexLock idle(mIdleLock);
            mBuilding = kNoFolder;
            if (!mExit) mBuilt.emplace(folder, std::move(frame));
        }
        mIdleCond.notify_all();
    }
}

void ReadControl::RecycleFrame(int64_t frameId) {
    auto it = mTasks ? mTasks->find(frameId) : TaskMap::iterator();
    if (!mTasks || it == mTasks->end() || !it->second) {
        ZLOG(kTag, 4, "%d, %s: Could not find corresponding buffer with frmId %ld", static_cast<long>(frameId));
        return;
    }
    TaskInfo& task = *it->second;
    {
        MutexLock guard(task.TaskLock);
        MutexLock idle(mIdleLock);
        if (!task.TaskReadDone) {
            // The read thread finishes the task whatever happens; its frames
            // come back the moment it is done.
            ZLOG(kTag, 4, "%d, %s: Task %ld is still being read, its frames come back once read",
                 static_cast<long>(frameId));
            if (!mExit) mRecycleWhenRead.insert(frameId);
            return;
        }
        ReleaseTaskFrames(task);
    }
    mIdleCond.notify_all();
}

void ReadControl::ReleaseTaskFrames(TaskInfo& task) {
    task.TaskFrameStatus = false;
    // The task is over: nothing may hand its recorded data to the HAL any more.
    for (const ZEBFramePtr& frame : task.TaskFrame) {
        if (frame) AnnounceFrameRelease(*frame);
    }
    if (!mExit) mIdleFrames.insert(mIdleFrames.end(), task.TaskFrame.begin(), task.TaskFrame.end());
    task.TaskFrame.clear();
}

ZEBFramePtr ReadControl::GetFrame(int64_t frameId) {
    ZLOG(kTag, 4, "%d, %s: GetFrame %ld", static_cast<long>(frameId));
    bool missed = false;
    {
        MutexLock guard(mReadyLock);
        if (mReadyFrames.empty()) {
            ZLOG(kTag, 4, "%d, %s: Empty");
        } else {
            for (const ZEBFramePtr& frame : mReadyFrames) {
                if (!frame) continue;
                ZLOG(kTag, 4, "%d, %s: ReadControl with Frame id %ld", static_cast<long>(frame->mFrameId));
                if (frame->mFrameId == frameId) return frame;
            }
            ZLOG(kTag, 4, "%d, %s: Could not find coordinate SEQ, Prepare to ReREAD");
            missed = true;
        }
    }
    // An empty list waits for the current window; a miss moves the window first.
    if (missed) ReWindBuffer(frameId);
    return WaitForValidFrame();
}

ZEBFramePtr ReadControl::WaitForValidFrame() {
    MutexLock ready(mReadyLock);
    ZEBFramePtr found;
    const auto limit = zeb_platform::ScaledForIo(kFrameWait);
    const bool ok = mReadyCond.wait_for(ready.native(), limit, [&]() REQUIRES(mReadyLock) {
        for (const ZEBFramePtr& frame : mReadyFrames) {
            if (frame && frame->mFrameId == mRewindStart) {
                found = frame;
                return true;
            }
        }
        return mExit.load();
    });
    if (ok && found) {
        ZLOG(kTag, 4, "%d, %s: Buffer found, return");
        return found;
    }
    ZLOG(kTag, 4, "%d, %s: Fail to find corresponding buffer");
    return nullptr;
}

void ReadControl::PushFrame(const ZEBFramePtr& frame) {
    if (!frame) return;
    {
        MutexLock guard(mReadyLock);
        for (const ZEBFramePtr& present : mReadyFrames) {
            if (present && present->mFrameId == frame->mFrameId) return;
        }
        mReadyFrames.push_back(frame);
    }
    mReadyCond.notify_all();
}

void ReadControl::PushFrame(const ZEBFramePtr& frame, int64_t frameId) {
    if (!frame) return;
    {
        MutexLock guard(mReadyLock);
        frame->mFrameId = frameId;
    }
    PushFrame(frame);
}

void ReadControl::ReWindBuffer(int64_t frameId) {
    {
        MutexLock ready(mReadyLock);
        mRewindStart = frameId;
        mRewindEnd = frameId;
        MutexLock idle(mIdleLock);
        if (!mExit) mIdleFrames.insert(mIdleFrames.end(), mReadyFrames.begin(), mReadyFrames.end());
        mReadyFrames.clear();
    }
    // The moved frames are slots a waiting read thread may take.
    mIdleCond.notify_all();
    mReadyCond.notify_all();
}

void ReadControl::NeedRewind(int64_t frameId) {
    bool outside;
    {
        MutexLock guard(mReadyLock);
        outside = frameId < mRewindStart || frameId > mRewindEnd;
    }
    if (outside) ReWindBuffer(frameId);
}

size_t ReadControl::IdleFrameCount() {
    MutexLock guard(mIdleLock);
    return mIdleFrames.size() + mBuilt.size() + (mBuilding != kNoFolder ? 1 : 0);
}

}  // namespace ZEB
