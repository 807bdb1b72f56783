#include "parameter/TaskManager.h"

#include <chrono>
#include <cstring>

#include "parameter/MutualParam.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "core/FileAccess.h"
#include "platform/Log.h"
#include "core/SimulationControlInterface.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEBTask";

// How long creating an instance waits for the sweeps still being written.
constexpr std::chrono::seconds kSweepWait(5);

// Block states that get no sweep.
constexpr uint32_t kStateNoSweep = 2;
constexpr uint32_t kStateFixed = 3;
constexpr uint32_t kStateXtmFree = 1;

// The offline 3A modules register after the task manager: a sweep under one
// of their names would take it first, and the module's registration (with all
// its substitution) would silently fail.
bool OfflineAlgoName(const std::string& name) {
    return name == "AE" || name == "AWB" || name == "ALSC" || name == "XTM";
}

}  // namespace

TaskManager::TaskManager() {
    SimulationControlInterface::SetZebDataReady(false);
    SimulationControlInterface::SetPropZEBServerInit();
    try {
        mReadyLoop.Start([this] { SetServerReady(); });
    } catch (const std::exception& error) {
        ZLOG(kTag, 1, "%d, %s: could not start the ready loop: %s", error.what());
    }
    try {
        LoadConfiguration();
    } catch (...) {
        // The ready loop already runs: its thread, still joinable when the
        // member goes, would end the process instead of failing the load.
        Stop();
        throw;
    }
}

void TaskManager::LoadConfiguration() {
    const std::string ispConfig = ParseTaskList(&mTaskMapper);
    ParseIspConfigList(zeb_platform::HostPathOf(ispConfig).c_str(), &mIspInfo, &IspConfiginfo);
    ZLOG(kTag, 4, "%d, %s: Now Preparing Scene info with size %d", static_cast<int>(mTaskMapper.size()));
    ParameterManager().ParseParameter(&mTaskMapper, "SceneParameter");
    SimulationControlInterface::GetPropXtmFix(mXtmFix);

    if (mIspInfo.empty()) {
        SimulationControlInterface::SetZebDataReady(true);
        ZLOG(kTag, 4, "%d, %s: data ready");
        return;
    }
    CreateMutualModules();
    mStatus.SetReady();
    ParameterManager().WatchStatus();
    mWatchStarted = true;
}

TaskManager::BlockSweep TaskManager::SweepOf(const IspInfo& block) {
    if (IspText(block.tuning) == "null" || block.state == kStateNoSweep || block.state == kStateFixed) {
        return BlockSweep::None;
    }
    // A name another module holds, or will hold, must not be read as a sweep.
    return OfflineAlgoName(IspText(block.name)) ? BlockSweep::NameTaken : BlockSweep::Swept;
}

void TaskManager::CreateMutualModules() {
    MutexLock guard(mStatus.mMutex);
    auto manager = std::make_shared<ParameterManager>();
    for (const IspInfo& block : mIspInfo) {
        const std::string name = IspText(block.name);
        const std::string tuning = IspText(block.tuning);
        const BlockSweep sweep = SweepOf(block);
        if (sweep != BlockSweep::None) {
            const bool taken = sweep == BlockSweep::NameTaken;
            const intptr_t created = taken ? 0 : CreateParameter(manager, name.c_str(), tuning.c_str());
            if (!taken &&
                ParameterManager::GetInstance(name.c_str()) == reinterpret_cast<ParameterManagerBase*>(created)) {
                mMutualNames.push_back(name);
                ZLOG(kTag, 4, "%d, %s: create %s tuning parameter done", files::Escaped(name).c_str());
            } else {
                ZLOG(kTag, 1, "%d, %s: block %s: the name belongs to another module, its sweep is not used",
                     files::Escaped(name).c_str());
            }
        }
        if (name.find("XTM") != std::string::npos && tuning == "null") {
            if (block.state == kStateXtmFree) {
                SimulationControlInterface::SetPropXtmFix("0");
            } else if (block.state == kStateFixed) {
                SimulationControlInterface::SetPropXtmFix("1");
            }
            ZLOG(kTag, 4, "%d, %s: set XTM status %d done", static_cast<int>(block.state));
        }
    }
}

TaskManager::~TaskManager() {
    Stop();
    mTaskMapper.clear();
    SimulationControlInterface::SetPropXtmFix(mXtmFix);
}

void TaskManager::Stop() {
    mReadyLoop.Stop();
    mReadyLoop.Join();
    // The watch may be waiting on one of the mutual modules.
    if (mWatchStarted) ParameterManager::StopStatusWatch();
    for (auto& module : mMutualModules) module->Stop();
}

