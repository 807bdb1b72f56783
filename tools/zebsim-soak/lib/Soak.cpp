#include "zebsim-soak/lib/Soak.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "platform/BufferManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "platform/SensorTuning.h"
#include "simulation/SimulationWrapper.h"
#include "zebsim-hal/lib/FakeAlgorithms.h"
#include "zebsim-hal/lib/IspTool.h"
#include "zebsim-hal/lib/Recording.h"
#include "zebsim-hal/lib/Scenario.h"

namespace zeb_soak {
namespace {
using namespace ZEB;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char* const kCapReady = "persist.vendor.cam.zeb.capready";
const char* const kProcess = "persist.vendor.cam.zeb.process";
const char* const kSetDeviceReady = "_ZN3ZEB26SimulationControlInterface14SetDeviceReadyEb";
const char* const kTuningName = "zebcam_tuning";  // the sensor tuning of the "soak" recording
constexpr int kStreamWidth = 320, kStreamHeight = 240;
constexpr size_t kScratchBytes = 64 * 1024;  // destination of every fixed-size query
// How far into its moment, at most, a cycle deletes (real time): the first
// half second of a settle of 8 scaled seconds; the snapshot wait and the
// streaming, which have no end of their own. A tuning update takes the
// sensor's reload and one 500 ms status poll, scaled (kUpdateWindow).
constexpr std::chrono::milliseconds kSettleWindow(500);
constexpr std::chrono::milliseconds kSnapshotWindow(250);
constexpr std::chrono::milliseconds kStreamingWindow(250);
constexpr std::chrono::milliseconds kUpdateWindow(600);

std::chrono::nanoseconds FramePeriod() { return zeb_platform::Scaled(std::chrono::nanoseconds(1000000000 / 15)); }
double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

uint64_t SplitMix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::string GetProperty(const char* key) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key, value, "");
    return value;
}

// The entries of a /proc folder: file descriptors with what they lead to,
// or threads with their names. The folder's own descriptor is among the
// descriptors, every time alike.
std::map<std::string, std::string> ProcEntries(const char* folder, bool descriptors) {
    std::map<std::string, std::string> entries;
    DIR* dir = opendir(folder);
    if (!dir) return entries;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string(folder) + "/" + entry->d_name;
        std::string what;
        if (descriptors) {
            char target[512] = {0};
            const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
            if (length > 0) what.assign(target, static_cast<size_t>(length));
        } else {
            std::ifstream comm(path + "/comm");
            std::getline(comm, what);
        }
        entries[entry->d_name] = what;
    }
    closedir(dir);
    return entries;
}

size_t LiveBuffers() {
    pvk::BufferManager* manager = pvk::BufferManager::getInstance();
    return manager ? manager->liveBufferCount() : 0;
}

// The library's entry points, resolved one by one.
struct Api {
#define ZEB_SOAK_MEMBER(name) decltype(&::name) name = nullptr;
    ZEB_ENTRY_POINTS(ZEB_SOAK_MEMBER)
#undef ZEB_SOAK_MEMBER
    void (*SetDeviceReady)(bool) = nullptr;
};

// What stays from one cycle to the next: the loaded library, the recording
// and what the cycles learnt of the library's pace.
struct Process {
    explicit Process(const SoakOptions& given) : options(given) {}
    const SoakOptions& options;
    Api api;
    void* library = nullptr;
    void* plugin = nullptr;
    zeb_hal::Recording recording;
    size_t entriesPerTask = 1;  // tuning combinations: each task is played once per combination
    size_t yuvBytes = 0;        // the largest recorded YUV image
    size_t frames = 0;  // in the whole list
};

class CameraSession {
public:
    CameraSession(Process& process, int index, const CyclePlan& plan) : mProcess(process), mApi(process.api) {
        mResult.index = index;
        mResult.plan = plan;
    }
    CycleResult Run();

    static long SensorIoctl(void* sensor, unsigned int, unsigned long tag, unsigned long record) {
        return static_cast<CameraSession*>(sensor)->OnCommand(tag, record);
    }
    static long Grab(void*, void*) { return 0; }
    static void ScenarioUpdate(void*) {}

private:
    long OnCommand(unsigned long tag, unsigned long record);
    void ReadFrame(const isp_raw_proc_info& info);
    void ThreeALoop();
    void QueryLoop();
    void HandleQueries(uint64_t round);
    void Fault(const std::string& fault) {
        std::lock_guard<std::mutex> guard(mLock);
        mResult.faults.push_back(fault);
    }
    size_t TaskNow() const {
        const size_t tasks = mProcess.recording.tasks.size();
        const size_t task = mEntriesDone.load() / mProcess.entriesPerTask;
        return tasks == 0 ? 0 : std::min(task, tasks - 1);
    }
    // The HAL's close path ends its queries by handle; the one in flight returns.
    void CloseQueries();
    void Delete();
    void StopHalThreads();
    void MomentTime() { zeb_platform::SetTimeScale(mProcess.options.momentScale); }
    // The next tuning update runs at the moment's scale, writing the HAL's flag record
    // of its own: a record the update never reached keeps its fill.
    void WatchTuningUpdate() {
        MomentTime();
        memset(mEntryFlags, kUntouched, sizeof mEntryFlags);
        mApi.GetIspUpFlag(mHandle, mEntryFlags);
    }

