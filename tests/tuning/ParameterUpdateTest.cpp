// The tuning updater on a device root of its own, with the real sensor side,
// converters and plugin: scenario table, combinations, update flags, one
// combination switched end to end, names that must not reach a shell or leave
// the tuning folders, bypass words, and teardown during the start-up wait.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "parameter/ConfigFiles.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneInfo.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"
#include "support/TestSupport.h"
#include "tuning/ParameterUpdate.h"

namespace fs = std::filesystem;
using zeb_config::Block;
using zeb_platform::LogCapture;
using zeb_test::ReadFile;
using zeb_test::WriteFile;
using ZEB::ParameterUpdate;

namespace {

const char* const kCfg = "<cfg><scenario alia=\"prv\"><id>0x1a</id></scenario>"
                         "<scenario alia=\"cap\"><id>2B</id></scenario></cfg>";

ZEB::iSceneInfo Scene(uint64_t preview, uint64_t capture) {
    ZEB::iSceneInfo scene{};
    scene.commonInfo.prv_scenario_id = preview;
    scene.commonInfo.cap_scenario_id = capture;
    return scene;
}

// The five int32 flags as the HAL reads them: at bytes 0, 4, 8, 12, 16.
std::vector<int32_t> Flags(const ZEB::zeb_update_flag& record) {
    std::vector<int32_t> flags(5);
    for (size_t i = 0; i < 5; ++i) flags[i] = zeb_test::At<int32_t>(&record, 4 * i);
    return flags;
}

// Every file below `root` but those of the tuning folders, with its content.
std::map<std::string, std::string> Outside(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.find("/tuningparameter/") != std::string::npos ||
            path.find("/tuningbin/") != std::string::npos || path.find("/vendor/firmware/") != std::string::npos) {
            continue;
        }
        files[path] = ReadFile(path);
    }
    return files;
}

class TuningUpdate : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef ZEB_SANITIZED
        // The sanitizers' dlopen becomes the caller of the updater's load by
        // name, and its run path is not ours: load the plugin by path first.
        mPlugin = dlopen(ZEB_BINARY_DIR "/src/libcorvale.so", RTLD_NOW);
#endif
        zeb_platform::ResetSensorTuning();
        mWorkingDir = fs::current_path();
        fs::current_path(mCwd.path());
        fs::create_directories(mRoot.Device("/data/vendor/cameraserver/zeb"));
        LoadBlocks({});
    }
    void TearDown() override {
        fs::current_path(mWorkingDir);
        EXPECT_TRUE(fs::is_empty(mCwd.path())) << "nothing is written to the current directory";
        Unload();
        zeb_platform::ResetSensorTuning();
        if (mPlugin) dlclose(mPlugin);
    }
    void Unload() {
        ZEB::ParameterManager::StopStatusWatch();
        if (mTaskManager) mTaskManager->Stop();
        ZEB::ParameterManager::Clear();
        mTaskManager.reset();
    }
    // A task manager over this block list, registered as the library does.
    void LoadBlocks(const std::vector<Block>& blocks) {
        Unload();
        WriteFile(mRoot.Device("/data/vendor/cameraserver/zeb/config/RawListFile.xml"),
                  zeb_config::TaskListXml({}, mRoot / "blocks.xml"));
        WriteFile(mRoot / "blocks.xml", zeb_config::BlockListXml(blocks));
        ZEB::ParameterManager::CreateParameter("SceneParameter", &mScene);
        mTaskManager = std::make_unique<ZEB::TaskManager>();
        ZEB::ParameterManager::CreateParameter("TaskManager", mTaskManager.get());
    }
    // The sensor's tuning: its name and its scenario table.
    void Sensor(const std::string& name, const std::string& cfg = kCfg) {
        zeb_platform::SetSensorTuningName(0, name);
        WriteFile(mRoot.Device("/vendor/firmware/" + name + "/cfg.xml"), cfg);
    }
    std::string Firmware(const std::string& relative) { return mRoot.Device("/vendor/firmware/" + relative); }

    zeb_test::DeviceRoot mRoot;
    zeb_test::TempDir mCwd;
    fs::path mWorkingDir;
    ZEB::SceneParameter mScene;
    std::unique_ptr<ZEB::TaskManager> mTaskManager;
    ZEB::TaskMap mTasks;
    void* mPlugin = nullptr;
};

