#pragma once
// Host stand-in for the pipeline's post-processing parameter set: the last data
// per camera id and parameter id, copied during the call.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pvk {

class ParamSet {
public:
    static ParamSet* getInstance();
    static ParamSet* createInstance();

private:
    ParamSet() = default;
};

}  // namespace pvk

extern "C" {
// Copies the parameter's bytes from `data`. Returns 0, or -1 for an unknown
// parameter id, a null pointer, or a store not yet created.
int setPsParam(int cameraId, int mode, int frameId, int paramId, void* data);
// Fills `data` with the parameter's bytes (zeros when never set). Returns 0 or -1.
int getPsParam(int cameraId, int mode, int frameId, int paramId, void* data);
}

namespace zeb_platform {

// Bytes carried by a parameter id; 0 for an id the store does not know.
size_t PsParamSize(int paramId);

// What the store holds for one camera and parameter, for the HAL emulator and tests.
struct PsRecord {
    std::vector<uint8_t> data;  // zeros when never set
    size_t setCount = 0;
    int lastMode = 0;
    int lastFrameId = 0;
};
PsRecord GetPsRecord(int cameraId, int paramId);
// Forgets everything set so far (the store itself stays).
void ResetPsParams();

}  // namespace zeb_platform
