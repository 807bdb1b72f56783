// Construction, teardown and the small set-up operations of the instance.
#include "simulation/SimulationControl.h"

#include <cstdlib>
#include <cstring>

#include "frame/ReadControl.h"
#include "frame/VirtualSensorControl.h"
#include "frame/ZEBFrame.h"
#include "parameter/SceneParameter.h"
#include "tuning/ParameterUpdate.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "core/records/SceneRecords.h"

namespace ZEB {
namespace {
const char* const kTag = "SimulationControl";

int ReadSwitch(int (*getter)(char*)) {
    char value[PROPERTY_VALUE_MAX] = {0};
    getter(value);
    return atoi(value);
}
}  // namespace

static_assert(sizeof(iSceneInfo) == SceneRecord::kSize, "the scene record is read through its byte layout");

SimulationControl::SimulationControl(void* context, int cameraId)
    : mPool(new ThreadPool(5, "pvk")), mContext(context), mCameraId(cameraId) {
    if (!context) ZLOG(kTag, 1, "%d, %s: Not valid context");
    ZLOG(kTag, 4, "%d, %s: ZEB Prepare to create VirtualSensorControl with %p", context);
    CreatePS();
    mVirtualSensor = std::make_shared<VirtualSensorControl>(context, cameraId);
    mParamManager = std::make_shared<ParameterManager>();
    const auto* loaded = static_cast<const TaskMap*>(mParamManager->GetParameter(nullptr, "TaskManager"));
    // Another camera may replay the same task list at the same time: this one
    // reads, plays and recycles frames in a view of its own.
    mTaskView = std::make_shared<TaskMap>(loaded ? TaskListView(*loaded) : TaskMap());
    if (loaded) mTaskMap = mTaskView.get();
    mSceneModule = static_cast<std::map<int64_t, iSceneInfo>*>(mParamManager->GetParameter(nullptr, "SceneParameter"));
    // The sweeps go into this instance's tasks.
    mParamManager->ParseParameter(mTaskMap, "TaskManager");
    // The reader walks the task map on its own thread; without a task manager
    // it gets the empty view rather than a null map.
    mReadControl = std::make_shared<ReadControl>(mTaskView.get());
    // Its start-up thread builds the tuning combinations into the tasks; the
    // driver waits for it before it reads them.
    mParamUpdate = std::make_shared<ParameterUpdate>(cameraId, mTaskMap);
    if (mSceneModule && mTaskMap && !mTaskMap->empty()) {
        // The lowest task's record, fetched through the module so that its
        // reader thread is never raced.
        int64_t first = mTaskMap->begin()->first;
        mScene.store(static_cast<const iSceneInfo*>(mParamManager->GetParameter(&first, "SceneParameter")));
    }
    mTester = ReadSwitch(&SimulationControlInterface::GetPropZEBTester) != 0;
    GetProperty();
}

SimulationControl::~SimulationControl() {
    mExit.store(true);
    WakeAll();
    // Every thread that uses the instance ends here, before anything it
    // touches is released.
    std::thread driver, checker;
    {
        std::lock_guard<std::mutex> guard(mThreadLock);
        driver = std::move(mDriver);
        checker = std::move(mChecker);
    }
    if (driver.joinable()) driver.join();
    if (checker.joinable()) checker.join();
    JoinFrameInfoWorkers();
    // Queued jobs see mExit and return; the workers end before the sensor and
    // the reader they use go.
    mPool.reset();
    {
        std::unique_lock<std::shared_mutex> guard(mRunLock);
        mRun = RunningTask();
    }
    mVirtualSensor.reset();
    mReadControl.reset();
    {
        std::lock_guard<std::mutex> guard(mYuvListLock);
        mYuvLists.clear();
    }
    mParamUpdate.reset();
    mParamManager.reset();
}

void SimulationControl::WakeAll() {
    // Each flag's lock is taken before its condition is notified, so a waiter
    // that has just tested its predicate cannot miss the exit.
    { std::lock_guard<std::mutex> guard(mSnapStartLock); }
    mSnapStartCond.notify_all();
    mCaptureWaitCond.notify_all();
    { std::lock_guard<std::mutex> guard(mSnapStopLock); }
    mSnapStopCond.notify_all();
    { std::lock_guard<std::mutex> guard(mDataLock); }
    mDataCond.notify_all();
    { std::lock_guard<std::mutex> guard(mFrameDoneLock); }
    mFrameDoneCond.notify_all();
    { std::lock_guard<std::mutex> guard(mExitLock); }
    mExitCond.notify_all();
    // The driver may wait for the tuning updater's start-up or its status
    // polls.
    if (mParamUpdate) mParamUpdate->Stop();
    // The frame-information worker and the driver wait on the tasks' own
    // conditions; the reader holds a task's lock only for moments.
    if (mTaskMap) {
        for (const auto& entry : *mTaskMap) {
            if (!entry.second) continue;
            { std::lock_guard<std::mutex> guard(entry.second->TaskLock); }
            entry.second->TaskCond.notify_all();
        }
    }
}

std::shared_ptr<ParameterUpdate> SimulationControl::TuningUpdater() const {
    if (!mParamUpdate) return nullptr;
    auto both = std::make_shared<std::pair<std::shared_ptr<TaskMap>, std::shared_ptr<ParameterUpdate>>>(mTaskView,
                                                                                                     mParamUpdate);
    return std::shared_ptr<ParameterUpdate>(both, both->second.get());
}

bool SimulationControl::SleepUnlessExit(std::chrono::nanoseconds duration) {
    std::unique_lock<std::mutex> lock(mExitLock);
    return !mExitCond.wait_for(lock, zeb_platform::Scaled(duration), [this] { return mExit.load(); });
}

bool SimulationControl::WaitTask(TaskInfo& task, const std::function<bool(TaskInfo&)>& ready,
                                 std::optional<std::chrono::nanoseconds> limit) {
    std::unique_lock<std::mutex> lock(task.TaskLock);
    bool done = false;
    auto settled = [&] {
        if (mExit.load()) return true;
        done = ready(task);
        return done;
    };
    // An open-ended wait is not a very long limit: scaled by a large time
    // factor, that would overflow the clock.
    if (limit) {
        // The limits wait for the frame reader: reading takes as long at any scale.
        task.TaskCond.wait_for(lock, zeb_platform::ScaledForIo(*limit), settled);
    } else {
        task.TaskCond.wait(lock, settled);
    }
    return done && !mExit.load();
}

void SimulationControl::CreatePS() {
    if (pvk::ParamSet::getInstance()) {
        ZLOG(kTag, 4, "%d, %s: PS has been initialized and should return");
        return;
    }
    pvk::ParamSet::createInstance();
    if (!pvk::ParamSet::getInstance()) ZLOG(kTag, 1, "%d, %s: PS error");
    if (!pvk::ParamSet::getInstance() || !mContext) ZLOG(kTag, 4, "%d, %s: Not valid cxt or PS, should return");
}

int SimulationControl::GetProperty() {
    mXtmHistUpdate = ReadSwitch(&SimulationControlInterface::GetPropXTMHist) != 0;
    mLtmHistUpdate = ReadSwitch(&SimulationControlInterface::GetPropLTMHist) != 0;
    mBayerHistUpdate = ReadSwitch(&SimulationControlInterface::GetPropBayerHist) != 0;
    mHist2Update = ReadSwitch(&SimulationControlInterface::GetPropHist2) != 0;
    int postProc = ReadSwitch(&SimulationControlInterface::GetPropPostProc);
    mPostProc = postProc != 0;
    return postProc;
}

void SimulationControl::SetPsOps() {
    if (!pvk::ParamSet::getInstance()) ZLOG(kTag, 1, "%d, %s: PS error");
}

void SimulationControl::SetPsHandle() {
    if (!pvk::ParamSet::getInstance() || !mContext) ZLOG(kTag, 4, "%d, %s: Not valid cxt or PS, should return");
}

void SimulationControl::RegisterParam() {}

void SimulationControl::SetSceneOps(SceneUpdateFunc ops) { mSceneOps.store(ops); }

void SimulationControl::SetFrameId(int64_t frameId) {
    mFrameId.store(frameId);
    if (mReadControl) mReadControl->NeedRewind(frameId);
}

void SimulationControl::Wait4PreviewDone() { SleepUnlessExit(std::chrono::milliseconds(100)); }

std::shared_ptr<ZEBFrame> SimulationControl::FrameOf(const RunningTask& running, size_t index) const {
    return index < running.frames.size() ? running.frames[index] : nullptr;
}

const uint8_t* SimulationControl::Scene() const {
    return reinterpret_cast<const uint8_t*>(mScene.load());
}

}  // namespace ZEB
