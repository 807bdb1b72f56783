#pragma once
// The parameter line the engine fills, cut into runs of values, one run per
// parameter, and printed for a person (one parameter per line, or all on one
// line for a sweep step) or as CSV for a spreadsheet.
#include <cstdint>
#include <string>
#include <vector>

#include "zebsim-trigger/lib/Trees.h"

namespace zeb_trigger_tool {

// A run of values in the line that belongs to one parameter.
struct Group {
    std::string name;
    bool isFloat;
    size_t offset;
    size_t count;
};

// The constant parameters' runs, at the start of the line.
std::vector<Group> ConstGroups(const std::vector<ZEB::paramInfo>& params, size_t length);

// A tree's line is named after its first region's parameters.
std::vector<Group> TreeGroups(const Tree& tree, size_t offset, size_t length);

// One value of the line as text: a float's shortest form or a signed integer.
std::string Value(const std::vector<uint32_t>& line, size_t index, bool isFloat);

std::string CsvField(const std::string& text);
void CsvHeader(const std::vector<Group>& groups, const std::string& prefix, std::vector<std::string>& columns);
void CsvValues(const std::vector<uint32_t>& line, const std::vector<Group>& groups, std::vector<std::string>& fields);
void PrintCsvRow(const std::vector<std::string>& fields);

// "  [offset] name type v v v", a line per parameter.
void PrintGroups(const std::vector<uint32_t>& line, const std::vector<Group>& groups);

// "name v v v  name v v", all parameters on one line.
std::string GroupsInOneLine(const std::vector<uint32_t>& line, const std::vector<Group>& groups);

}  // namespace zeb_trigger_tool
