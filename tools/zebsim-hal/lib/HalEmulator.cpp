#include "zebsim-hal/lib/HalEmulator.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "frame/HalRecords.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "platform/SensorTuning.h"
#include "platform/TuningBin.h"
#include <pugixml.hpp>
#include "core/RecordOffsets.h"
#include "parameter/SceneInfo.h"
#include "simulation/SimulationWrapper.h"
#include "tuning/ParameterUpdate.h"
#include "zebsim-hal/lib/Recording.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_hal {
namespace {
using namespace ZEB;
using Clock = std::chrono::steady_clock;

const char* const kCapReady = "persist.vendor.cam.zeb.capready";
const char* const kProcess = "persist.vendor.cam.zeb.process";
const char* const kDumpRoot = "persist.vendor.cam.icap.dump.root.path";
const char* const kSetDeviceReady = "_ZN3ZEB26SimulationControlInterface14SetDeviceReadyEb";

// The library's entry points, resolved one by one.
struct Api {
#define ZEB_HAL_MEMBER(name) decltype(&::name) name = nullptr;
    ZEB_ENTRY_POINTS(ZEB_HAL_MEMBER)
#undef ZEB_HAL_MEMBER
    void (*SetDeviceReady)(bool) = nullptr;
};

std::string GetProperty(const char* key) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key, value, "");
    return value;
}

int AlignedStride(int width) { return ((width * 5 / 4) + 15) / 16 * 16; }

// A frame the fake driver received, or the preview resuming after a snapshot.
struct FrameEvent {
    size_t task;
    int frameIndex;  // index in the task's frames, -1 when it matched none
    bool capture;
    bool resume = false;
};

class Emulator {
public:
    Emulator(const EmulatorOptions& options, RunReport& report) : mOptions(options), mReport(report) {}
    int Run();

    static long SensorIoctl(void* sensor, unsigned int, unsigned long tag, unsigned long record) {
        return static_cast<Emulator*>(sensor)->OnCommand(tag, record);
    }
    static long Grab(void*, void*) { return 0; }
    static void ScenarioUpdate(void*) {}

private:
    bool Load();
    long OnCommand(unsigned long tag, unsigned long record);
    void OnFrame(const isp_raw_proc_info& info);
    void Pipeline();
    void PreviewQueries(size_t task);
    void CaptureQueries(size_t task, int captureIndex);
    void CheckParamSet(size_t task);
    bool SetUpTuning();
    void RecordTuningEntry(size_t task, const std::string& outputFolder);
    void CallBypassMode();
    std::map<std::string, int32_t> BypassWords() const;
    void Check(size_t task, const std::string& query, bool ok, const std::string& detail = "");
    void Progress(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Timeline(const char* property, const std::string& value);
    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - mStart).count(); }
    TaskReport& TaskOf(size_t task) { return mReport.tasks[task]; }
    bool AllDone();
    // The next task after `task` that has frames (the library skips the others).
    size_t NextTask(size_t task) const {
        do {
            ++task;
        } while (task < mRecording.tasks.size() && mRecording.tasks[task].frames.empty());
        return task;
    }

    const EmulatorOptions& mOptions;
    RunReport& mReport;
    Recording mRecording;
    Api mApi;
    void* mLibrary = nullptr;
    void* mPlugin = nullptr;  // libcorvale.so, loaded ahead of the library under the sanitizers
    void* mHandle = nullptr;
    std::unique_ptr<Fake3A> m3A;  // the HAL's 3A algorithms
    alignas(8) uint8_t mContext[256] = {0};
    uint8_t mUpdateFlags[20] = {0};
    Clock::time_point mStart = Clock::now();

    // State shared between the driver's thread (the ioctl), the pipeline
    // thread and the tool loop.
    std::mutex mLock;
    std::condition_variable mCond;
    size_t mCursor = 0;  // first task not yet completed
    size_t mActive = 0;  // task of the latest frame
    std::vector<bool> mStopSent;  // the last snapshot of the task has stopped
    size_t mEntriesPerTask = 1;    // captures a task takes: one per tuning entry
    std::vector<size_t> mStops;      // snapshot stops sent, per task
    std::vector<size_t> mProcessed;  // captures processed, per task
    std::vector<std::string> mTuningFolders;  // scenario folders of the firmware tuning folder
    uint64_t mReloads = 0;  // sensor reloads seen so far
    size_t mAwaitingProcess = SIZE_MAX;  // task whose snapshot stopped, until its process signal
    int mFps = 0;
    bool mCaptureEnded = false;  // the sensor resumed after capture frames
    std::deque<FrameEvent> mEvents;
    bool mPipelineBusy = false;
    bool mStopPipeline = false;
    std::vector<int> mCapturesQueried;
    std::vector<bool> mFirstFrameSeen;
    std::vector<bool> mPreviewQueried;
    std::atomic<bool> mDeleting{false};
    std::unique_ptr<IspToolSession> mIspTool;
};

void Emulator::Progress(const char* format, ...) {
    if (!mOptions.progress) return;
    va_list args;
    va_start(args, format);
    printf("[%7.3fs] ", Elapsed());
    vprintf(format, args);
    printf("\n");
    fflush(stdout);
    va_end(args);
}

void Emulator::Timeline(const char* property, const std::string& value) {
    std::lock_guard<std::mutex> guard(mLock);
    mReport.timeline.push_back({Elapsed(), property, value, mActive < mReport.tasks.size() ? mReport.tasks[mActive].id : -1});
}

void Emulator::Check(size_t task, const std::string& query, bool ok, const std::string& detail) {
    std::lock_guard<std::mutex> guard(mLock);
    TaskReport& report = TaskOf(task);
    if (ok) {
        report.queriesChecked.push_back(query);
    } else {
        report.errors.push_back(query + " differs from the recording" + (detail.empty() ? "" : ": " + detail));
    }
}

