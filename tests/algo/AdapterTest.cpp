// The offline 3A modules between a fake HAL and recorded dumps built here. The
// records the HAL receives are checked at the byte offsets its algorithms use.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "frame/ReadControl.h"
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
using zeb_test::At;
using zeb_test::Put;

namespace {

// Distinct bytes, so that a byte from the wrong place shows.
Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
    return bytes;
}
void Copy(Bytes& to, size_t at, const Bytes& from, size_t offset, size_t size) {
    memcpy(to.data() + at, from.data() + offset, size);
}

// The HAL's algorithms: what they were called with, what their callbacks saw.
struct Hal {
    std::mutex lock;  // guards the lists
    std::atomic<int> inits{0}, processes{0}, ioctls{0}, callbacks{0};
    std::vector<int64_t> types;
    std::vector<Bytes> seen;  // the AE result of each AE callback
    Bytes planes;             // what a process call read at the plane addresses it got
    size_t planeBytes = 0;
    size_t planeOffsets[3] = {0, 0, 0};
    bool scribbles = false;  // the algorithm writes into the planes it reads, as shading does
};
// Made afresh for every case by the fixture.
std::unique_ptr<Hal> gHal;

int HalInit3(void*, void*, void*) { return ++gHal->inits, 0; }
int HalInit2(void*, void*) { return ++gHal->inits, 0; }
int HalProcess(void*, void* param, void*) {
    std::lock_guard<std::mutex> guard(gHal->lock);
    ++gHal->processes;
    if (gHal->planeBytes) {
        gHal->planes.clear();
        for (size_t offset : gHal->planeOffsets) {
            const uint8_t* plane = At<const uint8_t*>(param, offset);
            if (!plane) continue;
            gHal->planes.insert(gHal->planes.end(), plane, plane + gHal->planeBytes);
            if (gHal->scribbles) memset(const_cast<uint8_t*>(plane), 0xA5, gHal->planeBytes);
        }
    }
    return 3;
}
int HalIoctl(void*, int, void*, void*) { return ++gHal->ioctls, 7; }
int HalCallback(void*, int64_t type, void*, void* data) {
    std::lock_guard<std::mutex> guard(gHal->lock);
    ++gHal->callbacks;
    gHal->types.push_back(type);
    if (type == 6 && data) gHal->seen.emplace_back(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + 1248);
    return 5;
}

int gHandle;

// One kind's operation table, and its init parameter with the HAL's callback
// in the slot at byte `slot` (XTM's has none).
struct Algorithm {
    void* table[4];
    Bytes init = Bytes(384, 0);
    size_t slot;
    bool twoArguments;
    Algorithm(bool two, size_t callbackSlot) : slot(callbackSlot), twoArguments(two) {
        void* entries[4] = {two ? reinterpret_cast<void*>(&HalInit2) : reinterpret_cast<void*>(&HalInit3),
                            reinterpret_cast<void*>(&HalIoctl), reinterpret_cast<void*>(&HalProcess),
                            reinterpret_cast<void*>(&HalIoctl)};
        memcpy(table, entries, sizeof table);
        if (slot) Put(init.data(), slot, &HalCallback);
    }
    int Init(void* record) {
        return twoArguments ? reinterpret_cast<int (*)(void*, void*)>(table[0])(record, &gHandle)
                            : reinterpret_cast<int (*)(void*, void*, void*)>(table[0])(record, &gHandle, &gHandle);
    }
    int Process(void* param, void* result) {
        return reinterpret_cast<int (*)(void*, void*, void*)>(table[2])(&gHandle, param, result);
    }
    int Ioctl(int command, void* in, void* out) {
        return reinterpret_cast<int (*)(void*, int, void*, void*)>(table[3])(&gHandle, command, in, out);
    }
    int Callback(int64_t type, void* param, void* data) {
        return At<int (*)(void*, int64_t, void*, void*)>(init.data(), slot)(&gHandle, type, param, data);
    }
};

