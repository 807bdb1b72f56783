// The offline 3A modules between a fake HAL and recorded dumps built here. The
// records the HAL receives are checked at the byte offsets its algorithms use.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "algo/AE.h"
#include "algo/ALSC.h"
#include "algo/AWB.h"
#include "algo/XTM.h"
#include "frame/ZEBFrame.h"
#include "parameter/ConfigFiles.h"
#include "parameter/ParameterManager.h"
#include "parameter/SceneParameter.h"
#include "parameter/TaskManager.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "support/TestSupport.h"

using zeb_platform::LogCapture;
using Bytes = std::vector<uint8_t>;

namespace {

// Distinct bytes, so that a byte from the wrong place shows.
Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}
template <class T>
T At(const void* base, size_t offset) {
    T value;
    memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
    return value;
}
template <class T>
void Put(void* base, size_t offset, T value) {
    memcpy(static_cast<uint8_t*>(base) + offset, &value, sizeof value);
}
void Copy(Bytes& to, size_t at, const Bytes& from, size_t offset, size_t size) {
    memcpy(to.data() + at, from.data() + offset, size);
}

// The HAL: what its algorithms were called with and what their callbacks saw.
struct Hal {
    std::mutex lock;  // guards the lists
    std::atomic<int> inits{0}, processes{0}, ioctls{0}, callbacks{0};
    std::vector<int64_t> types;
    std::vector<Bytes> seen;  // the AE result of each AE callback
    Bytes planes;             // what a process call read at the plane addresses it got
    size_t planeBytes = 0;
    size_t planeOffsets[3] = {0, 0, 0};

    void Reset() {
        inits = processes = ioctls = callbacks = 0;
        types.clear();
        seen.clear();
        planes.clear();
        planeBytes = 0;
    }
};
Hal gHal;

int Init3(void*, void*, void*) {
    ++gHal.inits;
    return 0;
}
int Init2(void*, void*) {
    ++gHal.inits;
    return 0;
}
int Process(void*, void* param, void*) {
    std::lock_guard<std::mutex> guard(gHal.lock);
    ++gHal.processes;
    if (gHal.planeBytes) {
        gHal.planes.clear();
        for (size_t offset : gHal.planeOffsets) {
            const uint8_t* plane = At<const uint8_t*>(param, offset);
            if (plane) gHal.planes.insert(gHal.planes.end(), plane, plane + gHal.planeBytes);
        }
    }
    return 3;
}
int Ioctl(void*, int, void*, void*) {
    ++gHal.ioctls;
    return 7;
}
int Callback(void*, int64_t type, void*, void* data) {
    std::lock_guard<std::mutex> guard(gHal.lock);
    ++gHal.callbacks;
    gHal.types.push_back(type);
    if (type == 6 && data) gHal.seen.emplace_back(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + 1248);
    return 5;
}

struct Table {
    void* entries[4] = {nullptr, reinterpret_cast<void*>(&Ioctl), reinterpret_cast<void*>(&Process),
                        reinterpret_cast<void*>(&Ioctl)};
    explicit Table(void* init) { entries[0] = init; }
    template <class F>
    F Op(int i) const { return reinterpret_cast<F>(entries[i]); }
};

// An init parameter of `size` bytes whose callback slot holds the HAL's callback.
struct InitRecord {
    Bytes bytes;
    InitRecord(size_t slot) : bytes(slot + 8, 0) { Put(bytes.data(), slot, &Callback); }
    template <class F>
    F Slot(size_t slot) const { return At<F>(bytes.data(), slot); }
};

int gHandle;

