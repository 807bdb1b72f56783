// The sensor side of tuning: tuning names, the status table, reloads of the
// firmware tuning folder on a thread per camera, and the trigger file loader,
// which reads the same folder.
#include "platform/SensorTuning.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Mutex.h"
#include "platform/TRGManage.h"
#include "platform/TuningBin.h"

namespace zeb_platform {
namespace {

namespace fs = std::filesystem;
const char* const kTag = "SensorTuning";
constexpr int kReadyByte = 132;
// The sensor applies a new tuning over its next frames.
constexpr std::chrono::milliseconds kApplyTime(100);
constexpr uint64_t kLargestTuningFile = 64u << 20;
// A camera's reload waits this long for another camera's install of the same
// tuning name; an install takes a few hundred milliseconds.
constexpr std::chrono::seconds kTurnLimit(30);

// The turns of tuning names: who holds each, and how often.
struct Turns {
    Mutex lock;
    std::condition_variable freed;
    struct Turn {
        int holder = -1;
        int count = 0;
    };
    std::map<std::string, Turn> byName GUARDED_BY(lock);
};

Turns& TheTurns() {
    static Turns* turns = new Turns;
    return *turns;
}

struct SensorSide {
    Mutex lock;
    std::condition_variable idle;
    bool namesRead GUARDED_BY(lock) = false;
    std::string names[kSensorStatusRecords] GUARDED_BY(lock);
    SensorTuningState states[kSensorStatusRecords] GUARDED_BY(lock);
    // Stored to under `lock`, atomically: the library reads them without it.
    alignas(8) uint8_t table[kSensorStatusRecords * kSensorStatusRecordSize] = {};
    int32_t status[kSensorStatusRecords] = {};

    Mutex requestLock;  // serialises requests, and owns the threads
    std::thread reloaders[kSensorStatusRecords] GUARDED_BY(requestLock);

