#include "parameter/ParameterManager.h"

#include <map>
#include <mutex>

#include "core/FileAccess.h"
#include "core/Worker.h"
#include "platform/Mutex.h"
#include "platform/Log.h"
#include "core/SimulationControlInterface.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBParameter";

// The registry and the status watch that walks it. Built on first use, so it
// exists before any module registers whatever the order of static
// initialisation; its destructor ends the watch before the map goes.
struct Registry {
    Mutex lock;  // never held while a module's code runs
    std::map<std::string, ParameterManagerBase*> mapper GUARDED_BY(lock);

    // Serializes starting and stopping the watch (the owner's side of its
    // Worker); taken before watchLock, and never by the watch itself.
    Mutex startStopLock ACQUIRED_BEFORE(watchLock);
    Mutex watchLock;
    ZebStatusTag* waitingOn GUARDED_BY(watchLock) = nullptr;
    Worker watch;

    ~Registry() { Stop(); }

    void Stop() EXCLUDES(startStopLock, watchLock) {
        MutexLock owner(startStopLock);
        {
            MutexLock guard(watchLock);
            if (!watch.Started()) return;
            watch.Stop();
            if (waitingOn) {
                // Taking the module's lock orders this wake-up after the watch's
                // predicate check: it is either waiting already or sees stop.
                MutexLock tagGuard(waitingOn->mMutex);
                waitingOn->mCond.notify_all();
            }
        }
        // Without watchLock: the watch takes it on its way out.
        watch.Join();
    }
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The first registered name after `previous` (the first of all when `first`).
bool NextEntry(bool first, const std::string& previous, std::string* name, ParameterManagerBase** module) {
    Registry& registry = TheRegistry();
    MutexLock guard(registry.lock);
    auto it = first ? registry.mapper.begin() : registry.mapper.upper_bound(previous);
    if (it == registry.mapper.end()) return false;
    *name = it->first;
    *module = it->second;
    return true;
}

}  // namespace

intptr_t ParameterManager::CreateParameter(const char* name, ParameterManagerBase* module) {
    if (!name) {
        ZLOG(kTag, 1, "%d, %s: module without a name not registered");
        return reinterpret_cast<intptr_t>(module);
    }
    if (!module) ZLOG(kTag, 1, "%d, %s: %s registered without a module", files::Escaped(name).c_str());
    Registry& registry = TheRegistry();
    MutexLock guard(registry.lock);
    registry.mapper.emplace(name, module);
    return reinterpret_cast<intptr_t>(module);
}

ParameterManagerBase* ParameterManager::GetInstance(const char* name) {
    ParameterManagerBase* module = nullptr;
    if (name) {
        Registry& registry = TheRegistry();
        MutexLock guard(registry.lock);
        auto it = registry.mapper.find(name);
        if (it != registry.mapper.end()) module = it->second;
    }
    if (!module) ZLOG(kTag, 4, "%d, %s: Could not find ParameterInstance");
    return module;
}

void* ParameterManager::GetParameter(void* arg, const char* name) {
    ZLOG(kTag, 4, "%d, %s: Instance name is %s", name ? files::Escaped(name).c_str() : "(null)");
    ParameterManagerBase* module = GetInstance(name);
    return module ? module->GetParameter(arg) : nullptr;
}

ZebStatusTag* ParameterManager::GetStatus(void* arg, const char* name) {
    ZLOG(kTag, 4, "%d, %s: Instance name is %s", name ? files::Escaped(name).c_str() : "(null)");
    ParameterManagerBase* module = GetInstance(name);
    return module ? module->GetStatus(arg) : nullptr;
}

int ParameterManager::GetOpsParam(void* arg, const char* name) {
    ZLOG(kTag, 4, "%d, %s: Instance name is %s", name ? files::Escaped(name).c_str() : "(null)");
    ParameterManagerBase* module = GetInstance(name);
    return module ? module->GetOpsParam(arg) : 0;
}

void ParameterManager::ParseParameter(void* arg, const char* name) {
    ZLOG(kTag, 4, "%d, %s: Instance name is %s", name ? files::Escaped(name).c_str() : "(null)");
    ParameterManagerBase* module = GetInstance(name);
    if (module) module->ParseParameter(arg);
}

void ParameterManager::SetFrameStaticInfo(void* record, int64_t frameId, const char* name) {
    ParameterManagerBase* module = GetInstance(name);
    if (module) module->SetFrameStaticInfo(record, frameId);
}

void ParameterManager::SetFrameId2ALG(int64_t frameId) {
    std::vector<ParameterManagerBase*> modules;
    {
        Registry& registry = TheRegistry();
        MutexLock guard(registry.lock);
        for (const auto& entry : registry.mapper) modules.push_back(entry.second);
    }
    for (ParameterManagerBase* module : modules) {
        if (module) module->SetFrameId(frameId);
    }
}

void ParameterManager::SetFrameSize2ALG(int64_t count) { ParameterManagerBase::SetFrameSize(count); }

void ParameterManager::WatchStatus() {
    Registry& registry = TheRegistry();
    MutexLock owner(registry.startStopLock);
    if (registry.watch.Started()) {
        ZLOG(kTag, 4, "%d, %s: status watch already started");
        return;
    }
    // The caller may be a temporary: the thread keeps nothing of it.
    registry.watch.Start([] { ParameterManager().StatusThread(); });
}

void ParameterManager::StatusThread() {
    Registry& registry = TheRegistry();
    ZLOG(kTag, 4, "%d, %s: wait server ready");
    // Walk by name rather than over a snapshot: a module registered while the
    // walk is under way is still waited for if its name comes later.
    std::string name;
    ParameterManagerBase* listed = nullptr;
    for (bool first = true; NextEntry(first, name, &name, &listed); first = false) {
        ZLOG(kTag, 4, "%d, %s: wait for %s param parse", files::Escaped(name).c_str());
        ParameterManagerBase* module = GetInstance(name.c_str());
        ZebStatusTag* status = module ? module->GetStatus(nullptr) : nullptr;
        if (!status) {
            ZLOG(kTag, 1, "%d, %s: get %s param status fail", files::Escaped(name).c_str());
            continue;
        }
        // Published before the module's lock is taken: Stop takes the two locks
        // in the other order.
        {
            MutexLock guard(registry.watchLock);
            registry.waitingOn = status;
        }
        bool ready;
        {
            MutexLock lock(status->mMutex);
            status->mCond.wait(lock.native(), [&]() REQUIRES(status->mMutex) { return status->mReady || registry.watch.Stopping(); });
            ready = status->mReady;
            if (ready) ZLOG(kTag, 4, "%d, %s: %s param parse done", files::Escaped(name).c_str());
        }
        {
            MutexLock guard(registry.watchLock);
            registry.waitingOn = nullptr;
        }
        if (!ready) return;  // stopped
    }
    if (!registry.watch.SleepFor(SimulationControlInterface::ServerReadyDuration())) return;
    SimulationControlInterface::SetZebDataReady(true);
    ZLOG(kTag, 4, "%d, %s: server ready");
}

std::vector<std::string> ParameterManager::RegisteredNames() {
    Registry& registry = TheRegistry();
    MutexLock guard(registry.lock);
    std::vector<std::string> names;
    for (const auto& entry : registry.mapper) names.push_back(entry.first);
    return names;
}

void ParameterManager::StopStatusWatch() { TheRegistry().Stop(); }

void ParameterManager::Clear() {
    Registry& registry = TheRegistry();
    MutexLock guard(registry.lock);
    registry.mapper.clear();
}

}  // namespace ZEB
