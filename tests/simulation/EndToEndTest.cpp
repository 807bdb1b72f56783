// The whole library from dlopen to teardown: zebsim-hal plays generated
// recordings through the real libzebsim.so, and its report says what arrived.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "support/TestSupport.h"

namespace {

struct HalRun {
    int status = -1;
    nlohmann::json report;
};

// Runs the emulator in a process of its own: the library keeps process-wide
// state from its load to the end of the process.
HalRun RunHal(const zeb_test::TempDir& root, std::vector<std::string> arguments,
              const std::string& library = ZEB_LIBRARY_PATH) {
    const std::string tool = std::string(ZEB_BINARY_DIR) + "/tools/zebsim-hal/zebsim-hal";
    arguments.insert(arguments.begin(), {tool, "--device-root", root.path(), "--library", library,
                                         "--quiet", "--timeout", "60", "--log-file", root / "library.log"});
    HalRun run;
    run.status = zeb_test::RunProgram(arguments).status;
    std::ifstream in(root / "hal-out/report.json");
    if (in) run.report = nlohmann::json::parse(in, nullptr, false);
    return run;
}

std::vector<std::string> Checked(const nlohmann::json& task) {
    return task["queriesChecked"].get<std::vector<std::string>>();
}

bool Has(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<std::string> Strings(const nlohmann::json& list) { return list.get<std::vector<std::string>>(); }

// Every frame of the task reached the driver and matched its recording; a
// capture task previews only its first frame.
void ExpectPlayed(const nlohmann::json& task, bool preview) {
    const int frames = task["expectedFrames"];
    EXPECT_EQ(task["previewFrames"], preview ? frames : 1) << "task " << task["frameId"];
    EXPECT_EQ(task["captureFrames"], frames) << "task " << task["frameId"];
    EXPECT_EQ(task["matchedFrames"], (preview ? frames : 1) + frames) << "task " << task["frameId"];
    EXPECT_TRUE(task["completed"].get<bool>());
    EXPECT_TRUE(task["errors"].empty()) << task["errors"];
}

// Every result the HAL's 3A algorithms got was either their own or the recorded one, as the mode calls for.
void ExpectNoMismatch(const nlohmann::json& task) {
    for (const char* kind : {"ae", "awb", "alsc", "xtm"}) {
        EXPECT_EQ(task["threeA"][kind]["mismatched"], 0) << kind << " in task " << task["frameId"];
    }
    EXPECT_TRUE(task["threeA"]["checked"].get<bool>());
}

TEST(EndToEnd, PreviewTaskListPlaysEveryFrameAsPreviewAndSignalsAFullPass) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "preview"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    const auto& tasks = run.report["tasks"];
    ASSERT_EQ(tasks.size(), 2u);
    for (const auto& task : tasks) {
        ExpectPlayed(task, true);
        EXPECT_TRUE(task["previewPassProcessed"].get<bool>()) << "process property after the GetPrevYuvFrame pass";
        EXPECT_EQ(zeb_test::ReadFile(task["picture"].get<std::string>()).substr(0, 4), "\x89PNG") << "the raw preview picture";
    }
    // Nothing fixed: AWB gets the recorded statistics only, ALSC and XTM run
    // on their own; AE results are always the recorded ones.
    for (const auto& task : tasks) {
        ExpectNoMismatch(task);
        const auto& threeA = task["threeA"];
        EXPECT_GT(threeA["ae"]["substituted"], 0);
        EXPECT_EQ(Strings(threeA["awb"]["substitutedExchanges"]), std::vector<std::string>{"statistics"});
        EXPECT_GT(threeA["awb"]["passedThrough"], 0);
        for (const char* kind : {"alsc", "xtm"}) {
            EXPECT_EQ(threeA[kind]["substituted"], 0) << kind;
            EXPECT_GT(threeA[kind]["passedThrough"], 0) << kind;
        }
        EXPECT_GT(threeA["xtm"]["halCalcs"], 0);
    }
    // Per task: the pass signal, capture ready, then the capture's process signal.
    std::vector<std::string> order;
    for (const auto& event : run.report["timeline"]) order.push_back(event["property"]);
    ASSERT_EQ(order.size(), 6u);
    for (size_t task = 0; task < 2; ++task) {
        EXPECT_EQ(order[3 * task], "persist.vendor.cam.zeb.process");
        EXPECT_EQ(order[3 * task + 1], "persist.vendor.cam.zeb.capready");
        EXPECT_EQ(order[3 * task + 2], "persist.vendor.cam.zeb.process");
    }
}

TEST(EndToEnd, CaptureTaskListHandsOverHdrAndFaceRecords) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "capture"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    const auto& tasks = run.report["tasks"];
    ASSERT_EQ(tasks.size(), 3u);
    for (const auto& task : tasks) {
        ExpectPlayed(task, false);
        const auto checked = Checked(task);
        for (const char* query : {"parameter 2050", "parameter 2056", "parameter 2104", "GetFrameSceneInfo",
                                  "GetFrameSmartInfo", "GetFrameManualInfo", "GetFrameAndroidInfo",
                                  "GetFrameStatisInfo 9", "GetFrameStatisInfo 2", "SetDataUpdateFunc 6",
                                  "SetAeOfflineInfoFunc"}) {
            EXPECT_TRUE(Has(checked, query)) << query << " in task " << task["frameId"];
        }
        EXPECT_NE(task["outputFolder"].get<std::string>().find("ZEB_capture_task"), std::string::npos);
    }
    // The HDR task (postproc 0x1000) sets the capture AE record; the CHDR one does not.
    EXPECT_TRUE(Has(Checked(tasks[0]), "parameter 2061"));
    EXPECT_FALSE(Has(Checked(tasks[1]), "parameter 2061"));
    // HDR and MFNR tasks of several frames give EVs and ZSL images per capture frame.
    const auto hdr = Checked(tasks[0]);
    EXPECT_EQ(std::count(hdr.begin(), hdr.end(), "GetFrameEvStatus"), 3);
    EXPECT_EQ(std::count(hdr.begin(), hdr.end(), "GetZSLYuvFrame"), 3);
    EXPECT_FALSE(Has(Checked(tasks[2]), "GetZSLYuvFrame"));
    EXPECT_EQ(run.report["totals"]["errors"], 0);

