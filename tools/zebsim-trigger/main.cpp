// zebsim-trigger: for tuning engineers. Reads a parameter file of the trigger
// engine and prints the line the HAL would get for the given trigger values:
// the constant parameters, then each tree's interpolated parameters, every
// value with its parameter's name and type. Sweeps one trigger level over a
// range, one line per step; prints CSV for a spreadsheet.
#include <CLI/CLI.hpp>
#include <pugixml.hpp>

#include <charconv>
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

constexpr int kUnusableFile = 1;
constexpr int kBadArguments = 2;
constexpr double kMaxSweepSteps = 10000;

// The shortest text that reads back as the same float.
std::string Number(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

// A float that is a number: not NaN, not out of range.
bool ParseNumber(const std::string& text, float& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno != ERANGE && !std::isnan(value);
}

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
        float value = 0.0f;
        if (!ParseNumber(piece, value)) {
            error = "'" + piece + "' in '" + text + "' is not a number";
            return false;
        }
        values.push_back(value);
        begin = comma + 1;
    }
    return true;
}

// --sweep TREE:LEVEL=FROM:TO:STEP
struct Sweep {
    std::string tree;
    std::string level;
    float from = 0.0f;
    float to = 0.0f;
    float step = 0.0f;
};

bool ParseSweep(const std::string& text, Sweep& sweep, std::string& error) {
    error = "--sweep '" + text + "' is not TREE:LEVEL=FROM:TO:STEP";
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    const std::string target = text.substr(0, equals);
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) return false;
    sweep.tree = target.substr(0, colon);
    sweep.level = target.substr(colon + 1);
    std::vector<std::string> numbers;
    size_t begin = equals + 1;
    while (begin <= text.size()) {
        size_t next = text.find(':', begin);
        if (next == std::string::npos) next = text.size();
        numbers.push_back(text.substr(begin, next - begin));
        begin = next + 1;
    }
    if (numbers.size() != 3) return false;
    for (size_t i = 0; i < 3; ++i) {
        float* value = i == 0 ? &sweep.from : (i == 1 ? &sweep.to : &sweep.step);
        if (!ParseNumber(numbers[i], *value) || std::isinf(*value)) {
            error = "'" + numbers[i] + "' in --sweep '" + text + "' is not a number";
            return false;
        }
    }
    const double span = static_cast<double>(sweep.to) - sweep.from;
    if (sweep.step == 0.0f || span / sweep.step < 0.0) {
        error = "--sweep '" + text + "': STEP " + Number(sweep.step) + " never leads from " + Number(sweep.from) +
                " to " + Number(sweep.to);
        return false;
    }
    if (span / sweep.step + 1.0 > kMaxSweepSteps) {
        error = "--sweep '" + text + "' makes more than " + std::to_string(static_cast<int>(kMaxSweepSteps)) + " steps";
        return false;
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

std::string Values(size_t count) { return std::to_string(count) + (count == 1 ? " value" : " values"); }

bool IsFloatType(const paramInfo& param) { return param.type.find("float") != std::string::npos; }

// One tree of the file as the tool shows it.
struct Tree {
    std::string name;
    const ZEB::dataPool* pool;
    ZEB::TriggerAndDataManager* manager;
    std::vector<std::string> levels;  // what each trigger level measures, root level first

    size_t Depth() const { return static_cast<size_t>(manager->GetTriggerDepth()); }
    std::string Levels() const {
        std::string text;
        for (const std::string& level : levels) text += (text.empty() ? "" : ", ") + level;
        return text;
    }
};

// The trees' levels are named after region 0's path, which gives their depth.
std::vector<std::string> LevelNames(const ZEB::dataPool& pool, size_t depth) {
    std::vector<std::string> names;
    auto first = pool.regions.find(0);
    for (size_t d = 0; d < depth; ++d) {
        const std::string para = first == pool.regions.end() ? "" : first->second.triggers[d].para;
        names.push_back(para.empty() ? "level " + std::to_string(d) : para);
    }
    return names;
}

// Where tuning engineers miscount: a "length" that is not the number of
// values written. The constant line follows the length, tree lines the values.
void WarnAboutLengths(ZEB::XMLAutoParser& parser, const std::vector<Tree>& trees, FILE* out) {
    auto check = [&](const paramInfo& param, const std::string& what, bool constant) {
        if (param.type != "int" && param.type != "float") {
            const std::string effect = constant ? "the line holds " + Values(std::max(param.length, 0)) + " of zero"
                                                : "tree lines leave it out";
            std::fprintf(out, "warning: %s: type \"%s\" is neither int nor float, so its values are not read; %s\n",
                         what.c_str(), param.type.c_str(), effect.c_str());
            return;
        }
        // A length of 1 reads the whole text as one value.
        const size_t written = param.length == 1 ? parser.DivideString(param.text).size()
                                                 : param.intData.size() + param.floatData.size();
        if (param.length >= 0 && written == static_cast<size_t>(param.length)) return;
        const size_t length = static_cast<size_t>(std::max(param.length, 0));
        std::string effect = "tree lines hold the values as written";
        if (constant) {
            effect = written > length ? "the line keeps only the first " + Values(length)
                                      : "the line fills it up with zeros to " + Values(length);
        }
        std::fprintf(out, "warning: %s: length %d but %s written; %s\n", what.c_str(), param.length,
                     Values(written).c_str(), effect.c_str());
    };
    if (!trees.empty()) {
        for (const paramInfo& param : trees.front().pool->constData) {
            check(param, "constant parameter " + param.name, true);
        }
    }
    for (const Tree& tree : trees) {
        for (const auto& [number, region] : tree.pool->regions) {
            for (const paramInfo& param : region.params) {
                check(param, tree.name + " group " + std::to_string(number) + " parameter " + param.name, false);
            }
        }
    }
}

// A run of values in the line that belongs to one parameter.
struct Group {
    std::string name;
    bool isFloat;
    size_t offset;
    size_t count;
};

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

// A tree's line is named after its first region's parameters.
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

// "  [offset] name type v v v", a line per parameter.
void PrintGroups(const std::vector<uint32_t>& line, const std::vector<Group>& groups) {
    for (const Group& group : groups) {
        std::printf("  [%zu] %s %s", group.offset, group.name.c_str(), group.isFloat ? "float" : "int");
        for (size_t j = 0; j < group.count; ++j) {
            std::printf(" %s", Value(line, group.offset + j, group.isFloat).c_str());
        }
        std::printf("\n");
    }
}

// "name v v v  name v v", all parameters on one line.
std::string GroupsInOneLine(const std::vector<uint32_t>& line, const std::vector<Group>& groups) {
    std::string text;
    for (const Group& group : groups) {
        text += (text.empty() ? "" : "  ") + group.name;
        for (size_t j = 0; j < group.count; ++j) text += " " + Value(line, group.offset + j, group.isFloat);
    }
    return text;
}

// How the values met the tree, in a person's words: nothing when some region
// holds them; otherwise the first level whose value lies outside every
// range, and the fallback to the first region that follows from it.
std::vector<std::string> MatchNotes(const Tree& tree, const std::vector<float>& values, ZEB::MatchedNodes* shown) {
    ZEB::MatchedNodes matched;
    tree.manager->MatchCandidate(values, matched);
    if (shown) *shown = matched;
    std::vector<std::string> notes;
    if (tree.Depth() == 0) {
        notes.push_back("the tree has no region numbered 0, so no trigger levels: its line is zero");
        return notes;
    }
    for (size_t d = 0; d < tree.Depth(); ++d) {
        auto found = matched.find(static_cast<int32_t>(d));
        if (found != matched.end() && !found->second.empty()) continue;
        std::string note = tree.levels[d] + " " + Number(values[d]) + " lies outside every " + tree.levels[d];
        note += " range";
        if (d > 0) {
            const bool several = matched[static_cast<int32_t>(d - 1)].size() > 1;
            note += " under the matched " + tree.levels[d - 1] + (several ? " ranges" : " range");
        }
        notes.push_back(note);
        notes.push_back("no region holds these values: the line is the tree's first region");
        break;
    }
    return notes;
}

void PrintMatches(const Tree& tree, const ZEB::MatchedNodes& matched) {
    for (size_t level = 0; level < tree.Depth(); ++level) {
        std::printf("  level %zu (%s):", level, tree.levels[level].c_str());
        auto found = matched.find(static_cast<int32_t>(level));
        if (found == matched.end() || found->second.empty()) std::printf(" no match");
        else {
            for (const ZEB::ATree* node : found->second) {
                std::printf(" [%s, %s]", Number(node->GetRange().start).c_str(), Number(node->GetRange().end).c_str());
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
            std::printf(" [%s, %s]", Number(node->GetRange().start).c_str(), Number(node->GetRange().end).c_str());
        }
        std::printf("\n");
    }
}

int Refuse(int code, const std::string& message) {
    std::fprintf(stderr, "zebsim-trigger: %s\n", message.c_str());
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prints the parameter line that a trigger parameter file gives for trigger values."};
    std::string path;
    std::vector<std::string> triggers;
    std::string sweepText;
    bool matches = false;
    bool list = false;
    bool csv = false;
    bool verbose = false;
    app.add_option("file", path, "parameter XML file")->required();
    app.add_option("-t,--trigger", triggers,
                   "trigger values of one tree, root level first: TREE=V1,V2,... (repeat per tree)");
    auto* sweepOption = app.add_option("--sweep", sweepText,
                                       "print one line of TREE's values per step of one trigger level: "
                                       "TREE:LEVEL=FROM:TO:STEP, LEVEL a number (0 = root level) or its name; "
                                       "the other levels' values come from -t");
    app.add_flag("-m,--matches", matches, "also print the matched trigger ranges per level");
    auto* listOption =
        app.add_flag("-l,--list", list, "print each tree's trigger ranges per level instead of a line");
    auto* csvOption = app.add_flag("--csv", csv, "print CSV: a header of value names, then the values");
    app.add_flag("-v,--verbose", verbose, "let the engine log its progress to stderr");
    listOption->excludes(sweepOption)->excludes(csvOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kBadArguments;
    }

    // The tool says in its own words what went wrong; the engine's lines are
    // for those who ask.
    if (!verbose) zeb_platform::SetLogLevel(0);
    else if (!std::getenv("ZEB_LOG_LEVEL")) zeb_platform::SetLogLevel(5);
    // Notes and warnings must not break a CSV table apart.
    FILE* notes = csv ? stderr : stdout;

    const std::string problem = CheckFile(path);
    if (!problem.empty()) return Refuse(kUnusableFile, problem);
    ZEB::XMLAutoParser parser(path);
    const auto& pools = parser.GetXMLData();
    if (pools.empty()) {
        return Refuse(kUnusableFile, path + " has no usable parameter tree: each <Triggers name=...> needs a "
                                            "<Parameters> of the same name with groups indexed like its leaves");
    }
    ZEB::XMLParameterManager manager(pools);
    if (manager.IsDebug()) {
        return Refuse(kUnusableFile,
                      "the property persist.vendor.cam.zeb.xml.debug.mode is set: the engine would put its fixed "
                      "test data in place of " + path + " and of the given values; set it to 0 first");
    }
    std::vector<Tree> trees;
    std::string treeNames;
    for (const auto& [name, pool] : pools) {
        if (trees.size() >= manager.GetManagers().size()) break;
        ZEB::TriggerAndDataManager* tree = manager.GetManagers()[trees.size()].get();
        trees.push_back({name, &pool, tree, LevelNames(pool, static_cast<size_t>(tree->GetTriggerDepth()))});
        treeNames += (treeNames.empty() ? "" : ", ") + name;
    }
    auto findTree = [&](const std::string& name) -> Tree* {
        for (Tree& tree : trees) {
            if (tree.name == name) return &tree;
        }
        return nullptr;
    };

    std::map<std::string, std::vector<float>> given;
    for (const std::string& text : triggers) {
        std::string name;
        std::vector<float> values;
        std::string error;
        if (!ParseTreeValues(text, name, values, error)) return Refuse(kBadArguments, error);
        const Tree* tree = findTree(name);
        if (!tree) return Refuse(kBadArguments, path + " has no tree named " + name + " (it has " + treeNames + ")");
        if (values.size() != tree->Depth()) {
            if (tree->Depth() == 0) {
                return Refuse(kBadArguments, name + " has no trigger levels (no region numbered 0): give it no values");
            }
            return Refuse(kBadArguments, name + " has " + std::to_string(tree->Depth()) + " trigger levels (" +
                                             tree->Levels() + "): give " + std::to_string(tree->Depth()) +
                                             " values, root level first, not " + std::to_string(values.size()));
        }
        given[name] = values;
    }

    Sweep sweep;
    Tree* swept = nullptr;
    size_t sweptLevel = 0;
    if (!sweepOption->empty()) {
        std::string error;
        if (!ParseSweep(sweepText, sweep, error)) return Refuse(kBadArguments, error);
        swept = findTree(sweep.tree);
        if (!swept) {
            return Refuse(kBadArguments, path + " has no tree named " + sweep.tree + " (it has " + treeNames + ")");
        }
        sweptLevel = swept->Depth();
        for (size_t d = 0; d < swept->Depth() && sweptLevel == swept->Depth(); ++d) {
            if (swept->levels[d] == sweep.level || std::to_string(d) == sweep.level) sweptLevel = d;
        }
        if (sweptLevel == swept->Depth()) {
            std::string levels;
            for (size_t d = 0; d < swept->Depth(); ++d) {
                levels += (levels.empty() ? "" : ", ") + std::to_string(d) + " (" + swept->levels[d] + ")";
            }
            return Refuse(kBadArguments, sweep.tree + " has no trigger level " + sweep.level +
                                             (levels.empty() ? ": it has no levels" : ": its levels are " + levels));
        }
        if (swept->Depth() > 1 && !given.count(sweep.tree)) {
            return Refuse(kBadArguments, "sweeping " + sweep.tree + " needs the values of its other levels: give -t " +
                                             sweep.tree + "=V1,V2,... (" + swept->Levels() + "; the " +
                                             swept->levels[sweptLevel] + " value is swept)");
        }
        given[sweep.tree].resize(swept->Depth());
    }

    if (list) {
        for (const Tree& tree : trees) {
            std::printf("tree %s: %zu regions, %zu trigger levels, %d values per line\n", tree.name.c_str(),
                        tree.pool->regions.size(), tree.Depth(), tree.manager->GetParamLen());
            PrintLevels(*tree.manager);
        }
        return 0;
    }
    WarnAboutLengths(parser, trees, notes);

    std::vector<std::vector<float>> candidates;
    for (const Tree& tree : trees) {
        auto found = given.find(tree.name);
        candidates.push_back(found == given.end() ? std::vector<float>() : found->second);
    }
    std::vector<uint32_t> line(static_cast<size_t>(manager.GetOutputLen()));
    const size_t constLen = static_cast<size_t>(manager.GetConstLen());
    std::vector<size_t> offsets;
    size_t offset = constLen;
    for (size_t i = 0; i < trees.size(); ++i) {
        offsets.push_back(offset);
        offset += static_cast<size_t>(manager.GetSectorLen()[i]);
    }

    if (swept) {
        const size_t index = static_cast<size_t>(swept - trees.data());
        const auto groups = TreeGroups(*swept, offsets[index], static_cast<size_t>(manager.GetSectorLen()[index]));
        const std::string& level = swept->levels[sweptLevel];
        if (csv) {
            std::vector<std::string> columns{level};
            CsvHeader(groups, "", columns);
            PrintCsvRow(columns);
        } else {
            std::printf("tree %s: %s (level %zu) from %s to %s step %s", swept->name.c_str(), level.c_str(), sweptLevel,
                        Number(sweep.from).c_str(), Number(sweep.to).c_str(), Number(sweep.step).c_str());
            for (size_t d = 0; d < swept->Depth(); ++d) {
                if (d == sweptLevel) continue;
                std::printf(", %s %s", swept->levels[d].c_str(), Number(candidates[index][d]).c_str());
            }
            std::printf("\n");
        }
        const double steps = std::floor((static_cast<double>(sweep.to) - sweep.from) / sweep.step + 1e-9);
        for (double k = 0; k <= steps; ++k) {
            const float value = static_cast<float>(sweep.from + k * static_cast<double>(sweep.step));
            candidates[index][sweptLevel] = value;
            manager.GetDataInfo(candidates, line.data());
            const auto stepNotes = MatchNotes(*swept, candidates[index], nullptr);
            if (csv) {
                std::vector<std::string> fields{Number(value)};
                CsvValues(line, groups, fields);
                PrintCsvRow(fields);
                for (const std::string& note : stepNotes) std::fprintf(notes, "note: %s\n", note.c_str());
            } else {
                std::printf("%s=%s  %s", level.c_str(), Number(value).c_str(), GroupsInOneLine(line, groups).c_str());
                if (!stepNotes.empty()) std::printf("  (%s)", stepNotes.front().c_str());
                std::printf("\n");
            }
        }
        return 0;
    }

    manager.GetDataInfo(candidates, line.data());
    const auto constGroups = ConstGroups(trees.front().pool->constData, constLen);
    if (csv) {
        std::vector<std::string> columns;
        std::vector<std::string> fields;
        CsvHeader(constGroups, "const.", columns);
        CsvValues(line, constGroups, fields);
        for (size_t i = 0; i < trees.size(); ++i) {
            const auto groups = TreeGroups(trees[i], offsets[i], static_cast<size_t>(manager.GetSectorLen()[i]));
            CsvHeader(groups, trees[i].name + ".", columns);
            CsvValues(line, groups, fields);
            if (!candidates[i].empty()) {
                for (const std::string& note : MatchNotes(trees[i], candidates[i], nullptr)) {
                    std::fprintf(notes, "note: %s: %s\n", trees[i].name.c_str(), note.c_str());
                }
            }
        }
        PrintCsvRow(columns);
        PrintCsvRow(fields);
        return 0;
    }

    std::printf("line of %d values\n", manager.GetOutputLen());
    std::printf("const: %zu values\n", constLen);
    PrintGroups(line, constGroups);
    for (size_t i = 0; i < trees.size(); ++i) {
        const std::vector<float>& values = candidates[i];
        std::printf("tree %s:", trees[i].name.c_str());
        if (values.empty()) std::printf(" no trigger values, first region");
        else {
            std::printf(" trigger values");
            for (float value : values) std::printf(" %s", Number(value).c_str());
        }
        std::printf("\n");
        if (!values.empty()) {
            ZEB::MatchedNodes matched;
            for (const std::string& note : MatchNotes(trees[i], values, &matched)) {
                std::printf("  note: %s\n", note.c_str());
            }
            if (matches) PrintMatches(trees[i], matched);
        }
        PrintGroups(line, TreeGroups(trees[i], offsets[i], static_cast<size_t>(manager.GetSectorLen()[i])));
    }
    return 0;
}