// The four modules over the block list of a real task manager, their tables
// handed over and their algorithms initialised.
class Adapters : public ::testing::Test {
protected:
    Adapters() { gHal = std::make_unique<Hal>(); }
    void Start(const std::vector<zeb_config::Block>& blocks) {
        gHal = std::make_unique<Hal>();
        aeHal = Algorithm(false, 256), awbHal = Algorithm(true, 376), alscHal = Algorithm(true, 256);
        xtmHal = Algorithm(false, 0);
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
        EXPECT_EQ(ae->GetOpsParam(aeHal.table) + awb->GetOpsParam(awbHal.table) + alsc->GetOpsParam(alscHal.table) +
                      xtm->GetOpsParam(xtmHal.table),
                  0);
        for (Algorithm* algorithm : {&aeHal, &awbHal, &alscHal, &xtmHal}) algorithm->Init(algorithm->init.data());
        gHal->inits = gHal->processes = gHal->ioctls = gHal->callbacks = 0;
    }
    void Stop() {
        ae.reset();
        awb.reset();
        alsc.reset();
        xtm.reset();
        ZEB::ParameterManager::StopStatusWatch();
        if (mTasks) mTasks->Stop();
        mTasks.reset();
        ZEB::ParameterManager::Clear();
    }
    void TearDown() override {
        Stop();
        zeb_platform::ResetProperties();
    }

    zeb_test::DeviceRoot mRoot;
    ZEB::SceneParameter mScene;
    std::unique_ptr<ZEB::TaskManager> mTasks;
    std::unique_ptr<ZEB::AE> ae;
    std::unique_ptr<ZEB::AWB> awb;
    std::unique_ptr<ZEB::ALSC> alsc;
    std::unique_ptr<ZEB::XTM> xtm;
    // Runs the HAL's XTM calc; which of `frames` its result came from, by
    // the gtm bytes, or -1.
    int XtmCalcFrame(const std::vector<Bytes>& frames) {
        Bytes toneMap(16384), gamma(514), param(8), r(600, 0);
        Put(r.data(), 48, toneMap.data());
        Put(r.data(), 576, gamma.data());
        EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 0);
        for (size_t k = 0; k < frames.size(); ++k) {
            if (memcmp(r.data() + 24, frames[k].data(), 16) == 0) return static_cast<int>(k);
        }
        return -1;
    }

    Algorithm aeHal{false, 256}, awbHal{true, 376}, alscHal{true, 256}, xtmHal{false, 0};
    int64_t mZero = 0;  // the parameter of a callback that carries a frame's result
};

TEST_F(Adapters, AeEvSequenceWalksTheTaskFramesWithTheLiveBookkeeping) {
    Start({});
    EXPECT_NE(aeHal.table[0], reinterpret_cast<void*>(&HalInit3));
    EXPECT_EQ(aeHal.table[1], reinterpret_cast<void*>(&HalIoctl)) << "the second entry stays the HAL's";
    EXPECT_NE(At<void*>(aeHal.init.data(), 256), reinterpret_cast<void*>(&HalCallback));
    std::vector<Bytes> results{Pattern(1248, 1), Pattern(1248, 2), Pattern(1248, 3)};
    const std::vector<Bytes> recorded = results;
    Bytes aem(196620);
    std::vector<ZEB::ZebAeInfo> list;
    for (Bytes& result : results) list.push_back({aem.data(), result.data()});
    ae->SetFrameStaticInfo(&list, 4);
    ae->SetFrameId(4);
    ZEB::ParameterManagerBase::SetFrameSize(3);

    // Before the sequence the ioctl hands out the first frame's result, and
    // leaves a call without an output to the HAL.
    Bytes out(1248);
    EXPECT_EQ(aeHal.Ioctl(1, &gHandle, out.data()), 0);
    EXPECT_EQ(out, recorded[0]);
    EXPECT_EQ(aeHal.Ioctl(1, &gHandle, nullptr), 7);

    float ev[16];
    for (int i = 0; i < 16; ++i) ev[i] = -2.0f + 2.0f * static_cast<float>(i);  // -2, 0, 2, 4, ...
    ae->SetFrameStaticInfo(ev, 65535);
    int64_t zero = 0;
    for (int k = 0; k < 17; ++k) {
        const Bytes given = Pattern(1248, static_cast<uint8_t>(100 + k));
        Bytes live = given;
        const uint32_t id = 1000 + k;
        Put(live.data(), 56, id);
        EXPECT_EQ(aeHal.Callback(6, &zero, live.data()), 5);
        // The first three results are the three frames' records; the fourth
        // wraps to the first frame, and so do all after it.
        Bytes expected = recorded[k < 3 ? k : 0];
        for (size_t offset : {56, 616, 812}) Put(expected.data(), offset, id);
        Put(expected.data(), 192, id + 1);
        const std::pair<size_t, size_t> liveFields[] = {{216, 8}, {224, 4}, {260, 4}, {1108, 4}, {1208, 8}};
        for (const auto& field : liveFields) Copy(expected, field.first, given, field.first, field.second);
        // Past the sixteenth EV a result is an ordinary one.
        Put(expected.data(), 12, k < 16 ? ev[k] : 0.0f);
        expected[180] = k == 1;
        Put<int32_t>(expected.data(), 528, k == 1);
        ASSERT_EQ(gHal->seen.size(), static_cast<size_t>(k + 1));
        EXPECT_EQ(gHal->seen.back(), expected) << "callback " << k + 1;
    }

    // Other callback types go to the HAL as they are.
    Bytes live = Pattern(1248, 9);
    aeHal.Callback(5, &zero, live.data());
    EXPECT_EQ(live, Pattern(1248, 9));
    EXPECT_EQ(gHal->types.back(), 5);
}

