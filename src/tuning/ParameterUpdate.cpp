// The tuning updater's start-up: the sensor's tuning name, its scenario
// table, the swept combinations built into the tasks and the update flags,
// learnt on the object's own thread while the first frames are read.
#include "tuning/ParameterUpdate.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <pugixml.hpp>
#include <system_error>

#include "core/FileAccess.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneInfo.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"
#include "tuning/TuningPaths.h"

namespace ZEB {
namespace {

constexpr std::chrono::seconds kNameLimit(1);

using files::Escaped;

// The hexadecimal scenario id of a "cfg.xml" entry ("1F" and "0x1f" alike);
// false when the text is no such number.
bool ParseScenarioId(const char* text, uint64_t* id) {
    const char* first = text + strspn(text, " \t\n\v\f\r");
    if (*first == '-' || *first == '+') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(first, &end, 16);
    if (end == first || errno != 0) return false;
    if (end[strspn(end, " \t\n\v\f\r")] != '\0') return false;
    *id = value;
    return true;
}

}  // namespace

Mutex ParameterUpdate::sTaskTuningLock;

ParameterUpdate::ParameterUpdate(int32_t cameraId, TaskMap* taskMapper) : mTaskMapper(taskMapper), mCameraId(cameraId) {
    {
        ParameterManager registry;
        int32_t id = cameraId;
        mIspConfig = static_cast<std::vector<IspInfo>*>(registry.GetParameter(&id, "TaskManager"));
    }
    std::string loaderError;
    lib_handle_3A = dlopen("libcorvale.so", RTLD_NOW);
    if (!lib_handle_3A) {
        const char* text = dlerror();
        loaderError = text ? text : "";
        ZLOG(kTuningTag, 1, "%d, %s: 3A xml2bin fail to dlopen (%s)", loaderError.c_str());
    } else {
        dlerror();
        XML2BinFunc_3A = reinterpret_cast<int (*)(const char*, const char*)>(dlsym(lib_handle_3A, "cfgxmlparse"));
        const char* text = dlerror();
        if (text) loaderError = text;
    }
    if (!XML2BinFunc_3A) ZLOG(kTuningTag, 1, "%d, %s: 3A xml2bin fail to dlsym (%s)", loaderError.c_str());
    ZLOG(kTuningTag, 4, "%d, %s: get func lib_handle_3A %p, XML2BinFunc_3A %p", lib_handle_3A,
         reinterpret_cast<void*>(XML2BinFunc_3A));
    ParserThread();
}

ParameterUpdate::~ParameterUpdate() {
    Stop();
    mStartup.Join();
    if (lib_handle_3A) dlclose(lib_handle_3A);
}

void ParameterUpdate::ParserThread() {
    MutexLock guard(mStartupLock);
    if (mStartup.Started() || mStartupDone.load()) return;
    try {
        mStartup.Start([this] {
            pthread_setname_np(pthread_self(), "zeb_tuning");
            // Nothing may leave the thread: it would end the camera process.
            try {
                GetScenarioMapperInfo();
            } catch (const std::exception& error) {
                ZLOG(kTuningTag, 1, "%d, %s: tuning start-up failed: %s", error.what());
            }
            mStartupDone.store(true);
            mStartup.Notify();
        });
    } catch (const std::system_error& error) {
        // Without the thread nothing is swept; nobody waits for it either.
        ZLOG(kTuningTag, 1, "%d, %s: thread constructor failed: %s", error.what());
        mStartupDone.store(true);
    }
}

void ParameterUpdate::GetScenarioMapperInfo() {
    const std::string name = GetTuningName();
    if (Stopped()) return;
    TuningCfgXMLParser(name);
    if (Stopped()) return;
    TuningVecParser();
    TuningFlagParser();
}

bool ParameterUpdate::WaitStartup() {
    mStartup.Wait([this] { return mStartupDone.load(); });
    return mStartupDone.load() && !Stopped();
}

void ParameterUpdate::Stop() { mStartup.Stop(); }

std::string ParameterUpdate::TuningName() const {
    MutexLock guard(mStateLock);
    return mTuningName;
}

std::string ParameterUpdate::GetTuningName() {
    char name[256] = {0};
    const auto start = std::chrono::steady_clock::now();
    const auto limit = zeb_platform::Scaled(kNameLimit);
    while (std::chrono::steady_clock::now() - start < limit) {
        sensor_get_tuning_parameter_name(name, mCameraId);
        if (strnlen(name, sizeof name) > 0) break;
        if (!Pause(kPoll)) break;
    }
    return std::string(name, strnlen(name, sizeof name));
}

void ParameterUpdate::TuningCfgXMLParser(std::string name) {
    const std::string path = zeb_platform::DevicePath(kFirmwareRoot) + "/" + name + "/cfg.xml";
    {
        MutexLock guard(mStateLock);
        mTuningName = name;
    }
    ZLOG(kTuningTag, 4, "%d, %s: LoadPath is %s", Escaped(path).c_str());
    pugi::xml_document document;
    std::string why;
    if (!files::LoadXml(document, path, &why)) {
        ZLOG(kTuningTag, 4, "%d, %s: Document not parsed successfully.file is empty!");
        if (why != "missing") ZLOG(kTuningTag, 1, "%d, %s: scenario table %s refused: %s", Escaped(path).c_str(), why.c_str());
        return;
    }
    pugi::xml_node cfg = document.child("cfg");
    if (!cfg) {
        ZLOG(kTuningTag, 4, "%d, %s: document of the wrong type, <cfg> node != cfg");
        return;
    }
    MutexLock guard(mStateLock);
    for (pugi::xml_node scenario : cfg.children("scenario")) {
        const std::string alias = scenario.attribute("alia").value();
        const char* text = scenario.child("id").text().get();
        uint64_t id = 0;
        if (!ParseScenarioId(text, &id)) {
            // Left out, so it can never stand for scenario 0.
            ZLOG(kTuningTag, 1, "%d, %s: scenario %s: id \"%s\" is not a hexadecimal number, skipped",
                 Escaped(alias).c_str(), Escaped(text).c_str());
            continue;
        }
        mScenarioMapper.emplace(id, alias);
    }
}

void ParameterUpdate::ParserVec(std::vector<Combination>& combinations, std::map<int, std::string> alternatives) {
    if (alternatives.empty()) ZLOG(kTuningTag, 1, "%d, %s: invalid input");
    if (combinations.empty()) {
        for (const auto& alternative : alternatives) combinations.push_back({alternative.second});
        return;
    }
    const std::vector<Combination> kept = std::move(combinations);
    combinations.clear();
    for (const auto& alternative : alternatives) {
        for (Combination combination : kept) {
            combination.push_back(alternative.second);
            combinations.push_back(std::move(combination));
        }
    }
}

void ParameterUpdate::TuningVecParser() {
    if (!mTaskMapper || mTaskMapper->empty()) return;
    MutexLock guard(sTaskTuningLock);
    const auto& first = *mTaskMapper->begin();
    if (!first.second) return;
    std::vector<Combination> combinations;
    for (const auto& block : first.second->TaskTuningMapper) {
        ParserVec(combinations, block.second);
        // No combination can hold a file of a block without alternatives; a
        // later block must not start the product afresh without it.
        if (block.second.empty()) break;
    }
    auto& tuning = first.second->TaskTuning;
    for (size_t i = 0; i < combinations.size(); ++i) tuning.emplace(static_cast<int>(i), combinations[i]);
    for (const auto& entry : tuning) {
        ZLOG(kTuningTag, 5, "%d, %s: index %d size %d", entry.first, static_cast<int>(entry.second.size()));
        for (const std::string& path : entry.second) ZLOG(kTuningTag, 5, "%d, %s: tuninglist %s", Escaped(path).c_str());
    }
    for (const auto& other : *mTaskMapper) {
        if (!other.second || (other.first == first.first && other.second == first.second)) continue;
        other.second->TaskTuning.insert(tuning.begin(), tuning.end());
    }
}

void ParameterUpdate::TuningFlagParser() {
    int32_t flags[5] = {0, 0, 0, 0, 0};
    if (!mIspConfig) {
        ZLOG(kTuningTag, 4, "%d, %s: get IspConfig fail");
    } else {
        static const char* const kinds[5] = {"RGBGAIN", "AWB", "LSC", "CMC10_V1", "XTM"};
        for (const IspInfo& block : *mIspConfig) {
            const std::string name = IspText(block.name);
            if (IspText(block.tuning) == "null") continue;
            for (int k = 0; k < 5; ++k) {
                if (name.find(kinds[k]) != std::string::npos) flags[k] = 1;
            }
        }
    }
    MutexLock guard(mStateLock);
    mRgbGainUpdate = flags[0];
    mAwbUpdate = flags[1];
    mLscUpdate = flags[2];
    mCmcUpdate = flags[3];
    mXtmUpdate = flags[4];
}

std::string ParameterUpdate::FindScenarioAlia(const iSceneInfo* scene, int32_t capture) {
    if (!scene) {
        ZLOG(kTuningTag, 1, "%d, %s: not find Scenario name");
        return std::string();
    }
    const uint64_t preview = scene->commonInfo.prv_scenario_id;
    const uint64_t still = scene->commonInfo.cap_scenario_id;
    ZLOG(kTuningTag, 4, "%d, %s: PrvScenario 0x%llx", static_cast<unsigned long long>(preview));
    ZLOG(kTuningTag, 4, "%d, %s: CapScenario 0x%llx", static_cast<unsigned long long>(still));
    const uint64_t wanted = capture ? still : preview;
    {
        MutexLock guard(mStateLock);
        auto found = mScenarioMapper.find(wanted);
        if (found != mScenarioMapper.end()) return found->second;
    }
    ZLOG(kTuningTag, 1, "%d, %s: not find Scenario name");
    return std::string();
}

}  // namespace ZEB
