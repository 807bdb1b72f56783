#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "ConfigFiles.h"
#include "parameter/ConfigReader.h"
#include "parameter/SceneParameter.h"
#include "parameter/XmlSchema.h"
#include "platform/Host.h"
#include "platform/Log.h"
#include "support/TestSupport.h"

using zeb_platform::LogCapture;
using ZEB::iSceneInfo;

namespace ZEB {
struct SceneParameterProbe {
    static std::mutex& MapLock(SceneParameter& scene) { return scene.mMapLock.native(); }
    static size_t Filed(const SceneParameter& scene) NO_THREAD_SAFETY_ANALYSIS {  // under the map lock
        return scene.mSceneMapper.size();
    }
};
}  // namespace ZEB

namespace {

template <class T>
T At(const iSceneInfo& scene, size_t offset) { return zeb_test::At<T>(&scene, offset); }

class SceneFile : public ::testing::Test {
protected:
    iSceneInfo Read(const std::string& xml, const ZEB::XmlStructure& table, size_t offset) {
        zeb_config::Write(mDir / "scene.xml", xml);
        iSceneInfo scene;
        memset(&scene, 0, sizeof(scene));
        mReader.ParseXML((mDir / "scene.xml").c_str(), reinterpret_cast<char*>(&scene) + offset, &table);
        return scene;
    }

    zeb_test::TempDir mDir;
    ZEB::ConfigReader mReader;
};

TEST_F(SceneFile, CommonInfoFieldsLandAtTheirOffsets) {
    iSceneInfo scene = Read("<root><commonInfo><width>4000</width><height>3000</height></commonInfo></root>",
                            ZEB::CommonStructure, 0);
    EXPECT_EQ(At<uint32_t>(scene, 8), 4000u);
    EXPECT_EQ(At<uint32_t>(scene, 12), 3000u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&scene);
    for (size_t i = 0; i < sizeof(scene); ++i) {
        if (i >= 8 && i < 16) continue;
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    }

    scene = Read(
        "<root><commonInfo><zoom_ratio>2.5</zoom_ratio><crop_region>0 0 4000 3000</crop_region>"
        "<app_mode>-3</app_mode><prv_scenario_id>1a</prv_scenario_id><cap_scenario_id>0xFF</cap_scenario_id>"
        "<SessionMode>9</SessionMode></commonInfo></root>",
        ZEB::CommonStructure, 0);
    EXPECT_FLOAT_EQ(At<float>(scene, 16), 2.5f);
    EXPECT_EQ(At<uint32_t>(scene, 28), 4000u);
    EXPECT_EQ(At<uint32_t>(scene, 32), 3000u);
    EXPECT_EQ(At<int32_t>(scene, 36), -3);
    EXPECT_EQ(At<uint64_t>(scene, 48), 26u);
    EXPECT_EQ(At<uint64_t>(scene, 56), 255u);
    EXPECT_EQ(At<int32_t>(scene, 68), 9);

    // A short array fills its first entries; a second group overwrites the
    // first from its start, absent values as 0.
    LogCapture log;
    scene = Read("<root><commonInfo><crop_region>5 6</crop_region><height>2</height></commonInfo>"
                 "<commonInfo><crop_region>5 6</crop_region></commonInfo></root>",
                 ZEB::CommonStructure, 0);
    EXPECT_TRUE(log.Contains("Find FirstLayer commonInfo with size 2"));
    EXPECT_EQ(At<uint32_t>(scene, 24), 6u);
    EXPECT_EQ(At<uint32_t>(scene, 28), 0u);
    EXPECT_EQ(scene.commonInfo.height, 0u);
}

TEST_F(SceneFile, EveryGroupLandsInItsPlace) {
    const std::string xml =
        "<root><switchInfo><face_beauty_on>true</face_beauty_on><is_flash_on>1</is_flash_on></switchInfo>"
        "<ThreeAInfo><bv>-5</bv><gtm_gain>77</gtm_gain></ThreeAInfo>"
        "<postprocInfo><remosaic_type>4</remosaic_type><is_xdr_scene>1</is_xdr_scene></postprocInfo>"
        "<capInfo><postproc_type>8</postproc_type><ev>-1.5</ev></capInfo>"
        "<hdrDetectOut><ev>-2 0 2</ev><shutter>10 20</shutter><gain>1 1 1 1 1 1 1 1 1 7</gain>"
        "<frame_num>3</frame_num><normalNum>6</normalNum></hdrDetectOut>"
        "<FDInfo><face_count>2</face_count><face_rectangle_coordinate_prev>1 2 3 4</face_rectangle_coordinate_prev>"
        "<face_rectangle_coordinate_cap>9</face_rectangle_coordinate_cap></FDInfo>"
        "<androidTag><ae_mode>1</ae_mode><lcd_flash_mode>3</lcd_flash_mode></androidTag></root>";
    zeb_config::Write(mDir / "scene.xml", xml);
    iSceneInfo scene;
    memset(&scene, 0, sizeof(scene));
    char* base = reinterpret_cast<char*>(&scene);
    const std::string file = mDir / "scene.xml";
    const char* path = file.c_str();
    mReader.ParseXML(path, base + 72, &ZEB::SwitchStructure);
    mReader.ParseXML(path, base + 84, &ZEB::ThreeAStructure);
    mReader.ParseXML(path, base + 112, &ZEB::PostProcStructure);
    mReader.ParseXML(path, base + 148, &ZEB::CapStructure);
    mReader.ParseXML(path, base + 172, &ZEB::HDRStructure);
    mReader.ParseXML(path, base + 332, &ZEB::FaceStructure);
    mReader.ParseXML(path, base + 1136, &ZEB::TagStructure);

    EXPECT_EQ(At<uint8_t>(scene, 72), 1);
    EXPECT_EQ(At<uint8_t>(scene, 83), 1);
    const std::pair<size_t, int32_t> ints[] = {{84, -5}, {108, 77}, {112, 4}, {144, 1}, {148, 8}, {216, 20},
                                               {288, 7}, {292, 3},  {328, 6}, {332, 2}, {348, 4}, {736, 9},
                                               {1136, 1}, {1144, 3}, {1148, 0}};  // Valid is not the reader's
    for (const auto& field : ints) EXPECT_EQ(At<int32_t>(scene, field.first), field.second) << field.first;
    EXPECT_FLOAT_EQ(At<float>(scene, 168), -1.5f);
    EXPECT_FLOAT_EQ(At<float>(scene, 172), -2.0f);
    EXPECT_FLOAT_EQ(At<float>(scene, 180), 2.0f);
}

TEST_F(SceneFile, BadFilesLeaveTheDestinationAlone) {
    iSceneInfo scene;
    memset(&scene, 0x5a, sizeof(scene));
    mReader.ParseXML((mDir / "absent.xml").c_str(), &scene, &ZEB::CommonStructure);
    mReader.ParseXML(nullptr, &scene, &ZEB::CommonStructure);
    for (const char* xml : {"<root><commonInfo>", "<scene><commonInfo><width>5</width></commonInfo></scene>"}) {
        zeb_config::Write(mDir / "bad.xml", xml);
        mReader.ParseXML((mDir / "bad.xml").c_str(), &scene, &ZEB::CommonStructure);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&scene);
    for (size_t i = 0; i < sizeof(scene); ++i) ASSERT_EQ(bytes[i], 0x5a) << i;
}

// The scene module over a task map of its own.
class SceneModule : public ::testing::Test {
protected:
    // Cases lengthen the scaled waits; the cases after them, in this process,
    // must not inherit a full second.
    void TearDown() override { zeb_platform::SetTimeScale(mTimeScale); }

