#pragma once
// One simulation per camera id: owns the frame reader, the virtual sensor and
// a registry handle, drives the task list on its own thread and answers the
// HAL's result queries from the recorded frame of the running task.
//
// Every wait of every thread this object starts (driver, tester, the per-task
// frame-information worker, queued jobs) ends on one exit condition: mExit,
// raised by the destructor, which then joins those threads before it releases
// anything they use.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "parameter/ParameterManager.h"
#include "parameter/TaskInfo.h"
#include "core/records/ThreeARecords.h"
#include "core/Export.h"
#include "core/SimulationControlInterface.h"
#include "core/ThreadPool.h"

namespace ZEB {

class ZEBFrame;
class ReadControl;
class VirtualSensorControl;
class ParameterUpdate;
struct iSceneInfo;

// ISP_ALG_OPS: operation tables (0 AE, 1 AWB, 2 ALSC, 5 XTM) and data updates
// (5 XTM histogram, 6 LTM histogram, 7 Hist2, 8 Bayer histogram).
typedef int ISP_ALG_OPS;
// ISP_STATIS: 0 hist2, 1 global tone-mapping histogram, 2 AEM, 3 LSCM, 4 none.
enum ISP_STATIS { ISP_STATIS_HIST2 = 0, ISP_STATIS_GTMHIST = 1, ISP_STATIS_AEM = 2, ISP_STATIS_LSCM = 3, ISP_STATIS_NONE = 4 };

typedef void (*SceneUpdateFunc)(void*);

class ZEB_EXPORT SimulationControl : public SimulationControlInterface {
public:
    SimulationControl(void* context, int cameraId);
    ~SimulationControl() override;
    SimulationControl(const SimulationControl&) = delete;
    SimulationControl& operator=(const SimulationControl&) = delete;

    // Instance set-up.
    void CreatePS();
    int GetProperty();
    void SetPsOps();
    void SetPsHandle();
    void RegisterParam();
    void SetSceneOps(SceneUpdateFunc ops);
    void SetFrameId(int64_t frameId);
    void Wait4PreviewDone();

    // Task driver and job interface.
    void GenerateOneJob();
    void GenerateOneJob(int64_t frameId);
    void GenerateOneJob(int64_t frameId, int capNum, bool noWait);
    void threadloop(int64_t frameId, int count, bool noWait);
    void WaitOneFrameDone();
    void ReceivingFrame();
    void TaskManagerThread();
    void TaskManagerChecker();
    bool Wait4FrameControl(int64_t frameId);
    bool Wait4FrameControl(const std::pair<int64_t, std::shared_ptr<TaskInfo>>& task);
    void OnSnapshotStart();
    void OnSnapshotStop();
    void ReceivingSnapStatus(bool started);

    // Frame results and data exchange with the HAL.
    bool GetFrameYuv(void** list, int* count);
    void GetFrameYuv(void* destination);
    int GetPrevFrameYuv();
    void GetFrameStatisInfo(ISP_STATIS kind, unsigned long address, unsigned int size);
    void GetiSceneInfo(void* destination);
    void GetFrameSceneInfo(void* destination);
    void GetFrameSmartInfo(void* destination);
    void GetFrameManualInfo(void* destination);
    void GetFrameAndroidInfo(void* destination);
    float GetFrameEvStatus();
    void GetOps(void* destination, ISP_ALG_OPS kind);
    void GetFlag(void* flag);
    void SetDataUpdate(ISP_ALG_OPS kind, void* destination);
    void SetAeOfflineInfo(void* destination);
    void ReceivingSnapshotCmd();

    // Per-task hand-over.
    void SetInfo2Parameter(int64_t frameId, std::shared_ptr<TaskInfo> task);
    void SetInfo2Parameter(int64_t frameId, std::shared_ptr<ZEBFrame> frame);
    void WaitFrameInfoDone(int64_t frameId, std::shared_ptr<TaskInfo> task);
    int SetFdInfo(int cameraId, int64_t frameId);
    void SetSceneInfo(int cameraId, int64_t frameId);

    // For the HAL's virtual-sensor installation (SetSensorIoctlOps, SetGrabOps).
    std::shared_ptr<VirtualSensorControl> VirtualSensor() const { return mVirtualSensor; }
    int CameraId() const { return mCameraId; }
    // The camera's tuning updater, for callers of its bypass operations. It
    // reads this instance's task list, which the returned owner keeps too.
    std::shared_ptr<ParameterUpdate> TuningUpdater() const;
    bool Tester() const { return mTester; }
    bool Running() const { return mRunning.load(); }
    // True once the task driver has walked the whole task list.
    bool Finished() const { return mFinished.load(); }

private:
    // Tests reach what no entry point sets: the YUV list's length and the
    // frame reader's ready list behind it.
    friend struct SimulationControlProbe;

    // The frames of the running task, taken once the reader has attached them.
    struct RunningTask {
        int64_t frameId = -1;
        std::shared_ptr<TaskInfo> task;
        std::vector<std::shared_ptr<ZEBFrame>> frames;
    };

