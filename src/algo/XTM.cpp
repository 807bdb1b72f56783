#include "algo/XTM.h"

#include "platform/Log.h"

namespace ZEB {

std::atomic<XTM*> XtmClassPtr{nullptr};

namespace {

const char* const kTag = "ZEB_XTM";

// The HAL's calc result R.
constexpr size_t kResultGtm = 24;
constexpr size_t kResultHalf42 = 42;
constexpr size_t kResultHalf44 = 44;
constexpr size_t kResultToneMap = 48;  // address of a 16,384-byte buffer
constexpr size_t kResultWord56 = 56;
constexpr size_t kResultBlock60 = 60;
constexpr size_t kResultGamma = 576;  // address of a 514-byte buffer

constexpr int64_t kCaptureFrameId = 65535;

XTM* Instance(const char* wrapper) {
    XTM* xtm = XtmClassPtr.load();
    if (!xtm) ZLOG_AS(wrapper, kTag, 4, "%d, %s: Could not get classHandler");
    return xtm;
}

int xtm_init_func(void* init, void* arg, void* initResult) {
    XTM* xtm = Instance(__func__);
    return xtm ? xtm->XtmInit(init, arg, initResult) : 1;
}

int xtm_calc_func(void* handle, void* calcParam, void* calcResult) {
    XTM* xtm = Instance(__func__);
    return xtm ? xtm->XtmCalculate(handle, calcParam, calcResult) : 1;
}

int xtm_ioctrl_func(void* handle, uint32_t command, void* in, void* out) {
    XTM* xtm = Instance(__func__);
    return xtm ? xtm->XtmIoctl(handle, command, in, out) : 1;
}

bool IsXtmBlock(const std::string& name) { return name.find("XTM") != std::string::npos; }

}  // namespace

const ZebXtmInfo* GetCurXtmInfo(const std::map<int64_t, std::vector<ZebXtmInfo>>& map, int64_t frameId,
                                int64_t position) {
    auto found = map.find(frameId);
    if (found == map.end()) {
        ZLOG(kTag, 1, "%d, %s: ZEB_XTM error, could get XTM info with frame id %ld", static_cast<long>(frameId));
        return nullptr;
    }
    const std::vector<ZebXtmInfo>& list = found->second;
    if (list.empty()) return nullptr;
    if (position < 0 || position >= static_cast<int64_t>(list.size())) return &list.back();
    return &list[static_cast<size_t>(position)];
}

XTM::XTM() {
    ZLOG(kTag, 4, "%d, %s: Now Prepare XTM Handle");
    XtmClassPtr.store(this);
    mFrmSize.store(1);
    WatchFrameRelease();
    mStatus.SetReady();
}

XTM::~XTM() {
    XTM* self = this;
    XtmClassPtr.compare_exchange_strong(self, nullptr);
    MutexLock guard(xtm_mutex);
    mXtmInfo.clear();
}

void* XTM::GetParameter(void*) { return nullptr; }

int XTM::GetOpsParam(void* ops) {
    SetXtmOps(ops);
    return 0;
}

void XTM::SetXtmOps(void* table) {
    if (!table) return;
    SaveOp<xtm_init_t>(mHalInit, table, kOpsInit, &xtm_init_func);
    mHalSecond.store(ReadOp<void*>(table, kOpsSecond));
    SaveOp<xtm_calc_t>(mHalProcess, table, kOpsProcess, &xtm_calc_func);
    SaveOp<xtm_ioctl_t>(mHalIoctl, table, kOpsIoctl, &xtm_ioctrl_func);
    std::string name;
    uint32_t state = 0;
    if (FindBlock(&IsXtmBlock, &state, &name)) {
        mFixed.store(state == 3);
        if (state == 3) ZLOG(kTag, 4, "%d, %s: create %s fixed", name.c_str());
    }
    WriteOp<xtm_init_t>(table, kOpsInit, &xtm_init_func);
    WriteOp<xtm_calc_t>(table, kOpsProcess, &xtm_calc_func);
    WriteOp<xtm_ioctl_t>(table, kOpsIoctl, &xtm_ioctrl_func);
    ZLOG(kTag, 4, "%d, %s: Setting XTM ops with %p <-> %p", table, table);
}

ZebStatusTag* XTM::GetStatus(void*) { return &mStatus; }

void XTM::SetFrameId(int64_t frameId) { mFrmId.store(frameId); }

void XTM::ParseParameter(void*) {}

void XTM::SetFrameStaticInfo(void* record, int64_t frameId) {
    if (!record) {
        ZLOG(kTag, 4, "%d, %s: Not valid Parameter");
        return;
    }
    MutexLock guard(xtm_mutex);
    if (frameId == kCaptureFrameId) {
        ZLOG(kTag, 4, "%d, %s: get mXtmCap");
        mXtmCap = true;
        return;
    }
    mCurFrm = 0;
    mFrmSize.store(1);
    mXtmInfo.clear();
    mXtmInfo.emplace(frameId, *static_cast<const std::vector<ZebXtmInfo>*>(record));
    mXtmCap = false;
}

void XTM::DropFrame(const FrameSpan& span) {
    MutexLock guard(xtm_mutex);
    for (auto it = mXtmInfo.begin(); it != mXtmInfo.end();) {
        bool held = false;
        for (const ZebXtmInfo& info : it->second) held = held || span.Holds(info.xtmResult);
        it = held ? mXtmInfo.erase(it) : std::next(it);
    }
}

int XTM::XtmInit(void* init, void* arg, void* initResult) {
    ZLOG(kTag, 4, "%d, %s: Prepare to init XTM function");
    xtm_init_t hal = mHalInit.load();
    if (!init || !arg || !initResult || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    return hal(init, arg, initResult);
}

int XTM::XtmIoctl(void* handle, uint32_t command, void* in, void* out) {
    xtm_ioctl_t hal = mHalIoctl.load();
    if (!handle || !in || !out || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    return hal(handle, command, in, out);
}

int XTM::XtmCalculate(void* handle, void* calcParam, void* calcResult) {
    xtm_calc_t hal = mHalProcess.load();
    if (!handle || !calcParam || !Usable(calcResult) || !hal) {
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return 1;
    }
    if (!mFixed.load()) return hal(handle, calcParam, calcResult);
    uint8_t* result = static_cast<uint8_t*>(calcResult);
    uint8_t* toneMap = ReadField<uint8_t*>(result, kResultToneMap);
    uint8_t* gamma = ReadField<uint8_t*>(result, kResultGamma);
    if (!Usable(toneMap) || !Usable(gamma)) {
        // No buffers to write the recorded curves into: the HAL computes its own.
        ZLOG(kTag, 4, "%d, %s: Not valid intput");
        return hal(handle, calcParam, calcResult);
    }
    MutexLock guard(xtm_mutex);
    if (mCurFrm >= mFrmSize.load()) {
        mCurFrm = 0;
        mFrmSize.store(1);
        // The walk is over: a frame count told again before the next capture
        // (a tuning entry's preview replaying the task) must not resume it.
        mXtmCap = false;
    }
    const int64_t frameId = mFrmId.load();
    const ZebXtmInfo* record = GetCurXtmInfo(mXtmInfo, frameId, mCurFrm);
    ZLOG(kTag, 4, "%d, %s: mFrmId:%d mFrmSize:%d mCurFrm:%d", static_cast<int>(frameId),
         static_cast<int>(mFrmSize.load()), static_cast<int>(mCurFrm));
    ZLOG(kTag, 4, "%d, %s: Prepare to calc XTM");
    if (record && record->xtmResult) {
        Fill(static_cast<const uint8_t*>(record->xtmResult), result, toneMap, gamma);
    } else {
        ZLOG(kTag, 4, "%d, %s: Failed to get XTM dump info");
    }
    if (mXtmCap) ++mCurFrm;
    return 0;
}

void XTM::Fill(const uint8_t* x, uint8_t* result, uint8_t* toneMap, uint8_t* gamma) {
    memcpy(result + kResultGtm, x + XtmResult::kGtm, XtmResult::kGtmSize);
    memcpy(result + kResultBlock60, x + XtmResult::kCurve, XtmResult::kCurveSize);
    memcpy(toneMap, x + XtmResult::kLtm, XtmResult::kLtmSize);
    memcpy(gamma, x + XtmResult::kGamma, XtmResult::kGammaSize);
    WriteField<uint16_t>(result, kResultHalf42, ReadField<uint16_t>(x, XtmResult::kGtmTarget));
    WriteField<uint16_t>(result, kResultHalf44, ReadField<uint16_t>(x, XtmResult::kGtmStrength));
    WriteField<int32_t>(result, kResultWord56, ReadField<int32_t>(x, XtmResult::kLtmTiles));
    auto gammaAt = [x](size_t index) {
        return static_cast<int>(ReadField<uint16_t>(x, XtmResult::kGamma + 2 * index));
    };
    ZLOG_AS("XtmCalculate", kTag, LOG_PRI_D, "%d, %s: XtmOut gtm (%d %d %d)) gamma_out: (%d %d %d %d %d %d %d %d %d)",
            static_cast<int>(ReadField<uint16_t>(result, 30)), static_cast<int>(ReadField<uint16_t>(result, 32)),
            static_cast<int>(ReadField<uint16_t>(result, 26)), gammaAt(0), gammaAt(32), gammaAt(64), gammaAt(96),
            gammaAt(128), gammaAt(160), gammaAt(192), gammaAt(224), gammaAt(255));
    auto valueAt = [x](size_t index) { return static_cast<int>(ReadField<uint16_t>(x, 2 * index)); };
    ZLOG_AS("XtmCalculate", kTag, LOG_PRI_D, "%d, %s: XtmOut ltm ltm map(%d %d %d %d %d %d %d %d %d)", valueAt(10),
            valueAt(138), valueAt(266), valueAt(394), valueAt(522), valueAt(650), valueAt(778), valueAt(906),
            valueAt(1034));
}

}  // namespace ZEB