bool Emulator::Load() {
#ifdef ZEB_SANITIZED
    // The sanitizers' dlopen interceptor, not the library, becomes the caller
    // of the library's dlopen("libcorvale.so"), so the library's run path (its
    // own folder) is not searched. Load the plugin lying beside the library
    // first: its name then answers the library's load as the run path would.
    const std::string plugin = (std::filesystem::path(mOptions.library).parent_path() / "libcorvale.so").string();
    if (std::filesystem::exists(plugin)) mPlugin = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    mLibrary = dlopen(mOptions.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mLibrary) {
        mReport.fatal = std::string("cannot load the library: ") + dlerror();
        return false;
    }
    std::string missing;
#define ZEB_HAL_RESOLVE(name)                                                          \
    mApi.name = reinterpret_cast<decltype(mApi.name)>(dlsym(mLibrary, #name));        \
    if (!mApi.name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    ZEB_ENTRY_POINTS(ZEB_HAL_RESOLVE)
#undef ZEB_HAL_RESOLVE
    mApi.SetDeviceReady = reinterpret_cast<void (*)(bool)>(dlsym(mLibrary, kSetDeviceReady));
    if (!mApi.SetDeviceReady) missing += std::string(missing.empty() ? "" : ", ") + "SimulationControlInterface::SetDeviceReady";
    if (!missing.empty()) {
        mReport.fatal = "entry points missing from " + mOptions.library + ": " + missing;
        return false;
    }
    return true;
}

long Emulator::OnCommand(unsigned long tag, unsigned long record) {
    if (tag != kVirtualSensorIoctlTag || !record) return -1;
    vsensor_cmd_t command;
    memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
    void* param = reinterpret_cast<void*>(command.param);
    switch (command.cmd) {
        case VSENSOR_CMD_GET_BINNING_FACTOR:
            if (param) static_cast<vsensor_binning_info_t*>(param)->factor = 1;
            return 0;
        case VSENSOR_CMD_SET_FRAME:
            if (param) OnFrame(*static_cast<const isp_raw_proc_info*>(param));
            return 0;
        case VSENSOR_CMD_PAUSE: {
            int32_t pause = 0;
            if (param) memcpy(&pause, param, sizeof pause);
            std::lock_guard<std::mutex> guard(mLock);
            if (pause == 0 && mFps == 8) {
                // The preview resumes after the snapshot: the 3A run on it once
                // more before the HAL reports the snapshot done.
                mEvents.push_back({mActive, -1, false, true});
                mCaptureEnded = true;
                mCond.notify_all();
            }
            return 0;
        }
        case VSENSOR_CMD_SET_FPS: {
            int32_t fps = 0;
            if (param) memcpy(&fps, param, sizeof fps);
            std::lock_guard<std::mutex> guard(mLock);
            mFps = fps;
            return 0;
        }
        case VSENSOR_CMD_SET_OEM_CXT: {
            vsensor_oem_cxt_t cxt{};
            if (param) memcpy(&cxt, param, sizeof cxt);
            if (cxt.oem_cxt != mContext) {
                std::lock_guard<std::mutex> guard(mLock);
                mReport.errors++;
                fprintf(stderr, "the OEM context handed to the driver is not the HAL's\n");
            }
            return 0;
        }
        default:
            return 0;
    }
}

// Runs on the library's driver thread: the frame's buffer is read now, while
// the library guarantees it.
void Emulator::OnFrame(const isp_raw_proc_info& info) {
    std::vector<uint8_t> packed;
    const int width = static_cast<int>(info.width), height = static_cast<int>(info.height);
    std::string problem;
    if (info.type != 3 || memcmp(info.format, "GREY", 4) != 0 || info.pattern != mRecording.pattern || info.offset != 0) {
        problem = "frame record fields";
    }
    const int line = width * 5 / 4, stride = AlignedStride(width);
    if (width > 0 && height > 0 && info.fd >= 0) {
        const size_t bytes = static_cast<size_t>(stride) * static_cast<size_t>(height);
        void* mapped = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, info.fd, 0);
        if (mapped != MAP_FAILED) {
            packed.resize(static_cast<size_t>(line) * static_cast<size_t>(height));
            for (int r = 0; r < height; ++r) {
                memcpy(packed.data() + static_cast<size_t>(r) * line, static_cast<uint8_t*>(mapped) + static_cast<size_t>(r) * stride,
                       static_cast<size_t>(line));
            }
            munmap(mapped, bytes);
        } else {
            problem = "frame descriptor does not map";
        }
    }
    std::lock_guard<std::mutex> guard(mLock);
    const bool capture = mFps == 8;
    // The frame's task is the one whose recording holds its bytes; a frame
    // without an image (a missing folder) belongs to the task being played.
    size_t owner = SIZE_MAX;
    int index = -1;
    for (size_t t = 0; t < mRecording.tasks.size() && index < 0 && !packed.empty(); ++t) {
        const auto& frames = mRecording.tasks[t].frames;
        for (size_t i = 0; i < frames.size(); ++i) {
            if (frames[i].packedRaw == packed) {
                owner = t;
                index = static_cast<int>(i);
                break;
            }
        }
    }
    if (owner == SIZE_MAX) {
        owner = mCursor;
        // Once a task's snapshot has stopped, its frames are done: the next one is playing.
        if (owner < mStopSent.size() && mStopSent[owner]) owner = NextTask(owner);
    }
    if (owner >= mRecording.tasks.size()) return;
    for (size_t t = mCursor; t < owner; ++t) {
        // Tasks passed over by the library never get frames.
        if (!mRecording.tasks[t].frames.empty() && !mReport.tasks[t].completed && !mFirstFrameSeen[t]) {
            mReport.tasks[t].errors.push_back("task was not played");
            mReport.tasks[t].completed = true;
        }
    }
    if (owner > mCursor) mCursor = owner;
    mActive = owner;
    const ExpectedTask& task = mRecording.tasks[owner];
    TaskReport& report = mReport.tasks[owner];
    (capture ? report.captureFrames : report.previewFrames)++;
    if (index >= 0) {
        report.matchedFrames++;
    } else if (packed.empty()) {
        bool folderMissing = false;
        for (const auto& frame : task.frames) folderMissing |= !frame.present;
        if (!folderMissing) report.errors.push_back("frame without an image");
    } else {
        report.errors.push_back("frame bytes match no frame of the task");
    }
    if (!problem.empty()) report.errors.push_back(problem);
    if (!packed.empty() && report.picture.empty()) {
        std::string path = mOptions.outputDir + "/task" + std::to_string(task.id) + ".png";
        if (zeb_recgen::WriteRawPreviewPng(path, packed.data(), width, height, static_cast<size_t>(line),
                                           static_cast<zeb_recgen::BayerPattern>(mRecording.pattern))) {
            report.picture = path;
            mReport.pictures.push_back(path);
        }
    }
    mFirstFrameSeen[owner] = true;
    mEvents.push_back({owner, index, capture});
    mCond.notify_all();
}

void Emulator::Pipeline() {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mCond.wait(lock, [this] { return mStopPipeline || !mEvents.empty(); });
        if (mEvents.empty()) return;
        FrameEvent event = mEvents.front();
        mEvents.pop_front();
        mPipelineBusy = true;
        lock.unlock();
        if (!mDeleting.load()) {
            m3A->Cycle(event.task, event.resume    ? CyclePhase::Resume
                                   : event.capture ? CyclePhase::Capture
                                                   : CyclePhase::Preview);
        }
        if (!mDeleting.load() && !event.resume) {
            if (event.capture) {
                CaptureQueries(event.task, mCapturesQueried[event.task]++);
            } else {
                // A preview frame takes the HAL tens of milliseconds on a device:
                // long enough for the test tool to have consumed the last
                // process signal, which the library's count depends on.
                const auto by = Clock::now() + std::chrono::seconds(1);
                while (GetProperty(kProcess) == "1" && Clock::now() < by) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                mApi.GetPrevYuvFrame(mHandle);
                // Only this thread touches mPreviewQueried.
                if (!mPreviewQueried[event.task]) {
                    mPreviewQueried[event.task] = true;
                    PreviewQueries(event.task);
                }
            }
        }
        lock.lock();
        mPipelineBusy = false;
        mCond.notify_all();
    }
}

void Emulator::PreviewQueries(size_t index) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty()) return;
    const ExpectedFrame& first = task.frames.front();
    const std::vector<uint8_t>& scene = task.scene;
    if (task.hasScene) {
        uint8_t info[SceneInfoOut::kSize];
        memset(info, 0xab, sizeof info);
        mApi.GetFrameSceneInfo(mHandle, info);
        bool ok = ReadField<int32_t>(info, SceneInfoOut::kIsHdrScene) == SceneInt(scene, SceneRecord::kIsHdrScene) &&
                  ReadField<int32_t>(info, SceneInfoOut::kIsMfnrScene) == SceneInt(scene, SceneRecord::kIsMfnrScene) &&
                  ReadField<int32_t>(info, SceneInfoOut::kIsMfnrHdrScene) == SceneInt(scene, SceneRecord::kIsMfnrHdrScene) &&
                  ReadField<int32_t>(info, SceneInfoOut::kIsRawMfnrScene) == SceneInt(scene, SceneRecord::kIsRawMfnrScene) &&
                  ReadField<int32_t>(info, SceneInfoOut::kSessionMode) == SceneInt(scene, SceneRecord::kSessionMode) &&
                  ReadField<int32_t>(info, SceneInfoOut::kWidth) == SceneInt(scene, SceneRecord::kWidth) &&
                  ReadField<int32_t>(info, SceneInfoOut::kHeight) == SceneInt(scene, SceneRecord::kHeight) &&
                  ReadField<float>(info, SceneInfoOut::kZoomRatio) == SceneFloat(scene, SceneRecord::kZoomRatio) &&
                  ReadField<int32_t>(info, SceneInfoOut::kAppMode) == SceneInt(scene, SceneRecord::kAppMode) &&
                  ReadField<int32_t>(info, SceneInfoOut::kTopAppId) == SceneInt(scene, SceneRecord::kTopAppId) &&
                  ReadField<int32_t>(info, SceneInfoOut::kZoltAppmodeId) == SceneInt(scene, SceneRecord::kZoltAppmodeId) &&
                  info[16] == 0xab;
        Check(index, "GetFrameSceneInfo", ok);

        uint8_t smart[SmartInfoOut::kSize];
        memset(smart, 0xab, sizeof smart);
        mApi.GetFrameSmartInfo(mHandle, smart);
        ok = ReadField<int32_t>(smart, SmartInfoOut::kAppMode) == SceneInt(scene, SceneRecord::kAppMode) &&
             ReadField<int32_t>(smart, SmartInfoOut::kAblWeight) == SceneInt(scene, SceneRecord::kAblWeight) &&
             ReadField<int32_t>(smart, SmartInfoOut::kSensorGain) == SceneInt(scene, SceneRecord::kSensorGain) &&
             ReadField<int32_t>(smart, SmartInfoOut::kIspGain) == SceneInt(scene, SceneRecord::kIspGain) &&
             ReadField<int32_t>(smart, SmartInfoOut::kAwbCt) == SceneInt(scene, SceneRecord::kAwbCt) &&
             ReadField<int32_t>(smart, SmartInfoOut::kBv) == SceneInt(scene, SceneRecord::kBv) && smart[8] == 0xab;
        Check(index, "GetFrameSmartInfo", ok);

        uint8_t android[AndroidInfoOut::kSize];
        mApi.GetFrameAndroidInfo(mHandle, android);
        ok = ReadField<int32_t>(android, AndroidInfoOut::kAeMode) == SceneInt(scene, SceneRecord::kAeMode) &&
             ReadField<int32_t>(android, AndroidInfoOut::kFlashMode) == SceneInt(scene, SceneRecord::kFlashMode) &&
             ReadField<int32_t>(android, AndroidInfoOut::kLcdFlashMode) == SceneInt(scene, SceneRecord::kLcdFlashMode);
        Check(index, "GetFrameAndroidInfo", ok);
    }

    const auto zolt = first.Dump("ZOLTDEF_INFO.bin", ZoltDef::kSize);
    const auto control = first.Dump("CONTROL_INFO.bin", ControlInfo::kSize);
    const auto aeResult = first.Dump("AE_RESULT_INFO.bin", AeResult::kSize);
    uint8_t manual[ManualInfoOut::kSize] = {0};
    mApi.GetFrameManualInfo(mHandle, manual);
    bool ok = task.hasScene
                  ? manual[ManualInfoOut::kWbMode] == control[ControlInfo::kWbMode] &&
                        manual[ManualInfoOut::kSaturation] == zolt[ZoltDef::kSaturation] &&
                        manual[ManualInfoOut::kContrast] == zolt[ZoltDef::kContrast] &&
                        manual[ManualInfoOut::kAmMode] == zolt[ZoltDef::kAmMode] &&
                        ReadField<int32_t>(manual, ManualInfoOut::kWbCt) == ReadField<int32_t>(zolt.data(), ZoltDef::kWbCt) &&
                        ReadField<int32_t>(manual, ManualInfoOut::kIso) == zolt[ZoltDef::kIso] &&
                        ReadField<int32_t>(manual, ManualInfoOut::kAeExposureCompensation) ==
                            ReadField<int32_t>(control.data(), ControlInfo::kAeExposureCompensation) &&
                        ReadField<int32_t>(manual, ManualInfoOut::kSensitivity) ==
                            ReadField<int32_t>(aeResult.data(), AeResult::kGain)
                  : true;
    Check(index, "GetFrameManualInfo", ok);

    // Public statistic types: 9 hist2, 10 gtm histogram, 1 AEM, 8 LSCM.
    const std::pair<int, const char*> statistics[] = {
        {9, "HIST2_DATA_INFO.bin"}, {10, "GTMHIST_DATA_INFO.bin"}, {1, "AEM_DATA_INFO.bin"}, {8, "LSCM_DATA_INFO.bin"}};
    for (const auto& statistic : statistics) {
        if (!first.Has(statistic.second) || first.dumps.at(statistic.second).empty()) continue;
        const auto& expected = first.dumps.at(statistic.second);
        std::vector<uint8_t> out(expected.size(), 0xcd);
        mApi.GetFrameStatisInfo(mHandle, statistic.first, reinterpret_cast<unsigned long>(out.data()),
                                static_cast<unsigned int>(out.size()));
        Check(index, std::string("GetFrameStatisInfo ") + std::to_string(statistic.first), out == expected);
    }
    {
        uint8_t out[64];
        memset(out, 0xcd, sizeof out);
        mApi.GetFrameStatisInfo(mHandle, 2, reinterpret_cast<unsigned long>(out), sizeof out);
        bool untouched = true;
        for (uint8_t byte : out) untouched &= byte == 0xcd;
        Check(index, "GetFrameStatisInfo 2", untouched);
    }

    // SetDataUpdateFunc reads frame mTaskSeq, 0 before any ZSL copy.
    const std::pair<int, std::pair<const char*, size_t>> updates[] = {{5, {"XTMHIST_INFO.bin", 560}},
                                                                      {6, {"LTMHIST_INFO.bin", 16396}},
                                                                      {7, {"HIST2_INFO.bin", 1048}},
                                                                      {8, {"BAYHIST_INFO.bin", 3144}}};
    for (const auto& update : updates) {
        std::vector<uint8_t> out(update.second.second, 0xcd);
        mApi.SetDataUpdateFunc(mHandle, update.first, out.data());
        Check(index, std::string("SetDataUpdateFunc ") + std::to_string(update.first),
              out == first.Dump(update.second.first, update.second.second));
    }

    void* list = nullptr;
    int count = -1;
    bool listed = mApi.GetFrameYuv(mHandle, &list, &count);
    Check(index, "GetFrameYuv", listed && list && count == 0);
}

