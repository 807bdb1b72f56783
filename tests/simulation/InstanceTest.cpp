// SimulationControl on the real task manager, scene module and frame reader:
// teardown in the middle of every wait, the driver's skips, the tuning copy,
// and the queries' answers when their source is absent.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <thread>

#include "frame/VirtualSensorControl.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "SimulationFixture.h"
#include "simulation/SimulationControl.h"

using zeb_platform::LogCapture;
using namespace zeb_sim_test;
using ZEB::SimulationControl;

using zeb_test::Property;

namespace {

// An instance whose virtual sensor reaches `context`'s fake sensor.
std::unique_ptr<SimulationControl> SensorInstance(HalContext& context) {
    auto instance = std::make_unique<SimulationControl>(context.bytes, 0);
    instance->VirtualSensor()->SetSensorOps(&FakeSensor::Ioctl);
    return instance;
}

// Destroys the instance on another thread; false if that does not end.
bool DestroyWithin(std::unique_ptr<SimulationControl> instance, std::chrono::milliseconds limit, double* seconds) {
    auto begin = std::chrono::steady_clock::now();
    auto done = std::async(std::launch::async, [&instance] { instance.reset(); });
    if (done.wait_for(limit) != std::future_status::ready) return false;
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return true;
}

class SimulationInstance : public SimulationTest {};

TEST_F(SimulationInstance, DeletionWhileTheDriverWaitsForTheSnapshotEndsTheWait) {
    Load({TaskSpec(2)});
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    auto instance = SensorInstance(context);
    ASSERT_TRUE(WaitForFrames(*instance));
    instance->GenerateOneJob();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("Wait Capture Start"); }));
    EXPECT_EQ(Property("persist.vendor.cam.zeb.capready"), "1");
    double seconds = 0;
    ASSERT_TRUE(DestroyWithin(std::move(instance), std::chrono::seconds(10), &seconds));
    EXPECT_FALSE(log.Contains("Task Running End"));
    EXPECT_FALSE(log.Contains("Start One Capture"));
}

// Two cameras replay one task list: each reads the tasks into frames of its
// own, so one going away leaves the other's frames alone.
TEST_F(SimulationInstance, TwoCamerasReadTheTaskListIntoFramesOfTheirOwn) {
    Load({TaskSpec(2), TaskSpec(2)});
    property_set("persist.vendor.cam.zeb.tester", "1");
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    auto first = SensorInstance(context);
    auto second = std::make_unique<SimulationControl>(nullptr, 1);
    // Both readers have read both tasks.
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Count("Checking TaskMapper with addr") == 4; }));
    second.reset();
    first->GenerateOneJob();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return first->Finished(); }, std::chrono::seconds(20)));
    EXPECT_EQ(log.Count("Could not Run this task"), 0u);
    EXPECT_EQ(log.Count("Capture has started with FrameSize 2"), 2u);
    EXPECT_EQ(sensor.Frames(), 2 * (1 + 2)) << "per task its first frame as preview, both as capture";
}

TEST_F(SimulationInstance, DeletionDuringTheEightSecondSettleDoesNotWaitItOut) {
    Load({TaskSpec(1), TaskSpec(1)});
    zeb_platform::SetTimeScale(1.0);  // the converge wait now lasts 8 s
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    auto instance = SensorInstance(context);
    ASSERT_TRUE(WaitForFrames(*instance));
    instance->GenerateOneJob();
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("Set preview frame end"); }));
    EXPECT_EQ(sensor.Frames(), 1);
    double seconds = 0;
    ASSERT_TRUE(DestroyWithin(std::move(instance), std::chrono::seconds(20), &seconds));
    // Ending the waits, not outlasting them: far below the 8 s the driver sat in.
    EXPECT_LT(seconds, 4.0);
    EXPECT_FALSE(log.Contains("cap ready"));
    zeb_platform::SetTimeScale(0.01);
}

