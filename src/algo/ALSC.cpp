#include "algo/ALSC.h"

#include <memory>
#include <vector>
#include <new>

#include "platform/Log.h"

namespace ZEB {

std::atomic<ALSC*> AlscClassPtr{nullptr};

namespace {

const char* const kTag = "ZEB_ALSC";

// The HAL's ALSC init parameter holds its result callback here.
constexpr size_t kInitCallback = 256;

// Recorded LSCM statistics: three planes of 65536 bytes in a 196,620-byte area.
constexpr size_t kLscmBytes = 196620;
constexpr size_t kPlaneBytes = 65536;
// Where the HAL's calc parameter takes the planes' addresses (the middle
// plane twice).
constexpr size_t kPlaneAddress[4] = {0, 8, 16, 24};
constexpr size_t kPlaneOf[4] = {0, 1, 1, 2};

// The HAL's ALSC result, as reported by callback 28.
constexpr size_t kResultAlsc3Word = 216;
constexpr size_t kResultAlsc3Half = 220;
constexpr size_t kResultAlsc3Table = 224;
constexpr size_t kResultLsc4Fields = 12;
constexpr size_t kResultTable = 56;
constexpr size_t kResultWTable[3] = {64, 72, 80};
constexpr size_t kResultGridWidthX = 88;
constexpr size_t kResultGridWidthY = 92;

constexpr int64_t kCallbackResult = 28;
constexpr uint32_t kIoctlLsc4Result = 8;

int alsc_cb_func(void* handle, int64_t type, void* param, void* data);

ALSC* Instance(const char* wrapper) {
    ALSC* alsc = AlscClassPtr.load();
    if (!alsc) ZLOG_AS(wrapper, kTag, 4, "%d, %s: Could not get classHandler");
    return alsc;
}

int alsc_init_func(void* init, void* handle) {
    ALSC* alsc = Instance(__func__);
    return alsc ? alsc->AlscInit(init, handle) : 1;
}

int alsc_process_func(void* handle, void* calcParam, void* calcResult) {
    ALSC* alsc = Instance(__func__);
    return alsc ? alsc->AlscProcess(handle, calcParam, calcResult) : 1;
}

int alsc_ioctrl_func(void* handle, uint32_t command, void* in, void* out) {
    ALSC* alsc = Instance(__func__);
    return alsc ? alsc->AlscIoctl(handle, command, in, out) : 1;
}

int alsc_cb_func(void* handle, int64_t type, void* param, void* data) {
    ALSC* alsc = Instance(__func__);
    return alsc ? alsc->AlscCbFunc(handle, type, param, data) : 1;
}

bool IsAlscBlock(const std::string& name) { return name == "ALSC"; }

// The statistics copy the HAL reads during one process call. One per HAL
// thread, made on its first call: the per-frame path allocates nothing.
uint8_t* PrivateBlock() {
    thread_local std::unique_ptr<uint8_t[]> block;
    if (!block) block.reset(new (std::nothrow) uint8_t[kLscmBytes]);
    return block.get();
}

// The shading tables the HAL's result callback reads. The recorded ones lie in
// a frame's buffers, which a recycle or the instance's deletion may free while
// the HAL still reads its result: it is handed a copy of its own thread's,
// which stays until that thread's next result. Grown once; then the per-frame
// path allocates nothing.
const void* ThreadCopy(const void* table, size_t bytes, bool weights) {
    thread_local std::vector<uint8_t> copies[2];
    if (!table || bytes == 0) return table;
    std::vector<uint8_t>& copy = copies[weights ? 1 : 0];
    copy.assign(static_cast<const uint8_t*>(table), static_cast<const uint8_t*>(table) + bytes);
    return copy.data();
}

// The first twelve 16-bit values of a table, zeros past its end.
void FirstValues(const void* table, size_t bytes, int (&values)[12]) {
    for (size_t i = 0; i < 12; ++i) values[i] = (i + 1) * 2 <= bytes ? ReadField<uint16_t>(table, i * 2) : 0;
}

}  // namespace

ALSC::ALSC() {
    ZLOG(kTag, 4, "%d, %s: Now Prepare ALSC Handle");
    AlscClassPtr.store(this);
    WatchFrameRelease();
    mStatus.SetReady();
}

ALSC::~ALSC() {
    ALSC* self = this;
    AlscClassPtr.compare_exchange_strong(self, nullptr);
    MutexLock guard(mAlscLock);
    mAlscInfo.clear();
}

void* ALSC::GetParameter(void*) { return nullptr; }

int ALSC::GetOpsParam(void* ops) {
    SetAlscOps(ops);
    return 0;
}

void ALSC::SetAlscOps(void* table) {
    if (!table) return;
    SaveOp<alsc_init_t>(mHalInit, table, kOpsInit, &alsc_init_func);
    mHalSecond.store(ReadOp<void*>(table, kOpsSecond));
    SaveOp<alsc_process_t>(mHalProcess, table, kOpsProcess, &alsc_process_func);
    SaveOp<alsc_ioctl_t>(mHalIoctl, table, kOpsIoctl, &alsc_ioctrl_func);
    std::string name;
    uint32_t state = 0;
    if (FindBlock(&IsAlscBlock, &state, &name)) {
        mFixed.store(state == 3);
        if (state == 3) ZLOG(kTag, 4, "%d, %s: create %s fixed", name.c_str());
    }
    if (!mFixed.load()) return;
    WriteOp<alsc_init_t>(table, kOpsInit, &alsc_init_func);
    WriteOp<alsc_process_t>(table, kOpsProcess, &alsc_process_func);
    WriteOp<alsc_ioctl_t>(table, kOpsIoctl, &alsc_ioctrl_func);
    ZLOG(kTag, 4, "%d, %s: Setting ALSC ops with %p <-> %p", table, table);
}

ZebStatusTag* ALSC::GetStatus(void*) { return &mStatus; }

void ALSC::SetFrameId(int64_t frameId) { mFrmId.store(frameId); }

void ALSC::ParseParameter(void*) {}

void ALSC::SetFrameStaticInfo(void* record, int64_t frameId) {
    if (!record) {
        ZLOG(kTag, 4, "%d, %s: Not valid Parameter");
        return;
    }
    MutexLock guard(mAlscLock);
    mAlscInfo.emplace(frameId, *static_cast<const ZebAlscInfo*>(record));
}

void ALSC::DropFrame(const FrameSpan& span) {
    MutexLock guard(mAlscLock);
    for (auto it = mAlscInfo.begin(); it != mAlscInfo.end();) {
        const ZebAlscInfo& info = it->second;
        const bool held = span.Holds(info.lscmInfo) || span.Holds(info.lscResult) || span.Holds(info.lsc4Result) ||
                          span.Holds(info.lscTable) || span.Holds(info.lscWTable);
        it = held ? mAlscInfo.erase(it) : std::next(it);
    }
}

const ZebAlscInfo* ALSC::Current(const char* caller) {
    const int64_t frameId = mFrmId.load();
    auto found = mAlscInfo.find(frameId);
    if (found == mAlscInfo.end()) {
        ZLOG_AS(caller, kTag, 4, "%d, %s: ZEB_ALSC error, could get ALSC info with frame id %ld", static_cast<long>(frameId));
        return nullptr;
    }
    return &found->second;
}

int ALSC::AlscInit(void* init, void* handle) {
    ZLOG(kTag, 4, "%d, %s: Prepare to init ALSC function");
    alsc_init_t hal = mHalInit.load();
    if (!hal || !Usable(init)) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return hal ? hal(init, handle) : 1;
    }
    alsc_cb_t callback = ReadField<alsc_cb_t>(init, kInitCallback);
    if (!callback) {
        ZLOG(kTag, 4, "%d, %s: No Callback function, return");
    } else if (callback != &alsc_cb_func) {
        mHalCallback.store(callback);
        WriteField<alsc_cb_t>(init, kInitCallback, &alsc_cb_func);
    }
    return hal(init, handle);
}

