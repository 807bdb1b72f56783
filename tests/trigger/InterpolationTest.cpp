#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>
#include <random>
#include <map>
#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/TriggerAndDataManager.h"

using trigger_test::Floats;
using trigger_test::FloatAt;
using trigger_test::Ints;
using trigger_test::IntAt;
using trigger_test::Range;
using trigger_test::Region;
using zeb_platform::LogCapture;
using ZEB::paramInfo;
using ZEB::TriggerAndDataManager;

namespace {

using Regions = std::map<int32_t, ZEB::trigger2Param>;

// Two neighbouring ranges of one level: L = [lowStart, lowEnd], H = [highStart, highEnd].
struct Pair {
    Pair(ZEB::triggerInfo low, std::vector<paramInfo> lowParams, ZEB::triggerInfo high,
         std::vector<paramInfo> highParams) {
        Regions regions;
        regions[0] = Region({low}, std::move(lowParams));
        regions[1] = Region({high}, std::move(highParams));
        manager = std::make_unique<TriggerAndDataManager>(regions);
        lowNode = manager->GetAllTreeVec()[0][0];
        highNode = manager->GetAllTreeVec()[0][1];
    }
    std::vector<paramInfo> At(float x) { return manager->Interpolate2Tree(lowNode, highNode, x); }
    std::unique_ptr<TriggerAndDataManager> manager;
    ZEB::ATree* lowNode;
    ZEB::ATree* highNode;
};

std::vector<uint32_t> Query(TriggerAndDataManager& manager, std::vector<float> candidate) {
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetParamLen()), 0xdeadbeefu);
    manager.GetDataInfo(candidate, line.data());
    return line;
}

}  // namespace

TEST(Interpolate2Tree, FloatsFollowTheLineThroughTheGapWithoutClamping) {
    Pair pair(Range(0, 10), {Floats("f", {1.0f})}, Range(20, 30), {Floats("f", {3.0f})});
    EXPECT_FLOAT_EQ(pair.At(15.0f)[0].floatData[0], 2.0f);
    EXPECT_FLOAT_EQ(pair.At(10.0f)[0].floatData[0], 1.0f);
    EXPECT_FLOAT_EQ(pair.At(25.0f)[0].floatData[0], 4.0f);
    // The node with the larger start is the upper one, whatever the order given.
    auto swapped = pair.manager->Interpolate2Tree(pair.highNode, pair.lowNode, 15.0f);
    EXPECT_FLOAT_EQ(swapped[0].floatData[0], 2.0f);
    // The result carries the length only.
    EXPECT_EQ(swapped[0].length, 1);
    EXPECT_TRUE(swapped[0].name.empty());
    EXPECT_TRUE(swapped[0].type.empty());
}

TEST(Interpolate2Tree, EqualValuesAndZeroGapsGiveTheUpperValues) {
    Pair equal(Range(0, 10), {Floats("f", {5.5f}), Ints("i", {16777217})}, Range(20, 30),
               {Floats("f", {5.5f}), Ints("i", {16777217})});
    for (float x : {-100.0f, 12.0f, 1e6f}) {
        auto result = equal.At(x);
        EXPECT_EQ(result[0].floatData[0], 5.5f);
        // Above 2^24, single precision would round this integer.
        EXPECT_EQ(result[1].intData[0], 16777217);
    }
    Pair touching(Range(0, 10), {Floats("f", {1.0f}), Ints("i", {1})}, Range(10, 20),
                  {Floats("f", {3.0f}), Ints("i", {9})});
    EXPECT_EQ(touching.At(10.0f)[0].floatData[0], 3.0f);
    EXPECT_EQ(touching.At(10.0f)[1].intData[0], 9);
    // Equal values keep their value even where x is not finite, however
    // many values the parameter holds.
    const std::vector<int32_t> eight{1, -2, 3, -4, 5, -6, 7, -8};
    Pair equalLong(Range(0, 10), {Ints("i", {1, -2, 3, -4, 5, -6, 7, -8})}, Range(20, 30),
                   {Ints("i", {1, -2, 3, -4, 5, -6, 7, -8})});
    for (float x : {std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                    std::numeric_limits<float>::quiet_NaN()}) {
        EXPECT_EQ(equalLong.At(x)[0].intData, eight) << x;
    }
    // Integers need a gap of at least 1.
    Pair narrow(Range(0, 10), {Ints("i", {0})}, Range(10.5f, 20), {Ints("i", {7})});
    EXPECT_EQ(narrow.At(10.25f)[0].intData[0], 7);
}

