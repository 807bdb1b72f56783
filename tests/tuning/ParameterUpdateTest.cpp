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
    const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
    std::vector<int32_t> flags(5);
    for (size_t i = 0; i < 5; ++i) memcpy(&flags[i], bytes + 4 * i, 4);
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
    for (const char* folder : {"prv/", "cap/", "com/"}) {
        for (const char* name : {"AE_16433.xml", "CMC_16500.xml", "plain.xml"}) {
            EXPECT_TRUE(fs::exists(param + folder + name)) << folder << name;
        }
    }
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
    EXPECT_TRUE(state.rejected.empty());
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
    std::string block(48, 0), trigger(56, 0);
    for (size_t i = 0; i < trigger.size(); ++i) trigger[i] = static_cast<char>(0xA0 + i);
    block = trigger.substr(0, 48);
    const char* folders[] = {"prv", "cap", "com"};
    const char* files[] = {"LSC_164.bin", "AE_16433.bin", "TRG_AFL_V3_16410.bin", "AFL_V3_16410.bin",
                           "CMC10_V1_16500.bin", "AE_16433.xml", "LSC_164_short.bin", "NR_16700.bin"};
    for (const char* folder : folders) {
        for (const char* file : files) {
            const std::string name = file;
            WriteFile(Firmware(std::string("cam_a/") + folder + "/" + name),
                      name.find("short") != std::string::npos ? block.substr(0, 10)
                      : name.find("TRG") != std::string::npos ? trigger
                                                              : block);
        }
    }
    const std::string bin = mRoot.Device("/data/vendor/cameraserver/zeb/tuningbin/cam_a/");
    auto list = [](int status) {
        return "<BypassBlocks><Block><Name>CMC10</Name><BypassStatus>" + std::to_string(status) +
               "</BypassStatus></Block></BypassBlocks>";
    };
    WriteFile(bin + "prv.xml", list(1));
    WriteFile(bin + "cap.xml", list(2));
    WriteFile(bin + "com.xml", "<BypassBlocks><Block><Name>LSC</Name><BypassStatus>9</BypassStatus></Block></BypassBlocks>");
    ParameterUpdate update(0, &mTasks);
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    ZEB::zeb_update_flag record;
    memset(&record, 0x55, sizeof record);
    update.UpateBypassMode(0, &scene, &record);

    auto with = [](std::string bytes, size_t at, int32_t word) {
        memcpy(&bytes[at], &word, 4);
        return bytes;
    };
    struct Expect {
        const char* file;
        std::string prv, cap, com;
    } expected[] = {
        // Block 164 (state 2) also matches AE_16433.bin; a block word is at byte 12.
        {"LSC_164.bin", with(block, 12, 1), with(block, 12, 1), with(block, 12, 1)},
        {"AE_16433.bin", with(block, 12, 1), with(block, 12, 1), with(block, 12, 1)},
        {"AE_16433.xml", block, block, block},
        {"LSC_164_short.bin", block.substr(0, 10), block.substr(0, 10), block.substr(0, 10)},
        // Block 16410 (state 1): a trigger word is at byte 8.
        {"TRG_AFL_V3_16410.bin", with(trigger, 8, 0), with(trigger, 8, 0), with(trigger, 8, 0)},
        {"AFL_V3_16410.bin", with(block, 12, 0), with(block, 12, 0), with(block, 12, 0)},
        // Block 16500 (state 0): each scenario's own bypass list.
        {"CMC10_V1_16500.bin", with(block, 12, 1), with(block, 12, 2), block},
        {"NR_16700.bin", block, block, block},
    };
    for (const Expect& e : expected) {
        EXPECT_EQ(ReadFile(Firmware(std::string("cam_a/prv/") + e.file)), e.prv) << e.file;
        EXPECT_EQ(ReadFile(Firmware(std::string("cam_a/cap/") + e.file)), e.cap) << e.file;
        EXPECT_EQ(ReadFile(Firmware(std::string("cam_a/com/") + e.file)), e.com) << e.file;
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