// The device's properties: whether AE keeps the live value at byte 232, and
// whether AWB is fed the recorded statistics planes or keeps the HAL's own.
TEST_F(Adapters, PropertiesChooseWhatAeKeepsAndWhatAwbIsFed) {
    for (const bool on : {false, true}) {
        SCOPED_TRACE(on ? "lcggain.update 1, aem.process 0" : "lcggain.update 0, aem.process 1");
        property_set("persist.vendor.cam.zeb.lcggain.update", on ? "1" : "0");
        property_set("persist.vendor.cam.zeb.aem.process", on ? "0" : "1");
        LogCapture log(1);
        Start({{"AWB", 3}});
        Bytes result = Pattern(1248, 1), aem = Pattern(196620, 2), calc = Pattern(120, 3);
        std::vector<ZEB::ZebAeInfo> list{{aem.data(), result.data()}};
        ae->SetFrameStaticInfo(&list, 4);
        ae->SetFrameId(4);
        Bytes live = Pattern(1248, 50);
        aeHal.Callback(6, &mZero, live.data());
        EXPECT_EQ(At<uint32_t>(live.data(), 232), At<uint32_t>(on ? Pattern(1248, 50).data() : Pattern(1248, 1).data(), 232));

        ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
        awb->SetFrameStaticInfo(&awbInfo, 4);
        awb->SetFrameId(4);
        Bytes own(3 * 65536), param(80, 0), out(120);
        for (size_t k = 0; k < 3; ++k) Put(param.data(), 56 + 8 * k, own.data() + 65536 * k);
        awbHal.Process(param.data(), out.data());
        for (size_t k = 0; k < 3; ++k) EXPECT_EQ(At<uint8_t*>(param.data(), 56 + 8 * k), (on ? own : aem).data() + 65536 * k);
        EXPECT_EQ(log.Count("Failed to get AWB dump info", "ZEB_AWB", 1), on ? 1u : 0u);
        Stop();
    }
}

// A capture (frame id 65535) walks XTM through the task's three frames and
// back to the first, whether or not AE brackets EVs along (the post-processing
// type decides) and whichever of the two runs first within a frame: they
// share the frame count that the first to wrap drops to 1. (AE's own walk is
// the EV sequence case's.)
TEST_F(Adapters, ACaptureWalksXtmThroughTheFramesAndWrapsToTheFirst) {
    Start({{"XTM", 3}});
    const std::vector<Bytes> x{Pattern(17436, 20), Pattern(17436, 21), Pattern(17436, 22)};
    Bytes aem(16), aeResult(1248), live(1248);
    float ev[16] = {-2.0f, 0.0f, 2.0f};
    struct Row {
        bool aeBrackets, xtmFirst;
    };
    for (const Row row : {Row{false, true}, Row{true, true}, Row{true, false}}) {
        SCOPED_TRACE(std::string(row.aeBrackets ? "AE brackets, " : "no bracket, ") + (row.xtmFirst ? "XTM first" : "AE first"));
        std::vector<ZEB::ZebXtmInfo> xtmList;
        for (const Bytes& frame : x) xtmList.push_back({const_cast<uint8_t*>(frame.data())});
        std::vector<ZEB::ZebAeInfo> aeList(3, ZEB::ZebAeInfo{aem.data(), aeResult.data()});
        ae->SetFrameStaticInfo(&aeList, 7);
        xtm->SetFrameStaticInfo(&xtmList, 7);
        ae->SetFrameId(7);
        xtm->SetFrameId(7);
        ZEB::ParameterManagerBase::SetFrameSize(3);
        if (row.aeBrackets) ae->SetFrameStaticInfo(ev, 65535);
        xtm->SetFrameStaticInfo(ev, 65535);
        auto runXtm = [&] { return XtmCalcFrame(x); };
        const int frames[] = {0, 1, 2, 0, 0};
        for (int call = 0; call < 5; ++call) {
            if (!row.xtmFirst) aeHal.Callback(6, &mZero, live.data());
            EXPECT_EQ(runXtm(), frames[call]) << "calc " << call + 1;
            if (row.xtmFirst) aeHal.Callback(6, &mZero, live.data());
        }
    }
}

