#include "core/SimulationControlInterface.h"

#include <atomic>
#include <cstring>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"

namespace ZEB {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Read by the ready loop on its own thread while the HAL and the status watch
// write them.
std::atomic<bool> gDeviceReady{false};
std::atomic<bool> gDataReady{false};

const char* const kServerReady = "persist.vendor.cam.zeb.serverready";
const char* const kOutPath = "persist.vendor.cam.icap.dump.root.path";
const char* const kCapReady = "persist.vendor.cam.zeb.capready";
const char* const kProcess = "persist.vendor.cam.zeb.process";
const char* const kXtmResult = "persist.vendor.cam.zeb.xtmresult";
const char* const kCapNum = "persist.vendor.cam.zeb.cap.num";
const char* const kXmlDebug = "persist.vendor.cam.zeb.xml.debug.mode";
const char* const kLoopParse = "persist.vendor.cam.loop.parse";
const char* const kTester = "persist.vendor.cam.zeb.tester";
const char* const kXtmHist = "persist.vendor.cam.zeb.xtmhist.update";
const char* const kLtmHist = "persist.vendor.cam.zeb.ltmhist.update";
const char* const kBayerHist = "persist.vendor.cam.zeb.bayerhist.update";
const char* const kHist2 = "persist.vendor.cam.zeb.hist2.update";
const char* const kPostProc = "persist.vendor.cam.zeb.post.process";
const char* const kIspMode = "persist.vendor.cam.isptool.mode.enable";

}  // namespace

int SimulationControlInterface::SetProp(const char* key, const char* value) { return property_set(key, value); }

int SimulationControlInterface::GetProp(const char* key, char* value, const char* defaultValue) {
    return property_get(key, value, defaultValue);
}

int SimulationControlInterface::SetPropZEBServerInit() { return SetProp(kServerReady, "0"); }
int SimulationControlInterface::SetPropZEBServerReady() { return SetProp(kServerReady, "1"); }
int SimulationControlInterface::SetPropZEBOutPath(const char* path) {
    const int result = SetProp(kOutPath, path);
    if (result != 0) {
        ZLOG("SimulationControl", 1, "%d, %s: Could not set the dump root to %s (%d characters, the property holds %d)",
             path ? path : "", path ? static_cast<int>(strlen(path)) : 0, static_cast<int>(kOutPathMax));
    }
    return result;
}
int SimulationControlInterface::SetPropZEBCapReady() { return SetProp(kCapReady, "1"); }
int SimulationControlInterface::SetPropZEBProcess() { return SetProp(kProcess, "1"); }
int SimulationControlInterface::GetPropZEBProcess(char* value) { return GetProp(kProcess, value, "0"); }
int SimulationControlInterface::SetPropXtmFix(const char* value) { return SetProp(kXtmResult, value); }
int SimulationControlInterface::GetPropXtmFix(char* value) { return GetProp(kXtmResult, value, "0"); }
int SimulationControlInterface::SetPropZEBCapNum(const char* value) { return SetProp(kCapNum, value); }
int SimulationControlInterface::GetPropXmlDebug(char* value) { return GetProp(kXmlDebug, value, "0"); }
int SimulationControlInterface::GetPropZEBLoopParam(char* value) { return GetProp(kLoopParse, value, "0"); }
int SimulationControlInterface::GetPropZEBTester(char* value) { return GetProp(kTester, value, "0"); }
int SimulationControlInterface::GetPropXTMHist(char* value) { return GetProp(kXtmHist, value, "0"); }
int SimulationControlInterface::GetPropLTMHist(char* value) { return GetProp(kLtmHist, value, "0"); }
int SimulationControlInterface::GetPropBayerHist(char* value) { return GetProp(kBayerHist, value, "0"); }
int SimulationControlInterface::GetPropHist2(char* value) { return GetProp(kHist2, value, "0"); }
int SimulationControlInterface::GetPropPostProc(char* value) { return GetProp(kPostProc, value, "0"); }

bool SimulationControlInterface::isIspMode() {
    char value[PROPERTY_VALUE_MAX] = {0};
    GetProp(kIspMode, value, "false");
    return strcmp(value, "false") != 0;
}

void SimulationControlInterface::SleepServerReady() { zeb_platform::SleepScaled(ServerReadyDuration()); }
void SimulationControlInterface::SleepGetTuningName() { zeb_platform::SleepScaled(milliseconds(500)); }
void SimulationControlInterface::SleepUpdateTuningParam() { zeb_platform::SleepScaled(milliseconds(500)); }
void SimulationControlInterface::SleepReadControlRecyle() { zeb_platform::SleepScaled(seconds(1)); }
void SimulationControlInterface::SleepSanpshotStart() { zeb_platform::SleepScaled(milliseconds(100)); }
void SimulationControlInterface::SleepSanpshotStop() { zeb_platform::SleepScaled(SnapshotStopDuration()); }
void SimulationControlInterface::SleepSanpshotSetAEParam() { zeb_platform::SleepScaled(milliseconds(100)); }
void SimulationControlInterface::SleepWaitAlgConverge() { zeb_platform::SleepScaled(AlgConvergeDuration()); }
void SimulationControlInterface::SleepWaitPostProc() { zeb_platform::SleepScaled(WaitPostProcDuration()); }
void SimulationControlInterface::SleepWaitPreviewDone() { zeb_platform::SleepScaled(milliseconds(100)); }
void SimulationControlInterface::SleepServerReadyCircle() { zeb_platform::SleepScaled(ServerReadyCircleDuration()); }

void SimulationControlInterface::Sleep(int ms) {
    if (ms > 0) zeb_platform::SleepScaled(milliseconds(ms));
}

std::chrono::nanoseconds SimulationControlInterface::ServerReadyDuration() { return seconds(5); }
std::chrono::nanoseconds SimulationControlInterface::SnapshotStopDuration() { return seconds(8); }
std::chrono::nanoseconds SimulationControlInterface::AlgConvergeDuration() { return seconds(8); }
std::chrono::nanoseconds SimulationControlInterface::WaitPostProcDuration() { return seconds(3); }
std::chrono::nanoseconds SimulationControlInterface::ServerReadyCircleDuration() { return milliseconds(200); }

void SimulationControlInterface::SetDeviceReady(bool ready) { gDeviceReady.store(ready); }
bool SimulationControlInterface::GetDeviceReady() { return gDeviceReady.load(); }
void SimulationControlInterface::SetZebDataReady(bool ready) { gDataReady.store(ready); }
bool SimulationControlInterface::GetZebDataReady() { return gDataReady.load(); }

}  // namespace ZEB
