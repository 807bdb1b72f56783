#include "zebsim-hal/lib/FakeAlgorithms.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "platform/Property.h"
#include "zebsim-hal/lib/HalAlgo.h"

namespace zeb_hal {

using namespace hal3a;
using Bytes = std::vector<uint8_t>;

namespace {

enum Algo { kAe, kAwb, kAlsc, kXtm, kAlgos };
const char* const kAlgoNames[kAlgos] = {"AE", "AWB", "ALSC", "XTM"};
const int kKinds[kAlgos] = {kOpsAe, kOpsAwb, kOpsAlsc, kOpsXtm};
constexpr int kEvListLength = 10;   // the scene's EV list
constexpr int kEvTableLength = 16;  // what AE holds of it

// The algorithm libraries keep their state in one place, as a vendor library does.
Fake3A* gFake = nullptr;

// A pattern of its own per record and frame, unlike the recording's, so a
// byte taken from the wrong side shows.
Bytes Pattern(size_t size, uint32_t salt) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + salt * 31 + 0x5b);
    return bytes;
}

void CopyField(Bytes& to, const uint8_t* from, size_t offset, size_t size) {
    memcpy(to.data() + offset, from + offset, size);
}

std::string Difference(const uint8_t* actual, const Bytes& expected) {
    for (size_t i = 0; i < expected.size(); ++i) {
        if (actual[i] != expected[i]) {
            return "byte " + std::to_string(i) + " is " + std::to_string(actual[i]) + ", not " +
                   std::to_string(expected[i]);
        }
    }
    return "";
}

// Whether `size` bytes at an address the library wrote into a record hold
// `expected`. The pages are checked first, so a wrong address is a mismatch
// rather than the end of the HAL's process. (mincore, not process_vm_readv:
// qemu's user mode, which runs the arm64 tests, does not have the latter.)
bool Holds(const void* address, const uint8_t* expected, size_t size) {
    if (!address) return false;
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    const uintptr_t end = reinterpret_cast<uintptr_t>(address) + size;
    std::vector<unsigned char> resident((end - begin + page - 1) / page);
    if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) return false;
    return memcmp(address, expected, size) == 0;
}

bool Same(const uint8_t* actual, const Bytes& expected) {
    return actual && memcmp(actual, expected.data(), expected.size()) == 0;
}

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

struct Fake3A::Algorithm {
    int algo = 0;
    void* own[kOpsEntries] = {};
    void* table[kOpsEntries] = {};      // as the library gave it back; the HAL calls these
    void* handle = nullptr;             // what init gave the HAL
    ResultCallback callback = nullptr;  // what init found in its parameter
    std::atomic<int> processCalls{0}, ioctlCalls{0}, deinitCalls{0};
    Bytes initParam, initResult;
    // The running cycle.
    size_t task = 0;
    CyclePhase phase = CyclePhase::Preview;
    uint32_t seq = 0;
    // The statistics planes the HAL gives the algorithm, and what the
    // algorithm itself reported this cycle (before anything could change it).
    Bytes planes;
    Bytes live, liveParam;
};

// The algorithm libraries' entry points (each one reaches its own state
// through gFake), and the HAL's receivers of their result callbacks.
struct FakeEntries {
    static Fake3A::Algorithm& Of(int algo) { return *gFake->mAlgos[static_cast<size_t>(algo)]; }
    static int Deinit(void* handle) {
        static_cast<Fake3A::Algorithm*>(handle)->deinitCalls++;
        return 0;
    }
    static void Report(Fake3A::Algorithm& a, int64_t type, void* param, void* data) {
        if (a.callback) a.callback(&a, type, param, data);
    }