TEST(Interpolate2Tree, IntegersStepByTruncatedIntegerSlope) {
    Pair wide(Range(0, 10), {Ints("i", {100, 100, 7})}, Range(20, 30), {Ints("i", {200, 105, 0})});
    auto at15 = wide.At(15.0f);
    EXPECT_EQ(at15[0].intData, (std::vector<int32_t>{150, 100, 7}));
    EXPECT_EQ(wide.At(12.5f)[0].intData[0], 125);
    EXPECT_EQ(wide.At(19.0f)[0].intData[1], 100);  // step (105 - 100) / 10 = 0
    // Negative steps truncate toward zero: (0 - 7) / 10 = 0, then 7.
    EXPECT_EQ(wide.At(19.0f)[0].intData[2], 7);

    Pair small(Range(0, 2), {Ints("i", {0, 7})}, Range(4, 5), {Ints("i", {7, 0})});
    auto result = small.At(3.0f);
    EXPECT_EQ(result[0].intData[0], 3);   // step 7 / 2 = 3
    EXPECT_EQ(result[0].intData[1], 4);   // step -7 / 2 = -3, then 7 - 3
}

TEST(Interpolate2Tree, ExtremeIntegersSaturateInsteadOfOverflowing) {
    Pair pair(Range(0, 1), {Ints("i", {INT32_MIN, 0})}, Range(2, 3), {Ints("i", {INT32_MAX, 1})});
    auto result = pair.At(1e30f);
    EXPECT_EQ(result[0].intData[0], INT32_MAX);
    EXPECT_EQ(result[0].intData[1], INT32_MAX);
    EXPECT_EQ(pair.At(-1e30f)[0].intData[0], INT32_MIN);
}

TEST(Interpolate2Tree, ValuesWithoutAPartnerKeepTheUpperValueLoggedOncePerCall) {
    // The lower node has fewer parameters, fewer values, and an int where the
    // upper node has floats.
    Pair pair(Range(0, 10), {Floats("a", {1.0f}), Ints("b", {0})}, Range(20, 30),
              {Floats("a", {3.0f, 8.0f, 9.0f}), Floats("b", {6.0f}), Ints("c", {4, 5})});
    LogCapture log;
    auto result = pair.At(15.0f);
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0].floatData, (std::vector<float>{2.0f, 8.0f, 9.0f}));
    EXPECT_EQ(result[1].floatData, (std::vector<float>{6.0f}));
    EXPECT_EQ(result[2].intData, (std::vector<int32_t>{4, 5}));
    EXPECT_EQ(log.Count("have no partner"), 1u);
    EXPECT_TRUE(log.Contains("5 values of range [20.000000, 30.000000] have no partner", "TRIGGER_MANAGER", 1));

    EXPECT_TRUE(pair.manager->Interpolate2Tree(nullptr, pair.highNode, 1.0f).empty());
}

TEST(TriggerQuery, InterpolatesLevelByLevelUpToTheRoot) {
    // Two levels with gaps at both: [0, 100] [200, 500], then [1, 4] [8, 16] under each.
    Regions regions;
    regions[0] = Region({Range(0, 100), Range(1, 4)}, {Floats("s", {1, 2, 3}), Ints("r", {100, 200})});
    regions[1] = Region({Range(0, 100), Range(8, 16)}, {Floats("s", {2, 3, 4}), Ints("r", {200, 300})});
    regions[2] = Region({Range(200, 500), Range(1, 4)}, {Floats("s", {0.5f, 1, 1.5f}), Ints("r", {50, 100})});
    regions[3] = Region({Range(200, 500), Range(8, 16)}, {Floats("s", {1.5f, 2, 2.5f}), Ints("r", {150, 200})});
    TriggerAndDataManager manager(regions);
    ASSERT_EQ(manager.GetParamLen(), 5);

    auto line = Query(manager, {150.0f, 6.0f});
    // Level 1 gives [1.5 2.5 3.5 | 150 250] and [1 1.5 2 | 100 150]; level 0 halfway between.
    EXPECT_FLOAT_EQ(FloatAt(line, 0), 1.25f);
    EXPECT_FLOAT_EQ(FloatAt(line, 1), 2.0f);
    EXPECT_FLOAT_EQ(FloatAt(line, 2), 2.75f);
    EXPECT_EQ(IntAt(line, 3), 150);  // step (100 - 150) / 100 = 0
    EXPECT_EQ(IntAt(line, 4), 200);  // step (150 - 250) / 100 = -1

    // Inside ranges: the region's own values.
    line = Query(manager, {300.0f, 10.0f});
    EXPECT_FLOAT_EQ(FloatAt(line, 0), 1.5f);
    EXPECT_EQ(IntAt(line, 4), 200);
    EXPECT_TRUE(manager.GetAllTreeVec()[1][3]->IsDone());
}