// A tuning sweep replays a "Preview" task's two frames once per entry: each
// preview tells the frame count again and each capture sends 65535, with no
// new hand-over between the entries. Every entry must see what the first saw:
// the first frame's record in preview, the walk through both in capture.
TEST_F(Adapters, EveryTuningEntryReplaysXtmAsTheFirst) {
    Start({{"XTM", 3}});
    const std::vector<Bytes> x{Pattern(17436, 30), Pattern(17436, 31)};
    std::vector<ZEB::ZebXtmInfo> xtmList{{const_cast<uint8_t*>(x[0].data())}, {const_cast<uint8_t*>(x[1].data())}};
    xtm->SetFrameStaticInfo(&xtmList, 4);
    xtm->SetFrameId(4);
    float ev[16] = {};
    auto runXtm = [&] { return XtmCalcFrame(x); };
    for (int entry = 0; entry < 3; ++entry) {
        SCOPED_TRACE("tuning entry " + std::to_string(entry));
        ZEB::ParameterManagerBase::SetFrameSize(2);
        EXPECT_EQ(runXtm(), 0) << "preview";
        EXPECT_EQ(runXtm(), 0) << "preview";
        xtm->SetFrameStaticInfo(ev, 65535);
        EXPECT_EQ(runXtm(), 0) << "capture";
        EXPECT_EQ(runXtm(), 1) << "capture";
        EXPECT_EQ(runXtm(), 0) << "after the capture";
    }
}

// The same sweep over a task whose scene brackets EVs: AE walks the frames
// with the EVs in capture, and shares with XTM the frame count that a walk
// drops at its wrap. Every entry must again see the frames the first saw,
// whichever of the two runs first within a frame. (Past the bracket AE's EVs
// run on through the scene's list as after a single capture; only the
// capture's EVs are checked.)
TEST_F(Adapters, EveryTuningEntryReplaysAnAeEvBracketAsTheFirst) {
    Start({{"XTM", 3}});
    const std::vector<Bytes> x{Pattern(17436, 40), Pattern(17436, 41)};
    std::vector<Bytes> aeResults{Pattern(1248, 42), Pattern(1248, 43)};
    const std::vector<Bytes> recorded = aeResults;
    Bytes aem(16), live(1248);
    float ev[16] = {-2.0f, 2.0f, -1.0f, 1.0f, 0.5f, -0.5f, 1.5f, -1.5f, 3.0f, 2.5f};
    // Which frame's record each ran on (by bytes neither adapter rewrites), and AE's EV.
    auto runXtm = [&] { return XtmCalcFrame(x); };
    auto runAe = [&] {
        aeHal.Callback(6, &mZero, live.data());
        for (int k = 0; k < 2; ++k) {
            if (memcmp(live.data(), recorded[k].data(), 12) == 0) return std::make_pair(k, At<float>(live.data(), 12));
        }
        return std::make_pair(-1, 0.0f);
    };
    for (const bool xtmFirst : {true, false}) {
        SCOPED_TRACE(xtmFirst ? "XTM first" : "AE first");
        std::vector<ZEB::ZebAeInfo> aeList{{aem.data(), aeResults[0].data()}, {aem.data(), aeResults[1].data()}};
        std::vector<ZEB::ZebXtmInfo> xtmList{{const_cast<uint8_t*>(x[0].data())}, {const_cast<uint8_t*>(x[1].data())}};
        ae->SetFrameStaticInfo(&aeList, 4);
        xtm->SetFrameStaticInfo(&xtmList, 4);
        ae->SetFrameId(4);
        xtm->SetFrameId(4);
        // The frames a frame's AE result and XTM calc used, and AE's EV.
        float aeEv = 0.0f;
        auto frame = [&] {
            int xtmFrame = xtmFirst ? runXtm() : -2;
            const auto aeSeen = runAe();
            if (!xtmFirst) xtmFrame = runXtm();
            aeEv = aeSeen.second;
            return std::make_pair(aeSeen.first, xtmFrame);
        };
        for (int entry = 0; entry < 3; ++entry) {
            SCOPED_TRACE("tuning entry " + std::to_string(entry));
            ZEB::ParameterManagerBase::SetFrameSize(2);
            EXPECT_EQ(frame(), std::make_pair(0, 0)) << "preview";
            EXPECT_EQ(frame(), std::make_pair(0, 0)) << "preview";
            ae->SetFrameStaticInfo(ev, 65535);
            xtm->SetFrameStaticInfo(ev, 65535);
            EXPECT_EQ(frame(), std::make_pair(0, 0)) << "capture";
            EXPECT_EQ(aeEv, -2.0f);
            EXPECT_EQ(frame(), std::make_pair(1, 1)) << "capture";
            EXPECT_EQ(aeEv, 2.0f);
            EXPECT_EQ(frame(), std::make_pair(0, 0)) << "after the capture";
        }
    }
}