    static int AeInit(void* initIn, void*, void* handleOut) {
        Fake3A::Algorithm& a = Of(kAe);
        a.callback = initIn ? ReadField<ResultCallback>(initIn, ae::kInitCallback) : nullptr;
        if (handleOut) WriteField<void*>(handleOut, 0, &a);
        return 0;
    }
    static int AeProcess(void* handle, void*, void* callbackParam) {
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
    static int AeIoctl(void* handle, uint32_t command, void*, void* out) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.ioctlCalls++;
        if (command == ae::kIoctlGetResult && out) memcpy(out, a.live.data(), std::min(a.live.size(), ae::kSize));
        return 0;
    }

    static int AwbInit(void* param, void* handleOut) {
        Fake3A::Algorithm& a = Of(kAwb);
        a.callback = param ? ReadField<ResultCallback>(param, awb::kInitCallback) : nullptr;
        if (handleOut) WriteField<void*>(handleOut, 0, &a);
        return 0;
    }
    static int AwbProcess(void* handle, void* calcParam, void* calcResult) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.processCalls++;
        gFake->OnStatistics(a, calcParam);
        a.live = Pattern(awb::kSize, a.seq * 4 + kAwb);
        WriteField<uint32_t>(a.live.data(), ZEB::AwbCalc::kFrameId, 7000 + a.seq);
        Bytes result = a.live;
        void* tables[2] = {calcResult, result.data()};
        Report(a, awb::kCbResult, calcResult, tables);
        a.liveParam = Pattern(32, a.seq * 4 + 33);
        Bytes ccm = a.liveParam;
        Report(a, awb::kCbCcm, ccm.data(), nullptr);
        a.liveParam = Pattern(16, a.seq * 4 + 29);
        Bytes gains = a.liveParam;
        Report(a, awb::kCbGains, gains.data(), nullptr);
        return 0;
    }
    static int AwbIoctl(void* handle, uint32_t command, void*, void* out) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.ioctlCalls++;
        if (command == awb::kIoctlGetGain && out) {
            const Bytes own = Pattern(awb::kGainOutSize, a.seq * 4 + 257);
            memcpy(out, own.data(), own.size());
        }
        return 0;
    }

    static int AlscInit(void* param, void* handleOut) {
        Fake3A::Algorithm& a = Of(kAlsc);
        a.callback = param ? ReadField<ResultCallback>(param, alsc::kInitCallback) : nullptr;
        if (handleOut) WriteField<void*>(handleOut, 0, &a);
        return 0;
    }
    static int AlscProcess(void* handle, void* calcParam, void* calcResult) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.processCalls++;
        gFake->OnStatistics(a, calcParam);
        a.live = Pattern(alsc::kResultSize, a.seq * 4 + kAlsc);
        Bytes result = a.live;
        Report(a, alsc::kCbResult, result.data(), calcResult);
        a.liveParam = Pattern(alsc::kResultSize, a.seq * 4 + 27);
        Bytes other = a.liveParam;
        Report(a, alsc::kCbOther, other.data(), calcResult);
        return 5;  // a result code of its own, which fixed mode does not pass on
    }
    static int AlscIoctl(void* handle, uint32_t command, void*, void* out) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.ioctlCalls++;
        if (command == alsc::kIoctlGetLsc4 && out) {
            void* lsc4 = ReadField<void*>(out, sizeof(void*));
            const Bytes own = Pattern(ZEB::Lsc4Result::kSize, a.seq * 4 + 8);
            if (lsc4) memcpy(lsc4, own.data(), own.size());
        }
        return 0;
    }

    static int XtmInit(void*, void*, void* handleOut) {
        Fake3A::Algorithm& a = Of(kXtm);
        if (handleOut) WriteField<void*>(handleOut, 0, &a);
        return 0;
    }
    static int XtmCalc(void* handle, void*, void* result) {
        auto& a = *static_cast<Fake3A::Algorithm*>(handle);
        a.processCalls++;
        if (!result) return 1;
        auto* r = static_cast<uint8_t*>(result);
        const Bytes own = Pattern(xtm::kResultSize, a.seq * 4 + kXtm);
        memcpy(r + xtm::kGtm, own.data() + xtm::kGtm, xtm::kGtmSize);
        memcpy(r + xtm::kGtmTarget, own.data() + xtm::kGtmTarget, 4);
        memcpy(r + xtm::kLtmTiles, own.data() + xtm::kLtmTiles, 4);
        memcpy(r + xtm::kCurve, own.data() + xtm::kCurve, xtm::kCurveSize);
        auto* ltm = ReadField<uint8_t*>(r, xtm::kLtmBuffer);
        auto* gamma = ReadField<uint8_t*>(r, xtm::kGammaBuffer);
        if (ltm) memcpy(ltm, Pattern(ZEB::XtmResult::kLtmSize, a.seq + 48).data(), ZEB::XtmResult::kLtmSize);
        if (gamma) memcpy(gamma, Pattern(ZEB::XtmResult::kGammaSize, a.seq + 576).data(), ZEB::XtmResult::kGammaSize);
        return 0;
    }
    static int XtmIoctl(void* handle, uint32_t, void*, void*) {
        static_cast<Fake3A::Algorithm*>(handle)->ioctlCalls++;
        return 0;
    }

    static int WrongHandle(Fake3A::Algorithm& a) {
        std::lock_guard<std::mutex> guard(gFake->mReportLock);
        gFake->mErrors.push_back(std::string(kAlgoNames[a.algo]) +
                                 " result callback reached the HAL with another handle");
        return 1;
    }
    // The HAL's receivers: the algorithms report through these once the
    // library has passed a result on.
    static int OnAeResult(void* handle, int64_t type, void* param, void* data) {
        Fake3A::Algorithm& a = Of(kAe);
        if (handle != &a) return WrongHandle(a);
        gFake->OnAe(a, type, param, data);
        return 0;
    }
    static int OnAwbResult(void* handle, int64_t type, void* param, void* data) {
        Fake3A::Algorithm& a = Of(kAwb);
        if (handle != &a) return WrongHandle(a);
        gFake->OnAwb(a, type, param, data);
        return 0;
    }
    static int OnAlscResult(void* handle, int64_t type, void* param, void*) {
        Fake3A::Algorithm& a = Of(kAlsc);
        if (handle != &a) return WrongHandle(a);
        gFake->OnAlsc(a, type, param);
        return 0;
    }
};

