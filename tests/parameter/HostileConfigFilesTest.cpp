// What a careless or hostile person may leave at the names of the
// configuration files (task list, block list, tuning task, the parameter file
// a sweep varies, the scene file) and of the files the sweep writes: the load
// returns within its bound, reads nothing from outside the device root into a
// task, record or sweep file, changes nothing outside it, and says in one
// level-1 line what it refused.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "ConfigFiles.h"
#include "core/FileAccess.h"
#include "parameter/ConfigReader.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "parameter/TuningTask.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;
using zeb_platform::LogCapture;
using zeb_test::Planted;
using ZEB::ParameterManager;
using ZEB::SimulationControlInterface;

namespace {

const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";
const char* const kChildEnv = "ZEB_HOSTILE_LOAD_CHILD";
// What any file read from outside the root would carry into the root.
const char* const kSecret = "SECRET";

enum class Place { TaskList, BlockList, TuningTask, SweptParameter, SceneFile, SweepOutput };

struct PlaceInfo {
    Place place;
    const char* name;
    const char* role;      // as the refusal line names it
    const char* relative;  // below the root
};

void PrintTo(const PlaceInfo& place, std::ostream* out) { *out << place.name; }

const PlaceInfo kPlaces[] = {
    {Place::TaskList, "TaskList", "task list", nullptr},
    {Place::BlockList, "BlockList", "block list", "blocks.xml"},
    {Place::TuningTask, "TuningTask", "tuning task file", "tune/BNR_task.xml"},
    {Place::SweptParameter, "SweptParameter", "swept parameter file", "tune/BNR.xml"},
    {Place::SceneFile, "SceneFile", "scene file", "raw/0_frame/iscene_Info.xml"},
    {Place::SweepOutput, "SweepOutput", "could not write", "sweep/BNR/Frame1_BNR.xml"},
};

// What the load made of the configuration.
struct Loaded {
    size_t tasks = 0, blocks = 0, sweepFrames = 0;
    uint32_t sceneWidth = 0;
};

class HostileConfig : public ::testing::Test {
protected:
    void SetUp() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
        SimulationControlInterface::SetZebDataReady(false);
        const std::string input = mRoot / "raw/0_frame";
        zeb_config::Write(input + "/iscene_Info.xml", zeb_config::SceneXml(1000, 10, 0, 0.0f));
        zeb_config::Write(mRoot.Device(kTaskListPath),
                          zeb_config::TaskListXml({{{{input}, mRoot / "ZEB_out0"}}}, mRoot / "blocks.xml"));
        zeb_config::Write(mRoot / "blocks.xml",
                          zeb_config::BlockListXml({{"BNR", 0, zeb_config::SweptTask(mRoot.path(), "BNR", 2)}}));
    }
    void TearDown() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
    }

    std::string PathOf(const PlaceInfo& place) const {
        return place.relative ? mRoot / place.relative : mRoot.Device(kTaskListPath);
    }

    // The file outside the root a link names: a document of the place's own
    // kind that would show in what is loaded, were it read.
    std::string Secret(Place place) const {
        const std::string s = kSecret;
        switch (place) {
            case Place::TaskList:
                return zeb_config::TaskListXml({{{{mRoot / "raw/0_frame"}, mRoot / ("ZEB_" + s)}, {{}, "ZEB_x"}}},
                                               mRoot / "blocks.xml");
            case Place::BlockList: return zeb_config::BlockListXml({{s, 0, "null"}, {"X", 0, "null"}});
            case Place::TuningTask:
                return zeb_config::TuningTaskXml(s, mRoot / "tune/BNR.xml", mRoot / "sweep/BNR/",
                                                 {zeb_config::Parameter("Block/Table/offset", "1", "5", "1")});
            case Place::SweptParameter: return zeb_config::TuningParamXml(s);
            case Place::SceneFile: return zeb_config::SceneXml(4242, 10, 0, 0.0f);
            case Place::SweepOutput: return s + " stays as it is";
        }
        return s;
    }

    // Plants `kind` at the place, with a link's target outside the root (or a
    // plain copy of the file beside it).
    void Plant(const PlaceInfo& place, Planted kind) {
        const std::string at = PathOf(place);
        const std::string beside = at + ".orig";
        if (fs::exists(at)) fs::copy_file(at, beside);
        zeb_test::WriteFile(mOutside / "secret.xml", Secret(place.place));
        fs::create_directories(mOutside / "folder");
        zeb_test::Plant(kind, at, mOutside / (kind == Planted::LinkToFolder ? "folder" : "secret.xml"), beside);
    }

    // Loads the parameter side as the library does, waits for its sweep and
    // scene reader, and unloads it; false when that does not end in time.
    bool LoadWithin(std::chrono::seconds limit, const std::string& pipe, Loaded* seen) {
        return zeb_test::ReturnsWithin([seen] {
            ZEB::SceneParameter scene;
            ParameterManager::CreateParameter("SceneParameter", &scene);
            {
                ZEB::TaskManager manager;
                const auto& tasks = *static_cast<ZEB::TaskMap*>(manager.GetParameter(nullptr));
                seen->tasks = tasks.size();
                seen->blocks = static_cast<std::vector<ZEB::IspInfo>*>(manager.GetParameter(&scene))->size();
                if (!manager.MutualNames().empty()) {
                    ZEB::ZebStatusTag* status = ParameterManager().GetStatus(nullptr, "BNR");
                    zeb_test::WaitFor([status] { return status && status->IsReady(); });
                    auto* sweep = static_cast<ZEB::TuningSweepMap*>(ParameterManager().GetParameter(nullptr, "BNR"));
                    if (sweep && !sweep->empty()) seen->sweepFrames = sweep->begin()->second.size();
                }
                if (!tasks.empty()) {
                    int64_t first = tasks.begin()->first;
                    // Each look waits one scaled second for the reader.
                    ZEB::iSceneInfo* record = nullptr;
                    zeb_test::WaitFor([&] { return (record = static_cast<ZEB::iSceneInfo*>(scene.GetParameter(&first))); });
                    if (record) seen->sceneWidth = record->commonInfo.width;
                }
                ParameterManager::StopStatusWatch();
                ParameterManager::Clear();
            }
        }, [&pipe] { zeb_test::OpenPipeEnds(pipe); }, limit);
    }

    zeb_test::DeviceRoot mRoot;
    zeb_test::TempDir mOutside;
};

