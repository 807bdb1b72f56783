#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "TriggerFixtures.h"
#include "platform/Log.h"
#include "trigger/TriggerAndDataManager.h"

using namespace trigger_test;
using zeb_platform::LogCapture;
using ZEB::paramInfo;
using ZEB::TriggerAndDataManager;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Two neighbouring ranges of one level: L ends at lowEnd, H starts at highStart.
struct Pair {
    Pair(float lowEnd, std::vector<paramInfo> low, float highStart, std::vector<paramInfo> high) {
        Regions regions;
        regions[0] = Region({Range(lowEnd - 1, lowEnd)}, std::move(low));
        regions[1] = Region({Range(highStart, highStart + 1)}, std::move(high));
        manager = std::make_unique<TriggerAndDataManager>(regions);
    }
    ZEB::ATree* Node(size_t i) const { return manager->GetAllTreeVec()[0][i]; }
    std::vector<paramInfo> At(float x) const { return manager->Interpolate2Tree(Node(0), Node(1), x); }
    std::unique_ptr<TriggerAndDataManager> manager;
};

// One parameter per value: the values go one by one instead of through the vector code.
std::vector<paramInfo> Singles(const std::vector<int32_t>& ints, const std::vector<float>& floats) {
    std::vector<paramInfo> params;
    for (int32_t value : ints) params.push_back(Ints("i", {value}));
    for (float value : floats) params.push_back(Floats("f", {value}));
    return params;
}

}  // namespace

TEST(Interpolate2Tree, FollowsTheLineThroughTheGapFloatsExactlyIntsByTruncatedSlope) {
    // L ends at lowEnd, H starts at highStart; one value each, int or float.
    struct Case { float lowEnd, highStart; bool isInt; double low, high; float x; double expected; };
    const Case cases[] = {
        {10, 20, false, 1, 3, 15, 2}, {10, 20, false, 1, 3, 10, 1}, {10, 20, false, 1, 3, 25, 4},  // no clamping
        // Equal values keep their value for any x (single precision would round 2^24 + 1).
        {10, 20, false, 5.5, 5.5, -100, 5.5}, {10, 20, true, 16777217, 16777217, 1e6f, 16777217},
        {10, 20, true, -8, -8, kInf, -8}, {10, 20, true, 3, 3, std::nanf(""), 3},
        // A gap of 0, or for integers less than 1 wide, gives H's value.
        {10, 10, false, 1, 3, 10, 3}, {10, 10, true, 1, 9, 10, 9}, {10, 10.5f, true, 0, 7, 10.25f, 7},
        // Integer steps truncate toward zero: 100 / 10, 5 / 10, -7 / 10, 7 / 2, -7 / 2.
        {10, 20, true, 100, 200, 15, 150}, {10, 20, true, 100, 200, 12.5f, 125}, {10, 20, true, 100, 105, 19, 100},
        {10, 20, true, 7, 0, 19, 7}, {2, 4, true, 0, 7, 3, 3}, {2, 4, true, 7, 0, 3, 4},
        // Extremes saturate instead of overflowing.
        {1, 2, true, INT32_MIN, INT32_MAX, 1e30f, INT32_MAX}, {1, 2, true, INT32_MIN, INT32_MAX, -1e30f, INT32_MIN},
    };
    for (const Case& c : cases) {
        auto param = [&c](double value) {
            return c.isInt ? Ints("v", {static_cast<int32_t>(value)}) : Floats("v", {static_cast<float>(value)});
        };
        const auto result = Pair(c.lowEnd, {param(c.low)}, c.highStart, {param(c.high)}).At(c.x);
        ASSERT_EQ(result.size(), 1u);
        const double value = c.isInt ? static_cast<double>(result[0].intData.at(0)) : result[0].floatData.at(0);
        EXPECT_EQ(value, c.expected) << c.low << " to " << c.high << " at " << c.x;
    }
    // H is the node with the larger start, whatever the order given; the
    // result carries H's length and nothing else.
    Pair pair(10, {Floats("f", {1})}, 20, {Floats("f", {3})});
    const auto result = pair.manager->Interpolate2Tree(pair.Node(1), pair.Node(0), 15);
    EXPECT_EQ(result[0].floatData[0], 2.0f);
    EXPECT_EQ(result[0].length, 1);
    EXPECT_TRUE(result[0].name.empty() && result[0].type.empty());
    EXPECT_TRUE(pair.manager->Interpolate2Tree(nullptr, pair.Node(1), 15).empty());
}

