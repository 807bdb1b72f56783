#pragma once
// The library's entry points: flat functions with unmangled names that the
// HAL resolves after loading the library. Handles are SimulationControl
// pointers passed back as untyped pointers.
#include "core/Export.h"

extern "C" {

typedef long (*ZebSensorIoctlFunc)(void* sensorContext, unsigned int command, unsigned long arg1, unsigned long arg2);
typedef long (*ZebGrabFunc)(void*, void*);
typedef void (*ZebScenarioUpdateFunc)(void*);

// Instance registry, by camera id.
ZEB_EXPORT void* CreateSimulation(void* context, int cameraId);
ZEB_EXPORT void DeleteSimulation(int cameraId);
ZEB_EXPORT void CheckSimulationDeinit();
ZEB_EXPORT void* Getinstance(int cameraId);
ZEB_EXPORT void NotifyMultiEV2ZEB(int cameraId);

// Callback installation.
ZEB_EXPORT void SetSensorIoctlOps(ZebSensorIoctlFunc ops, void* handle);
ZEB_EXPORT long SetGrabOps(ZebGrabFunc ops, void* handle);
ZEB_EXPORT void SetScenerioUpdateFunc(ZebScenarioUpdateFunc ops, void* handle);
ZEB_EXPORT void SetDataUpdateFunc(void* handle, int kind, void* data);
ZEB_EXPORT void SetAeOfflineInfoFunc(void* handle, void* record);

// Driving the run.
ZEB_EXPORT void GenerateOneJob(void* handle);
ZEB_EXPORT void NotifySnapshotStatus(void* handle, bool started);

// Results.
ZEB_EXPORT bool GetFrameYuv(void* handle, void** list, int* count);
ZEB_EXPORT void GetZSLYuvFrame(void* handle, void* destination);
ZEB_EXPORT int GetPrevYuvFrame(void* handle);
ZEB_EXPORT void GetFrameSceneInfo(void* handle, void* out);
ZEB_EXPORT void GetFrameiSceneInfo(void* handle, void* out);
ZEB_EXPORT void GetFrameSmartInfo(void* handle, void* out);
ZEB_EXPORT void GetFrameStatisInfo(void* handle, int type, unsigned long address, unsigned int size);
ZEB_EXPORT void GetFrameManualInfo(void* handle, void* out);
ZEB_EXPORT void GetFrameAndroidInfo(void* handle, void* out);
ZEB_EXPORT void GetIspAlgOps(void* handle, void* out, int kind);
ZEB_EXPORT void GetIspUpFlag(void* handle, void* out);
ZEB_EXPORT float GetFrameEvStatus(void* handle);

// Streaming, by camera id: in ISP tool mode the HAL files each processed
// preview frame (NV21) and a streaming client fetches the newest one.
ZEB_EXPORT void CreateSocketServer(int cameraId);
ZEB_EXPORT void DeleteSocketServer();
ZEB_EXPORT void SettingSocketBuffer(int cameraId, void* frame);
ZEB_EXPORT int GettingPreviewWidth(int cameraId);
ZEB_EXPORT int GettingPreviewHeight(int cameraId);
ZEB_EXPORT int GettingLatestFrame(int cameraId, void* destination);
}

// Every entry point above, for callers that resolve them one by one.
#define ZEB_ENTRY_POINTS(X)                                                                                   \
    X(CreateSimulation) X(DeleteSimulation) X(CheckSimulationDeinit) X(Getinstance) X(NotifyMultiEV2ZEB)      \
    X(SetSensorIoctlOps) X(SetGrabOps) X(SetScenerioUpdateFunc) X(SetDataUpdateFunc) X(SetAeOfflineInfoFunc) \
    X(GenerateOneJob) X(NotifySnapshotStatus) X(GetFrameYuv) X(GetZSLYuvFrame) X(GetPrevYuvFrame)            \
    X(GetFrameSceneInfo) X(GetFrameiSceneInfo) X(GetFrameSmartInfo) X(GetFrameStatisInfo)                   \
    X(GetFrameManualInfo) X(GetFrameAndroidInfo) X(GetIspAlgOps) X(GetIspUpFlag) X(GetFrameEvStatus)         \
    X(CreateSocketServer) X(DeleteSocketServer) X(SettingSocketBuffer) X(GettingPreviewWidth)                \
    X(GettingPreviewHeight) X(GettingLatestFrame)

namespace ZEB {
// The public statistic type of GetFrameStatisInfo as the instance's ISP_STATIS
// value (0 hist2, 1 global tone-mapping histogram, 2 AEM, 3 LSCM, 4 none).
int TranslateStatisType(int publicType);
}  // namespace ZEB
