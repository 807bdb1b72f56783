#pragma once
// The tool's own argument forms: trigger values per tree and a sweep of one
// trigger level. Each parser either fills its result or says, in a tuning
// engineer's words, what is wrong with the text.
#include <string>
#include <vector>

namespace zeb_trigger_tool {

constexpr double kMaxSweepSteps = 10000;

// The shortest text that reads back as the same float.
std::string Number(float value);

// A float that is a number: not NaN, not out of range.
bool ParseNumber(const std::string& text, float& value);

// "NAME=V1,V2,..." -> tree name and its trigger values, root level first.
bool ParseTreeValues(const std::string& text, std::string& tree, std::vector<float>& values, std::string& error);

// --sweep TREE:LEVEL=FROM:TO:STEP
struct Sweep {
    std::string tree;
    std::string level;
    float from = 0.0f;
    float to = 0.0f;
    float step = 0.0f;
};

bool ParseSweep(const std::string& text, Sweep& sweep, std::string& error);

}  // namespace zeb_trigger_tool
