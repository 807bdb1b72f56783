#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <memory>

#include "ConfigFiles.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"
#include "support/TestSupport.h"

using zeb_config::Block;
using zeb_config::Image;
using zeb_platform::LogCapture;
using ZEB::ParameterManager;
using ZEB::SimulationControlInterface;

using zeb_test::Property;

namespace {

const char* const kTaskListPath = "/data/vendor/cameraserver/zeb/config/RawListFile.xml";

// The parameter side of the load, on a device root of the test's own.
class TaskManagerLoad : public ::testing::Test {
protected:
    void SetUp() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
        SimulationControlInterface::SetDeviceReady(false);
        SimulationControlInterface::SetZebDataReady(false);
        ParameterManager::CreateParameter("SceneParameter", &mScene);
    }
    void TearDown() override {
        ParameterManager::StopStatusWatch();
        ParameterManager::Clear();
        mManager.reset();
    }

    // `frames[i]` sweep frames for swept block i; tasks of one input folder each.
    void Prepare(int tasks, const std::vector<Block>& blocks) {
        std::vector<Image> images;
        for (int i = 0; i < tasks; ++i) {
            const std::string input = mRoot / ("raw/" + std::to_string(i) + "_frame");
            zeb_config::Write(input + "/iscene_Info.xml", zeb_config::SceneXml(1000 + i, 10, 0, 0.0f));
            images.push_back({{input}, mRoot / ("ZEB_out" + std::to_string(i))});
        }
        zeb_config::Write(mRoot.Device(kTaskListPath), zeb_config::TaskListXml({images}, mRoot / "blocks.xml"));
        zeb_config::Write(mRoot / "blocks.xml", zeb_config::BlockListXml(blocks));
    }
    std::string SweptTask(const std::string& block, int frames) {
        return zeb_config::SweptTask(mRoot.path(), block, frames);
    }
    void Load() { mManager = std::make_unique<ZEB::TaskManager>(); }
    bool DataReady() {
        return zeb_test::WaitFor([] { return SimulationControlInterface::GetZebDataReady(); });
    }
    ZEB::TaskMap& Tasks() { return *static_cast<ZEB::TaskMap*>(mManager->GetParameter(nullptr)); }

    zeb_test::DeviceRoot mRoot;
    ZEB::SceneParameter mScene;
    std::unique_ptr<ZEB::TaskManager> mManager;
};

TEST_F(TaskManagerLoad, SweptBlocksGetModulesAndTheXtmRuleSetsTheProperty) {
    // States 2 and 3 get no sweep; a name holding "XTM" without a tuning task
    // sets the switch by its state (1: "0", 3: "1").
    Prepare(1, {{"BNR", 0, SweptTask("BNR", 2)},
                {"CNR", 1, SweptTask("CNR", 3)},
                {"NLM", 2, SweptTask("NLM", 2)},
                {"DNS", 3, SweptTask("DNS", 2)},
                {"LTM_XTM2", 1, "null"},
                {"XTM", 3, "null"}});
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xtmresult", "7"), 0);
    LogCapture log;
    Load();

    EXPECT_EQ(mManager->MutualNames(), (std::vector<std::string>{"BNR", "CNR"}));
    EXPECT_EQ(ParameterManager::RegisteredNames(), (std::vector<std::string>{"BNR", "CNR", "SceneParameter"}));
    EXPECT_EQ(log.Count("set XTM status 1 done", "ZEBTask"), 1u);
    EXPECT_EQ(Property("persist.vendor.cam.zeb.xtmresult"), "1");
    auto* blocks = static_cast<std::vector<ZEB::IspInfo>*>(mManager->GetParameter(&mRoot));
    ASSERT_EQ(blocks->size(), 6u);
    EXPECT_EQ(ZEB::IspText((*blocks)[5].name), "XTM");
    ASSERT_TRUE(DataReady());

    // Going away puts the switch back as it was found.
    ParameterManager::StopStatusWatch();
    ParameterManager::Clear();
    mManager.reset();
    EXPECT_EQ(Property("persist.vendor.cam.zeb.xtmresult"), "7");
}

TEST_F(TaskManagerLoad, CaptureCountIsTasksTimesTheProductOfSweepFrames) {
    // A block whose tuning task cannot be read has no frames and counts as one.
    Prepare(2, {{"BNR", 0, SweptTask("BNR", 3)}, {"CNR", 0, SweptTask("CNR", 4)}, {"DNS", 0, mRoot / "absent.xml"}});
    Load();
    ASSERT_TRUE(DataReady());  // every sweep is written
    LogCapture log;
    mManager->ParseParameter(nullptr);

    for (const auto& task : Tasks()) {
        const auto& tuning = task.second->TaskTuningMapper;
        ASSERT_EQ(tuning.size(), 3u);
        EXPECT_EQ(tuning.find({"BNR", ""})->first.ParamName, "BNR.xml");
        EXPECT_EQ(tuning.at({"BNR", ""}).size(), 3u);
        EXPECT_EQ(tuning.at({"CNR", ""}).at(3), mRoot / "sweep/CNR/Frame3_CNR.xml");
    }
    EXPECT_TRUE(log.Contains("mTaskMapper size 2 cap_num 12\n"));
    EXPECT_EQ(Property("persist.vendor.cam.zeb.cap.num"), "24");
    // Parsing again starts each task's sweeps afresh.
    mManager->ParseParameter(nullptr);
    EXPECT_EQ(Tasks().at(1)->TaskTuningMapper.size(), 3u);
}