    void JoinAll() EXCLUDES(requestLock) {
        MutexLock request(requestLock);
        for (std::thread& reloader : reloaders) {
            if (reloader.joinable()) reloader.join();
        }
    }
};

// The side itself is never destroyed (the library may look at its table while
// the process ends); its threads are joined when the process ends.
struct Joiner {
    SensorSide* side;
    ~Joiner() { side->JoinAll(); }
};

SensorSide& Side() {
    static SensorSide* side = new SensorSide;
    static Joiner joiner{side};
    return *side;
}

bool ValidCamera(int cameraId) { return cameraId >= 0 && cameraId < kSensorStatusRecords; }

void SetNameLocked(SensorSide& side, int cameraId, const std::string& name) REQUIRES(side.lock) {
    side.names[cameraId] = name.substr(0, 255);
    __atomic_store_n(&side.table[cameraId * kSensorStatusRecordSize + kReadyByte], name.empty() ? 0 : 1,
                     __ATOMIC_RELEASE);
}

// ZEB_SENSOR_TUNING_NAME: "name" for every camera, or "0:name0,1:name1".
void ReadNamesLocked(SensorSide& side) REQUIRES(side.lock) {
    if (side.namesRead) return;
    side.namesRead = true;
    const char* setting = getenv("ZEB_SENSOR_TUNING_NAME");
    if (!setting || !*setting) return;
    const std::string text = setting;
    if (text.find(':') == std::string::npos) {
        for (int c = 0; c < kSensorStatusRecords; ++c) SetNameLocked(side, c, text);
        return;
    }
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string entry = text.substr(at, comma - at);
        const size_t colon = entry.find(':');
        char* end = nullptr;
        const long camera = colon == std::string::npos ? -1 : strtol(entry.c_str(), &end, 10);
        if (colon != std::string::npos && end == entry.c_str() + colon && ValidCamera(static_cast<int>(camera))) {
            SetNameLocked(side, static_cast<int>(camera), entry.substr(colon + 1));
        } else if (!entry.empty()) {
            ZLOG(kTag, 1, "%d, %s: ZEB_SENSOR_TUNING_NAME entry \"%s\" is not <camera id>:<name>", entry.c_str());
        }
        at = comma + 1;
    }
}

SensorSide& NamedSide() {
    SensorSide& side = Side();
    MutexLock guard(side.lock);
    ReadNamesLocked(side);
    return side;
}

struct Scan {
    std::vector<SensorTuningFile> files;
    std::vector<std::string> rejected;
};

// Every binary tuning file below the camera's firmware tuning folder (only
// the trigger files when asked), each checked.
Scan ScanTuningFolder(const std::string& tuningName, bool triggersOnly) {
    Scan scan;
    if (tuningName.empty() || tuningName == "." || tuningName.find('/') != std::string::npos ||
        tuningName.find("..") != std::string::npos) {
        scan.rejected.push_back("tuning name \"" + Escaped(tuningName) + "\" names no folder");
        return scan;
    }
    const fs::path folder = DevicePath("/vendor/firmware/" + tuningName);
    std::error_code error;
    // The folder itself, not a folder a link there names.
    if (!fs::is_directory(fs::symlink_status(folder, error))) {
        scan.rejected.push_back(folder.string() + ": no such folder");
        return scan;
    }
    std::vector<fs::path> paths;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // What stands at the name, not what a link there names.
        if (it->path().extension() != ".bin" || !it->is_regular_file(error) || it->is_symlink(error)) continue;
        if (triggersOnly && !IsTriggerTuningName(name)) continue;
        paths.push_back(it->path());
    }
    if (error) scan.rejected.push_back(folder.string() + ": " + error.message());
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
        const fs::path relative = path.lexically_relative(folder);
        const std::string where = relative.generic_string();
        std::vector<uint8_t> bytes;
        std::string why;
        if (!ReadRegularFile(path.string(), kLargestTuningFile, &bytes, &why)) {
            scan.rejected.push_back(where + ": " + why);
            continue;
        }
        const std::string name = path.filename().string();
        TuningBin bin = DecodeTuningBin(name, bytes);
        if (!bin.ok) {
            scan.rejected.push_back(where + ": " + bin.error);
            continue;
        }
        SensorTuningFile file;
        file.path = where;
        file.folder = relative.has_parent_path() ? relative.begin()->string() : std::string();
        file.name = name;
        file.trigger = bin.trigger;
        file.blockId = bin.id;
        file.bypass = bin.bypass;
        file.checksum = bin.checksum;
        file.values = std::move(bin.values);
        scan.files.push_back(std::move(file));
    }
    return scan;
}

void LogRejected(int cameraId, const Scan& scan) {
    for (const std::string& reason : scan.rejected) {
        ZLOG(kTag, 1, "%d, %s: camera %d: not loaded: %s", cameraId, Escaped(reason).c_str());
    }
}

bool HasTurn(const std::string& name) { return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos; }

// The reload thread of one request, which took the name's turn for it.
void Reload(int cameraId, std::string tuningName) {
    pthread_setname_np(pthread_self(), "zeb_sensor_rld");
    Scan scan = ScanTuningFolder(tuningName, false);
    if (HasTurn(tuningName)) GiveTuningTurn(tuningName, cameraId);
    LogRejected(cameraId, scan);
    SleepScaled(kApplyTime);
    SensorSide& side = Side();
    MutexLock guard(side.lock);
    SensorTuningState& state = side.states[cameraId];
    state.tuningName = tuningName;
    state.files = std::move(scan.files);
    state.rejected = std::move(scan.rejected);
    ++state.reloads;
    state.busy = false;
    ZLOG(kTag, 4, "%d, %s: camera %d: reload %llu applied, %zu tuning file(s) of \"%s\", %zu not loaded", cameraId,
         static_cast<unsigned long long>(state.reloads), state.files.size(), Escaped(tuningName).c_str(),
         state.rejected.size());
    __atomic_store_n(&side.status[cameraId], 0, __ATOMIC_RELEASE);
    side.idle.notify_all();
}

}  // namespace

