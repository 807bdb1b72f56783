#include <gtest/gtest.h>

#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/TriggerAndDataManager.h"

using namespace trigger_test;
using zeb_platform::LogCapture;
using ZEB::MatchedNodes;
using ZEB::TriggerAndDataManager;

namespace {

using Ranges = std::vector<std::pair<float, float>>;

// One level of ranges, region i holding the float i.
Regions OneLevel(const Ranges& ranges) {
    Regions regions;
    for (const auto& [start, end] : ranges) {
        const auto number = static_cast<int32_t>(regions.size());
        regions[number] = Region({Range(start, end)}, {Floats("v", {static_cast<float>(number)})});
    }
    return regions;
}

Ranges RangesAt(const MatchedNodes& matched, int32_t level) {
    Ranges ranges;
    auto found = matched.find(level);
    if (found == matched.end()) return ranges;
    for (const ZEB::ATree* node : found->second) ranges.emplace_back(node->GetRange().start, node->GetRange().end);
    return ranges;
}

}  // namespace

TEST(TriggerTree, RegionsInNestedOrderShareTheirUpperRangesOnly) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(5, 9)}, {Floats("v", {0})});
    regions[1] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {1})});
    regions[2] = Region({Range(20, 30), Range(0, 5)}, {Floats("v", {2})});
    regions[3] = Region({Range(20, 30), Range(5, 9)}, {Floats("v", {3})});
    regions[4] = Region({Range(20, 30), Range(0, 5)}, {Floats("v", {4})});
    regions[5] = Region({Range(40, 50)}, {Floats("v", {5})});  // not the depth of region 0
    LogCapture log;
    TriggerAndDataManager manager(regions);
    EXPECT_EQ(manager.GetLayerSize(), 6);
    EXPECT_EQ(manager.GetTriggerDepth(), 2);
    EXPECT_TRUE(log.Contains("region 5 has 1 trigger levels, the tree 2; left out", "TRIGGER_MANAGER", 1));
    const auto& levels = manager.GetAllTreeVec();
    ASSERT_EQ(levels[0].size(), 2u);
    // A region joins only the node the region before it used: [0, 5] under
    // [20, 30] gets a node of its own though [0, 5] came just before under
    // [0, 10], and so does the second one under [20, 30].
    ASSERT_EQ(levels[1].size(), 5u);
    const ZEB::ATree* parents[] = {levels[0][0], levels[0][0], levels[0][1], levels[0][1], levels[0][1]};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(levels[1][i]->GetParent(), parents[i]) << i;
        EXPECT_EQ(levels[1][i]->GetTreeParam()[0].floatData[0], static_cast<float>(i)) << i;
    }
    EXPECT_EQ(manager.GetRootNode()->findLeafChild(levels[0][1]).size(), 3u);
    EXPECT_TRUE(manager.GetRootNode()->findLeafChild(nullptr).empty());

    // The other builder joins any earlier sibling of the same range; the
    // later region's set replaces the earlier one's.
    manager.InOrderTreeTraversalSample(regions);
    ASSERT_EQ(manager.GetAllTreeVec()[1].size(), 4u);
    EXPECT_EQ(manager.GetAllTreeVec()[1][2]->GetTreeParam()[0].floatData[0], 4.0f);
    EXPECT_TRUE(log.Contains("Trigger Tree is formed up with 6"));
    EXPECT_TRUE(log.Contains("has the ranges of an earlier region"));

    TriggerAndDataManager noZero(Regions{{1, Region({Range(0, 10)}, {Floats("v", {1})})}});
    EXPECT_EQ(noZero.GetTriggerDepth(), 0);
    EXPECT_TRUE(noZero.GetAllTreeVec().empty());
}