    Process& mProcess;
    const Api& mApi;
    CycleResult mResult;
    void* mHandle = nullptr;
    alignas(8) uint8_t mContext[256] = {0};
    alignas(8) uint8_t mUpdateFlags[20] = {0};
    static constexpr uint8_t kUntouched = 0x7f;
    alignas(8) uint8_t mEntryFlags[20] = {0};
    std::unique_ptr<zeb_hal::Fake3A> m3A;
    std::unique_ptr<zeb_platform::LogCapture> mReads;
    // Whether the reader has logged the end of the task.
    bool TaskRead(int64_t task) const {
        if (!mReads) return false;
        const std::string read = "with FrmId " + std::to_string(task);
        for (const zeb_platform::LogRecord& record : mReads->Records()) {
            const std::string& text = record.text;
            if (record.tag == "ReadControl" && text.size() >= read.size() &&
                text.compare(text.size() - read.size(), read.size(), read) == 0) {
                return true;
            }
        }
        return false;
    }
    // The reader's progress, line by line (its lines follow one another on
    // its own thread): the frames it began to read, whether it is reading
    // one now, and whether the list is read.
    void FollowReader() {
        if (!mReads) return;
        const std::vector<zeb_platform::LogRecord> records = mReads->Records();
        const std::string listRead = "with FrmId " + std::to_string(mProcess.recording.tasks.back().id);
        auto endsWith = [](const std::string& text, const std::string& end) {
            return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
        };
        for (; mReadsSeen < records.size(); ++mReadsSeen) {
            const zeb_platform::LogRecord& record = records[mReadsSeen];
            if (record.tag != "ReadControl") continue;
            if (endsWith(record.text, "There is still idle buffer")) {
                ++mFramesBegun;
                mFrameInRead = true;
            } else if (record.text.find("Input string is") != std::string::npos ||
                       record.text.find("Checking TaskMapper") != std::string::npos ||
                       endsWith(record.text, "Waiting Idle buffer") || endsWith(record.text, "Cancel all frame") ||
                       endsWith(record.text, "Quiting Reading Control Thread")) {
                mFrameInRead = false;
            }
            mListRead = mListRead || endsWith(record.text, listRead);
        }
    }
    size_t mReadsSeen = 0;
    size_t mFramesBegun = 0;
    bool mFrameInRead = false, mListRead = false;
    std::unique_ptr<zeb_hal::IspToolSession> mStream;

    // What the fake sensor driver saw, on the library's threads.
    std::mutex mLock;
    std::condition_variable mCond;
    int mFps = 0;
    int mFrames = 0;
    int mPreviewEnds = 0;          // the sensor resumed after a preview
    int mCaptureEnds = 0;          // the sensor resumed after capture frames
    bool mCaptureEnded = false;    // not yet answered with a snapshot stop
    uint8_t mFrameSum = 0;         // of the bytes the driver read
    std::atomic<size_t> mEntriesDone{0};  // tuning entries (or tasks) whose process signal came

    // The 3A algorithms' thread: one run of all four per frame period.
    std::thread mThreeA;
    std::mutex m3ALock;  // held around each run; the HAL's snapshot preparation takes it too
    std::atomic<bool> mStop3A{false};
    std::atomic<bool> mInRun{false};
    std::atomic<uint64_t> mRunsStarted{0};
    std::atomic<bool> mThreeAFast{false};

    // The query thread: by handle until the close begins, then by camera id.
    std::thread mQueries;
    std::mutex mQueryLock;
    std::condition_variable mQueryCond;
    bool mHandleGone = false;   // under mQueryLock
    bool mByHandleDone = false;  // under mQueryLock
    std::atomic<bool> mStopQueries{false};
};

long CameraSession::OnCommand(unsigned long tag, unsigned long record) {
    if (tag != kVirtualSensorIoctlTag || !record) return -1;
    vsensor_cmd_t command;
    memcpy(&command, reinterpret_cast<const void*>(record), sizeof command);
    void* param = reinterpret_cast<void*>(command.param);
    switch (command.cmd) {
        case VSENSOR_CMD_GET_BINNING_FACTOR:
            if (param) static_cast<vsensor_binning_info_t*>(param)->factor = 1;
            return 0;
        case VSENSOR_CMD_SET_FRAME:
            if (param) ReadFrame(*static_cast<const isp_raw_proc_info*>(param));
            return 0;
        case VSENSOR_CMD_PAUSE: {
            int32_t pause = 0;
            if (param) memcpy(&pause, param, sizeof pause);
            std::lock_guard<std::mutex> guard(mLock);
            if (pause == 0 && mFps == 15) {
                ++mPreviewEnds;
            } else if (pause == 0 && mFps == 8) {
                ++mCaptureEnds;
                mCaptureEnded = true;
            }
            mCond.notify_all();
            return 0;
        }
        case VSENSOR_CMD_SET_FPS: {
            int32_t fps = 0;
            if (param) memcpy(&fps, param, sizeof fps);
            std::lock_guard<std::mutex> guard(mLock);
            mFps = fps;
            return 0;
        }
        default:
            return 0;
    }
}