TEST_F(Adapters, FixedAwbAlscAndXtmHandTheHalTheRecordedResults) {
    LogCapture log;
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM_GTM", 3}});
    // AWB: the AEM planes go to process; callbacks 33, 29, 32 and ioctl 257
    // carry the recorded result.
    Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5);
    const Bytes recordedCalc = calc;
    ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
    awb->SetFrameStaticInfo(&awbInfo, 2);
    awb->SetFrameId(2);
    Bytes param(80, 0), result(120, 0);
    EXPECT_EQ(awbHal.Process(param.data(), result.data()), 3);
    EXPECT_EQ(At<uint8_t*>(param.data(), 56), aem.data());
    EXPECT_EQ(At<uint8_t*>(param.data(), 64), aem.data() + 65536);
    EXPECT_EQ(At<uint8_t*>(param.data(), 72), aem.data() + 131072);

    Bytes ccm(24, 0xEE), gains(16, 0xEE), live = Pattern(120, 77), io(64, 0xEE);
    awbHal.Callback(33, ccm.data(), nullptr);
    awbHal.Callback(29, gains.data(), nullptr);
    void* table32[2] = {nullptr, live.data()};
    awbHal.Callback(32, nullptr, table32);
    EXPECT_EQ(awbHal.Ioctl(257, nullptr, io.data()), 0);
    Bytes expected(24, 0xEE);
    Copy(expected, 0, recordedCalc, 56, 18);
    EXPECT_EQ(ccm, expected);
    expected.assign(16, 0xEE);
    Copy(expected, 0, recordedCalc, 0, 12);
    EXPECT_EQ(gains, expected);
    expected = recordedCalc;
    Copy(expected, 96, Pattern(120, 77), 96, 12);  // bytes 96 to 107 and the frame_id stay live
    Copy(expected, 112, Pattern(120, 77), 112, 4);
    EXPECT_EQ(live, expected);
    expected.assign(64, 0xEE);
    Copy(expected, 0, recordedCalc, 0, 32);
    Copy(expected, 36, recordedCalc, 56, 18);
    EXPECT_EQ(io, expected);
    EXPECT_EQ(gHal->ioctls, 0);
    EXPECT_EQ(gHal->callbacks, 3);

    // ALSC: frame 1 takes the "ALSC 3" path, frame 2 the "ALSC 4" one.
    Bytes lscm = Pattern(196620, 6), table = Pattern(64, 7), weights = Pattern(64, 8), lsc4 = Pattern(208, 9);
    Bytes lsc3 = Pattern(32, 10), lscPlain = Pattern(32, 11);
    Put<uint64_t>(lscPlain.data(), 8, 0);
    Put<uint64_t>(lsc4.data(), 48, 1);
    ZEB::ZebAlscInfo alsc3{lscm.data(), lsc3.data(), lsc4.data(), table.data(), weights.data(), 64, 64};
    ZEB::ZebAlscInfo alsc4{lscm.data(), lscPlain.data(), lsc4.data(), table.data(), weights.data(), 64, 64};
    alsc->SetFrameStaticInfo(&alsc3, 1);
    alsc->SetFrameStaticInfo(&alsc4, 2);
    alsc->SetFrameId(1);
    Bytes q(240, 0);
    alscHal.Callback(28, q.data(), nullptr);
    expected.assign(240, 0);
    Copy(expected, 216, lsc3, 0, 6);
    // The HAL reads the recorded table through a copy of its own: the frame
    // holding the recorded one may be recycled or freed meanwhile.
    const auto* handed3 = At<const uint8_t*>(q.data(), 224);
    ASSERT_NE(handed3, nullptr);
    EXPECT_NE(handed3, table.data());
    EXPECT_EQ(Bytes(handed3, handed3 + 64), table);
    Put(expected.data(), 224, handed3);
    EXPECT_EQ(q, expected);
    EXPECT_TRUE(log.Contains("override ALSC 3 done", "ZEB_ALSC"));

    alsc->SetFrameId(2);
    q.assign(240, 0);
    alscHal.Callback(27, q.data(), nullptr);
    EXPECT_EQ(q, Bytes(240, 0)) << "only type 28 is overridden";
    alscHal.Callback(28, q.data(), nullptr);
    expected.assign(240, 0);
    Copy(expected, 12, lsc4, 4, 40);
    Copy(expected, 88, lsc4, 80, 8);
    const auto* handed = At<const uint8_t*>(q.data(), 56);
    const auto* handedWeights = At<const uint8_t*>(q.data(), 64);
    Put(expected.data(), 56, handed);
    for (size_t offset : {64, 72, 80}) Put(expected.data(), offset, handedWeights);
    EXPECT_EQ(q, expected);
    const Bytes recordedTable = table, recordedWeights = weights;
    std::fill(table.begin(), table.end(), 0);
    std::fill(weights.begin(), weights.end(), 0);
    EXPECT_EQ(Bytes(handed, handed + 64), recordedTable) << "the frame's buffer went; the HAL's copy stays";
    EXPECT_EQ(Bytes(handedWeights, handedWeights + 64), recordedWeights);
    EXPECT_TRUE(log.Contains("override ALSC 4 done", "ZEB_ALSC"));

    // The shading algorithm writes into the planes it is given: each call
    // still reads the recorded ones, which stay as they were.
    gHal->planeBytes = 65536;
    gHal->planeOffsets[0] = 0, gHal->planeOffsets[1] = 16, gHal->planeOffsets[2] = 24;
    gHal->scribbles = true;
    for (int call = 0; call < 2; ++call) {
        param.assign(32, 0);
        EXPECT_EQ(alscHal.Process(param.data(), result.data()), 0) << "success, whatever the HAL says";
        EXPECT_EQ(At<uint8_t*>(param.data(), 8), At<uint8_t*>(param.data(), 16));
        EXPECT_TRUE(gHal->planes == Bytes(lscm.begin(), lscm.begin() + 3 * 65536)) << "call " << call;
    }
    EXPECT_TRUE(lscm == Pattern(196620, 6));
    gHal->scribbles = false;
    Bytes destination(208, 0);
    void* out[2] = {nullptr, destination.data()};
    EXPECT_EQ(alscHal.Ioctl(8, nullptr, out), 0);
    EXPECT_EQ(destination, lsc4);
    EXPECT_EQ(gHal->ioctls, 0);

    // XTM: the recorded curves; the HAL's calc never runs, not even without a record.
    Bytes x = Pattern(17436, 12);
    std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
    xtm->SetFrameStaticInfo(&xtmList, 3);
    xtm->SetFrameId(3);
    EXPECT_TRUE(log.Contains("create XTM_GTM fixed", "ZEB_XTM"));
    Bytes toneMap(16384, 0), gamma(514, 0), r(600, 0);
    Put(r.data(), 48, toneMap.data());
    Put(r.data(), 576, gamma.data());
    const int processes = gHal->processes;
    EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 0);
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
    EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 0);
    EXPECT_EQ(gHal->processes, processes);
}

