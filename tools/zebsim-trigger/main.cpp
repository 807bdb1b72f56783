// zebsim-trigger: for tuning engineers. Reads a parameter file of the trigger
// engine and prints the line the HAL would get for the given trigger values:
// the constant parameters, then each tree's interpolated parameters, every
// value with its parameter's name and type.
#include <CLI/CLI.hpp>
#include <pugixml.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Log.h"
#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

namespace {

using ZEB::paramInfo;

// "NAME=V1,V2,..." -> tree name and its trigger values, root level first.
bool ParseTreeValues(const std::string& text, std::string& tree, std::vector<float>& values, std::string& error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        error = "'" + text + "' is not TREE=V1,V2,...";
        return false;
    }
    tree = text.substr(0, equals);
    values.clear();
    size_t begin = equals + 1;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos) comma = text.size();
        const std::string piece = text.substr(begin, comma - begin);
        char* end = nullptr;
        errno = 0;
        const float value = std::strtof(piece.c_str(), &end);
        if (piece.empty() || *end != '\0' || errno == ERANGE || std::isnan(value)) {
            error = "'" + piece + "' in '" + text + "' is not a number";
            return false;
        }
        values.push_back(value);
        begin = comma + 1;
    }
    return true;
}

// Why the file cannot be used, or empty. The engine itself never fails: it
// logs and yields nothing, which a person at a terminal must hear about.
std::string CheckFile(const std::string& path) {
    std::error_code code;
    if (!std::filesystem::is_regular_file(path, code)) return "cannot read " + path + ": no such file";
    pugi::xml_document document;
    pugi::xml_parse_result result = document.load_file(path.c_str());
    if (!result) {
        return path + " is not well-formed XML: " + result.description() + " at byte " +
               std::to_string(result.offset);
    }
    pugi::xml_node root = document.child("root");
    if (!root) return path + " has no <root> element";
    if (!root.child("Triggers") || !root.child("Parameters")) {
        return path + " needs <Triggers> and <Parameters> elements under <root>";
    }
    return std::string();
}

std::string FormatValue(const void* line, size_t index, bool isFloat) {
    char text[32];
    if (isFloat) {
        float value;
        memcpy(&value, static_cast<const unsigned char*>(line) + index * 4, sizeof value);
        snprintf(text, sizeof text, "%g", static_cast<double>(value));
    } else {
        int32_t value;
        memcpy(&value, static_cast<const unsigned char*>(line) + index * 4, sizeof value);
        snprintf(text, sizeof text, "%d", value);
    }
    return text;
}

// Prints `length` values of `line` from `offset`, named after `layout`.
void PrintValues(const std::vector<uint32_t>& line, size_t offset, size_t length, const std::vector<paramInfo>& layout,
                 bool floatByType) {
    size_t done = 0;
    for (const paramInfo& param : layout) {
        if (done >= length) break;
        const bool isFloat = floatByType ? param.type.find("float") != std::string::npos : !param.floatData.empty();
        const size_t count = std::min(isFloat ? param.floatData.size() : param.intData.size(), length - done);
        std::printf("  [%zu] %s %s", offset + done, param.name.c_str(), isFloat ? "float" : "int");
        for (size_t j = 0; j < count; ++j) std::printf(" %s", FormatValue(line.data(), offset + done + j, isFloat).c_str());
        std::printf("\n");
        done += count;
    }
    if (done < length) {
        std::printf("  [%zu] (unnamed)", offset + done);
        for (; done < length; ++done) std::printf(" %s", FormatValue(line.data(), offset + done, false).c_str());
        std::printf("\n");
    }
}

void PrintMatches(ZEB::TriggerAndDataManager& manager, const ZEB::dataPool& pool, const std::vector<float>& values) {
    ZEB::MatchedNodes matched;
    manager.MatchCandidate(values, matched);
    const std::vector<ZEB::triggerInfo>* path =
        pool.regions.empty() ? nullptr : &pool.regions.begin()->second.triggers;
    for (int32_t level = 0; level < manager.GetTriggerDepth(); ++level) {
        const char* para = path && static_cast<size_t>(level) < path->size() ? (*path)[level].para.c_str() : "";
        std::printf("  level %d (%s):", level, para);
        auto found = matched.find(level);
        if (found == matched.end() || found->second.empty()) std::printf(" no match");
        else {
            for (const ZEB::ATree* node : found->second) {
                std::printf(" [%g, %g]", static_cast<double>(node->GetRange().start),
                            static_cast<double>(node->GetRange().end));
            }
        }
        std::printf("\n");
    }
}

