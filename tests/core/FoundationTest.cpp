#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>

#include "platform/Log.h"
#include "platform/Property.h"
#include "core/SimulationControlInterface.h"
#include "core/ThreadPool.h"
#include "support/TestSupport.h"

using ZEB::SimulationControlInterface;
using zeb_platform::LogCapture;

TEST(ThreadPool, CutsTheNameAndRunsJobsInOrder) {
    ThreadPool pool(1, "a-very-long-pool-name");
    EXPECT_STREQ(pool.Name(), "a-very-long-poo");
    auto name = pool.enqueue([] {
        char buffer[32] = {0};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        return std::string(buffer);
    });
    EXPECT_EQ(name.get(), "a-very-long-poo");

    std::vector<int> order;
    std::vector<std::future<void>> done;
    for (int i = 0; i < 20; ++i) done.push_back(pool.enqueue([&order, i] { order.push_back(i); }));
    for (auto& future : done) future.get();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);

    auto failing = pool.enqueue([]() -> int { throw std::runtime_error("job failed"); });
    EXPECT_THROW(failing.get(), std::runtime_error);
}

TEST(ThreadPool, DrainsTheQueueAtDestruction) {
    std::atomic<int> ran{0};
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    {
        ThreadPool pool(2, "drain");
        for (int i = 0; i < 2; ++i) pool.enqueue([gate, &ran] { gate.wait(); ++ran; });
        for (int i = 0; i < 30; ++i) pool.enqueue([&ran] { ++ran; });
        release.set_value();
    }
    EXPECT_EQ(ran.load(), 32);
}

TEST(ThreadPool, EnqueueOnStoppedPoolIsLoggedAndStillRunsWhileAWorkerLives) {
    LogCapture log(4);
    std::atomic<bool> lateRan{false};
    std::promise<void> started;
    {
        ThreadPool pool(1, "late");
        pool.enqueue([&] {
            started.set_value();
            // Runs while the destructor waits for this worker.
            ASSERT_TRUE(zeb_test::WaitFor([&] { return pool.stopped(); }));
            pool.enqueue([&] { lateRan = true; });
        });
        started.get_future().wait();
    }
    EXPECT_TRUE(lateRan.load());
    EXPECT_EQ(log.Count("enqueue on stopped ThreadPool", "", 4), 1u);
}

TEST(Interface, PropertiesWithTheirDefaults) {
    zeb_test::DeviceRoot root;
    LogCapture log(1);
    char value[PROPERTY_VALUE_MAX];
    using I = SimulationControlInterface;
    const struct {
        int (*set)();
        const char *key, *value;
    } setters[] = {{I::SetPropZEBServerInit, "persist.vendor.cam.zeb.serverready", "0"},
                   {I::SetPropZEBServerReady, "persist.vendor.cam.zeb.serverready", "1"},
                   {I::SetPropZEBCapReady, "persist.vendor.cam.zeb.capready", "1"},
                   {I::SetPropZEBProcess, "persist.vendor.cam.zeb.process", "1"}};
    for (const auto& setter : setters) {
        setter.set();
        EXPECT_EQ(zeb_test::Property(setter.key), setter.value) << setter.key;
    }
    int (*getters[])(char*) = {I::GetPropXmlDebug, I::GetPropZEBLoopParam, I::GetPropZEBTester, I::GetPropXTMHist,
                               I::GetPropLTMHist,  I::GetPropBayerHist,    I::GetPropHist2,     I::GetPropPostProc,
                               I::GetPropXtmFix};
    for (auto getter : getters) {
        strcpy(value, "x");
        getter(value);
        EXPECT_STREQ(value, "0");
    }

    // A dump root the property cannot hold fails aloud and leaves the last one.
    EXPECT_EQ(I::SetPropZEBOutPath("/data/out/run1"), 0);
    const std::string tooLong = "/data/" + std::string(86, 'x');
    EXPECT_EQ(I::SetPropZEBOutPath(tooLong.c_str()), -1);
    EXPECT_EQ(zeb_test::Property("persist.vendor.cam.icap.dump.root.path"), "/data/out/run1");
    EXPECT_TRUE(log.Contains("Could not set the dump root to " + tooLong, "SimulationControl", 1));
}

TEST(Interface, IspModeIsFalseOnlyForTheExactWord) {
    zeb_test::DeviceRoot root;
    EXPECT_FALSE(SimulationControlInterface::isIspMode());
    const char* key = "persist.vendor.cam.isptool.mode.enable";
    for (const char* on : {"False", "0", "falsey", "", "true"}) {
        property_set(key, on);
        EXPECT_TRUE(SimulationControlInterface::isIspMode()) << '"' << on << '"';
    }
    property_set(key, "false");
    EXPECT_FALSE(SimulationControlInterface::isIspMode());
}

TEST(Interface, SleepsAreScaledAndNonPositiveSleepsReturnAtOnce) {
    const auto start = std::chrono::steady_clock::now();
    SimulationControlInterface::Sleep(0);
    SimulationControlInterface::Sleep(-5);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
    EXPECT_EQ(SimulationControlInterface::AlgConvergeDuration(), std::chrono::seconds(8));
    EXPECT_EQ(SimulationControlInterface::ServerReadyCircleDuration(), std::chrono::milliseconds(200));
}
