#pragma once
// One task of the task list: its recorded frame folders, its output folder and
// play mode, the frames the reader attaches, and the tuning to apply.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace ZEB {

class ZEBFrame;

// Key of a block sweep; ordered, and equal, by block name alone.
struct sBlock_info {
    std::string BlockName;
    std::string ParamName;

    bool operator<(const sBlock_info& other) const { return BlockName < other.BlockName; }
};

// For every swept block, the generated tuning parameter file of each sweep frame.
using TuningSweepMap = std::map<sBlock_info, std::map<int, std::string>>;

constexpr int kTaskInputPaths = 10;

struct TaskInfo {
    std::string TaskInputPath[kTaskInputPaths];
    std::string TaskOutputPath;
    std::string TaskMode;
    std::vector<std::shared_ptr<ZEBFrame>> TaskFrame;
    TuningSweepMap TaskTuningMapper;
    std::map<int, std::vector<std::string>> TaskTuning;
    Mutex TaskLock;
    std::condition_variable TaskCond;
    bool TaskReadDone GUARDED_BY(TaskLock) = false;
    bool TaskFrameStatus GUARDED_BY(TaskLock) = false;

    TaskInfo() = default;
    TaskInfo(const TaskInfo&) = delete;
    TaskInfo& operator=(const TaskInfo&) = delete;
    ~TaskInfo() {
        {
            MutexLock guard(TaskLock);
            TaskReadDone = false;
            TaskFrameStatus = false;
        }
        TaskFrame.clear();
    }
};

// Task index (the "frame id" of the logs) to task, ascending.
using TaskMap = std::map<int64_t, std::shared_ptr<TaskInfo>>;

// A simulation instance's own view of the task list loaded once per process:
// the same tasks (folders, output folder, mode, and whatever tuning they
// already carry), each with a frame list, lock and flags of its own. Two
// cameras replaying one task list then never append to, wait on or clear each
// other's frames, and each fills its own tuning maps.
inline TaskMap TaskListView(const TaskMap& loaded) {
    TaskMap view;
    for (const auto& entry : loaded) {
        std::shared_ptr<TaskInfo> task;
        if (entry.second) {
            const TaskInfo& from = *entry.second;
            task = std::make_shared<TaskInfo>();
            for (int i = 0; i < kTaskInputPaths; ++i) task->TaskInputPath[i] = from.TaskInputPath[i];
            task->TaskOutputPath = from.TaskOutputPath;
            task->TaskMode = from.TaskMode;
            task->TaskTuningMapper = from.TaskTuningMapper;
            task->TaskTuning = from.TaskTuning;
        }
        view.emplace(entry.first, std::move(task));
    }
    return view;
}

constexpr size_t kIspTextSize = 256;

// One block of the block configuration list. The schema reader writes the
// fields back to back, so the layout is fixed. Text fields are padded with
// zeros but a text of 256 characters has no terminator: read them only
// through IspText.
struct IspInfo {
    char name[kIspTextSize];
    uint64_t id;     // read as hexadecimal
    uint32_t state;  // 2 and 3: the block gets no sweep; 3 also means "fixed"
    char dump[kIspTextSize];
    char tuning[kIspTextSize];  // tuning task file, or "null"
};
static_assert(offsetof(IspInfo, name) == 0, "IspInfo layout");
static_assert(offsetof(IspInfo, id) == 256, "IspInfo layout");
static_assert(offsetof(IspInfo, state) == 264, "IspInfo layout");
static_assert(offsetof(IspInfo, dump) == 268, "IspInfo layout");
static_assert(offsetof(IspInfo, tuning) == 524, "IspInfo layout");

// The text of an IspInfo field, never reading past its 256 bytes.
inline std::string IspText(const char (&field)[kIspTextSize]) {
    return std::string(field, strnlen(field, kIspTextSize));
}

}  // namespace ZEB
