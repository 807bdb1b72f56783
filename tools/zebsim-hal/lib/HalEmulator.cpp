#include "zebsim-hal/lib/HalEmulator.h"

#include <dlfcn.h>
#include <unistd.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
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
#include <unordered_map>

#include "develop/lib/Develop.h"
#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "platform/SensorTuning.h"
#include "platform/TuningBin.h"
#include <pugixml.hpp>
#include "parameter/SceneInfo.h"
#include "simulation/SimulationWrapper.h"
#include "core/FileAccess.h"
#include "tuning/ParameterUpdate.h"
#include "tuning/TuningPaths.h"
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
// The library's settle after a snapshot, before its process signal.
constexpr double kSettleSeconds = 8;

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

class Emulator;

// The frame buffers the library hands over, each mapped once: a descriptor
// stays mapped while it names the same buffer (device, inode and size), so a
// recycled slot is compared where it lies, without a copy or a new mapping.
class FrameMappings {
public:
    FrameMappings() = default;
    FrameMappings(const FrameMappings&) = delete;
    FrameMappings& operator=(const FrameMappings&) = delete;
    ~FrameMappings() {
        for (auto& entry : mMappings) munmap(entry.second.address, entry.second.bytes);
    }

    // The buffer's first `bytes` bytes, or null when it does not hold them.
    const uint8_t* Map(int fd, size_t bytes) {
        struct stat status;
        if (fd < 0 || fstat(fd, &status) != 0 || static_cast<uint64_t>(status.st_size) < bytes) return nullptr;
        std::lock_guard<std::mutex> guard(mLock);
        Mapping& mapping = mMappings[fd];
        const size_t size = static_cast<size_t>(status.st_size);
        if (mapping.address && (mapping.device != status.st_dev || mapping.inode != status.st_ino || mapping.bytes != size)) {
            munmap(mapping.address, mapping.bytes);
            mapping.address = nullptr;
        }
        if (!mapping.address) {
            void* address = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
            if (address == MAP_FAILED) {
                mMappings.erase(fd);
                return nullptr;
            }
            mapping = {status.st_dev, status.st_ino, size, address};
        }
        return static_cast<const uint8_t*>(mapping.address);
    }

private:
    struct Mapping {
        dev_t device = 0;
        ino_t inode = 0;
        size_t bytes = 0;
        void* address = nullptr;
    };
    std::mutex mLock;
    std::map<int, Mapping> mMappings;
};

// Which recorded frame a buffer holds, found by a key of three of its lines
// (first, middle, last) and then confirmed byte by byte, line by line, where
// the buffer lies.
class FrameIndex {
public:
    struct Found {
        size_t task = SIZE_MAX;
        int index = -1;
    };

    explicit FrameIndex(const Recording& recording) : mRecording(recording) {
        for (size_t t = 0; t < recording.tasks.size(); ++t) {
            const auto& frames = recording.tasks[t].frames;
            for (size_t i = 0; i < frames.size(); ++i) {
                const ExpectedFrame& frame = frames[i];
                const size_t line = static_cast<size_t>(frame.rawWidth) * 5 / 4;
                if (frame.rawWidth <= 0 || frame.rawHeight <= 0 ||
                    frame.packedRaw.size() != line * static_cast<size_t>(frame.rawHeight)) {
                    continue;
                }
                mKeys.emplace(Key(frame.packedRaw.data(), frame.rawWidth, frame.rawHeight, line), Found{t, static_cast<int>(i)});
            }
        }
    }

    // Every recorded frame with these bytes: tasks may hold the same frames.
    std::vector<Found> Find(const uint8_t* lines, int width, int height, size_t stride) const {
        std::vector<Found> matches;
        if (!lines || width <= 0 || height <= 0) return matches;
        const size_t line = static_cast<size_t>(width) * 5 / 4;
        const auto range = mKeys.equal_range(Key(lines, width, height, stride));
        for (auto it = range.first; it != range.second; ++it) {
            const ExpectedFrame& frame = mRecording.tasks[it->second.task].frames[static_cast<size_t>(it->second.index)];
            if (frame.rawWidth != width || frame.rawHeight != height) continue;
            bool same = true;
            for (int r = 0; r < height && same; ++r) {
                same = memcmp(lines + stride * r, frame.packedRaw.data() + line * r, line) == 0;
            }
            if (same) matches.push_back(it->second);
        }
        return matches;
    }

private:
    static uint64_t Key(const uint8_t* lines, int width, int height, size_t stride) {
        const size_t line = static_cast<size_t>(width) * 5 / 4;
        uint64_t hash = 1469598103934665603ull ^ (static_cast<uint64_t>(width) << 32 | static_cast<uint32_t>(height));
        for (int r : {0, height / 2, height - 1}) {
            const uint8_t* bytes = lines + stride * r;
            for (size_t b = 0; b < line; ++b) hash = (hash ^ bytes[b]) * 1099511628211ull;
        }
        return hash;
    }

    const Recording& mRecording;
    std::unordered_multimap<uint64_t, Found> mKeys;
};

// Writes the pictures of received frames on a thread of its own, so that
// neither the library's driver thread nor the pipeline waits for an encoder.
class PictureWriter {
public:
    struct Job {
        std::string path;
        std::vector<uint8_t> lines;  // back to back
        int width = 0, height = 0;
        uint32_t pattern = 0;
        // The matched frame's records, which live as long as the recording.
        const std::map<std::string, std::vector<uint8_t>>* dumps = nullptr;
    };

    PictureWriter() = default;
    PictureWriter(const PictureWriter&) = delete;
    PictureWriter& operator=(const PictureWriter&) = delete;
    ~PictureWriter() { Finish(); }