TEST_F(SimulationInstance, ATaskWithoutFramesIsSkippedAndASlowReaderStillHasItsTaskPlayed) {
    // Task 1's first frame comes at once, its other eight take three limits:
    // only the first is waited for within the limit.
    Load({TaskSpec(0), TaskSpec(9), TaskSpec(1)});
    // Task 2 captures once per tuning entry: the tester owes it two pairs.
    Tasks().at(2)->TaskTuning[0] = {};
    Tasks().at(2)->TaskTuning[1] = {};
    property_set("persist.vendor.cam.zeb.tester", "1");
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    std::unique_ptr<SimulationControl> instance;
    zeb_test::HeldFile slow(FramePath(1, 1) + "/IMG_x_CCM_INFO.bin");  // goes before the instance
    instance = SensorInstance(context);
    ASSERT_TRUE(instance->Tester());
    ZEB::TaskInfo& task = *Tasks(*instance).at(1);
    ASSERT_TRUE(zeb_test::WaitFor([&] {
        MutexLock guard(task.TaskLock);
        return task.TaskFrame.size() == 1;
    }));
    instance->GenerateOneJob();
    instance->GenerateOneJob();  // a second call starts nothing
    ASSERT_TRUE(zeb_test::WaitFor([&] { return log.Contains("buffer with frmId 1"); }));
    zeb_platform::SleepScaled(std::chrono::seconds(3));
    ASSERT_TRUE(slow.Release());
    ASSERT_TRUE(zeb_test::WaitFor([&] { return instance->Finished(); }, std::chrono::seconds(20)));
    EXPECT_EQ(log.Count("Could not Run this task"), 1u);
    EXPECT_EQ(log.Count("Could not Run this task with frmId 0"), 1u);
    EXPECT_EQ(log.Count("Recycling frame 1"), 1u);
    EXPECT_EQ(log.Count("Recycling frame 2"), 1u);
    EXPECT_EQ(log.Count("Task Running End"), 1u);
    EXPECT_EQ(sensor.Frames(), 1 + 9 + 2 * (1 + 1)) << "each entry's first frame as preview, every frame as capture";
    EXPECT_EQ(Property("persist.vendor.cam.zeb.process"), "1");
    EXPECT_EQ(Property("persist.vendor.cam.icap.dump.root.path").rfind(mRoot / "out/ZEB_task2/", 0), 0u);
}

TEST_F(SimulationInstance, TheFirstFrameIsWaitedForItsRealSecondAtAnyTimeScale) {
    // The time scale shortens the driver's pacing, not the reader's I/O: a
    // first frame that takes 300 ms to read is still played at a scale that
    // makes the one-second limit 1 ms.
    struct Scale {
        double was = zeb_platform::TimeScale();
        ~Scale() { zeb_platform::SetTimeScale(was); }
    } restored;
    zeb_platform::SetTimeScale(0.001);
    Load({TaskSpec(1)});
    property_set("persist.vendor.cam.zeb.tester", "1");
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    zeb_test::HeldFile slow(FramePath(0, 0) + "/IMG_x_CCM_INFO.bin");
    std::unique_ptr<SimulationControl> instance = SensorInstance(context);
    instance->GenerateOneJob();
    // Real time has to pass here: the limit under test is a duration.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(slow.Release());
    ASSERT_TRUE(zeb_test::WaitFor([&] { return instance->Finished(); }, std::chrono::seconds(20)));
    EXPECT_EQ(log.Count("Could not Run this task"), 0u);
    EXPECT_EQ(log.Count("Recycling frame 0"), 1u);
    EXPECT_GE(sensor.Frames(), 1);
}

TEST_F(SimulationInstance, EachTuningEntryGetsAFolderOfItsOwn) {
    Load({TaskSpec(1), TaskSpec(1)});
    // Three entries play within a second or two, so two of them share a stamp;
    // every sweep file lands under the same name.
    auto& entries = Tasks().at(0)->TaskTuning;
    for (int i = 0; i < 3; ++i) {
        // An underscore in a folder of the path must not decide the copy's name.
        const std::string file = mRoot / ("tuning_files/Frame" + std::to_string(i) + "_bnr.xml");
        zeb_test::WriteFile(file, std::to_string(i));
        entries[i] = {file};
    }
    const std::string hostile = mRoot / "tuning_files/pre_quote'$(touch pwned)'.xml";
    zeb_test::WriteFile(hostile, "<tuning/>");
    entries[0].push_back(hostile);
    // A stamped folder under this path is longer than the dump root property holds.
    auto& overlong = *Tasks().at(1);
    overlong.TaskOutputPath = mRoot / ("out/" + std::string(80 - (mRoot / "out/").size(), 'L'));
    overlong.TaskTuning[0] = {};
    LogCapture log(4);
    FakeSensor sensor;
    HalContext context(&sensor);
    auto instance = SensorInstance(context);
    ASSERT_TRUE(WaitForFrames(*instance));
    std::vector<std::string> roots;
    {
        FakeHal hal(*instance, [&](int) { roots.push_back(Property("persist.vendor.cam.icap.dump.root.path")); });
        instance->GenerateOneJob();
        ASSERT_TRUE(zeb_test::WaitFor([&] { return instance->Finished(); }, std::chrono::seconds(20)));
    }
    // The tuning updater gives the second task the first one's entries 1 and
    // 2 beside its own entry 0.
    ASSERT_EQ(roots.size(), 6u);
    const std::string output = mRoot / "out/ZEB_task0/";
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(roots[i]);
        ASSERT_EQ(roots[i].rfind(output, 0), 0u);
        EXPECT_TRUE(roots[i].size() == output.size() + 14 || roots[i][output.size() + 14] == '_');
        EXPECT_EQ(zeb_test::ReadFile(roots[i] + "/bnr.xml"), std::to_string(i));
    }
    EXPECT_EQ(zeb_test::ReadFile(roots[0] + "/quote'$(touch pwned)'.xml"), "<tuning/>");
    EXPECT_FALSE(std::filesystem::exists("pwned"));
    EXPECT_TRUE(log.Contains("Could not set the dump root to " + overlong.TaskOutputPath + "/", "SimulationControl", 1));
}