Fake3A::Fake3A(const Recording& recording) : mRecording(recording), mReports(recording.tasks.size()) {
    gFake = this;
    mFixed[kAwb] = BlockFixed(recording, [](const std::string& name) { return name == "AWB"; });
    mFixed[kAlsc] = BlockFixed(recording, [](const std::string& name) { return name == "ALSC"; });
    mFixed[kXtm] = BlockFixed(recording, [](const std::string& name) { return name.find("XTM") != std::string::npos; });
    for (int algo = 0; algo < kAlgos; ++algo) {
        auto* a = new Algorithm;
        a->algo = algo;
        mAlgos.push_back(a);
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
    for (Algorithm* a : mAlgos) delete a;
    if (gFake == this) gFake = nullptr;
}

void Fake3A::Start(const GetOps& getOps) {
    // What the simulation's adapters read when the library loaded.
    mAemProcess = PropertyValue("persist.vendor.cam.zeb.aem.process", "1") != 0;
    mLcgGain = PropertyValue("persist.vendor.cam.zeb.lcggain.update", "0") != 0;
    for (int algo = 0; algo < kAlgos; ++algo) {
        Algorithm& a = *mAlgos[algo];
        std::copy(a.own, a.own + kOpsEntries, a.table);
        getOps(a.table, kKinds[algo]);
        // The simulation keeps entry 1; it wraps the others, the shading
        // algorithm's only when its block is fixed.
        const bool wrapped = algo != kAlsc || mFixed[kAlsc];
        for (int entry = 0; entry < kOpsEntries; ++entry) {
            const bool replaced = a.table[entry] != a.own[entry];
            if (replaced != (wrapped && entry != kOpsDeinit)) {
                mErrors.push_back(std::string(kAlgoNames[algo]) + " operation table entry " + std::to_string(entry) +
                                  (replaced ? " was replaced" : " was not replaced"));
            }
            if (!a.table[entry]) a.table[entry] = a.own[entry];  // never call through a null entry
        }
        int result = 0;
        switch (algo) {
            case kAe:
                a.initParam = Pattern(ae::kInitSize, 1);
                a.initResult = Pattern(64, 2);
                WriteField<void*>(a.initParam.data(), ae::kInitCallback,
                                  reinterpret_cast<void*>(&FakeEntries::OnAeResult));
                result = reinterpret_cast<ae::InitFunc>(a.table[kOpsInit])(a.initParam.data(), a.initResult.data(),
                                                                           &a.handle);
                break;
            case kAwb:
                a.initParam = Pattern(awb::kInitSize, 3);
                WriteField<void*>(a.initParam.data(), awb::kInitCallback,
                                  reinterpret_cast<void*>(&FakeEntries::OnAwbResult));
                result = reinterpret_cast<awb::InitFunc>(a.table[kOpsInit])(a.initParam.data(), &a.handle);
                break;
            case kAlsc:
                a.initParam = Pattern(alsc::kInitSize, 4);
                WriteField<void*>(a.initParam.data(), alsc::kInitCallback,
                                  reinterpret_cast<void*>(&FakeEntries::OnAlscResult));
                result = reinterpret_cast<alsc::InitFunc>(a.table[kOpsInit])(a.initParam.data(), &a.handle);
                break;
            default:
                a.initParam = Pattern(xtm::kInitSize, 5);
                a.initResult = Pattern(xtm::kInitResultSize, 6);
                result = reinterpret_cast<xtm::InitFunc>(a.table[kOpsInit])(a.initParam.data(), a.initResult.data(),
                                                                            &a.handle);
                break;
        }
        if (result != 0 || a.handle != &a) {
            mErrors.push_back(std::string(kAlgoNames[algo]) + " init returned " + std::to_string(result) +
                              (a.handle != &a ? " without the algorithm's handle" : ""));
            a.handle = &a;
        }
    }
    for (int algo = 0; algo < kAlgos; ++algo) mThreads.emplace_back(&Fake3A::Loop, this, algo);
}

void Fake3A::Loop(int algo) {
    Algorithm& a = *mAlgos[static_cast<size_t>(algo)];
    uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mCycleLock);
    for (;;) {
        mCycleCond.wait(lock, [&] { return mStop || mGeneration != seen; });
        if (mGeneration == seen) return;
        seen = mGeneration;
        a.task = mCycleTask;
        a.phase = mCyclePhase;
        a.seq = mSeq;
        lock.unlock();
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
        lock.lock();
        if (--mPending == 0) mCycleCond.notify_all();
    }
}

