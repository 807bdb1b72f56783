#include "algo/AE.h"

#include <cstdlib>

#include "platform/Log.h"
#include "platform/Property.h"

namespace ZEB {

std::atomic<AE*> AeClassPtr{nullptr};

namespace {

const char* const kTag = "ZEB_AE";

// The HAL's AE init parameter holds its result callback here.
constexpr size_t kInitCallback = 256;

// The result callback type that carries an AE result.
constexpr int64_t kResultCallback = 6;
constexpr int64_t kEvCommandFrameId = 65535;

int ae_cb_func(void* handle, int64_t type, void* param, void* data);

int ae_init_func(void* init, void* arg1, void* arg2) {
    AE* ae = AeClassPtr.load();
    if (!ae) {
        ZLOG(kTag, 4, "%d, %s: Could not get classHandler");
        return 1;
    }
    return ae->AeInit(init, arg1, arg2);
}

int ae_process_func(void* handle, void* calcIn, void* callbackParam) {
    AE* ae = AeClassPtr.load();
    if (!ae) {
        ZLOG(kTag, 4, "%d, %s: Could not get classHandler");
        return 1;
    }
    return ae->AeProcess(handle, calcIn, callbackParam);
}

int ae_ioctrl_func(void* handle, int command, void* in, void* out) {
    AE* ae = AeClassPtr.load();
    if (!ae) {
        ZLOG(kTag, 4, "%d, %s: Could not get classHandler");
        return 1;
    }
    return ae->AeIoctl(handle, command, in, out);
}

int ae_cb_func(void* handle, int64_t type, void* param, void* data) {
    AE* ae = AeClassPtr.load();
    if (!ae) {
        ZLOG(kTag, 4, "%d, %s: Could not get classHandler");
        return 1;
    }
    return ae->AeCbFunc(handle, type, param, data);
}

}  // namespace

const ZebAeInfo* GetCurAeInfo(const std::map<int64_t, std::vector<ZebAeInfo>>& map, int64_t frameId,
                              int64_t position) {
    auto found = map.find(frameId);
    if (found == map.end()) {
        ZLOG(kTag, 1, "%d, %s: ZEB_AE error, could get AE info with frame id %ld", static_cast<long>(frameId));
        return nullptr;
    }
    const std::vector<ZebAeInfo>& list = found->second;
    if (list.empty()) return nullptr;
    if (position < 0 || position >= static_cast<int64_t>(list.size())) return &list.back();
    return &list[static_cast<size_t>(position)];
}

AE::AE() {
    ZLOG(kTag, 4, "%d, %s: Now Prepare AE Handle");
    AeClassPtr.store(this);
    mFrmSize.store(1);
    char value[PROPERTY_VALUE_MAX] = {0};
    property_get("persist.vendor.cam.zeb.lcggain.update", value, "0");
    mLcgGainUpdate = atoi(value) != 0;
    WatchFrameRelease();
    mStatus.SetReady();
}

AE::~AE() {
    AE* self = this;
    AeClassPtr.compare_exchange_strong(self, nullptr);
    MutexLock guard(mAeinfoMtx);
    mAeInfo.clear();
}

void* AE::GetParameter(void*) { return nullptr; }

int AE::GetOpsParam(void* ops) {
    SetAeOps(ops);
    return 0;
}

void AE::SetAeOps(void* table) {
    if (!table) return;
    SaveOp<ae_init_t>(mHalInit, table, kOpsInit, &ae_init_func);
    mHalSecond.store(ReadOp<void*>(table, kOpsSecond));
    SaveOp<ae_process_t>(mHalProcess, table, kOpsProcess, &ae_process_func);
    SaveOp<ae_ioctl_t>(mHalIoctl, table, kOpsIoctl, &ae_ioctrl_func);
    WriteOp<ae_init_t>(table, kOpsInit, &ae_init_func);
    WriteOp<ae_process_t>(table, kOpsProcess, &ae_process_func);
    WriteOp<ae_ioctl_t>(table, kOpsIoctl, &ae_ioctrl_func);
    ZLOG(kTag, 4, "%d, %s: Setting AE ops with %p <-> %p", table, table);
}

ZebStatusTag* AE::GetStatus(void*) { return &mStatus; }

void AE::SetFrameId(int64_t frameId) { mFrmId.store(frameId); }

void AE::ParseParameter(void*) {}

void AE::SetFrameStaticInfo(void* record, int64_t frameId) {
    if (!record) {
        ZLOG(kTag, 4, "%d, %s: Not valid Parameter");
        return;
    }
    MutexLock guard(mAeinfoMtx);
    if (frameId == kEvCommandFrameId) {
        memcpy(mEvTable, record, sizeof mEvTable);
        mEvMode = true;
        mEvPos = 0;
        mEvWalk = true;
        ZLOG(kTag, 4, "%d, %s: ev With [%f, %f, %f]", static_cast<double>(mEvTable[0]),
             static_cast<double>(mEvTable[1]), static_cast<double>(mEvTable[2]));
        return;
    }
    mFrmSize.store(1);
    mCurFrm = 0;
    mAeInfo.clear();
    mAeInfo.emplace(frameId, *static_cast<const std::vector<ZebAeInfo>*>(record));
    mEvMode = false;
    mEvPos = 0;
}

void AE::DropFrame(const FrameSpan& span) {
    MutexLock guard(mAeinfoMtx);
    for (auto it = mAeInfo.begin(); it != mAeInfo.end();) {
        bool held = false;
        for (const ZebAeInfo& info : it->second) held = held || span.Holds(info.aemInfo) || span.Holds(info.aeResult);
        it = held ? mAeInfo.erase(it) : std::next(it);
    }
}

void AE::CopyRecorded(const void* recorded, void* out) {
    MutexLock guard(mAeinfoMtx);
    memcpy(out, recorded, AeResult::kSize);
}

void ReadRecordedAeResult(const void* recorded, void* out) {
    if (AE* ae = AeClassPtr.load()) {
        ae->CopyRecorded(recorded, out);
    } else {
        memcpy(out, recorded, AeResult::kSize);
    }
}

int AE::AeInit(void* init, void* arg1, void* arg2) {
    ae_init_t hal = mHalInit.load();
    if (!hal || !Usable(init)) {
        // Nothing to wrap into, or nothing to run: the HAL's own result.
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return hal ? hal(init, arg1, arg2) : 1;
    }
    ae_cb_t callback = ReadField<ae_cb_t>(init, kInitCallback);
    if (!callback) {
        // The HAL reports nothing; it keeps doing so.
        ZLOG(kTag, 5, "%d, %s: Could not get Callback function");
    } else if (callback != &ae_cb_func) {
        // A record initialised twice already holds the wrapper: the HAL's
        // callback saved the first time stays.
        mHalCallback.store(callback);
        WriteField<ae_cb_t>(init, kInitCallback, &ae_cb_func);
    }
    return hal(init, arg1, arg2);
}

int AE::AeProcess(void* handle, void* calcIn, void* callbackParam) {
    ae_process_t hal = mHalProcess.load();
    if (!handle || !calcIn || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    return hal(handle, calcIn, callbackParam);
}

int AE::AeCbFunc(void* handle, int64_t type, void* param, void* data) {
    ae_cb_t callback = mHalCallback.load();
    if (!callback) {
        ZLOG(kTag, 5, "%d, %s: Could not get Callback function");
        return 1;
    }
    if (handle && handle != mHalHandle.load()) {
        ZLOG(kTag, 5, "%d, %s: Getting Handle");
        mHalHandle.store(handle);
    }
    {
        MutexLock guard(mAeinfoMtx);
        if (mCurFrm >= mFrmSize.load()) {
            mCurFrm = 0;
            mFrmSize.store(1);
            // The walk is over while the EVs go on: a frame count told again
            // before the next capture (a tuning entry's preview) must not resume it.
            mEvWalk = false;
        }
        const int64_t frameId = mFrmId.load();
        ZLOG(kTag, 4, "%d, %s: type:%d", static_cast<int>(type));
        ZLOG(kTag, 4, "%d, %s: mFrmId:%d mFrmSize:%d mCurFrm:%d", static_cast<int>(frameId),
             static_cast<int>(mFrmSize.load()), static_cast<int>(mCurFrm));
        const ZebAeInfo* record = GetCurAeInfo(mAeInfo, frameId, mCurFrm);
        if (!record) {
            ZLOG(kTag, 1, "%d, %s: get aeinfo err");
        } else if (type == kResultCallback && Usable(data) && Usable(param) && ReadField<int64_t>(param, 0) == 0 &&
                   record->aeResult) {
            Substitute(static_cast<uint8_t*>(record->aeResult), static_cast<uint8_t*>(data));
        }
    }
    return callback(handle, type, param, data);
}

void AE::Substitute(uint8_t* recorded, uint8_t* live) {
    uint8_t* r = recorded;
    if (mLcgGainUpdate) CopyField(r, live, AeResult::kLcgGain, 4);
    const uint32_t liveId = ReadField<uint32_t>(live, AeResult::kFrameId);
    CopyField(r, live, AeResult::kFrameId, 4);
    CopyField(r, live, AeResult::kOfflineCurFrameId, 4);
    WriteField<uint32_t>(r, AeResult::kStatsFrameId, liveId);
    WriteField<uint32_t>(r, AeResult::kNextFrameId, liveId + 1);
    WriteField<uint8_t>(r, AeResult::kHdrStep, 0);
    WriteField<int32_t>(r, AeResult::kHdrStepFlag, 0);
    CopyField(r, live, AeResult::kFlashState, 4);
    CopyField(r, live, AeResult::kTimestamp, 8);
    CopyField(r, live, AeResult::kExposureLine, 4);
    CopyField(r, live, AeResult::kSofTimestamp, 8);
    if (!mEvMode) WriteField<float>(r, AeResult::kEv, 0.0f);
    WriteField<uint32_t>(r, AeResult::kSensorFrameId, liveId);
    if (mEvMode) {
        // Past the sixteenth result of a sequence there is no EV left: the
        // result is an ordinary one (EV 0) while the frames still advance.
        const float ev = mEvPos < kEvEntries ? mEvTable[mEvPos] : 0.0f;
        WriteField<float>(r, AeResult::kEv, ev);
        if (mEvPos == 1) {
            WriteField<uint8_t>(r, AeResult::kHdrStep, 1);
            WriteField<int32_t>(r, AeResult::kHdrStepFlag, 1);
        }
        const int32_t old = mEvPos;
        if (mEvPos < kEvEntries) ++mEvPos;
        if (old >= 0 && mEvWalk) ++mCurFrm;
    }
    memcpy(live, r, AeResult::kSize);
    ZLOG_AS(
        "AeCbFunc", kTag, 4,
        "%d, %s: AE Parameter with ISO[%d], Gain[%d], bv[%d], lum[%u], EV [%f], offline_aeinfo_cur_frame_id[%d], with "
        "Id [%d]",
        ReadField<int32_t>(r, AeResult::kIso), ReadField<int32_t>(r, AeResult::kGain),
        ReadField<int32_t>(r, AeResult::kBv), ReadField<uint32_t>(r, AeResult::kLum),
        static_cast<double>(ReadField<float>(r, AeResult::kEv)), ReadField<int32_t>(r, AeResult::kOfflineCurFrameId),
        ReadField<int32_t>(r, AeResult::kFrameId));
}

int AE::AeIoctl(void* handle, int command, void* in, void* out) {
    ae_ioctl_t hal = mHalIoctl.load();
    bool recorded = false;
    {
        MutexLock guard(mAeinfoMtx);
        const ZebAeInfo* record = GetCurAeInfo(mAeInfo, mFrmId.load(), mCurFrm);
        if (record && record->aeResult) {
            recorded = true;
            if (Usable(in) && Usable(out)) {
                memcpy(out, record->aeResult, AeResult::kSize);
                return 0;
            }
        }
    }
    if (!hal) {
        ZLOG(kTag, 4, "%d, %s: Could not run AE Ioctl");
        return 1;
    }
    if (!recorded) ZLOG(kTag, 4, "%d, %s: AE Not valid");
    return hal(handle, command, in, out);
}

}  // namespace ZEB