TEST(Interpolate2Tree, ValuesWithoutAPartnerKeepTheUpperValue) {
    // L has fewer parameters, fewer values, and an int where H has floats.
    Pair pair(10, {Floats("a", {1}), Ints("b", {0})}, 20, {Floats("a", {3, 8, 9}), Floats("b", {6}), Ints("c", {4, 5})});
    LogCapture log;
    auto result = pair.At(15);
    ASSERT_EQ(result.size(), 3u);
    EXPECT_EQ(result[0].floatData, (std::vector<float>{2, 8, 9}));
    EXPECT_EQ(result[1].floatData, (std::vector<float>{6}));
    EXPECT_EQ(result[2].intData, (std::vector<int32_t>{4, 5}));
    EXPECT_TRUE(log.Contains("5 values of range [20.000000, 21.000000] have no partner", "TRIGGER_MANAGER", 1));
}

// The formulas as written, each multiply and each add rounded on its own:
// a fused multiply-add rounds once and gives other bits (and, for integers,
// other values). Equal values keep their value, whatever x is.
float FloatFormula(float vl, float vh, float lowEnd, float highStart, float x) {
    if (vh == vl || highStart - lowEnd == 0) return vh;
    volatile float product = (x - lowEnd) * ((vh - vl) / (highStart - lowEnd));
    return vl + product;
}

int32_t IntFormula(int32_t vl, int32_t vh, float lowEnd, float highStart, float x) {
    const float gap = highStart - lowEnd;
    const int64_t span = std::isnan(gap) ? 0 : static_cast<int64_t>(std::max(-2147483648.0f, std::min(2147483520.0f, gap)));
    if (vh == vl || span == 0) return vh;
    volatile float product = (x - lowEnd) * static_cast<float>((static_cast<int64_t>(vh) - vl) / span);
    const float value = product + static_cast<float>(vl);
    if (std::isnan(value)) return 0;
    return value >= 2147483648.0f ? INT32_MAX : (value <= -2147483648.0f ? INT32_MIN : static_cast<int32_t>(value));
}