// The driver reads the frame from its descriptor while the library's driver
// thread waits in the ioctl, as the sensor path of a device does.
void CameraSession::ReadFrame(const isp_raw_proc_info& info) {
    const size_t stride = (static_cast<size_t>(info.width) * 5 / 4 + 15) / 16 * 16;
    const size_t bytes = stride * info.height + info.offset;
    uint8_t sum = 0;
    bool mapped = true;
    if (info.fd >= 0 && bytes > 0) {
        void* address = mmap(nullptr, bytes, PROT_READ, MAP_SHARED, info.fd, 0);
        if (address == MAP_FAILED) {
            mapped = false;
        } else {
            const uint8_t* image = static_cast<const uint8_t*>(address) + info.offset;
            for (size_t at = 0; at < bytes - info.offset; at += 64) sum = static_cast<uint8_t>(sum + image[at]);
            munmap(address, bytes);
        }
    }
    std::lock_guard<std::mutex> guard(mLock);
    if (!mapped) mResult.faults.push_back("frame " + std::to_string(mFrames) + ": its descriptor does not map");
    mFrameSum = static_cast<uint8_t>(mFrameSum + sum);
    ++mFrames;
    mCond.notify_all();
}

void CameraSession::ThreeALoop() {
    while (!mStop3A.load()) {
        const size_t task = TaskNow();
        int fps;
        {
            std::lock_guard<std::mutex> guard(mLock);
            fps = mFps;
        }
        {
            std::lock_guard<std::mutex> guard(m3ALock);
            mInRun = true;
            ++mRunsStarted;
            m3A->Cycle(task, fps == 8 ? zeb_hal::CyclePhase::Capture : zeb_hal::CyclePhase::Preview);
            mInRun = false;
        }
        if (!mThreeAFast.load()) std::this_thread::sleep_for(FramePeriod());
    }
}

// The result queries a HAL makes per frame, by handle.
void CameraSession::HandleQueries(uint64_t round) {
    std::vector<uint8_t> scratch(kScratchBytes, 0);
    std::vector<uint8_t> yuv(std::max<size_t>(mProcess.yuvBytes, 1), 0);
    void* out = scratch.data();
    mApi.GetPrevYuvFrame(mHandle);
    for (int type : {9, 10, 1, 8}) {
        mApi.GetFrameStatisInfo(mHandle, type, reinterpret_cast<unsigned long>(out), kScratchBytes);
    }
    for (int kind : {5, 6, 7, 8}) mApi.SetDataUpdateFunc(mHandle, kind, out);
    mApi.SetAeOfflineInfoFunc(mHandle, out);
    mApi.GetFrameEvStatus(mHandle);
    mApi.GetZSLYuvFrame(mHandle, yuv.data());
    mApi.GetFrameSceneInfo(mHandle, out);
    mApi.GetFrameiSceneInfo(mHandle, out);
    mApi.GetFrameSmartInfo(mHandle, out);
    mApi.GetFrameManualInfo(mHandle, out);
    mApi.GetFrameAndroidInfo(mHandle, out);
    if (round % 8 == 0) {
        // Every list lives as long as the instance: asked now and then, as a
        // HAL asks once per capture.
        void* list = nullptr;
        int count = 0;
        mApi.GetFrameYuv(mHandle, &list, &count);
    }
}

void CameraSession::QueryLoop() {
    for (uint64_t round = 0;; ++round) {
        {
            std::unique_lock<std::mutex> lock(mQueryLock);
            if (mHandleGone) break;
        }
        HandleQueries(round);
        std::unique_lock<std::mutex> lock(mQueryLock);
        mQueryCond.wait_for(lock, FramePeriod(), [this] { return mHandleGone; });
    }
    {
        std::lock_guard<std::mutex> guard(mQueryLock);
        mByHandleDone = true;
    }
    mQueryCond.notify_all();
    // Through the close and after it, what a HAL may still ask by camera id.
    while (!mStopQueries.load()) {
        mApi.Getinstance(mProcess.options.cameraId);
        mApi.NotifyMultiEV2ZEB(mProcess.options.cameraId);
        std::unique_lock<std::mutex> lock(mQueryLock);
        mQueryCond.wait_for(lock, FramePeriod(), [this] { return mStopQueries.load(); });
    }
}

// The HAL's close: its result queries by handle have ended (CloseQueries),
// then the streaming handlers (in streaming cycles) and the simulation go,
// while the 3A algorithms, the by-id queries and the streaming client still
// call in.
void CameraSession::CloseQueries() {
    std::unique_lock<std::mutex> lock(mQueryLock);
    mHandleGone = true;
    mQueryCond.notify_all();
    mQueryCond.wait(lock, [this] { return mByHandleDone; });
}

