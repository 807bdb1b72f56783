// The offline 3A modules behind a real instance: once the instance that
// handed them its frames' records is deleted, every wrapper gives the HAL its
// own result and reads nothing of the freed frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "algo/AE.h"
#include "algo/ALSC.h"
#include "algo/AWB.h"
#include "algo/XTM.h"
#include "frame/ZEBFrame.h"
#include "platform/Log.h"
#include "SimulationFixture.h"
#include "simulation/SimulationControl.h"
#include "simulation/SimulationWrapper.h"

using zeb_platform::LogCapture;
using namespace zeb_sim_test;

namespace {

// The HAL's algorithms: they count their calls.
std::atomic<int> gHalCalls{0};
int Called() {
    ++gHalCalls;
    return 0;
}
int Init3(void*, void*, void*) { return Called(); }
int Init2(void*, void*) { return Called(); }
int Process(void*, void*, void*) { return Called(); }
int Ioctl(void*, int, void*, void*) { return Called(); }
int Callback(void*, int64_t, void*, void*) { return Called(); }

using Init3Fn = int (*)(void*, void*, void*);
using Init2Fn = int (*)(void*, void*);
using ProcessFn = int (*)(void*, void*, void*);
using IoctlFn = int (*)(void*, int, void*, void*);
using CallbackFn = int (*)(void*, int64_t, void*, void*);

// One kind's operation table and init parameter (callback at `slot`, when set).
struct HalAlgorithm {
    void* table[4];
    std::vector<uint8_t> init = std::vector<uint8_t>(384, 0);
    size_t slot;
    HalAlgorithm(void* initEntry, size_t callbackSlot) : slot(callbackSlot) {
        void* entries[4] = {initEntry, nullptr, reinterpret_cast<void*>(&Process), reinterpret_cast<void*>(&Ioctl)};
        memcpy(table, entries, sizeof table);
        CallbackFn callback = &Callback;
        if (slot) memcpy(init.data() + slot, &callback, sizeof callback);
    }
    CallbackFn Installed() const { return zeb_test::At<CallbackFn>(init.data(), slot); }
};

class OfflineAlgo : public SimulationTest {};

TEST_F(OfflineAlgo, EveryOfflineWrapperPassesThroughOnceItsInstanceIsDeleted) {
    Load({TaskSpec(2)}, "Capture", {{"AWB", 3}, {"ALSC", 3}, {"XTM", 3}});
    ZEB::AE ae;
    ZEB::AWB awb;
    ZEB::ALSC alsc;
    ZEB::XTM xtm;
    ZEB::ParameterManager::CreateParameter("AE", &ae);
    ZEB::ParameterManager::CreateParameter("AWB", &awb);
    ZEB::ParameterManager::CreateParameter("ALSC", &alsc);
    ZEB::ParameterManager::CreateParameter("XTM", &xtm);
    FakeSensor sensor;
    HalContext context(&sensor);
    void* handle = CreateSimulation(context.bytes, 0);
    ASSERT_NE(handle, nullptr);
    ASSERT_TRUE(WaitForFrames(*static_cast<ZEB::SimulationControl*>(handle)));
    SetSensorIoctlOps(&FakeSensor::Ioctl, handle);
    HalAlgorithm aeHal(reinterpret_cast<void*>(&Init3), 256), awbHal(reinterpret_cast<void*>(&Init2), 376),
        alscHal(reinterpret_cast<void*>(&Init2), 256), xtmHal(reinterpret_cast<void*>(&Init3), 0);
    GetIspAlgOps(handle, aeHal.table, 0);
    GetIspAlgOps(handle, awbHal.table, 1);
    GetIspAlgOps(handle, alscHal.table, 2);
    GetIspAlgOps(handle, xtmHal.table, 5);
    int handleValue = 0, arg = 0;
    reinterpret_cast<Init3Fn>(aeHal.table[0])(aeHal.init.data(), &arg, &arg);
    reinterpret_cast<Init2Fn>(awbHal.table[0])(awbHal.init.data(), &arg);
    reinterpret_cast<Init2Fn>(alscHal.table[0])(alscHal.init.data(), &arg);

    // The driver hands the first task's records over as it starts playing.
    std::vector<uint8_t> out(1248), result(600), toneMap(16384), gamma(514), param(80);
    GenerateOneJob(handle);
    ASSERT_TRUE(zeb_test::WaitFor([&] {
        const int before = gHalCalls.load();
        return reinterpret_cast<IoctlFn>(awbHal.table[3])(&handleValue, 257, nullptr, out.data()) == 0 &&
               reinterpret_cast<IoctlFn>(aeHal.table[3])(&handleValue, 1, &arg, out.data()) == 0 &&
               gHalCalls.load() == before;
    }));

    DeleteSimulation(0);
    LogCapture log;
    const int before = gHalCalls.load();
    const int64_t zero = 0;
    void* live[2] = {nullptr, out.data()};
    void* target[2] = {nullptr, out.data()};
    zeb_test::Put(result, 48, toneMap.data());
    zeb_test::Put(result, 576, gamma.data());
    const std::vector<uint8_t> untouched = result;

    reinterpret_cast<Init3Fn>(aeHal.table[0])(aeHal.init.data(), &arg, &arg);
    reinterpret_cast<ProcessFn>(aeHal.table[2])(&handleValue, param.data(), &arg);
    reinterpret_cast<IoctlFn>(aeHal.table[3])(&handleValue, 1, &arg, out.data());
    aeHal.Installed()(&handleValue, 6, const_cast<int64_t*>(&zero), out.data());
    reinterpret_cast<Init2Fn>(awbHal.table[0])(awbHal.init.data(), &arg);
    reinterpret_cast<ProcessFn>(awbHal.table[2])(&handleValue, param.data(), out.data());
    reinterpret_cast<IoctlFn>(awbHal.table[3])(&handleValue, 257, nullptr, out.data());
    for (int64_t type : {32, 33, 29}) awbHal.Installed()(&handleValue, type, out.data(), live);
    reinterpret_cast<Init2Fn>(alscHal.table[0])(alscHal.init.data(), &arg);
    reinterpret_cast<ProcessFn>(alscHal.table[2])(&handleValue, param.data(), out.data());
    reinterpret_cast<IoctlFn>(alscHal.table[3])(&handleValue, 8, nullptr, target);
    alscHal.Installed()(&handleValue, 28, out.data(), nullptr);
    reinterpret_cast<Init3Fn>(xtmHal.table[0])(&arg, &arg, &arg);
    reinterpret_cast<IoctlFn>(xtmHal.table[3])(&handleValue, 1, &arg, &arg);
    EXPECT_EQ(reinterpret_cast<ProcessFn>(xtmHal.table[2])(&handleValue, param.data(), result.data()), 0);

    // Every call reached the HAL but the fixed XTM calc, which leaves the result as it was.
    EXPECT_EQ(gHalCalls.load() - before, 16);
    EXPECT_EQ(result, untouched);
    EXPECT_TRUE(log.Contains("ZEB_AE error, could get AE info with frame id 0", "ZEB_AE", 1));
    EXPECT_TRUE(log.Contains("ZEB_AWB error, could get AWB info with frame id 0", "ZEB_AWB"));
    EXPECT_TRUE(log.Contains("ZEB_ALSC error, could get ALSC info with frame id 0", "ZEB_ALSC"));
    EXPECT_TRUE(log.Contains("ZEB_XTM error, could get XTM info with frame id 0", "ZEB_XTM", 1));
}

// The frame-information worker logs every frame's recorded AE result while
// the HAL's AE callbacks write the live frame ids into the first frame's,
// which the AE module holds: it reads through the module (ThreadSanitizer
// reports the race otherwise).
TEST_F(OfflineAlgo, TheFrameInformationWorkerReadsTheAeResultsTheCallbacksWrite) {
    Load({TaskSpec(3)});
    ZEB::AE ae;
    ZEB::ParameterManager::CreateParameter("AE", &ae);
    auto instance = std::make_unique<ZEB::SimulationControl>(nullptr, 0);
    ASSERT_TRUE(WaitForFrames(*instance));
    std::shared_ptr<ZEB::TaskInfo> task = Tasks(*instance).at(0);
    std::vector<ZEB::ZebAeInfo> first{{task->TaskFrame[0]->mAemInfo, task->TaskFrame[0]->mAeResultInfo}};
    ae.SetFrameStaticInfo(&first, 0);
    HalAlgorithm aeHal(reinterpret_cast<void*>(&Init3), 256);
    instance->GetOps(aeHal.table, 0);
    int arg = 0;
    reinterpret_cast<Init3Fn>(aeHal.table[0])(aeHal.init.data(), &arg, &arg);
    // Counted without ordering the threads, so nothing but the module's lock
    // orders a callback's write before the worker's read.
    std::atomic<uint64_t> calls{0};
    std::atomic<bool> stop{false};
    std::vector<uint8_t> live(1248, 0);
    std::thread callbacks([&] {
        const int64_t zero = 0;
        int handleValue = 0;
        while (!stop.load(std::memory_order_relaxed)) {
            aeHal.Installed()(&handleValue, 6, const_cast<int64_t*>(&zero), live.data());
            calls.fetch_add(1, std::memory_order_relaxed);
        }
    });
    for (int i = 0; i < 5; ++i) {
        // A write of a callback that began after the worker's last read.
        const uint64_t seen = calls.load(std::memory_order_relaxed);
        while (calls.load(std::memory_order_relaxed) < seen + 2) std::this_thread::yield();
        instance->WaitFrameInfoDone(0, task);
    }
    stop = true;
    callbacks.join();
    // The callbacks did write into the first frame's result: the HAL got it.
    std::vector<uint8_t> recorded(1248);
    ZEB::ReadRecordedAeResult(task->TaskFrame[0]->mAeResultInfo, recorded.data());
    EXPECT_EQ(live, recorded);
}

}  // namespace
