#pragma once
// Records of the trigger-based parameter engine: what the parameter XML holds
// once parsed, and what the trigger trees and buffer lines are built from.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ZEB {

// One step on the way from a trigger tree's root to a leaf.
struct triggerInfo {
    float start = 0.0f;
    float end = 0.0f;
    std::string para;
    std::string name;   // empty for inner nodes
    int32_t value = 0;  // leaf number; 0 for inner nodes
};

// One parameter. Only one of intData and floatData is filled, after `type`.
struct paramInfo {
    int32_t index = 0;
    int32_t length = 0;  // announced by the file, never checked against the values
    std::string type;
    std::string name;
    std::string text;
    std::vector<int32_t> intData;
    std::vector<float> floatData;
};

// A trigger leaf's path (root first, leaf last) with the parameter group of
// the same number.
struct trigger2Param {
    std::vector<triggerInfo> triggers;
    std::vector<paramInfo> params;
};

struct dataPool {
    std::map<int32_t, trigger2Param> regions;  // leaf number -> region
    std::vector<paramInfo> constData;
};

using XmlDataMap = std::map<std::string, dataPool>;

}  // namespace ZEB