TEST(Interpolate2Tree, EveryValueFollowsTheFormulaBitForBit) {
    // Values on which a fused multiply-add would show.
    ASSERT_NE(std::fma(1.3f, (1.37f - 0.1f) / 3, 0.1f), FloatFormula(0.1f, 1.37f, 0, 3, 1.3f));
    ASSERT_EQ(IntFormula(-50, 50, 0, 10, 3.4f), -16);  // fused: 33.999... - 50, so -15
    std::vector<int32_t> lowInts{-50}, highInts{50};
    std::vector<float> lowFloats{0.1f}, highFloats{1.37f};
    std::mt19937 random(7);
    std::uniform_int_distribution<int32_t> anyInt(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> smallInt(-(1 << 23) + 1, (1 << 23) - 1);
    std::uniform_real_distribution<float> anyFloat(-1e6f, 1e6f);
    const int32_t edges[] = {0, 1, -1, (1 << 23) - 1, 1 << 23, -(1 << 23), INT32_MAX, INT32_MIN, 16777217};
    for (int i = 0; i < 203; ++i) {  // kinds of pairs: any, equal, edge, infinite, small
        const int kind = i % 5;
        lowInts.push_back(kind == 0 ? anyInt(random) : smallInt(random));
        highInts.push_back(kind == 1 ? lowInts.back() : (kind == 2 ? edges[i % 9] : smallInt(random)));
        lowFloats.push_back(anyFloat(random));
        highFloats.push_back(kind == 1 ? lowFloats.back() : (kind == 3 ? kInf : anyFloat(random)));
    }
    const size_t n = lowInts.size();
    for (const auto& [lowEnd, highStart] : {std::pair<float, float>{0, 3}, {0, 10}, {10, 13}, {0, 3e7f}, {-5, 2.5f}}) {
        // Long parameters go through the vector code, single values one by one.
        Pair whole(lowEnd, {Ints("i", lowInts), Floats("f", lowFloats)}, highStart,
                   {Ints("i", highInts), Floats("f", highFloats)});
        Pair apart(lowEnd, Singles(lowInts, lowFloats), highStart, Singles(highInts, highFloats));
        for (float x : {lowEnd + 1.3f, lowEnd + 3.4f, highStart - 0.25f, 1e9f, -1e9f, kInf, -kInf, std::nanf("")}) {
            const auto a = whole.At(x);
            const auto b = apart.At(x);
            for (size_t i = 0; i < n; ++i) {
                const int32_t expected = IntFormula(lowInts[i], highInts[i], lowEnd, highStart, x);
                ASSERT_EQ(a[0].intData[i], expected) << i << " at " << x;
                ASSERT_EQ(b[i].intData[0], expected) << i << " at " << x;
                const float formula = FloatFormula(lowFloats[i], highFloats[i], lowEnd, highStart, x);
                for (float value : {a[1].floatData[i], b[n + i].floatData[0]}) {
                    ASSERT_TRUE(std::isnan(formula) ? std::isnan(value) : memcmp(&value, &formula, 4) == 0)
                        << i << " at " << x << ": " << value << " against " << formula;
                }
            }
        }
    }
}

// Bit patterns computed on x86-64: the device (arm64, whose compilers fuse a
// multiply and an add unless told not to, and whose vector unit is another)
// must give the same, through the vector lanes and one value at a time.
TEST(Interpolate2Tree, GivesTheBitsComputedOnX86OnEveryProcessor) {
    const std::vector<float> lowFloats{0.1f,   -3.7f, 1e-3f, 123.456f, 0.3f,  -1e6f,      2.5f,  1.1f,
                                       1e20f, -0.0f, 3.14159f, 0.2f,   65535, -7.25f, 1.0f / 3, 9.99f};
    const std::vector<float> highFloats{1.37f,  12.9f, 7.77f,    -0.001f, 0.7f,  1e6f,   2.5000002f, 1.2f,
                                        -1e20f, 5.3f,  2.71828f, 0.9f,    0.5f,  -7.125f, 2.0f / 3,  1e-7f};
    const std::vector<int32_t> lowInts{-50, 0, 7, -8388607, 100, INT32_MIN, 16777217, 1};
    const std::vector<int32_t> highInts{50, 1000, -3, 8388607, 105, INT32_MAX, -16777217, 2};
    struct Row {
        float lowEnd, highStart, x;
        uint32_t floats[16];
        int32_t ints[8];
    };
    const Row rows[] = {
        {0, 3, 1.3f,
         {0x3f267c3f, 0x405f92c5, 0x40578635, 0x428bea7b, 0x3ef258bf, 0xc8023554, 0x40200000, 0x3f9258bf,
          0x5f390988, 0x4012fc96, 0x403d526d, 0x3f00da74, 0x471110b8, 0xc0e64444, 0x3ef49f4a, 0x40b526ea},
         {-7, 432, 3, -1118482, 101, -286331136, 2236962, 1}},
        {10, 13, 11.7f,
         {0x3f51d5ab, 0x40b69d02, 0x408ce8ec, 0x4255fcfa, 0x3f06d3a0, 0x48023550, 0x40200001, 0x3f940da8,
          0xdf390978, 0x4040369c, 0x4039b5b1, 0x3f18bf25, 0x46dddd92, 0xc0e5bbbc, 0x3f05b05b, 0x408a872c},
         {6, 566, 1, 1118479, 101, 286330880, -2236960, 1}},
        {-5, 2.5f, -1.1f,
         {0x3f42a993, 0x409dd2f2, 0x40814ee3, 0x426d0890, 0x3f020c4a, 0x471c4000, 0x40200001, 0x3f9374bd,
          0xde5e0b60, 0x4030624f, 0x403af959, 0x3f10624e, 0x46f5c21e, 0xc0e5eb85, 0x3f01b4e8, 0x40997246},
         {4, 553, 3, 958695, 100, 245426944, -1917396, 1}},
        {0, 10, 3.4f,
         {0x3f08240c, 0x3ff8d502, 0x40291e10, 0x42a2f614, 0x3edf3b65, 0xc89c4000, 0x40200000, 0x3f9126ea,
          0x5fde0b6c, 0x3fe6a7f1, 0x403fd9bd, 0x3ee0418a, 0x4728f545, 0xc0e6a3d7, 0x3ee4b17f, 0x40d2fd22},
         {-16, 340, 3, -2684355, 100, -687194752, 5368709, 1}},
        {100, 1e4f, 4321.5f,
         {0x3f243c5c, 0x405838ef, 0x4054157c, 0x428d9fd8, 0x3ef0edfb, 0xc80fb8ec, 0x40200000, 0x3f924213,
          0x5f4c3de8, 0x4010a3c2, 0x403d826a, 0x3eff3a12, 0x4712d62a, 0xc0e64b5a, 0x3ef370fd, 0x40b75d2a},
         {-50, 0, 7, -1237386, 100, -316049152, 2470552, 1}},
    };
    for (const Row& row : rows) {
        Pair whole(row.lowEnd, {Ints("i", lowInts), Floats("f", lowFloats)}, row.highStart,
                   {Ints("i", highInts), Floats("f", highFloats)});
        Pair apart(row.lowEnd, Singles(lowInts, lowFloats), row.highStart, Singles(highInts, highFloats));
        const auto a = whole.At(row.x);
        const auto b = apart.At(row.x);
        std::ostringstream got;
        bool same = true;
        for (size_t i = 0; i < 8; ++i) {
            got << a[0].intData[i] << ", ";
            same = same && a[0].intData[i] == row.ints[i] && b[i].intData[0] == row.ints[i];
        }
        got << "\n";
        for (size_t i = 0; i < 16; ++i) {
            const auto vector = zeb_test::At<uint32_t>(&a[1].floatData[i], 0);
            const auto single = zeb_test::At<uint32_t>(&b[8 + i].floatData[0], 0);
            got << "0x" << std::hex << std::setw(8) << std::setfill('0') << vector << std::dec << ", ";
            same = same && vector == row.floats[i] && single == row.floats[i];
        }
        EXPECT_TRUE(same) << "from " << row.lowEnd << " to " << row.highStart << " at " << row.x << ":\n" << got.str();
    }
}

TEST(TriggerQuery, ResultsDoNotDependOnEarlierQueries) {
    const Regions regions = TwoLevels();
    const std::vector<float> first{1, 2, 3};
    TriggerAndDataManager fresh(regions);
    // Before any query no inner node holds a set, not even an empty placeholder.
    EXPECT_TRUE(fresh.GetRootNode()->GetTreeParam().empty());
    EXPECT_TRUE(fresh.GetAllTreeVec()[0][0]->GetTreeParam().empty());
    // Nothing matched reaches the root: the first region, however the query began.
    const uint32_t* line = fresh.InterpolateParameter({}, {});
    EXPECT_EQ(FloatsAt(std::vector<uint32_t>(line, line + 5), 0, 3), first);

    TriggerAndDataManager used(regions);
    LogCapture log;
    for (const std::vector<float>& values : {std::vector<float>{300, 30}, std::vector<float>{600, 10},
                                             std::vector<float>{}, std::vector<float>{1, 2, 3}}) {
        EXPECT_EQ(FloatsAt(Query(used, values), 0, 3), first);
        EXPECT_NE(FloatsAt(Query(used, {300, 10}), 0, 3), first);
    }
    EXPECT_TRUE(log.Contains("Maybe some error, Setting AllTreeVec beginning", "TRIGGER_MANAGER", 1));
}

TEST(TriggerQuery, RegionsOfDifferentSizeNeverWritePastTheLine) {
    Regions regions;
    regions[0] = Region({Range(0, 10)}, {Ints("v", {1})});
    regions[1] = Region({Range(20, 30)}, {Ints("v", {2, 3, 4, 5, 6})});
    TriggerAndDataManager manager(regions);
    ASSERT_EQ(manager.GetParamLen(), 3);
    LogCapture log;
    EXPECT_EQ(Query(manager, {25}), (std::vector<uint32_t>{2, 3, 4}));
    EXPECT_TRUE(log.Contains("parameter set gives 5 values for a line of 3; the rest is left out"));
    EXPECT_EQ(Query(manager, {5}), (std::vector<uint32_t>{1, 0, 0}));
    Query(manager, {15});  // the larger H against the smaller L

    std::vector<uint32_t> direct(4, 0xdeadbeefu);
    manager.FormBufferLine({Ints("x", {7, 8, 9, 10})}, direct.data());
    EXPECT_EQ(direct, (std::vector<uint32_t>{7, 8, 9, 0xdeadbeefu}));
    unsigned char bytes[16] = {};
    manager.FormBufferLine({Ints("x", {7, 8, 9})}, bytes + 1);  // unaligned
    EXPECT_EQ(zeb_test::At<int32_t>(bytes, 5), 8);
}

TEST(TriggerQuery, SteppedQueryEqualsTheOneCall) {
    Pair pair(10, {Floats("f", {1}), Ints("i", {0})}, 20, {Floats("f", {3}), Ints("i", {100})});
    ZEB::MatchedNodes matched;
    pair.manager->MatchCandidate({15}, matched);
    const uint32_t* line = pair.manager->InterpolateParameter(matched, {15});
    const std::vector<uint32_t> stepped(line, line + 2);
    EXPECT_EQ(stepped, (std::vector<uint32_t>{0x40000000u, 50}));  // 2.0f, 50
    line = pair.manager->InterpolateParameterSample(matched, {15});
    EXPECT_EQ(std::vector<uint32_t>(line, line + 2), stepped);
    EXPECT_EQ(Query(*pair.manager, {15}), stepped);
}
