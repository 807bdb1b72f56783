// The fake AE algorithm: reports a skipped frame's result and then the frame's
// own through its callback, and answers the get-result ioctl with its latest.
// The HAL's side follows where the simulation's AE adapter should be (which
// recorded frame, which EV of a bracket) and checks each result against it.
#include <algorithm>
#include <cstring>

#include "zebsim-hal/lib/FakeShared.h"

namespace zeb_hal {

using namespace hal3a;
using namespace fake3a;

namespace {

// The AE result fields the simulation takes from the algorithm's live result
// or sets itself; the rest of a substituted result is the recorded one.
struct Field {
    size_t offset, size;
};
const Field kAeBookkeeping[] = {{ZEB::AeResult::kEv, 4},           {ZEB::AeResult::kFrameId, 4},
                                {ZEB::AeResult::kHdrStep, 1},      {ZEB::AeResult::kNextFrameId, 4},
                                {ZEB::AeResult::kTimestamp, 8},    {ZEB::AeResult::kExposureLine, 4},
                                {ZEB::AeResult::kLcgGain, 4},      {ZEB::AeResult::kFlashState, 4},
                                {ZEB::AeResult::kHdrStepFlag, 4},  {ZEB::AeResult::kSensorFrameId, 4},
                                {ZEB::AeResult::kStatsFrameId, 4}, {ZEB::AeResult::kOfflineCurFrameId, 4},
                                {ZEB::AeResult::kSofTimestamp, 8}};

// Which of the task's recorded frames an AE result carries, outside the bookkeeping.
int SourceFrame(const uint8_t* result, const ExpectedTask& task) {
    for (size_t i = 0; i < task.frames.size(); ++i) {
        const Bytes recorded = task.frames[i].Dump("AE_RESULT_INFO.bin", ae::kSize);
        Bytes masked(result, result + ae::kSize);
        for (const Field& field : kAeBookkeeping) CopyField(masked, recorded.data(), field.offset, field.size);
        if (masked == recorded) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

int FakeEntries::AeInit(void* initIn, void*, void* handleOut) {
    Fake3A::Algorithm& a = Of(kAe);
    a.callback = initIn ? ReadField<ResultCallback>(initIn, ae::kInitCallback) : nullptr;
    if (handleOut) WriteField<void*>(handleOut, 0, &a);
    return 0;
}

int FakeEntries::AeProcess(void* handle, void*, void* callbackParam) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.processCalls++;
    a.live = Pattern(ae::kSize, a.seq * 4 + kAe);
    WriteField<int32_t>(a.live.data(), ZEB::AeResult::kFrameId, 7000 + static_cast<int32_t>(a.seq));
    // A skipped frame's report first, then the frame's own result.
    Bytes skipped = a.live;
    uint64_t none = 0;
    Report(a, ae::kCbSkipFrame, &none, skipped.data());
    Bytes result = a.live;
    Report(a, ae::kCbResult, callbackParam, result.data());
    return 0;
}

int FakeEntries::AeIoctl(void* handle, uint32_t command, void*, void* out) {
    auto& a = *static_cast<Fake3A::Algorithm*>(handle);
    a.ioctlCalls++;
    if (command == ae::kIoctlGetResult && out) memcpy(out, a.live.data(), std::min(a.live.size(), ae::kSize));
    return 0;
}

int FakeEntries::StartAe(Fake3A::Algorithm& a) {
    a.initParam = Pattern(ae::kInitSize, 1);
    a.initResult = Pattern(64, 2);
    WriteField<void*>(a.initParam.data(), ae::kInitCallback, reinterpret_cast<void*>(&FakeEntries::OnAeResult));
    return reinterpret_cast<ae::InitFunc>(a.table[kOpsInit])(a.initParam.data(), a.initResult.data(), &a.handle);
}

// The HAL's receiver: the algorithm reports through it once the library has
// passed a result on.
int FakeEntries::OnAeResult(void* handle, int64_t type, void* param, void* data) {
    Fake3A::Algorithm& a = Of(kAe);
    if (handle != &a) return WrongHandle(a);
    gFake->OnAe(a, type, param, data);
    return 0;
}

void Fake3A::RunAe(Algorithm& a) {
    Bytes calcIn = Pattern(64, a.seq);
    uint64_t frameResult = 0;
    reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, calcIn.data(), &frameResult);
    if (!Checked(a.task)) return;
    // The latest result, as the HAL's pipeline asks for it.
    Bytes expected;
    {
        MutexLock lock(mModelLock);
        if (mModelTask != a.task) ResetModel(a.task);
        expected = mAeAreas[static_cast<size_t>(std::min<int64_t>(mAeCur, static_cast<int64_t>(mAeAreas.size()) - 1))];
    }
    Bytes in = Pattern(16, 7), out = Pattern(ae::kSize, a.seq + 99);
    const int calls = a.ioctlCalls;
    const int result =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, ae::kIoctlGetResult, in.data(), out.data());
    Tally(a.task, kAe, "ioctl", true, result == 0 && a.ioctlCalls == calls && out == expected,
          a.ioctlCalls != calls ? "the algorithm's ioctl ran" : Difference(out.data(), expected));
}

void Fake3A::OnAe(Algorithm& a, int64_t type, void* param, void* data) {
    if (!Checked(a.task) || !data) return;
    const auto* actual = static_cast<const uint8_t*>(data);
    namespace f = ZEB::AeResult;
    const uint8_t* live = a.live.data();
    const bool frameResult = type == ae::kCbResult && param && ReadField<uint64_t>(param, 0) == 0;
    Bytes r;
    {
        MutexLock lock(mModelLock);
        if (mModelTask != a.task) ResetModel(a.task);
        // Every report, of any type, first wraps a bracket that has run out.
        if (mAeCur >= mAeFrmSize) {
            mAeCur = 0;
            mAeFrmSize = 1;
        }
        if (frameResult) {
            const size_t pos =
                static_cast<size_t>(std::min<int64_t>(mAeCur, static_cast<int64_t>(mAeAreas.size()) - 1));
            r = mAeAreas[pos];
            if (mLcgGain) CopyField(r, live, f::kLcgGain, 4);
            CopyField(r, live, f::kFrameId, 4);
            CopyField(r, live, f::kOfflineCurFrameId, 4);
            WriteField<int32_t>(r.data(), f::kStatsFrameId, ReadField<int32_t>(live, f::kFrameId));
            WriteField<int32_t>(r.data(), f::kNextFrameId, ReadField<int32_t>(r.data(), f::kFrameId) + 1);
            r[f::kHdrStep] = 0;
            WriteField<uint32_t>(r.data(), f::kHdrStepFlag, 0);
            CopyField(r, live, f::kFlashState, 4);
            CopyField(r, live, f::kTimestamp, 8);
            CopyField(r, live, f::kExposureLine, 4);
            CopyField(r, live, f::kSofTimestamp, 8);
            if (!mEvMode) WriteField<float>(r.data(), f::kEv, 0.0f);
            WriteField<int32_t>(r.data(), f::kSensorFrameId, ReadField<int32_t>(live, f::kFrameId));
            if (mEvMode) {
                // Past the sixteenth there is no EV left: an ordinary result.
                const bool known = mEvPos >= 0 && static_cast<size_t>(mEvPos) < mEvTable.size();
                WriteField<float>(r.data(), f::kEv, known ? mEvTable[static_cast<size_t>(mEvPos)] : 0.0f);
                if (mEvPos == 1) {
                    r[f::kHdrStep] = 1;
                    WriteField<uint32_t>(r.data(), f::kHdrStepFlag, 1);
                }
                if (mEvPos++ >= 0) ++mAeCur;
            }
            mAeAreas[pos] = r;
        }
    }
    if (!frameResult) {
        Tally(a.task, kAe, "callback " + std::to_string(type), false, Same(actual, a.live), Difference(actual, a.live));
        return;
    }
    Tally(a.task, kAe, "callback 6", true, Same(actual, r), Difference(actual, r));
    AeResultSeen seen;
    seen.phase = a.phase == CyclePhase::Preview ? "preview" : a.phase == CyclePhase::Capture ? "capture" : "resume";
    seen.frame = SourceFrame(actual, mRecording.tasks[a.task]);
    seen.ev = ReadField<float>(actual, f::kEv);
    seen.iso = ReadField<int32_t>(actual, f::kIso);
    seen.gain = ReadField<int32_t>(actual, f::kGain);
    seen.bv = ReadField<int32_t>(actual, f::kBv);
    seen.lum = ReadField<uint32_t>(actual, f::kLum);
    seen.hdrStep = actual[f::kHdrStep];
    seen.hdrStepFlag = static_cast<int>(ReadField<uint32_t>(actual, f::kHdrStepFlag));
    MutexLock guard(mReportLock);
    mReports[a.task].aeResults.push_back(seen);
}

}  // namespace zeb_hal
