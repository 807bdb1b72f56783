// The HAL's camera pipeline: the fake sensor driver's answers, on the
// library's driver threads, and the pipeline thread that runs the 3A and the
// result queries on each frame the driver received.
#include <cstdio>
#include <cstring>

#include "core/records/HalRecords.h"
#include "zebsim-hal/lib/Emulator.h"

namespace zeb_hal {
using namespace ZEB;

void Camera::OnFrame(const isp_raw_proc_info& info) { owner->OnFrame(*this, info); }

void Camera::OnPause(int32_t pause) { owner->OnPause(*this, pause); }

void Camera::OnFps(int32_t fps) {
    MutexLock guard(owner->mLock);
    owner->State(*this).fps = fps;
}

void Camera::OnOemContext(const void* oemContext) {
    if (oemContext == context) return;
    MutexLock guard(owner->mLock);
    owner->mForeignContexts++;
    fprintf(stderr, "the OEM context handed to the driver is not the HAL's\n");
}

void Emulator::OnPause(Camera& c, int32_t pause) {
    MutexLock guard(mLock);
    CameraState& state = State(c);
    if (pause == 0 && state.fps == 8) {
        // The preview resumes after the snapshot: the 3A run on it once
        // more before the HAL reports the snapshot done.
        state.events.push_back({state.active, -1, false, true});
        state.captureEnded = true;
        state.captureEndedAt = Clock::now();
        mCond.notify_all();
    }
}

// The frame's task is the one whose recording holds its bytes, looked for
// from the task being played on (the library only moves forward), so that
// tasks holding the same frames each get theirs; a frame without an image
// (a missing folder) belongs to the task being played.
size_t Emulator::FrameOwner(const CameraState& state, const std::vector<FrameIndex::Found>& matches,
                            int* index) const {
    size_t playing = state.cursor;
    if (playing < state.stopSent.size() && state.stopSent[playing]) playing = NextTask(playing);
    const size_t tasks = mRecording.tasks.size();
    size_t owner = SIZE_MAX;
    size_t nearest = SIZE_MAX;
    for (const FrameIndex::Found& match : matches) {
        const size_t ahead = tasks == 0 ? 0 : (match.task + tasks - std::min(playing, tasks) % tasks) % tasks;
        if (ahead < nearest) {
            nearest = ahead;
            owner = match.task;
            *index = match.index;
        }
    }
    // Once a task's snapshot has stopped, its frames are done: the next one is playing.
    return owner == SIZE_MAX ? playing : owner;
}

// Runs on the library's driver thread: the frame's buffer is read now, while
// the library guarantees it.
void Emulator::OnFrame(Camera& c, const isp_raw_proc_info& info) {
    const int width = static_cast<int>(info.width), height = static_cast<int>(info.height);
    std::string problem;
    if (info.type != 3 || memcmp(info.format, "GREY", 4) != 0 || info.pattern != mRecording.pattern || info.offset != 0) {
        problem = "frame record fields";
    }
    const int stride = AlignedStride(width);
    const uint8_t* lines = nullptr;
    if (width > 0 && height > 0 && info.fd >= 0) {
        lines = mMappings.Map(info.fd, static_cast<size_t>(stride) * static_cast<size_t>(height));
        if (!lines) problem = "frame descriptor does not map";
    }
    // Found outside the lock: the recording does not change while it plays.
    const std::vector<FrameIndex::Found> matches =
        mFrameIndex ? mFrameIndex->Find(lines, width, height, static_cast<size_t>(stride))
                    : std::vector<FrameIndex::Found>{};
    MutexLock guard(mLock);
    CameraState& state = State(c);
    const bool capture = state.fps == 8;
    int index = -1;
    const size_t owner = FrameOwner(state, matches, &index);
    mLastFrameAt = Clock::now();
    if (owner >= mRecording.tasks.size()) return;
    for (size_t t = state.cursor; t < owner; ++t) {
        // Tasks passed over by the library never get frames.
        if (!mRecording.tasks[t].frames.empty() && !state.Task(t).completed && !state.firstFrameSeen[t]) {
            state.Task(t).errors.push_back("task was not played");
            state.Task(t).completed = true;
        }
    }
    if (owner > state.cursor) state.cursor = owner;
    state.active = owner;
    const ExpectedTask& task = mRecording.tasks[owner];
    TaskReport& report = state.Task(owner);
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
    if (lines && report.picture.empty()) QueuePicture(c, report, task, index, lines, width, height);
    state.firstFrameSeen[owner] = true;
    state.events.push_back({owner, index, capture});
    mCond.notify_all();
}

// The task's first frame with an image becomes its picture.
void Emulator::QueuePicture(Camera& c, TaskReport& report, const ExpectedTask& task, int index, const uint8_t* lines,
                            int width, int height) {
    const int line = width * 5 / 4, stride = AlignedStride(width);
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
    mPictureList.push_back(job.path);
    mPictures.Add(std::move(job));
}

void Emulator::Pipeline(Camera& c) {
    MutexLock lock(mLock);
    for (;;) {
        mCond.wait(lock.native(), [this, &c]() REQUIRES(mLock) { return mStopPipeline || !State(c).events.empty(); });
        CameraState& state = State(c);
        if (state.events.empty()) return;
        const FrameEvent event = state.events.front();
        state.events.pop_front();
        state.pipelineBusy = true;
        lock.Unlock();
        HandleEvent(c, event);
        lock.Lock();
        State(c).pipelineBusy = false;
        mCond.notify_all();
    }
}

// One frame through the HAL: the 3A, then the queries.
void Emulator::HandleEvent(Camera& c, const FrameEvent& event) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    if (!mDeleting.load()) {
        m3A->Cycle(event.task, event.resume    ? CyclePhase::Resume
                               : event.capture ? CyclePhase::Capture
                                               : CyclePhase::Preview);
    }
    if (mDeleting.load() || event.resume) return;
    if (event.capture) {
        CaptureQueries(c, event.task, c.capturesQueried[event.task]++);
        return;
    }
    // A preview frame takes the HAL tens of milliseconds on a device:
    // long enough for the test tool to have consumed the last
    // process signal, which the library's count depends on.
    const auto by = Clock::now() + std::chrono::seconds(1);
    while (GetProperty(kProcess) == "1" && Clock::now() < by) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    api.GetPrevYuvFrame(c.handle);
    // Only this thread touches c.previewQueried.
    if (!c.previewQueried[event.task]) {
        c.previewQueried[event.task] = true;
        PreviewQueries(c, event.task);
    }
}

}  // namespace zeb_hal