void Fake3A::Cycle(size_t task, CyclePhase phase) {
    if (task >= mRecording.tasks.size() || mThreads.empty()) return;
    // Two cameras' pipelines share the algorithms: one frame at a time.
    std::lock_guard<std::mutex> serial(mCycleSerial);
    std::unique_lock<std::mutex> lock(mCycleLock);
    mCycleTask = task;
    mCyclePhase = phase;
    ++mSeq;
    mPending = kAlgos;
    ++mGeneration;
    mCycleCond.notify_all();
    mCycleCond.wait(lock, [this] { return mPending == 0; });
    std::lock_guard<std::mutex> guard(mReportLock);
    mReports[task].played = true;
    mReports[task].checked = Checked(task);
}

void Fake3A::Stop() {
    {
        std::lock_guard<std::mutex> lock(mCycleLock);
        mStop = true;
    }
    mCycleCond.notify_all();
    for (std::thread& thread : mThreads) thread.join();
    if (mThreads.empty()) return;
    mThreads.clear();
    for (Algorithm* a : mAlgos) {
        const int before = a->deinitCalls;
        reinterpret_cast<DeinitFunc>(a->table[kOpsDeinit])(a->handle);
        if (a->deinitCalls != before + 1)
            mErrors.push_back(std::string(kAlgoNames[a->algo]) + " deinit did not reach the algorithm");
    }
}