intptr_t TaskManager::CreateParameter(std::shared_ptr<ParameterManager>, const char* name, const char* tuningTask) {
    mMutualModules.push_back(std::make_unique<MutualParam>(tuningTask));
    return ParameterManager::CreateParameter(name, mMutualModules.back().get());
}

void TaskManager::SetServerReady() {
    const auto circle = SimulationControlInterface::ServerReadyCircleDuration();
    while (!(SimulationControlInterface::GetDeviceReady() && SimulationControlInterface::GetZebDataReady())) {
        if (!mReadyLoop.SleepFor(circle)) return;
    }
    SimulationControlInterface::SetPropZEBServerReady();
    ZLOG(kTag, 4, "%d, %s: server ready");
}

void* TaskManager::GetParameter(void* arg) {
    if (arg) {
        ZLOG(kTag, 4, "%d, %s: Getting IspConfig info");
        return &mIspInfo;
    }
    ZLOG(kTag, 4, "%d, %s: Getting TaskInfo Mapper");
    return &mTaskMapper;
}

int TaskManager::GetOpsParam(void*) { return 0; }

ZebStatusTag* TaskManager::GetStatus(void*) { return &mStatus; }

void TaskManager::SetFrameId(int64_t frameId) { mTaskFrameId.store(frameId); }

void TaskManager::SetFrameStaticInfo(void*, int64_t) {}

void TaskManager::ParseParameter(void* arg) {
    // An instance passes its own view of the task list: the tasks loaded here
    // are shared by every camera and never rewritten once loaded.
    TaskMap& tasks = arg ? *static_cast<TaskMap*>(arg) : mTaskMapper;
    if (tasks.empty()) {
        ZLOG(kTag, 4, "%d, %s: Could not get valid mTaskMapper");
        return;
    }
    if (mIspInfo.empty()) {
        ZLOG(kTag, 4, "%d, %s: Could not get valid IspConfig");
        SimulationControlInterface::SetPropZEBCapNum(std::to_string(tasks.size()).c_str());
        return;
    }
    // Each block's sweep is fetched once, so every task gets the same blocks
    // even if a sweep becomes ready while the tasks are being filled.
    ParameterManager manager;
    std::vector<std::pair<std::string, const TuningSweepMap*>> sweeps;
    // The instance is created as soon as the library is loaded, while sweeps
    // may still be written: one that is done within the limit is waited for,
    // not left out. The limit holds for all of them together (they are
    // written side by side), and it keeps the HAL's call from hanging on a
    // sweep that takes its time.
    const auto deadline = std::chrono::steady_clock::now() + zeb_platform::Scaled(kSweepWait);
    for (const std::string& name : mMutualNames) {
        ZebStatusTag* status = manager.GetStatus(nullptr, name.c_str());
        bool ready = true;
        if (status) {
            MutexLock lock(status->mMutex);
            if (!status->mReady) {
                ZLOG(kTag, 4, "%d, %s: wait for the %s sweep", files::Escaped(name).c_str());
                ready = status->mCond.wait_until(lock.native(), deadline, [&]() REQUIRES(status->mMutex) { return status->mReady; });
            }
        }
        if (!ready) {
            ZLOG(kTag, 1, "%d, %s: the %s sweep is not ready, this instance plays without it", files::Escaped(name).c_str());
            continue;
        }
        sweeps.emplace_back(name, static_cast<const TuningSweepMap*>(manager.GetParameter(nullptr, name.c_str())));
    }
    for (auto& entry : tasks) {
        TaskInfo& task = *entry.second;
        task.TaskTuningMapper.clear();
        for (const auto& sweep : sweeps) {
            if (!sweep.second || sweep.second->empty()) continue;
            task.TaskTuningMapper.insert(sweep.second->begin(), sweep.second->end());
            ZLOG(kTag, 4, "%d, %s: Parse block %s name param list %d done\n", files::Escaped(sweep.first).c_str(),
                 static_cast<int>(sweep.second->begin()->second.size()));
        }
        ZLOG(kTag, 4, "%d, %s: TaskTuningMapper size %d\n", static_cast<int>(task.TaskTuningMapper.size()));
    }
    int64_t captures = 1;
    for (const auto& block : tasks.begin()->second->TaskTuningMapper) {
        if (!block.second.empty()) captures *= static_cast<int64_t>(block.second.size());
    }
    ZLOG(kTag, 4, "%d, %s: mTaskMapper size %d cap_num %d\n", static_cast<int>(tasks.size()),
         static_cast<int>(captures));
    SimulationControlInterface::SetPropZEBCapNum(std::to_string(static_cast<int64_t>(tasks.size()) * captures).c_str());
}

}  // namespace ZEB