void Emulator::CaptureQueries(size_t index, int captureIndex) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty()) return;
    const std::vector<uint8_t>& scene = task.scene;
    const size_t frames = task.frames.size();
    const bool hdr = SceneInt(scene, SceneRecord::kIsHdrScene) != 0;
    const bool mfnr = SceneInt(scene, SceneRecord::kIsMfnrScene) != 0;
    const bool mfnrHdr = SceneInt(scene, SceneRecord::kIsMfnrHdrScene) != 0;

    const ExpectedFrame& zsl = task.frames[static_cast<size_t>(captureIndex) % frames];
    const size_t yuvBytes = static_cast<size_t>(zsl.yuvWidth) * zsl.yuvHeight * 3 / 2;
    if (task.hasScene && frames > 1 && (hdr || mfnr) && yuvBytes > 0) {
        std::vector<uint8_t> out(yuvBytes, 0);
        mApi.GetZSLYuvFrame(mHandle, out.data());
        std::vector<uint8_t> expected(yuvBytes, 0);
        memcpy(expected.data(), zsl.yuv.data(), std::min(yuvBytes, zsl.yuv.size()));
        Check(index, "GetZSLYuvFrame", out == expected);
    }
    if (task.hasScene && (hdr || mfnrHdr) && captureIndex < SceneRecord::kEvCount) {
        const float ev = mApi.GetFrameEvStatus(mHandle);
        const float expected = SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(captureIndex));
        Check(index, "GetFrameEvStatus", ev == expected, std::to_string(ev) + " for " + std::to_string(expected));
    }
    // Capture k of every task gets frame k's record; the first once past the end.
    uint8_t offline[kOfflineAeSize];
    memset(offline, 0xcd, sizeof offline);
    mApi.SetAeOfflineInfoFunc(mHandle, offline);
    const ExpectedFrame& owner = task.frames[static_cast<size_t>(captureIndex) < frames ? captureIndex : 0];
    Check(index, "SetAeOfflineInfoFunc",
          memcmp(offline, owner.Dump("OFFLINE_AE_INFO.bin", kOfflineAeSize).data(), sizeof offline) == 0,
          "capture " + std::to_string(captureIndex));
}

