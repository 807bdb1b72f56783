#include "zebsim-hal/lib/HalEmulator.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "core/records/HalRecords.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "platform/SensorTuning.h"
#include "zebsim-hal/lib/Emulator.h"

namespace zeb_hal {
using namespace ZEB;

const char* const kCapReady = "persist.vendor.cam.zeb.capready";
const char* const kProcess = "persist.vendor.cam.zeb.process";
const char* const kDumpRoot = "persist.vendor.cam.icap.dump.root.path";

std::string GetProperty(const char* key) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key, value, "");
    return value;
}

void Emulator::Progress(const Camera& camera, const char* format, ...) {
    if (!mOptions.progress) return;
    va_list args;
    va_start(args, format);
    printf("[%7.3fs] ", Elapsed());
    if (mCameras.size() > 1) printf("camera %d: ", camera.id);
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
    va_end(args);
}

void Emulator::Timeline(const Camera& c, const char* property, const std::string& value) {
    MutexLock guard(mLock);
    const CameraState& state = State(c);
    mReport.timeline.push_back(
        {Elapsed(), property, value, state.active < state.tasks->size() ? (*state.tasks)[state.active].id : -1, c.id});
}

void Emulator::Check(Camera& c, size_t task, const std::string& query, bool ok, const std::string& detail) {
    MutexLock guard(mLock);
    TaskReport& report = State(c).Task(task);
    if (ok) {
        report.queriesChecked.push_back(query);
    } else {
        report.errors.push_back(query + " differs from the recording" + (detail.empty() ? "" : ": " + detail));
    }
}

bool Emulator::Open(Camera& c) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    c.NameIn(c.context);
    WriteField<uint32_t>(c.context, kOemCxtSensorPatternOffset, mRecording.pattern);
    c.handle = api.CreateSimulation(c.context, c.id);
    if (!c.handle || api.Getinstance(c.id) != c.handle) {
        mReport.fatal = "CreateSimulation gave no instance for camera " + std::to_string(c.id);
        return false;
    }
    zeb_tools::VirtualSensorDriver::Install(api, c.handle);
    api.GetIspUpFlag(c.handle, c.updateFlags);
    return true;
}

void Emulator::AddCamera(int id, std::vector<TaskReport>* tasks, double* deleteSeconds) {
    auto camera = std::make_unique<Camera>();
    Camera& c = *camera;
    c.owner = this;
    c.index = mCameras.size();
    c.id = id;
    c.deleteSeconds = deleteSeconds;
    for (const auto& task : mRecording.tasks) {
        TaskReport report;
        report.id = task.id;
        report.mode = task.mode;
        report.expectedFrames = static_cast<int>(task.frames.size());
        tasks->push_back(report);
    }
    const size_t count = mRecording.tasks.size();
    c.capturesQueried.assign(count, 0);
    c.previewQueried.assign(count, false);
    CameraState state;
    state.tasks = tasks;
    state.firstFrameSeen.assign(count, false);
    state.stopSent.assign(count, false);
    state.stops.assign(count, 0);
    state.processed.assign(count, 0);
    // Tasks without frames are skipped by the library; the tool skips them too.
    if (!mRecording.tasks.empty() && mRecording.tasks[0].frames.empty()) state.cursor = NextTask(0);
    MutexLock guard(mLock);
    mStates.push_back(std::move(state));
    mCameras.push_back(std::move(camera));
}

// The output folder, the device's settings, the recording and the cameras.
int Emulator::Prepare() {
    namespace fs = std::filesystem;
    std::error_code failure;
    fs::create_directories(mOptions.outputDir, failure);
    if (!fs::is_directory(mOptions.outputDir, failure) || access(mOptions.outputDir.c_str(), W_OK) != 0) {
        // Nothing of the run could be reported: not worth playing it.
        mReport.fatal = "cannot write into the output folder " + mOptions.outputDir;
        return 1;
    }
    setenv("ZEB_DEVICE_ROOT", mOptions.deviceRoot.c_str(), 1);
    setenv("ZEB_TIME_SCALE", std::to_string(mOptions.timeScale).c_str(), 1);
    setenv("ZEB_LOG_LEVEL", std::to_string(mOptions.logLevel).c_str(), 1);
    if (!mOptions.logFile.empty()) setenv("ZEB_LOG_FILE", mOptions.logFile.c_str(), 1);
    zeb_platform::SetDeviceRoot(mOptions.deviceRoot);
    zeb_platform::SetTimeScale(mOptions.timeScale);
    zeb_platform::SetLogLevel(mOptions.logLevel);

    mRecording = ReadRecording(zeb_platform::DevicePath("/data/vendor/cameraserver/zeb/config/RawListFile.xml"));
    if (!mRecording.error.empty()) {
        mReport.fatal = mRecording.error;
        return 1;
    }
    mFrameIndex = std::make_unique<FrameIndex>(mRecording);
    const bool twoCameras = mOptions.secondCameraId >= 0;
    if (twoCameras && mOptions.secondCameraId == mOptions.cameraId) {
        mReport.fatal = "the second camera needs an id of its own";
        return 2;
    }
    if (twoCameras && !mRecording.tuning.swept.empty()) {
        // Both cameras' tuning updaters would rewrite the same tuning folders.
        mReport.fatal = "two cameras cannot play a task list with tuning sweeps";
        return 2;
    }
    AddCamera(mOptions.cameraId, &mReport.tasks, &mReport.deleteSeconds);
    if (twoCameras) {
        mReport.secondCamera.cameraId = mOptions.secondCameraId;
        AddCamera(mOptions.secondCameraId, &mReport.secondCamera.tasks, &mReport.secondCamera.deleteSeconds);
    }
    m3A = std::make_unique<Fake3A>(mRecording);
    if (!SetUpTuning()) return 2;
    return -1;
}