// The four modules over the block list of a real task manager.
class Adapters : public ::testing::Test {
protected:
    void Start(const std::vector<zeb_config::Block>& blocks) {
        gHal.Reset();
        zeb_config::Write(mRoot / "blocks.xml", zeb_config::BlockListXml(blocks));
        zeb_config::Write(mRoot.Device("/data/vendor/cameraserver/zeb/config/RawListFile.xml"),
                          zeb_config::TaskListXml({}, mRoot / "blocks.xml"));
        ZEB::ParameterManager::CreateParameter("SceneParameter", &mScene);
        mTasks = std::make_unique<ZEB::TaskManager>();
        ZEB::ParameterManager::CreateParameter("TaskManager", mTasks.get());
        ae = std::make_unique<ZEB::AE>();
        awb = std::make_unique<ZEB::AWB>();
        alsc = std::make_unique<ZEB::ALSC>();
        xtm = std::make_unique<ZEB::XTM>();
    }
    void TearDown() override {
        ae.reset();
        awb.reset();
        alsc.reset();
        xtm.reset();
        ZEB::ParameterManager::StopStatusWatch();
        if (mTasks) mTasks->Stop();
        ZEB::ParameterManager::Clear();
        mTasks.reset();
    }

    zeb_test::DeviceRoot mRoot;
    ZEB::SceneParameter mScene;
    std::unique_ptr<ZEB::TaskManager> mTasks;
    std::unique_ptr<ZEB::AE> ae;
    std::unique_ptr<ZEB::AWB> awb;
    std::unique_ptr<ZEB::ALSC> alsc;
    std::unique_ptr<ZEB::XTM> xtm;
};

using Init3Fn = int (*)(void*, void*, void*);
using Init2Fn = int (*)(void*, void*);
using ProcessFn = int (*)(void*, void*, void*);
using IoctlFn = int (*)(void*, int, void*, void*);
using CallbackFn = int (*)(void*, int64_t, void*, void*);

TEST_F(Adapters, AeEvSequenceWalksTheTaskFramesWithTheLiveBookkeeping) {
    Start({});
    std::vector<Bytes> results{Pattern(1248, 1), Pattern(1248, 2), Pattern(1248, 3)};
    const std::vector<Bytes> recorded = results;
    Bytes aem(196620);
    std::vector<ZEB::ZebAeInfo> list;
    for (Bytes& result : results) list.push_back({aem.data(), result.data()});
    ae->SetFrameStaticInfo(&list, 4);
    ae->SetFrameId(4);
    ZEB::ParameterManagerBase::SetFrameSize(3);

    Table table(reinterpret_cast<void*>(&Init3));
    EXPECT_EQ(ae->GetOpsParam(table.entries), 0);
    EXPECT_NE(table.entries[0], reinterpret_cast<void*>(&Init3));
    EXPECT_EQ(table.entries[1], reinterpret_cast<void*>(&Ioctl)) << "the second entry is the HAL's";
    InitRecord init(256);
    EXPECT_EQ(table.Op<Init3Fn>(0)(init.bytes.data(), nullptr, nullptr), 0);
    EXPECT_EQ(gHal.inits, 1);
    auto callback = init.Slot<CallbackFn>(256);
    ASSERT_NE(callback, &Callback);

    // Before the sequence: the ioctl hands out the first frame's result, or
    // leaves a call without an output to the HAL.
    Bytes out(1248);
    int in = 0;
    EXPECT_EQ(table.Op<IoctlFn>(3)(&gHandle, 1, &in, out.data()), 0);
    EXPECT_EQ(out, recorded[0]);
    EXPECT_EQ(table.Op<IoctlFn>(3)(&gHandle, 1, &in, nullptr), 7);

    float ev[16];
    for (int i = 0; i < 16; ++i) ev[i] = -2.0f + 2.0f * i;  // -2, 0, 2, 4, ...
    ae->SetFrameStaticInfo(ev, 65535);
    const int64_t zero = 0;
    for (int k = 0; k < 17; ++k) {
        Bytes live = Pattern(1248, static_cast<uint8_t>(100 + k));
        const uint32_t id = 1000 + k;
        Put(live.data(), 56, id);
        EXPECT_EQ(callback(&gHandle, 6, const_cast<int64_t*>(&zero), live.data()), 5);
        // The first three results are the three frames' records; the fourth
        // wraps to the first frame, and so do all after it.
        Bytes expected = recorded[k < 3 ? k : 0];
        const Bytes given = Pattern(1248, static_cast<uint8_t>(100 + k));
        for (size_t offset : {56u, 616u, 812u}) Put(expected.data(), offset, id);
        Put(expected.data(), 192, id + 1);
        const std::pair<size_t, size_t> liveFields[] = {{216, 8}, {224, 4}, {260, 4}, {1108, 4}, {1208, 8}};
        for (const auto& field : liveFields) Copy(expected, field.first, given, field.first, field.second);
        // Past the sixteenth EV the result is an ordinary one.
        Put(expected.data(), 12, k < 16 ? ev[k] : 0.0f);
        expected[180] = k == 1;
        Put<int32_t>(expected.data(), 528, k == 1);
        ASSERT_EQ(gHal.seen.size(), static_cast<size_t>(k + 1));
        EXPECT_EQ(gHal.seen.back(), expected) << "callback " << k + 1;
    }

    // Other callback types go to the HAL as they are.
    Bytes live = Pattern(1248, 9);
    callback(&gHandle, 5, const_cast<int64_t*>(&zero), live.data());
    EXPECT_EQ(live, Pattern(1248, 9));
    EXPECT_EQ(gHal.types.back(), 5);
}

