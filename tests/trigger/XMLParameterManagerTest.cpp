#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

using namespace trigger_test;
using zeb_platform::LogCapture;
using ZEB::XMLAutoParser;
using ZEB::XMLParameterManager;

TEST(XMLParameterManager, ConstantLineThenOneLinePerTreeInNameOrder) {
    XMLAutoParser parser(SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    EXPECT_EQ(manager.GetConstLen(), 3);
    EXPECT_EQ(manager.GetSectorLen(), (std::vector<int32_t>{5, 3}));  // Denoise, Sharpen
    ASSERT_EQ(manager.GetOutputLen(), 11);
    auto line = Query(manager, {{150, 6}, {4500}});
    EXPECT_EQ(IntAt(line, 0), 1);
    EXPECT_EQ(FloatsAt(line, 1, 5), (std::vector<float>{1, 0.5f, 1.25f, 2, 2.75f}));
    EXPECT_EQ(IntAt(line, 6), 150);
    EXPECT_EQ(IntAt(line, 7), 200);
    EXPECT_EQ(FloatsAt(line, 8, 2), (std::vector<float>{1.5f, 1.2f}));
    EXPECT_EQ(IntAt(line, 10), 16);
    line = Query(manager, {{300, 2}, {6000}});
    EXPECT_EQ(FloatAt(line, 3), 0.5f);  // region 2 (leaf 0x2)
    EXPECT_EQ(IntAt(line, 10), 32);
    // A tree without a list of its own takes its first region.
    line = Query(manager, {{300, 2}});
    EXPECT_EQ(FloatAt(line, 3), 0.5f);
    EXPECT_EQ(FloatAt(line, 8), 1.0f);
    line = Query(manager, {});
    EXPECT_EQ(FloatAt(line, 3), 1.0f);
    manager.GetDataInfo({}, nullptr);
}

TEST(XMLParameterManager, ConstantParametersTakeTheirLengthWhateverTheirValues) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <ConstData>
    <c name="many" type="int" length="1" index="0">1 2 3 4</c>
    <c name="few" type="float" length="4" index="1">0.5 0.25</c>
    <c name="bad" type="double" length="2" index="2">1 2</c>
    <c name="more" type="int" length="2" index="3">5 6 7 8 9</c>
    <c name="negative" type="int" length="-3" index="4">1 2</c>
  </ConstData>
  <Triggers name="T"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Parameters name="T"><g index="0"><p name="v" type="int" length="1" index="0">77</p></g></Parameters>)"));
    LogCapture log;
    XMLParameterManager manager(parser.GetXMLData());
    ASSERT_EQ(manager.GetConstLen(), 9);
    EXPECT_TRUE(log.Contains("constant parameter few holds 2 values for length 4; the line fills up with zeros",
                             "TRIGGER_MANAGER", 1));
    EXPECT_TRUE(log.Contains("constant parameter more holds 5 values for length 2; the line cuts them"));
    const auto line = Query(manager, {{0.5f}});
    // "1 2 3 4" with length 1 is read whole by the single-value rule: 1.
    EXPECT_EQ(IntAt(line, 0), 1);
    EXPECT_EQ(FloatsAt(line, 1, 4), (std::vector<float>{0.5f, 0.25f, 0, 0}));
    EXPECT_EQ(std::vector<uint32_t>(line.begin() + 5, line.end()), (std::vector<uint32_t>{0, 0, 5, 6, 77}));

    // A length no file means must not take the memory of the process.
    ZEB::paramInfo huge = Ints("huge", {1});
    huge.length = INT32_MAX;
    manager.FormConstDataBufferLine({Floats("one", {2.5f}), huge});
    EXPECT_EQ(manager.GetConstLen(), 1 << 20);
    EXPECT_TRUE(log.Contains("constant parameter huge: length 2147483647 is more than the line may hold"));
}

