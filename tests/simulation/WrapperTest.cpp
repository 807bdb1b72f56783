// The entry points' registry and the statistic translation, called as the
// HAL calls them.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Log.h"
#include "platform/ParamSet.h"
#include "platform/Property.h"
#include "simulation/SimulationControl.h"
#include "simulation/SimulationWrapper.h"
#include "socket/SocketServerManager.h"
#include "support/TestSupport.h"

using zeb_platform::LogCapture;

TEST(Wrapper, StatisticTypesTranslateToTheInstanceKinds) {
    const int expected[] = {4, 2, 4, 4, 4, 4, 4, 4, 3, 0, 1, 4};
    for (int type = 0; type <= 11; ++type) EXPECT_EQ(ZEB::TranslateStatisType(type), expected[type]) << type;
    EXPECT_EQ(ZEB::TranslateStatisType(-3), 4);
}

TEST(Wrapper, RegistryCreatesFindsAndDeletesByCameraId) {
    zeb_test::DeviceRoot root;
    LogCapture log(4);
    CheckSimulationDeinit();  // empty: nothing happens
    void* first = CreateSimulation(nullptr, 0);
    void* second = CreateSimulation(nullptr, 2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(Getinstance(0), first);
    EXPECT_EQ(Getinstance(2), second);

    DeleteSimulation(7);  // never created: the others stay
    EXPECT_EQ(Getinstance(0), first);
    DeleteSimulation(0);
    EXPECT_EQ(Getinstance(0), nullptr);
    EXPECT_TRUE(log.Contains("cannot getinstance", "SimulationWrapper", 1));
    EXPECT_EQ(Getinstance(2), second);

    // A second instance for a camera id replaces the first; both are released
    // when the registry is emptied.
    void* replacement = CreateSimulation(nullptr, 2);
    EXPECT_EQ(Getinstance(2), replacement);
    EXPECT_TRUE(log.Contains("replaced before it was deleted"));
    CheckSimulationDeinit();
    EXPECT_EQ(Getinstance(2), nullptr);
}

TEST(Wrapper, NullHandlesAreRefusedWithALogLine) {
    LogCapture log(1);
    uint8_t out[64] = {0};
    GetFrameSceneInfo(nullptr, out);
    GetFrameiSceneInfo(nullptr, out);
    EXPECT_EQ(log.Count("Not valid instance"), 0u) << "these two ignore a null handle silently";
    GetFrameSmartInfo(nullptr, out);
    GenerateOneJob(nullptr);
    NotifySnapshotStatus(nullptr, true);
    EXPECT_EQ(GetFrameEvStatus(nullptr), 0.0f);
    EXPECT_FALSE(GetFrameYuv(nullptr, nullptr, nullptr));
    EXPECT_EQ(SetGrabOps(nullptr, nullptr), -1);
    EXPECT_EQ(log.Count("Not valid instance", "SimulationWrapper", 1), 6u);
    NotifyMultiEV2ZEB(5);  // no instance: nothing
}

// The streaming family as the HAL and a streaming client call it.
TEST(Wrapper, StreamingIsGatedByIspToolModeAndFindsHandlersByCameraId) {
    zeb_test::DeviceRoot root;
    pvk::ParamSet::createInstance();
    int32_t size[2] = {8, 4};
    setPsParam(4, 0, 0, 2095, size);
    std::vector<uint8_t> frame(8 * 4 * 3 / 2, 0x5a), out(8 * 4 * 3 / 2, 0);
    LogCapture log(4);

    // Off: "false", the default, is the only value that turns it off.
    CreateSocketServer(4);
    EXPECT_TRUE(log.Contains("CreateSocketServer: Start create Camera Id 4", "SimulationWrapper", 4));
    SettingSocketBuffer(4, frame.data());
    EXPECT_EQ(GettingLatestFrame(4, out.data()), -1);
    EXPECT_EQ(GettingPreviewWidth(4), 1440) << "nothing was filed while off";
    EXPECT_EQ(GettingPreviewHeight(4), 1080);

    property_set("persist.vendor.cam.isptool.mode.enable", "0");
    SettingSocketBuffer(4, frame.data());
    ASSERT_EQ(GettingLatestFrame(4, out.data()), 0);
    EXPECT_EQ(out, frame);
    EXPECT_EQ(GettingPreviewWidth(4), 8);
    EXPECT_EQ(GettingPreviewHeight(4), 4);

    // No handler: -1 and a level-1 line. The frame calls leave an empty
    // entry behind; the size getters do not.
    EXPECT_EQ(GettingLatestFrame(6, out.data()), -1);
    EXPECT_TRUE(log.Contains("GettingLatestFrame: Could not fin SocketServerInstance", "SimulationWrapper", 1));
    SettingSocketBuffer(7, frame.data());
    EXPECT_EQ(GettingPreviewWidth(9), -1);
    EXPECT_EQ(GettingPreviewHeight(9), -1);
    EXPECT_EQ(log.Count("Could not fin SocketServerInstance", "SimulationWrapper", 1), 3u);
    auto& registry = ZEB::SocketServerManager::Instance();
    EXPECT_TRUE(registry.HasEntry(6));
    EXPECT_TRUE(registry.HasEntry(7));
    EXPECT_FALSE(registry.HasEntry(9));

    DeleteSocketServer();
    EXPECT_EQ(log.Count("Delete Socket Server", "SimulationWrapper", 4), 1u);
    EXPECT_TRUE(log.Contains("DeleteSocketServer: Delete Socket Server 4"));
    EXPECT_EQ(registry.EntryCount(), 0u);
    EXPECT_EQ(GettingLatestFrame(4, out.data()), -1);
}
