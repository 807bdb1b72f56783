#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "ConfigFiles.h"
#include "parameter/ConfigReader.h"
#include "parameter/MutualParam.h"
#include "parameter/TuningTask.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "support/TestSupport.h"

using zeb_config::Parameter;
using zeb_platform::LogCapture;
using ZEB::ParamTaskInfoTag;
using ZEB::SweepFileMap;

namespace {

// The text of the element `path` selects in a generated file.
std::string ValueIn(const std::string& file, const std::string& path) {
    pugi::xml_document doc;
    if (!doc.load_file(file.c_str())) return "<unreadable>";
    return doc.select_node(path.c_str()).node().text().get();
}

class Sweep : public ::testing::Test {
protected:
    void SetUp() override {
        zeb_config::Write(mRoot / "tune/bnr.xml", zeb_config::TuningParamXml());
        std::filesystem::create_directories(mRoot / "out");
    }

    // Parses a tuning task of these ParametersConfig elements and sweeps it.
    SweepFileMap Run(const std::vector<std::string>& configs, ParamTaskInfoTag* task) {
        zeb_config::Write(mRoot / "task.xml",
                          zeb_config::TuningTaskXml("BNR", mRoot / "tune/bnr.xml", mRoot / "out/", configs));
        mReader.ParseTuningTaskXML(task, (mRoot / "task.xml").c_str());
        SweepFileMap files;
        mReader.TraverseParam(task, &files, "_bnr.xml");
        return files;
    }
    SweepFileMap Run(const std::vector<std::string>& configs) {
        ParamTaskInfoTag task;
        return Run(configs, &task);
    }
    std::vector<std::string> Values(const SweepFileMap& files, const std::string& path) {
        std::vector<std::string> values;
        for (const auto& file : files) values.push_back(ValueIn(file.second, path));
        return values;
    }
    void ClearOutput() {
        std::filesystem::remove_all(mRoot / "out");
        std::filesystem::create_directories(mRoot / "out");
    }
    void LoopMode() { ASSERT_EQ(property_set("persist.vendor.cam.loop.parse", "1"), 0); }