// A fresh device, the library loaded, the cameras opened as a HAL opens them.
int Emulator::StartLibrary() {
    // A fresh device: the test tool's switches, then the library.
    zeb_platform::ResetProperties();
    property_set("persist.vendor.cam.zeb.tester", mOptions.tester ? "1" : "0");
    property_set("persist.vendor.cam.zeb.post.process", "1");
    if (mOptions.ispTool) property_set("persist.vendor.cam.isptool.mode.enable", "true");
    for (const char* key : {"persist.vendor.cam.zeb.xtmhist.update", "persist.vendor.cam.zeb.ltmhist.update",
                            "persist.vendor.cam.zeb.bayerhist.update", "persist.vendor.cam.zeb.hist2.update"}) {
        property_set(key, "1");
    }
    if (!mLibrary.Load(mOptions.library, &mReport.fatal)) return 1;
    const zeb_tools::LibraryEntries& api = mLibrary.entries();

    // As the HAL opens its cameras: one after the other, from one thread.
    for (const auto& camera : mCameras) {
        if (!Open(*camera)) {
            api.CheckSimulationDeinit();
            mLibrary.Close();
            return 1;
        }
    }
    // The 3A algorithms' tables go to the library before the job starts. The
    // HAL has one table per algorithm per process: each camera's pipeline
    // hands the same one over.
    m3A->Start([this, &api](void* table, int kind) {
        for (const auto& camera : mCameras) api.GetIspAlgOps(camera->handle, table, kind);
    });
    api.SetDeviceReady(true);
    if (mOptions.ispTool) {
        mIspTool = std::make_unique<IspToolSession>(api.StreamingFamily<StreamingApi>(), mOptions.cameraId,
                                                    mOptions.previewWidth, mOptions.previewHeight);
        mIspTool->Open();
    }
    return -1;
}

// As a HAL would, start the job once the simulation has announced it is
// ready and the camera pipeline has come up (the warm-up).
void Emulator::StartJob() {
    const auto readyBy = Clock::now() + std::chrono::seconds(10);
    while (GetProperty("persist.vendor.cam.zeb.serverready") != "1" && Clock::now() < readyBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(mOptions.warmUpSeconds));
    // The sweeps are written by now: the library announces readiness after them.
    LoadSweeps(mRecording.tuning);
    mCombinations = mRecording.tuning.Combinations();
    mEntriesPerTask = std::max<size_t>(mCombinations, 1);
    for (const SweptBlock& block : mRecording.tuning.swept) mReport.sweptBlocks.push_back(block.name);
    memcpy(mReport.expectedUpdateFlags, mRecording.tuning.flags, sizeof mReport.expectedUpdateFlags);
    for (auto& task : mReport.tasks) task.expectedTuningEntries = static_cast<int>(mCombinations);
    Camera& first = *mCameras.front();
    first.reloads = zeb_platform::GetSensorTuningState(first.id).reloads;
    for (const auto& camera : mCameras) camera->pipeline = std::thread(&Emulator::Pipeline, this, std::ref(*camera));
    mStart = Clock::now();
    {
        MutexLock guard(mLock);
        mLastFrameAt = mStart;
    }
    for (const auto& camera : mCameras) {
        Progress(*camera, "job started: %zu task(s), camera %d%s", mRecording.tasks.size(), camera->id,
                 mOptions.tester ? ", tester mode" : "");
        mLibrary.entries().GenerateOneJob(camera->handle);
    }
    if (mIspTool) {
        mIspTool->Start();
        Progress(first, "ISP tool mode: preview frames of %d x %d go to a streaming client", mOptions.previewWidth,
                 mOptions.previewHeight);
    }
}

