#pragma once
// Keeps recorded frames ready ahead of the task driver: a read thread walks the
// task map in ascending frame id and attaches a frame to the task for each of
// its input folders. Ten frame slots bound how far it reads ahead; a slot comes
// back when the driver recycles a finished task.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "core/Worker.h"
#include "frame/ZEBFrame.h"
#include "parameter/TaskInfo.h"
#include "platform/Mutex.h"

namespace ZEB {

class ReadControl {
public:
    static constexpr int kFrameSlots = 10;

    // `tasks` is not owned and must outlive this object.
    explicit ReadControl(TaskMap* tasks);
    // Stops and joins every read thread, then releases the frames it read.
    ~ReadControl();
    ReadControl(const ReadControl&) = delete;
    ReadControl& operator=(const ReadControl&) = delete;

    // One more read thread over the same task map (with ten slots of its own).
    void RunReadThread();

    // The older per-frame path: frames pushed with their id, looked up by id.
    ZEBFramePtr GetFrame(int64_t frameId);
    // Waits (bounded, 1 s) for the frame whose id starts the rewind window.
    ZEBFramePtr WaitForValidFrame();
    // Adds a frame whose mFrameId the caller has set; a second frame with an
    // id already present is ignored.
    void PushFrame(const ZEBFramePtr& frame);
    // Sets the frame's id, then pushes it.
    void PushFrame(const ZEBFramePtr& frame, int64_t frameId);

    // Gives the frames of a finished task back to the idle slots. A task still
    // being read (one the driver gave up waiting for) gives them back as soon
    // as its read ends, so its slots are never lost to the tasks after it.
    void RecycleFrame(int64_t frameId);
    void ReWindBuffer(int64_t frameId);
    void NeedRewind(int64_t frameId);

    // Slots waiting for a folder (empty ones and those being built included).
    size_t IdleFrameCount();

private:
    void ReadThread();
    // Builds the frames of never-used slots for the folders after the read
    // thread's first one, beside it, so that obtaining and first touching
    // fresh buffers does not hold up the first tasks; ends once every slot
    // has been built.
    void SlotThread();
    // The slot for the read thread's `folder`-th folder: the frame SlotThread
    // built for it (`built` set), else the first idle slot, waiting for one;
    // false when told to exit.
    bool TakeIdleSlot(size_t folder, ZEBFramePtr* slot, bool* built);

    // Moves the task's frames to the idle slots; the caller holds the task's
    // lock and mIdleLock.
    void ReleaseTaskFrames(TaskInfo& task) REQUIRES(mIdleLock, task.TaskLock);

    // Starts `body` on a Worker of mThreads.
    void StartThread(void (ReadControl::*body)()) REQUIRES(mThreadLock);

    Mutex mReadyLock;
    Mutex mIdleLock;
    Mutex mEndLock;
    Mutex mThreadLock;
    std::list<ZEBFramePtr> mIdleFrames GUARDED_BY(mIdleLock);
    std::set<int64_t> mRecycleWhenRead GUARDED_BY(mIdleLock);
    static constexpr size_t kNoFolder = SIZE_MAX;
    std::map<size_t, ZEBFramePtr> mBuilt GUARDED_BY(mIdleLock);  // by folder number, for the read thread
    size_t mBuilding GUARDED_BY(mIdleLock) = kNoFolder;          // folder SlotThread builds
    size_t mReaderAt GUARDED_BY(mIdleLock) = 0;                  // folder the read thread takes
    bool mSlotThreadStarted GUARDED_BY(mThreadLock) = false;
    std::list<ZEBFramePtr> mReadyFrames GUARDED_BY(mReadyLock);
    TaskMap* mTasks;
    std::condition_variable mIdleCond;
    std::condition_variable mEndCond;
    std::condition_variable mReadyCond;  // a frame was pushed or the window moved
    int64_t mRewindStart GUARDED_BY(mReadyLock) = 0;
    int64_t mRewindEnd GUARDED_BY(mReadyLock) = 0;
    // Every thread of the object waits on one of the conditions above until
    // mExit; their Workers own and join them.
    std::atomic<bool> mExit{false};
    std::vector<std::unique_ptr<Worker>> mThreads GUARDED_BY(mThreadLock);
};

}  // namespace ZEB