    zeb_test::DeviceRoot mRoot;
    ZEB::ConfigReader mReader;
};

TEST_F(Sweep, ValueTextsNeverPassTheEndValue) {
    ZEB::ParamConfigInfoTag param;
    param.From[0] = 1.5f;
    param.To[0] = 9.0f;
    param.Step[0] = 2.0f;
    std::string text;
    mReader.ModifyValue(param, 9, text);
    EXPECT_EQ(text, "9.000000");
    param.Array = 3;
    param.From[1] = param.To[1] = 2.0f;
    param.From[2] = 3.0f;
    param.To[2] = -3.0f;
    param.Step[2] = 4.0f;
    text.clear();
    mReader.ModifyValue(param, 5, text);  // a falling value stops at its end too
    EXPECT_EQ(text, " 9.000000 2.000000 -3.000000 ");
}

TEST_F(Sweep, FromToStepGiveTheFramesAndValues) {
    struct Case {
        const char *from, *to, *step;
        std::vector<std::string> values;
    } cases[] = {
        {"0", "10", "5", {"0.000000", "5.000000", "10.000000"}},
        {"0", "10", "4", {"0.000000", "4.000000", "8.000000"}},  // 3.5 frames cut to 3
        {"10", "0", "3", {"10.000000", "7.000000", "4.000000", "1.000000"}},
        {"2", "5", "0", {"2.000000"}},
        {"0", "6", "-3", {"0.000000", "3.000000", "6.000000"}},  // a step counts by its size
        // Counted in single precision: 0.7f / 0.1f is 7, not 6.99...
        {"0", "0.7", "0.1",
         {"0.000000", "0.100000", "0.200000", "0.300000", "0.400000", "0.500000", "0.600000", "0.700000"}},
    };
    for (const Case& c : cases) {
        ClearOutput();
        ParamTaskInfoTag task;
        SweepFileMap files = Run({Parameter("Block/Table/offset", c.from, c.to, c.step)}, &task);
        SCOPED_TRACE(std::string(c.from) + " " + c.to + " " + c.step);
        EXPECT_EQ(task.MaxFrameNum, static_cast<int>(c.values.size()));
        ASSERT_EQ(files.size(), c.values.size());
        EXPECT_EQ(Values(files, "/Block/Table[1]/offset"), c.values);
        for (const auto& file : files) {
            EXPECT_EQ(file.second, mRoot / ("out/Frame" + std::to_string(file.first) + "_bnr.xml"));
            // Only the addressed value moves.
            EXPECT_EQ(ValueIn(file.second, "/Block/Table[2]/offset"), "9");
            EXPECT_EQ(ValueIn(file.second, "/Block/Table[1]/gain"), "1 2 3");
        }
    }
}

TEST_F(Sweep, ArraysTakeTheLongestPositionAndKeepTheFilesValuesWhereNothingMoves) {
    SweepFileMap files = Run({Parameter("Block/Table[2]/gain", "0 0 1", "0 0 3", "0 0 1", "array=\"3\"")});
    EXPECT_EQ(Values(files, "/Block/Table[2]/gain"),
              (std::vector<std::string>{" 4.000000 5.000000 1.000000 ", " 4.000000 5.000000 2.000000 ",
                                        " 4.000000 5.000000 3.000000 "}));
    EXPECT_EQ(ValueIn(files.at(0), "/Block/Table[1]/gain"), "1 2 3");

    ClearOutput();
    ParamTaskInfoTag task;
    files = Run({Parameter("Block/Table[1]/gain", "1 1 1", "1 3 2", "0 1 1", "array=\"0x3\" sync=\"0x2\"")}, &task);
    ASSERT_EQ(task.SyncParamMap.count(2), 1u);
    EXPECT_EQ(Values(files, "/Block/Table[1]/gain"),
              (std::vector<std::string>{" 1.000000 1.000000 1.000000 ", " 1.000000 2.000000 2.000000 ",
                                        " 1.000000 3.000000 2.000000 "}));
}

// Two groups of two and three frames: side by side (the shorter one stays at
// its end value), or in loop mode every combination, the first group fastest.
TEST_F(Sweep, SyncGroupsMoveTogetherOrInEveryCombination) {
    using V = std::vector<std::string>;
    const struct {
        bool loop;
        V first, second;
    } cases[] = {
        {false, {"0.000000", "1.000000", "1.000000"}, {"10.000000", "20.000000", "30.000000"}},
        {true, {"0.000000", "1.000000", "0.000000", "1.000000", "0.000000", "1.000000"},
         {"10.000000", "10.000000", "20.000000", "20.000000", "30.000000", "30.000000"}},
    };
    for (const auto& c : cases) {
        ClearOutput();
        ASSERT_EQ(property_set("persist.vendor.cam.loop.parse", c.loop ? "1" : "0"), 0);
        ParamTaskInfoTag task;
        SweepFileMap files = Run({Parameter("Block/Table[1]/offset", "0", "1", "1", "sync=\"1\"") +
                                  Parameter("Block/Table[2]/offset", "10", "30", "10", "sync=\"2\"")},
                                 &task);
        EXPECT_EQ(task.MaxFrameNum, 3);
        EXPECT_EQ(Values(files, "/Block/Table[1]/offset"), c.first) << c.loop;
        EXPECT_EQ(Values(files, "/Block/Table[2]/offset"), c.second) << c.loop;
    }
}

TEST_F(Sweep, GroupsAcrossConfigsKeepTheirFirstDefinition) {
    ParamTaskInfoTag task;
    Run({Parameter("Block/Table[1]/offset", "0", "4", "1"),
         Parameter("Block/Table[2]/offset", "0", "1", "1") + Parameter("Block/Table[1]/gain", "0", "9", "1", "sync=\"3\"")},
        &task);
    ASSERT_EQ(task.SyncParamMap.size(), 2u);
    EXPECT_EQ(task.SyncParamMap.at(0).Params.size(), 1u);
    EXPECT_EQ(task.SyncParamMap.at(0).FrameNum, 5);
    EXPECT_EQ(task.SyncParamMap.at(3).FrameNum, 10);
    EXPECT_EQ(task.MaxFrameNum, 10);
}

TEST_F(Sweep, ParametersOutsideWhatTheSweepHoldsAreRefused) {
    std::string many;
    for (int i = 0; i < 257; ++i) many += "1 ";
    LogCapture log;
    ParamTaskInfoTag task;
    SweepFileMap files = Run({Parameter("Block/Table/offset", "0", "1", "1", "array=\"-2\"") +
                              Parameter("Block/Table/offset", many, "1", "1", "sync=\"4\"") +
                              Parameter("Block/" + std::string(300, 'T'), "0", "1", "1", "sync=\"5\"") +
                              Parameter("Block/Table/offset", "0", "1", "1", "array=\"300\" sync=\"6\"") +
                              Parameter("Block/Table/offset", "0", "1e30", "1e-30", "sync=\"7\"") +
                              Parameter("Block/Table[2]/offset", "0", "2", "1", "sync=\"8\"")},
                             &task);
    EXPECT_EQ(log.Count("refused", "ZEBParameter", 1), 5u);
    ASSERT_EQ(task.SyncParamMap.size(), 1u);
    EXPECT_EQ(task.SyncParamMap.count(8), 1u);
    EXPECT_EQ(files.size(), 3u);
}

TEST_F(Sweep, NoSweepWritesMoreThanTheFrameLimit) {
    ASSERT_EQ(ZEB::kMaxSweepFrames, 1024);
    ParamTaskInfoTag task;
    LogCapture log(1);
    zeb_config::Write(mRoot / "task.xml",
                      zeb_config::TuningTaskXml("BNR", mRoot / "tune/bnr.xml", mRoot / "out/",
                                                {Parameter("Block/Table/offset", "0", "1023", "1") +
                                                 Parameter("Block/Table/gain", "0", "1024", "1", "sync=\"1\"") +
                                                 Parameter("Block/Table/gain", "1 0", "1 2147483647", "0 1",
                                                           "array=\"2\" sync=\"2\"")}));
    mReader.ParseTuningTaskXML(&task, (mRoot / "task.xml").c_str());
    EXPECT_EQ(task.MaxFrameNum, 1024);
    EXPECT_EQ(task.SyncParamMap.size(), 1u);
    EXPECT_EQ(log.Count("sweep frames: refused", "ZEBParameter", 1), 2u);

    // Loop mode multiplies the groups: 32 x 33 frames is past the limit.
    LoopMode();
    SweepFileMap files = Run({Parameter("Block/Table/offset", "0", "31", "1") +
                              Parameter("Block/Table/gain", "0", "32", "1", "sync=\"1\"")});
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(log.Contains("combine into more than 1024 sweep frames, nothing written", "ZEBParameter", 1));
    EXPECT_TRUE(std::filesystem::is_empty(mRoot / "out"));
}

TEST_F(Sweep, PathsAreElementNamesWithAnIndexFromOneOrRefused) {
    const char* const refused[] = {
        "Block/Table[-2147483648]/offset", "Block/Table[0]/offset", "Block/Table[2147483648]/offset",
        "Block/Table[+1]/offset", "Block/Table[]/offset", "Block/Table[1][1]/offset", "Block//offset",
        "Block/Table/", "", " Block/Table", "Block/*/offset", "Block/descendant::*[descendant::*]/offset",
        "Block/Table[last()]/offset", "Block/count(Table)", "1Block/Table",
    };
    std::string config;
    for (const char* path : refused) config += Parameter(path, "0", "1", "1");
    config += Parameter("Block/Table[2147483647]/offset", "0", "1", "1") + Parameter("Block/Tab_le-2.x", "0", "1", "1");
    LogCapture log(1);
    ParamTaskInfoTag task;
    Run({config}, &task);
    EXPECT_EQ(log.Count("(n from 1): refused", "ZEBParameter", 1), std::size(refused));
    EXPECT_TRUE(log.Contains((mRoot / "task.xml") + ": Parameter[11] path \"Block/descendant::*[descendant::*]/offset\""));
    ASSERT_EQ(task.SyncParamMap.size(), 1u);
    const auto& params = task.SyncParamMap.at(0).Params;
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0].Paths[1].Path, "Table");
    EXPECT_EQ(params[0].Paths[1].Position, 2147483646);
    EXPECT_EQ(params[1].Paths[1].Path, "Tab_le-2.x");
    EXPECT_EQ(params[1].Paths[1].Position, 0);
}

