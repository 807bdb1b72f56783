#pragma once
// Fixtures of the trigger tests: parameter files written to a temporary
// folder as engineers write them, and regions built in memory for the
// engine's own entry points.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "trigger/TriggerTypes.h"

namespace trigger_test {

inline std::string WriteParamFile(const zeb_test::TempDir& dir, const std::string& body,
                                  const std::string& name = "params.xml") {
    const std::string path = dir / name;
    zeb_test::WriteFile(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>\n" + body + "\n</root>\n");
    return path;
}

inline std::string SampleFile() {
    return (std::filesystem::path(__FILE__).parent_path() / "data" / "sample_params.xml").string();
}

inline ZEB::triggerInfo Range(float start, float end, const char* para = "p") {
    ZEB::triggerInfo step;
    step.start = start;
    step.end = end;
    step.para = para;
    return step;
}

inline ZEB::paramInfo Floats(const char* name, std::initializer_list<float> values) {
    ZEB::paramInfo param;
    param.name = name;
    param.type = "float";
    param.floatData = values;
    param.length = static_cast<int32_t>(values.size());
    return param;
}

inline ZEB::paramInfo Ints(const char* name, std::initializer_list<int32_t> values) {
    ZEB::paramInfo param;
    param.name = name;
    param.type = "int";
    param.intData = values;
    param.length = static_cast<int32_t>(values.size());
    return param;
}

inline ZEB::trigger2Param Region(std::vector<ZEB::triggerInfo> path, std::vector<ZEB::paramInfo> params) {
    return ZEB::trigger2Param{std::move(path), std::move(params)};
}

inline float FloatAt(const std::vector<uint32_t>& line, size_t index) {
    float value;
    memcpy(&value, &line.at(index), sizeof value);
    return value;
}

inline int32_t IntAt(const std::vector<uint32_t>& line, size_t index) {
    return static_cast<int32_t>(line.at(index));
}

}  // namespace trigger_test
