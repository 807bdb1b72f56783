// The tuning updater: start-up (tuning name, scenario table, combinations,
// update flags) and the switch to one tuning combination.
#include "tuning/ParameterUpdate.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <pugixml.hpp>
#include <system_error>

#include "parameter/ParameterManager.h"
#include "parameter/SceneInfo.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/SensorTuning.h"
#include "platform/TRGManage.h"
#include "platform/TuningBin.h"
#include "tuning/TuningPaths.h"

namespace ZEB {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr milliseconds kPoll(500);
constexpr seconds kNameLimit(1);
constexpr seconds kStatusLimit(6);
constexpr int kReadyByte = 132;
constexpr int kPostprocConfigId = 65658;

const char* const kCom = "com";

std::string ErrnoText(int error) { return std::error_code(error, std::system_category()).message(); }

// Saves a translated tuning document; a path that does not open is skipped.
void SaveDocument(const pugi::xml_document& document, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    if (!out.is_open()) return;
    document.save(out, " ", pugi::format_indent, pugi::encoding_utf8);
    out.flush();
    if (!out) ZLOG(kTuningTag, 1, "%d, %s: could not write %s", path.c_str());
}

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
    if (mStartup.joinable()) mStartup.join();
    if (lib_handle_3A) dlclose(lib_handle_3A);
}