std::vector<ThreeAReport> Fake3A::Reports() {
    std::lock_guard<std::mutex> guard(mReportLock);
    return mReports;
}

std::vector<std::string> Fake3A::Errors() {
    std::lock_guard<std::mutex> guard(mReportLock);
    return mErrors;
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
    std::lock_guard<std::mutex> guard(mReportLock);
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
    std::lock_guard<std::mutex> lock(mModelLock);
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
    mXtmCap = true;
}

// ---- AE ----

void Fake3A::RunAe(Algorithm& a) {
    Bytes calcIn = Pattern(64, a.seq);
    uint64_t frameResult = 0;
    reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, calcIn.data(), &frameResult);
    if (!Checked(a.task)) return;
    // The latest result, as the HAL's pipeline asks for it.
    Bytes expected;
    {
        std::lock_guard<std::mutex> lock(mModelLock);
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
        std::lock_guard<std::mutex> lock(mModelLock);
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
    std::lock_guard<std::mutex> guard(mReportLock);
    mReports[a.task].aeResults.push_back(seen);
}

// ---- statistics the AWB and shading algorithms are given ----

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

// ---- AWB ----

void Fake3A::RunAwb(Algorithm& a) {
    if (a.planes.empty()) a.planes.resize(3 * awb::kPlaneSize);
    std::fill(a.planes.begin(), a.planes.end(), static_cast<uint8_t>(a.seq));
    Bytes param = Pattern(awb::kCalcSize, a.seq + 11), result = Pattern(128, a.seq + 12);
    for (size_t k = 0; k < 3; ++k)
        WriteField<const void*>(param.data(), awb::kCalcPlanes[k], a.planes.data() + awb::kPlaneSize * k);
    reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    if (!Checked(a.task)) return;

    const Bytes before = Pattern(awb::kGainOutSize, a.seq + 13);
    Bytes in = Pattern(16, 14), out = before;
    const int calls = a.ioctlCalls;
    const int code =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, awb::kIoctlGetGain, in.data(), out.data());
    Bytes expected = Pattern(awb::kGainOutSize, a.seq * 4 + 257);
    bool ran = true;
    if (mFixed[kAwb]) {
        const Bytes r = First(a.task).Dump("AWB_CALC_INFO.bin", awb::kSize);
        expected = before;
        memcpy(expected.data() + awb::kGainOutHead, r.data(), awb::kGainOutHeadSize);
        memcpy(expected.data() + awb::kGainOutCcm, r.data() + ZEB::AwbCalc::kCcm, awb::kGainOutCcmSize);
        memcpy(expected.data() + awb::kGainOutCcmLast, r.data() + ZEB::AwbCalc::kCcm + 16, 2);
        ran = false;
    }
    Tally(a.task, kAwb, "ioctl 257", mFixed[kAwb], code == 0 && (a.ioctlCalls != calls) == ran && out == expected,
          (a.ioctlCalls != calls) != ran ? "the algorithm's ioctl ran or not" : Difference(out.data(), expected));
}

