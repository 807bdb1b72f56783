#pragma once
// Fixtures of the trigger tests: parameter files written to a temporary
// folder as engineers write them, and regions built in memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "trigger/TriggerAndDataManager.h"
#include "trigger/TriggerTypes.h"
#include "trigger/XMLParameterManager.h"

namespace trigger_test {

using Regions = std::map<int32_t, ZEB::trigger2Param>;

inline std::string WriteParamFile(const zeb_test::TempDir& dir, const std::string& body) {
    zeb_test::WriteFile(dir / "params.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n" + body + "\n</root>\n");
    return dir / "params.xml";
}

inline std::string SampleFile() {
    return std::string(ZEB_TEST_SOURCE_DIR) + "/trigger/data/sample_params.xml";
}

inline ZEB::triggerInfo Range(float start, float end) {
    ZEB::triggerInfo step;
    step.start = start;
    step.end = end;
    return step;
}

inline ZEB::paramInfo Param(const char* name, const char* type, std::vector<int32_t> ints, std::vector<float> floats) {
    ZEB::paramInfo param;
    param.name = name;
    param.type = type;
    param.length = static_cast<int32_t>(ints.size() + floats.size());
    param.intData = std::move(ints);
    param.floatData = std::move(floats);
    return param;
}
inline ZEB::paramInfo Floats(const char* name, std::vector<float> values) { return Param(name, "float", {}, values); }
inline ZEB::paramInfo Ints(const char* name, std::vector<int32_t> values) { return Param(name, "int", values, {}); }

inline ZEB::trigger2Param Region(std::vector<ZEB::triggerInfo> path, std::vector<ZEB::paramInfo> params) {
    return ZEB::trigger2Param{std::move(path), std::move(params)};
}

// Two levels with gaps at both: [0, 100] [200, 500], then [1, 4] [8, 16]
// under each; the sample file's Denoise tree.
inline Regions TwoLevels() {
    Regions regions;
    regions[0] = Region({Range(0, 100), Range(1, 4)}, {Floats("s", {1, 2, 3}), Ints("r", {100, 200})});
    regions[1] = Region({Range(0, 100), Range(8, 16)}, {Floats("s", {2, 3, 4}), Ints("r", {200, 300})});
    regions[2] = Region({Range(200, 500), Range(1, 4)}, {Floats("s", {0.5f, 1, 1.5f}), Ints("r", {50, 100})});
    regions[3] = Region({Range(200, 500), Range(8, 16)}, {Floats("s", {1.5f, 2, 2.5f}), Ints("r", {150, 200})});
    return regions;
}

// A query into a line with guard words behind it, which must stay untouched.
template <class Manager, class Candidates>
std::vector<uint32_t> Query(Manager& manager, const Candidates& candidates, size_t length) {
    std::vector<uint32_t> line(length + 16, 0xdeadbeefu);
    manager.GetDataInfo(candidates, line.data());
    EXPECT_EQ(std::vector<uint32_t>(line.begin() + length, line.end()), std::vector<uint32_t>(16, 0xdeadbeefu))
        << "written past the line";
    line.resize(length);
    return line;
}
inline std::vector<uint32_t> Query(ZEB::TriggerAndDataManager& manager, const std::vector<float>& candidate) {
    return Query(manager, candidate, static_cast<size_t>(manager.GetParamLen()));
}
inline std::vector<uint32_t> Query(ZEB::XMLParameterManager& manager, const std::vector<std::vector<float>>& lists) {
    return Query(manager, lists, static_cast<size_t>(manager.GetOutputLen()));
}

inline float FloatAt(const std::vector<uint32_t>& line, size_t index) {
    float value;
    memcpy(&value, &line.at(index), sizeof value);
    return value;
}
inline int32_t IntAt(const std::vector<uint32_t>& line, size_t index) { return static_cast<int32_t>(line.at(index)); }
inline std::vector<float> FloatsAt(const std::vector<uint32_t>& line, size_t from, size_t count) {
    std::vector<float> values;
    for (size_t i = from; i < from + count; ++i) values.push_back(FloatAt(line, i));
    return values;
}

}  // namespace trigger_test