TEST_F(TuningUpdate, ScenarioTableFirstIdWinsAndIdsAreHexadecimal) {
    Sensor("cam_a", "<cfg><scenario alia=\"prv\"><id>0x1a</id></scenario><scenario alia=\"again\"><id>1A</id>"
                    "</scenario><scenario alia=\"cap\"><id>1F</id></scenario><scenario alia=\"bad\"><id>zz</id>"
                    "</scenario></cfg>");
    LogCapture log(1);
    ParameterUpdate update(0, &mTasks);
    ASSERT_TRUE(update.WaitStartup());
    EXPECT_EQ(update.TuningName(), "cam_a");
    struct Row {
        uint64_t preview, capture;
        int switchValue;
        const char* alias;
    } rows[] = {{0x1a, 0x1f, 0, "prv"}, {0x1a, 0x1f, 1, "cap"}, {0x1a, 0x99, 1, ""}, {0, 0, 0, ""}};
    for (const Row& row : rows) {
        const ZEB::iSceneInfo scene = Scene(row.preview, row.capture);
        EXPECT_EQ(update.FindScenarioAlia(&scene, row.switchValue), row.alias) << row.preview << " " << row.capture;
    }
    EXPECT_EQ(update.FindScenarioAlia(nullptr, 0), "");
    EXPECT_EQ(log.Count("not find Scenario name", "ParameterUpdate", 1), 3u);
    EXPECT_TRUE(log.Contains("id \"zz\" is not a hexadecimal number", "ParameterUpdate", 1));
}

TEST_F(TuningUpdate, CombinationsVaryTheFirstBlockFastest) {
    using Alternatives = std::map<int, std::string>;
    struct Case {
        std::vector<Alternatives> blocks;
        std::vector<std::vector<std::string>> expected;
    } cases[] = {
        {{{{0, "a"}, {1, "b"}}, {{0, "x"}, {1, "y"}, {2, "z"}}},
         {{"a", "x"}, {"b", "x"}, {"a", "y"}, {"b", "y"}, {"a", "z"}, {"b", "z"}}},
        {{{{0, "a"}, {1, "b"}}, {}, {{0, "x"}}}, {}},
    };
    for (const Case& c : cases) {
        ZEB::TaskMap tasks;
        tasks[3] = std::make_shared<ZEB::TaskInfo>();
        tasks[7] = std::make_shared<ZEB::TaskInfo>();
        for (size_t b = 0; b < c.blocks.size(); ++b) tasks[3]->TaskTuningMapper[{"B" + std::to_string(b), ""}] = c.blocks[b];
        tasks[7]->TaskTuning[0] = {"own"};
        LogCapture log(1);
        ParameterUpdate update(0, &tasks);
        ASSERT_TRUE(update.WaitStartup());
        const auto& first = tasks[3]->TaskTuning;
        ASSERT_EQ(first.size(), c.expected.size());
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(first.at(static_cast<int>(i)), c.expected[i]) << i;
        // The other task gets every combination but the number it holds.
        EXPECT_EQ(tasks[7]->TaskTuning.at(0), std::vector<std::string>{"own"});
        EXPECT_EQ(tasks[7]->TaskTuning.size(), std::max<size_t>(c.expected.size(), 1));
        EXPECT_EQ(log.Contains("invalid input", "ParameterUpdate", 1), c.expected.empty());
    }
}

TEST_F(TuningUpdate, FlagsComeFromBlockNamesWithTuningAndStayUntouchedWithoutStatus) {
    struct Row {
        std::vector<Block> blocks;
        std::vector<int32_t> flags;  // rgbgain, awb, lsc, cmc, xtm
    } rows[] = {
        {{{"LSC_A", 2, "null"}}, {0, 0, 0, 0, 0}},
        {{{"LSC_A", 2, "nullx"}}, {0, 0, 1, 0, 0}},
        {{{"RGBGAIN_V1", 2, "t"}, {"AWB_LSC", 2, "t"}, {"CMC10_V2", 2, "t"}, {"XTM_V1", 2, "null"}}, {1, 1, 1, 0, 0}},
        {{{"CMC10_V1", 2, "t"}, {"XTM", 2, "t"}}, {0, 0, 0, 1, 1}},
    };
    for (const Row& row : rows) {
        LoadBlocks(row.blocks);
        ParameterUpdate update(0, &mTasks);
        ASSERT_TRUE(update.WaitStartup());
        ZEB::zeb_update_flag record;
        memset(&record, 0x55, sizeof record);
        update.UpdateTuningFlag(&record);
        EXPECT_EQ(Flags(record), row.flags) << row.blocks[0].name;
    }
    // Camera 99 has no update status and no record in the status table.
    LogCapture log(4);
    ParameterUpdate update(99, &mTasks);
    ZEB::zeb_update_flag record;
    memset(&record, 0x55, sizeof record);
    update.UpdateTuningFlag(&record);
    update.UpdateTuningParameter();
    EXPECT_EQ(Flags(record), std::vector<int32_t>(5, 0x55555555));
    EXPECT_TRUE(log.Contains("Could not get pm status", "ParameterUpdate", 4));
    EXPECT_TRUE(log.Contains("has no record in the tuning status table", "ParameterUpdate", 1));
}