TEST_F(Adapters, FixedAwbAlscAndXtmHandTheHalTheRecordedResults) {
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM_GTM", 3}});
    LogCapture log;
    // AWB: the AEM planes go to process; callbacks 33, 32, 29 and ioctl 257
    // carry the recorded result.
    Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5);
    ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
    const Bytes recordedCalc = calc;
    awb->SetFrameStaticInfo(&awbInfo, 2);
    awb->SetFrameId(2);
    Table awbTable(reinterpret_cast<void*>(&Init2));
    awb->GetOpsParam(awbTable.entries);
    InitRecord awbInit(376);
    awbTable.Op<Init2Fn>(0)(awbInit.bytes.data(), nullptr);
    auto awbCallback = awbInit.Slot<CallbackFn>(376);
    ASSERT_NE(awbCallback, &Callback);

    Bytes param(80, 0), result(120, 0);
    gHal.planeBytes = 4;
    gHal.planeOffsets[0] = 56, gHal.planeOffsets[1] = 64, gHal.planeOffsets[2] = 72;
    EXPECT_EQ(awbTable.Op<ProcessFn>(2)(&gHandle, param.data(), result.data()), 3);
    EXPECT_EQ(At<uint8_t*>(param.data(), 56), aem.data());
    EXPECT_EQ(At<uint8_t*>(param.data(), 64), aem.data() + 65536);
    EXPECT_EQ(At<uint8_t*>(param.data(), 72), aem.data() + 131072);

    Bytes ccm(24, 0xEE), gains(16, 0xEE);
    awbCallback(&gHandle, 33, ccm.data(), nullptr);
    Bytes expected(24, 0xEE);
    Copy(expected, 0, recordedCalc, 56, 18);
    EXPECT_EQ(ccm, expected);
    awbCallback(&gHandle, 29, gains.data(), nullptr);
    expected.assign(16, 0xEE);
    Copy(expected, 0, recordedCalc, 0, 12);
    EXPECT_EQ(gains, expected);
    Bytes live = Pattern(120, 77);
    void* table32[2] = {nullptr, live.data()};
    awbCallback(&gHandle, 32, nullptr, table32);
    expected = recordedCalc;
    Copy(expected, 96, Pattern(120, 77), 96, 12);  // bytes 96 to 107 and the frame_id stay live
    Copy(expected, 112, Pattern(120, 77), 112, 4);
    EXPECT_EQ(live, expected);
    Bytes io(64, 0xEE);
    EXPECT_EQ(awbTable.Op<IoctlFn>(3)(&gHandle, 257, nullptr, io.data()), 0);
    expected.assign(64, 0xEE);
    Copy(expected, 0, recordedCalc, 0, 32);
    Copy(expected, 36, recordedCalc, 56, 18);
    EXPECT_EQ(io, expected);
    EXPECT_EQ(gHal.ioctls, 0);
    EXPECT_EQ(gHal.callbacks, 3);

    // ALSC: frame 1 takes the "ALSC 3" path, frame 2 the "ALSC 4" one.
    Bytes lscm = Pattern(196620, 6), table = Pattern(64, 7), weights = Pattern(64, 8), lsc4 = Pattern(208, 9);
    Bytes lsc3 = Pattern(32, 10), lscPlain = Pattern(32, 11);
    Put<uint64_t>(lscPlain.data(), 8, 0);
    Put<uint64_t>(lsc4.data(), 48, 1);
    ZEB::ZebAlscInfo alsc3{lscm.data(), lsc3.data(), lsc4.data(), table.data(), weights.data(), 64, 64};
    ZEB::ZebAlscInfo alsc4{lscm.data(), lscPlain.data(), lsc4.data(), table.data(), weights.data(), 64, 64};
    alsc->SetFrameStaticInfo(&alsc3, 1);
    alsc->SetFrameStaticInfo(&alsc4, 2);
    Table alscTable(reinterpret_cast<void*>(&Init2));
    alsc->GetOpsParam(alscTable.entries);
    InitRecord alscInit(256);
    alscTable.Op<Init2Fn>(0)(alscInit.bytes.data(), nullptr);
    auto alscCallback = alscInit.Slot<CallbackFn>(256);

    alsc->SetFrameId(1);
    Bytes q(240, 0);
    alscCallback(&gHandle, 28, q.data(), nullptr);
    expected.assign(240, 0);
    Copy(expected, 216, lsc3, 0, 6);
    Put(expected.data(), 224, table.data());
    EXPECT_EQ(q, expected);
    EXPECT_TRUE(log.Contains("override ALSC 3 done", "ZEB_ALSC"));

    alsc->SetFrameId(2);
    q.assign(240, 0);
    alscCallback(&gHandle, 27, q.data(), nullptr);
    EXPECT_EQ(q, Bytes(240, 0)) << "only type 28 is overridden";
    alscCallback(&gHandle, 28, q.data(), nullptr);
    expected.assign(240, 0);
    Copy(expected, 12, lsc4, 4, 40);
    Copy(expected, 88, lsc4, 80, 8);
    Put(expected.data(), 56, table.data());
    for (size_t offset : {64, 72, 80}) Put(expected.data(), offset, weights.data());
    EXPECT_EQ(q, expected);
    EXPECT_TRUE(log.Contains("override ALSC 4 done", "ZEB_ALSC"));

    gHal.planeBytes = 65536;
    gHal.planeOffsets[0] = 0, gHal.planeOffsets[1] = 16, gHal.planeOffsets[2] = 24;
    param.assign(32, 0);
    EXPECT_EQ(alscTable.Op<ProcessFn>(2)(&gHandle, param.data(), result.data()), 0) << "success, whatever the HAL says";
    EXPECT_EQ(At<uint8_t*>(param.data(), 8), At<uint8_t*>(param.data(), 16));
    EXPECT_EQ(gHal.planes, Bytes(lscm.begin(), lscm.begin() + 3 * 65536)) << "a copy of the recorded planes";
    Bytes destination(208, 0);
    void* out[2] = {nullptr, destination.data()};
    EXPECT_EQ(alscTable.Op<IoctlFn>(3)(&gHandle, 8, nullptr, out), 0);
    EXPECT_EQ(destination, lsc4);
    EXPECT_EQ(gHal.ioctls, 0);

    // XTM: the recorded curves, the HAL's calc never runs, not even without a record.
    Bytes x = Pattern(17436, 12);
    std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
    xtm->SetFrameStaticInfo(&xtmList, 3);
    xtm->SetFrameId(3);
    Table xtmTable(reinterpret_cast<void*>(&Init3));
    xtm->GetOpsParam(xtmTable.entries);
    EXPECT_TRUE(log.Contains("create XTM_GTM fixed", "ZEB_XTM"));
    Bytes toneMap(16384, 0), gamma(514, 0), r(600, 0);
    Put(r.data(), 48, toneMap.data());
    Put(r.data(), 576, gamma.data());
    const int processes = gHal.processes;
    EXPECT_EQ(xtmTable.Op<ProcessFn>(2)(&gHandle, param.data(), r.data()), 0);
    expected.assign(600, 0);
    Copy(expected, 24, x, 0, 16);
    Copy(expected, 42, x, 16, 4);
    Copy(expected, 56, x, 16404, 516);
    Put(expected.data(), 48, toneMap.data());
    Put(expected.data(), 576, gamma.data());
    EXPECT_EQ(r, expected);
    EXPECT_EQ(toneMap, Bytes(x.begin() + 20, x.begin() + 16404));
    EXPECT_EQ(gamma, Bytes(x.begin() + 16920, x.begin() + 17434));
    xtm->SetFrameId(99);
    EXPECT_EQ(xtmTable.Op<ProcessFn>(2)(&gHandle, param.data(), r.data()), 0);
    EXPECT_EQ(gHal.processes, processes);
}

