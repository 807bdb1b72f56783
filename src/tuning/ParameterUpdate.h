#pragma once
// Switches a camera's tuning while a task list runs: for each swept tuning
// combination the tuning XML files are copied into per-scenario folders,
// converted to binary tuning files, installed over the firmware tuning folder
// and reloaded by the sensor side; the HAL's update-flag record then says
// which 3A blocks carry tuning. Also patches the bypass word of binary tuning
// files per block.
//
// A start-up thread, owned by the object, learns the sensor's tuning name,
// reads the scenario table and builds the combinations into the tasks'
// TaskTuning maps. Whoever reads those maps waits for it first
// (WaitStartup). Every wait of the object (the start-up thread's, the status
// polls of an update) ends at once on Stop, which the destructor also calls
// before it joins the thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/Export.h"
#include "core/Worker.h"
#include "parameter/TaskInfo.h"
#include "platform/Mutex.h"

namespace ZEB {

struct iSceneInfo;

// The HAL's record of tuning updates: one flag per 3A block kind.
struct zeb_update_flag {
    int32_t rgbgain_update;
    int32_t awb_update;
    int32_t lsc_update;
    int32_t cmc_update;
    int32_t xtm_update;
};
static_assert(sizeof(zeb_update_flag) == 20, "the HAL's update-flag record");
static_assert(offsetof(zeb_update_flag, awb_update) == 4, "the HAL's update-flag record");
static_assert(offsetof(zeb_update_flag, xtm_update) == 16, "the HAL's update-flag record");

class ZEB_EXPORT ParameterUpdate {
public:
    // One tuning combination: one tuning file per swept block, in block order.
    using Combination = std::vector<std::string>;

    ParameterUpdate(int32_t cameraId, TaskMap* taskMapper);
    ~ParameterUpdate();
    ParameterUpdate(const ParameterUpdate&) = delete;
    ParameterUpdate& operator=(const ParameterUpdate&) = delete;

    // Start-up: ParserThread runs GetScenarioMapperInfo on the object's thread.
    void ParserThread();
    void GetScenarioMapperInfo();
    // Blocks until the start-up thread has finished; false when the object
    // was stopped first (its owner is going away).
    bool WaitStartup();
    // Ends every wait of the object, now and later. Irreversible.
    void Stop();

    std::string GetTuningName();
    void TuningCfgXMLParser(std::string name);
    void TuningVecParser() EXCLUDES(sTaskTuningLock);
    // Cartesian product step: every combination of `combinations` once per
    // alternative, the alternatives of the new block varying slowest.
    void ParserVec(std::vector<Combination>& combinations, std::map<int, std::string> alternatives);
    void TuningFlagParser();
    std::string FindScenarioAlia(const iSceneInfo* scene, int32_t capture);

    // One tuning combination: translated, converted, installed, reloaded.
    // Installed whole or not at all: when any step fails the firmware folder
    // keeps the previous tuning, nothing is reloaded, the five flags of
    // `flag` are kTuningNotInstalled, `failure` says what failed, and the
    // result is false. Installs of one tuning name take turns across the
    // process (two cameras sharing a name share its folders).
    bool UpdateFrameWithId(int64_t frameId, std::vector<std::string> files, const iSceneInfo* scene,
                           zeb_update_flag* flag, std::string* failure = nullptr);
    // The number of files translated into every scenario folder; -1 when the
    // names are refused or the folders could not be made (`why` says which).
    int TranslateTuningXML(std::string name, std::string preview, std::string capture,
                           std::vector<std::string> files, std::string* why = nullptr);
    void TuningPostprocXMLParser(std::string name);
    void UpdateTuningParameter();
    void UpdateTuningFlag(zeb_update_flag* flag);

    // Block bypass. The operations share the bypass table and the name list:
    // call them from one thread at a time.
    void TuningBinBypassStatusXMLParser(const std::string& path);
    void ChangeBypassStatusForBin(const std::string& path, int32_t status);
    void ChangeTrgBypassStatusForBin(const std::string& path, int32_t status);
    int ReadBinNames(const std::string& folder);
    void UpateBypassMode(int64_t frameId, const iSceneInfo* scene, zeb_update_flag* flag);

    // The tuning name the scenario table was read for.
    std::string TuningName() const EXCLUDES(mStateLock);

private:
    // How often the start-up and an update's status polls look again.
    static constexpr std::chrono::milliseconds kPoll{500};

    // Waits the scaled duration unless stopped; false when stopped.
    bool Pause(std::chrono::nanoseconds duration) { return mStartup.SleepFor(duration); }
    bool Stopped() const { return mStartup.Stopping(); }
    // False when the file was not patched.
    bool PatchBypassWord(const std::string& path, int32_t status, size_t headerSize, size_t offset);
    // Clears the tuning-bin folder, converts, checks, and switches the
    // firmware folder to the result in one step.
    bool InstallTuning(const std::string& name, std::string* why);
    // Takes the process-wide turn of the tuning name; false when stopped.
    bool TakeTurn(const std::string& name);
    // The firmware tuning folder of a scenario alias.
    std::string FirmwareFolder(const std::string& name, const std::string& alias) const;

    // What the start-up thread learns, read by the updates.
    mutable Mutex mStateLock;
    std::map<uint64_t, std::string> mScenarioMapper GUARDED_BY(mStateLock);
    std::map<std::string, int32_t> mBypassStatus;
    TaskMap* mTaskMapper = nullptr;
    std::vector<IspInfo>* mIspConfig = nullptr;
    std::vector<std::string> mBinNames;
    std::string mTuningName GUARDED_BY(mStateLock);
    int32_t mCameraId = 0;
    int32_t mRgbGainUpdate GUARDED_BY(mStateLock) = 0;
    int32_t mAwbUpdate GUARDED_BY(mStateLock) = 0;
    int32_t mLscUpdate GUARDED_BY(mStateLock) = 0;
    int32_t mCmcUpdate GUARDED_BY(mStateLock) = 0;
    int32_t mXtmUpdate GUARDED_BY(mStateLock) = 0;
    void* lib_handle_3A = nullptr;
    int (*XML2BinFunc_3A)(const char*, const char*) = nullptr;

    // Each instance hands its updater a task list of its own, but a caller
    // may give several updaters one map: this process-wide lock keeps their
    // start-up threads from filling the same tasks' TaskTuning maps at once.
    // Readers of those maps come after WaitStartup of their own updater.
    static Mutex sTaskTuningLock;

    // Start-up thread and the stop of every wait of the object (its Stop).
    // mStartupLock keeps two ParserThread calls from both starting it.
    Mutex mStartupLock;
    std::atomic<bool> mStartupDone{false};
    Worker mStartup;  // last: its thread uses every member above
};

}  // namespace ZEB
