#include "zebsim-trigger/lib/Line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "zebsim-trigger/lib/Arguments.h"

namespace zeb_trigger_tool {

using ZEB::paramInfo;

std::vector<Group> ConstGroups(const std::vector<paramInfo>& params, size_t length) {
    std::vector<Group> groups;
    size_t at = 0;
    for (const paramInfo& param : params) {
        const size_t count = std::min(static_cast<size_t>(std::max(param.length, 0)), length - at);
        groups.push_back({param.name, IsFloatType(param), at, count});
        at += count;
    }
    return groups;
}

std::vector<Group> TreeGroups(const Tree& tree, size_t offset, size_t length) {
    std::vector<Group> groups;
    size_t done = 0;
    if (!tree.pool->regions.empty()) {
        for (const paramInfo& param : tree.pool->regions.begin()->second.params) {
            if (done >= length) break;
            const bool isFloat = !param.floatData.empty();
            const size_t count = std::min(isFloat ? param.floatData.size() : param.intData.size(), length - done);
            groups.push_back({param.name, isFloat, offset + done, count});
            done += count;
        }
    }
    if (done < length) groups.push_back({"(unnamed)", false, offset + done, length - done});
    return groups;
}

std::string Value(const std::vector<uint32_t>& line, size_t index, bool isFloat) {
    if (isFloat) {
        float value;
        memcpy(&value, &line[index], sizeof value);
        return Number(value);
    }
    return std::to_string(static_cast<int32_t>(line[index]));
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

void CsvHeader(const std::vector<Group>& groups, const std::string& prefix, std::vector<std::string>& columns) {
    for (const Group& group : groups) {
        for (size_t j = 0; j < group.count; ++j) {
            columns.push_back(prefix + group.name + (group.count == 1 ? "" : "[" + std::to_string(j) + "]"));
        }
    }
}

void CsvValues(const std::vector<uint32_t>& line, const std::vector<Group>& groups, std::vector<std::string>& fields) {
    for (const Group& group : groups) {
        for (size_t j = 0; j < group.count; ++j) fields.push_back(Value(line, group.offset + j, group.isFloat));
    }
}

void PrintCsvRow(const std::vector<std::string>& fields) {
    std::string row;
    for (const std::string& field : fields) row += (row.empty() ? "" : ",") + CsvField(field);
    std::printf("%s\n", row.c_str());
}

void PrintGroups(const std::vector<uint32_t>& line, const std::vector<Group>& groups) {
    for (const Group& group : groups) {
        std::printf("  [%zu] %s %s", group.offset, group.name.c_str(), group.isFloat ? "float" : "int");
        for (size_t j = 0; j < group.count; ++j) {
            std::printf(" %s", Value(line, group.offset + j, group.isFloat).c_str());
        }
        std::printf("\n");
    }
}

std::string GroupsInOneLine(const std::vector<uint32_t>& line, const std::vector<Group>& groups) {
    std::string text;
    for (const Group& group : groups) {
        text += (text.empty() ? "" : "  ") + group.name;
        for (size_t j = 0; j < group.count; ++j) text += " " + Value(line, group.offset + j, group.isFloat);
    }
    return text;
}

}  // namespace zeb_trigger_tool
