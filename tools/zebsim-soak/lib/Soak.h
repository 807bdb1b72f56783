#pragma once
// A camera process that opens and closes one camera many times: the real
// libzebsim.so is loaded once with dlopen, and each cycle creates a
// simulation, plays part of the task list with the HAL's threads calling in
// (the fake sensor driver, the four 3A algorithms, a result-query thread, in
// some cycles the streaming frame pusher and client) and deletes it at a
// chosen moment: during a frame read, a settle, a snapshot wait, a 3A
// callback, a tuning update or a streaming fetch. After each cycle every
// vendor buffer, thread and file descriptor the cycle made must be gone, and
// the deletion must have returned within one scaled second.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zeb_soak {

// The moment a cycle deletes the simulation in.
enum class Moment {
    Read,          // the frame reader reads the first tasks' folders
    Settle,        // the driver settles after a snapshot
    SnapshotWait,  // the driver waits for the HAL's snapshot start or stop
    ThreeA,        // the 3A algorithms run, calling the library's wrappers
    TuningUpdate,  // a tuning combination is translated, converted and reloaded
    Streaming,     // the streaming client fetches while the HAL files frames
};
constexpr int kMoments = 6;
const char* MomentName(Moment moment);

// What a cycle does, drawn from the seed and the cycle's number alone, so
// that a cycle can be replayed on its own.
struct CyclePlan {
    Moment moment = Moment::Read;
    int occurrence = 0;     // the moment's first, second or third chance in the run
    double fraction = 0;    // how far into the moment's window the deletion comes, 0 to 1
    bool holdStop = false;  // SnapshotWait: the stop is held back, not the start
};
CyclePlan PlanCycle(uint64_t seed, int cycle);

struct SoakOptions {
    std::string library;     // path of libzebsim.so
    std::string deviceRoot;  // where the recording is written; empty: a temporary folder
    bool keepDeviceRoot = false;  // keep a temporary device root (it is kept anyway on a failure)
    int cycles = 50;
    uint64_t seed = 0;
    int firstCycle = 0;  // the number of the first cycle: replays a run from there
    double timeScale = 0.01;
    // The time scale from the start of a cycle's moment to the deletion, which
    // must return within one scaled second. The sanitizers make a deletion's
    // own work (joining threads, unmapping buffers) several times slower.
#ifdef ZEB_SANITIZED
    double momentScale = 4;
#else
    double momentScale = 1;
#endif
    int logLevel = 1;
    std::string logFile;  // empty: soak.log in the device root
    int cameraId = 0;
    // Real time a cycle may take to reach its moment before it counts as stalled.
    double stallSeconds = 60;
    // Real time the thread and descriptor counts may take to come back after a cycle.
    double settleSeconds = 5;
};

struct CycleResult {
    int index = 0;
    CyclePlan plan;
    bool reached = false;  // the moment came before the run ended
    bool inMoment = false;  // the HAL saw the library still in the moment when the deletion began
    double deleteSeconds = 0;        // DeleteSimulation
    double socketDeleteSeconds = 0;  // DeleteSocketServer, in streaming cycles
    double seconds = 0;              // the whole cycle
    int framesReceived = 0;          // by the fake sensor driver
    std::vector<std::string> leaks;   // buffers, threads or descriptors that did not come back
    std::vector<std::string> faults;  // anything else: slow deletion, a frame that does not map, a torn stream
};

struct MomentTally {
    int cycles = 0;
    int inMoment = 0;
    double longestDelete = 0;
};

struct SoakReport {
    uint64_t seed = 0;
    std::string deviceRoot;
    std::string logFile;
    double limitSeconds = 0;  // one scaled second at the moment's scale
    size_t baselineThreads = 0, baselineFds = 0, baselineBuffers = 0;
    std::vector<CycleResult> cycles;
    MomentTally moments[kMoments];
    double longestDelete = 0;
    int longestCycle = -1;
    double meanDelete = 0;
    int leaks = 0;   // cycles that leaked
    int faults = 0;  // cycles with another fault
    double seconds = 0;
    std::string fatal;  // why the soak could not run
};

// Runs the soak; `onCycle` sees each cycle as it ends. Returns 0 when every
// cycle passed, 1 when one leaked or failed, 2 when the soak could not run.
int RunSoak(const SoakOptions& options, SoakReport* report, const std::function<void(const CycleResult&)>& onCycle);

// One line on a cycle, and the summary.
std::string CycleLine(const CycleResult& cycle);
std::string Summary(const SoakReport& report);

}  // namespace zeb_soak