    void Add(Job job) {
        std::lock_guard<std::mutex> guard(mLock);
        if (mDone) return;
        mJobs.push_back(std::move(job));
        if (!mThread.joinable()) mThread = std::thread(&PictureWriter::Run, this);
        mCond.notify_all();
    }

    // Writes what is queued and ends the thread; returns the pictures that
    // could not be written, with the reason.
    std::vector<std::pair<std::string, std::string>> Finish() {
        {
            std::lock_guard<std::mutex> guard(mLock);
            mDone = true;
        }
        mCond.notify_all();
        if (mThread.joinable()) mThread.join();
        std::lock_guard<std::mutex> guard(mLock);
        return mFailed;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mLock);
        for (;;) {
            mCond.wait(lock, [this] { return mDone || !mJobs.empty(); });
            if (mJobs.empty()) return;
            Job job = std::move(mJobs.front());
            mJobs.pop_front();
            lock.unlock();
            std::string why;
            const bool written = zeb_develop::WriteDevelopedPng(job.path, job.lines.data(), job.width, job.height,
                                                                static_cast<size_t>(job.width) * 5 / 4, job.pattern,
                                                                job.dumps, &why);
            lock.lock();
            if (!written) mFailed.push_back({job.path, why});
        }
    }

    std::mutex mLock;
    std::condition_variable mCond;
    std::deque<Job> mJobs;
    std::vector<std::pair<std::string, std::string>> mFailed;  // path, why
    bool mDone = false;
    std::thread mThread;
};

// One open camera: its simulation instance, the fake sensor driver its
// virtual sensor talks to (the context names this object as the sensor), the
// HAL's pipeline thread that runs the 3A and the queries on each frame, and
// where the test tool stands with it. Everything below `tasks` is guarded by
// the emulator's lock.
struct Camera {
    Emulator* owner = nullptr;
    int id = 0;
    void* handle = nullptr;
    alignas(8) uint8_t context[256] = {0};
    uint8_t updateFlags[20] = {0};
    std::vector<TaskReport>* tasks = nullptr;  // in the run report
    double* deleteSeconds = nullptr;           // in the run report

    size_t cursor = 0;  // first task not yet completed
    size_t active = 0;  // task of the latest frame
    std::vector<bool> stopSent;    // the last snapshot of the task has stopped
    std::vector<size_t> stops;     // snapshot stops sent, per task
    std::vector<size_t> processed;  // captures processed, per task
    uint64_t reloads = 0;           // sensor reloads seen so far
    size_t awaitingProcess = SIZE_MAX;  // task whose snapshot stopped, until its process signal
    Clock::time_point captureEndedAt;   // when the preview last resumed after capture frames
    int fps = 0;
    bool captureEnded = false;  // the sensor resumed after capture frames
    std::deque<FrameEvent> events;
    bool pipelineBusy = false;
    std::vector<int> capturesQueried;
    std::vector<bool> firstFrameSeen;
    std::vector<bool> previewQueried;
    std::thread pipeline;

    // The test tool's side, on its own thread only.
    bool capturing = false;
    size_t captureTask = SIZE_MAX;
    size_t announced = SIZE_MAX;

    TaskReport& Task(size_t task) { return (*tasks)[task]; }
};

class Emulator {
public:
    Emulator(const EmulatorOptions& options, RunReport& report) : mOptions(options), mReport(report) {}
    int Run();

    static long SensorIoctl(void* sensor, unsigned int, unsigned long tag, unsigned long record) {
        auto* camera = static_cast<Camera*>(sensor);
        return camera->owner->OnCommand(*camera, tag, record);
    }
    static long Grab(void*, void*) { return 0; }
    static void ScenarioUpdate(void*) {}

private:
    bool Load();
    bool Open(Camera& camera);
    long OnCommand(Camera& camera, unsigned long tag, unsigned long record);
    void OnFrame(Camera& camera, const isp_raw_proc_info& info);
    void Pipeline(Camera& camera);
    void PreviewQueries(Camera& camera, size_t task);
    void CaptureQueries(Camera& camera, size_t task, int captureIndex);
    void CheckParamSet(Camera& camera, size_t task);
    bool SetUpTuning();
    void RecordTuningEntry(Camera& camera, size_t task, const std::string& outputFolder);
    void CallBypassMode();
    std::map<std::string, int32_t> BypassWords() const;
    void Check(Camera& camera, size_t task, const std::string& query, bool ok, const std::string& detail = "");
    void Progress(const Camera& camera, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void Timeline(const Camera& camera, const char* property, const std::string& value);
    double Elapsed() const { return std::chrono::duration<double>(Clock::now() - mStart).count(); }
    bool AllDone();
    // The tool's answer to the capture-ready signal, for one camera.
    void StartCapture(Camera& camera, size_t combinations);
    // Whether the camera plays a task whose capture is still to come (the
    // capture-ready signal it sends next is its own).
    bool AwaitsCapture(const Camera& camera) const;
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
    std::vector<std::unique_ptr<Camera>> mCameras;  // the first is the one of --camera-id
    std::unique_ptr<Fake3A> m3A;  // the HAL's 3A algorithms: one set per process, whatever the cameras
    Clock::time_point mStart = Clock::now();
    size_t mEntriesPerTask = 1;  // captures a task takes: one per tuning entry
    std::vector<std::string> mTuningFolders;  // scenario folders of the firmware tuning folder

    // State shared between the drivers' threads (the ioctl), the pipeline
    // threads and the tool loop, the cameras' included.
    std::mutex mLock;
    std::condition_variable mCond;
    bool mStopPipeline = false;
    std::atomic<bool> mDeleting{false};
    std::unique_ptr<IspToolSession> mIspTool;
    FrameMappings mMappings;
    std::unique_ptr<FrameIndex> mFrameIndex;  // made once the recording is loaded
    PictureWriter mPictures;
    Clock::time_point mLastFrameAt;  // guarded by mLock
};

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
    std::lock_guard<std::mutex> guard(mLock);
    mReport.timeline.push_back(
        {Elapsed(), property, value, c.active < c.tasks->size() ? (*c.tasks)[c.active].id : -1, c.id});
}