    std::shared_ptr<ZEB::TaskInfo> AddTask(int64_t index, const std::string& folder) {
        auto task = std::make_shared<ZEB::TaskInfo>();
        task->TaskInputPath[0] = folder;
        mTasks.emplace(index, task);
        return task;
    }
    const iSceneInfo* Record(int64_t index) {
        return static_cast<const iSceneInfo*>(mScene.GetParameter(&index));
    }

    const double mTimeScale = zeb_platform::TimeScale();
    zeb_test::TempDir mDir;
    ZEB::TaskMap mTasks;
    ZEB::SceneParameter mScene;
};

TEST_F(SceneModule, MatchesTheFirstFiveCharactersOfTheFileNameTail) {
    zeb_config::Write(mDir / "a/a_iscene_Info.xml", "<root/>");
    zeb_config::Write(mDir / "b/iscene.xml", "<root/>");
    zeb_config::Write(mDir / "c/iscenXXXXXXXXXX", "<root/>");
    std::string a = mDir / "a", b = mDir / "b", c = mDir / "c", missing = mDir / "none";
    EXPECT_TRUE(mScene.MatchFile("iscene_Info.xml", a));
    EXPECT_EQ(a, mDir / "a/a_iscene_Info.xml");
    EXPECT_FALSE(mScene.MatchFile("iscene_Info.xml", b));
    EXPECT_EQ(b, mDir / "b");
    EXPECT_TRUE(mScene.MatchFile("iscene_Info.xml", c));
    LogCapture log;
    EXPECT_FALSE(mScene.MatchFile("iscene_Info.xml", missing));
    EXPECT_TRUE(log.Contains("Could not OpenDIR with Path " + missing, "ZEB_SCENE", 1));
}

TEST_F(SceneModule, ReadsEveryTasksSceneAndHandsOutRecordsByIndex) {
    zeb_config::Write(mDir / "t0/iscene_Info.xml", zeb_config::SceneXml(4000, 3000, 1, -1.5f));
    zeb_config::Write(mDir / "t0/frame.raw", "x");
    zeb_config::Write(mDir / "t2/iscene_Info.xml", "<root><broken>");
    AddTask(0, mDir / "t0");
    AddTask(1, mDir / "t0");  // two tasks on one folder: two equal records
    AddTask(2, mDir / "t2");
    AddTask(3, mDir / "no_scene");
    AddTask(4, "");

    // Lookups end when the record is in: a full second is only an upper bound.
    zeb_platform::SetTimeScale(1.0);
    EXPECT_TRUE(mScene.GetStatus(nullptr)->IsReady());
    mScene.ParseParameter(&mTasks);

    const iSceneInfo* first = Record(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Valid, 1u);
    EXPECT_EQ(first->commonInfo.width, 4000u);
    EXPECT_EQ(first->commonInfo.crop_region[3], 3000u);
    EXPECT_EQ(first->postprocInfo.is_hdr_scene, 1);
    EXPECT_FLOAT_EQ(first->capInfo.ev, -1.5f);
    EXPECT_FLOAT_EQ(first->hdrDetectOut.ev[2], 2.0f);
    EXPECT_EQ(first->hdrDetectOut.frame_num, 3u);
    EXPECT_EQ(first->androidTag.flash_mode, 2u);
    const iSceneInfo* second = Record(1);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(memcmp(first, second, sizeof(iSceneInfo)), 0);
    // A broken scene file still gives a valid, zeroed record.
    const iSceneInfo* broken = Record(2);
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(broken->Valid, 1u);
    EXPECT_EQ(broken->commonInfo.width, 0u);
    // Records stay where they are: the map is the module's for its life.
    EXPECT_EQ(Record(0), first);

    zeb_platform::SetTimeScale(0.01);
    LogCapture log;
    EXPECT_EQ(Record(3), nullptr);
    EXPECT_EQ(Record(4), nullptr);
    EXPECT_EQ(log.Count("Could not find corresponding frame with frmId", "ZEB_SCENE"), 2u);
    auto* records = static_cast<std::map<int64_t, iSceneInfo>*>(mScene.GetParameter(nullptr));
    EXPECT_EQ(records->size(), 3u);
}

TEST_F(SceneModule, CallersWaitingWhileTheReaderRunsGetEveryRecord) {
    // Many tasks, looked up from several threads while the reader inserts:
    // the lookups must see each record whole, and never a torn map.
    constexpr int kTasks = 60;
    for (int i = 0; i < kTasks; ++i) {
        const std::string folder = mDir / ("t" + std::to_string(i));
        zeb_config::Write(folder + "/iscene_Info.xml", zeb_config::SceneXml(100 + i, 50, 0, 0.0f));
        AddTask(i, folder);
    }
    // The one-second wait must outlast the reader, even on a loaded machine.
    zeb_platform::SetTimeScale(5.0);
    auto* records = static_cast<std::map<int64_t, iSceneInfo>*>(mScene.GetParameter(nullptr));
    ASSERT_NE(records, nullptr);
    mScene.ParseParameter(&mTasks);
    std::vector<std::thread> callers;
    std::atomic<int> found{0};
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            for (int i = kTasks - 1 - t; i >= 0; i -= 3) {
                const iSceneInfo* record = Record(i);
                if (record && record->Valid == 1 && record->commonInfo.width == 100u + i) ++found;
            }
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(found.load(), kTasks);
}

TEST_F(SceneModule, StartingAgainWhileReadingIsRefusedAndStopJoins) {
    LogCapture log(1);
    // Held while the reader still has records to file, the map lock keeps it
    // reading; a second start is turned away at once instead of waiting.
    // Each attempt adds twenty tasks: records already filed stay.
    std::unique_lock<std::mutex> busy(ZEB::SceneParameterProbe::MapLock(mScene), std::defer_lock);
    for (int attempt = 0; attempt < 10 && !busy.owns_lock(); ++attempt) {
        for (int i = 0; i < 20; ++i) {
            const std::string folder = mDir / ("t" + std::to_string(i));
            zeb_config::Write(folder + "/iscene_Info.xml", zeb_config::SceneXml(i, 1, 0, 0.0f));
            AddTask(attempt * 20 + i, folder);
        }
        mScene.Stop();
        mScene.ParseParameter(&mTasks);
        busy.lock();
        if (ZEB::SceneParameterProbe::Filed(mScene) == mTasks.size()) busy.unlock();
    }
    ASSERT_TRUE(busy.owns_lock()) << "the reader was never caught reading";
    auto again = std::async(std::launch::async, [this] { mScene.PrepareSceneParameters(); });
    EXPECT_EQ(again.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    busy.unlock();
    again.get();
    EXPECT_EQ(log.Count("scene reader already running", "ZEB_SCENE", 1), 1u);
    mScene.Stop();
    // Stopped for good: restarting reads again, and what is there stays.
    mScene.PrepareSceneParameters();
    EXPECT_TRUE(zeb_test::WaitFor([&] { return Record(mTasks.rbegin()->first) != nullptr; }));
    mScene.ParseParameter(nullptr);
}

}  // namespace