void Emulator::TearDown() {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    if (mIspTool) {
        mReport.ispTool = mIspTool->Stop(mOptions.outputDir + "/isp-tool-latest.png");
        mIspTool.reset();
        const IspToolReport& isp = mReport.ispTool;
        if (!isp.picture.empty()) {
            MutexLock guard(mLock);
            mPictureList.push_back(isp.picture);
        }
        mReport.errors += static_cast<int>(isp.errors.size());
        for (const auto& problem : isp.errors) fprintf(stderr, "ISP tool: %s\n", problem.c_str());
    }
    {
        MutexLock guard(mLock);
        mStopPipeline = true;
    }
    mCond.notify_all();
    for (const auto& camera : mCameras) camera->pipeline.join();
    m3A->Stop();
    if (mOptions.bypassMode && mCameras.front()->handle && !mReport.timedOut) {
        if (mReport.tuningName.empty()) {
            mReport.bypass.error = "no sensor tuning in the device root";
        } else {
            CallBypassMode();
        }
        if (!mReport.bypass.error.empty()) mReport.errors++;
    }

    for (const auto& camera : mCameras) {
        if (!camera->handle) continue;
        const auto begin = Clock::now();
        api.DeleteSimulation(camera->id);
        *camera->deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
    }
    // The pictures are written by now: the report names only those that were.
    for (const auto& [failed, why] : mPictures.Finish()) {
        MutexLock guard(mLock);
        mReport.unwritten.push_back(failed + ": " + why);
        mPictureList.erase(std::remove(mPictureList.begin(), mPictureList.end(), failed), mPictureList.end());
        for (CameraState& state : mStates) {
            for (auto& task : *state.tasks) {
                if (task.picture == failed) task.picture.clear();
            }
        }
    }
    {
        MutexLock guard(mLock);
        mReport.playSeconds = std::chrono::duration<double>(mLastFrameAt - mStart).count();
    }
    api.CheckSimulationDeinit();
    for (const auto& camera : mCameras) {
        // The library logs a failure line for an id without an instance, which
        // is what this check expects: not a failure of the run.
        const int level = zeb_platform::LogLevel();
        zeb_platform::SetLogLevel(0);
        const bool stillThere = api.Getinstance(camera->id) != nullptr;
        zeb_platform::SetLogLevel(level);
        if (stillThere) mReport.errors++;
    }
    mLibrary.Close();
}

// What the drivers' threads found goes into the report once they are gone.
void Emulator::HandOver() {
    MutexLock guard(mLock);
    mReport.pictures.insert(mReport.pictures.end(), mPictureList.begin(), mPictureList.end());
    mPictureList.clear();
    mReport.errors += mForeignContexts;
    mForeignContexts = 0;
}

int Emulator::Tally() {
    const bool twoCameras = TwoCameras();
    MutexLock guard(mLock);
    // With two cameras the offline 3A modules, one per kind per process, hold
    // whichever camera handed its records over last: the HAL's algorithms may
    // get the other camera's, so their results are reported, not checked.
    mReport.threeAChecked = !twoCameras;
    const std::vector<ThreeAReport> threeA = m3A->Reports();
    for (size_t t = 0; t < threeA.size() && t < mReport.tasks.size(); ++t) {
        mReport.tasks[t].threeA = threeA[t];
        if (twoCameras) continue;
        for (const std::string& problem : threeA[t].errors) mReport.tasks[t].errors.push_back("3A: " + problem);
    }
    mReport.threeAErrors = m3A->Errors();
    mReport.errors += static_cast<int>(mReport.threeAErrors.size());
    for (CameraState& state : mStates) {
        for (auto& task : *state.tasks) {
            if (task.expectedFrames > 0 && !task.completed && !mReport.deleted) {
                task.errors.push_back("task did not complete");
            }
            mReport.errors += static_cast<int>(task.errors.size());
        }
    }
    if (mReport.timedOut) mReport.errors++;
    return mReport.errors == 0 ? 0 : 1;
}

int Emulator::Run() {
    int early = Prepare();
    if (early < 0) early = StartLibrary();
    if (early >= 0) {
        HandOver();
        return early;
    }
    StartJob();
    PlayTaskList();
    TearDown();
    HandOver();
    return Tally();
}

int RunEmulator(const EmulatorOptions& options, RunReport* report) {
    Emulator emulator(options, *report);
    int result = emulator.Run();
    report->reportPath = WriteReport(options, *report);
    if (report->reportPath.empty()) report->unwritten.push_back(options.outputDir + "/report.json: cannot be written");
    return report->unwritten.empty() ? result : 1;
}

}  // namespace zeb_hal