TEST_F(SimulationInstance, EvStatusStopsAtTheTenthEv) {
    Load({TaskSpec(1, true, SceneSpec(1, 0x1000, "1 2 3 4 5 6 7 8 9 10"))});
    LogCapture log(5);
    ASSERT_TRUE(WaitForScene());
    SimulationControl instance(nullptr, 0);
    EXPECT_EQ(instance.GetFrameEvStatus(), 0.0f) << "no EV before the snapshot starts";
    instance.OnSnapshotStart();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(instance.GetFrameEvStatus(), static_cast<float>(i + 1));
    EXPECT_EQ(instance.GetFrameEvStatus(), 0.0f);
    EXPECT_EQ(log.Count("no EV with id 10", "SimulationControl", 1), 1u);
}

TEST_F(SimulationInstance, FaceCountBeyondTheRecordIsCut) {
    SceneSpec scene;
    scene.faces = 100000;
    scene.prevFaces = "0 1 2 3 4";
    Load({TaskSpec(1, true, scene)});
    LogCapture log(1);
    ASSERT_TRUE(WaitForScene());
    SimulationControl instance(nullptr, 0);
    zeb_platform::ResetPsParams();
    instance.SetFdInfo(0, 0);
    // 57 faces of 196 bytes fit the 13,864-byte record from byte 2824.
    EXPECT_EQ(zeb_test::At<uint64_t>(zeb_platform::GetPsRecord(0, 2050).data, 16), 57u);
    EXPECT_TRUE(log.Contains("faces recorded"));
}

TEST_F(SimulationInstance, PropertySwitchesReadAgainWhileTheHalQueriesThem) {
    // GetProperty rewrites the switches a HAL thread's queries read; a
    // ThreadSanitizer build reports the pair unless the switches are safe to
    // share. Without a running task the query copies nothing.
    Load({TaskSpec(1, false)});
    SimulationControl instance(nullptr, 0);
    auto rereading = std::async(std::launch::async, [&instance] {
        for (int i = 0; i < 200; ++i) instance.GetProperty();
    });
    uint8_t out[64];
    memset(out, 0xee, sizeof out);
    do {
        instance.GetFrameYuv(static_cast<void*>(out));
    } while (rereading.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
    rereading.get();
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xee);
}

TEST_F(SimulationInstance, QueriesWithoutSceneOrRunningTaskAnswerNothing) {
    Load({TaskSpec(1, false)});
    LogCapture log(4);
    SimulationControl instance(nullptr, 0);
    EXPECT_TRUE(log.Contains("Not valid context"));
    uint8_t out[64];
    memset(out, 0xee, sizeof out);
    instance.GetFrameSceneInfo(out);
    instance.GetFrameSmartInfo(out);
    instance.GetFrameAndroidInfo(out);
    instance.ReceivingSnapshotCmd();
    instance.SetAeOfflineInfo(out);
    instance.GetFrameYuv(static_cast<void*>(out));
    instance.GetFrameStatisInfo(ZEB::ISP_STATIS_HIST2, reinterpret_cast<unsigned long>(out), sizeof out);
    instance.SetDataUpdate(6, out);
    instance.GetOps(out, 3);
    instance.GetFlag(nullptr);
    EXPECT_EQ(instance.GetPrevFrameYuv(), 0);
    EXPECT_EQ(instance.GetFrameEvStatus(), 0.0f);
    for (uint8_t byte : out) ASSERT_EQ(byte, 0xee);
    EXPECT_GE(log.Count("Scene Parameter not ready"), 3u);
    EXPECT_TRUE(log.Contains("Offline AE info error, could get AE info with frame id 0", "SimulationControl", 1));
    EXPECT_TRUE(log.Contains("cannot match valid frame data"));
    EXPECT_TRUE(log.Contains("no running frame for type 0"));
}

}  // namespace