TEST_F(Sweep, NothingToSweepOrBadTaskFilesGiveNoGroupsAndWriteNothing) {
    EXPECT_TRUE(Run({}).empty());
    LoopMode();
    ParamTaskInfoTag task;
    EXPECT_TRUE(Run({""}, &task).empty());
    EXPECT_TRUE(task.SyncParamMap.empty());
    EXPECT_TRUE(std::filesystem::is_empty(mRoot / "out"));

    ParamTaskInfoTag bad;
    LogCapture log;
    mReader.ParseTuningTaskXML(&bad, nullptr);
    mReader.ParseTuningTaskXML(nullptr, "x");
    mReader.ParseTuningTaskXML(&bad, (mRoot / "absent.xml").c_str());
    zeb_config::Write(mRoot / "other.xml", "<Parameters><Block>B</Block></Parameters>");
    mReader.ParseTuningTaskXML(&bad, (mRoot / "other.xml").c_str());
    EXPECT_EQ(log.Count("Could not get enought input"), 2u);
    EXPECT_TRUE(log.Contains("Could not find rootnode", "ZEBParameter", 1));
    EXPECT_TRUE(bad.SyncParamMap.empty());
    EXPECT_EQ(bad.MaxFrameNum, 0);
}

TEST_F(Sweep, PathsThatSelectNothingStillWriteTheRestOfTheFile) {
    LogCapture log;
    SweepFileMap files = Run({Parameter("Block/Nothing/offset", "0", "1", "1") +
                              Parameter("Block/Table[3]/offset", "0", "1", "1") +
                              Parameter("Block/Table[1]/gain", "5", "6", "1")});
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(Values(files, "/Block/Table[1]/gain"), (std::vector<std::string>{"5.000000", "6.000000"}));
    EXPECT_EQ(ValueIn(files.at(1), "/Block/Table[1]/offset"), "7");
    // A path under another root writes the file unchanged.
    files = Run({Parameter("Other/Table/offset", "0", "1", "1")});
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(log.Contains("Could not find rootnode", "ZEBParameter", 1));
    EXPECT_EQ(ValueIn(files.at(1), "/Block/Table[1]/offset"), "7");
}

