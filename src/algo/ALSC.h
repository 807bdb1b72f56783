#pragma once
// The "ALSC" module (adaptive lens shading). Only in fixed mode (block "ALSC"
// of the block configuration list in state 3) does it wrap the HAL's
// algorithm: it feeds it a private copy of the recorded LSCM statistics and
// overrides the shading result with the recorded tables, in the "ALSC 3" or
// the "ALSC 4" form. One record per frame id.
#include <atomic>
#include <cstdint>
#include <map>

#include "core/records/ThreeARecords.h"
#include "algo/OfflineAlgo.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Mutex.h"

namespace ZEB {

typedef int (*alsc_init_t)(void* init, void* handle);
typedef int (*alsc_process_t)(void* handle, void* calcParam, void* calcResult);
typedef int (*alsc_ioctl_t)(void* handle, uint32_t command, void* in, void* out);
typedef int (*alsc_cb_t)(void* handle, int64_t type, void* param, void* data);

class ALSC : public ParameterManagerBase {
public:
    ALSC();
    ~ALSC() override;
    ALSC(const ALSC&) = delete;
    ALSC& operator=(const ALSC&) = delete;

    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    // A ZebAlscInfo; a frame id already known keeps its first record.
    void SetFrameStaticInfo(void* record, int64_t frameId) EXCLUDES(mAlscLock) override;
    void ParseParameter(void* arg) override;

    int AlscInit(void* init, void* handle);
    int AlscProcess(void* handle, void* calcParam, void* calcResult) EXCLUDES(mAlscLock);
    int AlscIoctl(void* handle, uint32_t command, void* in, void* out) EXCLUDES(mAlscLock);
    int AlscCbFunc(void* handle, int64_t type, void* param, void* data) EXCLUDES(mAlscLock);

    // Forgets every record that points into the span; returns once no
    // wrapper reads one any more.
    void DropFrame(const FrameSpan& span) EXCLUDES(mAlscLock);

private:
    void SetAlscOps(void* table);
    // The current frame id's record, or null (logged); mAlscLock is held.
    const ZebAlscInfo* Current(const char* caller) REQUIRES(mAlscLock);
    void OverrideAlsc4(const ZebAlscInfo& record, uint8_t* result);

    std::atomic<alsc_init_t> mHalInit{nullptr};
    std::atomic<void*> mHalSecond{nullptr};
    std::atomic<alsc_process_t> mHalProcess{nullptr};
    std::atomic<alsc_ioctl_t> mHalIoctl{nullptr};
    std::atomic<alsc_cb_t> mHalCallback{nullptr};
    std::atomic<int64_t> mFrmId{0};
    std::atomic<bool> mFixed{false};
    ZebStatusTag mStatus;

    // Guards the map; held while a wrapper reads a record, never while the
    // HAL's code runs (it reads a private copy of the statistics).
    Mutex mAlscLock;
    std::map<int64_t, ZebAlscInfo> mAlscInfo GUARDED_BY(mAlscLock);
};

extern std::atomic<ALSC*> AlscClassPtr;

}  // namespace ZEB
