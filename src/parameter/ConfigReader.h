#pragma once
// A parameter module with nothing of its own. The configuration readers (task
// list, block list, scene files, tuning tasks, XML values) are members of
// every module; what reads a recording outside a loaded library, such as the
// recording inspector, runs them on this one.
#include "parameter/ParameterManagerBase.h"

namespace ZEB {

class ConfigReader : public ParameterManagerBase {
public:
    void* GetParameter(void*) override { return nullptr; }
    int GetOpsParam(void*) override { return 0; }
    ZebStatusTag* GetStatus(void*) override { return &mStatus; }
    void SetFrameId(int64_t) override {}
    void SetFrameStaticInfo(void*, int64_t) override {}
    void ParseParameter(void*) override {}

private:
    ZebStatusTag mStatus;
};

}  // namespace ZEB
