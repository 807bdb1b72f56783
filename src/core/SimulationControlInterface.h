#pragma once
// Every system property the simulation reads or writes, the fixed sleeps with
// which it paces itself against the HAL and the test tool, and the two
// process-wide readiness flags.
#include <chrono>
#include <cstddef>

#include "core/Export.h"
#include "platform/Property.h"

namespace ZEB {

class ZEB_EXPORT SimulationControlInterface {
public:
    SimulationControlInterface() = default;
    virtual ~SimulationControlInterface() = default;

    static int SetProp(const char* key, const char* value);
    static int GetProp(const char* key, char* value, const char* defaultValue);

    static int SetPropZEBServerInit();
    static int SetPropZEBServerReady();
    // Fails (-1, with a level-1 line naming the path) for a path the property
    // cannot hold: the HAL would go on writing into the previous folder.
    static int SetPropZEBOutPath(const char* path);
    static int SetPropZEBCapReady();
    static int SetPropZEBProcess();
    static int GetPropZEBProcess(char* value);
    static int SetPropXtmFix(const char* value);
    static int GetPropXtmFix(char* value);
    static int SetPropZEBCapNum(const char* value);
    static int GetPropXmlDebug(char* value);
    static int GetPropZEBLoopParam(char* value);
    static int GetPropZEBTester(char* value);
    static int GetPropXTMHist(char* value);
    static int GetPropLTMHist(char* value);
    static int GetPropBayerHist(char* value);
    static int GetPropHist2(char* value);
    static int GetPropPostProc(char* value);
    static bool isIspMode();

    // Fixed sleeps, each scaled by the host's time scale.
    static void SleepServerReady();
    static void SleepGetTuningName();
    static void SleepUpdateTuningParam();
    static void SleepReadControlRecyle();
    static void SleepSanpshotStart();
    static void SleepSanpshotStop();
    static void SleepSanpshotSetAEParam();
    static void SleepWaitAlgConverge();
    static void SleepWaitPostProc();
    static void SleepWaitPreviewDone();
    static void SleepServerReadyCircle();
    static void Sleep(int milliseconds);

    // The same durations, for waits that must end early when their owner goes.
    static std::chrono::nanoseconds ServerReadyDuration();
    static std::chrono::nanoseconds SnapshotStopDuration();
    static std::chrono::nanoseconds AlgConvergeDuration();
    static std::chrono::nanoseconds WaitPostProcDuration();
    static std::chrono::nanoseconds ServerReadyCircleDuration();

    // The longest dump root the property holds, and the longest task output
    // path: a tuning entry's folder adds "/" and a 14-digit stamp to it.
    static constexpr size_t kOutPathMax = PROPERTY_VALUE_MAX - 1;
    static constexpr size_t kTaskOutputPathMax = kOutPathMax - 15;

    static void SetDeviceReady(bool ready);
    static bool GetDeviceReady();
    static void SetZebDataReady(bool ready);
    static bool GetZebDataReady();
};

}  // namespace ZEB
