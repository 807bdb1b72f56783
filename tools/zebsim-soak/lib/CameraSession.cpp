#include "zebsim-soak/lib/CameraSession.h"

#include <sys/mman.h>

#include <thread>

#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "platform/Host.h"
#include "platform/Property.h"

namespace zeb_soak {
using namespace ZEB;
namespace {
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

// The preview's frame period, unscaled (the Worker's waits scale it themselves).
constexpr std::chrono::nanoseconds kFramePeriod(1000000000 / 15);
std::chrono::nanoseconds FramePeriod() { return zeb_platform::Scaled(kFramePeriod); }
}  // namespace

CameraSession::CameraSession(Process& process, int index, const CyclePlan& plan)
    : mProcess(process), mApi(process.library.entries()) {
    mResult.index = index;
    mResult.plan = plan;
}

void CameraSession::OnPause(int32_t pause) {
    MutexLock guard(mLock);
    if (pause == 0 && mFps == 15) {
        ++mPreviewEnds;
    } else if (pause == 0 && mFps == 8) {
        ++mCaptureEnds;
        mCaptureEnded = true;
    }
    mCond.notify_all();
}

void CameraSession::OnFps(int32_t fps) {
    MutexLock guard(mLock);
    mFps = fps;
}

// The driver reads the frame from its descriptor while the library's driver
// thread waits in the ioctl, as the sensor path of a device does.
void CameraSession::OnFrame(const isp_raw_proc_info& info) {
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
    MutexLock guard(mLock);
    if (!mapped) mFaults.push_back("frame " + std::to_string(mFrames) + ": its descriptor does not map");
    mFrameSum = static_cast<uint8_t>(mFrameSum + sum);
    ++mFrames;
    mCond.notify_all();
}

bool CameraSession::TaskRead(int64_t task) const {
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

void CameraSession::FollowReader() {
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

void CameraSession::ThreeALoop() {
    while (!mThreeA.Stopping()) {
        const size_t task = TaskNow();
        int fps;
        {
            MutexLock guard(mLock);
            fps = mFps;
        }
        {
            MutexLock guard(m3ALock);
            mInRun = true;
            ++mRunsStarted;
            m3A->Cycle(task, fps == 8 ? zeb_hal::CyclePhase::Capture : zeb_hal::CyclePhase::Preview);
            mInRun = false;
        }
        // Under the lock the waiters test their count with, so none misses it.
        { MutexLock guard(mLock); }
        mCond.notify_all();
        if (!mThreeAFast.load()) mThreeA.SleepFor(kFramePeriod);
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
            MutexLock lock(mQueryLock);
            if (mHandleGone) break;
        }
        HandleQueries(round);
        MutexLock lock(mQueryLock);
        mQueryCond.wait_for(lock.native(), FramePeriod(), [this]() REQUIRES(mQueryLock) { return mHandleGone; });
    }
    {
        MutexLock guard(mQueryLock);
        mByHandleDone = true;
    }
    mQueryCond.notify_all();
    // Through the close and after it, what a HAL may still ask by camera id.
    while (!mQueries.Stopping()) {
        mApi.Getinstance(mProcess.options.cameraId);
        mApi.NotifyMultiEV2ZEB(mProcess.options.cameraId);
        mQueries.SleepFor(kFramePeriod);
    }
}

// The HAL's close: its result queries by handle have ended (CloseQueries),
// then the streaming handlers (in streaming cycles) and the simulation go,
// while the 3A algorithms, the by-id queries and the streaming client still
// call in.
void CameraSession::CloseQueries() {
    MutexLock lock(mQueryLock);
    mHandleGone = true;
    mQueryCond.notify_all();
    mQueryCond.wait(lock.native(), [this]() REQUIRES(mQueryLock) { return mByHandleDone; });
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

bool CameraSession::WaitForRuns(uint64_t count, std::chrono::nanoseconds limit) {
    MutexLock lock(mLock);
    return mCond.wait_for(lock.native(), limit, [this, count] { return mRunsStarted.load() >= count; });
}

void CameraSession::StopHalThreads() {
    // The 3A algorithms run twice more on a closed camera before they stop.
    if (mThreeA.Started()) WaitForRuns(mRunsStarted.load() + 2, std::chrono::seconds(5));
    mThreeA.Stop();
    mThreeA.Join();
    if (m3A) {
        MutexLock guard(m3ALock);
        m3A->Stop();
        m3A.reset();
    }
    mQueries.Stop();
    {
        MutexLock guard(mQueryLock);
        mHandleGone = true;
    }
    mQueryCond.notify_all();
    mQueries.Join();
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
    const auto cycleBegin = Clock::now();
    const bool opened = Open();
    if (opened) {
        ToolState tool;
        PlayToMoment(tool);
        Close(tool);
    }
    {
        MutexLock guard(mLock);
        mResult.framesReceived = mFrames;
        mResult.faults.insert(mResult.faults.end(), mFaults.begin(), mFaults.end());
    }
    if (opened) mResult.seconds = Seconds(Clock::now() - cycleBegin);
    return mResult;
}

bool CameraSession::Open() {
    const SoakOptions& options = mProcess.options;
    const CyclePlan& plan = mResult.plan;
    if (plan.moment == Moment::Read) MomentTime();
    NameIn(mContext);
    // The reader's progress, as its log tells it: the HAL waits for the first
    // task; a read cycle learns whether the reading was over when it deleted.
    mReads = std::make_unique<zeb_platform::LogCapture>(4);
    mHandle = mApi.CreateSimulation(mContext, options.cameraId);
    if (!mHandle) {
        Fault("CreateSimulation gave no instance");
        return false;
    }
    Install(mApi, mHandle);
    mApi.GetIspUpFlag(mHandle, mUpdateFlags);
    m3A = std::make_unique<zeb_hal::Fake3A>(mProcess.recording);
    {
        MutexLock guard(m3ALock);
        m3A->Start([this](void* table, int kind) { mApi.GetIspAlgOps(mHandle, table, kind); });
    }
    if (plan.moment == Moment::Streaming) {
        mStream = std::make_unique<zeb_hal::IspToolSession>(mApi.StreamingFamily<zeb_hal::StreamingApi>(),
                                                            options.cameraId, kStreamWidth, kStreamHeight);
        mStream->Open();
    }
    mThreeA.Start([this] { ThreeALoop(); });
    mQueries.Start([this] { QueryLoop(); });
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
    return true;
}

std::string GetProperty(const char* key) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key, value, "");
    return value;
}

void CameraSession::PlayToMoment(ToolState& tool) {
    const SoakOptions& options = mProcess.options;
    const CyclePlan& plan = mResult.plan;
    const auto stallBy = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options.stallSeconds));
    const size_t totalEntries = mProcess.recording.tasks.size() * mProcess.entriesPerTask;
    // A read cycle deletes as the reader reads a frame drawn from the whole
    // list (or the next one, when that read was over before it was seen).
    const size_t readTarget =
        std::min(static_cast<size_t>(plan.fraction * static_cast<double>(mProcess.frames)), mProcess.frames - 1);
    if (plan.moment == Moment::Read) mResult.reached = true;
    // What the HAL last saw of the run: a run that shows nothing for long
    // has ended (the driver skips a task whose frames are late).
    int seenFrames = 0, seenEnds = 0;
    auto lastEvent = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (tool.deleteAt && now >= *tool.deleteAt) break;
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
            MutexLock lock(mLock);
            mCond.wait_for(lock.native(), std::chrono::microseconds(plan.moment == Moment::Read ? 100 : 500));
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
            AnswerCaptureReady(tool, now);
        }
        if (tool.capturing && captureEnded) AnswerCaptureEnd(tool, now, captureEnds);
        if (GetProperty(kProcess) == "1") {
            property_set(kProcess, "0");
            lastEvent = now;
            AnswerProcess();
        }
        if (mResult.reached) continue;
        WatchMoment(tool, now, frames, previewEnds);
        if (plan.moment == Moment::ThreeA && mResult.reached) break;
    }
}

