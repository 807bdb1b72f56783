#pragma once
// The "AE" module: stands between the HAL and its AE algorithm. The HAL's
// results, reported through its callback and its ioctl, are replaced by the
// recorded AE result of the frame being played, with the live frame
// bookkeeping kept; during a snapshot EV sequence each result takes the next
// EV and the next frame's record of the task.
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "core/records/ThreeARecords.h"
#include "algo/OfflineAlgo.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Mutex.h"

namespace ZEB {

typedef int (*ae_init_t)(void* init, void* arg1, void* arg2);
typedef int (*ae_process_t)(void* handle, void* calcIn, void* callbackParam);
typedef int (*ae_ioctl_t)(void* handle, int command, void* in, void* out);
typedef int (*ae_cb_t)(void* handle, int64_t type, void* param, void* data);

class AE : public ParameterManagerBase {
public:
    static constexpr int kEvEntries = 16;

    AE();
    ~AE() override;
    AE(const AE&) = delete;
    AE& operator=(const AE&) = delete;

    void* GetParameter(void* arg) override;
    // Keeps the HAL's table entries and puts the wrappers in their place.
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    // A std::vector<ZebAeInfo> for a task's frame id, or 16 EVs for 65535.
    void SetFrameStaticInfo(void* record, int64_t frameId) EXCLUDES(mAeinfoMtx) override;
    void ParseParameter(void* arg) override;

    int AeInit(void* init, void* arg1, void* arg2);
    int AeProcess(void* handle, void* calcIn, void* callbackParam) EXCLUDES(mAeinfoMtx);
    int AeIoctl(void* handle, int command, void* in, void* out) EXCLUDES(mAeinfoMtx);
    int AeCbFunc(void* handle, int64_t type, void* param, void* data) EXCLUDES(mAeinfoMtx);

    // Forgets every record that points into the span; returns once no
    // wrapper reads one any more.
    void DropFrame(const FrameSpan& span) EXCLUDES(mAeinfoMtx);

    // A copy of a recorded AE result (1,248 bytes), taken under the lock
    // under which the result callback writes the live bookkeeping into it.
    void CopyRecorded(const void* recorded, void* out) EXCLUDES(mAeinfoMtx);

private:
    void SetAeOps(void* table);
    // Steps of a substituted result; mAeinfoMtx is held.
    void Substitute(uint8_t* recorded, uint8_t* live) REQUIRES(mAeinfoMtx);

    std::atomic<ae_init_t> mHalInit{nullptr};
    std::atomic<void*> mHalSecond{nullptr};
    std::atomic<ae_process_t> mHalProcess{nullptr};
    std::atomic<ae_ioctl_t> mHalIoctl{nullptr};
    std::atomic<ae_cb_t> mHalCallback{nullptr};
    std::atomic<void*> mHalHandle{nullptr};
    std::atomic<int64_t> mFrmId{0};
    bool mLcgGainUpdate = false;
    ZebStatusTag mStatus;

    // Guards the map and the sequence state below. Held while a wrapper reads
    // or writes a record, never while the HAL's code runs: a record dropped
    // under it is never read again.
    Mutex mAeinfoMtx;
    std::map<int64_t, std::vector<ZebAeInfo>> mAeInfo GUARDED_BY(mAeinfoMtx);  // at most one frame id
    int64_t mCurFrm GUARDED_BY(mAeinfoMtx) = 0;
    float mEvTable[kEvEntries] GUARDED_BY(mAeinfoMtx) = {0};
    bool mEvMode GUARDED_BY(mAeinfoMtx) = false;
    int32_t mEvPos GUARDED_BY(mAeinfoMtx) = 0;
    bool mEvWalk GUARDED_BY(mAeinfoMtx) = false;  // the sequence still walks the task's frames: until it wraps
};

// The record at `position` of `frameId`'s list (the last one past its end),
// or null, logged, when the frame id has none. The caller holds the lock that
// guards the map for as long as it uses the record.
const ZebAeInfo* GetCurAeInfo(const std::map<int64_t, std::vector<ZebAeInfo>>& map, int64_t frameId,
                              int64_t position);

extern std::atomic<AE*> AeClassPtr;

// A frame's recorded AE result as a reader outside this module must take it:
// while the frame's records are held, the HAL's callbacks write the live frame
// ids and EV into it (through the module, when one exists).
void ReadRecordedAeResult(const void* recorded, void* out);

}  // namespace ZEB