TEST(TriggerTree, NextSiblingEndsAtTheLastChild) {
    TriggerAndDataManager manager(OneLevel({{0, 1}, {2, 3}}));
    const auto& level = manager.GetAllTreeVec()[0];
    EXPECT_EQ(level[0]->NextSibling().get(), level[1]);
    EXPECT_EQ(level[1]->NextSibling().get(), level[1]);
    EXPECT_EQ(manager.GetRootNode()->NextSibling(), manager.GetRootNode());
    EXPECT_EQ(ZEB::ATree().NextSibling(), nullptr);  // not held by a shared owner
}

TEST(TriggerMatch, EachRuleListsItsNodesInTestOrder) {
    struct Case { Ranges ranges; float value; Ranges expected; const char* rule; };
    const Case cases[] = {
        {{{0, 10}, {10, 20}}, 10, {{0, 10}, {10, 20}}, "Bullseye! Nearly matched"},
        {{{0, 10}, {10, 20}}, 10, {{0, 10}, {10, 20}}, "Bullseye! Region matched"},
        {{{0, 5}, {8, 12}}, 6, {{0, 5}, {8, 12}}, "Bullseye! Sibling match"},
        {{{3, 5}, {7, 7}, {9, 12}}, 7, {{7, 7}}, "Bullseye! Directly matched"},
        {{{0, 5}, {8, 12}}, -1, {}, nullptr},
        {{{0, 5}, {8, 12}}, 13, {}, nullptr},
        // Start after end: the middle node is the gap partner of the first
        // and matches on its own terms too; it is listed once.
        {{{0, 1}, {9, 2}, {10, 12}}, 5, {{0, 1}, {9, 2}, {10, 12}}, nullptr},
    };
    for (const Case& c : cases) {
        TriggerAndDataManager manager(OneLevel(c.ranges));
        LogCapture log;
        MatchedNodes matched;
        manager.MatchCandidate({c.value}, matched);
        EXPECT_EQ(RangesAt(matched, 0), c.expected) << c.value;
        if (c.rule) {
            EXPECT_EQ(log.Count(c.rule), 1u) << c.rule;
        }
        Query(manager, {c.value});
    }
}

TEST(TriggerMatch, LowerLevelsSeeOnlyTheChildrenOfMatchedNodes) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Floats("v", {0})});
    regions[1] = Region({Range(0, 10), Range(8, 12)}, {Floats("v", {1})});
    regions[2] = Region({Range(20, 30), Range(0, 5)}, {Floats("v", {2})});
    TriggerAndDataManager manager(regions);
    struct Case { float top, bottom; Ranges level0, level1; };
    const Case cases[] = {
        {-1, 3, {}, {}},
        {31, 3, {}, {}},
        {5, 13, {{0, 10}}, {}},  // past the last child: not a gap between siblings
        {25, 9, {{20, 30}}, {}},
        {15, 3, {{0, 10}, {20, 30}}, {{0, 5}, {0, 5}}},
    };
    for (const Case& c : cases) {
        MatchedNodes matched;
        manager.MatchCandidate({c.top, c.bottom}, matched);
        EXPECT_EQ(RangesAt(matched, 0), c.level0) << c.top << ", " << c.bottom;
        EXPECT_EQ(RangesAt(matched, 1), c.level1) << c.top << ", " << c.bottom;
    }
}

TEST(TriggerMatch, WrongNumberOfValuesTakesTheFirstNodesSet) {
    TriggerAndDataManager manager(OneLevel({{0, 10}, {10, 20}}));
    LogCapture log;
    for (const std::vector<float>& values : {std::vector<float>{}, std::vector<float>{15.0f, 1.0f}}) {
        MatchedNodes matched;
        manager.MatchCandidate(values, matched);
        EXPECT_TRUE(matched.empty());
        ASSERT_EQ(manager.GetRootNode()->GetTreeParam().size(), 1u);
        EXPECT_EQ(manager.GetRootNode()->GetTreeParam()[0].floatData[0], 0.0f);
    }
    EXPECT_TRUE(log.Contains("Tree not prepared with", "TRIGGER_MANAGER", 1));
    EXPECT_TRUE(log.Contains("mTriggerDepth [1, 0]"));
}