void Fake3A::OnAwb(Algorithm& a, int64_t type, void* param, void* data) {
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kAwb];
    const Bytes r = First(a.task).Dump("AWB_CALC_INFO.bin", awb::kSize);
    namespace f = ZEB::AwbCalc;
    if (type == awb::kCbResult && data) {
        const auto* actual = ReadField<const uint8_t*>(data, sizeof(void*));
        Bytes expected = a.live;
        if (fixed) {
            expected = r;
            CopyField(expected, a.live.data(), f::kTimestamp, 8);
            CopyField(expected, a.live.data(), f::kStatsIndex, 4);
            CopyField(expected, a.live.data(), f::kFrameId, 4);
        }
        const bool matches = Same(actual, expected);
        Tally(a.task, kAwb, "callback 32", fixed, matches, actual ? Difference(actual, expected) : "no result");
        if (!fixed || !matches) return;
        std::lock_guard<std::mutex> guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.awbRecorded = true;
        for (int i = 0; i < 3; ++i) {
            report.awbGains[i] = ReadField<uint32_t>(actual, f::kGainR + 4 * static_cast<size_t>(i));
        }
        report.awbCt = ReadField<uint32_t>(actual, f::kCt);
        for (int i = 0; i < 9; ++i) report.awbCcm[i] = ReadField<int16_t>(actual, f::kCcm + 2 * static_cast<size_t>(i));
        return;
    }
    if (!param || (type != awb::kCbCcm && type != awb::kCbGains)) return;
    Bytes expected = a.liveParam;
    if (fixed && type == awb::kCbCcm) memcpy(expected.data(), r.data() + f::kCcm, 18);
    if (fixed && type == awb::kCbGains) memcpy(expected.data(), r.data() + f::kGainR, 12);
    const auto* actual = static_cast<const uint8_t*>(param);
    Tally(a.task, kAwb, "callback " + std::to_string(type), fixed, Same(actual, expected),
          Difference(actual, expected));
}

// ---- ALSC ----

void Fake3A::RunAlsc(Algorithm& a) {
    if (a.planes.empty()) a.planes.resize(4 * alsc::kPlaneSize);
    std::fill(a.planes.begin(), a.planes.end(), static_cast<uint8_t>(a.seq + 1));
    Bytes param = Pattern(alsc::kCalcSize, a.seq + 21), result = Pattern(64, a.seq + 22);
    for (size_t k = 0; k < 4; ++k)
        WriteField<const void*>(param.data(), alsc::kCalcPlanes[k], a.planes.data() + alsc::kPlaneSize * k);
    const int code = reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kAlsc];
    Tally(a.task, kAlsc, "process result", fixed, code == (fixed ? 0 : 5), "result " + std::to_string(code));

    const ExpectedFrame& first = First(a.task);
    const bool hasTable =
        first.Has("LSC_RESULT_TABLE_INFO.bin") && !first.dumps.at("LSC_RESULT_TABLE_INFO.bin").empty();
    const bool hasWTable =
        first.Has("LSC_RESULT_WTABLE_INFO.bin") && !first.dumps.at("LSC_RESULT_WTABLE_INFO.bin").empty();
    const Bytes before = Pattern(ZEB::Lsc4Result::kSize, a.seq + 23);
    Bytes lsc4 = before;
    void* out[2] = {param.data(), lsc4.data()};
    const int calls = a.ioctlCalls;
    const int ioctlCode =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, alsc::kIoctlGetLsc4, result.data(), out);
    Bytes expected = Pattern(ZEB::Lsc4Result::kSize, a.seq * 4 + 8);
    bool ran = true;
    const bool substitute = fixed && hasTable;
    if (substitute) {
        expected = hasWTable ? first.Dump("LSC4_RESULT_INFO.bin", ZEB::Lsc4Result::kSize) : before;
        ran = false;
    }
    Tally(a.task, kAlsc, "ioctl 8", substitute,
          ioctlCode == 0 && (a.ioctlCalls != calls) == ran && lsc4 == expected && out[0] == param.data(),
          (a.ioctlCalls != calls) != ran ? "the algorithm's ioctl ran or not" : Difference(lsc4.data(), expected));
}

