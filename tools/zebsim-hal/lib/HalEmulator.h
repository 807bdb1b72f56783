#pragma once
// A host stand-in for the camera HAL and the on-device test tool: loads the
// real libzebsim.so with dlopen, drives one camera (or two at once) through
// the task list the device root holds, answers the library's virtual-sensor
// commands with a fake driver that checks every frame against the recording,
// queries the results as a HAL would, and reports what it saw.
#include <cstdint>
#include <string>
#include <vector>

#include "zebsim-hal/lib/FakeAlgorithms.h"
#include "zebsim-hal/lib/IspTool.h"

namespace zeb_hal {

struct EmulatorOptions {
    std::string library;     // path of libzebsim.so
    std::string deviceRoot;  // holds the task list and the recording
    std::string outputDir;   // report.json and the pictures
    double timeScale = 0.05;
    double warmUpSeconds = 0.5;  // real time between server ready and the job start
    int logLevel = 1;
    std::string logFile;
    int cameraId = 0;
    // A second camera id playing the same task list at the same time (two
    // instances, each with its own sensor driver and pipeline); -1: none.
    int secondCameraId = -1;
    bool tester = false;          // the library's tester thread sends the snapshot notifications
    int deleteDuringTask = -1;    // delete the instance once this task's first frame arrived
    double timeoutSeconds = 120;  // real time for the whole run
    bool progress = true;         // a terminal line per task and phase
    // ISP tool mode: the HAL files processed preview frames of this size for
    // a streaming client while the task list plays.
    bool ispTool = false;
    int previewWidth = 640;
    int previewHeight = 480;
    // The sensor's tuning name (its folder under vendor/firmware); empty: the
    // one folder there that holds a "cfg.xml", if there is exactly one.
    std::string tuningName;
    // Once every task is done, call the library's ParameterUpdate::UpateBypassMode
    // for the first task's scene and report the bypass words it patched.
    bool bypassMode = false;
};

// A binary tuning file's bypass word around the UpateBypassMode call.
struct BypassFile {
    std::string path;  // below the firmware tuning folder
    int32_t before = 0;
    int32_t after = 0;
};

struct BypassReport {
    bool called = false;
    std::string error;  // why it could not be called
    int32_t updateFlags[5] = {0, 0, 0, 0, 0};  // the record it was handed, after the call
    std::vector<BypassFile> files;  // every binary tuning file of the scenario folders
    uint64_t reloads = 0;  // sensor reloads after the call
};

// A binary tuning file the sensor side loaded.
struct LoadedTuningFile {
    std::string path;  // below the firmware tuning folder: "prv/AE_V5_16433.bin"
    uint64_t blockId = 0;
    int32_t bypass = 0;
    uint32_t checksum = 0;
    std::vector<float> values;
};

// One tuning entry of a task, as found when the library announced its capture.
struct TuningEntryReport {
    int index = 0;
    std::string outputFolder;  // the dump root announced for the entry
    // Empty when the entry's combination was installed; else what its output
    // folder's marker file says failed (the entry played the previous tuning).
    std::string failure;
    // Per swept block (by name), the sweep frame whose values the sensor side
    // loaded in every scenario folder; -1 when none, or not the same in all.
    std::vector<int> combination;
    std::vector<std::string> combinationFiles;  // those sweep files
    uint64_t reloads = 0;       // sensor reloads so far
    uint64_t triggerLoads = 0;  // trigger file loads so far
    int32_t updateFlags[5] = {0, 0, 0, 0, 0};  // the HAL's record: rgbgain, awb, lsc, cmc, xtm
    std::vector<LoadedTuningFile> loaded;
    std::vector<std::string> rejected;
};

struct TimelineEvent {
    double seconds;  // since the job started
    std::string property;
    std::string value;
    int64_t task;
    int camera;  // the camera the tool took the signal for
};

struct TaskReport {
    int64_t id = 0;
    std::string mode;
    std::string outputFolder;  // the dump root the library announced for the task
    int expectedFrames = 0;
    int previewFrames = 0;
    int captureFrames = 0;
    int matchedFrames = 0;
    bool previewPassProcessed = false;  // process property after a full preview pass
    bool completed = false;
    std::vector<std::string> queriesChecked;
    std::vector<std::string> errors;
    std::string picture;
    ThreeAReport threeA;  // what the HAL's 3A algorithms got from the simulation
    int expectedTuningEntries = 0;
    std::vector<TuningEntryReport> tuning;
};

// What the second camera got, when two play at once.
struct CameraRun {
    int cameraId = -1;
    std::vector<TaskReport> tasks;
    double deleteSeconds = -1;
};

struct RunReport {
    std::vector<TaskReport> tasks;  // the first camera's
    CameraRun secondCamera;
    std::vector<TimelineEvent> timeline;
    int errors = 0;
    bool timedOut = false;
    bool deleted = false;        // the instance was deleted in the middle of a task
    double deleteSeconds = -1;   // time DeleteSimulation took
    double playSeconds = 0;      // from the job start to the last frame received
    std::string fatal;           // why the run could not start
    std::vector<std::string> threeAErrors;  // 3A set-up problems (operation tables, init)
    // Whether the 3A results were checked against the recording: not with two
    // cameras, whose records meet in the process-wide 3A modules. The tallies
    // then count both cameras' results under the first camera's tasks.
    bool threeAChecked = true;
    std::string reportPath;  // empty when report.json could not be written
    std::vector<std::string> pictures;
    std::vector<std::string> unwritten;  // outputs that could not be written, each with its reason
    IspToolReport ispTool;  // in ISP tool mode
    std::string tuningName;             // as handed to the sensor side
    std::vector<std::string> sweptBlocks;  // in the order of the combinations
    int32_t expectedUpdateFlags[5] = {0, 0, 0, 0, 0};
    BypassReport bypass;
};

// Runs the whole session; returns 0 when every task completed without error.
int RunEmulator(const EmulatorOptions& options, RunReport* report);

// A few lines on what one task's 3A algorithms got: counts per algorithm
// (substituted/passed through/mismatched) and the values that arrived.
std::string ThreeASummary(const TaskReport& task);

// Writes report.json into the output folder; returns its path.
std::string WriteReport(const EmulatorOptions& options, const RunReport& report);

}  // namespace zeb_hal
