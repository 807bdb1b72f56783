// The task driver: plays the task list task by task (preview, capture-ready
// signal, snapshot hand-over, settling, recycling), the tester thread that
// stands in for the HAL's snapshot notifications, and the small job interface.
#include <pthread.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "frame/ReadControl.h"
#include "frame/VirtualSensorControl.h"
#include "frame/ZEBFrame.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "core/FileAccess.h"
#include "core/records/Field.h"
#include "core/records/SceneRecords.h"
#include "simulation/SimulationControl.h"
#include "tuning/ParameterUpdate.h"
#include "tuning/TuningPaths.h"

namespace ZEB {
namespace {
const char* const kTag = "SimulationControl";
constexpr std::chrono::seconds kFrameWait(1);
constexpr std::chrono::milliseconds kCapturePause(100);

void NameThread(const char* name) { pthread_setname_np(pthread_self(), name); }

// Opens or creates the task's output folder, its last level only: it must
// be a real folder, not a link to one, or the entry's dumps would land
// wherever the link points.
bool MakeOutputFolder(const std::string& path) {
    if (files::IsRealDirectory(path)) {
        ZLOG(kTag, 4, "%d, %s: Path already exist");
        return true;
    }
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const size_t slash = parent.rfind('/');
    const std::string name = slash == std::string::npos ? parent : parent.substr(slash + 1);
    parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : parent.substr(0, slash));
    std::string why;
    if (!files::MakeDirsBelow(parent, name, &why)) {
        ZLOG(kTag, 1, "%d, %s: Could not make DIR with path %s, Error %s", files::Escaped(path).c_str(), why.c_str());
        return false;
    }
    return true;
}

// Where the HAL dumps when the entry has no folder of its own: the task's
// output folder, unless something other than a folder was put at its name.
std::string FallbackDumpRoot(const std::string& outputPath) {
    const std::string standing = files::Describe(zeb_platform::HostPathOf(outputPath));
    if (standing == "a folder" || standing == "missing") return outputPath;
    ZLOG(kTag, 1, "%d, %s: output folder %s refused: %s; the dumps of this entry are not kept",
         files::Escaped(outputPath).c_str(), standing.c_str());
    return std::string();
}

std::string LocalStamp() {
    char stamp[64] = {0};
    time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local)) strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    return stamp;
}

// Names a tuning entry's folder may take before the entry gives up on one.
constexpr int kEntryFolderTries = 100;

// The stamped folder of a tuning entry, made below the task's output folder.
// Two entries of one task can fall in the same second: a folder that already
// holds another entry's files gets a suffix instead of having them
// overwritten. A name taken by anything but a real folder (a link planted at
// the next stamp) is passed over. Empty when no folder could be made.
std::string MakeEntryFolder(const std::string& outputPath) {
    const std::string stamped = (outputPath + "/" + LocalStamp()).substr(0, 127);
    if (stamped.size() <= outputPath.size() + 1) return std::string();
    const std::string stamp = stamped.substr(outputPath.size() + 1);
    for (int suffix = 0; suffix < kEntryFolderTries; ++suffix) {
        const std::string name = suffix == 0 ? stamp : stamp + "_" + std::to_string(suffix);
        const std::string folder = outputPath + "/" + name;
        std::error_code error;
        if (files::IsRealDirectory(folder)) {
            if (std::filesystem::is_empty(folder, error) && !error) return folder;
            continue;
        }
        std::string why;
        if (files::MakeDirsBelow(outputPath, name, &why)) return folder;
        ZLOG(kTag, 1, "%d, %s: output folder %s refused: %s", files::Escaped(folder).c_str(), why.c_str());
    }
    return std::string();
}

// A tuning entry whose combination was not installed is still played, under
// the tuning installed before; its output folder says so.
void NoteTuningFailure(int index, const std::string& folder, const std::string& failure,
                       const std::vector<std::string>& files) {
    std::string text = "tuning entry " + std::to_string(index) + " not installed: " + failure + "\n";
    std::string list;
    for (const std::string& file : files) {
        text += ZEB::files::Escaped(file) + "\n";
        list += (list.empty() ? "" : ", ") + ZEB::files::Escaped(file);
    }
    ZLOG(kTag, 1, "%d, %s: TaskTuning index %d not installed (%s), played under the previous tuning, marked by %s; files: %s",
         index, failure.c_str(), ZEB::files::Escaped(folder + "/" + kTuningFailedMarker).c_str(), list.c_str());
    // No folder keeps this entry's dumps: there is nothing to mark.
    if (folder.empty()) return;
    std::string why;
    if (!ZEB::files::WriteFileReplacing(folder + "/" + kTuningFailedMarker, text, &why)) {
        ZLOG(kTag, 1, "%d, %s: %s not written: %s", ZEB::files::Escaped(folder + "/" + kTuningFailedMarker).c_str(),
             why.c_str());
    }
}
}  // namespace