    // Waits (exit-aware) for the scaled duration; false when the instance is
    // going away.
    bool SleepUnlessExit(std::chrono::nanoseconds duration);
    bool Exiting() const { return mExit.load(); }
    // Waits on the task's condition until `ready` (called under the task's
    // lock) holds, the limit passes (scaled, but never below its real
    // length: it waits for the frame reader; never without one), or the
    // instance goes.
    bool WaitTask(TaskInfo& task, const std::function<bool(TaskInfo&)>& ready,
                  std::optional<std::chrono::nanoseconds> limit);
    std::shared_ptr<ZEBFrame> FrameOf(const RunningTask& running, size_t index) const;
    const uint8_t* Scene() const;
    const uint8_t* SceneFor(const void* destination, const char* caller) const;

    void PreviewStep(int64_t frameId, const RunningTask& running);
    void CaptureStep(int64_t frameId, const RunningTask& running);
    void PlayTuningEntry(int64_t frameId, const RunningTask& running, int index, const std::vector<std::string>& files);
    bool CaptureAndSettle(int64_t frameId, const RunningTask& running);
    void RecycleTask(int64_t frameId);
    void StartFrameInfoWorker(int64_t frameId, std::shared_ptr<TaskInfo> task);
    void JoinFrameInfoWorkers();
    void WakeAll();
    // Marks the task list done and wakes the tester.
    void Finish();

    std::unique_ptr<ThreadPool> mPool;

    // Frame-done counter standing in for an unnamed semaphore.
    std::mutex mFrameDoneLock;
    std::condition_variable mFrameDoneCond;
    int mFrameDone = 0;

    std::atomic<int32_t> mYuvCount{0};
    std::atomic<int32_t> mTaskSeq{0};
    std::atomic<int32_t> mEvIndex{0};
    std::atomic<int32_t> mCurCnt{0};
    std::atomic<const iSceneInfo*> mScene{nullptr};
    // This camera's own view of the process's task list (empty without a
    // task manager): its frames, flags and tuning maps are the instance's.
    std::shared_ptr<TaskMap> mTaskView;
    TaskMap* mTaskMap = nullptr;  // mTaskView's map; null without a task manager
    std::map<int64_t, iSceneInfo>* mSceneModule = nullptr;

    std::mutex mAeOfflineLock;  // guards mAeOfflineInfo
    std::map<int64_t, std::vector<ZebAeOfflineInfo>> mAeOfflineInfo;

    std::mutex mSnapStartLock;
    std::mutex mSnapStopLock;
    std::mutex mDataLock;
    std::condition_variable mSnapStartCond;
    std::condition_variable mSnapStopCond;
    std::condition_variable mDataCond;
    bool mSnapStopped = false;  // guarded by mSnapStopLock
    std::atomic<bool> mSnapStarted{false};  // written under mSnapStartLock, read by the EV query
    // Capture steps that have come to wait for a snapshot start, guarded by
    // mSnapStartLock; the tester waits on the condition for the next one.
    uint64_t mCaptureWaits = 0;
    std::condition_variable mCaptureWaitCond;
    bool mDataUpdating = false;  // guarded by mDataLock
    std::atomic<bool> mRecycling{false};
    bool mTester = false;
    std::atomic<bool> mExit{false};
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mFinished{false};

    int32_t mBayerHistUpdate = 0;
    int32_t mXtmHistUpdate = 0;
    int32_t mLtmHistUpdate = 0;
    int32_t mHist2Update = 0;
    int32_t mPostProc = 0;

    std::shared_ptr<VirtualSensorControl> mVirtualSensor;
    std::shared_ptr<ReadControl> mReadControl;
    std::shared_ptr<ParameterManager> mParamManager;
    std::shared_ptr<ParameterUpdate> mParamUpdate;

    std::mutex mYuvListLock;
    std::vector<std::unique_ptr<uint8_t[]>> mYuvLists;  // every list handed out lives until destruction

    void* mContext = nullptr;
    std::atomic<SceneUpdateFunc> mSceneOps{nullptr};
    std::atomic<int64_t> mFrameId{0};
    int32_t mCameraId = 0;
    std::atomic<int32_t> mRunningSeq{0};
    std::atomic<int32_t> mPrevCount{0};

    std::mutex mInfoLock;  // guards the two copies and the two AE values below
    uint8_t mZoltDefInfo[1392] = {0};
    uint8_t mControlInfo[324] = {0};
    int32_t mSensitivity = 0;
    int32_t mIso = 0;
    std::atomic<void*> mUpdateFlag{nullptr};

    // The running task's frames; queries read them under a shared lock and
    // the driver empties them under the exclusive lock before it recycles.
    mutable std::shared_mutex mRunLock;
    RunningTask mRun;

    // One exit condition for every timed wait of the instance's threads.
    std::mutex mExitLock;
    std::condition_variable mExitCond;

    std::mutex mThreadLock;  // guards the thread handles below
    std::thread mDriver;
    std::thread mChecker;
    std::vector<std::pair<int64_t, std::thread>> mFrameInfoWorkers;
};

}  // namespace ZEB
