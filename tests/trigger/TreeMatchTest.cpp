#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "trigger/TriggerAndDataManager.h"

using trigger_test::Floats;
using trigger_test::Range;
using trigger_test::Region;
using zeb_platform::LogCapture;
using ZEB::ATree;
using ZEB::MatchedNodes;
using ZEB::TriggerAndDataManager;

namespace {

using Regions = std::map<int32_t, ZEB::trigger2Param>;

// One level of ranges, region i holding the value i.
Regions OneLevel(std::initializer_list<std::pair<float, float>> ranges) {
    Regions regions;
    int32_t number = 0;
    for (const auto& range : ranges) {
        regions[number] = Region({Range(range.first, range.second)}, {Floats("v", {static_cast<float>(number)})});
        ++number;
    }
    return regions;
}

struct Matched {
    float start;
    float end;
    bool operator==(const Matched& other) const { return start == other.start && end == other.end; }
};

std::vector<Matched> RangesAt(const MatchedNodes& matched, int32_t level) {
    std::vector<Matched> ranges;
    auto found = matched.find(level);
    if (found == matched.end()) return ranges;
    for (const ATree* node : found->second) ranges.push_back({node->GetRange().start, node->GetRange().end});
    return ranges;
}

}  // namespace

TEST(TriggerTree, RegionsInNestedOrderShareTheirUpperRanges) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {0})});
    regions[1] = Region({Range(0, 10), Range(5, 9)}, {Floats("v", {1})});
    regions[2] = Region({Range(20, 30), Range(0, 5)}, {Floats("v", {2})});
    TriggerAndDataManager manager(regions);

    EXPECT_EQ(manager.GetLayerSize(), 3);
    EXPECT_EQ(manager.GetTriggerDepth(), 2);
    EXPECT_EQ(manager.GetParamLen(), 1);
    const auto& levels = manager.GetAllTreeVec();
    ASSERT_EQ(levels.size(), 2u);
    ASSERT_EQ(levels[0].size(), 2u);
    // [0, 5] under [20, 30] follows [0, 5] of the same range under [0, 10]:
    // it still gets a node of its own, under its own parent.
    ASSERT_EQ(levels[1].size(), 3u);
    EXPECT_EQ(levels[1][0]->GetParent(), levels[0][0]);
    EXPECT_EQ(levels[1][1]->GetParent(), levels[0][0]);
    EXPECT_EQ(levels[1][2]->GetParent(), levels[0][1]);
    EXPECT_EQ(levels[1][2]->GetTreeParam()[0].floatData[0], 2.0f);
    EXPECT_EQ(levels[1][0]->GetTreeParam()[0].floatData[0], 0.0f);

    const auto& root = manager.GetRootNode();
    EXPECT_EQ(root->GetRange().start, 0.0f);
    EXPECT_EQ(root->GetRange().end, 0.0f);
    EXPECT_EQ(root->GetParent(), nullptr);
    ASSERT_EQ(root->findLeafChild().size(), 2u);
    EXPECT_EQ(root->findLeafChild(levels[0][0]).size(), 2u);
    EXPECT_TRUE(root->findLeafChild(nullptr).empty());
}

TEST(TriggerTree, OnlyTheAdjacentRegionIsJoinedUnlessTheSampleBuilderIsUsed) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {0})});
    regions[1] = Region({Range(0, 10), Range(5, 9)}, {Floats("v", {1})});
    regions[2] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {2})});
    TriggerAndDataManager manager(regions);
    ASSERT_EQ(manager.GetAllTreeVec()[0].size(), 1u);
    EXPECT_EQ(manager.GetAllTreeVec()[1].size(), 3u);

    LogCapture log;
    manager.InOrderTreeTraversalSample(regions);
    ASSERT_EQ(manager.GetAllTreeVec()[1].size(), 2u);
    // The later region with the earlier range replaces that node's set.
    EXPECT_EQ(manager.GetAllTreeVec()[1][0]->GetTreeParam()[0].floatData[0], 2.0f);
    EXPECT_TRUE(log.Contains("Trigger Tree is formed up with 3"));
    EXPECT_TRUE(log.Contains("has the ranges of an earlier region"));
}