TEST_F(HostileConfig, WithNothingPlantedEverythingIsLoaded) {
    Loaded seen;
    ASSERT_TRUE(LoadWithin(std::chrono::seconds(20), "", &seen));
    EXPECT_EQ(seen.tasks, 1u);
    EXPECT_EQ(seen.blocks, 1u);
    EXPECT_EQ(seen.sweepFrames, 2u);
    EXPECT_EQ(seen.sceneWidth, 1000u);
}

class HostilePlanted : public HostileConfig,
                       public ::testing::WithParamInterface<std::tuple<PlaceInfo, Planted>> {};

TEST_P(HostilePlanted, IsRefusedWithinBoundsAndNothingOutsideIsReadOrChanged) {
    const PlaceInfo& place = std::get<0>(GetParam());
    const Planted kind = std::get<1>(GetParam());
    Plant(place, kind);
    const auto outsideBefore = zeb_test::Contents(mOutside.path());
    LogCapture log;
    Loaded seen;
    const auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(LoadWithin(std::chrono::seconds(20), PathOf(place), &seen)) << "the load hung";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_LT(seconds, 10.0);

    EXPECT_EQ(zeb_test::Contents(mOutside.path()), outsideBefore) << "something outside the root changed";
    EXPECT_EQ(zeb_test::Holding(mRoot.path(), kSecret), std::vector<std::string>()) << "what lies outside the root";
    const std::string path = ZEB::files::Escaped(PathOf(place));
    if (place.place == Place::SweepOutput) {
        // Written beside and renamed over the name, whatever stood there; a
        // folder there cannot be replaced, and the sweep is dropped whole.
        if (kind == Planted::Folder) {
            EXPECT_TRUE(log.Contains("could not write " + path + ": a folder", "ZEBParameter", 1));
            EXPECT_TRUE(log.Contains("the sweep of BNR is dropped", "ZEBParameter", 1));
            EXPECT_EQ(seen.sweepFrames, 0u);
        } else {
            EXPECT_EQ(ZEB::files::Describe(PathOf(place)), "a file");
            EXPECT_EQ(seen.sweepFrames, 2u);
        }
        return;
    }
    EXPECT_EQ(log.Count(std::string(place.role) + " " + path + " refused: ", nullptr, 1), 1u)
        << "one line names the refused " << place.role;
    switch (place.place) {
        case Place::TaskList: EXPECT_EQ(seen.tasks, 0u); break;
        case Place::BlockList: EXPECT_EQ(seen.blocks, 0u); break;
        case Place::TuningTask:
        case Place::SweptParameter: EXPECT_EQ(seen.sweepFrames, 0u); break;
        case Place::SceneFile: EXPECT_EQ(seen.sceneWidth, 0u); break;
        case Place::SweepOutput: break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPlaceAndKind, HostilePlanted,
    ::testing::Combine(::testing::ValuesIn(kPlaces), ::testing::ValuesIn(zeb_test::EveryPlanted())),
    [](const ::testing::TestParamInfo<HostilePlanted::ParamType>& instance) {
        return zeb_test::TestName(std::string(std::get<0>(instance.param).name) + "_" + zeb_test::Name(std::get<1>(instance.param)));
    });

// Names read from files that become paths: "." and ".." and nothing name a
// folder instead of a file, 300 characters no file at all; a newline is a
// name like any other, but never breaks a log line.
struct OddName {
    const char* what;
    std::string paramFile;  // the swept parameter file's name
    std::string output;     // the task's output folder, below the root
    bool swept;             // the sweep writes its files
    bool taskKept;
};

TEST_F(HostileConfig, OddNamesFromFilesNeverBecomeOtherPaths) {
    const std::vector<OddName> names = {
        {"dot", ".", "ZEB_out/.", false, false},
        {"dot dot", "..", "ZEB_out/..", false, false},
        {"newline", "a\nb.xml", "ZEB_a\nb", true, true},
        {"300 characters", std::string(300, 'n'), "ZEB_" + std::string(200, 'n'), false, false},
    };
    for (const OddName& odd : names) {
        SCOPED_TRACE(odd.what);
        SetUp();
        fs::remove_all(mRoot / "sweep/BNR");
        fs::create_directories(mRoot / "sweep/BNR");
        // "." and ".." stand for the folders themselves: the parameter file
        // is then a folder path, as a careless edit leaves it.
        const std::string param = mRoot / ("tune/" + odd.paramFile);
        if (odd.paramFile.size() > 2) zeb_config::Write(param, zeb_config::TuningParamXml());
        zeb_config::Write(mRoot / "tune/BNR_task.xml",
                          zeb_config::TuningTaskXml("BNR", param, mRoot / "sweep/BNR/",
                                                    {zeb_config::Parameter("Block/Table/offset", "1", "2", "1")}));
        zeb_config::Write(mRoot.Device(kTaskListPath),
                          zeb_config::TaskListXml({{{{mRoot / "raw/0_frame"}, mRoot / odd.output}}},
                                                  mRoot / "blocks.xml"));
        LogCapture log;
        Loaded seen;
        ASSERT_TRUE(LoadWithin(std::chrono::seconds(20), "", &seen));
        EXPECT_EQ(seen.tasks, odd.taskKept ? 1u : 0u);
        EXPECT_EQ(seen.sweepFrames, odd.swept ? 2u : 0u);
        size_t written = 0;
        for (const auto& entry : fs::directory_iterator(mRoot / "sweep/BNR")) written += entry.is_regular_file();
        EXPECT_EQ(written, odd.swept ? 2u : 0u);
        EXPECT_TRUE(fs::is_directory(mRoot / "tune")) << "nothing is written over the parameter folder";
        if (!odd.swept) {
            EXPECT_TRUE(log.Contains("sweep of BNR refused", "ZEB_MutualParam", 1) ||
                        log.Contains("sweep of BNR refused", "ZEBParameter", 1));
        }
        if (!odd.taskKept) {
            EXPECT_TRUE(log.Contains("refused", "ZEBParameter", 1));
        }
        for (const auto& record : log.Records()) {
            const size_t newline = record.text.find('\n');
            EXPECT_TRUE(newline == std::string::npos || newline + 1 == record.text.size()) << record.text;
        }
        if (odd.swept) {
            EXPECT_TRUE(log.Contains("a\\nb"));
        }
        TearDown();
    }
}

// A sweep writes a whole copy of its parameter file per frame: one that
// would write more than its cap all together is refused before any is written.
TEST_F(HostileConfig, ASweepBeyondItsByteCapIsRefusedBeforeWriting) {
    const std::string param = mRoot / "tune/big.xml";
    std::string big = "<Block><Table><offset>7</offset></Table><pad>";
    big += std::string(10u << 20, 'p');
    zeb_config::Write(param, big + "</pad></Block>");
    zeb_config::Write(mRoot / "big_task.xml",
                      zeb_config::TuningTaskXml("BIG", param, mRoot / "sweep/BNR/",
                                                {zeb_config::Parameter("Block/Table/offset", "1", "50", "1")}));
    ZEB::ConfigReader reader;
    ZEB::ParamTaskInfoTag task;
    reader.ParseTuningTaskXML(&task, (mRoot / "big_task.xml").c_str());
    ASSERT_EQ(task.MaxFrameNum, 50);
    LogCapture log;
    ZEB::SweepFileMap files;
    EXPECT_FALSE(reader.TraverseParam(&task, &files, "_big.xml"));
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(log.Contains("sweep of BIG refused: 50 frames of the", "ZEBParameter", 1));
    EXPECT_TRUE(fs::is_empty(mRoot / "sweep/BNR"));

    // The copies may come out larger than the file (indented): the cap is
    // held again for each file written.
    zeb_config::Write(param, zeb_config::TuningParamXml());
    ZEB::FrameNumInfoTag frame;
    uint64_t budget = 40;
    EXPECT_EQ(reader.ModifyNode(param.c_str(), &frame, &task, &files, "Frame0_big.xml", &budget),
              ZEB::SweepWrite::Failed);
    EXPECT_EQ(budget, 40u);
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(fs::is_empty(mRoot / "sweep/BNR"));
    budget = 1000;
    EXPECT_EQ(reader.ModifyNode(param.c_str(), &frame, &task, &files, "Frame0_big.xml", &budget),
              ZEB::SweepWrite::Written);
    EXPECT_LT(budget, 1000u);
}

// The real library loaded in a child process that must end on its own: a
// pipe at a configuration file's name once made dlopen, or the process's exit,
// wait for ever.
TEST(HostileLoadChild, LoadsAndUnloads) {
    const char* out = getenv(kChildEnv);
    if (!out) GTEST_SKIP() << "runs as the child of HostileLoad.*";
    alarm(30);  // a hang ends the child with SIGALRM
    void* library = dlopen(ZEB_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    zeb_test::WriteFile(out, "loaded\n");
    EXPECT_EQ(dlclose(library), 0);
}

TEST_F(HostileConfig, APipeAtAnyConfigurationFileNeitherHangsTheLoadNorTheExit) {
    for (const PlaceInfo& place : kPlaces) {
        if (place.place == Place::SweepOutput) continue;
        SCOPED_TRACE(place.name);
        SetUp();
        zeb_test::Plant(Planted::Pipe, PathOf(place), "");
        const std::string out = mRoot / "child.txt";
        fs::remove(out);
        const auto child = zeb_test::RunProgram({"/proc/self/exe", "--gtest_filter=HostileLoadChild.*"},
                                                {"ZEB_DEVICE_ROOT=" + mRoot.path(), std::string(kChildEnv) + "=" + out});
        EXPECT_EQ(child.status, 0) << "142: the child hung and its alarm ended it\n" << child.out;
        EXPECT_EQ(zeb_test::ReadFile(out), "loaded\n");
        // The scene file is read by a reader of its own, which the unload may
        // stop before it gets there: its refusal line is the in-process cases'.
        if (place.place != Place::SceneFile) {
            EXPECT_NE(child.err.find(std::string(place.role) + " " + ZEB::files::Escaped(PathOf(place)) +
                                     " refused: a named pipe"),
                      std::string::npos);
        }
        fs::remove(PathOf(place));
        TearDown();
    }
}

}  // namespace