void Emulator::Check(Camera& c, size_t task, const std::string& query, bool ok, const std::string& detail) {
    std::lock_guard<std::mutex> guard(mLock);
    TaskReport& report = c.Task(task);
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

long Emulator::OnCommand(Camera& c, unsigned long tag, unsigned long record) {
    if (tag != kVirtualSensorIoctlTag || !record) return -1;
    vsensor_cmd_t command;
    memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
    void* param = reinterpret_cast<void*>(command.param);
    switch (command.cmd) {
        case VSENSOR_CMD_GET_BINNING_FACTOR:
            if (param) static_cast<vsensor_binning_info_t*>(param)->factor = 1;
            return 0;
        case VSENSOR_CMD_SET_FRAME:
            if (param) OnFrame(c, *static_cast<const isp_raw_proc_info*>(param));
            return 0;
        case VSENSOR_CMD_PAUSE: {
            int32_t pause = 0;
            if (param) memcpy(&pause, param, sizeof pause);
            std::lock_guard<std::mutex> guard(mLock);
            if (pause == 0 && c.fps == 8) {
                // The preview resumes after the snapshot: the 3A run on it once
                // more before the HAL reports the snapshot done.
                c.events.push_back({c.active, -1, false, true});
                c.captureEnded = true;
                c.captureEndedAt = Clock::now();
                mCond.notify_all();
            }
            return 0;
        }
        case VSENSOR_CMD_SET_FPS: {
            int32_t fps = 0;
            if (param) memcpy(&fps, param, sizeof fps);
            std::lock_guard<std::mutex> guard(mLock);
            c.fps = fps;
            return 0;
        }
        case VSENSOR_CMD_SET_OEM_CXT: {
            vsensor_oem_cxt_t cxt{};
            if (param) memcpy(&cxt, param, sizeof cxt);
            if (cxt.oem_cxt != c.context) {
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
void Emulator::OnFrame(Camera& c, const isp_raw_proc_info& info) {
    const int width = static_cast<int>(info.width), height = static_cast<int>(info.height);
    std::string problem;
    if (info.type != 3 || memcmp(info.format, "GREY", 4) != 0 || info.pattern != mRecording.pattern || info.offset != 0) {
        problem = "frame record fields";
    }
    const int line = width * 5 / 4, stride = AlignedStride(width);
    const uint8_t* lines = nullptr;
    if (width > 0 && height > 0 && info.fd >= 0) {
        lines = mMappings.Map(info.fd, static_cast<size_t>(stride) * static_cast<size_t>(height));
        if (!lines) problem = "frame descriptor does not map";
    }
    // Found outside the lock: the recording does not change while it plays.
    const std::vector<FrameIndex::Found> matches =
        mFrameIndex ? mFrameIndex->Find(lines, width, height, static_cast<size_t>(stride))
                    : std::vector<FrameIndex::Found>{};
    std::lock_guard<std::mutex> guard(mLock);
    const bool capture = c.fps == 8;
    // The frame's task is the one whose recording holds its bytes, looked for
    // from the task being played on (the library only moves forward), so that
    // tasks holding the same frames each get theirs; a frame without an image
    // (a missing folder) belongs to the task being played.
    size_t playing = c.cursor;
    if (playing < c.stopSent.size() && c.stopSent[playing]) playing = NextTask(playing);
    const size_t tasks = mRecording.tasks.size();
    size_t owner = SIZE_MAX;
    int index = -1;
    size_t nearest = SIZE_MAX;
    for (const FrameIndex::Found& match : matches) {
        const size_t ahead = tasks == 0 ? 0 : (match.task + tasks - std::min(playing, tasks) % tasks) % tasks;
        if (ahead < nearest) {
            nearest = ahead;
            owner = match.task;
            index = match.index;
        }
    }
    mLastFrameAt = Clock::now();
    // Once a task's snapshot has stopped, its frames are done: the next one is playing.
    if (owner == SIZE_MAX) owner = playing;
    if (owner >= mRecording.tasks.size()) return;
    for (size_t t = c.cursor; t < owner; ++t) {
        // Tasks passed over by the library never get frames.
        if (!mRecording.tasks[t].frames.empty() && !c.Task(t).completed && !c.firstFrameSeen[t]) {
            c.Task(t).errors.push_back("task was not played");
            c.Task(t).completed = true;
        }
    }
    if (owner > c.cursor) c.cursor = owner;
    c.active = owner;
    const ExpectedTask& task = mRecording.tasks[owner];
    TaskReport& report = c.Task(owner);
    (capture ? report.captureFrames : report.previewFrames)++;
    if (index >= 0) {
        report.matchedFrames++;
    } else if (!lines) {
        bool folderMissing = false;
        for (const auto& frame : task.frames) folderMissing |= !frame.present;
        if (!folderMissing) report.errors.push_back("frame without an image");
    } else {
        report.errors.push_back("frame bytes match no frame of the task");
    }
    if (!problem.empty()) report.errors.push_back(problem);
    if (lines && report.picture.empty()) {
        // The second camera's pictures carry its id.
        const std::string prefix = &c == mCameras.front().get() ? "" : "camera" + std::to_string(c.id) + "-";
        PictureWriter::Job job;
        job.path = mOptions.outputDir + "/" + prefix + "task" + std::to_string(task.id) + ".png";
        job.width = width;
        job.height = height;
        job.pattern = mRecording.pattern;
        // Developed with the recorded 3A of the frame it matched.
        job.dumps = index >= 0 ? &task.frames[static_cast<size_t>(index)].dumps : nullptr;
        job.lines.resize(static_cast<size_t>(line) * static_cast<size_t>(height));
        for (int r = 0; r < height; ++r) {
            memcpy(job.lines.data() + static_cast<size_t>(r) * line, lines + static_cast<size_t>(r) * stride,
                   static_cast<size_t>(line));
        }
        report.picture = job.path;
        mReport.pictures.push_back(job.path);
        mPictures.Add(std::move(job));
    }
    c.firstFrameSeen[owner] = true;
    c.events.push_back({owner, index, capture});
    mCond.notify_all();
}

void Emulator::Pipeline(Camera& c) {
    std::unique_lock<std::mutex> lock(mLock);
    for (;;) {
        mCond.wait(lock, [this, &c] { return mStopPipeline || !c.events.empty(); });
        if (c.events.empty()) return;
        FrameEvent event = c.events.front();
        c.events.pop_front();
        c.pipelineBusy = true;
        lock.unlock();
        if (!mDeleting.load()) {
            m3A->Cycle(event.task, event.resume    ? CyclePhase::Resume
                                   : event.capture ? CyclePhase::Capture
                                                   : CyclePhase::Preview);
        }
        if (!mDeleting.load() && !event.resume) {
            if (event.capture) {
                CaptureQueries(c, event.task, c.capturesQueried[event.task]++);
            } else {
                // A preview frame takes the HAL tens of milliseconds on a device:
                // long enough for the test tool to have consumed the last
                // process signal, which the library's count depends on.
                const auto by = Clock::now() + std::chrono::seconds(1);
                while (GetProperty(kProcess) == "1" && Clock::now() < by) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                mApi.GetPrevYuvFrame(c.handle);
                // Only this thread touches c.previewQueried.
                if (!c.previewQueried[event.task]) {
                    c.previewQueried[event.task] = true;
                    PreviewQueries(c, event.task);
                }
            }
        }
        lock.lock();
        c.pipelineBusy = false;
        mCond.notify_all();
    }
}

void Emulator::PreviewQueries(Camera& c, size_t index) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty()) return;
    const ExpectedFrame& first = task.frames.front();
    const std::vector<uint8_t>& scene = task.scene;
    if (task.hasScene) {
        uint8_t info[SceneInfoOut::kSize];
        memset(info, 0xab, sizeof info);
        mApi.GetFrameSceneInfo(c.handle, info);
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
        Check(c, index, "GetFrameSceneInfo", ok);

        uint8_t smart[SmartInfoOut::kSize];
        memset(smart, 0xab, sizeof smart);
        mApi.GetFrameSmartInfo(c.handle, smart);
        ok = ReadField<int32_t>(smart, SmartInfoOut::kAppMode) == SceneInt(scene, SceneRecord::kAppMode) &&
             ReadField<int32_t>(smart, SmartInfoOut::kAblWeight) == SceneInt(scene, SceneRecord::kAblWeight) &&
             ReadField<int32_t>(smart, SmartInfoOut::kSensorGain) == SceneInt(scene, SceneRecord::kSensorGain) &&
             ReadField<int32_t>(smart, SmartInfoOut::kIspGain) == SceneInt(scene, SceneRecord::kIspGain) &&
             ReadField<int32_t>(smart, SmartInfoOut::kAwbCt) == SceneInt(scene, SceneRecord::kAwbCt) &&
             ReadField<int32_t>(smart, SmartInfoOut::kBv) == SceneInt(scene, SceneRecord::kBv) && smart[8] == 0xab;
        Check(c, index, "GetFrameSmartInfo", ok);

        uint8_t android[AndroidInfoOut::kSize];
        mApi.GetFrameAndroidInfo(c.handle, android);
        ok = ReadField<int32_t>(android, AndroidInfoOut::kAeMode) == SceneInt(scene, SceneRecord::kAeMode) &&
             ReadField<int32_t>(android, AndroidInfoOut::kFlashMode) == SceneInt(scene, SceneRecord::kFlashMode) &&
             ReadField<int32_t>(android, AndroidInfoOut::kLcdFlashMode) == SceneInt(scene, SceneRecord::kLcdFlashMode);
        Check(c, index, "GetFrameAndroidInfo", ok);
    }

    const auto zolt = first.Dump("ZOLTDEF_INFO.bin", ZoltDef::kSize);
    const auto control = first.Dump("CONTROL_INFO.bin", ControlInfo::kSize);
    const auto aeResult = first.Dump("AE_RESULT_INFO.bin", AeResult::kSize);
    uint8_t manual[ManualInfoOut::kSize] = {0};
    mApi.GetFrameManualInfo(c.handle, manual);
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
    Check(c, index, "GetFrameManualInfo", ok);

    // Public statistic types: 9 hist2, 10 gtm histogram, 1 AEM, 8 LSCM.
    const std::pair<int, const char*> statistics[] = {
        {9, "HIST2_DATA_INFO.bin"}, {10, "GTMHIST_DATA_INFO.bin"}, {1, "AEM_DATA_INFO.bin"}, {8, "LSCM_DATA_INFO.bin"}};
    for (const auto& statistic : statistics) {
        if (!first.Has(statistic.second) || first.dumps.at(statistic.second).empty()) continue;
        const auto& expected = first.dumps.at(statistic.second);
        std::vector<uint8_t> out(expected.size(), 0xcd);
        mApi.GetFrameStatisInfo(c.handle, statistic.first, reinterpret_cast<unsigned long>(out.data()),
                                static_cast<unsigned int>(out.size()));
        Check(c, index, std::string("GetFrameStatisInfo ") + std::to_string(statistic.first), out == expected);
    }
    {
        uint8_t out[64];
        memset(out, 0xcd, sizeof out);
        mApi.GetFrameStatisInfo(c.handle, 2, reinterpret_cast<unsigned long>(out), sizeof out);
        bool untouched = true;
        for (uint8_t byte : out) untouched &= byte == 0xcd;
        Check(c, index, "GetFrameStatisInfo 2", untouched);
    }

    // SetDataUpdateFunc reads frame mTaskSeq, 0 before any ZSL copy.
    const std::pair<int, std::pair<const char*, size_t>> updates[] = {{5, {"XTMHIST_INFO.bin", 560}},
                                                                      {6, {"LTMHIST_INFO.bin", 16396}},
                                                                      {7, {"HIST2_INFO.bin", 1048}},
                                                                      {8, {"BAYHIST_INFO.bin", 3144}}};
    for (const auto& update : updates) {
        std::vector<uint8_t> out(update.second.second, 0xcd);
        mApi.SetDataUpdateFunc(c.handle, update.first, out.data());
        Check(c, index, std::string("SetDataUpdateFunc ") + std::to_string(update.first),
              out == first.Dump(update.second.first, update.second.second));
    }

    void* list = nullptr;
    int count = -1;
    bool listed = mApi.GetFrameYuv(c.handle, &list, &count);
    Check(c, index, "GetFrameYuv", listed && list && count == 0);
}

void Emulator::CaptureQueries(Camera& c, size_t index, int captureIndex) {
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
        mApi.GetZSLYuvFrame(c.handle, out.data());
        std::vector<uint8_t> expected(yuvBytes, 0);
        memcpy(expected.data(), zsl.yuv.data(), std::min(yuvBytes, zsl.yuv.size()));
        Check(c, index, "GetZSLYuvFrame", out == expected);
    }
    if (task.hasScene && (hdr || mfnrHdr) && captureIndex < SceneRecord::kEvCount) {
        const float ev = mApi.GetFrameEvStatus(c.handle);
        const float expected = SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(captureIndex));
        Check(c, index, "GetFrameEvStatus", ev == expected, std::to_string(ev) + " for " + std::to_string(expected));
    }
    // Capture k of every task gets frame k's record; the first once past the end.
    uint8_t offline[kOfflineAeSize];
    memset(offline, 0xcd, sizeof offline);
    mApi.SetAeOfflineInfoFunc(c.handle, offline);
    const ExpectedFrame& owner = task.frames[static_cast<size_t>(captureIndex) < frames ? captureIndex : 0];
    Check(c, index, "SetAeOfflineInfoFunc",
          memcmp(offline, owner.Dump("OFFLINE_AE_INFO.bin", kOfflineAeSize).data(), sizeof offline) == 0,
          "capture " + std::to_string(captureIndex));
}

// The records the hand-over gave the post-processing parameter set, rebuilt
// from the recording's files and scene file.
void Emulator::CheckParamSet(Camera& c, size_t index) {
    const ExpectedTask& task = mRecording.tasks[index];
    if (task.frames.empty() || !task.hasScene) return;
    const ExpectedFrame& first = task.frames.front();
    const std::vector<uint8_t>& scene = task.scene;
    const int camera = c.id;

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
    Check(c, index, "parameter 2050", record.setCount > 0 && record.data == faces);

    record = zeb_platform::GetPsRecord(camera, PsId::kFaceCap);
    Check(c, index, "parameter 2104", record.setCount > 0 && record.data == first.Dump("FD_SNAPSHOT.bin", FaceRecord::kSize));

    const uint32_t postproc = static_cast<uint32_t>(SceneInt(scene, SceneRecord::kPostprocType));
    auto evOf = [&](int64_t i) {
        return i >= 0 && i < SceneRecord::kEvCount ? SceneFloat(scene, SceneRecord::kHdrEv + 4 * static_cast<size_t>(i)) : 0.0f;
    };
    if (postproc & 0x111006u) {
        std::vector<uint8_t> capAe = first.Dump("CAP_AE_PARAMS.bin", CapAeParams::kSize);
        for (int i = 0; i < SceneRecord::kEvCount; ++i) WriteField(capAe.data(), CapAeParams::Slot(i), evOf(i));
        record = zeb_platform::GetPsRecord(camera, PsId::kCapAeParams);
        Check(c, index, "parameter 2061", record.setCount > 0 && record.data == capAe);
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
    Check(c, index, "parameter 2056", record.setCount > 0 && record.data == sdOut);
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
void Emulator::RecordTuningEntry(Camera& c, size_t task, const std::string& outputFolder) {
    const ExpectedTuning& tuning = mRecording.tuning;
    // The HAL captures once the sensor has applied its tuning.
    if (!zeb_platform::WaitSensorIdle(c.id, std::chrono::seconds(10))) {
        Check(c, task, "sensor reload", false, "still being applied after 10 s");
    }
    const zeb_platform::SensorTuningState state = zeb_platform::GetSensorTuningState(c.id);
    TuningEntryReport entry;
    {
        std::lock_guard<std::mutex> guard(mLock);
        entry.index = static_cast<int>(c.Task(task).tuning.size());
    }
    entry.outputFolder = outputFolder;
    entry.reloads = state.reloads;
    entry.triggerLoads = state.triggerLoads;
    memcpy(entry.updateFlags, c.updateFlags, sizeof entry.updateFlags);
    for (const auto& file : state.files) {
        entry.loaded.push_back({file.path, file.blockId, file.bypass, file.checksum, file.values});
    }
    entry.rejected = state.rejected;
    std::vector<std::string> errors;
    // The library marks an entry whose combination it could not install.
    std::string marker;
    if (ZEB::files::ReadAll(outputFolder + "/" + ZEB::kTuningFailedMarker, 1 << 20, &marker)) {
        entry.failure = marker.substr(0, marker.find('\n'));
        errors.push_back("tuning entry " + std::to_string(entry.index) + " failed, not played as its combination: " +
                         entry.failure);
        c.reloads = entry.reloads;
        std::lock_guard<std::mutex> guard(mLock);
        TaskReport& report = c.Task(task);
        report.tuning.push_back(std::move(entry));
        report.errors.insert(report.errors.end(), errors.begin(), errors.end());
        return;
    }
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
    if (entry.reloads != c.reloads + 1) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": sensor reloads went from " +
                         std::to_string(c.reloads) + " to " + std::to_string(entry.reloads));
    }
    c.reloads = entry.reloads;
    if (memcmp(entry.updateFlags, tuning.flags, sizeof entry.updateFlags) != 0) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": update flags differ from the block list's");
    }
    std::lock_guard<std::mutex> guard(mLock);
    TaskReport& report = c.Task(task);
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
    Progress(*mCameras.front(), "UpateBypassMode: flags %d %d %d %d %d, %zu file(s)", flags.rgbgain_update, flags.awb_update,
             flags.lsc_update, flags.cmc_update, flags.xtm_update, report.files.size());
}