    // AWB, ALSC and XTM are fixed in this recording's block list: their
    // recorded results reach the HAL's algorithms, the XTM calc never runs.
    const std::vector<std::string> awb = {"callback 29", "callback 32", "callback 33", "ioctl 257", "statistics"};
    for (const auto& task : tasks) {
        ExpectNoMismatch(task);
        const auto& threeA = task["threeA"];
        EXPECT_EQ(Strings(threeA["awb"]["substitutedExchanges"]), awb);
        EXPECT_EQ(threeA["awb"]["passedThrough"], 0);
        EXPECT_EQ(threeA["xtm"]["halCalcs"], 0);
        EXPECT_GT(threeA["xtm"]["substituted"], 0);
        // Outside a bracket, the first frame's result with EV 0.
        EXPECT_EQ(threeA["ae"]["results"][0]["phase"], "preview");
        EXPECT_EQ(threeA["ae"]["results"][0]["recordedFrame"], 0);
        EXPECT_EQ(threeA["ae"]["results"][0]["ev"], 0.0);
    }
    // Each task's frames recorded one lens shading format.
    EXPECT_EQ(Strings(tasks[0]["threeA"]["alsc"]["paths"]), std::vector<std::string>{"ALSC 4"});
    EXPECT_EQ(Strings(tasks[1]["threeA"]["alsc"]["paths"]), std::vector<std::string>{"ALSC 3"});
    EXPECT_TRUE(tasks[2]["threeA"]["alsc"]["paths"].empty());
    // The HDR bracket (EVs -2, 0, 2, -1, ...): the capture frames get the
    // first, second and third frame's results, the second step marked; the
    // preview after the snapshot has run past the three frames and wraps.
    const auto& ae = tasks[0]["threeA"]["ae"]["results"];
    ASSERT_EQ(ae.size(), 5u);
    const std::vector<std::tuple<const char*, int, double, int>> bracket = {
        {"capture", 0, -2, 0}, {"capture", 1, 0, 1}, {"capture", 2, 2, 0}, {"resume", 0, -1, 0}};
    for (size_t i = 0; i < bracket.size(); ++i) {
        const auto& seen = ae[i + 1];
        EXPECT_EQ(seen["phase"], std::get<0>(bracket[i])) << i;
        EXPECT_EQ(seen["recordedFrame"], std::get<1>(bracket[i])) << i;
        EXPECT_EQ(seen["ev"], std::get<2>(bracket[i])) << i;
        EXPECT_EQ(seen["hdrStep"], nlohmann::json::array({std::get<3>(bracket[i]), std::get<3>(bracket[i])})) << i;
    }
}