void SimulationControl::GenerateOneJob() {
    bool idle = false;
    // Claimed here rather than on the new thread, so two quick calls cannot
    // both start a driver.
    if (!mRunning.compare_exchange_strong(idle, true)) return;
    std::lock_guard<std::mutex> guard(mThreadLock);
    if (mExit.load()) return;
    try {
        mDriver = std::thread(&SimulationControl::TaskManagerThread, this);
        if (mTester) mChecker = std::thread(&SimulationControl::TaskManagerChecker, this);
    } catch (const std::system_error& error) {
        ZLOG(kTag, 1, "%d, %s: thread constructor failed: %s", error.what());
    }
}

void SimulationControl::TaskManagerThread() {
    NameThread("zeb_driver");
    if (!mTaskMap) {
        ZLOG(kTag, 1, "%d, %s: Could not get proper TaskManager");
        Finish();
        return;
    }
    for (const auto& entry : *mTaskMap) {
        if (mExit.load()) return;
        const int64_t frameId = entry.first;
        RunningTask run;
        run.frameId = frameId;
        run.task = entry.second;
        if (!run.task || !Wait4FrameControl(frameId)) {
            ZLOG(kTag, 4, "%d, %s: Could not Run this task with frmId %ld", static_cast<long>(frameId));
            // The reader finishes the task all the same; its slots must come
            // back, or every task after it waits for them in vain.
            if (run.task) mReadControl->RecycleFrame(frameId);
            continue;
        }
        // The first frame is there; the rest follow at the reader's pace,
        // however long a large task takes to read.
        if (!WaitTask(*run.task, [](TaskInfo& info) { return info.TaskReadDone; }, std::nullopt)) return;
        // The frames are taken once, under the task's lock, so the driver
        // never walks the list while the reader appends to it.
        {
            std::lock_guard<std::mutex> guard(run.task->TaskLock);
            run.frames = run.task->TaskFrame;
        }
        if (run.frames.empty()) {
            ZLOG(kTag, 1, "%d, %s: Task %ld has no frames, skipped", static_cast<long>(frameId));
            continue;
        }
        mRunningSeq.store(static_cast<int32_t>(frameId));
        mRecycling.store(false);
        mTaskSeq.store(0);
        mEvIndex.store(0);
        mCurCnt.store(0);
        mFrameId.store(frameId);
        // The hand-over writes into the first frame; the HAL's queries see the
        // frames only once it is done.
        SetInfo2Parameter(frameId, run.task);
        if (mExit.load()) return;
        {
            std::unique_lock<std::shared_mutex> guard(mRunLock);
            mRun = run;
        }

        // The tuning updater's start-up thread fills TaskTuning.
        if (mParamUpdate && !mParamUpdate->WaitStartup()) return;
        const auto& tuning = run.task->TaskTuning;
        if (!tuning.empty()) {
            for (const auto& tuningEntry : tuning) {
                PlayTuningEntry(frameId, run, tuningEntry.first, tuningEntry.second);
                if (mExit.load()) return;
            }
        } else {
            PreviewStep(frameId, run);
            SetPropZEBOutPath(FallbackDumpRoot(run.task->TaskOutputPath).c_str());
            if (!CaptureAndSettle(frameId, run)) return;
        }
        RecycleTask(frameId);
    }
    ZLOG(kTag, 4, "%d, %s: Task Running End");
    Finish();
}

void SimulationControl::Finish() {
    {
        std::lock_guard<std::mutex> guard(mSnapStartLock);
        mFinished.store(true);
    }
    mCaptureWaitCond.notify_all();
}