// The records the hand-over gave the post-processing parameter set, rebuilt
// from the recording's files and scene file.
void Emulator::CheckParamSet(size_t index) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty() || !task.hasScene) return;
    const ExpectedFrame& first = task.frames.front();
    const std::vector<uint8_t>& scene = task.scene;
    const int camera = mOptions.cameraId;

    std::vector<uint8_t> faces(FaceRecord::kSize, 0);
    const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(SceneInt(scene, SceneRecord::kFaceCount)),
                                              static_cast<uint32_t>(FaceRecord::kMaxFaces));
    WriteField<uint64_t>(faces.data(), FaceRecord::kCount, count);
    for (uint32_t i = 0, j = 0; i < count && j < SceneRecord::kFaceListLength; ++i) {
        const size_t at = SceneRecord::kFacePrev + 4 * j;
        if (SceneInt(scene, at) == static_cast<int32_t>(i) && j + 4 < SceneRecord::kFaceListLength) {
            memcpy(faces.data() + FaceRecord::kFace0 + FaceRecord::kFaceStride * i, scene.data() + at + 4, 16);
            j += 5;
        } else {
            j += 1;
        }
    }
    zeb_platform::PsRecord record = zeb_platform::GetPsRecord(camera, PsId::kFacePrev);
    Check(index, "parameter 2050", record.setCount > 0 && record.data == faces);

    record = zeb_platform::GetPsRecord(camera, PsId::kFaceCap);
    Check(index, "parameter 2104", record.setCount > 0 && record.data == first.Dump("FD_SNAPSHOT.bin", FaceRecord::kSize));

    const uint32_t postproc = static_cast<uint32_t>(SceneInt(scene, SceneRecord::kPostprocType));
    auto evOf = [&](int64_t i) {
        return i >= 0 && i < SceneRecord::kEvCount ? SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(i)) : 0.0f;
    };
    if (postproc & 0x111006u) {
        std::vector<uint8_t> capAe = first.Dump("CAP_AE_PARAMS.bin", CapAeParams::kSize);
        for (int i = 0; i < SceneRecord::kEvCount; ++i) WriteField(capAe.data(), CapAeParams::Slot(i), evOf(i));
        record = zeb_platform::GetPsRecord(camera, PsId::kCapAeParams);
        Check(index, "parameter 2061", record.setCount > 0 && record.data == capAe);
    }

    std::vector<uint8_t> sdOut = first.Dump("SCENE_DETECT_OUT.bin", SceneDetectOut::kSize);
    const int32_t normal = SceneInt(scene, SceneRecord::kNormalNum);
    for (int i = 0; i < SceneRecord::kEvCount; ++i) WriteField(sdOut.data(), SceneDetectOut::kEv + 4 * i, evOf(i));
    WriteField(sdOut.data(), SceneDetectOut::kPostprocType, postproc);
    WriteField(sdOut.data(), SceneDetectOut::kNormalNum, normal);
    WriteField(sdOut.data(), SceneDetectOut::kTotalNum, SceneInt(scene, SceneRecord::kTotalNum));
    if (postproc & 0x11006u) {
        WriteField(sdOut.data(), SceneDetectOut::kEv, evOf(normal));
        WriteField(sdOut.data(), SceneDetectOut::kEv + 4, evOf(static_cast<int64_t>(normal) + 1));
        WriteField(sdOut.data(), SceneDetectOut::kEv + 8, evOf(0));
    } else if (postproc & 0x80000u) {
        memset(sdOut.data() + SceneDetectOut::kEv, 0, 40);
        WriteField(sdOut.data(), SceneDetectOut::kEv, evOf(normal));
    }
    if (SceneInt(scene, SceneRecord::kTotalNum) == 1) {
        for (size_t offset : SceneDetectOut::kMultiFrameFields) WriteField<int32_t>(sdOut.data(), offset, 0);
    }
    record = zeb_platform::GetPsRecord(camera, PsId::kSceneDetect);
    Check(index, "parameter 2056", record.setCount > 0 && record.data == sdOut);
}

