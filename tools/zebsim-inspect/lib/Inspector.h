#pragma once
// Checks a recording the way the library reads it, without a HAL: the task
// list and block configuration list, every frame folder against the frame's
// data-file table, the scene files with the scene schema, and the tuning
// tasks' sweeps. Every check runs the library's own readers and tables, so it
// finds what a device would find.
#include <cstdint>
#include <string>
#include <vector>

namespace zeb_inspect {

struct Problem {
    bool error = true;  // false: a warning, the library still plays it as recorded
    std::string code;   // kind, stable for scripts: "too-short", "unknown-element", ...
    std::string file;   // the file (or folder) it is about
    int line = 0;       // 1-based line in `file`; 0: none
    std::string message;
};

struct TaskResult {
    int64_t index = 0;
    std::vector<std::string> inputs;  // the input folders it plays
    std::string outputPath;           // as the library would stamp it now
    int rawWidth = 0, rawHeight = 0;  // of its first frame
    int yuvWidth = 0, yuvHeight = 0;
    std::vector<Problem> problems;
};

struct BlockResult {
    std::string name;
    uint32_t state = 0;
    std::string tuning;     // the tuning task file, or "null"
    bool swept = false;     // the library sweeps it
    bool loop = false;      // the sweep combines its groups (persist.vendor.cam.loop.parse)
    int64_t sweepFrames = 0;
    std::vector<Problem> problems;
};

struct Inspection {
    std::string deviceRoot;
    std::string taskListPath;
    std::string ispConfigPath;
    std::string mode;
    std::vector<Problem> problems;  // about the recording as a whole: the lists themselves
    std::vector<TaskResult> tasks;
    std::vector<BlockResult> blocks;

    int Errors() const { return Count(true); }
    int Warnings() const { return Count(false); }
    // The library would play the recording as recorded.
    bool Plays() const { return Errors() == 0; }

private:
    int Count(bool errors) const;
};

struct InspectOptions {
    // A device root (holding data/vendor/cameraserver/zeb/config/RawListFile.xml),
    // a recording folder (holding RawListFile.xml) or a task list file.
    std::string path;
    // Check the device's layout: the task list at its fixed path below the
    // root and every path it names a device path below
    // /data/vendor/cameraserver/zeb/. Device paths (/data/..., /vendor/...)
    // are looked up below the root either way, as the library on this host
    // does with ZEB_DEVICE_ROOT.
    bool devicePaths = false;
};

Inspection Inspect(const InspectOptions& options);

// One line per task and block, problems indented under them.
std::string FormatTable(const Inspection& inspection);
std::string FormatJson(const Inspection& inspection);

}  // namespace zeb_inspect