TEST_F(Adapters, WithoutFixedBlocksTheHalResultsPassThrough) {
    Start({{"AWB1", 3}, {"ALSC", 0}});  // "AWB1" is not "AWB"
    Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5);
    ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
    awb->SetFrameStaticInfo(&awbInfo, 0);
    ZEB::ZebAlscInfo alscInfo{aem.data(), calc.data(), calc.data(), calc.data(), calc.data(), 64, 64};
    alsc->SetFrameStaticInfo(&alscInfo, 0);
    Bytes x = Pattern(17436, 12);
    std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
    xtm->SetFrameStaticInfo(&xtmList, 0);

    Table awbTable(reinterpret_cast<void*>(&Init2)), alscTable(reinterpret_cast<void*>(&Init2)),
        xtmTable(reinterpret_cast<void*>(&Init3));
    const Table untouched = alscTable;
    awb->GetOpsParam(awbTable.entries);
    alsc->GetOpsParam(alscTable.entries);
    xtm->GetOpsParam(xtmTable.entries);
    EXPECT_TRUE(std::equal(untouched.entries, untouched.entries + 4, alscTable.entries));

    InitRecord awbInit(376);
    awbTable.Op<Init2Fn>(0)(awbInit.bytes.data(), nullptr);
    Bytes q = Pattern(64, 1), live = Pattern(120, 2);
    void* table32[2] = {nullptr, live.data()};
    for (int64_t type : {33, 29, 32}) awbInit.Slot<CallbackFn>(376)(&gHandle, type, q.data(), table32);
    EXPECT_EQ(q, Pattern(64, 1));
    EXPECT_EQ(live, Pattern(120, 2));
    EXPECT_EQ(awbTable.Op<IoctlFn>(3)(&gHandle, 257, nullptr, q.data()), 7);
    // The recorded statistics still feed the HAL's AWB.
    Bytes param(80, 0);
    awbTable.Op<ProcessFn>(2)(&gHandle, param.data(), q.data());
    EXPECT_EQ(At<uint8_t*>(param.data(), 56), aem.data());

    Bytes r(600, 0);
    EXPECT_EQ(xtmTable.Op<ProcessFn>(2)(&gHandle, param.data(), r.data()), 3);
    EXPECT_EQ(gHal.processes, 2);
    EXPECT_EQ(gHal.callbacks, 3);
}

