#include "algo/AWB.h"

#include <cstdlib>
#include <vector>

#include "platform/Log.h"
#include "platform/Property.h"

namespace ZEB {

std::atomic<AWB*> AwbClassPtr{nullptr};

namespace {

const char* const kTag = "ZEB_AWB";

// The HAL's AWB init parameter holds its result callback here.
constexpr size_t kInitCallback = 376;

// The HAL's AWB calc parameter: addresses of the three AEM statistics planes.
constexpr size_t kPlaneAddress[3] = {56, 64, 72};
constexpr size_t kPlaneBytes = 65536;

// Result callback types, and the ioctl that reads the result.
constexpr int64_t kCallbackResult = 32;
constexpr int64_t kCallbackCcm = 33;
constexpr int64_t kCallbackGains = 29;
constexpr int kIoctlGetResult = 257;
// Where ioctl 257 puts the result's pieces.
constexpr size_t kIoctlHeadBytes = 32;   // result bytes 0 to 31 at 0
constexpr size_t kIoctlCcm = 36;         // result bytes 56 to 71
constexpr size_t kIoctlCcmBytes = 16;
constexpr size_t kIoctlCcmLast = 52;     // the ninth ccm value (result byte 72)

int awb_cb_func(void* handle, int64_t type, void* param, void* data);

AWB* Instance(const char* wrapper) {
    AWB* awb = AwbClassPtr.load();
    if (!awb) ZLOG_AS(wrapper, kTag, 4, "%d, %s: Could not get classHandler");
    return awb;
}

int awb_init_func(void* init, void* handle) {
    AWB* awb = Instance(__func__);
    return awb ? awb->AwbInit(init, handle) : 1;
}

int awb_process_func(void* handle, void* calcParam, void* calcResult) {
    AWB* awb = Instance(__func__);
    return awb ? awb->AwbProcess(handle, calcParam, calcResult) : 1;
}

int awb_ioctrl_func(void* handle, int command, void* in, void* out) {
    AWB* awb = Instance(__func__);
    return awb ? awb->AwbIoctl(handle, command, in, out) : 1;
}

int awb_cb_func(void* handle, int64_t type, void* param, void* data) {
    AWB* awb = Instance(__func__);
    return awb ? awb->AwbCbFunc(handle, type, param, data) : 1;
}

bool IsAwbBlock(const std::string& name) { return name == "AWB"; }

}  // namespace

AWB::AWB() {
    ZLOG(kTag, 4, "%d, %s: Now Prepare AWB Handle");
    AwbClassPtr.store(this);
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get("persist.vendor.cam.zeb.aem.process", value, "1");
    mAemProcess = atoi(value) != 0;
    WatchFrameRelease();
    mStatus.SetReady();
}

AWB::~AWB() {
    AWB* self = this;
    AwbClassPtr.compare_exchange_strong(self, nullptr);
    std::vector<Record> records;
    {
        MutexLock guard(mAwbLockMtx);
        for (auto& entry : mAwbInfo) records.push_back(std::move(entry.second));
        mAwbInfo.clear();
    }
    Retire(std::move(records));
}

void AWB::Retire(std::vector<Record> records) {
    if (records.empty()) return;
    {
        MutexLock guard(mReleaseLock);
        for (const Record& record : records) record->dropped = true;
        mDropping += records.size();
    }
    // Frees them, unless a process call still holds one for the HAL.
    records.clear();
    MutexLock lock(mReleaseLock);
    mReleaseCond.wait(lock.native(), [this]() REQUIRES(mReleaseLock) { return mDropping == 0; });
}

void AWB::Released(Kept* kept) {
    // Under the lock: whoever waits in Retire sees the HAL's reads finished.
    MutexLock guard(mReleaseLock);
    if (kept->dropped) --mDropping;
    delete kept;
    mReleaseCond.notify_all();
}

void* AWB::GetParameter(void*) { return nullptr; }

int AWB::GetOpsParam(void* ops) {
    SetAwbOps(ops);
    return 0;
}

void AWB::SetAwbOps(void* table) {
    if (!table) return;
    SaveOp<awb_init_t>(mHalInit, table, kOpsInit, &awb_init_func);
    mHalSecond.store(ReadOp<void*>(table, kOpsSecond));
    SaveOp<awb_process_t>(mHalProcess, table, kOpsProcess, &awb_process_func);
    SaveOp<awb_ioctl_t>(mHalIoctl, table, kOpsIoctl, &awb_ioctrl_func);
    std::string name;
    uint32_t state = 0;
    if (FindBlock(&IsAwbBlock, &state, &name)) {
        mFixed.store(state == 3);
        if (state == 3) ZLOG(kTag, 4, "%d, %s: create %s fixed", name.c_str());
    }
    WriteOp<awb_process_t>(table, kOpsProcess, &awb_process_func);
    WriteOp<awb_ioctl_t>(table, kOpsIoctl, &awb_ioctrl_func);
    WriteOp<awb_init_t>(table, kOpsInit, &awb_init_func);
    ZLOG(kTag, 4, "%d, %s: Setting Awb ops with %p", table);
}

ZebStatusTag* AWB::GetStatus(void*) { return &mStatus; }

void AWB::SetFrameId(int64_t frameId) {
    ZLOG(kTag, 4, "%d, %s: Frame Id is %ld", static_cast<long>(frameId));
    mFrmId.store(frameId);
}

void AWB::ParseParameter(void*) {}

void AWB::SetFrameStaticInfo(void* record, int64_t frameId) {
    if (!record) {
        ZLOG(kTag, 4, "%d, %s: Not valid Parameter");
        return;
    }
    MutexLock guard(mAwbLockMtx);
    if (mAwbInfo.count(frameId)) return;
    Record kept(new Kept{*static_cast<const ZebAwbInfo*>(record), false}, [this](Kept* done) { Released(done); });
    mAwbInfo.emplace(frameId, std::move(kept));
}

const AWB::Record* AWB::Current(const char* caller) {
    const int64_t frameId = mFrmId.load();
    auto found = mAwbInfo.find(frameId);
    if (found == mAwbInfo.end()) {
        ZLOG_AS(caller, kTag, 4, "%d, %s: ZEB_AWB error, could get AWB info with frame id %ld", static_cast<long>(frameId));
        return nullptr;
    }
    return &found->second;
}

const ZebAwbInfo* AWB::GetFrameAEMInfo(int64_t frameId) {
    MutexLock guard(mAwbLockMtx);
    auto found = mAwbInfo.find(frameId);
    return found == mAwbInfo.end() ? nullptr : &found->second->info;
}

void AWB::DumpTempFile(void*) {}

void AWB::DropFrame(const FrameSpan& span) {
    std::vector<Record> dropped;
    {
        MutexLock guard(mAwbLockMtx);
        for (auto it = mAwbInfo.begin(); it != mAwbInfo.end();) {
            if (span.Holds(it->second->info.aemInfo) || span.Holds(it->second->info.awbCalc)) {
                dropped.push_back(std::move(it->second));
                it = mAwbInfo.erase(it);
            } else {
                ++it;
            }
        }
    }
    Retire(std::move(dropped));
}

int AWB::AwbInit(void* init, void* handle) {
    ZLOG(kTag, 4, "%d, %s: Prepare to init AWB function");
    awb_init_t hal = mHalInit.load();
    if (!hal || !Usable(init)) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return hal ? hal(init, handle) : 1;
    }
    awb_cb_t callback = ReadField<awb_cb_t>(init, kInitCallback);
    if (!callback) {
        ZLOG(kTag, 4, "%d, %s: No Callback function, return");
    } else if (callback != &awb_cb_func) {
        mHalCallback.store(callback);
        WriteField<awb_cb_t>(init, kInitCallback, &awb_cb_func);
    }
    return hal(init, handle);
}