void ParameterUpdate::ParserThread() {
    std::lock_guard<std::mutex> guard(mLock);
    if (mStartup.joinable() || mStartupDone) return;
    try {
        mStartup = std::thread([this] {
            pthread_setname_np(pthread_self(), "zeb_tuning");
            // Nothing may leave the thread: it would end the camera process.
            try {
                GetScenarioMapperInfo();
            } catch (const std::exception& error) {
                ZLOG(kTuningTag, 1, "%d, %s: tuning start-up failed: %s", error.what());
            }
            {
                std::lock_guard<std::mutex> done(mLock);
                mStartupDone = true;
            }
            mCond.notify_all();
        });
    } catch (const std::system_error& error) {
        // Without the thread nothing is swept; nobody waits for it either.
        ZLOG(kTuningTag, 1, "%d, %s: thread constructor failed: %s", error.what());
        mStartupDone = true;
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
    std::unique_lock<std::mutex> lock(mLock);
    mCond.wait(lock, [this] { return mStartupDone || mStop.load(); });
    return mStartupDone && !mStop.load();
}

void ParameterUpdate::Stop() {
    {
        std::lock_guard<std::mutex> guard(mLock);
        mStop.store(true);
    }
    mCond.notify_all();
}

bool ParameterUpdate::Pause(std::chrono::nanoseconds duration) {
    std::unique_lock<std::mutex> lock(mLock);
    return !mCond.wait_for(lock, zeb_platform::Scaled(duration), [this] { return mStop.load(); });
}

std::string ParameterUpdate::TuningName() const {
    std::lock_guard<std::mutex> guard(mStateLock);
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
        std::lock_guard<std::mutex> guard(mStateLock);
        mTuningName = name;
    }
    ZLOG(kTuningTag, 4, "%d, %s: LoadPath is %s", path.c_str());
    pugi::xml_document document;
    if (!document.load_file(path.c_str())) {
        ZLOG(kTuningTag, 4, "%d, %s: Document not parsed successfully.file is empty!");
        return;
    }
    pugi::xml_node cfg = document.child("cfg");
    if (!cfg) {
        ZLOG(kTuningTag, 4, "%d, %s: document of the wrong type, <cfg> node != cfg");
        return;
    }
    std::lock_guard<std::mutex> guard(mStateLock);
    for (pugi::xml_node scenario : cfg.children("scenario")) {
        const std::string alias = scenario.attribute("alia").value();
        const char* text = scenario.child("id").text().get();
        uint64_t id = 0;
        if (!ParseScenarioId(text, &id)) {
            // Left out, so it can never stand for scenario 0.
            ZLOG(kTuningTag, 1, "%d, %s: scenario %s: id \"%s\" is not a hexadecimal number, skipped", alias.c_str(),
                 text);
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
    // Each instance hands its updater a task list of its own, but a caller
    // may give several updaters one map: their start-up threads would then
    // fill the same TaskTuning maps.
    static std::mutex sharedTasks;
    std::lock_guard<std::mutex> guard(sharedTasks);
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
        for (const std::string& path : entry.second) ZLOG(kTuningTag, 5, "%d, %s: tuninglist %s", path.c_str());
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
    std::lock_guard<std::mutex> guard(mStateLock);
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
        std::lock_guard<std::mutex> guard(mStateLock);
        auto found = mScenarioMapper.find(wanted);
        if (found != mScenarioMapper.end()) return found->second;
    }
    ZLOG(kTuningTag, 1, "%d, %s: not find Scenario name");
    return std::string();
}

void ParameterUpdate::UpdateFrameWithId(int64_t frameId, std::vector<std::string> files, const iSceneInfo* scene,
                                        zeb_update_flag* flag) {
    if (!mTaskMapper) return;
    // The tuning name and the scenario table come from the start-up thread.
    if (!WaitStartup()) return;
    const bool found = mTaskMapper->find(frameId) != mTaskMapper->end();
    ZLOG(kTuningTag, 4, "%d, %s: enter");
    const std::string name = TuningName();
    const std::string paramDir = zeb_platform::DevicePath(kParamRoot) + name;
    const std::string binDir = zeb_platform::DevicePath(kBinRoot) + name;
    if (found) {
        ZLOG(kTuningTag, 4, "%d, %s: Found Task and Scene info for ParameterUpdate");
        const std::string preview = FindScenarioAlia(scene, 0);
        const std::string capture = FindScenarioAlia(scene, 1);
        TranslateTuningXML(name, preview, capture, std::move(files));
    }
    if (LeavesItsRoot(name)) {
        ZLOG(kTuningTag, 1, "%d, %s: tuning name \"%s\" refused: it would leave the tuning folders", name.c_str());
    } else {
        char platform[128] = {0};
        strcpy(platform, "R7");
        XML2BinAdapter(paramDir.c_str(), binDir.c_str(), platform);
        if (XML2BinFunc_3A) XML2BinFunc_3A(paramDir.c_str(), binDir.c_str());
        // The converted folder goes into the firmware folder of the device
        // root, as "cp -r" would put it there: merged over what it holds.
        fs::path source(binDir);
        while (source.has_relative_path() && source.filename().empty()) source = source.parent_path();
        const fs::path firmware = zeb_platform::DevicePath(kFirmwareRoot);
        const fs::path target = firmware / source.filename();
        const std::string command = "cp '" + binDir + "' '" + firmware.string() + "' -r";
        ZLOG(kTuningTag, 4, "%d, %s: cp_cmd is %s", command.c_str());
        std::error_code error;
        fs::create_directories(target, error);
        if (!error) {
            fs::copy(source, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
        }
        if (error) {
            ZLOG(kTuningTag, 1, "%d, %s: could not install %s into %s: %s", binDir.c_str(), target.c_str(),
                 error.message().c_str());
        }
    }
    if (Stopped()) return;
    TuningPostprocXMLParser(GetTuningName());
    UpdateTuningParameter();
    UpdateTuningFlag(flag);
}

void ParameterUpdate::TranslateTuningXML(std::string name, std::string preview, std::string capture,
                                         std::vector<std::string> files) {
    // The tuning folder is emptied below: only a name of one folder level,
    // and aliases that stay inside it, may reach that far.
    if (name.empty() || name == "." || LeavesItsRoot(name)) {
        ZLOG(kTuningTag, 1, "%d, %s: tuning name \"%s\" refused: it names no folder of its own", name.c_str());
        return;
    }
    for (const std::string* alias : {&preview, &capture}) {
        if (LeavesItsRoot(*alias)) {
            ZLOG(kTuningTag, 1, "%d, %s: scenario alias \"%s\" refused: it would leave the tuning folder",
                 alias->c_str());
            return;
        }
    }
    const std::string root = zeb_platform::DevicePath(kParamRoot);
    const std::string tuningFolder = root + name + "/";
    const std::string previewFolder = root + name + "/" + preview;
    const std::string captureFolder = root + name + "/" + capture;
    const std::string commonFolder = root + name + "/" + kCom;

    auto makeDir = [](const std::string& path) {
        std::error_code error;
        if (fs::is_directory(path, error)) {
            ZLOG(kTuningTag, 4, "%d, %s: Path already exist");
            return true;
        }
        if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
            const int code = errno;
            ZLOG(kTuningTag, 4, "%d, %s: Could not make DIR with path %s, Error %s", path.c_str(),
                 ErrnoText(code).c_str());
            return false;
        }
        return true;
    };
    auto setUp = [&] {
        bool made = makeDir(root) && makeDir(tuningFolder);
        if (made) {
            // The previous combination's files go; the folder itself, a link
            // included, is removed, never what a link points to.
            std::error_code error;
            fs::remove_all(root + name, error);
            if (error) {
                ZLOG(kTuningTag, 1, "%d, %s: could not empty %s: %s", tuningFolder.c_str(), error.message().c_str());
            }
            made = makeDir(tuningFolder) && makeDir(previewFolder) && makeDir(captureFolder) && makeDir(commonFolder);
        }
        if (!made) {
            ZLOG(kTuningTag, 4, "%d, %s: Fail to create file path");
            return false;
        }
        ZLOG(kTuningTag, 4, "%d, %s: Create Tuning path with %s", previewFolder.c_str());
        ZLOG(kTuningTag, 4, "%d, %s: Create Tuning path with %s", captureFolder.c_str());
        return true;
    };
    if (!setUp()) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not create file dump path");
        return;
    }
    if (files.empty()) {
        ZLOG(kTuningTag, 1, "%d, %s: TuningVec is empty!");
        return;
    }
    for (const std::string& source : files) {
        pugi::xml_document document;
        if (!document.load_file(source.c_str())) {
            ZLOG(kTuningTag, 1, "%d, %s: Document not parsed successfully, file is empty!");
            continue;
        }
        const std::string fileName = TranslatedName(source);
        if (fileName.empty() || fileName == "." || fileName == "..") {
            ZLOG(kTuningTag, 1, "%d, %s: %s names no file, skipped", source.c_str());
            continue;
        }
        const std::string capturePath = captureFolder + "/" + fileName;
        const std::string previewPath = previewFolder + "/" + fileName;
        const std::string commonPath = commonFolder + "/" + fileName;
        ZLOG(kTuningTag, 4, "%d, %s: PathCapScenario is %s", capturePath.c_str());
        ZLOG(kTuningTag, 4, "%d, %s: PathPrvScenario is %s", previewPath.c_str());
        ZLOG(kTuningTag, 4, "%d, %s: PathAll is %s", commonPath.c_str());
        SaveDocument(document, capturePath);
        SaveDocument(document, previewPath);
        SaveDocument(document, commonPath);
    }
}