TEST(TriggerTree, DepthComesFromRegionZeroAndOtherDepthsAreLeftOut) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {0})});
    regions[1] = Region({Range(20, 30)}, {Floats("v", {1})});
    LogCapture log;
    TriggerAndDataManager manager(regions);
    EXPECT_EQ(manager.GetTriggerDepth(), 2);
    EXPECT_EQ(manager.GetAllTreeVec()[0].size(), 1u);
    EXPECT_TRUE(log.Contains("region 1 has 1 trigger levels, the tree 2; left out", "TRIGGER_MANAGER", 1));

    Regions noZero;
    noZero[1] = Region({Range(0, 10)}, {Floats("v", {1})});
    TriggerAndDataManager flat(noZero);
    EXPECT_EQ(flat.GetTriggerDepth(), 0);
    EXPECT_TRUE(flat.GetAllTreeVec().empty());
}

TEST(TriggerTree, NextSiblingEndsAtTheLastChild) {
    TriggerAndDataManager manager(OneLevel({{0, 1}, {2, 3}}));
    const auto& level = manager.GetAllTreeVec()[0];
    EXPECT_EQ(level[0]->NextSibling().get(), level[1]);
    EXPECT_EQ(level[1]->NextSibling().get(), level[1]);
    EXPECT_EQ(manager.GetRootNode()->NextSibling(), manager.GetRootNode());

    ZEB::ATree unowned;
    EXPECT_EQ(unowned.NextSibling(), nullptr);
    auto child = unowned.InsertAChild(nullptr);
    EXPECT_EQ(child->GetParent(), &unowned);
    EXPECT_EQ(child->GetRange().end, 0.0f);
}

TEST(TriggerMatch, SharedBoundaryListsBothNodesNearlyFirst) {
    TriggerAndDataManager manager(OneLevel({{0, 10}, {10, 20}}));
    LogCapture log;
    MatchedNodes matched;
    manager.MatchCandidate({10.0f}, matched);
    EXPECT_EQ(RangesAt(matched, 0), (std::vector<Matched>{{0, 10}, {10, 20}}));
    EXPECT_EQ(log.Count("Bullseye! Nearly matched"), 1u);
    EXPECT_EQ(log.Count("Bullseye! Region matched"), 1u);
}

TEST(TriggerMatch, ValueInAGapListsBothSiblings) {
    TriggerAndDataManager manager(OneLevel({{0, 5}, {8, 12}}));
    LogCapture log;
    MatchedNodes matched;
    manager.MatchCandidate({6.0f}, matched);
    EXPECT_EQ(RangesAt(matched, 0), (std::vector<Matched>{{0, 5}, {8, 12}}));
    EXPECT_TRUE(log.Contains("Bullseye! Sibling match"));
}

TEST(TriggerMatch, PointRangeMatchesDirectly) {
    TriggerAndDataManager manager(OneLevel({{3, 5}, {7, 7}, {9, 12}}));
    LogCapture log;
    MatchedNodes matched;
    manager.MatchCandidate({7.0f}, matched);
    EXPECT_EQ(RangesAt(matched, 0), (std::vector<Matched>{{7, 7}}));
    EXPECT_TRUE(log.Contains("Bullseye! Directly matched"));
}