int AWB::AwbProcess(void* handle, void* calcParam, void* calcResult) {
    awb_process_t hal = mHalProcess.load();
    if (!handle || !Usable(calcParam) || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    Record statistics;  // kept until the HAL has read them
    {
        MutexLock guard(mAwbLockMtx);
        const Record* record = Current(__func__);
        ZLOG(kTag, 4, "%d, %s: Prepare to calc AWB");
        if (record && mAemProcess) {
            if (uint8_t* aem = static_cast<uint8_t*>((*record)->info.aemInfo)) {
                for (int plane = 0; plane < 3; ++plane) {
                    WriteField<uint64_t>(calcParam, kPlaneAddress[plane],
                                         reinterpret_cast<uintptr_t>(aem + plane * kPlaneBytes));
                }
                statistics = *record;
            }
        } else {
            ZLOG(kTag, 1, "%d, %s: Failed to get AWB dump info");
        }
    }
    return hal(handle, calcParam, calcResult);
}

int AWB::AwbCbFunc(void* handle, int64_t type, void* param, void* data) {
    awb_cb_t callback = mHalCallback.load();
    if (!callback) {
        ZLOG(kTag, 4, "%d, %s: No Callback function, return");
        return 1;
    }
    if (mFixed.load()) {
        MutexLock guard(mAwbLockMtx);
        const Record* record = Current(__func__);
        uint8_t* r = record ? static_cast<uint8_t*>((*record)->info.awbCalc) : nullptr;
        if (r && type == kCallbackCcm) {
            if (Usable(param)) {
                memcpy(param, r + AwbCalc::kCcm, AwbCalc::kCcmBytes);
            } else {
                ZLOG(kTag, 4, "%d, %s: Not valid intput");
            }
        } else if (r && type == kCallbackResult) {
            // The live result is the second entry of the table `data` points to.
            uint8_t* live = Usable(data) ? ReadField<uint8_t*>(data, sizeof(void*)) : nullptr;
            if (Usable(live)) {
                CopyField(r, live, AwbCalc::kTimestamp, 8);
                CopyField(r, live, AwbCalc::kStatsIndex, 4);
                CopyField(r, live, AwbCalc::kFrameId, 4);
                memcpy(live, r, AwbCalc::kSize);
                int16_t ccm[9];
                memcpy(ccm, r + AwbCalc::kCcm, sizeof ccm);
                ZLOG(
                    kTag, 4,
                    "%d, %s: Preparing AWB info with frame_id %d RGB-Gain[%d, %d, %d], ct[%u], ccm[%d, %d, %d, %d, %d, "
                    "%d, %d, %d, %d]",
                    ReadField<int32_t>(live, AwbCalc::kFrameId), ReadField<int32_t>(r, AwbCalc::kGainR),
                    ReadField<int32_t>(r, AwbCalc::kGainG), ReadField<int32_t>(r, AwbCalc::kGainB),
                    ReadField<uint32_t>(r, AwbCalc::kCt), ccm[0], ccm[1], ccm[2], ccm[3], ccm[4], ccm[5], ccm[6],
                    ccm[7], ccm[8]);
            } else {
                ZLOG(kTag, 4, "%d, %s: Not valid intput");
            }
        } else if (r && type == kCallbackGains) {
            if (Usable(param)) {
                memcpy(param, r + AwbCalc::kGainR, 12);
            } else {
                ZLOG(kTag, 4, "%d, %s: Not valid intput");
            }
        }
    }
    return callback(handle, type, param, data);
}

int AWB::AwbIoctl(void* handle, int command, void* in, void* out) {
    awb_ioctl_t hal = mHalIoctl.load();
    {
        MutexLock guard(mAwbLockMtx);
        const Record* record = Current(__func__);
        const uint8_t* r = record ? static_cast<const uint8_t*>((*record)->info.awbCalc) : nullptr;
        if (!r || !mFixed.load()) {
            ZLOG(kTag, 4, "%d, %s: Could not get AWB information");
        } else if (command == kIoctlGetResult) {
            if (Usable(out)) {
                memcpy(out, r, kIoctlHeadBytes);
                memcpy(static_cast<uint8_t*>(out) + kIoctlCcm, r + AwbCalc::kCcm, kIoctlCcmBytes);
                memcpy(static_cast<uint8_t*>(out) + kIoctlCcmLast, r + AwbCalc::kCcm + kIoctlCcmBytes, 2);
                return 0;
            }
            ZLOG(kTag, 4, "%d, %s: Not valid intput");
        }
    }
    // Never under the lock: the HAL's ioctl may report through the callback.
    return hal ? hal(handle, command, in, out) : 0;
}

}  // namespace ZEB