void CameraSession::Delete() {
    MomentTime();
    const Moment moment = mResult.plan.moment;
    switch (moment) {
        case Moment::ThreeA:
            mResult.inMoment = mInRun.load();
            break;
        case Moment::Read:
            FollowReader();
            mResult.inMoment = mFrameInRead;
            break;
        default:
            break;  // decided by the tool loop
    }
    if (mStream) {
        const auto begin = Clock::now();
        mApi.DeleteSocketServer();
        mResult.socketDeleteSeconds = Seconds(Clock::now() - begin);
    }
    _log("zebsim-soak", 4).__print_log_("cycle %d: DeleteSimulation", mResult.index);
    const auto begin = Clock::now();
    mApi.DeleteSimulation(mProcess.options.cameraId);
    mResult.deleteSeconds = Seconds(Clock::now() - begin);
    _log("zebsim-soak", 4).__print_log_("cycle %d: deleted in %.3f ms", mResult.index, mResult.deleteSeconds * 1000);
    mHandle = nullptr;
    mReads.reset();
    if (mApi.Getinstance(mProcess.options.cameraId) != nullptr) Fault("the deleted instance is still registered");
    if (moment == Moment::TuningUpdate) {
        // The driver is gone: the record is read without a race.
        mResult.inMoment = mResult.reached && std::all_of(std::begin(mEntryFlags), std::end(mEntryFlags),
                                                          [](uint8_t byte) { return byte == kUntouched; });
    }
}

void CameraSession::StopHalThreads() {
    // The 3A algorithms run twice more on a closed camera before they stop.
    const uint64_t runs = mRunsStarted.load();
    const auto by = Clock::now() + std::chrono::seconds(5);
    while (mThreeA.joinable() && mRunsStarted.load() < runs + 2 && Clock::now() < by) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    mStop3A = true;
    if (mThreeA.joinable()) mThreeA.join();
    if (m3A) {
        m3A->Stop();
        m3A.reset();
    }
    mStopQueries = true;
    {
        std::lock_guard<std::mutex> guard(mQueryLock);
        mHandleGone = true;
    }
    mQueryCond.notify_all();
    if (mQueries.joinable()) mQueries.join();
    if (mStream) {
        const zeb_hal::IspToolReport stream = mStream->Stop("");
        mStream.reset();
        if (stream.torn > 0) Fault(std::to_string(stream.torn) + " torn streaming frame(s)");
        for (const std::string& error : stream.errors) {
            // The close may come before the client's first fetch or size query;
            // what a fetch brought back must still be whole.
            if (error.find("past the end") != std::string::npos || error.find("fetched after") != std::string::npos) {
                Fault("streaming: " + error);
            }
        }
    }
}

// From the start of its moment to the deletion, a cycle runs at the moment's
// time scale (1, or 4 under the sanitizers), so that one scaled second is at
// least one second: a deletion that sat out one of the library's waits of a
// second or more (an 8 s settle, a 6 s status limit, a one-second pause)
// shows, while the work a deletion does at any scale (joining threads,
// returning some sixty vendor buffers, finishing a file step) is not mistaken
// for one. Until then the cycle plays at the soak's time scale.