// Outside fixed mode (no block of the adapter's exact name, for AWB and ALSC,
// or one not in state 3) the HAL's results reach it as its algorithms made
// them: ALSC leaves the table as it was, AWB passes callbacks and ioctls on,
// XTM runs the HAL's calc.
TEST_F(Adapters, OutsideFixedModeTheHalResultsPassThrough) {
    const std::vector<std::vector<zeb_config::Block>> rows = {
        {}, {{"AWB1", 3}, {"ALSC1", 3}, {"XTM", 2}}, {{"AWB", 2}, {"ALSC", 0}, {"XTM_GTM", 1}}};
    for (const auto& blocks : rows) {
        SCOPED_TRACE(blocks.empty() ? std::string("no block") : blocks[0].name + ", " + blocks[1].name);
        Start(blocks);
        const Algorithm original(true, 256);
        EXPECT_TRUE(std::equal(original.table, original.table + 4, alscHal.table)) << "ALSC's table";
        Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5), x = Pattern(17436, 12);
        ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
        ZEB::ZebAlscInfo alscInfo{aem.data(), calc.data(), calc.data(), calc.data(), calc.data(), 8, 8};
        std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
        awb->SetFrameStaticInfo(&awbInfo, 0);
        alsc->SetFrameStaticInfo(&alscInfo, 0);
        xtm->SetFrameStaticInfo(&xtmList, 0);

        Bytes q = Pattern(64, 1), live = Pattern(120, 2), r = Pattern(600, 3), param(80, 0), toneMap(16384, 0);
        Put(r.data(), 48, toneMap.data());
        Put(r.data(), 576, toneMap.data());
        const Bytes given = r;
        void* table32[2] = {nullptr, live.data()};
        for (int64_t type : {33, 29, 32}) EXPECT_EQ(awbHal.Callback(type, q.data(), table32), 5);
        EXPECT_EQ(awbHal.Ioctl(257, nullptr, q.data()), 7);
        EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 3);
        EXPECT_TRUE(q == Pattern(64, 1) && live == Pattern(120, 2) && r == given && toneMap == Bytes(16384, 0));
        EXPECT_EQ(gHal->callbacks + gHal->ioctls + gHal->processes, 5);
        Stop();
    }
}