// An instance is created right after the load, while sweeps may still be
// written, and parses into a task list of its own: a sweep done within the
// limit is waited for, one that is not is left out with a level-1 line instead
// of hanging the HAL's call, and the tasks as loaded, which other cameras
// copy, are never rewritten.
TEST_F(TaskManagerLoad, ParsingRightAfterTheLoadWaitsForTheSweepsWithinALimit) {
    Prepare(1, {{"BNR", 0, SweptTask("BNR", 2)}, {"CNR", 0, SweptTask("CNR", 2)}});
    // Each sweep stalls on opening its parameter file until released.
    zeb_test::HeldFile bnr(mRoot / "tune/BNR.xml"), cnr(mRoot / "tune/CNR.xml");
    for (const char* name : {"tune/BNR.xml", "tune/CNR.xml"}) zeb_config::Write(mRoot / name, zeb_config::TuningParamXml());
    zeb_platform::SetTimeScale(0.2);  // a one-second limit
    Load();
    ZEB::TaskMap view = ZEB::TaskListView(Tasks());
    LogCapture log;
    auto parsed = std::async(std::launch::async, [&] { mManager->ParseParameter(&view); });
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("wait for the BNR sweep"); }));
    ASSERT_TRUE(cnr.Release());  // CNR is done while BNR's wait runs
    const bool bounded = parsed.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(bnr.Release());
    parsed.get();
    ASSERT_TRUE(bounded);
    EXPECT_TRUE(log.Contains("the BNR sweep is not ready, this instance plays without it", "ZEBTask", 1));
    EXPECT_FALSE(log.Contains("CNR sweep is not ready"));
    const auto& tuning = view.at(0)->TaskTuningMapper;
    EXPECT_EQ(tuning.count({"BNR", ""}), 0u);
    EXPECT_EQ(tuning.count({"CNR", ""}), 1u);
    EXPECT_TRUE(Tasks().at(0)->TaskTuningMapper.empty());
}

TEST_F(TaskManagerLoad, WithoutBlocksTheDataIsReadyAtOnceAndEachTaskIsOneCapture) {
    Prepare(3, {});
    LogCapture log;
    Load();
    EXPECT_TRUE(SimulationControlInterface::GetZebDataReady());
    EXPECT_TRUE(log.Contains("data ready", "ZEBTask"));
    mManager->ParseParameter(nullptr);
    EXPECT_TRUE(log.Contains("Could not get valid IspConfig"));
    EXPECT_EQ(Property("persist.vendor.cam.zeb.cap.num"), "3");
    EXPECT_TRUE(Tasks().at(0)->TaskTuningMapper.empty());
    // Going away ends the ready loop that never saw the device.
    mManager.reset();
    EXPECT_EQ(Property("persist.vendor.cam.zeb.serverready"), "0");
}

TEST_F(TaskManagerLoad, WithoutATaskListThereIsNothingToCount) {
    LogCapture log;
    Load();
    EXPECT_TRUE(Tasks().empty());
    mManager->ParseParameter(nullptr);
    EXPECT_TRUE(log.Contains("Could not get valid mTaskMapper"));
    EXPECT_EQ(Property("persist.vendor.cam.zeb.cap.num"), "");
}

TEST_F(TaskManagerLoad, ServerReadyWaitsForTheDeviceAndTheData) {
    Prepare(1, {{"BNR", 0, SweptTask("BNR", 2)}});
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.serverready", "1"), 0);
    LogCapture log;
    Load();
    EXPECT_EQ(Property("persist.vendor.cam.zeb.serverready"), "0");
    ASSERT_TRUE(DataReady());
    EXPECT_TRUE(log.Contains("BNR param parse done", "ZEBParameter"));
    EXPECT_EQ(Property("persist.vendor.cam.zeb.serverready"), "0");
    SimulationControlInterface::SetDeviceReady(true);
    EXPECT_TRUE(zeb_test::WaitFor([] { return Property("persist.vendor.cam.zeb.serverready") == "1"; }));
    EXPECT_TRUE(zeb_test::WaitFor([&] { return log.Contains("server ready", "ZEBTask"); }));
}

TEST_F(TaskManagerLoad, ABlockNamedLikeAnotherModuleIsNotTakenForASweep) {
    // The offline 3A modules register after the task manager: their names are
    // refused as well, or their own registration would fail.
    std::vector<Block> blocks{{"BNR", 0, SweptTask("BNR", 2)}};
    for (const char* name : {"SceneParameter", "AE", "AWB", "ALSC", "XTM"}) blocks.push_back({name, 0, SweptTask(name, 2)});
    Prepare(1, blocks);
    LogCapture log;
    Load();
    EXPECT_EQ(mManager->MutualNames(), (std::vector<std::string>{"BNR"}));
    for (const char* name : {"SceneParameter", "AE", "AWB", "ALSC", "XTM"}) {
        EXPECT_TRUE(log.Contains(std::string("block ") + name + ": the name belongs to another module", "ZEBTask", 1))
            << name;
        if (std::string(name) != "SceneParameter") {
            EXPECT_EQ(ParameterManager::GetInstance(name), nullptr) << name;
        }
    }
    ASSERT_TRUE(DataReady());
    mManager->ParseParameter(nullptr);
    EXPECT_EQ(Tasks().at(0)->TaskTuningMapper.size(), 1u);
    EXPECT_EQ(Property("persist.vendor.cam.zeb.cap.num"), "2");
}

}  // namespace
