// Fixed test input of the debug mode. The ranges are chosen so that the debug
// candidates [1.0, 3.0, 350.0] fall into a range at the first level and into
// gaps at the two others: the lines then show interpolation at work.
#include <string>

#include "trigger/XMLParameterManager.h"

namespace ZEB {
namespace {

triggerInfo Step(float start, float end, const char* para) {
    triggerInfo step;
    step.start = start;
    step.end = end;
    step.para = para;
    return step;
}

paramInfo Param(const char* name, const char* type, int32_t index) {
    paramInfo param;
    param.name = name;
    param.type = type;
    param.index = index;
    return param;
}

}  // namespace

void MakeFakeData(std::map<int32_t, trigger2Param>& regions) {
    const triggerInfo levels[3][2] = {
        {Step(0.0f, 2.0f, "bv"), Step(2.0f, 5.0f, "bv")},
        {Step(0.0f, 2.0f, "gain"), Step(4.0f, 8.0f, "gain")},
        {Step(0.0f, 300.0f, "ct"), Step(400.0f, 1000.0f, "ct")},
    };
    regions.clear();
    for (int32_t number = 0; number < 8; ++number) {
        trigger2Param region;
        region.triggers = {levels[0][(number >> 2) & 1], levels[1][(number >> 1) & 1], levels[2][number & 1]};
        region.triggers.back().name = "region" + std::to_string(number);
        region.triggers.back().value = number;
        const float base = static_cast<float>(number);
        paramInfo gain = Param("fake_gain", "float", 0);
        gain.floatData = {base, base + 0.5f, base + 1.0f};
        gain.length = 3;
        paramInfo level = Param("fake_level", "int", 1);
        level.intData = {100 * number, 100 * number + 5};
        level.length = 2;
        region.params = {gain, level};
        regions.emplace(number, std::move(region));
    }
}

void FormFakeDataLine(std::map<std::string, dataPool>& pools) {
    pools.clear();
    dataPool pool;
    MakeFakeData(pool.regions);
    paramInfo constInt = Param("fake_const_int", "int", 0);
    constInt.intData = {1, 2};
    constInt.length = 2;
    paramInfo constFloat = Param("fake_const_float", "float", 1);
    constFloat.floatData = {0.5f};
    constFloat.length = 1;
    pool.constData = {constInt, constFloat};
    for (int i = 0; i < 3; ++i) pools.emplace("FakeTrigger" + std::to_string(i), pool);
}

}  // namespace ZEB
