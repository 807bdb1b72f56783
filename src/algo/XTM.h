#pragma once
// The "XTM" module (global and local tone mapping). In fixed mode (a block
// whose name holds "XTM" in state 3) its calc wrapper does not run the HAL's
// algorithm: it writes the recorded gtm values, local tone map and gamma
// curve of the frame being played into the HAL's result. During a capture
// sequence each calc takes the next frame's record of the task.
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "core/records/ThreeARecords.h"
#include "algo/OfflineAlgo.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Mutex.h"

namespace ZEB {

typedef int (*xtm_init_t)(void* init, void* arg, void* initResult);
typedef int (*xtm_calc_t)(void* handle, void* calcParam, void* calcResult);
typedef int (*xtm_ioctl_t)(void* handle, uint32_t command, void* in, void* out);

class XTM : public ParameterManagerBase {
public:
    XTM();
    ~XTM() override;
    XTM(const XTM&) = delete;
    XTM& operator=(const XTM&) = delete;

    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    // A std::vector<ZebXtmInfo> for a task's frame id; 65535 starts a capture
    // sequence.
    void SetFrameStaticInfo(void* record, int64_t frameId) EXCLUDES(xtm_mutex) override;
    void ParseParameter(void* arg) override;

    int XtmInit(void* init, void* arg, void* initResult);
    int XtmCalculate(void* handle, void* calcParam, void* calcResult) EXCLUDES(xtm_mutex);
    int XtmIoctl(void* handle, uint32_t command, void* in, void* out);

    // Forgets every record that points into the span; returns once no
    // wrapper reads one any more.
    void DropFrame(const FrameSpan& span) EXCLUDES(xtm_mutex);

private:
    void SetXtmOps(void* table);
    // Writes the recorded result into the HAL's; xtm_mutex is held.
    void Fill(const uint8_t* recorded, uint8_t* result, uint8_t* toneMap, uint8_t* gamma) REQUIRES(xtm_mutex);

    std::atomic<xtm_init_t> mHalInit{nullptr};
    std::atomic<void*> mHalSecond{nullptr};
    std::atomic<xtm_calc_t> mHalProcess{nullptr};
    std::atomic<xtm_ioctl_t> mHalIoctl{nullptr};
    std::atomic<int64_t> mFrmId{0};
    std::atomic<bool> mFixed{false};
    ZebStatusTag mStatus;

    // Guards the map and the sequence state; held while a calc reads a record.
    Mutex xtm_mutex;
    std::map<int64_t, std::vector<ZebXtmInfo>> mXtmInfo GUARDED_BY(xtm_mutex);  // at most one frame id
    int64_t mCurFrm GUARDED_BY(xtm_mutex) = 0;
    bool mXtmCap GUARDED_BY(xtm_mutex) = false;
};

// The record at `position` of `frameId`'s list (the last one past its end),
// or null, logged, when the frame id has none. The caller holds xtm_mutex.
const ZebXtmInfo* GetCurXtmInfo(const std::map<int64_t, std::vector<ZebXtmInfo>>& map, int64_t frameId,
                                int64_t position);

extern std::atomic<XTM*> XtmClassPtr;

}  // namespace ZEB
