#include "parameter/SceneParameter.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/FileAccess.h"
#include "parameter/ConfigXml.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "platform/Log.h"

namespace ZEB {
namespace {

const char* const kTag = "ZEB_SCENE";
// Characters of a directory entry's tail that must agree with the pattern.
constexpr size_t kMatchLength = 5;

// How long a caller waits for the reader to reach its task.
constexpr std::chrono::seconds kRecordWait(1);

// The groups of the scene record and the tables that fill them, in the order
// they are read.
struct SceneGroup {
    size_t offset;
    const XmlStructure* table;
};
const SceneGroup kSceneGroups[] = {
    {offsetof(iSceneInfo, commonInfo), &CommonStructure},  {offsetof(iSceneInfo, switchInfo), &SwitchStructure},
    {offsetof(iSceneInfo, ThreeAInfo), &ThreeAStructure},  {offsetof(iSceneInfo, postprocInfo), &PostProcStructure},
    {offsetof(iSceneInfo, capInfo), &CapStructure},        {offsetof(iSceneInfo, FDInfo), &FaceStructure},
    {offsetof(iSceneInfo, hdrDetectOut), &HDRStructure},   {offsetof(iSceneInfo, androidTag), &TagStructure},
};

}  // namespace

const char* const SceneParameter::kSceneFile = "iscene_Info.xml";

SceneParameter::SceneParameter() { mStatus.SetReady(); }

SceneParameter::~SceneParameter() {
    Stop();
    {
        MutexLock guard(mMapLock);
        mSceneMapper.clear();
    }
    ZLOG(kTag, 4, "%d, %s: Delete SceneParameter");
}

void* SceneParameter::GetParameter(void* arg) {
    if (!arg) {
        ZLOG(kTag, 4, "%d, %s: Getting TaskInfo Mapper");
        return &mSceneMapper;
    }
    const int64_t index = *static_cast<const int64_t*>(arg);
    ZLOG(kTag, 4, "%d, %s: Prepare to get FrameId %ld", static_cast<long>(index));
    const auto deadline = std::chrono::steady_clock::now() + zeb_platform::ScaledForIo(kRecordWait);
    MutexLock lock(mMapLock);
    iSceneInfo* record = nullptr;
    mMapCond.wait_until(lock.native(), deadline, [&]() REQUIRES(mMapLock) {
        auto found = mSceneMapper.find(index);
        if (found == mSceneMapper.end() || found->second.Valid == 0) return false;
        record = &found->second;  // map entries stay put while the module lives
        return true;
    });
    if (!record) ZLOG(kTag, 4, "%d, %s: Could not find corresponding frame with frmId %ld", static_cast<long>(index));
    return record;
}

int SceneParameter::GetOpsParam(void*) { return 0; }

ZebStatusTag* SceneParameter::GetStatus(void*) { return &mStatus; }

void SceneParameter::SetFrameId(int64_t frameId) { mSceneFrameId.store(frameId); }

void SceneParameter::SetFrameStaticInfo(void*, int64_t) {}

void SceneParameter::ParseParameter(void* arg) {
    if (!arg) {
        ZLOG(kTag, 1, "%d, %s: no task map to read scenes for");
        return;
    }
    {
        MutexLock guard(mMapLock);
        mTaskList = static_cast<TaskMap*>(arg);
    }
    StartReader();
}

void SceneParameter::PrepareSceneParameters() { StartReader(); }

void SceneParameter::StartReader() {
    MutexLock guard(mThreadLock);
    if (mReading.load()) {
        ZLOG(kTag, 1, "%d, %s: scene reader already running");
        return;
    }
    mReader.Join();  // finished: it cleared mReading last
    {
        MutexLock mapGuard(mMapLock);
        mTasks.clear();
        if (mTaskList) {
            for (const auto& task : *mTaskList) {
                if (task.second) mTasks.emplace_back(task.first, task.second->TaskInputPath[0]);
            }
        }
    }
    mReading.store(true);
    try {
        mReader.Start([this] {
            try {
                ParserThread();
            } catch (const std::exception& error) {  // the camera process must not go down with it
                ZLOG(kTag, 1, "%d, %s: scene reader ended early: %s", error.what());
                mReading.store(false);
            }
        });
    } catch (const std::exception& error) {
        mReading.store(false);
        ZLOG(kTag, 1, "%d, %s: could not start the scene reader: %s", error.what());
    }
}

void SceneParameter::Stop() {
    MutexLock guard(mThreadLock);
    mReader.Stop();
    mReader.Join();
}

bool SceneParameter::MatchFile(const char* pattern, std::string& folder) {
    std::error_code code;
    std::filesystem::directory_iterator entries(folder, code);
    if (code || !pattern) {
        ZLOG(kTag, 1, "%d, %s: Could not OpenDIR with Path %s", files::Escaped(folder).c_str());
        return false;
    }
    for (auto end = std::filesystem::directory_iterator(); entries != end; entries.increment(code)) {
        if (code) break;
        const std::string path = folder + "/" + entries->path().filename().string();
        ZLOG(kTag, 4, "%d, %s: MatchFile with temp is %s", files::Escaped(path).c_str());
        if (PathMatches(path, pattern)) {
            folder = path;
            return true;
        }
    }
    return false;
}

bool SceneParameter::PathMatches(const std::string& path, const char* pattern) {
    if (!pattern) return false;
    const size_t length = strlen(pattern);
    return path.size() >= length && strncmp(path.c_str() + path.size() - length, pattern, kMatchLength) == 0;
}

void SceneParameter::ReadSceneFile(const std::string& file, iSceneInfo* scene, ReadReport* report) {
    // Read once for all the groups: every read of a file placed by hand is a
    // chance for it to be swapped.
    pugi::xml_document doc;
    const bool loaded = LoadConfigXml(doc, file, "scene file", kTag, report) == ConfigLoad::Loaded;
    if (loaded) {
        char* base = reinterpret_cast<char*>(scene);
        for (const SceneGroup& group : kSceneGroups) ParseXML(doc, file, base + group.offset, group.table, report);
    } else {
        ZLOG(kTag, 4, "%d, %s: Document not parsed successfully! with file path %s", files::Escaped(file).c_str());
    }
    // Marked valid even when the file could not be read: the task has a
    // scene file, and its record is all zeros.
    scene->Valid = 1;
    if (!report || !loaded) return;
    for (pugi::xml_node child = doc.child("root").first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) continue;
        bool visited = false;
        for (const SceneGroup& group : kSceneGroups) {
            for (int32_t n = 0; n < group.table->NodeNum; ++n) visited |= strcmp(group.table->Nodes[n].NodePath, child.name()) == 0;
        }
        if (!visited) {
            report->Add(ReadSeverity::Error, "unknown-element", file, child,
                        "<" + std::string(child.name()) + "> in <root> is not read: no such group");
        }
    }
}