TEST(XMLParameterManager, EmptyFilesAndTreesGiveEmptyOrZeroLines) {
    zeb_test::TempDir dir;
    zeb_test::WriteFile(dir / "empty.xml", "");
    XMLAutoParser parser(dir / "empty.xml");
    XMLParameterManager empty(parser.GetXMLData());
    EXPECT_EQ(empty.GetOutputLen(), 0);
    Query(empty, {{1}});
    std::map<std::string, ZEB::dataPool> pools;
    pools["A"];  // no regions
    pools["B"].regions[0] = Region({Range(0, 10)}, {Ints("v", {4})});
    pools["C"].regions[1] = Region({Range(0, 10)}, {Ints("v", {5, 6})});  // no region 0, so no levels
    XMLParameterManager partly(pools);
    EXPECT_EQ(partly.GetSectorLen(), (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(Query(partly, {{1}, {5}, {5}}), (std::vector<uint32_t>{4, 0, 0}));
    EXPECT_EQ(Query(partly, {{}, {}, {}}), (std::vector<uint32_t>{4, 0, 0}));
    partly.GetManagers()[2]->GetDataInfo({1}, nullptr);
}

TEST(XMLParameterManager, DebugPropertyQueriesFixedDataWithFixedCandidates) {
    zeb_test::DeviceRoot device;
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xml.debug.mode", "1"), 0);
    LogCapture log;
    XMLAutoParser parser(SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    ASSERT_TRUE(manager.IsDebug() && manager.GetManagers()[0]->IsDebug());
    ASSERT_EQ(manager.GetConstLen(), 3);
    ASSERT_EQ(manager.GetSectorLen(), (std::vector<int32_t>{5, 5, 5}));
    // The candidates given are ignored: [1.0, 3.0, 350.0] per tree.
    auto line = Query(manager, {{9999}});
    EXPECT_EQ(std::vector<uint32_t>(line.begin(), line.begin() + 3), (std::vector<uint32_t>{1, 2, 0x3f000000u}));
    for (size_t at = 3; at < 18; at += 5) {
        EXPECT_EQ(FloatsAt(line, at, 3), (std::vector<float>{1.5f, 2, 2.5f})) << at;
        EXPECT_EQ(IntAt(line, at + 3), 150) << at;
        EXPECT_EQ(IntAt(line, at + 4), 155) << at;
    }
    // Every step is logged.
    for (const char* text : {"treeIter-> [400.000000, 1000.000000]", "Candidate info 350.000000",
                             "_Iter [0.000000, 300.000000]", "Int Max [400.000000], Min [300.000000]",
                             "Final buffer with 155"}) {
        EXPECT_TRUE(log.Contains(text)) << text;
    }
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xml.debug.mode", "0"), 0);
    EXPECT_FALSE(XMLParameterManager(parser.GetXMLData()).IsDebug());
}

// A tree rebuilt through its own manager changes its line length; the
// whole-file line keeps the layout it announced. Queries from several threads
// while the tree is rebuilt each get their own line, as before.
TEST(XMLParameterManager, RebuildingATreeNeverMovesOrOverrunsTheLine) {
    XMLAutoParser parser(SampleFile());
    XMLParameterManager manager(parser.GetXMLData());
    const std::vector<std::vector<float>> inputs[2] = {{{150, 6}, {4500}}, {{300, 2}, {6000}}};
    const std::vector<uint32_t> expected[2] = {Query(manager, inputs[0]), Query(manager, inputs[1])};
    ASSERT_NE(expected[0], expected[1]);
    const auto denoise = parser.GetXMLData().at("Denoise").regions;
    auto wider = denoise;
    for (auto& entry : wider) entry.second.params.push_back(Ints("extra", std::vector<int32_t>(8, 9)));
    auto narrower = denoise;
    for (auto& entry : narrower) entry.second.params.resize(1);  // 3 values of 5

    const auto& tree = manager.GetManagers()[0];
    tree->InOrderBufferTraversal(wider);
    ASSERT_EQ(tree->GetParamLen(), 13);
    EXPECT_EQ(Query(manager, inputs[0]), expected[0]);
    tree->InOrderBufferTraversal(narrower);
    auto cut = expected[0];
    cut[6] = cut[7] = 0;  // the rest of Denoise's room is zero
    EXPECT_EQ(Query(manager, inputs[0]), cut);

    tree->InOrderBufferTraversal(denoise);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int i = 0; i < 200; ++i) tree->InOrderBufferTraversal(i % 2 ? wider : denoise);
    });
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::vector<uint32_t> line(expected[0].size() + 16);
            for (int i = 0; i < 300; ++i) {
                manager.GetDataInfo(inputs[(t + i) % 2], line.data());
                if (!std::equal(expected[(t + i) % 2].begin(), expected[(t + i) % 2].end(), line.begin())) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The HAL queries every frame with the same file: a failure a query meets is
// logged once per manager, not once per frame, and its count when the manager goes.
TEST(XMLParameterManager, RepeatedQueryFailuresAreLoggedOnceThenCounted) {
    zeb_test::TempDir dir;
    XMLAutoParser parser(WriteParamFile(dir, R"(
  <Triggers name="T">
    <n start="0" end="10" para="p" name="a">0</n>
    <n start="20" end="30" para="p" name="b">1</n>
  </Triggers>
  <Parameters name="T">
    <g index="0"><p name="v" type="int" length="1" index="0">1</p></g>
    <g index="1"><p name="v" type="int" length="3" index="0">2 3 4</p></g>
  </Parameters>)"));
    LogCapture log(4);
    {
        XMLParameterManager manager(parser.GetXMLData());
        for (int frame = 0; frame < 3; ++frame) {
            for (const auto& candidates : {std::vector<std::vector<float>>{{15}}, {{99}}, {{}}, {}}) {
                Query(manager, candidates);
            }
        }
        const char* const lines[] = {"for a line of 2", "have no partner", "Maybe some error", "Tree not prepared",
                                     "0 candidate lists for 1 trees"};
        for (const char* line : lines) EXPECT_EQ(log.Count(line), 1u) << line;
    }
    EXPECT_TRUE(log.Contains("Tree not prepared: 5 more times not logged", "TRIGGER_MANAGER", 4));
    EXPECT_TRUE(log.Contains("too few candidate lists: 2 more times not logged", "TRIGGER_MANAGER", 4));
}