void SimulationControl::PlayTuningEntry(int64_t frameId, const RunningTask& run, int index,
                                        const std::vector<std::string>& files) {
    ZLOG(kTag, 4, "%d, %s: TaskTuning index %d", index);
    PreviewStep(frameId, run);
    if (mExit.load()) return;
    // The property names the folder as the HAL sees it; this host writes
    // into it where the device root puts it.
    const std::string& outputPath = run.task->TaskOutputPath;
    // The folder is made on this host; the HAL is told its device path.
    const std::string hostOutput = zeb_platform::HostPathOf(outputPath);
    const std::string hostFolder = MakeOutputFolder(hostOutput) ? MakeEntryFolder(hostOutput) : std::string();
    const std::string folder = hostFolder.empty() ? std::string() : outputPath + hostFolder.substr(hostOutput.size());
    ZLOG(kTag, 4, "%d, %s: fold_name %s", files::Escaped(folder).c_str());
    // Where this entry's dumps go on this host, and so where a failed install is marked.
    std::string announced;
    if (!folder.empty()) {
        for (const std::string& source : files) {
            // The file's own name becomes a name in the folder: "." or ".."
            // or nothing would name the folder or the one above it.
            const std::string name = TranslatedName(source);
            const std::string target = hostFolder + "/" + name;
            if (!files::IsPlainName(name) || target.size() > 255) {
                ZLOG(kTag, 1, "%d, %s: tuning file %s refused: %s cannot be a file name in %s",
                     files::Escaped(source).c_str(), files::Escaped(name).c_str(), files::Escaped(folder).c_str());
                continue;
            }
            ZLOG(kTag, 4, "%d, %s: temp_foldname %s", files::Escaped(target).c_str());
            // Copied as a regular file into a fresh file of the folder: a
            // source swapped for a link is not followed, nor a link at the
            // target written through.
            std::string why;
            if (!files::CopyFile(source, target, files::kMaxXmlBytes, &why)) {
                ZLOG(kTag, 1, "%d, %s: copy of tuning file %s refused: %s", files::Escaped(source).c_str(),
                     why.c_str());
            }
        }
        SetPropZEBOutPath(folder.c_str());
        announced = hostFolder;
    } else {
        const std::string root = FallbackDumpRoot(outputPath);
        SetPropZEBOutPath(root.c_str());
        if (!root.empty()) announced = hostOutput;
    }
    if (mParamUpdate) {
        std::string failure;
        if (!mParamUpdate->UpdateFrameWithId(frameId, files, mScene.load(),
                                             static_cast<zeb_update_flag*>(mUpdateFlag.load()), &failure) &&
            !mExit.load()) {
            NoteTuningFailure(index, announced, failure, files);
        }
    }
    if (mExit.load()) return;
    CaptureAndSettle(frameId, run);
}

bool SimulationControl::CaptureAndSettle(int64_t frameId, const RunningTask& run) {
    if (!SleepUnlessExit(AlgConvergeDuration())) return false;
    SetPropZEBCapReady();
    ZLOG(kTag, 4, "%d, %s: cap ready");
    CaptureStep(frameId, run);
    if (mExit.load()) return false;
    ZLOG(kTag, 4, "%d, %s: Capture done");
    if (!SleepUnlessExit(SnapshotStopDuration())) return false;
    SetPropZEBProcess();
    return true;
}

void SimulationControl::PreviewStep(int64_t, const RunningTask& run) {
    const std::string& mode = run.task->TaskMode;
    ZLOG(kTag, 4, "%d, %s: Set preview frame p.second->mode = %s", files::Escaped(mode).c_str());
    mVirtualSensor->SetFpsInfo(15);
    if (mode == "Preview") {
        mPrevCount.store(0);
        for (const auto& frame : run.frames) {
            if (mExit.load()) return;
            mVirtualSensor->SetFrame(frame);
        }
        mParamManager->SetFrameSize2ALG(static_cast<int64_t>(run.frames.size()));
    } else {
        mVirtualSensor->SetFrame(run.frames.front());
    }
    mRecycling.store(false);
    mVirtualSensor->PauseVirtualSensor(false);
    ZLOG(kTag, 4, "%d, %s: Set preview frame end");
}

