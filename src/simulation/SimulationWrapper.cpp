// The entry points and the instance registry. Nothing here does work of its
// own beyond the lookups, the argument swaps and the statistic translation;
// every call is forwarded to the instance, and no exception leaves it.
#include "simulation/SimulationWrapper.h"

#include <map>
#include <memory>
#include <vector>

#include "frame/VirtualSensorControl.h"
#include "platform/Log.h"
#include "platform/Mutex.h"
#include "simulation/SimulationControl.h"
#include "socket/SocketServerManager.h"

namespace ZEB {
namespace {
const char* const kTag = "SimulationWrapper";

// The registry is locked although the HAL calls it from one thread: a lock
// costs nothing there and keeps a stray caller from corrupting the map.
// Instances are destroyed outside the lock, since destruction joins threads.
struct InstanceRegistry {
    Mutex lock;
    std::map<int, std::unique_ptr<SimulationControl>> instances GUARDED_BY(lock);
    // Instances replaced by a second CreateSimulation for their camera id. The
    // HAL may still hold their handles, so they live until the registry is
    // emptied, instead of leaking with their threads running.
    std::vector<std::unique_ptr<SimulationControl>> replaced GUARDED_BY(lock);
};

InstanceRegistry& Registry() {
    static InstanceRegistry registry;
    return registry;
}

// The instance of `cameraId`, found under the registry lock the caller holds.
SimulationControl* FindLocked(InstanceRegistry& registry, int cameraId) REQUIRES(registry.lock) {
    auto found = registry.instances.find(cameraId);
    if (found != registry.instances.end() && found->second) return found->second.get();
    ZLOG_AS("Getinstance", kTag, 1, "%d, %s: cannot getinstance");
    return nullptr;
}

SimulationControl* Instance(void* handle, const char* caller) {
    if (!handle) ZLOG_AS(caller, kTag, 1, "%d, %s: Not valid instance");
    return static_cast<SimulationControl*>(handle);
}

template <class Result, class Call>
Result Guarded(const char* caller, Result fallback, Call&& call) {
    try {
        return call();
    } catch (const std::exception& error) {
        ZLOG_AS(caller, kTag, 1, "%d, %s: failed: %s", error.what());
    } catch (...) {
        ZLOG_AS(caller, kTag, 1, "%d, %s: failed");
    }
    return fallback;
}

template <class Call>
void Guarded(const char* caller, Call&& call) {
    Guarded<int>(caller, 0, [&] {
        call();
        return 0;
    });
}
}  // namespace

int TranslateStatisType(int publicType) {
    switch (publicType) {
        case 1: return ISP_STATIS_AEM;
        case 8: return ISP_STATIS_LSCM;
        case 9: return ISP_STATIS_HIST2;
        case 10: return ISP_STATIS_GTMHIST;
        default: return ISP_STATIS_NONE;
    }
}

}  // namespace ZEB

using ZEB::SimulationControl;

extern "C" {

void* CreateSimulation(void* context, int cameraId) {
    return ZEB::Guarded<void*>(__func__, nullptr, [&]() -> void* {
        auto instance = std::make_unique<SimulationControl>(context, cameraId);
        auto& registry = ZEB::Registry();
        MutexLock guard(registry.lock);
        auto& slot = registry.instances[cameraId];
        if (slot) {
            ZLOG_AS("CreateSimulation", ZEB::kTag, 1, "%d, %s: instance of camera %d replaced before it was deleted",
                    cameraId);
            registry.replaced.push_back(std::move(slot));
        }
        slot = std::move(instance);
        return slot.get();
    });
}

void DeleteSimulation(int cameraId) {
    ZEB::Guarded(__func__, [&] {
        std::unique_ptr<SimulationControl> instance;
        {
            auto& registry = ZEB::Registry();
            MutexLock guard(registry.lock);
            auto found = registry.instances.find(cameraId);
            if (found == registry.instances.end()) return;
            instance = std::move(found->second);
            registry.instances.erase(found);
        }
        instance.reset();
    });
}

void CheckSimulationDeinit() {
    ZEB::Guarded(__func__, [&] {
        std::map<int, std::unique_ptr<SimulationControl>> instances;
        std::vector<std::unique_ptr<SimulationControl>> replaced;
        {
            auto& registry = ZEB::Registry();
            MutexLock guard(registry.lock);
            instances.swap(registry.instances);
            replaced.swap(registry.replaced);
        }
        // Ascending camera id, as the map holds them.
        for (auto& entry : instances) entry.second.reset();
        replaced.clear();
    });
}

void* Getinstance(int cameraId) {
    // Nothing here throws: the lookup is a map search.
    auto& registry = ZEB::Registry();
    MutexLock guard(registry.lock);
    return ZEB::FindLocked(registry, cameraId);
}

void NotifyMultiEV2ZEB(int cameraId) {
    ZEB::Guarded(__func__, [&] {
        // The call runs under the registry lock: a DeleteSimulation on another
        // thread cannot destroy the instance it found. The call never waits.
        auto& registry = ZEB::Registry();
        MutexLock guard(registry.lock);
        if (SimulationControl* instance = ZEB::FindLocked(registry, cameraId)) instance->ReceivingSnapshotCmd();
    });
}

void SetSensorIoctlOps(ZebSensorIoctlFunc ops, void* handle) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->VirtualSensor()->SetSensorOps(ops);
    });
}