void ParameterUpdate::TuningPostprocXMLParser(std::string) {
    auto config = std::make_unique<pvk::postproc_cfg_info_t>();
    getPsParam(mCameraId, 0, 0, kPostprocConfigId, config.get());
    pvk::TRGManage::loadFiles(mCameraId, config.get(), 1);
}

void ParameterUpdate::UpdateTuningParameter() {
    const uint8_t* table = sensor_get_tuning_parameter_status();
    if (!table) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not get ITS Mappter");
        return;
    }
    if (mCameraId < 0 || mCameraId >= kSensorStatusRecords) {
        ZLOG(kTuningTag, 1, "%d, %s: camera id %d has no record in the tuning status table", mCameraId);
        return;
    }
    const uint8_t* ready = table + static_cast<size_t>(mCameraId) * kSensorStatusRecordSize + kReadyByte;
    const auto start = std::chrono::steady_clock::now();
    const auto limit = zeb_platform::Scaled(kStatusLimit);
    bool active = __atomic_load_n(ready, __ATOMIC_ACQUIRE) != 0;
    while (!active && std::chrono::steady_clock::now() - start < limit) {
        if (!Pause(kPoll)) return;
        active = __atomic_load_n(ready, __ATOMIC_ACQUIRE) != 0;
    }
    if (!active) {
        ZLOG(kTuningTag, 4, "%d, %s: ITS is still not ready");
        return;
    }
    ZLOG(kTuningTag, 4, "%d, %s: Tuning parameter is active");
    sensor_update_tuning_parameter(mCameraId);
}

void ParameterUpdate::UpdateTuningFlag(zeb_update_flag* flag) {
    const int32_t* status = sensor_get_update_status(mCameraId);
    if (!status) {
        ZLOG(kTuningTag, 4, "%d, %s: Could not get pm status");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto limit = zeb_platform::Scaled(kStatusLimit);
    bool busy = __atomic_load_n(status, __ATOMIC_ACQUIRE) != 0;
    while (busy && std::chrono::steady_clock::now() - start < limit) {
        if (!Pause(kPoll)) return;
        busy = __atomic_load_n(status, __ATOMIC_ACQUIRE) != 0;
    }
    if (busy) {
        ZLOG(kTuningTag, 4, "%d, %s: pm is still not ready");
    } else {
        ZLOG(kTuningTag, 4, "%d, %s: pm update done");
    }
    if (!flag) {
        ZLOG(kTuningTag, 1, "%d, %s: no update-flag record from the HAL");
        return;
    }
    std::lock_guard<std::mutex> guard(mStateLock);
    flag->rgbgain_update = mRgbGainUpdate;
    flag->awb_update = mAwbUpdate;
    flag->lsc_update = mLscUpdate;
    flag->cmc_update = mCmcUpdate;
    flag->xtm_update = mXtmUpdate;
}

}  // namespace ZEB
