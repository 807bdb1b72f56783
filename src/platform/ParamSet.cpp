#include "platform/ParamSet.h"

#include <atomic>
#include <cstring>
#include <map>
#include <utility>

#include "platform/Log.h"
#include "platform/Mutex.h"

namespace {

const char* const kTag = "ParamSet";

struct Store {
    Mutex lock;
    std::map<std::pair<int, int>, zeb_platform::PsRecord> records GUARDED_BY(lock);
};

Store& TheStore() {
    static Store* store = new Store;
    return *store;
}

std::atomic<pvk::ParamSet*> gInstance{nullptr};
Mutex gCreateLock;

}  // namespace

namespace pvk {

ParamSet* ParamSet::getInstance() { return gInstance.load(); }

ParamSet* ParamSet::createInstance() {
    MutexLock guard(gCreateLock);
    if (!gInstance.load()) gInstance.store(new ParamSet);
    return gInstance.load();
}

}  // namespace pvk

namespace zeb_platform {

size_t PsParamSize(int paramId) {
    switch (paramId) {
        case 2050:
        case 2104: return 13864;
        case 2056: return 4904;
        case 2061: return 644;
        case 2095: return 8;
        case 65578: return 208;
        case 65626: return 4368;
        case 65658: return 1085440;
        case 65671: return 1256;
        case 65681: return 17436;
        default: return 0;
    }
}

PsRecord GetPsRecord(int cameraId, int paramId) {
    Store& store = TheStore();
    MutexLock guard(store.lock);
    auto it = store.records.find({cameraId, paramId});
    if (it != store.records.end()) return it->second;
    PsRecord empty;
    empty.data.assign(PsParamSize(paramId), 0);
    return empty;
}

void ResetPsParams() {
    Store& store = TheStore();
    MutexLock guard(store.lock);
    store.records.clear();
}

}  // namespace zeb_platform

namespace {

bool Check(const char* what, int paramId, void* data) {
    if (!gInstance.load()) {
        ZLOG(kTag, 1, "%d, %s: %s of %d before the parameter set exists", what, paramId);
        return false;
    }
    if (zeb_platform::PsParamSize(paramId) == 0) {
        ZLOG(kTag, 1, "%d, %s: %s of unknown parameter id %d refused", what, paramId);
        return false;
    }
    if (!data) {
        ZLOG(kTag, 1, "%d, %s: %s of %d with a null pointer refused", what, paramId);
        return false;
    }
    return true;
}

}  // namespace

extern "C" int setPsParam(int cameraId, int mode, int frameId, int paramId, void* data) {
    if (!Check("set", paramId, data)) return -1;
    const size_t size = zeb_platform::PsParamSize(paramId);
    Store& store = TheStore();
    MutexLock guard(store.lock);
    zeb_platform::PsRecord& record = store.records[{cameraId, paramId}];
    record.data.resize(size);
    memcpy(record.data.data(), data, size);
    ++record.setCount;
    record.lastMode = mode;
    record.lastFrameId = frameId;
    return 0;
}

extern "C" int getPsParam(int cameraId, int, int, int paramId, void* data) {
    if (!Check("get", paramId, data)) return -1;
    const size_t size = zeb_platform::PsParamSize(paramId);
    Store& store = TheStore();
    MutexLock guard(store.lock);
    auto it = store.records.find({cameraId, paramId});
    if (it == store.records.end()) {
        memset(data, 0, size);
    } else {
        memcpy(data, it->second.data.data(), size);
    }
    return 0;
}
