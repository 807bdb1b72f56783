#pragma once
// The HAL emulator's inner workings, shared by its files: the emulator runs
// the test tool's property loop on the calling thread, one pipeline thread
// per camera for the HAL's 3A and queries, and answers the library's sensor
// commands on the library's driver threads. What those threads share lies
// under mLock; everything else belongs to one thread, as each member says.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LibraryBinding.h"
#include "common/VirtualSensorDriver.h"
#include "platform/Mutex.h"
#include "platform/SensorTuning.h"
#include "zebsim-hal/lib/FakeAlgorithms.h"
#include "zebsim-hal/lib/FrameMatching.h"
#include "zebsim-hal/lib/HalEmulator.h"
#include "zebsim-hal/lib/IspTool.h"
#include "zebsim-hal/lib/PictureWriter.h"
#include "zebsim-hal/lib/Recording.h"

namespace zeb_hal {

using Clock = std::chrono::steady_clock;

extern const char* const kCapReady;
extern const char* const kProcess;
extern const char* const kDumpRoot;
// The library's settle after a snapshot, before its process signal.
constexpr double kSettleSeconds = 8;

std::string GetProperty(const char* key);

// A frame the fake driver received, or the preview resuming after a snapshot.
struct FrameEvent {
    size_t task;
    int frameIndex;  // index in the task's frames, -1 when it matched none
    bool capture;
    bool resume = false;
};

// What the threads share of one camera (the emulator's mStates, under its lock).
struct CameraState {
    std::vector<TaskReport>* tasks = nullptr;  // in the run report
    size_t cursor = 0;  // first task not yet completed
    size_t active = 0;  // task of the latest frame
    std::vector<bool> stopSent;    // the last snapshot of the task has stopped
    std::vector<size_t> stops;     // snapshot stops sent, per task
    std::vector<size_t> processed;  // captures processed, per task
    size_t awaitingProcess = SIZE_MAX;  // task whose snapshot stopped, until its process signal
    Clock::time_point captureEndedAt;   // when the preview last resumed after capture frames
    int fps = 0;
    bool captureEnded = false;  // the sensor resumed after capture frames
    std::deque<FrameEvent> events;
    bool pipelineBusy = false;
    std::vector<bool> firstFrameSeen;

    TaskReport& Task(size_t task) { return (*tasks)[task]; }
};

class Emulator;

// One open camera: its simulation instance, the fake sensor driver its
// virtual sensor talks to (the context names this object as the sensor), and
// the HAL's pipeline thread that runs the 3A and the queries on each frame.
struct Camera : zeb_tools::VirtualSensorDriver {
    Emulator* owner = nullptr;
    size_t index = 0;  // in the emulator's cameras and states
    int id = 0;
    // Set by Open; the tool clears it once the instance is deleted, while
    // the pipeline is idle and told so.
    void* handle = nullptr;
    alignas(8) uint8_t context[256] = {0};
    uint8_t updateFlags[20] = {0};
    double* deleteSeconds = nullptr;  // in the run report

    // The pipeline thread's own.
    std::vector<int> capturesQueried;
    std::vector<bool> previewQueried;
    std::thread pipeline;

    // The test tool's side, on its own thread only.
    uint64_t reloads = 0;  // sensor reloads seen so far
    bool capturing = false;
    size_t captureTask = SIZE_MAX;
    size_t announced = SIZE_MAX;

private:
    void OnFrame(const ZEB::isp_raw_proc_info& info) override;
    void OnPause(int32_t pause) override;
    void OnFps(int32_t fps) override;
    void OnOemContext(const void* oemContext) override;
};

class Emulator {
public:
    Emulator(const EmulatorOptions& options, RunReport& report) : mOptions(options), mReport(report) {}
    int Run();

private:
    friend struct Camera;

    // Set-up (HalEmulator.cpp): -1 when the run goes on, else its exit code.
    int Prepare();
    void AddCamera(int id, std::vector<TaskReport>* tasks, double* deleteSeconds);
    int StartLibrary();
    bool Open(Camera& camera);
    void StartJob();
    // Teardown, and the report's parts the other threads collected.
    void TearDown();
    void HandOver() EXCLUDES(mLock);
    int Tally() EXCLUDES(mLock);