TEST(TriggerMatch, ValuesOutsideEveryRangeMatchNothingBelow) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {0})});
    regions[1] = Region({Range(0, 10), Range(8, 12)}, {Floats("v", {1})});
    regions[2] = Region({Range(20, 30), Range(0, 5)}, {Floats("v", {2})});
    TriggerAndDataManager manager(regions);
    for (float outside : {-1.0f, 31.0f}) {
        MatchedNodes matched;
        manager.MatchCandidate({outside, 3.0f}, matched);
        EXPECT_TRUE(RangesAt(matched, 0).empty()) << outside;
        EXPECT_TRUE(RangesAt(matched, 1).empty()) << outside;
    }
    // A gap after the last child of a parent is not a gap between siblings.
    MatchedNodes matched;
    manager.MatchCandidate({5.0f, 13.0f}, matched);
    EXPECT_EQ(RangesAt(matched, 0), (std::vector<Matched>{{0, 10}}));
    EXPECT_TRUE(RangesAt(matched, 1).empty());
    // Only the children of the matched node are candidates below it.
    MatchedNodes lower;
    manager.MatchCandidate({25.0f, 9.0f}, lower);
    EXPECT_EQ(RangesAt(lower, 0), (std::vector<Matched>{{20, 30}}));
    EXPECT_TRUE(RangesAt(lower, 1).empty());
    MatchedNodes both;
    manager.MatchCandidate({15.0f, 3.0f}, both);
    EXPECT_EQ(RangesAt(both, 0), (std::vector<Matched>{{0, 10}, {20, 30}}));
    EXPECT_EQ(RangesAt(both, 1), (std::vector<Matched>{{0, 5}, {0, 5}}));
}

TEST(TriggerMatch, WrongNumberOfValuesTakesTheFirstNodesSet) {
    TriggerAndDataManager manager(OneLevel({{0, 10}, {10, 20}}));
    LogCapture log;
    MatchedNodes matched;
    manager.MatchCandidate({}, matched);
    EXPECT_TRUE(matched.empty());
    EXPECT_TRUE(log.Contains("mTriggerDepth [1, 0]", "TRIGGER_MANAGER", 1));
    EXPECT_TRUE(log.Contains("Tree not prepared with"));
    ASSERT_EQ(manager.GetRootNode()->GetTreeParam().size(), 1u);
    EXPECT_EQ(manager.GetRootNode()->GetTreeParam()[0].floatData[0], 0.0f);

    MatchedNodes tooMany;
    manager.MatchCandidate({15.0f, 1.0f}, tooMany);
    EXPECT_TRUE(tooMany.empty());
}

TEST(TriggerMatch, MalformedRangesListANodeOnce) {
    // Start after end: the middle node is the gap partner of the first and
    // also matches on its own terms.
    TriggerAndDataManager manager(OneLevel({{0, 1}, {9, 2}, {10, 12}}));
    MatchedNodes matched;
    manager.MatchCandidate({5.0f}, matched);
    EXPECT_EQ(RangesAt(matched, 0), (std::vector<Matched>{{0, 1}, {9, 2}, {10, 12}}));
    std::vector<uint32_t> line(1);
    manager.GetDataInfo({5.0f}, line.data());  // must stay in bounds
}

TEST(TriggerMatch, DebugPropertyLogsTheTreeAndTheCandidates) {
    zeb_test::DeviceRoot device;
    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xml.debug.mode", "1"), 0);
    LogCapture log;
    TriggerAndDataManager manager(OneLevel({{0, 10}, {12, 20}}));
    EXPECT_TRUE(manager.IsDebug());
    EXPECT_TRUE(log.Contains("treeIter-> [12.000000, 20.000000]"));
    EXPECT_TRUE(log.Contains("with layer 0"));
    std::vector<uint32_t> line(1);
    manager.GetDataInfo({11.0f}, line.data());
    EXPECT_TRUE(log.Contains("Candidate info 11.000000"));
    EXPECT_TRUE(log.Contains("_Iter [12.000000, 20.000000]"));
    EXPECT_TRUE(log.Contains("Float Max [12.000000], Min [10.000000]"));
    EXPECT_TRUE(log.Contains("Final buffer with 0.500000"));

    ASSERT_EQ(property_set("persist.vendor.cam.zeb.xml.debug.mode", "0"), 0);
    TriggerAndDataManager quiet(OneLevel({{0, 10}}));
    EXPECT_FALSE(quiet.IsDebug());
}
