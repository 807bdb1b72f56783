#pragma once
// The configuration readers are shared operations of every module; a module
// with nothing of its own runs them in the tests.
#include "parameter/ParameterManagerBase.h"

namespace zeb_config {

class Reader : public ZEB::ParameterManagerBase {
public:
    void* GetParameter(void*) override { return nullptr; }
    int GetOpsParam(void*) override { return 0; }
    ZEB::ZebStatusTag* GetStatus(void*) override { return &mStatus; }
    void SetFrameId(int64_t) override {}
    void SetFrameStaticInfo(void*, int64_t) override {}
    void ParseParameter(void*) override {}

private:
    ZEB::ZebStatusTag mStatus;
};

}  // namespace zeb_config