TEST_F(Adapters, NullOrUnmappedAddressesInHalRecordsAreNeverWrittenThrough) {
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM", 3}});
    LogCapture log;
    Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5), lsc4 = Pattern(208, 9), x = Pattern(17436, 12);
    ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
    ZEB::ZebAlscInfo alscInfo{aem.data(), calc.data(), lsc4.data(), calc.data(), calc.data(), 8, 8};
    std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
    awb->SetFrameStaticInfo(&awbInfo, 0);
    alsc->SetFrameStaticInfo(&alscInfo, 0);
    xtm->SetFrameStaticInfo(&xtmList, 0);
    Table aeTable(reinterpret_cast<void*>(&Init3)), awbTable(reinterpret_cast<void*>(&Init2)),
        alscTable(reinterpret_cast<void*>(&Init2)), xtmTable(reinterpret_cast<void*>(&Init3));
    ae->GetOpsParam(aeTable.entries);
    awb->GetOpsParam(awbTable.entries);
    alsc->GetOpsParam(alscTable.entries);
    xtm->GetOpsParam(xtmTable.entries);
    void* const unmapped = reinterpret_cast<void*>(8);

    // Init without a record, or with an empty callback slot: the HAL's init, slot untouched.
    for (void* init : {static_cast<void*>(nullptr), unmapped}) {
        aeTable.Op<Init3Fn>(0)(init, nullptr, nullptr);
        awbTable.Op<Init2Fn>(0)(init, nullptr);
    }
    Bytes empty(384, 0);
    aeTable.Op<Init3Fn>(0)(empty.data(), nullptr, nullptr);
    awbTable.Op<Init2Fn>(0)(empty.data(), nullptr);
    alscTable.Op<Init2Fn>(0)(empty.data(), nullptr);
    EXPECT_EQ(empty, Bytes(384, 0));
    EXPECT_EQ(gHal.inits, 7);
    InitRecord awbInit(376), alscInit(256);
    awbTable.Op<Init2Fn>(0)(awbInit.bytes.data(), nullptr);
    alscTable.Op<Init2Fn>(0)(alscInit.bytes.data(), nullptr);

    // The live AWB result, the ALSC result and ioctl targets: passed to the HAL as they are.
    void* noResult[2] = {nullptr, unmapped};
    EXPECT_EQ(awbInit.Slot<CallbackFn>(376)(&gHandle, 32, nullptr, noResult), 5);
    EXPECT_EQ(awbInit.Slot<CallbackFn>(376)(&gHandle, 33, unmapped, nullptr), 5);
    EXPECT_EQ(alscInit.Slot<CallbackFn>(256)(&gHandle, 28, unmapped, nullptr), 5);
    EXPECT_EQ(awbTable.Op<IoctlFn>(3)(&gHandle, 257, nullptr, unmapped), 7);
    void* noTarget[2] = {nullptr, nullptr};
    EXPECT_EQ(alscTable.Op<IoctlFn>(3)(&gHandle, 8, nullptr, noTarget), 7);
    EXPECT_EQ(gHal.callbacks, 3);
    EXPECT_EQ(gHal.ioctls, 2);

    // XTM buffers missing: the HAL computes its own result.
    Bytes r(600, 0), param(8, 0), gamma(514, 0);
    Put(r.data(), 576, gamma.data());
    EXPECT_EQ(xtmTable.Op<ProcessFn>(2)(&gHandle, param.data(), r.data()), 3);
    EXPECT_EQ(gamma, Bytes(514, 0));
    EXPECT_EQ(log.Count("Not valid intput", "ZEB_XTM"), 1u);
    EXPECT_GE(log.Count("Not valid intput", "ZEB_AWB"), 3u);
    EXPECT_GE(log.Count("Not valid intput", "ZEB_ALSC"), 2u);
}