int ALSC::AlscProcess(void* handle, void* calcParam, void* calcResult) {
    alsc_process_t hal = mHalProcess.load();
    if (!handle || !Usable(calcParam) || !calcResult || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    bool recorded = false;
    {
        MutexLock guard(mAlscLock);
        const ZebAlscInfo* record = Current(__func__);
        ZLOG(kTag, 4, "%d, %s: Prepare to calc ALSC");
        if (record && mFixed.load()) {
            recorded = true;
            uint8_t* block = record->lscmInfo ? PrivateBlock() : nullptr;
            if (block) {
                memcpy(block, record->lscmInfo, kLscmBytes);
                for (int i = 0; i < 4; ++i) {
                    WriteField<uint64_t>(calcParam, kPlaneAddress[i],
                                         reinterpret_cast<uintptr_t>(block + kPlaneOf[i] * kPlaneBytes));
                }
            }
        }
    }
    if (recorded) {
        // Live statistics when the frame has none recorded; success either way.
        hal(handle, calcParam, calcResult);
        return 0;
    }
    ZLOG(kTag, 4, "%d, %s: Failed to get ALSC dump info");
    return hal(handle, calcParam, calcResult);
}

int ALSC::AlscCbFunc(void* handle, int64_t type, void* param, void* data) {
    alsc_cb_t callback = mHalCallback.load();
    if (!callback) {
        ZLOG(kTag, 4, "%d, %s: No Callback function, return");
        return 1;
    }
    if (mFixed.load()) {
        MutexLock guard(mAlscLock);
        const ZebAlscInfo* record = Current(__func__);
        if (record && record->lscResult) {
            ZLOG(kTag, 4, "%d, %s: type:%d", static_cast<int>(type));
            uint8_t* result = static_cast<uint8_t*>(param);
            const uint8_t* lsc = static_cast<const uint8_t*>(record->lscResult);
            if (type != kCallbackResult) {
                // passed on as it is
            } else if (!Usable(result)) {
                ZLOG(kTag, 4, "%d, %s: Not valid intput");
            } else if (ReadField<uint64_t>(lsc, LscResult::kValid) != 0 && record->lscTable) {
                WriteField<int32_t>(result, kResultAlsc3Word, ReadField<int32_t>(lsc, LscResult::kTableIndex));
                WriteField<uint16_t>(result, kResultAlsc3Half, ReadField<uint16_t>(lsc, LscResult::kGridSize));
                WriteField<uint64_t>(
                    result, kResultAlsc3Table,
                    reinterpret_cast<uintptr_t>(ThreadCopy(record->lscTable, record->lscTableBytes, false)));
                ZLOG(kTag, 4, "%d, %s: override ALSC 3 done");
            } else if (record->lsc4Result && ReadField<uint64_t>(record->lsc4Result, Lsc4Result::kValid) != 0 &&
                       record->lscTable && record->lscWTable) {
                OverrideAlsc4(*record, result);
            }
        }
    }
    return callback(handle, type, param, data);
}

void ALSC::OverrideAlsc4(const ZebAlscInfo& record, uint8_t* result) {
    const uint8_t* lsc4 = static_cast<const uint8_t*>(record.lsc4Result);
    memcpy(result + kResultLsc4Fields, lsc4 + Lsc4Result::kBypass, Lsc4Result::kFieldsBytes);
    WriteField<int32_t>(result, kResultGridWidthX, ReadField<int32_t>(lsc4, Lsc4Result::kGridWidthX));
    WriteField<int32_t>(result, kResultGridWidthY, ReadField<int32_t>(lsc4, Lsc4Result::kGridWidthY));
    const void* table = ThreadCopy(record.lscTable, record.lscTableBytes, false);
    const void* weights = ThreadCopy(record.lscWTable, record.lscWTableBytes, true);
    WriteField<uint64_t>(result, kResultTable, reinterpret_cast<uintptr_t>(table));
    for (size_t offset : kResultWTable) WriteField<uint64_t>(result, offset, reinterpret_cast<uintptr_t>(weights));
    int w[12], t[12], f[12];
    FirstValues(record.lscWTable, record.lscWTableBytes, w);
    FirstValues(record.lscTable, record.lscTableBytes, t);
    ZLOG_AS("AlscCbFunc", kTag, 5, "%d, %s: grid_table_addr %p, grid_table[%d,%d,%d,%d],[%d,%d,%d,%d],[%d,%d,%d,%d]", record.lscWTable,
         w[0], w[1], w[2], w[3], w[4], w[5], w[6], w[7], w[8], w[9], w[10], w[11]);
    ZLOG_AS("AlscCbFunc", kTag, 5, "%d, %s: grid_table:%p, grid_table[%d,%d,%d,%d],[%d,%d,%d,%d],[%d,%d,%d,%d]", record.lscTable, t[0],
         t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11]);
    for (size_t i = 0; i < 10; ++i) f[i] = ReadField<int32_t>(lsc4, Lsc4Result::kBypass + 4 * i);
    f[10] = ReadField<int32_t>(lsc4, Lsc4Result::kGridWidthX);
    f[11] = ReadField<int32_t>(lsc4, Lsc4Result::kGridWidthY);
    ZLOG_AS("AlscCbFunc", kTag, 5,
         "%d, %s: alsc4_result: bypass %d, update_all %d, grid: %d %d %d %d %d, weight %d %d %d, grid_width_x/y %d "
         "%d\n",
         f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]);
    ZLOG_AS("AlscCbFunc", kTag, 4, "%d, %s: override ALSC 4 done");
}

int ALSC::AlscIoctl(void* handle, uint32_t command, void* in, void* out) {
    alsc_ioctl_t hal = mHalIoctl.load();
    bool recorded = false;
    {
        MutexLock guard(mAlscLock);
        const ZebAlscInfo* record = Current(__func__);
        recorded = record && record->lscResult && record->lsc4Result && record->lscTable && mFixed.load();
        if (recorded && command == kIoctlLsc4Result) {
            if (!record->lscWTable) return 0;
            // The result goes where the second pointer of the output record points.
            void* destination = Usable(out) ? ReadField<void*>(out, sizeof(void*)) : nullptr;
            if (Usable(destination)) {
                memcpy(destination, record->lsc4Result, Lsc4Result::kSize);
                return 0;
            }
            ZLOG(kTag, 4, "%d, %s: Not valid intput");
        }
    }
    if (!hal) return 0;
    if (!recorded) ZLOG(kTag, 4, "%d, %s: ALSC Not valid");
    return hal(handle, command, in, out);
}

}  // namespace ZEB