void Fake3A::OnAlsc(Algorithm& a, int64_t type, void* param) {
    if (!Checked(a.task) || !param) return;
    auto* actual = static_cast<const uint8_t*>(param);
    if (type != alsc::kCbResult) {
        Tally(a.task, kAlsc, "callback " + std::to_string(type), false, Same(actual, a.liveParam),
              Difference(actual, a.liveParam));
        return;
    }
    const ExpectedFrame& first = First(a.task);
    const Bytes lsc = first.Dump("LSC_RESULT_INFO.bin", ZEB::LscResult::kSize);
    const Bytes lsc4 = first.Dump("LSC4_RESULT_INFO.bin", ZEB::Lsc4Result::kSize);
    const Bytes table = first.Has("LSC_RESULT_TABLE_INFO.bin") ? first.dumps.at("LSC_RESULT_TABLE_INFO.bin") : Bytes();
    const Bytes wtable =
        first.Has("LSC_RESULT_WTABLE_INFO.bin") ? first.dumps.at("LSC_RESULT_WTABLE_INFO.bin") : Bytes();
    const char* path = nullptr;
    if (mFixed[kAlsc] && ReadField<uint64_t>(lsc.data(), ZEB::LscResult::kValid) != 0 && !table.empty()) {
        path = "ALSC 3";
    } else if (mFixed[kAlsc] && ReadField<uint64_t>(lsc4.data(), ZEB::Lsc4Result::kValid) != 0 && !table.empty() &&
               !wtable.empty()) {
        path = "ALSC 4";
    }
    Bytes expected = a.live;
    std::string detail;
    // The tables are the recording's buffers inside the simulation: their
    // addresses are checked by what they hold.
    auto tableAt = [&](size_t offset, const Bytes& recorded) {
        const auto* address = ReadField<const uint8_t*>(actual, offset);
        if (!Holds(address, recorded.data(), recorded.size())) detail = "table at byte " + std::to_string(offset);
        CopyField(expected, actual, offset, sizeof(void*));
    };
    if (path && path[5] == '3') {
        memcpy(expected.data() + alsc::kV3TableIndex, lsc.data() + ZEB::LscResult::kTableIndex, 4);
        memcpy(expected.data() + alsc::kV3GridSize, lsc.data() + ZEB::LscResult::kGridSize, 2);
        tableAt(alsc::kV3Table, table);
    } else if (path) {
        memcpy(expected.data() + alsc::kV4Params, lsc4.data() + alsc::kV4ParamsFrom, alsc::kV4ParamsSize);
        memcpy(expected.data() + alsc::kV4GridWidthX, lsc4.data() + ZEB::Lsc4Result::kGridWidthX, 4);
        memcpy(expected.data() + alsc::kV4GridWidthY, lsc4.data() + ZEB::Lsc4Result::kGridWidthY, 4);
        tableAt(alsc::kV4Table, table);
        for (size_t offset : alsc::kV4WTables) tableAt(offset, wtable);
    }
    const bool matches = detail.empty() && Same(actual, expected);
    Tally(a.task, kAlsc, "callback 28", path != nullptr, matches,
          detail.empty() ? Difference(actual, expected) : detail);
    if (!path || !matches) return;
    std::lock_guard<std::mutex> guard(mReportLock);
    auto& paths = mReports[a.task].alscPaths;
    if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
}

// ---- XTM ----