void CameraSession::AnswerCaptureReady(ToolState& tool, Clock::time_point now) {
    const CyclePlan& plan = mResult.plan;
    if (plan.moment == Moment::SnapshotWait && !plan.holdStop && tool.capReadies == plan.occurrence &&
        !mResult.reached) {
        MomentTime();
        mResult.reached = true;
        tool.deleteAt = now + Window(kSnapshotWindow);
    } else {
        const size_t task = TaskNow();
        if (mProcess.recording.tasks[task].hasScene) {
            // The EV bracket of a multi-frame snapshot goes to the 3A first.
            MutexLock guard(m3ALock);
            m3A->MultiEv(task);
            mApi.NotifyMultiEV2ZEB(mProcess.options.cameraId);
        }
        mApi.NotifySnapshotStatus(mHandle, true);
        tool.capturing = true;
    }
    ++tool.capReadies;
}

void CameraSession::AnswerCaptureEnd(ToolState& tool, Clock::time_point now, int captureEnds) {
    const CyclePlan& plan = mResult.plan;
    {
        MutexLock guard(mLock);
        mCaptureEnded = false;
    }
    tool.capturing = false;
    if (plan.moment == Moment::SnapshotWait && plan.holdStop && captureEnds - 1 == plan.occurrence &&
        !mResult.reached) {
        MomentTime();
        mResult.reached = true;
        tool.deleteAt = now + Window(kSnapshotWindow);
        return;
    }
    // The settle after this stop is the moment: it runs at the moment's scale.
    const bool settle = plan.moment == Moment::Settle && tool.stopsSent == plan.occurrence && !mResult.reached;
    if (settle) MomentTime();
    mApi.NotifySnapshotStatus(mHandle, false);
    if (settle) {
        mResult.reached = true;
        tool.entriesAtReach = mEntriesDone.load();
        tool.deleteAt = now + Window(kSettleWindow);
    }
    ++tool.stopsSent;
}

