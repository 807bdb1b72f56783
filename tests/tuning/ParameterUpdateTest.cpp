// The tuning updater on a device root of its own, with the real sensor side,
// converters and plugin: scenario table, combinations, update flags, one
// combination switched end to end, names that must not reach a shell or leave
// the tuning folders, bypass words, and teardown during the start-up wait.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "TuningFixture.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"

namespace fs = std::filesystem;
using zeb_config::Block;
using zeb_platform::LogCapture;
using zeb_test::ReadFile;
using zeb_test::WriteFile;
using ZEB::ParameterUpdate;
using namespace zeb_tuning_test;

namespace {

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
// Stale entries of the tuning-bin folder (a dangling link, binaries of an
// earlier combination) go before converting; the bypass lists stay.
TEST_F(TuningUpdate, OneCombinationIsTranslatedConvertedInstalledAndReloaded) {
    LoadBlocks({{"CMC10_V1", 2, "t"}});
    Sensor("cam_a");
    const std::string sweep = mRoot / "sweep_dir/block_0/";
    WriteFile(sweep + "Frame1_AE_16433.xml", "<AE block=\"AE\" id=\"16433\"><gain>2</gain></AE>");
    WriteFile(sweep + "Frame0_CMC_16500.xml", "<CMC block=\"CMC10_V1\" id=\"16500\"><v>1.5 3</v></CMC>");
    WriteFile(sweep + "plain.xml", "<T block=\"TRG_AFL\" id=\"16410\"><v>7</v></T>");
    const std::string param = mRoot.Device("/data/vendor/cameraserver/zeb/tuningparameter/cam_a/");
    WriteFile(param + "old/stale.xml", "<old/>");
    const std::string bin = mRoot.Device("/data/vendor/cameraserver/zeb/tuningbin/cam_a/");
    WriteFile(bin + "prv.xml", "<BypassBlocks/>");
    WriteFile(bin + "prv/OLD_16999.bin", "stale");
    fs::create_symlink(mRoot / "gone.bin", bin + "prv/AAA_1.bin");
    mTasks[0] = std::make_shared<ZEB::TaskInfo>();
    LogCapture log(4);
    ParameterUpdate update(0, &mTasks);
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    ZEB::zeb_update_flag record;
    memset(&record, 0x55, sizeof record);
    EXPECT_TRUE(update.UpdateFrameWithId(0, {sweep + "Frame1_AE_16433.xml", sweep + "Frame0_CMC_16500.xml",
                                             sweep + "plain.xml"},
                                         &scene, &record));
    EXPECT_FALSE(fs::exists(param + "old"));
    EXPECT_TRUE(fs::exists(param + "prv/AE_16433.xml") && fs::exists(param + "com/plain.xml"));
    EXPECT_EQ(ReadFile(bin + "prv.xml"), "<BypassBlocks/>");
    EXPECT_FALSE(fs::exists(fs::symlink_status(bin + "prv/AAA_1.bin")));
    EXPECT_FALSE(fs::exists(bin + "prv/OLD_16999.bin"));
    EXPECT_FALSE(fs::exists(Firmware("cam_a/prv/OLD_16999.bin")));
    EXPECT_EQ(ReadFile(Firmware("cam_a/prv.xml")), "<BypassBlocks/>");
    EXPECT_EQ(log.Count("", "ParameterUpdate", 1) + log.Count("", "XML2Bin", 1), 0u) << "a clean update prints no failure line";
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
// before anything is removed or written, by the translation and, for a frame
// without a task (which is not translated), by the install itself.
TEST_F(TuningUpdate, HostileNamesRunNothingAndNeverLeaveTheTuningFolders) {
    const std::string zeb = mRoot.Device("/data/vendor/cameraserver/zeb/");
    WriteFile(zeb + "victim/keep.xml", "keep");
    WriteFile(zeb + "tuningparameter/other/prv/keep.xml", TuningXml("NR", "16700", "1"));
    WriteFile(zeb + "tuningbin/other/prv/NR_16700.bin", "keep");
    WriteFile(Firmware("other/prv/NR_16700.bin"), "keep");
    WriteFile(mRoot / "t/Frame0_AE_16433.xml", TuningXml("AE", "16433", "2"));
    mTasks[0] = std::make_shared<ZEB::TaskInfo>();
    struct Row {
        std::string name, cfg;
        int64_t frame;        // 1: no task, nothing translated
        const char* refusal;  // null: accepted as a folder name
    } rows[] = {
        {"q'uote $(touch pwned) `touch pwned`", kCfg, 0, nullptr},
        {"../victim", "", 0, "tuning name \"../victim\" refused"},
        {"", "", 0, "tuning name \"\" refused"},
        {"..", "", 0, "tuning name \"..\" refused"},
        {"", "", 1, "tuning name \"\" refused"},
        {".", "", 1, "tuning name \".\" refused"},
        {"..", "", 1, "tuning name \"..\" refused"},
        {"cam_b", "<cfg><scenario alia=\"../../victim\"><id>1a</id></scenario></cfg>", 0, "\"../../victim\" refused"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " frame " + std::to_string(row.frame));
        if (!row.cfg.empty()) Sensor(row.name, row.cfg);
        zeb_platform::SetSensorTuningName(0, row.name);
        const auto before = Tree(mRoot.path(), row.refusal ? "\n" : row.name);
        LogCapture log(1);
        ParameterUpdate update(0, &mTasks);
        const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
        std::string failure;
        EXPECT_EQ(update.UpdateFrameWithId(row.frame, {mRoot / "t/Frame0_AE_16433.xml"}, &scene, nullptr, &failure),
                  row.refusal == nullptr);
        EXPECT_EQ(Tree(mRoot.path(), row.refusal ? "\n" : row.name), before);
        if (row.refusal) {
            EXPECT_TRUE(log.Contains(row.refusal, "ParameterUpdate", 1));
        } else {
            EXPECT_TRUE(fs::exists(zeb + "tuningparameter/" + row.name + "/prv/AE_16433.xml"));
        }
    }
    EXPECT_FALSE(fs::exists(mRoot / "pwned"));
}

// A combination that does not convert or install whole leaves the previous
// tuning in the firmware folder and on the sensor side, and says so: a false
// result naming the failure, a level-1 line with its files, flags of -1.
TEST_F(TuningUpdate, AFailedCombinationLeavesThePreviousTuningAndSaysSo) {
    const std::string sweep = mRoot / "sweep/";
    WriteFile(sweep + "Frame0_CMC_16500.xml", TuningXml("CMC10_V1", "16500", "1"));
    WriteFile(sweep + "Frame0_NR_16700.xml", TuningXml("NR", "16700", "5"));
    const std::string longAlias(300, 'a');
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // name, content
        std::string cfg;
        const char* planted;  // below the firmware tuning folder, before the update
        const char* failure;
    } rows[] = {
        {"a value that is no number", {{"Frame1_CMC_16500.xml", TuningXml("CMC10_V1", "16500", "abc")}}, kCfg, nullptr,
         "binary tuning file(s) from"},
        {"a document that does not parse", {{"Frame1_CMC_16500.xml", "<T"}}, kCfg, nullptr, "could not be translated"},
        {"a document nested 100,000 deep",
         {{"Frame1_CMC_16500.xml", "<T block=\"CMC10_V1\" id=\"16500\">" + zeb_test::Repeated("<a>", 300000) + "1" +
                                       zeb_test::Repeated("</a>", 400000) + "</T>"}},
         kCfg, nullptr, "could not be translated"},
        {"two files of one block", {{"Frame1_CMC_16500.xml", TuningXml("CMC10_V1", "16500", "2")},
                                    {"Frame2_CMCB_16500.xml", TuningXml("CMC10_V1", "16500", "3")}},
         kCfg, nullptr, "binary tuning file(s) from"},
        {"an alias of 300 characters",
         {{"Frame1_CMC_16500.xml", TuningXml("CMC10_V1", "16500", "2")}},
         "<cfg><scenario alia=\"" + longAlias + "\"><id>0x1a</id></scenario><scenario alia=\"cap\"><id>2B</id>"
         "</scenario></cfg>", nullptr, "tuning parameter folder could not be made"},
        {"a link among the firmware binaries", {{"Frame1_CMC_16500.xml", TuningXml("CMC10_V1", "16500", "2")},
                                               {"Frame1_NR_16700.xml", TuningXml("NR", "16700", "6")}},
         kCfg, "cap/ZZ_1.bin", "is a link, not a tuning file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        zeb_platform::ResetSensorTuning();
        fs::remove_all(Firmware("cam_a"));
        Sensor("cam_a");
        mTasks[0] = std::make_shared<ZEB::TaskInfo>();
        const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
        ZEB::zeb_update_flag record;
        {
            ParameterUpdate first(0, &mTasks);
            ASSERT_TRUE(first.UpdateFrameWithId(0, {sweep + "Frame0_CMC_16500.xml", sweep + "Frame0_NR_16700.xml"},
                                                &scene, &record));
        }
        ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
        const auto loaded = zeb_platform::GetSensorTuningState(0).files;
        ASSERT_EQ(loaded.size(), 6u);
        if (row.planted) fs::create_symlink(mRoot / "elsewhere.bin", Firmware(std::string("cam_a/") + row.planted));
        Sensor("cam_a", row.cfg);
        const auto installed = Tree(Firmware("cam_a"));
        std::vector<std::string> files;
        for (const auto& file : row.files) {
            WriteFile(sweep + row.what + "/" + file.first, file.second);
            files.push_back(sweep + row.what + "/" + file.first);
        }
        LogCapture log(1);
        ParameterUpdate update(0, &mTasks);
        memset(&record, 0x55, sizeof record);
        std::string failure;
        EXPECT_FALSE(update.UpdateFrameWithId(0, files, &scene, &record, &failure));
        EXPECT_NE(failure.find(row.failure), std::string::npos) << failure;
        EXPECT_EQ(Flags(record), std::vector<int32_t>(5, -1));
        EXPECT_TRUE(log.Contains("not installed, the previous tuning stays", "ParameterUpdate", 1));
        EXPECT_TRUE(log.Contains(files.back(), "ParameterUpdate", 1)) << "the line names the combination's files";
        EXPECT_EQ(Tree(Firmware("cam_a")), installed) << "the previous tuning, whole";
        ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
        const auto state = zeb_platform::GetSensorTuningState(0);
        EXPECT_EQ(state.reloads, 1u) << "nothing reloaded";
        EXPECT_EQ(state.files.size(), loaded.size());
        fs::remove_all(Firmware("cam_a"));
    }
}

// Two cameras with one tuning name take turns: every round, each camera's
// sensor side holds exactly the combination that camera installed.
TEST_F(TuningUpdate, TwoCamerasSharingANameTakeTurns) {
    Sensor("shared");
    zeb_platform::SetSensorTuningName(1, "shared");
    constexpr int kRounds = 20;
    ZEB::TaskMap tasks[2];
    for (int c = 0; c < 2; ++c) {
        tasks[c][0] = std::make_shared<ZEB::TaskInfo>();
        for (int r = 0; r < kRounds; ++r) {
            const std::string value = std::to_string(c * 100 + r);
            WriteFile(mRoot / ("c" + std::to_string(c) + "/Frame" + std::to_string(r) + "_CMC_16500.xml"),
                      TuningXml("CMC10_V1", "16500", value + " " + value));
            WriteFile(mRoot / ("c" + std::to_string(c) + "/Frame" + std::to_string(r) + "_NR_16700.xml"),
                      TuningXml("NR", "16700", value));
        }
    }
    std::vector<std::string> wrong[2];
    auto camera = [&](int c) {
        ParameterUpdate update(c, &tasks[c]);
        const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
        for (int r = 0; r < kRounds; ++r) {
            const std::string stem = mRoot / ("c" + std::to_string(c) + "/Frame" + std::to_string(r));
            ZEB::zeb_update_flag record;
            std::string failure;
            if (!update.UpdateFrameWithId(0, {stem + "_CMC_16500.xml", stem + "_NR_16700.xml"}, &scene, &record,
                                          &failure)) {
                wrong[c].push_back("round " + std::to_string(r) + ": " + failure);
                continue;
            }
            if (!zeb_platform::WaitSensorIdle(c, std::chrono::seconds(10))) wrong[c].push_back("still busy");
            const float value = static_cast<float>(c * 100 + r);
            const auto state = zeb_platform::GetSensorTuningState(c);
            if (state.files.size() != 6 || !state.rejected.empty()) {
                wrong[c].push_back("round " + std::to_string(r) + ": " + std::to_string(state.files.size()) +
                                   " file(s), " + std::to_string(state.rejected.size()) + " rejected");
            }
            for (const auto& file : state.files) {
                const std::vector<float> expected =
                    file.blockId == 16500 ? std::vector<float>{value, value} : std::vector<float>{value};
                if (file.values != expected) wrong[c].push_back("round " + std::to_string(r) + ": " + file.path);
            }
        }
    };
    std::thread other(camera, 1);
    camera(0);
    other.join();
    EXPECT_TRUE(wrong[0].empty()) << wrong[0].front();
    EXPECT_TRUE(wrong[1].empty()) << wrong[1].front();
}

// The flags reach the HAL's record only once the sensor's update status is
// no longer busy, or its six seconds have passed.
TEST_F(TuningUpdate, FlagsWaitForABusyUpdateStatus) {
    LoadBlocks({{"CMC10_V1", 2, "t"}});
    Sensor("cam_a");
    ParameterUpdate update(0, &mTasks);
    ASSERT_TRUE(update.WaitStartup());
    // The sensor side's reload is held at a file it reads: its status stays busy.
    zeb_test::HeldFile held(Firmware("cam_a") + "/prv/HOLD_1.bin");
    ASSERT_EQ(sensor_update_tuning_parameter(0), 0);
    ASSERT_TRUE(held.Reached());
    ZEB::zeb_update_flag record;
    {
        // Busy past the limit: copied after it, and said so.
        LogCapture log(4);
        memset(&record, 0x55, sizeof record);
        update.UpdateTuningFlag(&record);
        EXPECT_EQ(Flags(record), (std::vector<int32_t>{0, 0, 0, 1, 0}));
        EXPECT_TRUE(log.Contains("pm is still not ready", "ParameterUpdate", 4));
    }
    // Busy for a while within the limit: untouched until the reload ends.
    zeb_platform::SetTimeScale(1);
    memset(&record, 0x55, sizeof record);
    LogCapture log(4);
    std::thread flags([&] { update.UpdateTuningFlag(&record); });
    EXPECT_FALSE(zeb_test::WaitFor([&] { return zeb_test::At<int32_t>(&record, 12) != 0x55555555; },
                                   std::chrono::milliseconds(300)));
    held.Release();
    flags.join();
    zeb_platform::SetTimeScale(0.01);
    EXPECT_EQ(Flags(record), (std::vector<int32_t>{0, 0, 0, 1, 0}));
    EXPECT_TRUE(log.Contains("pm update done", "ParameterUpdate", 4));
}

TEST_F(TuningUpdate, BypassWordsPatchedAtTheirOffsetsByBlockState) {
    LoadBlocks({{"LSC", 2, "null", "a4"}, {"AFL_V3", 1, "null", "401a"}, {"CMC10_V1", 0, "null", "4074"}});
    Sensor("cam_a");
    const int kSame = -1000;
    struct Row {
        const char* file;
        std::string bytes;
        size_t at;
        int words[3];  // prv, cap, com; kSame: the file stays as it was
    } rows[] = {
        // Block 164 (state 2) also matches AE_16433.bin; a block word is at byte 12.
        {"LSC_164.bin", Header("ZBLK", 40, 48), 12, {1, 1, 1}},
        {"AE_16433.bin", Header("ZBLK", 40, 48), 12, {1, 1, 1}},
        {"AE_16433.xml", Header("ZBLK", 40, 48), 12, {kSame, kSame, kSame}},
        {"LSC_164_short.bin", Header("ZBLK", 40, 10), 12, {kSame, kSame, kSame}},
        // Headers of another kind, or none, are left alone.
        {"LSC_164_trg.bin", Header("ZTRG", 48, 56), 12, {kSame, kSame, kSame}},
        {"LSC_164_size.bin", Header("ZBLK", 48, 56), 12, {kSame, kSame, kSame}},
        {"LSC_164_none.bin", std::string(48, 'x'), 12, {kSame, kSame, kSame}},
        // Block 16410 (state 1), patched after block 164, whose id these names
        // also hold; a trigger word is at byte 8.
        {"TRG_AFL_V3_16410.bin", Header("ZTRG", 48, 56), 8, {0, 0, 0}},
        {"AFL_V3_16410.bin", Header("ZBLK", 40, 48), 12, {0, 0, 0}},
        // Block 16500 (state 0): each scenario's own bypass list.
        {"CMC10_V1_16500.bin", Header("ZBLK", 40, 48), 12, {1, 2, kSame}},
        {"NR_16700.bin", Header("ZBLK", 40, 48), 12, {kSame, kSame, kSame}},
    };
    const std::string folders[3] = {"cam_a/prv/", "cam_a/cap/", "cam_a/com/"};
    for (const Row& row : rows) {
        for (const std::string& folder : folders) WriteFile(Firmware(folder + row.file), row.bytes);
    }
    // A link among the binaries is never written through.
    WriteFile(mRoot / "outside.bin", Header("ZBLK", 40, 48));
    fs::create_symlink(mRoot / "outside.bin", Firmware("cam_a/prv/LSC_164_link.bin"));
    const std::string bin = mRoot.Device("/data/vendor/cameraserver/zeb/tuningbin/cam_a/");
    for (const auto& list : {std::make_pair("prv", "CMC10</Name><BypassStatus>1"),
                             std::make_pair("cap", "CMC10</Name><BypassStatus>2"),
                             std::make_pair("com", "LSC</Name><BypassStatus>9")}) {
        WriteFile(bin + list.first + ".xml",
                  std::string("<BypassBlocks><Block><Name>") + list.second + "</BypassStatus></Block></BypassBlocks>");
    }
    LogCapture log(1);
    {
        ParameterUpdate update(0, &mTasks);
        const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
        ZEB::zeb_update_flag record;
        memset(&record, 0x55, sizeof record);
        update.UpateBypassMode(0, &scene, &record);
        EXPECT_EQ(Flags(record), (std::vector<int32_t>{0, 0, 1, 1, 0}));
    }
    for (const Row& row : rows) {
        for (int f = 0; f < 3; ++f) {
            std::string expected = row.bytes;
            if (row.words[f] != kSame) memcpy(&expected[row.at], &row.words[f], 4);
            EXPECT_EQ(ReadFile(Firmware(folders[f] + row.file)), expected) << folders[f] << row.file;
        }
    }
    EXPECT_EQ(ReadFile(mRoot / "outside.bin"), Header("ZBLK", 40, 48));
    EXPECT_TRUE(log.Contains("LSC_164_link.bin refused: a link", "ParameterUpdate", 1));
    for (const char* file : {"LSC_164_trg.bin has no ZBLK header", "LSC_164_size.bin has no ZBLK header",
                             "LSC_164_none.bin has no ZBLK header"}) {
        EXPECT_EQ(log.Count(file, "ParameterUpdate", 1), 3u) << file << ": once per folder";
    }
    ASSERT_TRUE(zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10)));
    EXPECT_EQ(zeb_platform::GetSensorTuningState(0).reloads, 1u);

    // Block id 0 matches every name holding a 0: said once per call.
    LoadBlocks({{"ZERO", 2, "null", "0"}, {"NIL", 3, "null", "0"}});
    LogCapture zero(2);
    ParameterUpdate update(0, &mTasks);
    const ZEB::iSceneInfo scene = Scene(0x1a, 0x2b);
    update.UpateBypassMode(0, &scene, nullptr);
    EXPECT_EQ(zero.Count("has id 0, which every name holding a 0 matches", "ParameterUpdate", 2), 1u);
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
