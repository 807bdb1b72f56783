#pragma once
// The HAL's four 3A algorithms (AE, AWB, lens shading ALSC, tone mapping XTM)
// as fakes: each hands its operation table to the library, is initialised
// once through what comes back, and then runs on a thread of its own once per
// frame (process or calc, the result callbacks, an ioctl). The HAL's side of
// every exchange checks that what arrives is either the algorithm's own result
// or the recorded one of the frame being played, with exactly the live fields
// the simulation keeps, as the recording and the block list call for.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Mutex.h"
#include "zebsim-hal/lib/Recording.h"

namespace zeb_hal {

// How the results one algorithm reported for one task compare.
struct AlgoTally {
    int substituted = 0;                         // the recorded result, with exactly the live fields kept
    int passedThrough = 0;                       // the algorithm's own result, unchanged, where it should be
    int mismatched = 0;                          // anything else
    std::set<std::string> substitutedExchanges;  // "callback 6", "ioctl 257", "statistics", ...
};

// One AE frame result as it reached the HAL.
struct AeResultSeen {
    std::string phase;  // "preview", "capture", "resume" (the preview after a snapshot)
    int frame = -1;     // the task's recorded frame whose result it carries; -1 none
    float ev = 0;
    int32_t iso = 0, gain = 0, bv = 0;
    uint32_t lum = 0;
    int hdrStep = 0, hdrStepFlag = 0;  // bracket step markers (bytes 180 and 528)
};

struct ThreeAReport {
    bool played = false;   // the algorithms ran on the task's frames
    bool checked = false;  // and were checked (every folder of the task was recorded)
    AlgoTally ae, awb, alsc, xtm;
    std::vector<AeResultSeen> aeResults;
    // The values of the last recorded AWB result and XTM calc that reached the HAL.
    bool awbRecorded = false, xtmRecorded = false;
    uint32_t awbGains[3] = {0, 0, 0};
    uint32_t awbCt = 0;
    int16_t awbCcm[9] = {};
    std::vector<std::string> alscPaths;  // the shading overrides that fired, "ALSC 3" / "ALSC 4"
    int xtmHalCalcs = 0;                 // calls of the algorithm's own tone-mapping calc
    uint16_t xtmGtm[8] = {};
    std::vector<std::pair<int, int>> xtmGamma;  // (position, value)
    std::vector<std::string> errors;
};

enum class CyclePhase { Preview, Capture, Resume };

class Fake3A {
public:
    // Calls the library's GetIspAlgOps for one table and kind.
    using GetOps = std::function<void(void* table, int kind)>;

    explicit Fake3A(const Recording& recording);
    ~Fake3A();
    Fake3A(const Fake3A&) = delete;
    Fake3A& operator=(const Fake3A&) = delete;

    // Hands the four tables to the library, checks which entries came back
    // replaced, initialises each algorithm through its table and starts the
    // threads. Problems go to Errors().
    void Start(const GetOps& getOps);
    // One frame (or the preview resuming after a snapshot): every algorithm
    // runs once on its own thread; returns when all four are done. Callers
    // (one pipeline per camera) take turns.
    void Cycle(size_t task, CyclePhase phase);
    // The HAL is about to take a multi-frame snapshot of `task` and has sent
    // NotifyMultiEV2ZEB (call it before the library gets it).
    void MultiEv(size_t task);
    // Joins the threads and deinitialises each algorithm through its table.
    void Stop();

    std::vector<ThreeAReport> Reports() EXCLUDES(mReportLock);
    std::vector<std::string> Errors() EXCLUDES(mReportLock);  // set-up problems, not tied to a task

    struct Algorithm;  // one fake algorithm library and the HAL's state for it

private:
    friend struct FakeEntries;  // the algorithms' entry points and the HAL's callback receivers
    void Loop(int algo);
    void RunAe(Algorithm& a);
    void RunAwb(Algorithm& a);
    void RunAlsc(Algorithm& a);
    void RunXtm(Algorithm& a);
    // What the HAL's side receives from the algorithms.
    void OnAe(Algorithm& a, int64_t type, void* param, void* data);
    void OnAwb(Algorithm& a, int64_t type, void* param, void* data);
    void OnAlsc(Algorithm& a, int64_t type, void* param);
    void OnStatistics(Algorithm& a, void* param);
    void Tally(size_t task, int algo, const std::string& exchange, bool substitute, bool matches,
               const std::string& detail = "") EXCLUDES(mReportLock);
    void Error(const std::string& error) EXCLUDES(mReportLock);
    void ResetModel(size_t task) REQUIRES(mModelLock);
    bool Checked(size_t task) const;
    const ExpectedFrame& First(size_t task) const { return mRecording.tasks[task].frames.front(); }

    const Recording& mRecording;
    bool mFixed[4] = {false, false, false, false};
    bool mAemProcess = true;
    bool mLcgGain = false;
    std::vector<std::unique_ptr<Algorithm>> mAlgos;  // one per algorithm, kept until the threads are joined
    std::vector<std::thread> mThreads;
    Mutex mCycleSerial;  // one Cycle at a time
    // The cycle the algorithms' threads are to run next.
    Mutex mCycleLock;
    std::condition_variable mCycleCond;
    uint64_t mGeneration GUARDED_BY(mCycleLock) = 0;
    int mPending GUARDED_BY(mCycleLock) = 0;
    bool mStop GUARDED_BY(mCycleLock) = false;
    size_t mCycleTask GUARDED_BY(mCycleLock) = 0;
    CyclePhase mCyclePhase GUARDED_BY(mCycleLock) = CyclePhase::Preview;
    uint32_t mSeq GUARDED_BY(mCycleLock) = 0;

    // Where the simulation's adapters should be now, followed result by result.
    Mutex mModelLock;
    size_t mModelTask GUARDED_BY(mModelLock) = SIZE_MAX;
    // The simulation's AE and XTM share one frame count, which the first of
    // them to wrap drops to 1; either way each wraps at the same call of its
    // own, so each is followed with a count of its own, whichever of the two
    // threads runs first within a frame.
    int64_t mAeFrmSize GUARDED_BY(mModelLock) = 1, mXtmFrmSize GUARDED_BY(mModelLock) = 1;
    int64_t mAeCur GUARDED_BY(mModelLock) = 0, mXtmCur GUARDED_BY(mModelLock) = 0;
    bool mEvMode GUARDED_BY(mModelLock) = false, mXtmCap GUARDED_BY(mModelLock) = false;
    int mEvPos GUARDED_BY(mModelLock) = 0;
    std::vector<float> mEvTable GUARDED_BY(mModelLock);  // the sixteen EVs AE is handed
    // Each frame's AE result as the simulation holds it now.
    std::vector<std::vector<uint8_t>> mAeAreas GUARDED_BY(mModelLock);

    Mutex mReportLock;
    std::vector<ThreeAReport> mReports GUARDED_BY(mReportLock);
    std::vector<std::string> mErrors GUARDED_BY(mReportLock);
};

}  // namespace zeb_hal