TEST(EndToEnd, TesterModeSendsTheSnapshotNotificationsItselfForEveryTask) {
    zeb_test::TempDir root;
    // A pair every 9 s against a driver that needs 16 s a task: from the
    // third task on, a pair sent ahead would merge with the pending one.
    HalRun run = RunHal(root, {"--generate", "preview", "--tasks", "5", "--tester"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    EXPECT_EQ(run.report["totals"]["completedTasks"], 5);
    EXPECT_EQ(run.report["totals"]["errors"], 0);
}

// Two cameras replay one task list at once, each through an instance, a
// sensor driver and a pipeline of its own, while the HAL's 3A algorithms (one
// set per process) run on both: every frame of each arrives whole, and each
// instance answers its own queries from its own frames.
TEST(EndToEnd, TwoCamerasPlayOneTaskListSideBySide) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "capture", "--second-camera", "1"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    EXPECT_EQ(run.report["secondCamera"]["cameraId"], 1);
    for (const auto* tasks : {&run.report["tasks"], &run.report["secondCamera"]["tasks"]}) {
        ASSERT_EQ(tasks->size(), 3u);
        for (const auto& task : *tasks) {
            ExpectPlayed(task, false);
            const auto checked = Checked(task);
            for (const char* query : {"parameter 2056", "GetFrameManualInfo", "GetFrameStatisInfo 9",
                                      "SetDataUpdateFunc 6", "SetAeOfflineInfoFunc"}) {
                EXPECT_TRUE(Has(checked, query)) << query << " in task " << task["frameId"];
            }
        }
    }
    // The 3A modules served both cameras; which camera's records they held
    // at a time is not defined, so those results are not checked.
    EXPECT_FALSE(run.report["threeAChecked"].get<bool>());
    EXPECT_GT(run.report["totals"]["threeA"]["substituted"], 0);
}

TEST(EndToEnd, FramesOfEverySizePlayThroughSlotsBuiltForOtherSizes) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "sizes"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    const auto& tasks = run.report["tasks"];
    ASSERT_EQ(tasks.size(), 5u);
    for (const auto& task : tasks) ExpectPlayed(task, true);
}