    // The fake drivers and the pipelines (EmulatorPipeline.cpp).
    void OnFrame(Camera& camera, const ZEB::isp_raw_proc_info& info) EXCLUDES(mLock);
    size_t FrameOwner(const CameraState& state, const std::vector<FrameIndex::Found>& matches, int* index) const;
    void QueuePicture(Camera& camera, TaskReport& report, const ExpectedTask& task, int index, const uint8_t* lines,
                      int width, int height) REQUIRES(mLock);
    void OnPause(Camera& camera, int32_t pause) EXCLUDES(mLock);
    void Pipeline(Camera& camera) EXCLUDES(mLock);
    void HandleEvent(Camera& camera, const FrameEvent& event);

    // The HAL's queries (EmulatorQueries.cpp).
    void PreviewQueries(Camera& camera, size_t task);
    void SceneQueries(Camera& camera, size_t task);
    void CaptureQueries(Camera& camera, size_t task, int captureIndex);
    void CheckParamSet(Camera& camera, size_t task);

    // The sensor's tuning (EmulatorTuning.cpp).
    bool SetUpTuning();
    void RecordTuningEntry(Camera& camera, size_t task, const std::string& outputFolder);
    void CheckCombination(TuningEntryReport& entry, const std::vector<zeb_platform::SensorTuningFile>& files,
                          std::vector<std::string>& errors) const;
    void CallBypassMode();
    std::map<std::string, int32_t> BypassWords() const;

    // The test tool's property loop (EmulatorToolLoop.cpp).
    void PlayTaskList();
    // Announces the camera's task, deletes it when asked to, stops its snapshot;
    // true once the run is to stop.
    bool WatchCamera(Camera& camera);
    void DeleteDuringTask(Camera& camera, long activeId);
    void AnswerCaptureReady(bool* pendingReady);
    void AnswerProcess();
    void Processed(Camera& camera);
    bool AllDone() REQUIRES(mLock);
    // The tool's answer to the capture-ready signal, for one camera.
    void StartCapture(Camera& camera);
    // Whether the camera plays a task whose capture is still to come (the
    // capture-ready signal it sends next is its own).
    bool AwaitsCapture(const Camera& camera) REQUIRES(mLock);

    void Check(Camera& camera, size_t task, const std::string& query, bool ok, const std::string& detail = "")
        EXCLUDES(mLock);
    void Progress(const Camera& camera, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Timeline(const Camera& camera, const char* property, const std::string& value) EXCLUDES(mLock);
    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - mStart).count(); }
    // The next task after `task` that has frames (the library skips the others).
    size_t NextTask(size_t task) const {
        do {
            ++task;
        } while (task < mRecording.tasks.size() && mRecording.tasks[task].frames.empty());
        return task;
    }
    CameraState& State(const Camera& camera) REQUIRES(mLock) { return mStates[camera.index]; }
    bool TwoCameras() const { return mCameras.size() > 1; }

    // The tool's thread's: set up before the other threads start, read-only
    // to them while they run.
    const EmulatorOptions& mOptions;
    RunReport& mReport;  // written by the tool's thread; the others' findings come in through HandOver
    Recording mRecording;
    zeb_tools::LibraryBinding mLibrary;
    std::vector<std::unique_ptr<Camera>> mCameras;  // the first is the one of --camera-id
    std::unique_ptr<Fake3A> m3A;  // the HAL's 3A algorithms: one set per process, whatever the cameras
    Clock::time_point mStart = Clock::now();
    size_t mCombinations = 0;    // tuning combinations of the task list
    size_t mEntriesPerTask = 1;  // captures a task takes: one per tuning entry
    std::vector<std::string> mTuningFolders;  // scenario folders of the firmware tuning folder
    std::unique_ptr<IspToolSession> mIspTool;
    std::unique_ptr<FrameIndex> mFrameIndex;  // made once the recording is loaded
    std::atomic<bool> mDeleting{false};
    FrameMappings mMappings;
    PictureWriter mPictures;

    // Shared between the drivers' threads (the ioctl), the pipeline threads
    // and the tool loop.
    Mutex mLock;
    std::condition_variable mCond;
    std::vector<CameraState> mStates GUARDED_BY(mLock);  // one per camera
    bool mStopPipeline GUARDED_BY(mLock) = false;
    Clock::time_point mLastFrameAt GUARDED_BY(mLock);
    std::vector<std::string> mPictureList GUARDED_BY(mLock);  // queued for writing, for the report
    int mForeignContexts GUARDED_BY(mLock) = 0;  // OEM contexts handed to a driver that were not its HAL's
};

}  // namespace zeb_hal
