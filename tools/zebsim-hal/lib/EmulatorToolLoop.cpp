// The test tool: watches the properties the library sets and answers with
// snapshot notifications, as the HAL would. The properties are process-wide:
// with two cameras a signal does not say whose it is, so the tool answers
// every camera it can be for.
#include "platform/Property.h"
#include "zebsim-hal/lib/Emulator.h"

namespace zeb_hal {

void Emulator::PlayTaskList() {
    const auto deadline = mStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(mOptions.timeoutSeconds));
    bool pendingReady = false;  // a capture-ready signal no camera was ready for yet
    for (;;) {
        if (Clock::now() > deadline) {
            mReport.timedOut = true;
            break;
        }
        {
            MutexLock lock(mLock);
            if (AllDone()) break;
            mCond.wait_for(lock.native(), std::chrono::milliseconds(2));
        }
        bool stop = false;
        for (const auto& camera : mCameras) {
            if (WatchCamera(*camera)) {
                stop = true;
                break;
            }
        }
        if (stop) break;
        AnswerCaptureReady(&pendingReady);
        if (GetProperty(kProcess) == "1") {
            property_set(kProcess, "0");
            AnswerProcess();
        }
    }
}

bool Emulator::WatchCamera(Camera& c) {
    size_t active;
    bool captureEnded, firstFrame;
    {
        MutexLock guard(mLock);
        const CameraState& state = State(c);
        active = state.active;
        captureEnded = state.captureEnded;
        firstFrame = active < state.firstFrameSeen.size() && state.firstFrameSeen[active];
    }
    const long activeId = active < mRecording.tasks.size() ? static_cast<long>(mRecording.tasks[active].id) : -1;
    if (firstFrame && c.announced != active) {
        c.announced = active;
        Progress(c, "task %ld: preview (%zu frame(s), mode \"%s\")", activeId, mRecording.tasks[active].frames.size(),
                 mRecording.tasks[active].mode.c_str());
    }
    if (mOptions.deleteDuringTask >= 0 && activeId == mOptions.deleteDuringTask && firstFrame) {
        DeleteDuringTask(c, activeId);
        return true;
    }
    if (c.capturing && captureEnded) {
        int captured;
        {
            MutexLock lock(mLock);
            mCond.wait(lock.native(), [&]() REQUIRES(mLock) {
                return State(c).events.empty() && !State(c).pipelineBusy;
            });
            CameraState& state = State(c);
            state.captureEnded = false;
            captured = state.Task(c.captureTask).captureFrames;
            state.stopSent[c.captureTask] = ++state.stops[c.captureTask] >= mEntriesPerTask;
            state.awaitingProcess = c.captureTask;
        }
        Progress(c, "task %ld: %d capture frame(s), snapshot stop", static_cast<long>(mRecording.tasks[c.captureTask].id),
                 captured);
        if (!mOptions.tester) mLibrary.entries().NotifySnapshotStatus(c.handle, false);
        c.capturing = false;
    }
    return false;
}

void Emulator::DeleteDuringTask(Camera& c, long activeId) {
    Progress(c, "task %ld: deleting the instance in the middle of the task", activeId);
    mDeleting.store(true);
    {
        // The pipeline finishes what it queries before the handle goes.
        MutexLock lock(mLock);
        State(c).events.clear();
        mCond.wait(lock.native(), [&]() REQUIRES(mLock) { return !State(c).pipelineBusy; });
    }
    const auto begin = Clock::now();
    mLibrary.entries().DeleteSimulation(c.id);
    *c.deleteSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
    mReport.deleted = true;
    c.handle = nullptr;
    Progress(c, "task %ld: instance deleted in %.3f s", activeId, *c.deleteSeconds);
}

void Emulator::AnswerCaptureReady(bool* pendingReady) {
    if (GetProperty(kCapReady) == "1") {
        property_set(kCapReady, "0");
        std::vector<Camera*> answered;
        {
            MutexLock guard(mLock);
            for (const auto& camera : mCameras) {
                // One camera: the signal is its own. Two: every camera
                // whose capture is still to come may have sent it; one
                // answered before it asks keeps the start pending.
                if (!TwoCameras() || AwaitsCapture(*camera)) answered.push_back(camera.get());
            }
        }
        // Nobody was ready to have sent it: it goes to the first that is.
        *pendingReady = answered.empty();
        for (Camera* c : answered) StartCapture(*c);
    } else if (*pendingReady) {
        Camera* ready = nullptr;
        {
            MutexLock guard(mLock);
            for (const auto& camera : mCameras) {
                if (!ready && AwaitsCapture(*camera)) ready = camera.get();
            }
        }
        if (ready) {
            *pendingReady = false;
            StartCapture(*ready);
        }
    }
}

