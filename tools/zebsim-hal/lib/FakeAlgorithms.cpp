// The fakes' common run: the operation tables handed over and checked, the
// algorithms initialised through what came back, one thread per algorithm
// running each cycle, the tallies of what reached the HAL, and the model of
// where the simulation's adapters stand, which the AE and XTM checks follow.
// Each algorithm's entry points and checks lie in a file of its own.
#include "zebsim-hal/lib/FakeAlgorithms.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/records/Field.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "platform/Property.h"
#include "zebsim-hal/lib/FakeShared.h"

namespace zeb_hal {

using namespace hal3a;
using namespace fake3a;

namespace {

const int kKinds[kAlgos] = {kOpsAe, kOpsAwb, kOpsAlsc, kOpsXtm};
constexpr int kEvListLength = 10;   // the scene's EV list
constexpr int kEvTableLength = 16;  // what AE holds of it

bool BlockFixed(const Recording& recording, bool (*matches)(const std::string&)) {
    for (const ExpectedBlock& block : recording.blocks) {
        if (matches(block.name)) return block.state == 3;
    }
    return false;
}

int PropertyValue(const char* key, const char* fallback) {
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get(key, value, fallback);
    return atoi(value);
}

}  // namespace

Fake3A::Fake3A(const Recording& recording) : mRecording(recording), mReports(recording.tasks.size()) {
    gFake = this;
    mFixed[kAwb] = BlockFixed(recording, [](const std::string& name) { return name == "AWB"; });
    mFixed[kAlsc] = BlockFixed(recording, [](const std::string& name) { return name == "ALSC"; });
    mFixed[kXtm] = BlockFixed(recording, [](const std::string& name) { return name.find("XTM") != std::string::npos; });
    for (int algo = 0; algo < kAlgos; ++algo) {
        auto a = std::make_unique<Algorithm>();
        a->algo = algo;
        mAlgos.push_back(std::move(a));
    }
    auto entry = [](auto function) { return reinterpret_cast<void*>(function); };
    void* deinit = entry(&FakeEntries::Deinit);
    const std::vector<std::vector<void*>> own = {
        {entry(&FakeEntries::AeInit), deinit, entry(&FakeEntries::AeProcess), entry(&FakeEntries::AeIoctl)},
        {entry(&FakeEntries::AwbInit), deinit, entry(&FakeEntries::AwbProcess), entry(&FakeEntries::AwbIoctl)},
        {entry(&FakeEntries::AlscInit), deinit, entry(&FakeEntries::AlscProcess), entry(&FakeEntries::AlscIoctl)},
        {entry(&FakeEntries::XtmInit), deinit, entry(&FakeEntries::XtmCalc), entry(&FakeEntries::XtmIoctl)}};
    for (int algo = 0; algo < kAlgos; ++algo) std::copy(own[algo].begin(), own[algo].end(), mAlgos[algo]->own);
}

Fake3A::~Fake3A() {
    Stop();
    if (gFake == this) gFake = nullptr;
}

void Fake3A::Start(const GetOps& getOps) {
    // What the simulation's adapters read when the library loaded.
    mAemProcess = PropertyValue("persist.vendor.cam.zeb.aem.process", "1") != 0;
    mLcgGain = PropertyValue("persist.vendor.cam.zeb.lcggain.update", "0") != 0;
    for (int algo = 0; algo < kAlgos; ++algo) {
        Algorithm& a = *mAlgos[static_cast<size_t>(algo)];
        std::copy(a.own, a.own + kOpsEntries, a.table);
        getOps(a.table, kKinds[algo]);
        // The simulation keeps entry 1; it wraps the others, the shading
        // algorithm's only when its block is fixed.
        const bool wrapped = algo != kAlsc || mFixed[kAlsc];
        for (int entry = 0; entry < kOpsEntries; ++entry) {
            const bool replaced = a.table[entry] != a.own[entry];
            if (replaced != (wrapped && entry != kOpsDeinit)) {
                Error(std::string(kAlgoNames[algo]) + " operation table entry " + std::to_string(entry) +
                      (replaced ? " was replaced" : " was not replaced"));
            }
            if (!a.table[entry]) a.table[entry] = a.own[entry];  // never call through a null entry
        }
        int result = 0;
        switch (algo) {
            case kAe:
                result = FakeEntries::StartAe(a);
                break;
            case kAwb:
                result = FakeEntries::StartAwb(a);
                break;
            case kAlsc:
                result = FakeEntries::StartAlsc(a);
                break;
            default:
                result = FakeEntries::StartXtm(a);
                break;
        }
        if (result != 0 || a.handle != &a) {
            Error(std::string(kAlgoNames[algo]) + " init returned " + std::to_string(result) +
                  (a.handle != &a ? " without the algorithm's handle" : ""));
            a.handle = &a;
        }
    }
    for (int algo = 0; algo < kAlgos; ++algo) mThreads.emplace_back(&Fake3A::Loop, this, algo);
}

void Fake3A::Loop(int algo) {
    Algorithm& a = *mAlgos[static_cast<size_t>(algo)];
    uint64_t seen = 0;
    MutexLock lock(mCycleLock);
    for (;;) {
        mCycleCond.wait(lock.native(), [&]() REQUIRES(mCycleLock) { return mStop || mGeneration != seen; });
        if (mGeneration == seen) return;
        seen = mGeneration;
        a.task = mCycleTask;
        a.phase = mCyclePhase;
        a.seq = mSeq;
        lock.Unlock();
        switch (algo) {
            case kAe:
                RunAe(a);
                break;
            case kAwb:
                RunAwb(a);
                break;
            case kAlsc:
                RunAlsc(a);
                break;
            default:
                RunXtm(a);
                break;
        }
        lock.Lock();
        if (--mPending == 0) mCycleCond.notify_all();
    }
}

void Fake3A::Cycle(size_t task, CyclePhase phase) {
    if (task >= mRecording.tasks.size() || mThreads.empty()) return;
    // Two cameras' pipelines share the algorithms: one frame at a time.
    MutexLock serial(mCycleSerial);
    MutexLock lock(mCycleLock);
    mCycleTask = task;
    mCyclePhase = phase;
    ++mSeq;
    mPending = kAlgos;
    ++mGeneration;
    mCycleCond.notify_all();
    mCycleCond.wait(lock.native(), [this]() REQUIRES(mCycleLock) { return mPending == 0; });
    MutexLock guard(mReportLock);
    mReports[task].played = true;
    mReports[task].checked = Checked(task);
}

void Fake3A::Stop() {
    {
        MutexLock lock(mCycleLock);
        mStop = true;
    }
    mCycleCond.notify_all();
    for (std::thread& thread : mThreads) thread.join();
    if (mThreads.empty()) return;
    mThreads.clear();
    for (const std::unique_ptr<Algorithm>& a : mAlgos) {
        const int before = a->deinitCalls;
        reinterpret_cast<DeinitFunc>(a->table[kOpsDeinit])(a->handle);
        if (a->deinitCalls != before + 1) Error(std::string(kAlgoNames[a->algo]) + " deinit did not reach the algorithm");
    }
}

std::vector<ThreeAReport> Fake3A::Reports() {
    MutexLock guard(mReportLock);
    return mReports;
}

std::vector<std::string> Fake3A::Errors() {
    MutexLock guard(mReportLock);
    return mErrors;
}

void Fake3A::Error(const std::string& error) {
    MutexLock guard(mReportLock);
    mErrors.push_back(error);
}

bool Fake3A::Checked(size_t task) const {
    if (task >= mRecording.tasks.size() || mRecording.tasks[task].frames.empty()) return false;
    for (const ExpectedFrame& frame : mRecording.tasks[task].frames) {
        if (!frame.present) return false;
    }
    return true;
}

void Fake3A::Tally(size_t task, int algo, const std::string& exchange, bool substitute, bool matches,
                   const std::string& detail) {
    MutexLock guard(mReportLock);
    ThreeAReport& report = mReports[task];
    AlgoTally* tallies[kAlgos] = {&report.ae, &report.awb, &report.alsc, &report.xtm};
    AlgoTally& tally = *tallies[algo];
    if (matches) {
        (substitute ? tally.substituted : tally.passedThrough)++;
        if (substitute) tally.substitutedExchanges.insert(exchange);
        return;
    }
    tally.mismatched++;
    if (report.errors.size() < 16) {
        report.errors.push_back(std::string(kAlgoNames[algo]) + " " + exchange +
                                (substitute ? ": not the recorded result" : ": not the algorithm's own result") +
                                (detail.empty() ? "" : " (" + detail + ")"));
    }
}

// A new task: its frames were handed over, which starts every adapter afresh.
void Fake3A::ResetModel(size_t task) {
    mModelTask = task;
    mAeCur = mXtmCur = 0;
    mEvMode = mXtmCap = false;
    mEvPos = 0;
    mEvTable.clear();
    const auto& frames = mRecording.tasks[task].frames;
    mAeFrmSize = mXtmFrmSize = std::max<int64_t>(static_cast<int64_t>(frames.size()), 1);
    mAeAreas.clear();
    for (const ExpectedFrame& frame : frames) mAeAreas.push_back(frame.Dump("AE_RESULT_INFO.bin", ae::kSize));
}

void Fake3A::MultiEv(size_t task) {
    if (!Checked(task)) return;
    MutexLock lock(mModelLock);
    if (mModelTask != task) ResetModel(task);
    const std::vector<uint8_t>& scene = mRecording.tasks[task].scene;
    // An EV bracket for the post-processing types that take one.
    if (static_cast<uint32_t>(SceneInt(scene, ZEB::SceneRecord::kPostprocType)) & 0x3d9006u) {
        mEvMode = true;
        mEvPos = 0;
        mEvTable.clear();
        // The scene's ten, then zeros up to the sixteen AE reads.
        for (int i = 0; i < kEvListLength; ++i)
            mEvTable.push_back(SceneFloat(scene, ZEB::SceneRecord::kHdrEv + 4 * static_cast<size_t>(i)));
        mEvTable.resize(kEvTableLength, 0.0f);
    }
    // Each preview of a "Preview" task tells the frame count again, so every
    // tuning entry's capture walks the task's frames as the first one did.
    const auto& frames = mRecording.tasks[task].frames;
    if (mRecording.tasks[task].mode == "Preview") mXtmFrmSize = std::max<int64_t>(static_cast<int64_t>(frames.size()), 1);
    mXtmCap = true;
}

// The statistics the AWB and shading algorithms are given.
void Fake3A::OnStatistics(Algorithm& a, void* param) {
    if (!Checked(a.task) || !param) return;
    const bool isAwb = a.algo == kAwb;
    // AWB gets the recorded AEM planes whenever the frame has them; shading
    // its recorded LSCM planes in fixed mode.
    const bool substitute = isAwb ? mAemProcess : mFixed[kAlsc];
    const ExpectedFrame& first = First(a.task);
    const Bytes recorded =
        isAwb ? first.Dump(first.Has("AEM_FOR_AWB.bin") ? "AEM_FOR_AWB.bin" : "AEM_INFO.bin", alsc::kStatsSize)
              : first.Dump("LSCM_INFO.bin", alsc::kStatsSize);
    const size_t* offsets = isAwb ? awb::kCalcPlanes : alsc::kCalcPlanes;
    const size_t count = isAwb ? 3 : 4;
    // Which recorded plane each address should lead to.
    static const size_t kAwbPlanes[3] = {0, 1, 2}, kAlscPlanes[4] = {0, 1, 1, 2};
    const size_t* recordedPlane = isAwb ? kAwbPlanes : kAlscPlanes;
    bool matches = true;
    std::string detail;
    for (size_t k = 0; k < count && matches; ++k) {
        const auto* plane = ReadField<const uint8_t*>(param, offsets[k]);
        if (substitute) {
            matches = Holds(plane, recorded.data() + awb::kPlaneSize * recordedPlane[k], awb::kPlaneSize);
        } else {
            matches = plane == a.planes.data() + awb::kPlaneSize * k;
        }
        if (!matches) detail = "plane at byte " + std::to_string(offsets[k]);
    }
    Tally(a.task, a.algo, "statistics", substitute, matches, detail);
}

}  // namespace zeb_hal
