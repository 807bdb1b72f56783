#pragma once
// One cycle of the soak: a camera opened on the loaded library, played with
// the HAL's threads calling in until the cycle's moment comes, then closed as
// a HAL closes it. The session is the fake sensor driver its instance talks
// to; what the driver sees arrives on the library's threads, under mLock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/LibraryBinding.h"
#include "common/VirtualSensorDriver.h"
#include "core/Worker.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Mutex.h"
#include "zebsim-hal/lib/FakeAlgorithms.h"
#include "zebsim-hal/lib/IspTool.h"
#include "zebsim-hal/lib/Recording.h"
#include "zebsim-soak/lib/Soak.h"

namespace zeb_soak {

// The test tool's signals, which the library sets and the tool answers.
const char* const kCapReady = "persist.vendor.cam.zeb.capready";
const char* const kProcess = "persist.vendor.cam.zeb.process";

std::string GetProperty(const char* key);
inline double Seconds(std::chrono::steady_clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// What stays from one cycle to the next: the loaded library, the recording
// and what the cycles learnt of the library's pace.
struct Process {
    explicit Process(const SoakOptions& given) : options(given) {}
    const SoakOptions& options;
    zeb_tools::LibraryBinding library;
    zeb_hal::Recording recording;
    size_t entriesPerTask = 1;  // tuning combinations: each task is played once per combination
    size_t yuvBytes = 0;        // the largest recorded YUV image
    size_t frames = 0;  // in the whole list
};

class CameraSession : public zeb_tools::VirtualSensorDriver {
public:
    CameraSession(Process& process, int index, const CyclePlan& plan);
    CycleResult Run();

private:
    using Clock = std::chrono::steady_clock;

    // The test tool's and the snapshot path's standing in the run, on the
    // tool's thread only.
    struct ToolState {
        std::optional<Clock::time_point> deleteAt;
        uint64_t runsAtReach = 0;
        size_t entriesAtReach = 0;
        int capReadies = 0, stopsSent = 0;
        bool capturing = false;
    };

    // The fake sensor driver, on the library's driver thread.
    void OnFrame(const ZEB::isp_raw_proc_info& info) override;
    void OnPause(int32_t pause) override;
    void OnFps(int32_t fps) override;

    // Creates the instance and starts the HAL's threads; false when there is none.
    bool Open();
    // The test tool and the HAL's snapshot path, until the moment comes.
    void PlayToMoment(ToolState& tool);
    void AnswerCaptureReady(ToolState& tool, Clock::time_point now);
    void AnswerCaptureEnd(ToolState& tool, Clock::time_point now, int captureEnds);
    void AnswerProcess();
    void WatchMoment(ToolState& tool, Clock::time_point now, int frames, int previewEnds);
    // From the moment to the deletion, and the HAL's threads ended.
    void Close(const ToolState& tool);
    Clock::duration Window(std::chrono::nanoseconds span) const {
        return std::chrono::duration_cast<Clock::duration>(span * mResult.plan.fraction);
    }

    void ThreeALoop();
    void QueryLoop();
    void HandleQueries(uint64_t round);
    void Fault(const std::string& fault) EXCLUDES(mLock) {
        MutexLock guard(mLock);
        mFaults.push_back(fault);
    }
    size_t TaskNow() const {
        const size_t tasks = mProcess.recording.tasks.size();
        const size_t task = mEntriesDone.load() / mProcess.entriesPerTask;
        return tasks == 0 ? 0 : std::min(task, tasks - 1);
    }
    // The HAL's close path ends its queries by handle; the one in flight returns.
    void CloseQueries();
    void Delete();
    // Waits, up to `limit`, until the 3A loop has begun `count` runs in all;
    // false when it had not by then.
    bool WaitForRuns(uint64_t count, std::chrono::nanoseconds limit) EXCLUDES(mLock);
    void StopHalThreads();
    void MomentTime() { zeb_platform::SetTimeScale(mProcess.options.momentScale); }
    // The next tuning update runs at the moment's scale, writing the HAL's flag record
    // of its own: a record the update never reached keeps its fill.
    void WatchTuningUpdate() {
        MomentTime();
        memset(mEntryFlags, kUntouched, sizeof mEntryFlags);
        mApi.GetIspUpFlag(mHandle, mEntryFlags);
    }
    // Whether the reader has logged the end of the task.
    bool TaskRead(int64_t task) const;
    // The reader's progress, line by line (its lines follow one another on
    // its own thread): the frames it began to read, whether it is reading
    // one now, and whether the list is read.
    void FollowReader();

    Process& mProcess;
    const zeb_tools::LibraryEntries& mApi;
    CycleResult mResult;  // the tool's thread's; the faults of every thread come in through mFaults
    void* mHandle = nullptr;
    alignas(8) uint8_t mContext[256] = {0};
    alignas(8) uint8_t mUpdateFlags[20] = {0};
    static constexpr uint8_t kUntouched = 0x7f;
    alignas(8) uint8_t mEntryFlags[20] = {0};
    std::unique_ptr<zeb_platform::LogCapture> mReads;
    size_t mReadsSeen = 0;
    size_t mFramesBegun = 0;
    bool mFrameInRead = false, mListRead = false;
    std::unique_ptr<zeb_hal::IspToolSession> mStream;

    // What the fake sensor driver saw, on the library's threads.
    Mutex mLock;
    std::condition_variable mCond;
    int mFps GUARDED_BY(mLock) = 0;
    int mFrames GUARDED_BY(mLock) = 0;
    int mPreviewEnds GUARDED_BY(mLock) = 0;        // the sensor resumed after a preview
    int mCaptureEnds GUARDED_BY(mLock) = 0;        // the sensor resumed after capture frames
    bool mCaptureEnded GUARDED_BY(mLock) = false;  // not yet answered with a snapshot stop
    uint8_t mFrameSum GUARDED_BY(mLock) = 0;       // of the bytes the driver read
    std::vector<std::string> mFaults GUARDED_BY(mLock);
    std::atomic<size_t> mEntriesDone{0};  // tuning entries (or tasks) whose process signal came

    // The 3A algorithms: one run of all four per frame period (mThreeA).
    // Every call into them goes under m3ALock: a run, and the HAL's snapshot
    // preparation, which must not come in the middle of one.
    Mutex m3ALock;
    std::unique_ptr<zeb_hal::Fake3A> m3A PT_GUARDED_BY(m3ALock);
    std::atomic<bool> mInRun{false};
    std::atomic<uint64_t> mRunsStarted{0};
    std::atomic<bool> mThreeAFast{false};

    // The query thread's hand-over at the close: by handle until the close
    // begins, then by camera id.
    Mutex mQueryLock;
    std::condition_variable mQueryCond;
    bool mHandleGone GUARDED_BY(mQueryLock) = false;
    bool mByHandleDone GUARDED_BY(mQueryLock) = false;

    // The HAL's threads, last: they end before what they use goes.
    ZEB::Worker mThreeA;   // ThreeALoop
    ZEB::Worker mQueries;  // QueryLoop
};

}  // namespace zeb_soak