void SimulationControl::CaptureStep(int64_t frameId, const RunningTask& run) {
    ZLOG(kTag, 4, "%d, %s: Wait Capture Start");
    {
        std::unique_lock<std::mutex> lock(mSnapStartLock);
        ++mCaptureWaits;
        mCaptureWaitCond.notify_all();
        mSnapStartCond.wait(lock, [this] { return mSnapStarted.load() || mExit.load(); });
    }
    if (mExit.load()) return;
    ZLOG(kTag, 4, "%d, %s: Start One Capture with %ld with output path %s", static_cast<long>(frameId),
         files::Escaped(run.task->TaskOutputPath).c_str());
    if (!Wait4FrameControl(std::make_pair(frameId, run.task))) {
        ZLOG(kTag, 4, "%d, %s: Fail to combine one frame buffer");
        return;
    }
    ZLOG(kTag, 4, "%d, %s: Capture has started with FrameSize %d", static_cast<int>(run.frames.size()));
    mVirtualSensor->PauseVirtualSensor(true);
    if (!SleepUnlessExit(std::chrono::milliseconds(100))) return;  // the preview-done pause

    const auto& first = run.frames.front();
    const bool ultraRes = run.task->TaskMode == "UltraRes" &&
                          ReadField<int32_t>(first->mIsceneInfo, SceneRecord::kUltraResShutter) != 0;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        if (mExit.load()) return;
        const auto& frame = run.frames[i];
        mVirtualSensor->SetFpsInfo(8);
        if (!ultraRes && ReadField<int32_t>(frame->mSceneDetectOut, SceneDetectOut::kIsHighlightNozsl) == 0) {
            mVirtualSensor->SetFrame(frame);
            continue;
        }
        if (i != 0) {
            mVirtualSensor->SetFrame(frame, true);
            ZLOG(kTag, 4, "%d, %s: SetFrame");
        }
    }
    if (!SleepUnlessExit(kCapturePause)) return;
    if (!SleepUnlessExit(std::chrono::milliseconds(100))) return;  // setting the AE parameters
    mVirtualSensor->PauseVirtualSensor(false);
    ZLOG(kTag, 4, "%d, %s: Wait Capture Stop");
    {
        std::unique_lock<std::mutex> lock(mSnapStopLock);
        mSnapStopCond.wait(lock, [this] { return mSnapStopped || mExit.load(); });
        mSnapStopped = false;
    }
    {
        std::lock_guard<std::mutex> guard(mSnapStartLock);
        mSnapStarted.store(false);
    }
}

void SimulationControl::RecycleTask(int64_t frameId) {
    ZLOG(kTag, 4, "%d, %s: Recycling frame %ld", static_cast<long>(frameId));
    // The task's frame-information worker reads the frame list; it is done
    // before the list goes back to the reader.
    JoinFrameInfoWorkers();
    {
        std::unique_lock<std::mutex> lock(mDataLock);
        mRecycling.store(true);
        mDataCond.wait(lock, [this] { return !mDataUpdating || mExit.load(); });
    }
    {
        // Waits for queries in flight; later ones find no running frames.
        std::unique_lock<std::shared_mutex> guard(mRunLock);
        mRun.frames.clear();
    }
    mVirtualSensor->PauseVirtualSensor(true);
    mReadControl->RecycleFrame(frameId);
}

bool SimulationControl::Wait4FrameControl(int64_t frameId) {
    std::shared_ptr<TaskInfo> task;
    if (mTaskMap) {
        auto found = mTaskMap->find(frameId);
        if (found != mTaskMap->end()) task = found->second;
    }
    // The first frame within the limit; a task read to its end without any
    // frame has none to come.
    bool found = false;
    if (task && WaitTask(*task,
                         [&found](TaskInfo& info) {
                             found = !info.TaskFrame.empty();
                             return found || info.TaskReadDone;
                         },
                         kFrameWait) &&
        found) {
        ZLOG(kTag, 4, "%d, %s: Found corresponding buffer with frmId %ld", static_cast<long>(frameId));
        return true;
    }
    ZLOG(kTag, 4, "%d, %s: Fail to find corresponding buffer with frmId %d", static_cast<int>(frameId));
    return false;
}

bool SimulationControl::Wait4FrameControl(const std::pair<int64_t, std::shared_ptr<TaskInfo>>& task) {
    bool logged = false;
    if (task.second && WaitTask(*task.second,
                                [&logged](TaskInfo& info) {
                                    if (info.TaskFrameStatus) return true;
                                    // Once per wait, not once per retry.
                                    if (!logged) {
                                        ZLOG(kTag, 4, "%d, %s: TaskFrame with size %d, status %d",
                                             static_cast<int>(info.TaskFrame.size()), info.TaskFrameStatus ? 1 : 0);
                                        logged = true;
                                    }
                                    return false;
                                },
                                kFrameWait)) {
        ZLOG(kTag, 4, "%d, %s: Found corresponding buffer with frmId %ld", static_cast<long>(task.first));
        return true;
    }
    ZLOG(kTag, 4, "%d, %s: Fail to find corresponding buffer with frmId %ld", static_cast<long>(task.first));
    return false;
}

