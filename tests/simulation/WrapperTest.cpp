// The entry points' registry and the statistic translation, called as the
// HAL calls them.
#include <gtest/gtest.h>

#include "platform/Log.h"
#include "simulation/SimulationControl.h"
#include "simulation/SimulationWrapper.h"
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