TEST(EndToEnd, MissingFolderAndTaskWithoutFoldersDoNotStopTheRun) {
    zeb_test::TempDir root;
    // The checks before the play name the missing folder and refuse it.
    HalRun refused = RunHal(root, {"--generate", "edge"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.report.is_null()) << "nothing played";
    HalRun run = RunHal(root, {"--generate", "edge", "--log-level", "4", "--play-anyway"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    const auto& tasks = run.report["tasks"];
    ASSERT_EQ(tasks.size(), 4u);
    // The missing folder still yields a frame, without an image.
    EXPECT_TRUE(tasks[1]["completed"].get<bool>());
    EXPECT_EQ(tasks[1]["matchedFrames"], 0);
    EXPECT_GT(tasks[1]["captureFrames"].get<int>(), 0);
    // The task without folders is skipped with a log line.
    EXPECT_EQ(tasks[2]["previewFrames"], 0);
    const std::string log = zeb_test::ReadFile(root / "library.log");
    EXPECT_NE(log.find("Could not Run this task with frmId 2"), std::string::npos);
    EXPECT_TRUE(tasks[3]["completed"].get<bool>());
    EXPECT_EQ(tasks[3]["matchedFrames"], 3);
}

TEST(EndToEnd, DeletingTheInstanceInTheMiddleOfATaskEndsEveryWait) {
    zeb_test::TempDir root;
    // A scale at which the waits deletion must end stand well clear of the
    // time a loaded machine takes to free the frames.
    HalRun run = RunHal(root, {"--generate", "capture", "--delete-during-task", "1", "--log-level", "4",
                               "--time-scale", "0.15"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    EXPECT_TRUE(run.report["deletedMidTask"].get<bool>());
    // The driver sat in its 8 s settle (1.2 s at this scale); deletion does
    // not wait it out, nor the reader's pause of one scaled second.
    EXPECT_LT(run.report["deleteSeconds"].get<double>(), 0.8);
    const std::string log = zeb_test::ReadFile(root / "library.log");
    EXPECT_EQ(log.find("Task Running End"), std::string::npos);
}

// ISP tool mode: a streaming client fetches the newest processed preview
// frame while the HAL files one per preview period and the task list plays.
TEST(EndToEnd, IspToolModeStreamsWholePreviewFramesToAClient) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "preview", "--isp-tool", "--preview-size", "320x240", "--log-level", "4"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    EXPECT_EQ(run.report["totals"]["completedTasks"], 2);
    const auto& isp = run.report["ispTool"];
    const int64_t pushed = isp["pushed"], fetched = isp["fetched"], repeated = isp["repeated"],
                  skipped = isp["skipped"];
    EXPECT_GT(pushed, 20);
    EXPECT_GT(fetched, 0);
    EXPECT_EQ(isp["torn"], 0);
    EXPECT_TRUE(isp["errors"].empty()) << isp["errors"].dump();
    // Frames fetched for the first time, and those never fetched between
    // them, are frames that were pushed.
    EXPECT_LE(fetched - repeated + skipped, pushed);
    const std::string picture = isp["picture"];
    EXPECT_EQ(zeb_test::ReadFile(picture).substr(1, 3), "PNG");
    const std::string log = zeb_test::ReadFile(root / "library.log");
    EXPECT_NE(log.find("Start create Camera Id 0"), std::string::npos);
    EXPECT_NE(log.find("Width IS 320, height is 240"), std::string::npos);
    EXPECT_NE(log.find("Delete Socket Server 0"), std::string::npos);
}

// The loaded file of a scenario folder, from a tuning entry of the report.
const nlohmann::json* Loaded(const nlohmann::json& entry, const std::string& path) {
    for (const auto& file : entry["loaded"]) {
        if (file["path"] == path) return &file;
    }
    return nullptr;
}

std::vector<float> ValuesOf(const nlohmann::json& entry, const std::string& path) {
    const nlohmann::json* file = Loaded(entry, path);
    return file ? (*file)["values"].get<std::vector<float>>() : std::vector<float>();
}

// Sweeps of 2 and 3 alternatives, the first block varying fastest: after each
// entry the sensor side holds exactly that entry's values in every scenario
// folder, has reloaded once more, and the HAL's flag record holds the flags
// of the block list (rgbgain 0, awb 1, lsc 0, cmc 1, xtm 1). Then the test
// tool's UpateBypassMode patches each block's word by its state.
TEST(EndToEnd, TuningSweepInstallsEachCombinationInOrderAndTheSensorReloadsIt) {
    zeb_test::TempDir root;
    HalRun run = RunHal(root, {"--generate", "tuning", "--time-scale", "0.02", "--bypass-mode"});
    ASSERT_EQ(run.status, 0) << zeb_test::ReadFile(root / "hal-out/report.json");
    EXPECT_EQ(run.report["sweptBlocks"], (std::vector<std::string>{"AE_V5", "CMC10_V1"}));
    const auto& task = run.report["tasks"].at(0);
    ASSERT_EQ(task["tuning"].size(), 6u);
    const float ae[] = {1, 2}, cmc[] = {10, 20, 30};
    for (int i = 0; i < 6; ++i) {
        const auto& entry = task["tuning"][i];
        SCOPED_TRACE("tuning entry " + std::to_string(i));
        EXPECT_EQ(entry["combination"], (std::vector<int>{i % 2, i / 2}));
        for (const char* folder : {"prv/", "cap/", "com/"}) {
            EXPECT_EQ(ValuesOf(entry, folder + std::string("AE_V5_16433.bin")), (std::vector<float>{ae[i % 2], 8, 16}));
            EXPECT_EQ(ValuesOf(entry, folder + std::string("CMC10_V1_16500.bin")),
                      (std::vector<float>{cmc[i / 2], 1, 2, 3}));
            EXPECT_EQ(ValuesOf(entry, folder + std::string("XTM_V1_16440.bin")), std::vector<float>{0.75f})
                << "a block that is not swept keeps its first install";
        }
        EXPECT_EQ(entry["reloads"], i + 1);
        EXPECT_EQ(entry["triggerLoads"], i + 1);
        EXPECT_EQ(entry["updateFlags"], (std::vector<int>{0, 1, 0, 1, 1}));
        EXPECT_TRUE(entry["rejected"].empty());
    }
    EXPECT_TRUE(task["completed"].get<bool>());
    EXPECT_EQ(run.report["totals"]["errors"], 0);

    // State 2 bypasses, 1 and 3 run, 0 takes the scenario's bypass list
    // (prv: CMC10_V1 1, TRG_AFL 0; cap: CMC10_V1 0, TRG_AFL 2; com: CMC 3);
    // the trigger file's word is the one at byte 8.
    const auto& bypass = run.report["bypass"];
    ASSERT_TRUE(bypass["called"].get<bool>()) << bypass["error"];
    std::map<std::string, int> words;
    for (const auto& file : bypass["files"]) words[file["path"]] = file["after"];
    const std::map<std::string, int> expected = {
        {"prv/XTM_V1_16440.bin", 1},      {"cap/XTM_V1_16440.bin", 1},      {"com/XTM_V1_16440.bin", 1},
        {"prv/AWB_V2_16400.bin", 0},      {"cap/LSC_V1_16420.bin", 0},      {"com/AE_V5_16433.bin", 0},
        {"prv/CMC10_V1_16500.bin", 1},    {"cap/CMC10_V1_16500.bin", 0},    {"com/CMC10_V1_16500.bin", 3},
        {"prv/TRG_AFL_V3_16410.bin", 0}, {"cap/TRG_AFL_V3_16410.bin", 2}, {"com/TRG_AFL_V3_16410.bin", 1}};
    for (const auto& word : expected) EXPECT_EQ(words[word.first], word.second) << word.first;
    EXPECT_EQ(bypass["updateFlags"], (std::vector<int>{0, 1, 1, 1, 1}));
    EXPECT_EQ(bypass["reloads"], 7);
}

// A copy of the library in a folder of its own finds no plugin: the two
// level-1 lines, then every conversion but the 3A one still happens.
TEST(EndToEnd, WithoutTheConverterPluginThe3ABlockKeepsItsFirstInstall) {
    zeb_test::TempDir root;
    std::filesystem::create_directories(root / "lib");
    std::filesystem::copy_file(ZEB_LIBRARY_PATH, root / "lib/libzebsim.so");
    HalRun run = RunHal(root, {"--generate", "tuning", "--time-scale", "0.02"}, root / "lib/libzebsim.so");
    const auto& task = run.report["tasks"].at(0);
    ASSERT_EQ(task["tuning"].size(), 6u) << zeb_test::ReadFile(root / "hal-out/report.json");
    const std::string log = zeb_test::ReadFile(root / "library.log");
    EXPECT_NE(log.find("3A xml2bin fail to dlopen"), std::string::npos);
    EXPECT_NE(log.find("3A xml2bin fail to dlsym"), std::string::npos);
    for (int i = 0; i < 6; ++i) {
        const auto& entry = task["tuning"][i];
        EXPECT_EQ(ValuesOf(entry, "prv/AE_V5_16433.bin"), (std::vector<float>{0.5f, 8, 16}));
        EXPECT_EQ(entry["combination"][1], i / 2);
        EXPECT_EQ(entry["reloads"], i + 1);
    }
}

}  // namespace