// Names the sensor's tuning to the sensor side, before the library asks.
bool Emulator::SetUpTuning() {
    namespace fs = std::filesystem;
    const fs::path firmware = zeb_platform::DevicePath("/vendor/firmware");
    std::string name = mOptions.tuningName;
    std::error_code error;
    if (name.empty() && fs::is_directory(firmware, error)) {
        int found = 0;
        for (const auto& entry : fs::directory_iterator(firmware, error)) {
            if (fs::is_regular_file(entry.path() / "cfg.xml", error)) {
                name = entry.path().filename().string();
                ++found;
            }
        }
        if (found > 1) {
            mReport.fatal = "several tuning folders under " + firmware.string() + ": name one with --tuning-name";
            return false;
        }
        if (found == 0) name.clear();
    }
    mReport.tuningName = name;
    if (name.empty()) return true;
    zeb_platform::SetSensorTuningName(mOptions.cameraId, name);
    pugi::xml_document cfg;
    cfg.load_file((firmware / name / "cfg.xml").c_str());
    for (pugi::xml_node scenario : cfg.child("cfg").children("scenario")) {
        const std::string alias = scenario.attribute("alia").value();
        if (std::find(mTuningFolders.begin(), mTuningFolders.end(), alias) == mTuningFolders.end()) {
            mTuningFolders.push_back(alias);
        }
    }
    mTuningFolders.push_back("com");
    return true;
}