void Fake3A::RunXtm(Algorithm& a) {
    namespace x = ZEB::XtmResult;
    Bytes result = Pattern(xtm::kResultSize, a.seq + 31), ltm = Pattern(x::kLtmSize, a.seq + 32),
          gamma = Pattern(x::kGammaSize, a.seq + 33), param = Pattern(xtm::kCalcSize, a.seq + 34);
    WriteField<void*>(result.data(), xtm::kLtmBuffer, ltm.data());
    WriteField<void*>(result.data(), xtm::kGammaBuffer, gamma.data());
    Bytes expected = result, expectedLtm = ltm, expectedGamma = gamma;
    const int calls = a.processCalls;
    const int code = reinterpret_cast<ProcessFunc>(a.table[kOpsProcess])(a.handle, param.data(), result.data());
    const int halCalcs = a.processCalls - calls;
    if (!Checked(a.task)) return;
    const bool fixed = mFixed[kXtm];
    if (fixed) {
        Bytes recorded;
        {
            std::lock_guard<std::mutex> lock(mModelLock);
            if (mModelTask != a.task) ResetModel(a.task);
            if (mXtmCur >= mXtmFrmSize) {
                mXtmCur = 0;
                mXtmFrmSize = 1;
            }
            const auto& frames = mRecording.tasks[a.task].frames;
            const size_t pos = static_cast<size_t>(std::min<int64_t>(mXtmCur, static_cast<int64_t>(frames.size()) - 1));
            recorded = frames[pos].Dump("XTM_RESULT_INFO.bin", x::kSize);
            if (mXtmCap) ++mXtmCur;
        }
        memcpy(expected.data() + xtm::kGtm, recorded.data() + x::kGtm, xtm::kGtmSize);
        memcpy(expected.data() + xtm::kCurve, recorded.data() + x::kCurve, x::kCurveSize);
        memcpy(expectedLtm.data(), recorded.data() + x::kLtm, x::kLtmSize);
        memcpy(expectedGamma.data(), recorded.data() + x::kGamma, x::kGammaSize);
        memcpy(expected.data() + xtm::kGtmTarget, recorded.data() + x::kGtmTarget, 2);
        memcpy(expected.data() + xtm::kGtmStrength, recorded.data() + x::kGtmStrength, 2);
        memcpy(expected.data() + xtm::kLtmTiles, recorded.data() + x::kLtmTiles, 4);
    } else {
        // The algorithm's own calc, run on the same records.
        Algorithm own;
        own.seq = a.seq;
        WriteField<void*>(expected.data(), xtm::kLtmBuffer, expectedLtm.data());
        WriteField<void*>(expected.data(), xtm::kGammaBuffer, expectedGamma.data());
        FakeEntries::XtmCalc(&own, nullptr, expected.data());
        WriteField<void*>(expected.data(), xtm::kLtmBuffer, ltm.data());
        WriteField<void*>(expected.data(), xtm::kGammaBuffer, gamma.data());
    }
    const bool matches =
        code == 0 && halCalcs == (fixed ? 0 : 1) && result == expected && ltm == expectedLtm && gamma == expectedGamma;
    std::string detail = halCalcs != (fixed ? 0 : 1)
                             ? "the algorithm's calc ran " + std::to_string(halCalcs) + " time(s)"
                         : result != expected ? "result " + Difference(result.data(), expected)
                         : ltm != expectedLtm ? "local tone map " + Difference(ltm.data(), expectedLtm)
                                              : "gamma " + Difference(gamma.data(), expectedGamma);
    Tally(a.task, kXtm, "calc", fixed, matches, detail);
    {
        std::lock_guard<std::mutex> guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.xtmHalCalcs += halCalcs;
    }
    if (fixed && matches) {
        std::lock_guard<std::mutex> guard(mReportLock);
        ThreeAReport& report = mReports[a.task];
        report.xtmRecorded = true;
        for (size_t i = 0; i < 8; ++i) report.xtmGtm[i] = ReadField<uint16_t>(result.data(), xtm::kGtm + 2 * i);
        report.xtmGamma.clear();
        for (int point : {0, 32, 64, 128, 192, 256})
            report.xtmGamma.emplace_back(point, ReadField<uint16_t>(gamma.data(), 2 * static_cast<size_t>(point)));
    }
    Bytes in = Pattern(16, 35), out = Pattern(16, 36);
    const int ioctlCalls = a.ioctlCalls;
    const int ioctlCode =
        reinterpret_cast<IoctlFunc>(a.table[kOpsIoctl])(a.handle, xtm::kIoctlGetStatus, in.data(), out.data());
    Tally(a.task, kXtm, "ioctl", false, ioctlCode == 0 && a.ioctlCalls == ioctlCalls + 1,
          "the algorithm's ioctl did not run");
}

}  // namespace zeb_hal
