#pragma once
// The "SceneParameter" module: one scene record per task, read on a thread of
// its own from the "iscene_Info.xml" in the task's first input folder.
#include <atomic>
#include <condition_variable>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/Worker.h"
#include "parameter/ParameterManagerBase.h"
#include "parameter/SceneInfo.h"
#include "parameter/TaskInfo.h"
#include "platform/Mutex.h"

namespace ZEB {

class SceneParameter : public ParameterManagerBase {
public:
    SceneParameter();
    ~SceneParameter() override;
    SceneParameter(const SceneParameter&) = delete;
    SceneParameter& operator=(const SceneParameter&) = delete;

    // Null: the map of records (filled while the reader runs; look records up
    // by task index instead of walking it while the reader may insert). A
    // pointer to a task index: that task's record, waiting up to one second for
    // the reader, or null.
    void* GetParameter(void* arg) override;
    int GetOpsParam(void* ops) override;
    ZebStatusTag* GetStatus(void* arg) override;
    void SetFrameId(int64_t frameId) override;
    void SetFrameStaticInfo(void* record, int64_t frameId) override;
    // `arg` is the task map; starts the reader over its tasks.
    void ParseParameter(void* arg) override;

    // Starts the reader again over the task map last given.
    void PrepareSceneParameters();
    // The first entry of `folder` whose path ends in a text beginning like
    // `pattern` (its first five characters); the path replaces `folder`.
    bool MatchFile(const char* pattern, std::string& folder);
    // Whether `path` (folder, "/", name) is one MatchFile takes for `pattern`.
    static bool PathMatches(const std::string& path, const char* pattern);
    void ParserThread();

    // The name of a task's scene file, found in its first input folder.
    static const char* const kSceneFile;
    // Reads one scene file into a zeroed record as the reader does (the
    // record is then marked valid); with a report, also notes what it cannot
    // read, elements of the document it does not visit included.
    void ReadSceneFile(const std::string& file, iSceneInfo* scene, ReadReport* report = nullptr);

    // Ends the reader after the task it is reading and joins it.
    void Stop();

private:
    friend struct SceneParameterProbe;  // lets tests hold the map lock as a busy poller would
    void StartReader() EXCLUDES(mThreadLock, mMapLock);

    std::atomic<int64_t> mSceneFrameId{0};
    Mutex mMapLock;
    std::condition_variable mMapCond;
    std::map<int64_t, iSceneInfo> mSceneMapper GUARDED_BY(mMapLock);
    TaskMap* mTaskList GUARDED_BY(mMapLock) = nullptr;
    // What the reader needs of each task, taken when it starts, so that it
    // never touches the task map of another module.
    std::vector<std::pair<int64_t, std::string>> mTasks GUARDED_BY(mMapLock);
    ZebStatusTag mStatus;

    // Serializes the owner's side of mReader (start, stop, join): a caller
    // may restart the reader while another stops it.
    Mutex mThreadLock;
    std::atomic<bool> mReading{false};
    Worker mReader;  // last: its thread uses the members above
};

}  // namespace ZEB
