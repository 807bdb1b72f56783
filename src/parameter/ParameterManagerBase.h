#pragma once
// Every source of per-frame parameters is a module derived from
// ParameterManagerBase, registered under a name in the ParameterManager
// registry and addressed only through it.
#include <pugixml.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "parameter/ReadReport.h"
#include "parameter/TaskInfo.h"

namespace ZEB {

struct XmlStructure;
struct NodeStruct;
struct ParamTaskInfoTag;
struct ParamConfigInfoTag;
struct FrameNumInfoTag;

// What became of one sweep frame: written and recorded; nothing to write (its
// parameter file did not load, a group is missing); or its file could not be
// written, which drops the sweep.
enum class SweepWrite { Written, Skipped, Failed };

// Readiness record of a module: set once, under the lock, when its data is ready.
// Every waiter is woken: the status watch is not necessarily the only one.
struct ZebStatusTag {
    Mutex mMutex;
    std::condition_variable mCond;
    bool mReady GUARDED_BY(mMutex) = false;

    void SetReady() {
        {
            MutexLock guard(mMutex);
            mReady = true;
        }
        mCond.notify_all();
    }
    bool IsReady() {
        MutexLock guard(mMutex);
        return mReady;
    }
};

// What the task list reader found, for tools that check a task list without
// loading it into a task map: each `image` as the task it would become.
struct TaskListImage {
    int64_t index = 0;  // the task index
    int line = 0;
    std::vector<std::string> inputs;  // the input folders the task gets: at most kTaskInputPaths
    std::string outputText;           // `outputpath` as written
    std::string outputPath;           // as the task would get it now: stamped unless it holds "ZEB_"
    bool refused = false;             // the output path is too long: no task is made of it
    std::vector<ReadProblem> problems;  // what the reader cannot take of this image
};

struct TaskListReading {
    std::string path;
    bool read = false;  // the file loaded and has its document element
    std::string ispconfig;
    std::string mode;
    std::vector<TaskListImage> images;
    ReadReport report;  // about the file and the elements outside the images
};

// An XPath and an index into the node set it selects.
struct PathInfoTag {
    std::string Path;
    int Position = 0;
};

class ParameterManagerBase {
public:
    virtual ~ParameterManagerBase() = default;

    virtual void* GetParameter(void* arg) = 0;
    virtual int GetOpsParam(void* ops) = 0;
    virtual ZebStatusTag* GetStatus(void* arg) = 0;
    virtual void SetFrameId(int64_t frameId) = 0;
    virtual void SetFrameStaticInfo(void* record, int64_t frameId) = 0;
    virtual void ParseParameter(void* arg) = 0;

    // Frames of the task being played: written by the task driver, read by
    // the AE and XTM modules on the HAL's threads.
    static std::atomic<int64_t> mFrmSize;
    static void SetFrameSize(int64_t count) { mFrmSize.store(count); }

    // XML value access: the text of the first child element named `name`,
    // converted. An empty element or an absent child gives 0, false, '0' or null.
    int32_t Trans2Int(pugi::xml_node element, const std::string& name);
    uint64_t Trans2Hex(pugi::xml_node element, const std::string& name);
    float Trans2Float(pugi::xml_node element, const std::string& name);
    bool Trans2Bool(pugi::xml_node element, const std::string& name);
    char Trans2Char(pugi::xml_node element, const std::string& name);
    const char* Trans2Char(pugi::xml_node element, const std::string& name, int unused);
    // `count` values from the space-separated text, zeros after the last piece;
    // `out` is untouched when the child is absent.
    void Trans2Int(pugi::xml_node element, const std::string& name, int count, void* out);
    void Trans2Float(pugi::xml_node element, const std::string& name, int count, void* out);
    std::vector<std::string> SplitString(const std::string& text);
    pugi::xml_node SearchNode(const std::string& path, pugi::xml_node element);
    pugi::xml_node SearchNode(PathInfoTag& path, pugi::xml_node element);
    void ReadDataFromBin(const char* path, void* buffer, int size);

    // Task list (TaskList.cpp). ParseTaskList reads the fixed task list file
    // into `tasks` and returns the block configuration list's path (empty on
    // failure); FullfillImageInfo adds the task of one `image` element.
    // ReadTaskList reads the file at `path` the same way; with `reading` it
    // also notes what it found and what it could not read, and with `tasks`
    // null it makes neither tasks nor output folders.
    static const char* const kTaskListPath;
    // Most images a task list may name: task ids run from 0 to 65534, 65535
    // being the 3A snapshot command's.
    static constexpr size_t kTaskLimit = 65535;
    std::string ParseTaskList(TaskMap* tasks);
    std::string ReadTaskList(const std::string& path, TaskMap* tasks, TaskListReading* reading);
    void FullfillImageInfo(pugi::xml_node image, TaskMap* tasks, int64_t index);
    // With a report, also notes the file's faults at their lines.
    void ParseIspConfigList(const char* path, std::vector<IspInfo>* blocks, const XmlStructure* table,
                            ReadReport* report = nullptr);

    // Schema reader (XmlSchema.cpp): fills `destination` from the file with the
    // table. The destination must be at least as large as the table's layout
    // and is never cleared: absent values keep what it held. With a report,
    // also notes what it cannot read (children it does not know, values that
    // do not read whole, a node path matched more than once) at their lines
    // of `path` (`file` for FullfillLayerInfo).
    void ParseXML(const char* path, void* destination, const XmlStructure* table, ReadReport* report = nullptr);
    // The same from a document already loaded from `file`.
    void ParseXML(const pugi::xml_document& doc, const std::string& file, void* destination,
                  const XmlStructure* table, ReadReport* report = nullptr);
    void FullfillLayerInfo(void* destination, pugi::xml_node element, const NodeStruct* node,
                           ReadReport* report = nullptr, const char* file = nullptr);

    // Tuning task and sweep (TuningSweep.cpp). TraverseParam ends early, after
    // the file it is writing, once `stop` is set. With a report, the readers
    // also note the parameters they refuse and what they cannot read, at their
    // lines of `path` (of `file` for FullfillParamConfig, which also names it
    // in the log lines of what is refused).
    void ParseTuningTaskXML(ParamTaskInfoTag* task, const char* path, ReadReport* report = nullptr);
    void FullfillParamConfig(pugi::xml_node config, ParamTaskInfoTag* task, const char* file = "",
                             ReadReport* report = nullptr);
    // Loads the task's tuning parameter file and notes in `report` each
    // parameter whose element the sweep would not find (nothing is written for
    // it), as `taskFile`'s; a file that does not load is noted as such.
    void CheckSweepTargets(ParamTaskInfoTag* task, ReadReport* report, const std::string& taskFile);
    //
    // The sweep writes its files through the file-access layer (renamed into
    // place, never through a link) and within kMaxSweepBytes in all. A file
    // that cannot be written, or would pass the cap, drops the whole sweep:
    // TraverseParam then empties `files` and returns false. ModifyNode spends
    // what it writes from `budget` when given one.
    bool TraverseParam(ParamTaskInfoTag* task, std::map<int32_t, std::string>* files, const std::string& suffix,
                       const std::atomic<bool>* stop = nullptr);
    SweepWrite ModifyNode(const char* paramFile, FrameNumInfoTag* frame, ParamTaskInfoTag* task,
                          std::map<int32_t, std::string>* files, const std::string& fileName,
                          uint64_t* budget = nullptr);
    void ModifyValue(ParamConfigInfoTag& param, int frame, std::string& text);
};

}  // namespace ZEB