void PrintLevels(const ZEB::TriggerAndDataManager& manager) {
    const auto& levels = manager.GetAllTreeVec();
    for (size_t level = 0; level < levels.size(); ++level) {
        std::printf("  level %zu:", level);
        for (const ZEB::ATree* node : levels[level]) {
            std::printf(" [%g, %g]", static_cast<double>(node->GetRange().start),
                        static_cast<double>(node->GetRange().end));
        }
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prints the parameter line that a trigger parameter file gives for trigger values."};
    std::string path;
    std::vector<std::string> triggers;
    bool matches = false;
    bool list = false;
    bool verbose = false;
    app.add_option("file", path, "parameter XML file")->required();
    app.add_option("-t,--trigger", triggers,
                   "trigger values of one tree, root level first: TREE=V1,V2,... (repeat per tree)");
    app.add_flag("-m,--matches", matches, "also print the matched trigger ranges per level");
    app.add_flag("-l,--list", list, "print each tree's trigger ranges per level instead of a line");
    app.add_flag("-v,--verbose", verbose, "let the engine log its progress to stderr");
    CLI11_PARSE(app, argc, argv);

    if (!std::getenv("ZEB_LOG_LEVEL")) zeb_platform::SetLogLevel(verbose ? 5 : 1);

    const std::string problem = CheckFile(path);
    if (!problem.empty()) {
        std::fprintf(stderr, "zebsim-trigger: %s\n", problem.c_str());
        return 1;
    }
    ZEB::XMLAutoParser parser(path);
    const auto& pools = parser.GetXMLData();
    if (pools.empty()) {
        std::fprintf(stderr,
                     "zebsim-trigger: %s has no usable parameter tree: each <Triggers name=...> needs a "
                     "<Parameters> of the same name with groups indexed like its leaves\n",
                     path.c_str());
        return 1;
    }

    std::map<std::string, std::vector<float>> given;
    for (const std::string& text : triggers) {
        std::string tree;
        std::vector<float> values;
        std::string error;
        if (!ParseTreeValues(text, tree, values, error)) {
            std::fprintf(stderr, "zebsim-trigger: %s\n", error.c_str());
            return 2;
        }
        if (!pools.count(tree)) {
            std::fprintf(stderr, "zebsim-trigger: %s has no tree named %s\n", path.c_str(), tree.c_str());
            return 2;
        }
        given[tree] = values;
    }

    ZEB::XMLParameterManager manager(pools);
    if (manager.IsDebug()) {
        std::fprintf(stderr, "zebsim-trigger: the debug property is set: fixed test data and values are used\n");
    }
    const auto& trees = manager.GetManagers();
    if (list) {
        size_t i = 0;
        for (const auto& [name, pool] : pools) {
            if (i >= trees.size()) break;
            std::printf("tree %s: %zu regions, %d trigger levels, %d values per line\n", name.c_str(),
                        pool.regions.size(), trees[i]->GetTriggerDepth(), trees[i]->GetParamLen());
            PrintLevels(*trees[i++]);
        }
        return 0;
    }

    std::vector<std::vector<float>> candidates;
    for (const auto& entry : pools) {
        auto found = given.find(entry.first);
        candidates.push_back(found == given.end() ? std::vector<float>() : found->second);
    }
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetOutputLen()));
    manager.GetDataInfo(candidates, line.data());

    std::printf("line of %d values\n", manager.GetOutputLen());
    std::printf("const: %d values\n", manager.GetConstLen());
    PrintValues(line, 0, static_cast<size_t>(manager.GetConstLen()), pools.begin()->second.constData, true);
    size_t offset = static_cast<size_t>(manager.GetConstLen());
    size_t i = 0;
    for (const auto& [name, pool] : pools) {
        if (i >= trees.size()) break;
        const std::vector<float>& values = candidates[i];
        std::printf("tree %s:", name.c_str());
        if (values.empty()) std::printf(" no trigger values, first region");
        else {
            std::printf(" trigger values");
            for (float value : values) std::printf(" %g", static_cast<double>(value));
        }
        std::printf("\n");
        if (matches) PrintMatches(*trees[i], pool, values);
        const std::vector<paramInfo> none;
        const auto& layout = pool.regions.empty() ? none : pool.regions.begin()->second.params;
        const size_t length = static_cast<size_t>(manager.GetSectorLen()[i]);
        PrintValues(line, offset, length, layout, false);
        offset += length;
        ++i;
    }
    return 0;
}
