// The sensor's tuning as the HAL side sees it: which tuning the sensor
// loads, what each tuning entry's capture found loaded, and the bypass call
// the test tool makes once every task is done.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <pugixml.hpp>

#include "core/FileAccess.h"
#include "core/records/Field.h"
#include "core/records/HalRecords.h"
#include "core/records/SceneRecords.h"
#include "core/records/ThreeARecords.h"
#include "parameter/SceneInfo.h"
#include "platform/Host.h"
#include "platform/SensorTuning.h"
#include "platform/TuningBin.h"
#include "tuning/ParameterUpdate.h"
#include "tuning/TuningPaths.h"
#include "zebsim-hal/lib/Emulator.h"

namespace zeb_hal {
using namespace ZEB;

// Names the sensor's tuning to the sensor side, before the library asks.
bool Emulator::SetUpTuning() {
    namespace fs = std::filesystem;
    const fs::path firmware = zeb_platform::DevicePath("/vendor/firmware");
    std::string name = mOptions.tuningName;
    std::error_code failure;
    if (name.empty() && fs::is_directory(firmware, failure)) {
        int found = 0;
        for (const auto& entry : fs::directory_iterator(firmware, failure)) {
            if (fs::is_regular_file(entry.path() / "cfg.xml", failure)) {
                name = entry.path().filename().string();
                ++found;
            }
        }
        if (found > 1) {
            mReport.fatal = "several tuning folders under " + firmware.string() + ": name one with --tuning-name";
            return false;
        }
        if (found == 0) name.clear();
    }
    mReport.tuningName = name;
    if (name.empty()) return true;
    zeb_platform::SetSensorTuningName(mOptions.cameraId, name);
    pugi::xml_document cfg;
    cfg.load_file((firmware / name / "cfg.xml").c_str());
    for (pugi::xml_node scenario : cfg.child("cfg").children("scenario")) {
        const std::string alias = scenario.attribute("alia").value();
        if (std::find(mTuningFolders.begin(), mTuningFolders.end(), alias) == mTuningFolders.end()) {
            mTuningFolders.push_back(alias);
        }
    }
    mTuningFolders.push_back("com");
    return true;
}

// Runs when the library announces a tuning entry's capture: by then it has
// installed the entry's combination and the sensor side has reloaded it.
void Emulator::RecordTuningEntry(Camera& c, size_t task, const std::string& outputFolder) {
    const ExpectedTuning& tuning = mRecording.tuning;
    // The HAL captures once the sensor has applied its tuning.
    if (!zeb_platform::WaitSensorIdle(c.id, std::chrono::seconds(10))) {
        Check(c, task, "sensor reload", false, "still being applied after 10 s");
    }
    const zeb_platform::SensorTuningState state = zeb_platform::GetSensorTuningState(c.id);
    TuningEntryReport entry;
    {
        MutexLock guard(mLock);
        entry.index = static_cast<int>(State(c).Task(task).tuning.size());
    }
    entry.outputFolder = outputFolder;
    entry.reloads = state.reloads;
    entry.triggerLoads = state.triggerLoads;
    memcpy(entry.updateFlags, c.updateFlags, sizeof entry.updateFlags);
    for (const auto& file : state.files) {
        entry.loaded.push_back({file.path, file.blockId, file.bypass, file.checksum, file.values});
    }
    entry.rejected = state.rejected;
    std::vector<std::string> errors;
    // The library marks an entry whose combination it could not install.
    std::string marker;
    if (ZEB::files::ReadAll(outputFolder + "/" + ZEB::kTuningFailedMarker, 1 << 20, &marker)) {
        entry.failure = marker.substr(0, marker.find('\n'));
        errors.push_back("tuning entry " + std::to_string(entry.index) + " failed, not played as its combination: " +
                         entry.failure);
        c.reloads = entry.reloads;
        MutexLock guard(mLock);
        TaskReport& report = State(c).Task(task);
        report.tuning.push_back(std::move(entry));
        report.errors.insert(report.errors.end(), errors.begin(), errors.end());
        return;
    }
    CheckCombination(entry, state.files, errors);
    if (entry.reloads != c.reloads + 1) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": sensor reloads went from " +
                         std::to_string(c.reloads) + " to " + std::to_string(entry.reloads));
    }
    c.reloads = entry.reloads;
    if (memcmp(entry.updateFlags, tuning.flags, sizeof entry.updateFlags) != 0) {
        errors.push_back("tuning entry " + std::to_string(entry.index) + ": update flags differ from the block list's");
    }
    MutexLock guard(mLock);
    TaskReport& report = State(c).Task(task);
    report.tuning.push_back(std::move(entry));
    report.errors.insert(report.errors.end(), errors.begin(), errors.end());
}