long SetGrabOps(ZebGrabFunc ops, void* handle) {
    return ZEB::Guarded<long>(__func__, -1, [&]() -> long {
        SimulationControl* instance = ZEB::Instance(handle, __func__);
        return instance ? instance->VirtualSensor()->SetGrabOps(reinterpret_cast<void*>(ops)) : -1;
    });
}

void SetScenerioUpdateFunc(ZebScenarioUpdateFunc ops, void* handle) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->SetSceneOps(ops);
    });
}

void SetDataUpdateFunc(void* handle, int kind, void* data) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->SetDataUpdate(kind, data);
    });
}

void SetAeOfflineInfoFunc(void* handle, void* record) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->SetAeOfflineInfo(record);
    });
}

void GenerateOneJob(void* handle) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GenerateOneJob();
    });
}

void NotifySnapshotStatus(void* handle, bool started) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->ReceivingSnapStatus(started);
    });
}

bool GetFrameYuv(void* handle, void** list, int* count) {
    return ZEB::Guarded<bool>(__func__, false, [&] {
        SimulationControl* instance = ZEB::Instance(handle, __func__);
        return instance ? instance->GetFrameYuv(list, count) : false;
    });
}

void GetZSLYuvFrame(void* handle, void* destination) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetFrameYuv(destination);
    });
}

int GetPrevYuvFrame(void* handle) {
    return ZEB::Guarded<int>(__func__, 0, [&] {
        SimulationControl* instance = ZEB::Instance(handle, __func__);
        return instance ? instance->GetPrevFrameYuv() : 0;
    });
}

void GetFrameSceneInfo(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (handle) static_cast<SimulationControl*>(handle)->GetFrameSceneInfo(out);
    });
}

void GetFrameiSceneInfo(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (handle) static_cast<SimulationControl*>(handle)->GetiSceneInfo(out);
    });
}

void GetFrameSmartInfo(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetFrameSmartInfo(out);
    });
}

void GetFrameStatisInfo(void* handle, int type, unsigned long address, unsigned int size) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) {
            instance->GetFrameStatisInfo(static_cast<ZEB::ISP_STATIS>(ZEB::TranslateStatisType(type)), address, size);
        }
    });
}

void GetFrameManualInfo(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetFrameManualInfo(out);
    });
}

void GetFrameAndroidInfo(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetFrameAndroidInfo(out);
    });
}

void GetIspAlgOps(void* handle, void* out, int kind) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetOps(out, kind);
    });
}

void GetIspUpFlag(void* handle, void* out) {
    ZEB::Guarded(__func__, [&] {
        if (SimulationControl* instance = ZEB::Instance(handle, __func__)) instance->GetFlag(out);
    });
}

float GetFrameEvStatus(void* handle) {
    return ZEB::Guarded<float>(__func__, 0.0f, [&] {
        SimulationControl* instance = ZEB::Instance(handle, __func__);
        return instance ? instance->GetFrameEvStatus() : 0.0f;
    });
}

// The streaming family. The registry holds a handler in use for the length of
// each call, so DeleteSocketServer on the HAL's close path waits for a frame
// being filed or fetched instead of destroying the handler under it.

void CreateSocketServer(int cameraId) {
    ZEB::Guarded(__func__, [&] {
        ZLOG_AS("CreateSocketServer", ZEB::kTag, 4, "%d, %s: Start create Camera Id %d", cameraId);
        ZEB::SocketServerManager::Instance().Create(cameraId);
    });
}

void DeleteSocketServer() {
    ZEB::Guarded(__func__, [&] {
        ZEB::SocketServerManager::Instance().DeleteAll([](int cameraId) {
            ZLOG_AS("DeleteSocketServer", ZEB::kTag, 4, "%d, %s: Delete Socket Server %d", cameraId);
        });
    });
}

void SettingSocketBuffer(int cameraId, void* frame) {
    ZEB::Guarded(__func__, [&] {
        if (!ZEB::SimulationControlInterface::isIspMode()) return;
        if (auto handler = ZEB::SocketServerManager::Instance().Find(cameraId, true)) handler->InQueueOneFrame(frame);
    });
}

// A camera id without a handler has no size: -1, and no entry is added.
int GettingPreviewWidth(int cameraId) {
    return ZEB::Guarded<int>(__func__, -1, [&] {
        if (auto handler = ZEB::SocketServerManager::Instance().Find(cameraId, false)) return handler->GetPreviewWidth();
        ZLOG_AS("GettingPreviewWidth", ZEB::kTag, 1, "%d, %s: Could not fin SocketServerInstance");
        return -1;
    });
}

int GettingPreviewHeight(int cameraId) {
    return ZEB::Guarded<int>(__func__, -1, [&] {
        if (auto handler = ZEB::SocketServerManager::Instance().Find(cameraId, false)) return handler->GetPreviewHeight();
        ZLOG_AS("GettingPreviewHeight", ZEB::kTag, 1, "%d, %s: Could not fin SocketServerInstance");
        return -1;
    });
}

int GettingLatestFrame(int cameraId, void* destination) {
    return ZEB::Guarded<int>(__func__, -1, [&] {
        if (!ZEB::SimulationControlInterface::isIspMode()) return -1;
        if (auto handler = ZEB::SocketServerManager::Instance().Find(cameraId, true)) {
            return handler->GetLatestFrame(destination);
        }
        ZLOG_AS("GettingLatestFrame", ZEB::kTag, 1, "%d, %s: Could not fin SocketServerInstance");
        return -1;
    });
}

}  // extern "C"