// Runs when the library announces a tuning entry's capture: by then it has
// installed the entry's combination and the sensor side has reloaded it.
void Emulator::RecordTuningEntry(size_t task, const std::string& outputFolder) {
    const ExpectedTuning& tuning = mRecording.tuning;
    // The HAL captures once the sensor has applied its tuning.
    if (!zeb_platform::WaitSensorIdle(mOptions.cameraId, std::chrono::seconds(10))) {
        Check(task, "sensor reload", false, "still being applied after 10 s");
    }
    const zeb_platform::SensorTuningState state = zeb_platform::GetSensorTuningState(mOptions.cameraId);
    TuningEntryReport entry;
    {
        std::lock_guard<std::mutex> guard(mLock);
        entry.index = static_cast<int>(mReport.tasks[task].tuning.size());
    }
    entry.outputFolder = outputFolder;
    entry.reloads = state.reloads;
    entry.triggerLoads = state.triggerLoads;
    memcpy(entry.updateFlags, mUpdateFlags, sizeof entry.updateFlags);
    for (const auto& file : state.files) {
        entry.loaded.push_back({file.path, file.blockId, file.bypass, file.checksum, file.values});
    }
    entry.rejected = state.rejected;
    std::vector<std::string> errors;
    size_t stride = 1;
    for (const SweptBlock& block : tuning.swept) {
        // The alternative every scenario folder holds, by value.
        int held = -2;
        for (const std::string& folder : mTuningFolders) {
            int match = -1;
            for (const auto& file : state.files) {
                if (file.path != folder + "/" + block.binName) continue;
                for (size_t k = 0; k < block.alternatives.size(); ++k) {
                    if (file.values == block.alternatives[k]) match = static_cast<int>(k);
                }
            }
            held = held == -2 || held == match ? match : -1;
        }
        held = std::max(held, -1);
        entry.combination.push_back(held);
        entry.combinationFiles.push_back(held >= 0 ? block.files[static_cast<size_t>(held)] : std::string());
        const int expected = static_cast<int>((static_cast<size_t>(entry.index) / stride) % block.alternatives.size());
        stride *= block.alternatives.size();
        if (held != expected) {
            errors.push_back("tuning entry " + std::to_string(entry.index) + ": block " + block.name + " holds " +
                             (held < 0 ? std::string("no single sweep frame") : "sweep frame " + std::to_string(held)) +
                             ", expected " + std::to_string(expected));
        }
    }
    if (entry.reloads != mReloads + 1) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": sensor reloads went from " +
                         std::to_string(mReloads) + " to " + std::to_string(entry.reloads));
    }
    mReloads = entry.reloads;
    if (memcmp(entry.updateFlags, tuning.flags, sizeof entry.updateFlags) != 0) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": update flags differ from the block list's");
    }
    std::lock_guard<std::mutex> guard(mLock);
    TaskReport& report = mReport.tasks[task];
    report.tuning.push_back(std::move(entry));
    report.errors.insert(report.errors.end(), errors.begin(), errors.end());
}

// The bypass word of every binary tuning file of the scenario folders, read
// from the header as the sensor side reads it.
std::map<std::string, int32_t> Emulator::BypassWords() const {
    namespace fs = std::filesystem;
    std::map<std::string, int32_t> words;
    const fs::path tuning = zeb_platform::DevicePath("/vendor/firmware/" + mReport.tuningName);
    for (const std::string& folder : mTuningFolders) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(tuning / folder, error)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".bin") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t at = zeb_platform::IsTriggerTuningName(name) ? 8 : 12;
            if (bytes.size() >= at + 4) words[folder + "/" + name] = ReadField<int32_t>(bytes.data(), at);
        }
    }
    return words;
}

// UpateBypassMode is a member of the library's exported ParameterUpdate: a
// caller outside the library builds one of its own through the library's
// entries, as the test tool would, and hands it the first task's scene.
void Emulator::CallBypassMode() {
    BypassReport& report = mReport.bypass;
    using Construct = void (*)(void*, int32_t, TaskMap*);
    using Destroy = void (*)(void*);
    using WaitStartup = bool (*)(void*);
    using BypassMode = void (*)(void*, int64_t, const iSceneInfo*, zeb_update_flag*);
    auto construct = reinterpret_cast<Construct>(dlsym(
        mLibrary, "_ZN3ZEB15ParameterUpdateC1EiPSt3mapIlSt10shared_ptrINS_8TaskInfoEESt4lessIlESaISt4pairIKlS4_EEE"));
    auto destroy = reinterpret_cast<Destroy>(dlsym(mLibrary, "_ZN3ZEB15ParameterUpdateD1Ev"));
    auto waitStartup = reinterpret_cast<WaitStartup>(dlsym(mLibrary, "_ZN3ZEB15ParameterUpdate11WaitStartupEv"));
    auto bypassMode = reinterpret_cast<BypassMode>(
        dlsym(mLibrary, "_ZN3ZEB15ParameterUpdate15UpateBypassModeElPKNS_10iSceneInfoEPNS_15zeb_update_flagE"));
    if (!construct || !destroy || !waitStartup || !bypassMode) {
        report.error = "ParameterUpdate's constructor, destructor, WaitStartup or UpateBypassMode is not exported";
        return;
    }
    iSceneInfo scene{};
    for (const ExpectedTask& task : mRecording.tasks) {
        if (!task.hasScene) continue;
        scene.commonInfo.prv_scenario_id = task.prvScenario;
        scene.commonInfo.cap_scenario_id = task.capScenario;
        scene.Valid = 1;
        break;
    }
    const std::map<std::string, int32_t> before = BypassWords();
    // Its bypass operations never read the task map; it only has to exist.
    TaskMap tasks;
    alignas(ParameterUpdate) unsigned char storage[sizeof(ParameterUpdate)];
    zeb_update_flag flags;
    memset(&flags, 0x7f, sizeof flags);
    construct(storage, mOptions.cameraId, &tasks);
    if (waitStartup(storage)) bypassMode(storage, 0, &scene, &flags);
    destroy(storage);
    report.called = true;
    memcpy(report.updateFlags, &flags, sizeof report.updateFlags);
    if (!zeb_platform::WaitSensorIdle(mOptions.cameraId, std::chrono::seconds(10))) {
        report.error = "the sensor reload was still being applied after 10 s";
    }
    report.reloads = zeb_platform::GetSensorTuningState(mOptions.cameraId).reloads;
    for (const auto& word : BypassWords()) {
        auto old = before.find(word.first);
        report.files.push_back({word.first, old == before.end() ? 0 : old->second, word.second});
    }
    Progress("UpateBypassMode: flags %d %d %d %d %d, %zu file(s)", flags.rgbgain_update, flags.awb_update,
             flags.lsc_update, flags.cmc_update, flags.xtm_update, report.files.size());
}

bool Emulator::AllDone() {
    for (const auto& task : mReport.tasks) {
        if (!task.completed && task.expectedFrames > 0) return false;
    }
    return true;
}