bool Emulator::AllDone() {
    for (const auto& camera : mCameras) {
        for (const auto& task : *camera->tasks) {
            if (!task.completed && task.expectedFrames > 0) return false;
        }
    }
    return true;
}

bool Emulator::AwaitsCapture(const Camera& c) const {
    return !c.capturing && c.awaitingProcess == SIZE_MAX && c.active < c.tasks->size() && c.firstFrameSeen[c.active] &&
           !(*c.tasks)[c.active].completed && c.stops[c.active] < mEntriesPerTask;
}

void Emulator::StartCapture(Camera& c, size_t combinations) {
    size_t active;
    {
        std::lock_guard<std::mutex> guard(mLock);
        active = c.active;
    }
    Timeline(c, kCapReady, "1");
    c.captureTask = active;
    const std::string dumpRoot = GetProperty(kDumpRoot);
    {
        std::lock_guard<std::mutex> guard(mLock);
        c.Task(c.captureTask).outputFolder = dumpRoot;
    }
    if (combinations > 0) RecordTuningEntry(c, c.captureTask, dumpRoot);
    CheckParamSet(c, c.captureTask);
    Progress(c, "task %ld: capture ready, snapshot start", static_cast<long>(mRecording.tasks[active].id));
    if (!mOptions.tester && mRecording.tasks[c.captureTask].hasScene) {
        // A multi-frame snapshot: the EV bracket goes to AE and XTM once the
        // pipeline has done with the preview.
        {
            std::unique_lock<std::mutex> lock(mLock);
            mCond.wait(lock, [&c] { return c.events.empty() && !c.pipelineBusy; });
        }
        m3A->MultiEv(c.captureTask);
        mApi.NotifyMultiEV2ZEB(c.id);
    }
    if (!mOptions.tester) mApi.NotifySnapshotStatus(c.handle, true);
    c.capturing = true;
}

