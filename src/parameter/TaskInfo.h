#pragma once
// One task of the task list: its recorded frame folders, its output folder and
// play mode, the frames the reader attaches, and the tuning to apply.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ZEB {

class ZEBFrame;

// Key of a block sweep; ordered, and equal, by block name alone.
struct sBlock_info {
    std::string BlockName;
    std::string ParamName;

    bool operator<(const sBlock_info& other) const { return BlockName < other.BlockName; }
};

constexpr int kTaskInputPaths = 10;

struct TaskInfo {
    std::string TaskInputPath[kTaskInputPaths];
    std::string TaskOutputPath;
    std::string TaskMode;
    std::vector<std::shared_ptr<ZEBFrame>> TaskFrame;
    std::map<sBlock_info, std::map<int, std::string>> TaskTuningMapper;
    std::map<int, std::vector<std::string>> TaskTuning;
    std::mutex TaskLock;
    std::condition_variable TaskCond;
    bool TaskReadDone = false;     // guarded by TaskLock
    bool TaskFrameStatus = false;  // guarded by TaskLock

    TaskInfo() = default;
    TaskInfo(const TaskInfo&) = delete;
    TaskInfo& operator=(const TaskInfo&) = delete;
    ~TaskInfo() {
        {
            std::lock_guard<std::mutex> guard(TaskLock);
            TaskReadDone = false;
            TaskFrameStatus = false;
        }
        TaskFrame.clear();
    }
};

// Task index (the "frame id" of the logs) to task, ascending.
using TaskMap = std::map<int64_t, std::shared_ptr<TaskInfo>>;

}  // namespace ZEB
