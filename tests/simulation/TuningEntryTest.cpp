// The driver's tuning entries as a tuning engineer compares them: an entry
// whose combination could not be installed is played in its place under the
// tuning installed before, and its output folder says so.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "SimulationFixture.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/SensorTuning.h"
#include "frame/VirtualSensorControl.h"
#include "simulation/SimulationControl.h"
#include "tuning/TuningPaths.h"

namespace {

using zeb_platform::LogCapture;
using zeb_sim_test::FakeHal;
using zeb_sim_test::FakeSensor;
using zeb_sim_test::HalContext;
using zeb_sim_test::TaskSpec;

class TuningEntry : public zeb_sim_test::SimulationTest {
protected:
    void SetUp() override {
#ifdef ZEB_SANITIZED
        // The sanitizers' dlopen becomes the caller of the updater's load by
        // name, and its run path is not ours: load the plugin by path first.
        mPlugin = dlopen(ZEB_BINARY_DIR "/src/libcorvale.so", RTLD_NOW);
#endif
        zeb_platform::SetTimeScale(0.01);
    }
    void TearDown() override {
        SimulationTest::TearDown();
        zeb_platform::ResetSensorTuning();
        if (mPlugin) dlclose(mPlugin);
    }

    void* mPlugin = nullptr;
};

TEST_F(TuningEntry, AFailedCombinationIsMarkedAndPlayedUnderThePreviousTuning) {
    Load({TaskSpec(1)});
    zeb_platform::ResetSensorTuning();
    zeb_platform::SetSensorTuningName(0, "cam");
    zeb_test::WriteFile(mRoot.Device("/vendor/firmware/cam/cfg.xml"), "<cfg/>");
    const char* values[] = {"1", "abc", "3"};
    auto& entries = Tasks().at(0)->TaskTuning;
    for (int i = 0; i < 3; ++i) {
        const std::string file = mRoot / ("sweep/Frame" + std::to_string(i) + "_NR_16700.xml");
        zeb_test::WriteFile(file, std::string("<NR block=\"NR\" id=\"16700\"><v>") + values[i] + "</v></NR>");
        entries[i] = {file};
    }
    LogCapture log(1);
    FakeSensor sensor;
    HalContext context(&sensor);
    auto instance = std::make_unique<ZEB::SimulationControl>(context.bytes, 0);
    instance->VirtualSensor()->SetSensorOps(&FakeSensor::Ioctl);
    ASSERT_TRUE(WaitForFrames(*instance));
    std::vector<std::string> roots;
    std::vector<std::vector<float>> held;  // what the sensor side held at each capture
    {
        FakeHal hal(*instance, [&](int) {
            roots.push_back(zeb_test::Property("persist.vendor.cam.icap.dump.root.path"));
            zeb_platform::WaitSensorIdle(0, std::chrono::seconds(10));
            const auto state = zeb_platform::GetSensorTuningState(0);
            held.push_back(state.files.empty() ? std::vector<float>() : state.files.front().values);
        });
        instance->GenerateOneJob();
        ASSERT_TRUE(zeb_test::WaitFor([&] { return instance->Finished(); }, std::chrono::seconds(20)));
    }
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(held, (std::vector<std::vector<float>>{{1}, {1}, {3}}));
    const std::string marker = std::string("/") + ZEB::kTuningFailedMarker;
    EXPECT_FALSE(std::filesystem::exists(roots[0] + marker));
    EXPECT_FALSE(std::filesystem::exists(roots[2] + marker));
    const std::string text = zeb_test::ReadFile(roots[1] + marker);
    EXPECT_EQ(text.rfind("tuning entry 1 not installed: ", 0), 0u) << text;
    EXPECT_NE(text.find("Frame1_NR_16700.xml\n"), std::string::npos) << text;
    EXPECT_TRUE(log.Contains("TaskTuning index 1 not installed", "SimulationControl", 1));
    EXPECT_TRUE(log.Contains("Frame1_NR_16700.xml", "SimulationControl", 1));
    EXPECT_EQ(log.Count("not installed", "SimulationControl", 1), 1u);
}

}  // namespace
