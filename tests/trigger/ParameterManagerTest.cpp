#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

using trigger_test::Floats;
using trigger_test::FloatAt;
using trigger_test::Ints;
using trigger_test::IntAt;
using trigger_test::Range;
using trigger_test::Region;
using zeb_platform::LogCapture;
using ZEB::XMLAutoParser;
using ZEB::XMLParameterManager;

namespace {

std::vector<uint32_t> Query(XMLParameterManager& manager, const std::vector<std::vector<float>>& candidates) {
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetOutputLen()) + 2, 0xdeadbeefu);
    manager.GetDataInfo(candidates, line.data());
    // Nothing past the announced length is touched.
    EXPECT_EQ(line[line.size() - 2], 0xdeadbeefu);
    EXPECT_EQ(line[line.size() - 1], 0xdeadbeefu);
    line.resize(line.size() - 2);
    return line;
}

}  // namespace

TEST(XMLParameterManager, ConstantLineThenOneLinePerTreeInNameOrder) {
    XMLAutoParser parser(trigger_test::SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    EXPECT_EQ(manager.GetConstLen(), 3);
    EXPECT_EQ(manager.GetSectorLen(), (std::vector<int32_t>{5, 3}));  // Denoise, Sharpen
    EXPECT_EQ(manager.GetTotalLen(), 8);
    ASSERT_EQ(manager.GetOutputLen(), 11);

    auto line = Query(manager, {{150.0f, 6.0f}, {4500.0f}});
    EXPECT_EQ(IntAt(line, 0), 1);
    EXPECT_EQ(FloatAt(line, 1), 1.0f);
    EXPECT_EQ(FloatAt(line, 2), 0.5f);
    EXPECT_FLOAT_EQ(FloatAt(line, 3), 1.25f);
    EXPECT_FLOAT_EQ(FloatAt(line, 4), 2.0f);
    EXPECT_FLOAT_EQ(FloatAt(line, 5), 2.75f);
    EXPECT_EQ(IntAt(line, 6), 150);
    EXPECT_EQ(IntAt(line, 7), 200);
    EXPECT_FLOAT_EQ(FloatAt(line, 8), 1.5f);
    EXPECT_FLOAT_EQ(FloatAt(line, 9), 1.2f);
    EXPECT_EQ(IntAt(line, 10), 16);

    line = Query(manager, {{300.0f, 2.0f}, {6000.0f}});
    EXPECT_FLOAT_EQ(FloatAt(line, 3), 0.5f);  // region 2 (leaf 0x2)
    EXPECT_EQ(IntAt(line, 7), 100);
    EXPECT_FLOAT_EQ(FloatAt(line, 8), 2.0f);
    EXPECT_EQ(IntAt(line, 10), 32);
}

TEST(XMLParameterManager, ConstantLineIsSizedFromTheValuesNotTheLengths) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(trigger_test::WriteParamFile(dir, R"(
  <ConstData>
    <c name="many" type="int" length="1" index="0">1 2 3 4</c>
    <c name="few" type="float" length="6" index="1">0.5 0.25</c>
    <c name="bad" type="double" length="3" index="2">1 2 3</c>
    <c name="more" type="int" length="2" index="3">5 6 7 8</c>
  </ConstData>
  <Triggers name="T"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Parameters name="T"><g index="0"><p name="v" type="int" length="1" index="0">9</p></g></Parameters>)"));
    LogCapture log;
    XMLParameterManager manager(parser.GetXMLData());
    // "1 2 3 4" with length 1 is read whole by the single-value rule: 1.
    ASSERT_EQ(manager.GetConstLen(), 7);
    EXPECT_TRUE(log.Contains("constant parameters announce 12 values and hold 7", "TRIGGER_MANAGER", 1));
    auto line = Query(manager, {{0.5f}});
    EXPECT_EQ(IntAt(line, 0), 1);
    EXPECT_EQ(FloatAt(line, 1), 0.5f);
    EXPECT_EQ(FloatAt(line, 2), 0.25f);
    EXPECT_EQ(IntAt(line, 3), 5);
    EXPECT_EQ(IntAt(line, 6), 8);
    EXPECT_EQ(IntAt(line, 7), 9);

    // More values than announced: every one is kept, none written past the buffer.
    ZEB::paramInfo wide = Ints("wide", {1, 2, 3, 4, 5, 6, 7, 8});
    wide.length = 1;
    manager.FormConstDataBufferLine({wide, Floats("one", {2.5f})});
    ASSERT_EQ(manager.GetConstLen(), 9);
    line = Query(manager, {{0.5f}});
    EXPECT_EQ(IntAt(line, 7), 8);
    EXPECT_EQ(FloatAt(line, 8), 2.5f);
    EXPECT_EQ(IntAt(line, 9), 9);
}

TEST(XMLParameterManager, TreesWithoutACandidateListTakeTheirFirstRegion) {
    XMLAutoParser parser(trigger_test::SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    LogCapture log;
    auto line = Query(manager, {{300.0f, 2.0f}});
    EXPECT_FLOAT_EQ(FloatAt(line, 3), 0.5f);
    EXPECT_FLOAT_EQ(FloatAt(line, 8), 1.0f);  // Sharpen region 0
    EXPECT_EQ(IntAt(line, 10), 16);
    EXPECT_TRUE(log.Contains("1 candidate lists for 2 trees", "TRIGGER_MANAGER", 1));
    line = Query(manager, {});
    EXPECT_FLOAT_EQ(FloatAt(line, 3), 1.0f);  // Denoise region 0
    EXPECT_EQ(IntAt(line, 10), 16);
    manager.GetDataInfo({}, nullptr);
}

TEST(XMLParameterManager, EmptyFilesAndTreesGiveEmptyOrZeroLines) {
    zeb_test::TempDir dir;
    const std::string path = dir / "empty.xml";
    zeb_test::WriteFile(path, "");
    XMLAutoParser parser(path);
    XMLParameterManager manager(parser.GetXMLData());
    EXPECT_EQ(manager.GetOutputLen(), 0);
    uint32_t guard = 0xdeadbeefu;
    manager.GetDataInfo({{1.0f}}, &guard);
    EXPECT_EQ(guard, 0xdeadbeefu);

    std::map<std::string, ZEB::dataPool> pools;
    pools["A"];  // a tree without regions
    pools["B"].regions[0] = Region({Range(0, 10)}, {Ints("v", {4})});
    XMLParameterManager partly(pools);
    EXPECT_EQ(partly.GetSectorLen(), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(Query(partly, {{1.0f}, {5.0f}}), (std::vector<uint32_t>{4}));
}

TEST(XMLParameterManager, DebugPropertyQueriesFixedDataWithFixedCandidates) {
    zeb_test::DeviceRoot device;
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xml.debug.mode", "1"), 0);
    XMLAutoParser parser(trigger_test::SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    ASSERT_TRUE(manager.IsDebug());
    ASSERT_EQ(manager.GetConstLen(), 3);
    ASSERT_EQ(manager.GetSectorLen(), (std::vector<int32_t>{5, 5, 5}));
    // The candidates given are ignored: [1.0, 3.0, 350.0] per tree.
    auto line = Query(manager, {{9999.0f}});
    EXPECT_EQ(IntAt(line, 0), 1);
    EXPECT_EQ(IntAt(line, 1), 2);
    EXPECT_EQ(FloatAt(line, 2), 0.5f);
    for (int tree = 0; tree < 3; ++tree) {
        const size_t at = 3 + 5 * static_cast<size_t>(tree);
        EXPECT_FLOAT_EQ(FloatAt(line, at), 1.5f) << tree;
        EXPECT_FLOAT_EQ(FloatAt(line, at + 1), 2.0f) << tree;
        EXPECT_FLOAT_EQ(FloatAt(line, at + 2), 2.5f) << tree;
        EXPECT_EQ(IntAt(line, at + 3), 150) << tree;
        EXPECT_EQ(IntAt(line, at + 4), 155) << tree;
    }
}

TEST(XMLParameterManager, FakeDataIsWellFormed) {
    std::map<int32_t, ZEB::trigger2Param> regions;
    ZEB::MakeFakeData(regions);
    ASSERT_EQ(regions.size(), 8u);
    for (const auto& [number, region] : regions) {
        EXPECT_EQ(region.triggers.size(), 3u);
        EXPECT_EQ(region.triggers.back().value, number);
        EXPECT_FALSE(region.triggers.back().name.empty());
    }
    std::map<std::string, ZEB::dataPool> pools;
    pools["stale"];
    ZEB::FormFakeDataLine(pools);
    EXPECT_EQ(pools.size(), 3u);
    EXPECT_FALSE(pools.count("stale"));
}

TEST(XMLParameterManager, ConcurrentQueriesEachGetTheirOwnLine) {
    XMLAutoParser parser(trigger_test::SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    const std::vector<std::vector<float>> inputs[2] = {{{150.0f, 6.0f}, {4500.0f}}, {{300.0f, 2.0f}, {6000.0f}}};
    const std::vector<uint32_t> expected[2] = {Query(manager, inputs[0]), Query(manager, inputs[1])};
    ASSERT_NE(expected[0], expected[1]);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint32_t> line(expected[0].size());
            for (int i = 0; i < 300; ++i) {
                const int which = (t + i) % 2;
                manager.GetDataInfo(inputs[which], line.data());
                if (line != expected[which]) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}