TEST_F(Adapters, NullOrUnmappedAddressesInHalRecordsAreNeverWrittenThrough) {
    LogCapture log;
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM", 3}});
    Bytes aem = Pattern(196620, 4), calc = Pattern(120, 5), lsc4 = Pattern(208, 9), x = Pattern(17436, 12);
    ZEB::ZebAwbInfo awbInfo{aem.data(), calc.data()};
    ZEB::ZebAlscInfo alscInfo{aem.data(), calc.data(), lsc4.data(), calc.data(), calc.data(), 8, 8};
    std::vector<ZEB::ZebXtmInfo> xtmList{{x.data()}};
    awb->SetFrameStaticInfo(&awbInfo, 0);
    alsc->SetFrameStaticInfo(&alscInfo, 0);
    xtm->SetFrameStaticInfo(&xtmList, 0);
    void* const unmapped = reinterpret_cast<void*>(8);

    // No init record, or an empty callback slot: the HAL's init, the slot untouched.
    Bytes empty(384, 0);
    for (Algorithm* algorithm : {&aeHal, &awbHal, &alscHal}) {
        algorithm->Init(nullptr);
        algorithm->Init(unmapped);
        algorithm->Init(empty.data());
    }
    EXPECT_EQ(empty, Bytes(384, 0));
    EXPECT_EQ(gHal->inits, 9);

    // The live AWB result, the ALSC result, the ioctl targets: the HAL gets the call as it is.
    void* noResult[2] = {nullptr, unmapped};
    void* noTarget[2] = {nullptr, nullptr};
    EXPECT_EQ(awbHal.Callback(32, nullptr, noResult), 5);
    EXPECT_EQ(awbHal.Callback(33, unmapped, nullptr), 5);
    EXPECT_EQ(alscHal.Callback(28, unmapped, nullptr), 5);
    EXPECT_EQ(awbHal.Ioctl(257, nullptr, unmapped), 7);
    EXPECT_EQ(alscHal.Ioctl(8, nullptr, noTarget), 7);
    EXPECT_EQ(gHal->callbacks, 3);
    EXPECT_EQ(gHal->ioctls, 2);

    // XTM buffers missing: the HAL computes its own result.
    Bytes r(600, 0), param(8, 0), gamma(514, 0);
    Put(r.data(), 576, gamma.data());
    EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 3);
    EXPECT_EQ(gamma, Bytes(514, 0));
    EXPECT_EQ(log.Count("Not valid intput", "ZEB_XTM"), 1u);
    EXPECT_EQ(log.Count("Not valid intput", "ZEB_AWB"), 5u);
    EXPECT_EQ(log.Count("Not valid intput", "ZEB_ALSC"), 4u);
}