TEST(TriggerQuery, ALineHoldsFloatsThenIntsInParameterOrder) {
    Regions regions;
    regions[0] = Region({Range(0, 10)}, {Floats("f", {1.5f, -2.0f, 3.25f}), Ints("i", {-7, 9})});
    TriggerAndDataManager manager(regions);
    ASSERT_EQ(manager.GetParamLen(), 5);
    auto line = Query(manager, {5.0f});
    EXPECT_EQ(FloatAt(line, 0), 1.5f);
    EXPECT_EQ(FloatAt(line, 1), -2.0f);
    EXPECT_EQ(FloatAt(line, 2), 3.25f);
    EXPECT_EQ(IntAt(line, 3), -7);
    EXPECT_EQ(IntAt(line, 4), 9);
}

TEST(TriggerQuery, NoMatchFallsBackToTheFirstRegionWhateverCameBefore) {
    Regions regions;
    regions[0] = Region({Range(0, 10), Range(0, 5)}, {Ints("v", {10})});
    regions[1] = Region({Range(0, 10), Range(5, 9)}, {Ints("v", {20})});
    regions[2] = Region({Range(20, 30), Range(0, 5)}, {Ints("v", {30})});
    TriggerAndDataManager fresh(regions);
    TriggerAndDataManager used(regions);
    EXPECT_EQ(IntAt(Query(used, {25.0f, 1.0f}), 0), 30);

    // Level 0 matches [20, 30], level 1 nothing below it: no set reaches the root.
    LogCapture log;
    EXPECT_EQ(IntAt(Query(used, {25.0f, 7.0f}), 0), 10);
    EXPECT_TRUE(log.Contains("Maybe some error, Setting AllTreeVec beginning", "TRIGGER_MANAGER", 1));
    EXPECT_EQ(IntAt(Query(fresh, {25.0f, 7.0f}), 0), 10);
    EXPECT_EQ(IntAt(Query(used, {99.0f, 1.0f}), 0), 10);
    EXPECT_EQ(IntAt(Query(used, {}), 0), 10);
    EXPECT_EQ(IntAt(Query(used, {1.0f, 2.0f, 3.0f}), 0), 10);
}