void SetSensorTuningName(int cameraId, const std::string& name) {
    if (!ValidCamera(cameraId)) return;
    SensorSide& side = Side();
    MutexLock guard(side.lock);
    ReadNamesLocked(side);
    SetNameLocked(side, cameraId, name);
}

std::string SensorTuningName(int cameraId) {
    if (!ValidCamera(cameraId)) return std::string();
    SensorSide& side = NamedSide();
    MutexLock guard(side.lock);
    return side.names[cameraId];
}

SensorTuningState GetSensorTuningState(int cameraId) {
    if (!ValidCamera(cameraId)) return SensorTuningState();
    SensorSide& side = Side();
    MutexLock guard(side.lock);
    return side.states[cameraId];
}

bool WaitSensorIdle(int cameraId, std::chrono::nanoseconds timeout) {
    if (!ValidCamera(cameraId)) return true;
    SensorSide& side = Side();
    MutexLock lock(side.lock);
    return side.idle.wait_for(lock.native(), timeout, [&]() REQUIRES(side.lock) { return !side.states[cameraId].busy; });
}

bool TakeTuningTurn(const std::string& name, int holder, std::chrono::nanoseconds timeout) {
    Turns& turns = TheTurns();
    MutexLock lock(turns.lock);
    // Looked up afresh each time: a turn given back for good leaves the map.
    auto mine = [&]() REQUIRES(turns.lock) {
        const auto found = turns.byName.find(name);
        return found == turns.byName.end() || found->second.holder == holder;
    };
    if (!turns.freed.wait_for(lock.native(), timeout, mine)) return false;
    Turns::Turn& turn = turns.byName[name];
    turn.holder = holder;
    ++turn.count;
    return true;
}

void GiveTuningTurn(const std::string& name, int holder) {
    Turns& turns = TheTurns();
    {
        MutexLock guard(turns.lock);
        auto found = turns.byName.find(name);
        if (found == turns.byName.end() || found->second.holder != holder || found->second.count <= 0) return;
        if (--found->second.count == 0) turns.byName.erase(found);
    }
    turns.freed.notify_all();
}

int TuningTurnHolder(const std::string& name) {
    Turns& turns = TheTurns();
    MutexLock guard(turns.lock);
    auto found = turns.byName.find(name);
    return found == turns.byName.end() ? -1 : found->second.holder;
}

void ResetSensorTuning() {
    SensorSide& side = Side();
    side.JoinAll();
    MutexLock guard(side.lock);
    for (int c = 0; c < kSensorStatusRecords; ++c) {
        SetNameLocked(side, c, std::string());
        side.states[c] = SensorTuningState();
        __atomic_store_n(&side.status[c], 0, __ATOMIC_RELEASE);
    }
    side.namesRead = false;
}

}  // namespace zeb_platform

using namespace zeb_platform;

extern "C" int sensor_get_tuning_parameter_name(char* name, int cameraId) {
    if (!name || !ValidCamera(cameraId)) return -1;
    SensorSide& side = NamedSide();
    MutexLock guard(side.lock);
    const std::string& known = side.names[cameraId];
    if (!known.empty()) memcpy(name, known.c_str(), known.size() + 1);
    return 0;
}

extern "C" const uint8_t* sensor_get_tuning_parameter_status(void) { return NamedSide().table; }