// One combination: translated into the scenario folders under its own file
// names, converted (the AE block by the plugin), installed into the device
// root's firmware folder, trigger files and sensor tuning reloaded, flags set.
TEST_F(TuningUpdate, OneCombinationIsTranslatedConvertedInstalledAndReloaded) {
    LoadBlocks({{"CMC10_V1", 2, "t"}});
    Sensor("cam_a");
    const std::string sweep = mRoot / "sweep_dir/block_0/";
    WriteFile(sweep + "Frame1_AE_16433.xml", "<AE block=\"AE\" id=\"16433\"><gain>2</gain></AE>");
    WriteFile(sweep + "Frame0_CMC_16500.xml", "<CMC block=\"CMC10_V1\" id=\"16500\"><v>1.5 3</v></CMC>");
    WriteFile(sweep + "plain.xml", "<T block=\"TRG_AFL\" id=\"16410\"><v>7</v></T>");
    WriteFile(sweep + "Frame2_broken.xml", "<AE");
    const std::string param = mRoot.Device("/data/vendor/cameraserver/zeb/tuningparameter/cam_a/");
    WriteFile(param + "old/stale.xml", "<old/>");
    mTasks[0] = std::make_shared<ZEB::TaskInfo>();
    LogCapture log(4);
    ParameterUpdate update(0, &mTasks);
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    ZEB::zeb_update_flag record;
    memset(&record, 0x55, sizeof record);
    update.UpdateFrameWithId(0, {sweep + "Frame1_AE_16433.xml", sweep + "Frame2_broken.xml",
                                 sweep + "Frame0_CMC_16500.xml", sweep + "plain.xml"},
                             &scene, &record);
    EXPECT_FALSE(fs::exists(param + "old"));
    EXPECT_TRUE(fs::exists(param + "prv/AE_16433.xml") && fs::exists(param + "com/plain.xml"));
    EXPECT_TRUE(log.Contains("Document not parsed successfully, file is empty!", "ParameterUpdate", 1));
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
    const zeb_platform::SensorTuningState state = zeb_platform::GetSensorTuningState(0);
    EXPECT_EQ(state.reloads, 1u);
    EXPECT_EQ(state.triggerLoads, 1u);
    std::map<std::string, std::vector<float>> loaded;
    for (const auto& file : state.files) loaded[file.path] = file.values;
    for (const std::string folder : {"prv/", "cap/", "com/"}) {
        EXPECT_EQ(loaded[folder + "AE_16433.bin"], std::vector<float>{2}) << folder;
        EXPECT_EQ(loaded[folder + "CMC10_V1_16500.bin"], (std::vector<float>{1.5f, 3})) << folder;
        EXPECT_EQ(loaded[folder + "TRG_AFL_16410.bin"], std::vector<float>{7}) << folder;
    }
    EXPECT_EQ(Flags(record), (std::vector<int32_t>{0, 0, 0, 1, 0}));
}

// No shell runs, and a name that could leave the tuning folders is refused
// before anything is removed or written.
TEST_F(TuningUpdate, HostileNamesRunNothingAndNeverLeaveTheTuningFolders) {
    const std::string zeb = mRoot.Device("/data/vendor/cameraserver/zeb/");
    WriteFile(zeb + "victim/keep.xml", "keep");
    WriteFile(zeb + "tuningparameter/other/keep.xml", "keep");
    WriteFile(mRoot / "t/Frame0_AE_16433.xml", "<AE block=\"AE\" id=\"16433\"><gain>2</gain></AE>");
    mTasks[0] = std::make_shared<ZEB::TaskInfo>();
    struct Row {
        std::string name, cfg;
        const char* refusal;  // null: accepted as a folder name
    } rows[] = {
        {"q'uote $(touch pwned) `touch pwned`", kCfg, nullptr},
        {"../victim", "", "tuning name \"../victim\" refused"},
        {"", "", "tuning name \"\" refused"},
        {"cam_b", "<cfg><scenario alia=\"../../victim\"><id>1a</id></scenario></cfg>", "\"../../victim\" refused"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!row.cfg.empty()) Sensor(row.name, row.cfg);
        zeb_platform::SetSensorTuningName(0, row.name);
        const auto before = Outside(mRoot.path());
        LogCapture log(1);
        ParameterUpdate update(0, &mTasks);
        const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
        update.UpdateFrameWithId(0, {mRoot / "t/Frame0_AE_16433.xml"}, &scene, nullptr);
        EXPECT_EQ(Outside(mRoot.path()), before);
        EXPECT_EQ(ReadFile(zeb + "tuningparameter/other/keep.xml"), "keep");
        if (row.refusal) {
            EXPECT_TRUE(log.Contains(row.refusal, "ParameterUpdate", 1));
        } else {
            EXPECT_TRUE(fs::exists(zeb + "tuningparameter/" + row.name + "/prv/AE_16433.xml"));
        }
    }
    EXPECT_FALSE(fs::exists(mRoot / "pwned"));
}