void Emulator::AnswerProcess() {
    // No camera's settle after a snapshot ends before this much time past the
    // preview resuming: a process signal earlier than that is not its own.
    const auto settle = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(0.95 * mOptions.timeScale * kSettleSeconds));
    const bool twoCameras = TwoCameras();
    const auto now = Clock::now();
    std::vector<Camera*> settled, previewing;
    {
        MutexLock guard(mLock);
        for (const auto& camera : mCameras) {
            const CameraState& state = State(*camera);
            if (state.awaitingProcess == SIZE_MAX) {
                // Only a "Preview" task signals a pass of its frames.
                if (!twoCameras ||
                    (state.active < mRecording.tasks.size() && mRecording.tasks[state.active].mode == "Preview")) {
                    previewing.push_back(camera.get());
                }
            } else if (!twoCameras || now - state.captureEndedAt >= settle) {
                settled.push_back(camera.get());
            }
        }
    }
    // A camera's own signal after its capture, or else a preview pass.
    for (Camera* c : settled.empty() ? previewing : settled) Processed(*c);
}

// The process signal taken for one camera: a preview pass, a tuning entry or
// the whole task done.
void Emulator::Processed(Camera& c) {
    Timeline(c, kProcess, "1");
    MutexLock lock(mLock);
    CameraState& state = State(c);
    const long activeId = state.active < mRecording.tasks.size() ? static_cast<long>(mRecording.tasks[state.active].id) : -1;
    if (state.awaitingProcess == SIZE_MAX) {
        state.Task(state.active).previewPassProcessed = true;
        lock.Unlock();
        Progress(c, "task %ld: preview pass processed", activeId);
    } else if (++state.processed[state.awaitingProcess] < mEntriesPerTask) {
        const size_t done = state.processed[state.awaitingProcess];
        state.awaitingProcess = SIZE_MAX;
        lock.Unlock();
        Progress(c, "task %ld: tuning entry %zu of %zu done", activeId, done, mEntriesPerTask);
    } else {
        TaskReport& report = state.Task(state.awaitingProcess);
        report.completed = true;
        if (state.cursor <= state.awaitingProcess) state.cursor = NextTask(state.awaitingProcess);
        state.awaitingProcess = SIZE_MAX;
        const TaskReport done = report;
        lock.Unlock();
        Progress(c, "task %ld: done, %d preview and %d capture frame(s), %d matched", static_cast<long>(done.id),
                 done.previewFrames, done.captureFrames, done.matchedFrames);
    }
}

bool Emulator::AllDone() {
    for (CameraState& state : mStates) {
        for (const auto& task : *state.tasks) {
            if (!task.completed && task.expectedFrames > 0) return false;
        }
    }
    return true;
}

bool Emulator::AwaitsCapture(const Camera& c) {
    const CameraState& state = State(c);
    return !c.capturing && state.awaitingProcess == SIZE_MAX && state.active < state.tasks->size() &&
           state.firstFrameSeen[state.active] && !(*state.tasks)[state.active].completed &&
           state.stops[state.active] < mEntriesPerTask;
}

void Emulator::StartCapture(Camera& c) {
    const zeb_tools::LibraryEntries& api = mLibrary.entries();
    size_t active;
    {
        MutexLock guard(mLock);
        active = State(c).active;
    }
    Timeline(c, kCapReady, "1");
    c.captureTask = active;
    const std::string dumpRoot = GetProperty(kDumpRoot);
    {
        MutexLock guard(mLock);
        State(c).Task(c.captureTask).outputFolder = dumpRoot;
    }
    if (mCombinations > 0) RecordTuningEntry(c, c.captureTask, dumpRoot);
    CheckParamSet(c, c.captureTask);
    Progress(c, "task %ld: capture ready, snapshot start", static_cast<long>(mRecording.tasks[active].id));
    if (!mOptions.tester && mRecording.tasks[c.captureTask].hasScene) {
        // A multi-frame snapshot: the EV bracket goes to AE and XTM once the
        // pipeline has done with the preview.
        {
            MutexLock lock(mLock);
            mCond.wait(lock.native(), [&]() REQUIRES(mLock) {
                return State(c).events.empty() && !State(c).pipelineBusy;
            });
        }
        m3A->MultiEv(c.captureTask);
        api.NotifyMultiEV2ZEB(c.id);
    }
    if (!mOptions.tester) api.NotifySnapshotStatus(c.handle, true);
    c.capturing = true;
}

}  // namespace zeb_hal