extern "C" int sensor_update_tuning_parameter(int cameraId) {
    if (!ValidCamera(cameraId)) {
        ZLOG(kTag, 1, "%d, %s: no camera %d", cameraId);
        return -1;
    }
    SensorSide& side = NamedSide();
    std::string name;
    {
        MutexLock guard(side.lock);
        name = side.names[cameraId];
    }
    // Another camera installing the same tuning goes first; the turn is the
    // reload thread's until it has read the folder. Taken before the request
    // lock, which other cameras' requests need meanwhile.
    const bool turn = HasTurn(name);
    if (turn && !TakeTuningTurn(name, cameraId, kTurnLimit)) {
        ZLOG(kTag, 1, "%d, %s: camera %d: tuning \"%s\" still installed by camera %d after %lld s: not reloaded",
             cameraId, Escaped(name).c_str(), TuningTurnHolder(name), static_cast<long long>(kTurnLimit.count()));
        return -1;
    }
    MutexLock request(side.requestLock);
    if (side.reloaders[cameraId].joinable()) side.reloaders[cameraId].join();
    {
        MutexLock guard(side.lock);
        side.states[cameraId].busy = true;
        __atomic_store_n(&side.status[cameraId], 1, __ATOMIC_RELEASE);
    }
    try {
        side.reloaders[cameraId] = std::thread(Reload, cameraId, name);
    } catch (const std::exception& failure) {
        ZLOG(kTag, 1, "%d, %s: camera %d: no reload thread: %s", cameraId, failure.what());
        if (turn) GiveTuningTurn(name, cameraId);
        MutexLock guard(side.lock);
        side.states[cameraId].busy = false;
        __atomic_store_n(&side.status[cameraId], 0, __ATOMIC_RELEASE);
        side.idle.notify_all();
        return -1;
    }
    return 0;
}

extern "C" const int32_t* sensor_get_update_status(int cameraId) {
    if (!ValidCamera(cameraId)) return nullptr;
    return &Side().status[cameraId];
}

namespace pvk {

int TRGManage::loadFiles(int cameraId, postproc_cfg_info_t* cfg, int reload) {
    if (!cfg || !ValidCamera(cameraId)) {
        ZLOG("TRGManage", 1, "%d, %s: refused: camera %d, configuration %p", cameraId, static_cast<void*>(cfg));
        return -1;
    }
    SensorSide& side = NamedSide();
    if (reload) {
        std::string name;
        {
            MutexLock guard(side.lock);
            name = side.names[cameraId];
        }
        const bool turn = HasTurn(name);
        if (turn && !TakeTuningTurn(name, cameraId, kTurnLimit)) {
            ZLOG("TRGManage", 1, "%d, %s: camera %d: tuning \"%s\" still installed by camera %d: not loaded", cameraId,
                 Escaped(name).c_str(), TuningTurnHolder(name));
            return -1;
        }
        Scan scan = ScanTuningFolder(name, true);
        if (turn) GiveTuningTurn(name, cameraId);
        LogRejected(cameraId, scan);
        MutexLock guard(side.lock);
        SensorTuningState& state = side.states[cameraId];
        state.triggerFiles = std::move(scan.files);
        ++state.triggerLoads;
        ZLOG("TRGManage", 4, "%d, %s: camera %d: %zu trigger file(s) loaded", cameraId, state.triggerFiles.size());
    }
    MutexLock guard(side.lock);
    const SensorTuningState& state = side.states[cameraId];
    memcpy(cfg->magic, "PPCF", 4);
    cfg->camera_id = cameraId;
    cfg->load_count = static_cast<uint32_t>(state.triggerLoads);
    cfg->trigger_count = static_cast<uint32_t>(std::min(state.triggerFiles.size(), postproc_cfg_info_t::kMaxTriggers));
    for (uint32_t i = 0; i < cfg->trigger_count; ++i) {
        const SensorTuningFile& file = state.triggerFiles[i];
        postproc_cfg_info_t::trigger_entry_t& entry = cfg->triggers[i];
        memset(&entry, 0, sizeof entry);
        memcpy(entry.name, file.name.c_str(), std::min(file.name.size(), sizeof entry.name - 1));
        entry.block_id = file.blockId;
        entry.bypass = file.bypass;
        entry.checksum = file.checksum;
        entry.value_count = static_cast<uint32_t>(file.values.size());
    }
    return static_cast<int>(cfg->trigger_count);
}

}  // namespace pvk
