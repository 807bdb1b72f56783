#pragma once
// The "AWB" module: feeds the HAL's AWB algorithm the recorded AEM statistics
// of the frame being played and, in fixed mode (block "AWB" of the block
// configuration list in state 3), replaces the AWB results it reports by
// callback and ioctl with the recorded result. One record per frame id.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "core/records/ThreeARecords.h"
#include "algo/OfflineAlgo.h"
#include "parameter/ParameterManagerBase.h"
#include "platform/Mutex.h"

namespace ZEB {

typedef int (*awb_init_t)(void* init, void* handle);
typedef int (*awb_process_t)(void* handle, void* calcParam, void* calcResult);
typedef int (*awb_ioctl_t)(void* handle, int command, void* in, void* out);
typedef int (*awb_cb_t)(void* handle, int64_t type, void* param, void* data);

class AWB : public ParameterManagerBase {
public:
    AWB();
    ~AWB() override;
    AWB(const AWB&) = delete;
    AWB& operator=(const AWB&) = delete;

    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    // A ZebAwbInfo; a frame id already known keeps its first record.
    void SetFrameStaticInfo(void* record, int64_t frameId) EXCLUDES(mAwbLockMtx) override;
    void ParseParameter(void* arg) override;

    int AwbInit(void* init, void* handle);
    int AwbProcess(void* handle, void* calcParam, void* calcResult) EXCLUDES(mAwbLockMtx);
    int AwbIoctl(void* handle, int command, void* in, void* out) EXCLUDES(mAwbLockMtx);
    int AwbCbFunc(void* handle, int64_t type, void* param, void* data) EXCLUDES(mAwbLockMtx);

    // The record of a frame id, or null. It stays valid until its frame is
    // released (DropFrame).
    const ZebAwbInfo* GetFrameAEMInfo(int64_t frameId) EXCLUDES(mAwbLockMtx);
    void DumpTempFile(void* calcParam);

    // Forgets every record that points into the span; returns once no
    // wrapper (nor a HAL process call given its statistics) uses one any more.
    void DropFrame(const FrameSpan& span) EXCLUDES(mAwbLockMtx);

private:
    // A handed-over record. Its last owner frees it through Released.
    struct Kept {
        ZebAwbInfo info;
        bool dropped = false;  // under the module's mReleaseLock
    };
    using Record = std::shared_ptr<Kept>;

    void SetAwbOps(void* table);
    // The current frame id's record, or null (logged); mAwbLockMtx is held.
    const Record* Current(const char* caller) REQUIRES(mAwbLockMtx);
    // Waits until `records`, taken out of the map, are freed.
    void Retire(std::vector<Record> records) EXCLUDES(mReleaseLock);
    void Released(Kept* kept) EXCLUDES(mReleaseLock);

    std::atomic<awb_init_t> mHalInit{nullptr};
    std::atomic<void*> mHalSecond{nullptr};
    std::atomic<awb_process_t> mHalProcess{nullptr};
    std::atomic<awb_ioctl_t> mHalIoctl{nullptr};
    std::atomic<awb_cb_t> mHalCallback{nullptr};
    std::atomic<int64_t> mFrmId{0};
    std::atomic<bool> mFixed{false};
    bool mAemProcess = true;
    ZebStatusTag mStatus;

    // Guards the map. Held while a wrapper reads or writes a record; a process
    // call instead keeps its record (a shared owner) while the HAL reads the
    // statistics, and DropFrame waits until it lets go.
    Mutex mAwbLockMtx;
    std::map<int64_t, Record> mAwbInfo GUARDED_BY(mAwbLockMtx);

    Mutex mReleaseLock;  // and the records' dropped flags
    std::condition_variable mReleaseCond;
    size_t mDropping GUARDED_BY(mReleaseLock) = 0;  // records taken out of the map and not yet freed
};

extern std::atomic<AWB*> AwbClassPtr;

}  // namespace ZEB