CycleResult CameraSession::Run() {
    const SoakOptions& options = mProcess.options;
    const CyclePlan& plan = mResult.plan;
    const auto cycleBegin = Clock::now();
    const auto window = [&plan](std::chrono::nanoseconds span) {
        return std::chrono::duration_cast<Clock::duration>(span * plan.fraction);
    };
    if (plan.moment == Moment::Read) MomentTime();
    WriteField<void*>(mContext, kOemCxtSensorHandleOffset, this);
    // The reader's progress, as its log tells it: the HAL waits for the first
    // task; a read cycle learns whether the reading was over when it deleted.
    mReads = std::make_unique<zeb_platform::LogCapture>(4);
    mHandle = mApi.CreateSimulation(mContext, options.cameraId);
    if (!mHandle) {
        mResult.faults.push_back("CreateSimulation gave no instance");
        return mResult;
    }
    mApi.SetSensorIoctlOps(&CameraSession::SensorIoctl, mHandle);
    mApi.SetGrabOps(&CameraSession::Grab, mHandle);
    mApi.SetScenerioUpdateFunc(&CameraSession::ScenarioUpdate, mHandle);
    mApi.GetIspUpFlag(mHandle, mUpdateFlags);
    m3A = std::make_unique<zeb_hal::Fake3A>(mProcess.recording);
    m3A->Start([this](void* table, int kind) { mApi.GetIspAlgOps(mHandle, table, kind); });
    if (plan.moment == Moment::Streaming) {
        zeb_hal::StreamingApi streaming;
        streaming.CreateSocketServer = mApi.CreateSocketServer;
        streaming.DeleteSocketServer = mApi.DeleteSocketServer;
        streaming.SettingSocketBuffer = mApi.SettingSocketBuffer;
        streaming.GettingPreviewWidth = mApi.GettingPreviewWidth;
        streaming.GettingPreviewHeight = mApi.GettingPreviewHeight;
        streaming.GettingLatestFrame = mApi.GettingLatestFrame;
        mStream = std::make_unique<zeb_hal::IspToolSession>(streaming, options.cameraId, kStreamWidth, kStreamHeight);
        mStream->Open();
    }
    mThreeA = std::thread(&CameraSession::ThreeALoop, this);
    mQueries = std::thread(&CameraSession::QueryLoop, this);
    if (plan.moment != Moment::Read) {
        // The HAL's pipeline takes as long to come up as the reader takes for
        // the first task: at a small time scale the driver's one-second wait
        // for a task's first frame is shorter than a read.
        const auto by = Clock::now() + std::chrono::seconds(10);
        while (!TaskRead(mProcess.recording.tasks.front().id) && Clock::now() < by) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        mReads.reset();
    }
    if (plan.moment == Moment::TuningUpdate && plan.occurrence == 0) WatchTuningUpdate();
    mApi.GenerateOneJob(mHandle);
    if (mStream) mStream->Start();

    // The test tool and the HAL's snapshot path, until the moment comes.
    const auto stallBy = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.stallSeconds));
    const size_t totalEntries = mProcess.recording.tasks.size() * mProcess.entriesPerTask;
    std::optional<Clock::time_point> deleteAt;
    // A read cycle deletes as the reader reads a frame drawn from the whole
    // list (or the next one, when that read was over before it was seen).
    const size_t readTarget =
        std::min(static_cast<size_t>(plan.fraction * static_cast<double>(mProcess.frames)), mProcess.frames - 1);
    if (plan.moment == Moment::Read) mResult.reached = true;
    uint64_t runsAtReach = 0;
    size_t entriesAtReach = 0;
    int capReadies = 0, stopsSent = 0;
    bool capturing = false;
    // What the HAL last saw of the run: a run that shows nothing for long
    // has ended (the driver skips a task whose frames are late).
    int seenFrames = 0, seenEnds = 0;
    auto lastEvent = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (deleteAt && now >= *deleteAt) break;
        if (plan.moment == Moment::Read) {
            FollowReader();
            if ((mFramesBegun > readTarget && mFrameInRead) || mListRead) break;
        }
        if (now > stallBy) {
            Fault(std::string("the run did not reach its moment (") + MomentName(plan.moment) + ") in " +
                  std::to_string(options.stallSeconds) + " s");
            break;
        }
        int frames, previewEnds, captureEnds;
        bool captureEnded;
        {
            std::unique_lock<std::mutex> lock(mLock);
            mCond.wait_for(lock, std::chrono::microseconds(plan.moment == Moment::Read ? 100 : 500));
            frames = mFrames;
            previewEnds = mPreviewEnds;
            captureEnds = mCaptureEnds;
            captureEnded = mCaptureEnded;
        }
        if (frames != seenFrames || previewEnds + captureEnds != seenEnds) {
            seenFrames = frames;
            seenEnds = previewEnds + captureEnds;
            lastEvent = now;
        }
        // The whole list played, or the run ended, before the moment came.
        if (!mResult.reached && (mEntriesDone.load() >= totalEntries || now - lastEvent > std::chrono::seconds(2))) break;

        if (GetProperty(kCapReady) == "1") {
            property_set(kCapReady, "0");
            lastEvent = now;
            if (plan.moment == Moment::SnapshotWait && !plan.holdStop && capReadies == plan.occurrence &&
                !mResult.reached) {
                MomentTime();
                mResult.reached = true;
                deleteAt = now + window(kSnapshotWindow);
            } else {
                const size_t task = TaskNow();
                if (mProcess.recording.tasks[task].hasScene) {
                    // The EV bracket of a multi-frame snapshot goes to the 3A first.
                    std::lock_guard<std::mutex> guard(m3ALock);
                    m3A->MultiEv(task);
                    mApi.NotifyMultiEV2ZEB(options.cameraId);
                }
                mApi.NotifySnapshotStatus(mHandle, true);
                capturing = true;
            }
            ++capReadies;
        }
        if (capturing && captureEnded) {
            {
                std::lock_guard<std::mutex> guard(mLock);
                mCaptureEnded = false;
            }
            capturing = false;
            if (plan.moment == Moment::SnapshotWait && plan.holdStop && captureEnds - 1 == plan.occurrence &&
                !mResult.reached) {
                MomentTime();
                mResult.reached = true;
                deleteAt = now + window(kSnapshotWindow);
            } else {
                // The settle after this stop is the moment: it runs at the moment's scale.
                const bool settle = plan.moment == Moment::Settle && stopsSent == plan.occurrence && !mResult.reached;
                if (settle) MomentTime();
                mApi.NotifySnapshotStatus(mHandle, false);
                if (settle) {
                    mResult.reached = true;
                    entriesAtReach = mEntriesDone.load();
                    deleteAt = now + window(kSettleWindow);
                }
                ++stopsSent;
            }
        }
        if (GetProperty(kProcess) == "1") {
            property_set(kProcess, "0");
            lastEvent = now;
            // The next entry's tuning update is the moment: it runs at the moment's scale.
            if (++mEntriesDone == static_cast<size_t>(plan.occurrence) && plan.moment == Moment::TuningUpdate &&
                !mResult.reached) {
                WatchTuningUpdate();
            }
        }
        if (mResult.reached) continue;
        switch (plan.moment) {
            case Moment::TuningUpdate:
                if (previewEnds > plan.occurrence) {
                    mResult.reached = true;
                    // Cubed: a third of the deletions land in the file steps at its start.
                    deleteAt = now + window(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               zeb_platform::Scaled(kUpdateWindow) * (plan.fraction * plan.fraction)));
                }
                break;
            case Moment::ThreeA:
                if (frames > plan.occurrence) {
                    MomentTime();
                    mResult.reached = true;
                    runsAtReach = mRunsStarted.load();
                }
                break;
            case Moment::Streaming:
                if (frames > plan.occurrence) {
                    MomentTime();
                    mResult.reached = true;
                    deleteAt = now + window(kStreamingWindow);
                }
                break;
            default:
                break;
        }
        if (plan.moment == Moment::ThreeA && mResult.reached) break;
    }
    CloseQueries();
    if (plan.moment == Moment::ThreeA && mResult.reached) {
        // The algorithms run back to back from now on, so that a callback is
        // nearly always under way; the deletion comes within a frame period.
        mThreeAFast = true;
        const auto by = Clock::now() + std::chrono::seconds(5);
        while (mRunsStarted.load() <= runsAtReach && Clock::now() < by) std::this_thread::yield();
        std::this_thread::sleep_for(window(FramePeriod()));
    }
    switch (plan.moment) {
        case Moment::Settle:
            mResult.inMoment = mResult.reached && mEntriesDone.load() == entriesAtReach;
            break;
        case Moment::SnapshotWait:
        case Moment::Streaming:
            mResult.inMoment = mResult.reached;
            break;
        default:
            break;  // decided at the deletion
    }
    Delete();
    StopHalThreads();
    {
        std::lock_guard<std::mutex> guard(mLock);
        mResult.framesReceived = mFrames;
    }
    mResult.seconds = Seconds(Clock::now() - cycleBegin);
    return mResult;
}