void CameraSession::AnswerProcess() {
    const CyclePlan& plan = mResult.plan;
    // The next entry's tuning update is the moment: it runs at the moment's scale.
    if (++mEntriesDone == static_cast<size_t>(plan.occurrence) && plan.moment == Moment::TuningUpdate &&
        !mResult.reached) {
        WatchTuningUpdate();
    }
}

void CameraSession::WatchMoment(ToolState& tool, Clock::time_point now, int frames, int previewEnds) {
    const CyclePlan& plan = mResult.plan;
    switch (plan.moment) {
        case Moment::TuningUpdate:
            if (previewEnds > plan.occurrence) {
                mResult.reached = true;
                // Cubed: a third of the deletions land in the file steps at its start.
                tool.deleteAt = now + Window(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          zeb_platform::Scaled(kUpdateWindow) * (plan.fraction * plan.fraction)));
            }
            break;
        case Moment::ThreeA:
            if (frames > plan.occurrence) {
                MomentTime();
                mResult.reached = true;
                tool.runsAtReach = mRunsStarted.load();
            }
            break;
        case Moment::Streaming:
            if (frames > plan.occurrence) {
                MomentTime();
                mResult.reached = true;
                tool.deleteAt = now + Window(kStreamingWindow);
            }
            break;
        default:
            break;
    }
}

void CameraSession::Close(const ToolState& tool) {
    const CyclePlan& plan = mResult.plan;
    CloseQueries();
    if (plan.moment == Moment::ThreeA && mResult.reached) {
        // The algorithms run back to back from now on, so that a callback is
        // nearly always under way; the deletion comes within a frame period.
        mThreeAFast = true;
        WaitForRuns(tool.runsAtReach + 1, std::chrono::seconds(5));
        std::this_thread::sleep_for(Window(FramePeriod()));
    }
    switch (plan.moment) {
        case Moment::Settle:
            mResult.inMoment = mResult.reached && mEntriesDone.load() == tool.entriesAtReach;
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
}

}  // namespace zeb_soak
