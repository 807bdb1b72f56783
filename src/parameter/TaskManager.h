#pragma once
// The "TaskManager" module: the whole parameter side of the library load. It
// reads the task list and the block configuration list, starts the scene
// reader, creates one mutual module per swept block, and publishes
// "server ready" once the device and the data are both ready. When an
// instance is created it copies every block's sweep into every task of the
// instance's own view of the task list.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Worker.h"
#include "parameter/ParameterManager.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/TaskInfo.h"
#include "platform/Property.h"

namespace ZEB {

class MutualParam;

class TaskManager : public ParameterManagerBase {
public:
    // Never waits for another thread: the loading thread must not hang. The
    // "SceneParameter" module must be registered before.
    TaskManager();
    // Unregister the mutual modules (ParameterManager::Clear) before: they go
    // with the task manager.
    ~TaskManager() override;
    TaskManager(const TaskManager&) = delete;
    TaskManager& operator=(const TaskManager&) = delete;

    // Not null: the block list (std::vector<IspInfo>*). Null: the task map
    // (TaskMap*). Both are complete once the constructor has returned.
    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    void SetFrameStaticInfo(void* record, int64_t frameId) override;
    // Copies every block's sweep into every task of `arg` (a TaskMap*: an
    // instance's own view of the task list; null: the tasks loaded here) and
    // publishes the capture count. A sweep still being written is waited for,
    // within a limit; past it the tasks go without that sweep.
    void ParseParameter(void* arg) override;

    // The ready loop.
    void SetServerReady();
    // Creates a mutual module for the tuning task and registers it under
    // `name`; the task manager owns it either way.
    intptr_t CreateParameter(std::shared_ptr<ParameterManager> manager, const char* name, const char* tuningTask);

    const std::vector<std::string>& MutualNames() const { return mMutualNames; }

    // What the load makes of a block of the configuration list: no sweep (its
    // tuning is "null", or its state 2 or 3), a sweep, or none because its
    // name belongs to a module registered after the task manager.
    enum class BlockSweep { None, Swept, NameTaken };
    static BlockSweep SweepOf(const IspInfo& block);

    // Ends the ready loop, the status watch it started and the sweep
    // preparations, and joins them.
    void Stop();

private:
    // Everything of the construction after the ready loop has started.
    void LoadConfiguration();
    void CreateMutualModules();

    std::atomic<int64_t> mTaskFrameId{0};
    TaskMap mTaskMapper;
    std::vector<IspInfo> mIspInfo;
    std::vector<std::string> mMutualNames;
    ZebStatusTag mStatus;
    char mXtmFix[PROPERTY_VALUE_MAX] = {0};

    std::vector<std::unique_ptr<MutualParam>> mMutualModules;
    bool mWatchStarted = false;

    Worker mReadyLoop;
};

}  // namespace ZEB