TEST_F(Adapters, ARecycledTasksRecordsAreDropped) {
    LogCapture log;
    Start({{"XTM", 3}});
    zeb_test::TempDir folder;
    ZEB::TaskMap tasks;
    tasks[0] = std::make_shared<ZEB::TaskInfo>();
    tasks[0]->TaskInputPath[0] = folder.path();
    ZEB::ReadControl reader(&tasks);
    ASSERT_TRUE(zeb_test::WaitFor([&] {
        MutexLock guard(tasks[0]->TaskLock);
        return tasks[0]->TaskFrameStatus;
    }));
    ZEB::ZEBFrame& f = *tasks[0]->TaskFrame.front();
    std::vector<ZEB::ZebAeInfo> aeList{{f.mAemInfo, f.mAeResultInfo}};
    ZEB::ZebAwbInfo awbInfo{f.mAemInfo, f.mAwbCalcInfo};
    std::vector<ZEB::ZebXtmInfo> xtmList{{f.mXtmResultInfo}};
    ae->SetFrameStaticInfo(&aeList, 0);
    awb->SetFrameStaticInfo(&awbInfo, 0);
    xtm->SetFrameStaticInfo(&xtmList, 0);
    Bytes out(1248), toneMap(16384), gamma(514), r(600, 0), param(8);
    Put(r.data(), 48, toneMap.data());
    Put(r.data(), 576, gamma.data());
    ASSERT_EQ(aeHal.Ioctl(1, &gHandle, out.data()), 0);

    reader.RecycleFrame(0);
    EXPECT_EQ(aeHal.Ioctl(1, &gHandle, out.data()), 7);
    EXPECT_EQ(awb->GetFrameAEMInfo(0), nullptr);
    EXPECT_EQ(xtmHal.Process(param.data(), r.data()), 0);
    EXPECT_TRUE(log.Contains("ZEB_AE error, could get AE info with frame id 0", "ZEB_AE", 1));
    EXPECT_TRUE(log.Contains("ZEB_XTM error, could get XTM info with frame id 0", "ZEB_XTM", 1));
}

// HAL threads run the wrappers while the driver hands over new frames and
// frames are freed under them: no wrapper reads a freed frame (ASan) and
// every lookup is ordered against the insertions and drops (TSan).
TEST_F(Adapters, WrappersRaceHandOversAndFreedFrames) {
    Start({{"AWB", 3}, {"ALSC", 3}, {"XTM", 3}});
    gHal->planeBytes = 64;  // the HAL's AWB process reads the planes it is given
    gHal->planeOffsets[0] = 56, gHal->planeOffsets[1] = 64, gHal->planeOffsets[2] = 72;
    ZEB::ParameterManagerBase::SetFrameSize(1);
    std::atomic<bool> stop{false};
    auto hal = [&](int which) {
        Bytes param(80), live(1248), out(1248), toneMap(16384), gamma(514), xtmResult(600);
        Put(xtmResult.data(), 48, toneMap.data());
        Put(xtmResult.data(), 576, gamma.data());
        void* liveTable[2] = {nullptr, live.data()};
        void* target[2] = {nullptr, out.data()};
        int64_t zero = 0;
        while (!stop.load()) {
            param.assign(80, 0);  // the HAL's own statistics: none
            if (which == 0) {
                aeHal.Callback(6, &zero, live.data());
                aeHal.Ioctl(1, &gHandle, out.data());
                awbHal.Process(param.data(), out.data());
            } else {
                awbHal.Callback(32, nullptr, liveTable);
                awbHal.Ioctl(257, nullptr, out.data());
                alscHal.Callback(28, out.data(), nullptr);
                alscHal.Ioctl(8, nullptr, target);
                alscHal.Process(param.data(), out.data());
                xtmHal.Process(param.data(), xtmResult.data());
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
        for (ZEB::ParameterManagerBase* module :
             std::initializer_list<ZEB::ParameterManagerBase*>{ae.get(), awb.get(), alsc.get(), xtm.get()}) {
            module->SetFrameId(id);
        }
        // Both HAL threads meet this frame's records before the frame before goes.
        const int processes = gHal->processes.load();
        // Not an assertion: the HAL threads must be joined whatever happens.
        EXPECT_TRUE(zeb_test::WaitFor([&] { return gHal->processes.load() > processes + 2; }));
        previous = std::move(frame);
    }
    previous.reset();
    stop.store(true);
    first.join();
    second.join();
    EXPECT_EQ(awb->GetFrameAEMInfo(39), nullptr) << "the last frame's record went with it";
}

}  // namespace