void SimulationControl::OnSnapshotStart() {
    ZLOG(kTag, 4, "%d, %s: Receiving Snapshot cmd");
    {
        std::lock_guard<std::mutex> guard(mSnapStartLock);
        mSnapStarted.store(true);
    }
    mSnapStartCond.notify_one();
    SleepSanpshotStart();
}

void SimulationControl::OnSnapshotStop() {
    ZLOG(kTag, 4, "%d, %s: Snapshot has done");
    {
        std::lock_guard<std::mutex> guard(mSnapStopLock);
        mSnapStopped = true;
    }
    mSnapStopCond.notify_one();
}

void SimulationControl::ReceivingSnapStatus(bool started) {
    if (started) {
        OnSnapshotStart();
    } else {
        OnSnapshotStop();
    }
}

void SimulationControl::TaskManagerChecker() {
    NameThread("zeb_tester");
    if (!mTaskMap) {
        ZLOG(kTag, 1, "%d, %s: Could not find Task");
        return;
    }
    // One pair per capture the driver waits for, not one per task: a task with
    // several tuning entries waits for a start at each of them.
    for (uint64_t sent = 0;; ++sent) {
        if (!SleepUnlessExit(WaitPostProcDuration())) return;
        // A start sent before the driver waits for it stays pending, and a
        // second one would merge with it: each start goes to a capture that
        // waits for it, so none is lost however long a task takes.
        {
            std::unique_lock<std::mutex> lock(mSnapStartLock);
            mCaptureWaitCond.wait(lock, [&] { return mCaptureWaits > sent || mFinished.load() || mExit.load(); });
            if (mCaptureWaits <= sent || mExit.load()) return;
        }
        OnSnapshotStart();
        if (!SleepUnlessExit(WaitPostProcDuration())) return;
        OnSnapshotStop();
        if (!SleepUnlessExit(WaitPostProcDuration())) return;
    }
}

void SimulationControl::GenerateOneJob(int64_t frameId) {
    std::shared_ptr<ZEBFrame> frame = mReadControl->GetFrame(frameId);
    if (!frame) {
        ZLOG(kTag, 4, "%d, %s: Not valid Frame");
        return;
    }
    mVirtualSensor->SetFrame(frame);
}

void SimulationControl::GenerateOneJob(int64_t frameId, int capNum, bool noWait) {
    if (mExit.load() || !mPool) return;
    // The caller never waits for the job, so its future is dropped.
    mPool->enqueue([this, frameId, capNum, noWait] {
        ZLOG(kTag, 4, "%d, %s: Generate One Job with frameId<->CapNum [%ld, %d]", static_cast<long>(frameId), capNum);
        threadloop(frameId, capNum, noWait);
    });
}

void SimulationControl::threadloop(int64_t frameId, int count, bool noWait) {
    for (int i = 0; i < count; ++i, ++frameId) {
        if (mExit.load()) return;
        GenerateOneJob(frameId);
        if (!noWait) WaitOneFrameDone();
    }
}

void SimulationControl::WaitOneFrameDone() {
    std::unique_lock<std::mutex> lock(mFrameDoneLock);
    mFrameDoneCond.wait(lock, [this] { return mFrameDone > 0 || mExit.load(); });
    if (mFrameDone > 0) --mFrameDone;
}

void SimulationControl::ReceivingFrame() {
    {
        std::lock_guard<std::mutex> guard(mFrameDoneLock);
        ++mFrameDone;
    }
    mFrameDoneCond.notify_one();
}

void SimulationControl::StartFrameInfoWorker(int64_t frameId, std::shared_ptr<TaskInfo> task) {
    std::lock_guard<std::mutex> guard(mThreadLock);
    if (mExit.load()) return;
    try {
        mFrameInfoWorkers.emplace_back(frameId, std::thread([this, frameId, task] {
                                           NameThread("zeb_frameinfo");
                                           WaitFrameInfoDone(frameId, task);
                                       }));
    } catch (const std::system_error& error) {
        ZLOG(kTag, 1, "%d, %s: thread constructor failed: %s", error.what());
    }
}

void SimulationControl::JoinFrameInfoWorkers() {
    std::vector<std::pair<int64_t, std::thread>> workers;
    {
        std::lock_guard<std::mutex> guard(mThreadLock);
        workers.swap(mFrameInfoWorkers);
    }
    for (auto& worker : workers) {
        if (worker.second.joinable()) worker.second.join();
    }
}

}  // namespace ZEB