void SceneParameter::ParserThread() {
    std::vector<std::pair<int64_t, std::string>> tasks;
    {
        MutexLock guard(mMapLock);
        tasks = mTasks;
    }
    for (const auto& task : tasks) {
        if (mReader.Stopping()) break;
        std::string file = task.second;
        if (!MatchFile(kSceneFile, file)) continue;
        iSceneInfo scene;
        memset(&scene, 0, sizeof(scene));
        ReadSceneFile(file, &scene);

        const ScenePostProcInfo& post = scene.postprocInfo;
        const SceneHdrDetectOut& hdr = scene.hdrDetectOut;
        ZLOG(kTag, 4, "%d, %s: Temp PostProcInfo with [%d, %d, %d, %d, %d]", post.is_hdr_scene, post.is_mfnr_scene,
             post.is_mfsr_scene, post.is_mfnr_hdr_scene, post.is_raw_mfnr_scene);
        ZLOG(kTag, 4, "%d, %s: Temp hdr with frame_num %d", static_cast<int>(hdr.frame_num));
        ZLOG(kTag, 4, "%d, %s: Temp hdr with normalNum %d", static_cast<int>(hdr.normalNum));
        ZLOG(kTag, 4, "%d, %s: Temp hdr with ev %f %f %f %f %f %f %f %f %f %f", hdr.ev[0], hdr.ev[1], hdr.ev[2],
             hdr.ev[3], hdr.ev[4], hdr.ev[5], hdr.ev[6], hdr.ev[7], hdr.ev[8], hdr.ev[9]);
        ZLOG(kTag, 4, "%d, %s: Temp cap with ev %f ", scene.capInfo.ev);
        {
            MutexLock guard(mMapLock);
            mSceneMapper.emplace(task.first, scene);
        }
        mMapCond.notify_all();
    }
    mReading.store(false);
}

}  // namespace ZEB