TEST_F(Sweep, UnreadableParameterFileOrOutputFolder) {
    ParamTaskInfoTag task;
    {
        LogCapture log;
        std::filesystem::remove(mRoot / "tune/bnr.xml");
        EXPECT_TRUE(Run({Parameter("Block/Table/offset", "0", "1", "1")}, &task).empty());
        EXPECT_EQ(log.Count("Document not load successfully!", "ZEBParameter", 1), 2u);
    }
    // A folder that is not there: nothing can be written, and a sweep with
    // a frame missing is dropped whole rather than played with a hole.
    zeb_config::Write(mRoot / "tune/bnr.xml", zeb_config::TuningParamXml());
    task.OutputPath = mRoot / "missing/";
    SweepFileMap files;
    LogCapture log;
    EXPECT_FALSE(mReader.TraverseParam(&task, &files, "_bnr.xml"));
    EXPECT_TRUE(files.empty());
    EXPECT_TRUE(log.Contains("could not write " + mRoot / "missing/Frame0_bnr.xml", "ZEBParameter", 1));
    EXPECT_TRUE(log.Contains("the sweep of BNR is dropped", "ZEBParameter", 1));
    EXPECT_FALSE(std::filesystem::exists(mRoot / "missing"));
}

TEST_F(Sweep, LoopModeStopsAtAGroupThatIsNotThere) {
    ParamTaskInfoTag task;
    Run({Parameter("Block/Table/offset", "0", "1", "1")}, &task);
    ZEB::FrameNumInfoTag frame;
    frame.Loop = true;
    frame.SyncFrames = {{0, 0}, {1, 42}};
    SweepFileMap files;
    LogCapture log;
    mReader.ModifyNode((mRoot / "tune/bnr.xml").c_str(), &frame, &task, &files, "Lost.xml");
    EXPECT_TRUE(log.Contains("key = 42, do not find the value in paramInfoMap!"));
    EXPECT_TRUE(files.empty());
    EXPECT_FALSE(std::filesystem::exists(mRoot / "out/Lost.xml"));
}