// Which sweep frame of each swept block every scenario folder holds, against
// the combination the entry's index stands for.
void Emulator::CheckCombination(TuningEntryReport& entry, const std::vector<zeb_platform::SensorTuningFile>& files,
                                std::vector<std::string>& errors) const {
    size_t stride = 1;
    for (const SweptBlock& block : mRecording.tuning.swept) {
        // The alternative every scenario folder holds, by value.
        int held = -2;
        for (const std::string& folder : mTuningFolders) {
            int match = -1;
            for (const auto& file : files) {
                if (file.path != folder + "/" + block.binName) continue;
                for (size_t k = 0; k < block.alternatives.size(); ++k) {
                    if (file.values == block.alternatives[k]) match = static_cast<int>(k);
                }
            }
            held = held == -2 || held == match ? match : -1;
        }
        held = std::max(held, -1);
        entry.combination.push_back(held);
        entry.combinationFiles.push_back(held >= 0 ? block.files[static_cast<size_t>(held)] : std::string());
        const int expected = static_cast<int>((static_cast<size_t>(entry.index) / stride) % block.alternatives.size());
        stride *= block.alternatives.size();
        if (held != expected) {
            errors.push_back("tuning entry " + std::to_string(entry.index) + ": block " + block.name + " holds " +
                             (held < 0 ? std::string("no single sweep frame") : "sweep frame " + std::to_string(held)) +
                             ", expected " + std::to_string(expected));
        }
    }
}

// The bypass word of every binary tuning file of the scenario folders, read
// from the header as the sensor side reads it.
std::map<std::string, int32_t> Emulator::BypassWords() const {
    namespace fs = std::filesystem;
    std::map<std::string, int32_t> words;
    const fs::path tuning = zeb_platform::DevicePath("/vendor/firmware/" + mReport.tuningName);
    for (const std::string& folder : mTuningFolders) {
        std::error_code failure;
        for (const auto& entry : fs::directory_iterator(tuning / folder, failure)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".bin") continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t at = zeb_platform::IsTriggerTuningName(name) ? 8 : 12;
            if (bytes.size() >= at + 4) words[folder + "/" + name] = ReadField<int32_t>(bytes.data(), at);
        }
    }
    return words;
}

// UpateBypassMode is a member of the library's exported ParameterUpdate: a
// caller outside the library builds one of its own through the library's
// entries, as the test tool would, and hands it the first task's scene.
void Emulator::CallBypassMode() {
    BypassReport& report = mReport.bypass;
    using Construct = void (*)(void*, int32_t, TaskMap*);
    using Destroy = void (*)(void*);
    using WaitStartup = bool (*)(void*);
    using BypassMode = void (*)(void*, int64_t, const iSceneInfo*, zeb_update_flag*);
    auto construct = reinterpret_cast<Construct>(dlsym(
        mLibrary.library(), "_ZN3ZEB15ParameterUpdateC1EiPSt3mapIlSt10shared_ptrINS_8TaskInfoEESt4lessIlESaISt4pairIKlS4_EEE"));
    auto destroy = reinterpret_cast<Destroy>(dlsym(mLibrary.library(), "_ZN3ZEB15ParameterUpdateD1Ev"));
    auto waitStartup = reinterpret_cast<WaitStartup>(dlsym(mLibrary.library(), "_ZN3ZEB15ParameterUpdate11WaitStartupEv"));
    auto bypassMode = reinterpret_cast<BypassMode>(
        dlsym(mLibrary.library(), "_ZN3ZEB15ParameterUpdate15UpateBypassModeElPKNS_10iSceneInfoEPNS_15zeb_update_flagE"));
    if (!construct || !destroy || !waitStartup || !bypassMode) {
        report.error = "ParameterUpdate's constructor, destructor, WaitStartup or UpateBypassMode is not exported";
        return;
    }
    iSceneInfo scene{};
    for (const ExpectedTask& task : mRecording.tasks) {
        if (!task.hasScene) continue;
        scene.commonInfo.prv_scenario_id = task.prvScenario;
        scene.commonInfo.cap_scenario_id = task.capScenario;
        scene.Valid = 1;
        break;
    }
    const std::map<std::string, int32_t> before = BypassWords();
    // Its bypass operations never read the task map; it only has to exist.
    TaskMap tasks;
    alignas(ParameterUpdate) unsigned char storage[sizeof(ParameterUpdate)];
    zeb_update_flag flags;
    memset(&flags, 0x7f, sizeof flags);
    construct(storage, mOptions.cameraId, &tasks);
    if (waitStartup(storage)) bypassMode(storage, 0, &scene, &flags);
    destroy(storage);
    report.called = true;
    memcpy(report.updateFlags, &flags, sizeof report.updateFlags);
    if (!zeb_platform::WaitSensorIdle(mOptions.cameraId, std::chrono::seconds(10))) {
        report.error = "the sensor reload was still being applied after 10 s";
    }
    report.reloads = zeb_platform::GetSensorTuningState(mOptions.cameraId).reloads;
    for (const auto& word : BypassWords()) {
        auto old = before.find(word.first);
        report.files.push_back({word.first, old == before.end() ? 0 : old->second, word.second});
    }
    Progress(*mCameras.front(), "UpateBypassMode: flags %d %d %d %d %d, %zu file(s)", flags.rgbgain_update, flags.awb_update,
             flags.lsc_update, flags.cmc_update, flags.xtm_update, report.files.size());
}

}  // namespace zeb_hal