int Emulator::Run() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(mOptions.outputDir, error);
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
        return 2;
    }
    m3A = std::make_unique<Fake3A>(mRecording);
    for (const auto& task : mRecording.tasks) {
        TaskReport report;
        report.id = task.id;
        report.mode = task.mode;
        report.expectedFrames = static_cast<int>(task.frames.size());
        mReport.tasks.push_back(report);
    }
    mCapturesQueried.assign(mRecording.tasks.size(), 0);
    mFirstFrameSeen.assign(mRecording.tasks.size(), false);
    mPreviewQueried.assign(mRecording.tasks.size(), false);
    mStopSent.assign(mRecording.tasks.size(), false);
    mStops.assign(mRecording.tasks.size(), 0);
    mProcessed.assign(mRecording.tasks.size(), 0);
    if (!SetUpTuning()) return 2;
    // Tasks without frames are skipped by the library; the tool skips them too.
    if (!mRecording.tasks.empty() && mRecording.tasks[0].frames.empty()) mCursor = NextTask(0);

    // A fresh device: the test tool's switches, then the library.
    zeb_platform::ResetProperties();
    property_set("persist.vendor.cam.zeb.tester", mOptions.tester ? "1" : "0");
    property_set("persist.vendor.cam.zeb.post.process", "1");
    if (mOptions.ispTool) property_set("persist.vendor.cam.isptool.mode.enable", "true");
    for (const char* key : {"persist.vendor.cam.zeb.xtmhist.update", "persist.vendor.cam.zeb.ltmhist.update",
                            "persist.vendor.cam.zeb.bayerhist.update", "persist.vendor.cam.zeb.hist2.update"}) {
        property_set(key, "1");
    }
    if (!Load()) return 2;

    WriteField<void*>(mContext, kOemCxtSensorHandleOffset, this);
    WriteField<uint32_t>(mContext, kOemCxtSensorPatternOffset, mRecording.pattern);
    mHandle = mApi.CreateSimulation(mContext, mOptions.cameraId);
    if (!mHandle || mApi.Getinstance(mOptions.cameraId) != mHandle) {
        mReport.fatal = "CreateSimulation gave no instance";
        dlclose(mLibrary);
        return 2;
    }
    mApi.SetSensorIoctlOps(&Emulator::SensorIoctl, mHandle);
    mApi.SetGrabOps(&Emulator::Grab, mHandle);
    mApi.SetScenerioUpdateFunc(&Emulator::ScenarioUpdate, mHandle);
    mApi.GetIspUpFlag(mHandle, mUpdateFlags);
    // The 3A algorithms' tables go to the library before the job starts.
    m3A->Start([this](void* table, int kind) { mApi.GetIspAlgOps(mHandle, table, kind); });
    mApi.SetDeviceReady(true);
    if (mOptions.ispTool) {
        StreamingApi streaming;
        streaming.CreateSocketServer = mApi.CreateSocketServer;
        streaming.DeleteSocketServer = mApi.DeleteSocketServer;
        streaming.SettingSocketBuffer = mApi.SettingSocketBuffer;
        streaming.GettingPreviewWidth = mApi.GettingPreviewWidth;
        streaming.GettingPreviewHeight = mApi.GettingPreviewHeight;
        streaming.GettingLatestFrame = mApi.GettingLatestFrame;
        mIspTool = std::make_unique<IspToolSession>(streaming, mOptions.cameraId, mOptions.previewWidth,
                                                    mOptions.previewHeight);
        mIspTool->Open();
    }

    // As a HAL would, start the job once the simulation has announced it is
    // ready and the camera pipeline has come up (the warm-up).
    const auto readyBy = Clock::now() + std::chrono::seconds(10);
    while (GetProperty("persist.vendor.cam.zeb.serverready") != "1" && Clock::now() < readyBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(mOptions.warmUpSeconds));
    // The sweeps are written by now: the library announces readiness after them.
    LoadSweeps(mRecording.tuning);
    const size_t combinations = mRecording.tuning.Combinations();
    mEntriesPerTask = std::max<size_t>(combinations, 1);
    for (const SweptBlock& block : mRecording.tuning.swept) mReport.sweptBlocks.push_back(block.name);
    memcpy(mReport.expectedUpdateFlags, mRecording.tuning.flags, sizeof mReport.expectedUpdateFlags);
    for (auto& task : mReport.tasks) task.expectedTuningEntries = static_cast<int>(combinations);
    mReloads = zeb_platform::GetSensorTuningState(mOptions.cameraId).reloads;
    std::thread pipeline(&Emulator::Pipeline, this);
    mStart = Clock::now();
    Progress("job started: %zu task(s), camera %d%s", mRecording.tasks.size(), mOptions.cameraId,
             mOptions.tester ? ", tester mode" : "");
    mApi.GenerateOneJob(mHandle);
    if (mIspTool) {
        mIspTool->Start();
        Progress("ISP tool mode: preview frames of %d x %d go to a streaming client", mOptions.previewWidth,
                 mOptions.previewHeight);
    }

    // The test tool: watches the properties the library sets and answers
    // with snapshot notifications, as the HAL would.
    const auto deadline = mStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(mOptions.timeoutSeconds));
    bool capturing = false;
    size_t captureTask = SIZE_MAX;
    size_t announced = SIZE_MAX;
    for (;;) {
        if (Clock::now() > deadline) {
            mReport.timedOut = true;
            break;
        }
        size_t active;
        bool captureEnded, firstFrame;
        {
            std::unique_lock<std::mutex> lock(mLock);
            if (AllDone()) break;
            mCond.wait_for(lock, std::chrono::milliseconds(2));
            active = mActive;
            captureEnded = mCaptureEnded;
            firstFrame = active < mFirstFrameSeen.size() && mFirstFrameSeen[active];
        }
        const long activeId = active < mRecording.tasks.size() ? static_cast<long>(mRecording.tasks[active].id) : -1;
        if (firstFrame && announced != active) {
            announced = active;
            Progress("task %ld: preview (%zu frame(s), mode \"%s\")", activeId, mRecording.tasks[active].frames.size(),
                     mRecording.tasks[active].mode.c_str());
        }
        if (mOptions.deleteDuringTask >= 0 && activeId == mOptions.deleteDuringTask && firstFrame) {
            Progress("task %ld: deleting the instance in the middle of the task", activeId);
            mDeleting.store(true);
            {
                // The pipeline finishes what it queries before the handle goes.
                std::unique_lock<std::mutex> lock(mLock);
                mEvents.clear();
                mCond.wait(lock, [this] { return !mPipelineBusy; });
            }
            const auto begin = Clock::now();
            mApi.DeleteSimulation(mOptions.cameraId);
            mReport.deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
            mReport.deleted = true;
            mHandle = nullptr;
            Progress("task %ld: instance deleted in %.3f s", activeId, mReport.deleteSeconds);
            break;
        }
        if (GetProperty(kCapReady) == "1") {
            property_set(kCapReady, "0");
            Timeline(kCapReady, "1");
            captureTask = active;
            const std::string dumpRoot = GetProperty(kDumpRoot);
            {
                std::lock_guard<std::mutex> guard(mLock);
                mReport.tasks[captureTask].outputFolder = dumpRoot;
            }
            if (combinations > 0) RecordTuningEntry(captureTask, dumpRoot);
            CheckParamSet(captureTask);
            Progress("task %ld: capture ready, snapshot start", activeId);
            if (!mOptions.tester && mRecording.tasks[captureTask].hasScene) {
                // A multi-frame snapshot: the EV bracket goes to AE and XTM
                // once the pipeline has done with the preview.
                {
                    std::unique_lock<std::mutex> lock(mLock);
                    mCond.wait(lock, [this] { return mEvents.empty() && !mPipelineBusy; });
                }
                m3A->MultiEv(captureTask);
                mApi.NotifyMultiEV2ZEB(mOptions.cameraId);
            }
            if (!mOptions.tester) mApi.NotifySnapshotStatus(mHandle, true);
            capturing = true;
        }
        if (capturing && captureEnded) {
            int captured;
            {
                std::unique_lock<std::mutex> lock(mLock);
                mCond.wait(lock, [this] { return mEvents.empty() && !mPipelineBusy; });
                mCaptureEnded = false;
                captured = mReport.tasks[captureTask].captureFrames;
                mStopSent[captureTask] = ++mStops[captureTask] >= mEntriesPerTask;
                mAwaitingProcess = captureTask;
            }
            Progress("task %ld: %d capture frame(s), snapshot stop", static_cast<long>(mRecording.tasks[captureTask].id),
                     captured);
            if (!mOptions.tester) mApi.NotifySnapshotStatus(mHandle, false);
            capturing = false;
        }
        if (GetProperty(kProcess) == "1") {
            property_set(kProcess, "0");
            Timeline(kProcess, "1");
            std::unique_lock<std::mutex> lock(mLock);
            if (mAwaitingProcess == SIZE_MAX) {
                mReport.tasks[active].previewPassProcessed = true;
                lock.unlock();
                Progress("task %ld: preview pass processed", activeId);
            } else if (++mProcessed[mAwaitingProcess] < mEntriesPerTask) {
                const size_t done = mProcessed[mAwaitingProcess];
                mAwaitingProcess = SIZE_MAX;
                lock.unlock();
                Progress("task %ld: tuning entry %zu of %zu done", activeId, done, mEntriesPerTask);
            } else {
                TaskReport& report = mReport.tasks[mAwaitingProcess];
                report.completed = true;
                if (mCursor <= mAwaitingProcess) mCursor = NextTask(mAwaitingProcess);
                mAwaitingProcess = SIZE_MAX;
                const TaskReport done = report;
                lock.unlock();
                Progress("task %ld: done, %d preview and %d capture frame(s), %d matched", static_cast<long>(done.id),
                         done.previewFrames, done.captureFrames, done.matchedFrames);
            }
        }
    }
    if (mIspTool) {
        mReport.ispTool = mIspTool->Stop(mOptions.outputDir + "/isp-tool-latest.png");
        mIspTool.reset();
        const IspToolReport& isp = mReport.ispTool;
        if (!isp.picture.empty()) mReport.pictures.push_back(isp.picture);
        mReport.errors += static_cast<int>(isp.errors.size());
        for (const auto& error : isp.errors) fprintf(stderr, "ISP tool: %s\n", error.c_str());
    }
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStopPipeline = true;
    }
    mCond.notify_all();
    pipeline.join();
    m3A->Stop();
    if (mOptions.bypassMode && mHandle && !mReport.timedOut) {
        if (mReport.tuningName.empty()) {
            mReport.bypass.error = "no sensor tuning in the device root";
        } else {
            CallBypassMode();
        }
        if (!mReport.bypass.error.empty()) mReport.errors++;
    }

    if (mHandle) {
        const auto begin = Clock::now();
        mApi.DeleteSimulation(mOptions.cameraId);
        mReport.deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
    }
    mApi.CheckSimulationDeinit();
    if (mApi.Getinstance(mOptions.cameraId) != nullptr) mReport.errors++;
    dlclose(mLibrary);
    if (mPlugin) dlclose(mPlugin);

    std::lock_guard<std::mutex> guard(mLock);
    const std::vector<ThreeAReport> threeA = m3A->Reports();
    for (size_t t = 0; t < threeA.size() && t < mReport.tasks.size(); ++t) {
        mReport.tasks[t].threeA = threeA[t];
        for (const std::string& error : threeA[t].errors) mReport.tasks[t].errors.push_back("3A: " + error);
    }
    mReport.threeAErrors = m3A->Errors();
    mReport.errors += static_cast<int>(mReport.threeAErrors.size());
    for (auto& task : mReport.tasks) {
        if (task.expectedFrames > 0 && !task.completed && !mReport.deleted) {
            task.errors.push_back("task did not complete");
        }
        mReport.errors += static_cast<int>(task.errors.size());
    }
    if (mReport.timedOut) mReport.errors++;
    return mReport.errors == 0 ? 0 : 1;
}
}  // namespace

int RunEmulator(const EmulatorOptions& options, RunReport* report) {
    Emulator emulator(options, *report);
    int result = emulator.Run();
    report->reportPath = WriteReport(options, *report);
    return result;
}

}  // namespace zeb_hal