TEST_F(TuningUpdate, BypassWordsPatchedAtTheirOffsetsByBlockState) {
    LoadBlocks({{"LSC", 2, "null", "a4"}, {"AFL_V3", 1, "null", "401a"}, {"CMC10_V1", 0, "null", "4074"}});
    Sensor("cam_a");
    std::string original(56, 0);  // a 48-byte header and two values at most
    for (size_t i = 0; i < original.size(); ++i) original[i] = static_cast<char>(0xA0 + i);
    const int kSame = -1000;
    struct Row {
        const char* file;
        size_t size, at;
        int words[3];  // prv, cap, com; kSame: the file stays as it was
    } rows[] = {
        // Block 164 (state 2) also matches AE_16433.bin; a block word is at byte 12.
        {"LSC_164.bin", 48, 12, {1, 1, 1}},
        {"AE_16433.bin", 48, 12, {1, 1, 1}},
        {"AE_16433.xml", 48, 12, {kSame, kSame, kSame}},
        {"LSC_164_short.bin", 10, 12, {kSame, kSame, kSame}},
        // Block 16410 (state 1), patched after block 164, whose id these names
        // also hold; a trigger word is at byte 8.
        {"TRG_AFL_V3_16410.bin", 56, 8, {0, 0, 0}},
        {"AFL_V3_16410.bin", 48, 12, {0, 0, 0}},
        // Block 16500 (state 0): each scenario's own bypass list.
        {"CMC10_V1_16500.bin", 48, 12, {1, 2, kSame}},
        {"NR_16700.bin", 48, 12, {kSame, kSame, kSame}},
    };
    const std::string folders[3] = {"cam_a/prv/", "cam_a/cap/", "cam_a/com/"};
    for (const Row& row : rows) {
        for (const std::string& folder : folders) WriteFile(Firmware(folder + row.file), original.substr(0, row.size));
    }
    const std::string bin = mRoot.Device("/data/vendor/cameraserver/zeb/tuningbin/cam_a/");
    for (const auto& list : {std::make_pair("prv", "CMC10</Name><BypassStatus>1"),
                             std::make_pair("cap", "CMC10</Name><BypassStatus>2"),
                             std::make_pair("com", "LSC</Name><BypassStatus>9")}) {
        WriteFile(bin + list.first + ".xml",
                  std::string("<BypassBlocks><Block><Name>") + list.second + "</BypassStatus></Block></BypassBlocks>");
    }
    ParameterUpdate update(0, &mTasks);
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    ZEB::zeb_update_flag record;
    memset(&record, 0x55, sizeof record);
    update.UpateBypassMode(0, &scene, &record);
    for (const Row& row : rows) {
        for (int f = 0; f < 3; ++f) {
            std::string expected = original.substr(0, row.size);
            if (row.words[f] != kSame) memcpy(&expected[row.at], &row.words[f], 4);
            EXPECT_EQ(ReadFile(Firmware(folders[f] + row.file)), expected) << folders[f] << row.file;
        }
    }
    EXPECT_EQ(Flags(record), (std::vector<int32_t>{0, 0, 1, 1, 0}));
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
    EXPECT_EQ(zeb_platform::GetSensorTuningState(0).reloads, 1u);
}

// Deleting the updater during its one-second name wait (ten seconds here)
// ends the wait at once; a driver waiting for the start-up is let go.
TEST_F(TuningUpdate, StopEndsTheStartupWaitPromptly) {
    zeb_platform::SetTimeScale(10);
    const auto start = std::chrono::steady_clock::now();
    {
        auto update = std::make_unique<ParameterUpdate>(0, &mTasks);
        bool started = true;
        std::thread driver([&] { started = update->WaitStartup(); });
        update->Stop();
        driver.join();
        EXPECT_FALSE(started);
        update.reset();
        ParameterUpdate deleted(0, &mTasks);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    zeb_platform::SetTimeScale(0.01);
}

}  // namespace