// HAL threads run the wrappers while the driver hands over new frames and
// frames are freed under them: no wrapper reads a freed frame (ASan) and
// every lookup is ordered against the insertions and drops (TSan).
TEST_F(Adapters, WrappersRaceHandOversAndFreedFrames) {
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM", 3}});
    Table aeTable(reinterpret_cast<void*>(&Init3)), awbTable(reinterpret_cast<void*>(&Init2)),
        alscTable(reinterpret_cast<void*>(&Init2)), xtmTable(reinterpret_cast<void*>(&Init3));
    ae->GetOpsParam(aeTable.entries);
    awb->GetOpsParam(awbTable.entries);
    alsc->GetOpsParam(alscTable.entries);
    xtm->GetOpsParam(xtmTable.entries);
    InitRecord aeInit(256), awbInit(376), alscInit(256);
    aeTable.Op<Init3Fn>(0)(aeInit.bytes.data(), nullptr, nullptr);
    awbTable.Op<Init2Fn>(0)(awbInit.bytes.data(), nullptr);
    alscTable.Op<Init2Fn>(0)(alscInit.bytes.data(), nullptr);
    gHal.planeBytes = 64;  // the HAL's process reads the planes it is given
    gHal.planeOffsets[0] = 56, gHal.planeOffsets[1] = 64, gHal.planeOffsets[2] = 72;
    ZEB::ParameterManagerBase::SetFrameSize(1);

    std::atomic<bool> stop{false};
    auto hal = [&](int which) {
        Bytes param(80), live(1248), out(1248), toneMap(16384), gamma(514), xtmResult(600);
        Put(xtmResult.data(), 48, toneMap.data());
        Put(xtmResult.data(), 576, gamma.data());
        void* liveTable[2] = {nullptr, live.data()};
        void* target[2] = {nullptr, out.data()};
        const int64_t zero = 0;
        while (!stop.load()) {
            param.assign(80, 0);  // the HAL's own statistics: none
            if (which == 0) {
                aeInit.Slot<CallbackFn>(256)(&gHandle, 6, const_cast<int64_t*>(&zero), live.data());
                aeTable.Op<IoctlFn>(3)(&gHandle, 1, &gHandle, out.data());
                awbTable.Op<ProcessFn>(2)(&gHandle, param.data(), out.data());
            } else {
                awbInit.Slot<CallbackFn>(376)(&gHandle, 32, nullptr, liveTable);
                awbTable.Op<IoctlFn>(3)(&gHandle, 257, nullptr, out.data());
                alscInit.Slot<CallbackFn>(256)(&gHandle, 28, out.data(), nullptr);
                alscTable.Op<IoctlFn>(3)(&gHandle, 8, nullptr, target);
                alscTable.Op<ProcessFn>(2)(&gHandle, param.data(), out.data());
                xtmTable.Op<ProcessFn>(2)(&gHandle, param.data(), xtmResult.data());
            }
        }
    };
    std::thread first(hal, 0), second(hal, 1);
    zeb_test::TempDir folder;
    std::shared_ptr<ZEB::ZEBFrame> previous;
    for (int64_t id = 0; id < 40; ++id) {
        auto frame = std::make_shared<ZEB::ZEBFrame>(folder.path());
        ZEB::ZEBFrame& f = *frame;
        Put<uint64_t>(f.mLsc4ResultInfo, 48, 1);
        std::vector<ZEB::ZebAeInfo> aeList{{f.mAemInfo, f.mAeResultInfo}};
        ZEB::ZebAwbInfo awbInfo{f.mAemInfo, f.mAwbCalcInfo};
        ZEB::ZebAlscInfo alscInfo{f.mLscmInfo, f.mLscResultInfo, f.mLsc4ResultInfo, f.mCcmInfo, f.mCcmInfo, 18, 18};
        std::vector<ZEB::ZebXtmInfo> xtmList{{f.mXtmResultInfo}};
        ae->SetFrameStaticInfo(&aeList, id);
        awb->SetFrameStaticInfo(&awbInfo, id);
        alsc->SetFrameStaticInfo(&alscInfo, id);
        xtm->SetFrameStaticInfo(&xtmList, id);
        for (ZEB::ParameterManagerBase* module : std::initializer_list<ZEB::ParameterManagerBase*>{
                 ae.get(), awb.get(), alsc.get(), xtm.get()}) {
            module->SetFrameId(id);
        }
        // Both HAL threads meet this frame's records before the frame before goes.
        const int processes = gHal.processes.load();
        zeb_test::WaitFor([&] { return gHal.processes.load() > processes + 2; }, std::chrono::milliseconds(2000));
        previous = std::move(frame);
    }
    previous.reset();
    stop.store(true);
    first.join();
    second.join();
    EXPECT_GT(gHal.processes, 0);
    EXPECT_EQ(awb->GetFrameAEMInfo(39), nullptr) << "the last frame's record went with it";
}

}  // namespace