bool Emulator::Open(Camera& c) {
    WriteField<void*>(c.context, kOemCxtSensorHandleOffset, &c);
    WriteField<uint32_t>(c.context, kOemCxtSensorPatternOffset, mRecording.pattern);
    c.handle = mApi.CreateSimulation(c.context, c.id);
    if (!c.handle || mApi.Getinstance(c.id) != c.handle) {
        mReport.fatal = "CreateSimulation gave no instance for camera " + std::to_string(c.id);
        return false;
    }
    mApi.SetSensorIoctlOps(&Emulator::SensorIoctl, c.handle);
    mApi.SetGrabOps(&Emulator::Grab, c.handle);
    mApi.SetScenerioUpdateFunc(&Emulator::ScenarioUpdate, c.handle);
    mApi.GetIspUpFlag(c.handle, c.updateFlags);
    return true;
}

int Emulator::Run() {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(mOptions.outputDir, error);
    if (!fs::is_directory(mOptions.outputDir, error) || access(mOptions.outputDir.c_str(), W_OK) != 0) {
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
    std::vector<std::pair<int, std::vector<TaskReport>*>> cameras = {{mOptions.cameraId, &mReport.tasks}};
    if (twoCameras) {
        mReport.secondCamera.cameraId = mOptions.secondCameraId;
        cameras.push_back({mOptions.secondCameraId, &mReport.secondCamera.tasks});
    }
    for (const auto& entry : cameras) {
        auto camera = std::make_unique<Camera>();
        Camera& c = *camera;
        c.owner = this;
        c.id = entry.first;
        c.tasks = entry.second;
        c.deleteSeconds = c.tasks == &mReport.tasks ? &mReport.deleteSeconds : &mReport.secondCamera.deleteSeconds;
        for (const auto& task : mRecording.tasks) {
            TaskReport report;
            report.id = task.id;
            report.mode = task.mode;
            report.expectedFrames = static_cast<int>(task.frames.size());
            c.tasks->push_back(report);
        }
        const size_t count = mRecording.tasks.size();
        c.capturesQueried.assign(count, 0);
        c.firstFrameSeen.assign(count, false);
        c.previewQueried.assign(count, false);
        c.stopSent.assign(count, false);
        c.stops.assign(count, 0);
        c.processed.assign(count, 0);
        // Tasks without frames are skipped by the library; the tool skips them too.
        if (!mRecording.tasks.empty() && mRecording.tasks[0].frames.empty()) c.cursor = NextTask(0);
        mCameras.push_back(std::move(camera));
    }
    Camera& first = *mCameras.front();
    m3A = std::make_unique<Fake3A>(mRecording);
    if (!SetUpTuning()) return 2;

    // A fresh device: the test tool's switches, then the library.
    zeb_platform::ResetProperties();
    property_set("persist.vendor.cam.zeb.tester", mOptions.tester ? "1" : "0");
    property_set("persist.vendor.cam.zeb.post.process", "1");
    if (mOptions.ispTool) property_set("persist.vendor.cam.isptool.mode.enable", "true");
    for (const char* key : {"persist.vendor.cam.zeb.xtmhist.update", "persist.vendor.cam.zeb.ltmhist.update",
                            "persist.vendor.cam.zeb.bayerhist.update", "persist.vendor.cam.zeb.hist2.update"}) {
        property_set(key, "1");
    }
    if (!Load()) return 1;

    // As the HAL opens its cameras: one after the other, from one thread.
    for (const auto& camera : mCameras) {
        if (!Open(*camera)) {
            mApi.CheckSimulationDeinit();
            dlclose(mLibrary);
            return 1;
        }
    }
    // The 3A algorithms' tables go to the library before the job starts. The
    // HAL has one table per algorithm per process: each camera's pipeline
    // hands the same one over.
    m3A->Start([this](void* table, int kind) {
        for (const auto& camera : mCameras) mApi.GetIspAlgOps(camera->handle, table, kind);
    });
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
    first.reloads = zeb_platform::GetSensorTuningState(first.id).reloads;
    for (const auto& camera : mCameras) camera->pipeline = std::thread(&Emulator::Pipeline, this, std::ref(*camera));
    mStart = Clock::now();
    mLastFrameAt = mStart;
    for (const auto& camera : mCameras) {
        Progress(*camera, "job started: %zu task(s), camera %d%s", mRecording.tasks.size(), camera->id,
                 mOptions.tester ? ", tester mode" : "");
        mApi.GenerateOneJob(camera->handle);
    }
    if (mIspTool) {
        mIspTool->Start();
        Progress(first, "ISP tool mode: preview frames of %d x %d go to a streaming client", mOptions.previewWidth,
                 mOptions.previewHeight);
    }

    // The test tool: watches the properties the library sets and answers
    // with snapshot notifications, as the HAL would. The properties are
    // process-wide: with two cameras a signal does not say whose it is, so
    // the tool answers every camera it can be for (below).
    const auto deadline = mStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(mOptions.timeoutSeconds));
    // No camera's settle after a snapshot ends before this much time past the
    // preview resuming: a process signal earlier than that is not its own.
    const auto settle = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(0.95 * mOptions.timeScale * kSettleSeconds));
    bool pendingReady = false;  // a capture-ready signal no camera was ready for yet
    bool stop = false;
    while (!stop) {
        if (Clock::now() > deadline) {
            mReport.timedOut = true;
            break;
        }
        {
            std::unique_lock<std::mutex> lock(mLock);
            if (AllDone()) break;
            mCond.wait_for(lock, std::chrono::milliseconds(2));
        }
        for (const auto& camera : mCameras) {
            Camera& c = *camera;
            size_t active;
            bool captureEnded, firstFrame;
            {
                std::lock_guard<std::mutex> guard(mLock);
                active = c.active;
                captureEnded = c.captureEnded;
                firstFrame = active < c.firstFrameSeen.size() && c.firstFrameSeen[active];
            }
            const long activeId = active < mRecording.tasks.size() ? static_cast<long>(mRecording.tasks[active].id) : -1;
            if (firstFrame && c.announced != active) {
                c.announced = active;
                Progress(c, "task %ld: preview (%zu frame(s), mode \"%s\")", activeId,
                         mRecording.tasks[active].frames.size(), mRecording.tasks[active].mode.c_str());
            }
            if (mOptions.deleteDuringTask >= 0 && activeId == mOptions.deleteDuringTask && firstFrame) {
                Progress(c, "task %ld: deleting the instance in the middle of the task", activeId);
                mDeleting.store(true);
                {
                    // The pipeline finishes what it queries before the handle goes.
                    std::unique_lock<std::mutex> lock(mLock);
                    c.events.clear();
                    mCond.wait(lock, [&c] { return !c.pipelineBusy; });
                }
                const auto begin = Clock::now();
                mApi.DeleteSimulation(c.id);
                *c.deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
                mReport.deleted = true;
                c.handle = nullptr;
                Progress(c, "task %ld: instance deleted in %.3f s", activeId, *c.deleteSeconds);
                stop = true;
                break;
            }
            if (c.capturing && captureEnded) {
                int captured;
                {
                    std::unique_lock<std::mutex> lock(mLock);
                    mCond.wait(lock, [&c] { return c.events.empty() && !c.pipelineBusy; });
                    c.captureEnded = false;
                    captured = c.Task(c.captureTask).captureFrames;
                    c.stopSent[c.captureTask] = ++c.stops[c.captureTask] >= mEntriesPerTask;
                    c.awaitingProcess = c.captureTask;
                }
                Progress(c, "task %ld: %d capture frame(s), snapshot stop",
                         static_cast<long>(mRecording.tasks[c.captureTask].id), captured);
                if (!mOptions.tester) mApi.NotifySnapshotStatus(c.handle, false);
                c.capturing = false;
            }
        }
        if (stop) break;
        if (GetProperty(kCapReady) == "1") {
            property_set(kCapReady, "0");
            std::vector<Camera*> answered;
            {
                std::lock_guard<std::mutex> guard(mLock);
                for (const auto& camera : mCameras) {
                    // One camera: the signal is its own. Two: every camera
                    // whose capture is still to come may have sent it; one
                    // answered before it asks keeps the start pending.
                    if (!twoCameras || AwaitsCapture(*camera)) answered.push_back(camera.get());
                }
            }
            // Nobody was ready to have sent it: it goes to the first that is.
            pendingReady = answered.empty();
            for (Camera* c : answered) StartCapture(*c, combinations);
        } else if (pendingReady) {
            Camera* ready = nullptr;
            {
                std::lock_guard<std::mutex> guard(mLock);
                for (const auto& camera : mCameras) {
                    if (!ready && AwaitsCapture(*camera)) ready = camera.get();
                }
            }
            if (ready) {
                pendingReady = false;
                StartCapture(*ready, combinations);
            }
        }
        if (GetProperty(kProcess) == "1") {
            property_set(kProcess, "0");
            const auto now = Clock::now();
            std::vector<Camera*> settled, previewing;
            {
                std::lock_guard<std::mutex> guard(mLock);
                for (const auto& camera : mCameras) {
                    Camera& c = *camera;
                    if (c.awaitingProcess == SIZE_MAX) {
                        // Only a "Preview" task signals a pass of its frames.
                        if (!twoCameras || (c.active < mRecording.tasks.size() &&
                                            mRecording.tasks[c.active].mode == "Preview")) {
                            previewing.push_back(&c);
                        }
                    } else if (!twoCameras || now - c.captureEndedAt >= settle) {
                        settled.push_back(&c);
                    }
                }
            }
            // A camera's own signal after its capture, or else a preview pass.
            for (Camera* c : settled.empty() ? previewing : settled) {
                Timeline(*c, kProcess, "1");
                std::unique_lock<std::mutex> lock(mLock);
                const long activeId = c->active < mRecording.tasks.size() ? static_cast<long>(mRecording.tasks[c->active].id) : -1;
                if (c->awaitingProcess == SIZE_MAX) {
                    c->Task(c->active).previewPassProcessed = true;
                    lock.unlock();
                    Progress(*c, "task %ld: preview pass processed", activeId);
                } else if (++c->processed[c->awaitingProcess] < mEntriesPerTask) {
                    const size_t done = c->processed[c->awaitingProcess];
                    c->awaitingProcess = SIZE_MAX;
                    lock.unlock();
                    Progress(*c, "task %ld: tuning entry %zu of %zu done", activeId, done, mEntriesPerTask);
                } else {
                    TaskReport& report = c->Task(c->awaitingProcess);
                    report.completed = true;
                    if (c->cursor <= c->awaitingProcess) c->cursor = NextTask(c->awaitingProcess);
                    c->awaitingProcess = SIZE_MAX;
                    const TaskReport done = report;
                    lock.unlock();
                    Progress(*c, "task %ld: done, %d preview and %d capture frame(s), %d matched",
                             static_cast<long>(done.id), done.previewFrames, done.captureFrames, done.matchedFrames);
                }
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
    for (const auto& camera : mCameras) camera->pipeline.join();
    m3A->Stop();
    if (mOptions.bypassMode && first.handle && !mReport.timedOut) {
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
        mApi.DeleteSimulation(camera->id);
        *camera->deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
    }
    // The pictures are written by now: the report names only those that were.
    for (const auto& [failed, why] : mPictures.Finish()) {
        std::lock_guard<std::mutex> guard(mLock);
        mReport.unwritten.push_back(failed + ": " + why);
        auto& pictures = mReport.pictures;
        pictures.erase(std::remove(pictures.begin(), pictures.end(), failed), pictures.end());
        for (const auto& camera : mCameras) {
            for (auto& task : *camera->tasks) {
                if (task.picture == failed) task.picture.clear();
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(mLock);
        mReport.playSeconds = std::chrono::duration<double>(mLastFrameAt - mStart).count();
    }
    mApi.CheckSimulationDeinit();
    for (const auto& camera : mCameras) {
        // The library logs a failure line for an id without an instance, which
        // is what this check expects: not a failure of the run.
        const int level = zeb_platform::LogLevel();
        zeb_platform::SetLogLevel(0);
        const bool stillThere = mApi.Getinstance(camera->id) != nullptr;
        zeb_platform::SetLogLevel(level);
        if (stillThere) mReport.errors++;
    }
    dlclose(mLibrary);
    if (mPlugin) dlclose(mPlugin);

    std::lock_guard<std::mutex> guard(mLock);
    // With two cameras the offline 3A modules, one per kind per process, hold
    // whichever camera handed its records over last: the HAL's algorithms may
    // get the other camera's, so their results are reported, not checked.
    mReport.threeAChecked = !twoCameras;
    const std::vector<ThreeAReport> threeA = m3A->Reports();
    for (size_t t = 0; t < threeA.size() && t < mReport.tasks.size(); ++t) {
        mReport.tasks[t].threeA = threeA[t];
        if (twoCameras) continue;
        for (const std::string& error : threeA[t].errors) mReport.tasks[t].errors.push_back("3A: " + error);
    }
    mReport.threeAErrors = m3A->Errors();
    mReport.errors += static_cast<int>(mReport.threeAErrors.size());
    for (const auto& camera : mCameras) {
        for (auto& task : *camera->tasks) {
            if (task.expectedFrames > 0 && !task.completed && !mReport.deleted) {
                task.errors.push_back("task did not complete");
            }
            mReport.errors += static_cast<int>(task.errors.size());
        }
    }
    if (mReport.timedOut) mReport.errors++;
    return mReport.errors == 0 ? 0 : 1;
}
}  // namespace

int RunEmulator(const EmulatorOptions& options, RunReport* report) {
    Emulator emulator(options, *report);
    int result = emulator.Run();
    report->reportPath = WriteReport(options, *report);
    if (report->reportPath.empty()) report->unwritten.push_back(options.outputDir + "/report.json: cannot be written");
    return report->unwritten.empty() ? result : 1;
}

}  // namespace zeb_hal