// Counts that must come back after every cycle.
struct Counts {
    std::map<std::string, std::string> threads, descriptors;
    size_t buffers = 0;
};

Counts TakeCounts() {
    Counts counts;
    counts.threads = ProcEntries("/proc/self/task", false);
    counts.descriptors = ProcEntries("/proc/self/fd", true);
    counts.buffers = LiveBuffers();
    return counts;
}

// What is there now beyond the baseline, by name.
std::string Beyond(const std::map<std::string, std::string>& now, const std::map<std::string, std::string>& baseline) {
    std::string text;
    for (const auto& entry : now) {
        if (baseline.count(entry.first) && baseline.at(entry.first) == entry.second) continue;
        text += (text.empty() ? "" : ", ") + entry.first + " " + entry.second;
    }
    return text;
}

// Waits for the counts to come back to the baseline; lists what did not.
std::vector<std::string> CheckLeaks(const Counts& baseline, double settleSeconds) {
    const auto by = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settleSeconds));
    Counts now;
    for (;;) {
        now = TakeCounts();
        // A thread's task leaves /proc a moment after it was joined.
        if (now.threads.size() <= baseline.threads.size() && now.descriptors.size() <= baseline.descriptors.size() &&
            now.buffers <= baseline.buffers) {
            return {};
        }
        if (Clock::now() > by) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::vector<std::string> leaks;
    if (now.buffers > baseline.buffers) {
        leaks.push_back(std::to_string(now.buffers - baseline.buffers) + " vendor buffer(s) still live");
    }
    if (now.threads.size() > baseline.threads.size()) {
        leaks.push_back(std::to_string(now.threads.size() - baseline.threads.size()) +
                        " thread(s) more: " + Beyond(now.threads, baseline.threads));
    }
    if (now.descriptors.size() > baseline.descriptors.size()) {
        leaks.push_back(std::to_string(now.descriptors.size() - baseline.descriptors.size()) +
                        " file descriptor(s) more: " + Beyond(now.descriptors, baseline.descriptors));
    }
    return leaks;
}