class Mutual : public Sweep {};

TEST_F(Mutual, PreparesTheBlocksSweepUnderItsKey) {
    zeb_config::Write(mRoot / "task.xml",
                      zeb_config::TuningTaskXml("BNR", mRoot / "tune/bnr.xml", mRoot / "out/",
                                                {Parameter("Block/Table/offset", "0", "2", "1")}));
    ZEB::MutualParam module((mRoot / "task.xml").c_str());
    ASSERT_TRUE(zeb_test::WaitFor([&] { return module.GetStatus(nullptr)->IsReady(); }));
    auto* sweep = static_cast<ZEB::TuningSweepMap*>(module.GetParameter(nullptr));
    ASSERT_NE(sweep, nullptr);
    ASSERT_EQ(sweep->size(), 1u);
    EXPECT_EQ(sweep->begin()->first.BlockName, "BNR");
    EXPECT_EQ(sweep->begin()->first.ParamName, "bnr.xml");
    const auto& frames = sweep->begin()->second;
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames.at(2), mRoot / "out/Frame2_bnr.xml");
    EXPECT_EQ(ValueIn(frames.at(2), "/Block/Table[1]/offset"), "2.000000");
    EXPECT_EQ(ZEB::MutualParam::FileNamePart("bnr.xml"), "bnr.xml");

    // An unreadable task gives an entry without frames.
    ZEB::MutualParam unreadable((mRoot / "absent.xml").c_str());
    ASSERT_TRUE(zeb_test::WaitFor([&] { return unreadable.GetStatus(nullptr)->IsReady(); }));
    sweep = static_cast<ZEB::TuningSweepMap*>(unreadable.GetParameter(nullptr));
    ASSERT_TRUE(sweep && sweep->size() == 1u);
    EXPECT_TRUE(sweep->begin()->second.empty());
}

TEST_F(Mutual, NeverHandsOutASweepStillBeingWritten) {
    constexpr int kFrames = 400;
    zeb_config::Write(mRoot / "task.xml",
                      zeb_config::TuningTaskXml("BNR", mRoot / "tune/bnr.xml", mRoot / "out/",
                                                {Parameter("Block/Table/offset", "1", std::to_string(kFrames), "1")}));
    LogCapture log;
    ZEB::MutualParam module((mRoot / "task.xml").c_str());
    size_t seenNull = 0;
    ZEB::TuningSweepMap* sweep = nullptr;
    ASSERT_TRUE(zeb_test::WaitFor([&] {
        sweep = static_cast<ZEB::TuningSweepMap*>(module.GetParameter(nullptr));
        if (!sweep) ++seenNull;
        return sweep != nullptr;
    }));
    ASSERT_EQ(sweep->begin()->second.size(), static_cast<size_t>(kFrames));
    EXPECT_EQ(log.Count("No MutualParam param nMutualParamd to modify"), seenNull);
}

TEST_F(Mutual, DestroyingWhilePreparingEndsThePreparation) {
    zeb_config::Write(mRoot / "task.xml",
                      zeb_config::TuningTaskXml("BNR", mRoot / "tune/bnr.xml", mRoot / "out/",
                                                {Parameter("Block/Table/offset", "1", "1024", "1")}));
    auto module = std::make_unique<ZEB::MutualParam>((mRoot / "task.xml").c_str());
    ASSERT_TRUE(zeb_test::WaitFor([&] { return std::filesystem::exists(mRoot / "out/Frame1_bnr.xml"); }));
    module.reset();
    size_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(mRoot / "out")) written += entry.is_regular_file();
    EXPECT_LT(written, 1024u);
}

}  // namespace