TEST(TriggerQuery, TreesWithoutRegionsOrLevelsGiveAZeroLine) {
    TriggerAndDataManager empty(Regions{});
    EXPECT_EQ(empty.GetParamLen(), 0);
    EXPECT_TRUE(Query(empty, {1.0f}).empty());
    uint32_t guard = 0xdeadbeefu;
    empty.GetDataInfo({1.0f}, &guard);
    EXPECT_EQ(guard, 0xdeadbeefu);

    Regions noZero;
    noZero[1] = Region({Range(0, 10)}, {Ints("v", {5, 6})});
    TriggerAndDataManager flat(noZero);
    EXPECT_EQ(Query(flat, {5.0f}), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(Query(flat, {}), (std::vector<uint32_t>{0, 0}));
    flat.GetDataInfo({1.0f}, nullptr);
}

TEST(TriggerQuery, RegionsOfDifferentSizeNeverWritePastTheLine) {
    Regions regions;
    regions[0] = Region({Range(0, 10)}, {Ints("v", {1})});
    regions[1] = Region({Range(20, 30)}, {Ints("v", {2, 3, 4, 5, 6})});
    TriggerAndDataManager manager(regions);
    ASSERT_EQ(manager.GetParamLen(), 3);
    LogCapture log;
    std::vector<uint32_t> buffer(8, 0xdeadbeefu);
    manager.GetDataInfo({25.0f}, buffer.data());
    EXPECT_EQ(buffer, (std::vector<uint32_t>{2, 3, 4, 0xdeadbeefu, 0xdeadbeefu, 0xdeadbeefu, 0xdeadbeefu, 0xdeadbeefu}));
    EXPECT_TRUE(log.Contains("parameter set gives 5 values for a line of 3; the rest is left out"));
    manager.GetDataInfo({5.0f}, buffer.data());
    EXPECT_EQ(buffer[0], 1u);
    EXPECT_EQ(buffer[1], 0u);
    EXPECT_EQ(buffer[2], 0u);
    EXPECT_EQ(buffer[3], 0xdeadbeefu);
    // In the gap the larger upper set is interpolated against the smaller lower one.
    manager.GetDataInfo({15.0f}, buffer.data());
    EXPECT_EQ(buffer[3], 0xdeadbeefu);

    std::vector<uint32_t> direct(4, 0xdeadbeefu);
    manager.FormBufferLine({Ints("x", {7, 8, 9, 10})}, direct.data());
    EXPECT_EQ(direct, (std::vector<uint32_t>{7, 8, 9, 0xdeadbeefu}));
    // An unaligned destination is written too.
    unsigned char bytes[16] = {};
    manager.FormBufferLine({Ints("x", {7, 8, 9})}, bytes + 1);
    int32_t second;
    memcpy(&second, bytes + 5, sizeof second);
    EXPECT_EQ(second, 8);
}

TEST(TriggerQuery, SteppedQueryEqualsTheOneCall) {
    Regions regions;
    regions[0] = Region({Range(0, 10)}, {Floats("f", {1.0f}), Ints("i", {0})});
    regions[1] = Region({Range(20, 30)}, {Floats("f", {3.0f}), Ints("i", {100})});
    TriggerAndDataManager manager(regions);
    ZEB::MatchedNodes matched;
    manager.MatchCandidate({15.0f}, matched);
    const uint32_t* line = manager.InterpolateParameter(matched, {15.0f});
    std::vector<uint32_t> stepped(line, line + 2);
    EXPECT_EQ(stepped, Query(manager, {15.0f}));
    EXPECT_FLOAT_EQ(FloatAt(stepped, 0), 2.0f);
    EXPECT_EQ(IntAt(stepped, 1), 50);
    LogCapture log;
    const uint32_t* sample = manager.InterpolateParameterSample(matched, {15.0f});
    EXPECT_EQ(std::vector<uint32_t>(sample, sample + 2), stepped);
    EXPECT_TRUE(log.Contains("Candiate with j 0"));
}

TEST(Interpolate2Tree, LongParametersGiveExactlyWhatSingleValuesGive) {
    // Long parameters are interpolated several values at a time, single values
    // one by one: both must give the same bits, extremes included.
    std::mt19937 random(7);
    std::uniform_int_distribution<int32_t> anyInt(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> smallInt(-(1 << 23) + 1, (1 << 23) - 1);
    std::uniform_real_distribution<float> anyFloat(-1e6f, 1e6f);
    const int32_t edges[] = {0, 1, -1, (1 << 23) - 1, 1 << 23, -(1 << 23), INT32_MAX, INT32_MIN, 16777217};
    std::vector<int32_t> lowInts;
    std::vector<int32_t> highInts;
    std::vector<float> lowFloats;
    std::vector<float> highFloats;
    for (int i = 0; i < 203; ++i) {
        const int kind = i % 5;
        int32_t low = kind == 0 ? anyInt(random) : smallInt(random);
        int32_t high = kind == 1 ? low : (kind == 2 ? edges[i % 9] : smallInt(random));
        lowInts.push_back(low);
        highInts.push_back(high);
        float lowFloat = anyFloat(random);
        lowFloats.push_back(lowFloat);
        highFloats.push_back(kind == 1 ? lowFloat : (kind == 3 ? std::numeric_limits<float>::infinity() : anyFloat(random)));
    }
    auto asOne = [](const char* name, const std::vector<int32_t>& ints, const std::vector<float>& floats) {
        std::vector<paramInfo> params{Ints(name, {}), Floats(name, {})};
        params[0].intData = ints;
        params[1].floatData = floats;
        return params;
    };
    auto asSingles = [](const std::vector<int32_t>& ints, const std::vector<float>& floats) {
        std::vector<paramInfo> params;
        for (int32_t value : ints) params.push_back(Ints("i", {value}));
        for (float value : floats) params.push_back(Floats("f", {value}));
        return params;
    };
    for (const auto& gap : {std::make_pair(10.0f, 13.0f), std::make_pair(0.0f, 3.0e7f), std::make_pair(-5.0f, 2.5f)}) {
        Pair together(Range(gap.first - 1, gap.first), asOne("v", lowInts, lowFloats), Range(gap.second, gap.second + 1),
                      asOne("v", highInts, highFloats));
        Pair apart(Range(gap.first - 1, gap.first), asSingles(lowInts, lowFloats), Range(gap.second, gap.second + 1),
                   asSingles(highInts, highFloats));
        // Equal values keep their value for any x, even one that is not finite.
        for (float x : {gap.first + 1.0f, gap.second - 0.25f, 1e9f, -1e9f, std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()}) {
            auto whole = together.At(x);
            auto single = apart.At(x);
            for (size_t i = 0; i < lowInts.size(); ++i) {
                ASSERT_EQ(whole[0].intData[i], single[i].intData[0]) << i << " at " << x;
            }
            for (size_t i = 0; i < lowFloats.size(); ++i) {
                const float a = whole[1].floatData[i];
                const float b = single[lowInts.size() + i].floatData[0];
                ASSERT_EQ(0, memcmp(&a, &b, sizeof a)) << i << " at " << x << ": " << a << " vs " << b;
            }
        }
    }
}