bool LoadLibrary(Process& process, std::string* error) {
#ifdef ZEB_SANITIZED
    // The sanitizers' dlopen interceptor becomes the caller of the library's
    // dlopen("libcorvale.so"), so the library's run path is not searched:
    // the plugin beside the library is loaded first, by path.
    const std::string plugin = (fs::path(process.options.library).parent_path() / "libcorvale.so").string();
    if (fs::exists(plugin)) process.plugin = dlopen(plugin.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    process.library = dlopen(process.options.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!process.library) {
        *error = std::string("cannot load the library: ") + dlerror();
        return false;
    }
    std::string missing;
#define ZEB_SOAK_RESOLVE(name)                                                                        \
    process.api.name = reinterpret_cast<decltype(process.api.name)>(dlsym(process.library, #name)); \
    if (!process.api.name) missing += std::string(missing.empty() ? "" : ", ") + #name;
    ZEB_ENTRY_POINTS(ZEB_SOAK_RESOLVE)
#undef ZEB_SOAK_RESOLVE
    process.api.SetDeviceReady = reinterpret_cast<void (*)(bool)>(dlsym(process.library, kSetDeviceReady));
    if (!process.api.SetDeviceReady) missing += std::string(missing.empty() ? "" : ", ") + "SetDeviceReady";
    if (!missing.empty()) {
        *error = "entry points missing from " + process.options.library + ": " + missing;
        return false;
    }
    return true;
}

// The threads the library starts when it loads end on their own once the
// device is ready and the configuration is read: waits until the count holds.
size_t SettledThreadCount() {
    size_t count = ProcEntries("/proc/self/task", false).size();
    const auto by = Clock::now() + std::chrono::seconds(10);
    auto stableSince = Clock::now();
    while (Clock::now() < by && Clock::now() - stableSince < std::chrono::milliseconds(200)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const size_t now = ProcEntries("/proc/self/task", false).size();
        if (now != count) {
            count = now;
            stableSince = Clock::now();
        }
    }
    return count;
}

}  // namespace

const char* MomentName(Moment moment) {
    switch (moment) {
        case Moment::Read: return "read";
        case Moment::Settle: return "settle";
        case Moment::SnapshotWait: return "snapshot wait";
        case Moment::ThreeA: return "3A callback";
        case Moment::TuningUpdate: return "tuning update";
        case Moment::Streaming: return "streaming fetch";
    }
    return "?";
}

CyclePlan PlanCycle(uint64_t seed, int cycle) {
    std::mt19937_64 random(SplitMix(seed ^ SplitMix(static_cast<uint64_t>(cycle))));
    CyclePlan plan;
    // Every moment in turn, from a place the seed chooses; the rest is drawn.
    plan.moment = static_cast<Moment>((static_cast<uint64_t>(cycle) + seed % kMoments) % kMoments);
    plan.occurrence = static_cast<int>(random() % 3);
    plan.fraction = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    plan.holdStop = (random() & 1) != 0;
    return plan;
}

int RunSoak(const SoakOptions& options, SoakReport* report, const std::function<void(const CycleResult&)>& onCycle) {
    const auto soakBegin = Clock::now();
    report->seed = options.seed;
    bool temporary = options.deviceRoot.empty();
    std::string root = options.deviceRoot;
    if (temporary) {
        std::string pattern = (fs::temp_directory_path() / "zebsim-soak-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            report->fatal = "cannot make a temporary device root";
            return 2;
        }
        root = pattern;
    }
    root = fs::absolute(root).string();
    report->deviceRoot = root;
    std::string error;
    if (!zeb_hal::WriteScenario(root, "soak", 0, &error)) {
        report->fatal = "cannot write the recording: " + error;
        return 2;
    }
    report->logFile = options.logFile.empty() ? root + "/soak.log" : fs::absolute(options.logFile).string();
    setenv("ZEB_DEVICE_ROOT", root.c_str(), 1);
    setenv("ZEB_TIME_SCALE", std::to_string(options.timeScale).c_str(), 1);
    setenv("ZEB_LOG_LEVEL", std::to_string(options.logLevel).c_str(), 1);
    setenv("ZEB_LOG_FILE", report->logFile.c_str(), 1);
    zeb_platform::SetDeviceRoot(root);
    zeb_platform::SetTimeScale(options.timeScale);
    zeb_platform::SetLogLevel(options.logLevel);
    // Deletions run at the moment's scale.
    report->limitSeconds = options.momentScale;

    Process process(options);
    process.recording = zeb_hal::ReadRecording(zeb_platform::DevicePath("/data/vendor/cameraserver/zeb/config/RawListFile.xml"));
    if (!process.recording.error.empty() || process.recording.tasks.empty()) {
        report->fatal = "cannot read the recording: " + process.recording.error;
        return 2;
    }
    process.entriesPerTask = std::max<size_t>(process.recording.tuning.Combinations(), 1);
    for (const auto& task : process.recording.tasks) {
        process.frames += task.frames.size();
        for (const auto& frame : task.frames) {
            process.yuvBytes = std::max(process.yuvBytes, static_cast<size_t>(frame.yuvWidth) * frame.yuvHeight * 3 / 2);
        }
    }

    // A fresh device: the sensor's tuning, the test tool's switches, then the library.
    zeb_platform::SetSensorTuningName(options.cameraId, kTuningName);
    zeb_platform::ResetProperties();
    property_set("persist.vendor.cam.zeb.tester", "0");
    property_set("persist.vendor.cam.zeb.post.process", "1");
    property_set("persist.vendor.cam.isptool.mode.enable", "true");
    for (const char* key : {"persist.vendor.cam.zeb.xtmhist.update", "persist.vendor.cam.zeb.ltmhist.update",
                            "persist.vendor.cam.zeb.bayerhist.update", "persist.vendor.cam.zeb.hist2.update"}) {
        property_set(key, "1");
    }
    if (!LoadLibrary(process, &error)) {
        report->fatal = error;
        return 2;
    }
    // The log file opens with its first line.
    _log("zebsim-soak", 1).__print_log_("seed %llu, %d cycle(s) from cycle %d",
                                        static_cast<unsigned long long>(options.seed), options.cycles,
                                        options.firstCycle);
    process.api.SetDeviceReady(true);
    const auto readyBy = Clock::now() + std::chrono::seconds(30);
    while (GetProperty("persist.vendor.cam.zeb.serverready") != "1" && Clock::now() < readyBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (GetProperty("persist.vendor.cam.zeb.serverready") != "1") {
        report->fatal = "the library did not announce it was ready";
        return 2;
    }
    SettledThreadCount();
    Counts baseline = TakeCounts();
    report->baselineThreads = baseline.threads.size();
    report->baselineFds = baseline.descriptors.size();
    report->baselineBuffers = baseline.buffers;

    double deleteSum = 0;
    for (int c = 0; c < options.cycles; ++c) {
        const int index = options.firstCycle + c;
        property_set(kCapReady, "0");
        property_set(kProcess, "0");
        zeb_platform::SetTimeScale(options.timeScale);
        CycleResult result;
        {
            CameraSession session(process, index, PlanCycle(options.seed, index));
            result = session.Run();
        }
        const double limit = report->limitSeconds;
        if (result.deleteSeconds > limit) {
            result.faults.push_back("DeleteSimulation took " + std::to_string(result.deleteSeconds) +
                                    " s, more than one scaled second");
        }
        if (result.socketDeleteSeconds > limit) {
            result.faults.push_back("DeleteSocketServer took " + std::to_string(result.socketDeleteSeconds) +
                                    " s, more than one scaled second");
        }
        result.leaks = CheckLeaks(baseline, options.settleSeconds);
        // A count that went below the baseline (a load-time thread that ended
        // late) is the new baseline.
        Counts now = TakeCounts();
        if (result.leaks.empty()) {
            if (now.threads.size() < baseline.threads.size()) baseline.threads = now.threads;
            if (now.descriptors.size() < baseline.descriptors.size()) baseline.descriptors = now.descriptors;
            if (now.buffers < baseline.buffers) baseline.buffers = now.buffers;
        } else {
            // Counted once: the next cycle starts from what is there now.
            baseline = now;
        }
        MomentTally& tally = report->moments[static_cast<int>(result.plan.moment)];
        tally.cycles++;
        tally.inMoment += result.inMoment ? 1 : 0;
        tally.longestDelete = std::max(tally.longestDelete, result.deleteSeconds);
        if (result.deleteSeconds > report->longestDelete) {
            report->longestDelete = result.deleteSeconds;
            report->longestCycle = index;
        }
        deleteSum += result.deleteSeconds;
        report->leaks += result.leaks.empty() ? 0 : 1;
        report->faults += result.faults.empty() ? 0 : 1;
        report->cycles.push_back(result);
        if (onCycle) onCycle(result);
    }
    report->meanDelete = report->cycles.empty() ? 0 : deleteSum / static_cast<double>(report->cycles.size());

    process.api.CheckSimulationDeinit();
    process.api.DeleteSocketServer();
    dlclose(process.library);
    if (process.plugin) dlclose(process.plugin);
    report->seconds = Seconds(Clock::now() - soakBegin);
    const bool passed = report->leaks == 0 && report->faults == 0;
    if (temporary && passed && !options.keepDeviceRoot) {
        std::error_code ignored;
        fs::remove_all(root, ignored);
        report->deviceRoot.clear();
        report->logFile = options.logFile.empty() ? std::string() : report->logFile;
    }
    return passed ? 0 : 1;
}

std::string CycleLine(const CycleResult& cycle) {
    char line[512];
    snprintf(line, sizeof line, "cycle %d: %s #%d at %.2f%s%s, %d frame(s), deleted in %.2f ms%s, cycle %.3f s",
             cycle.index, MomentName(cycle.plan.moment), cycle.plan.occurrence + 1, cycle.plan.fraction,
             cycle.plan.moment == Moment::SnapshotWait ? (cycle.plan.holdStop ? " (stop held)" : " (start held)") : "",
             !cycle.reached ? ", not reached: deleted at the end" : cycle.inMoment ? "" : ", past it",
             cycle.framesReceived, cycle.deleteSeconds * 1000,
             cycle.plan.moment == Moment::Streaming
                 ? (" (streaming " + std::to_string(cycle.socketDeleteSeconds * 1000).substr(0, 5) + " ms)").c_str()
                 : "",
             cycle.seconds);
    std::string text = line;
    for (const std::string& leak : cycle.leaks) text += "\n  LEAK: " + leak;
    for (const std::string& fault : cycle.faults) text += "\n  FAULT: " + fault;
    return text;
}

std::string Summary(const SoakReport& report) {
    char line[512];
    std::string text;
    snprintf(line, sizeof line, "zebsim-soak: seed %llu, %zu cycle(s) in %.1f s; longest deletion %.2f ms (cycle %d), mean %.2f ms, limit %.2f ms\n",
             static_cast<unsigned long long>(report.seed), report.cycles.size(), report.seconds,
             report.longestDelete * 1000, report.longestCycle, report.meanDelete * 1000, report.limitSeconds * 1000);
    text += line;
    for (int m = 0; m < kMoments; ++m) {
        const MomentTally& tally = report.moments[m];
        snprintf(line, sizeof line, "  %-16s %4d cycle(s), %4d in the moment when deleted%s, longest deletion %.2f ms\n",
                 MomentName(static_cast<Moment>(m)), tally.cycles, tally.inMoment,
                 static_cast<Moment>(m) == Moment::Read ? " (a frame being read)" : "", tally.longestDelete * 1000);
        text += line;
    }
    snprintf(line, sizeof line, "  baseline: %zu thread(s), %zu file descriptor(s), %zu vendor buffer(s)\n",
             report.baselineThreads, report.baselineFds, report.baselineBuffers);
    text += line;
    snprintf(line, sizeof line, "  leaks: %d cycle(s); other faults: %d cycle(s)\n", report.leaks, report.faults);
    text += line;
    return text;
}

}  // namespace zeb_soak
