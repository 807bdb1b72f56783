#pragma once
// The parameter module of one swept ISP block: it reads the block's tuning
// task, writes every sweep file on a thread of its own, and then offers the
// block key with its frame-to-file map.
#include <string>

#include "core/Worker.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/TaskInfo.h"
#include "parameter/TuningTask.h"

namespace ZEB {

class MutualParam : public ParameterManagerBase {
public:
    explicit MutualParam(const char* tuningTaskPath);
    ~MutualParam() override;
    MutualParam(const MutualParam&) = delete;
    MutualParam& operator=(const MutualParam&) = delete;

    // The sweep (a TuningSweepMap with one entry) once it is complete; null,
    // with a log line, while it is being prepared or when it is empty.
    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    void SetFrameStaticInfo(void* record, int64_t frameId) override;
    void ParseParameter(void* arg) override;

    void PreparMutualParam();
    // Ends the preparation after the file it is writing and joins it.
    void Stop();

    // "name.xml" of ".../name.xml"; the whole text when it has no "/".
    static std::string FileNamePart(const std::string& path);

private:
    ParamTaskInfoTag mTask;
    TuningSweepMap mSweepMap;  // written by the preparation before mStatus is ready
    ZebStatusTag mStatus;
    Worker mPreparation;  // last: it uses the members above
};

}  // namespace ZEB
