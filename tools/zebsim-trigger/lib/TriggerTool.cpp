#include "zebsim-trigger/lib/TriggerTool.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "platform/Log.h"
#include "zebsim-trigger/lib/Arguments.h"
#include "zebsim-trigger/lib/Line.h"
#include "zebsim-trigger/lib/Trees.h"

namespace zeb_trigger_tool {

namespace {

int Refuse(int code, const std::string& message) {
    std::fprintf(stderr, "zebsim-trigger: %s\n", message.c_str());
    return code;
}

// The file as loaded once: the parser holds the trees' data, which the
// manager's engines and the tool's trees point into.
struct Loaded {
    std::unique_ptr<ZEB::XMLAutoParser> parser;
    std::unique_ptr<ZEB::XMLParameterManager> manager;
    std::vector<Tree> trees;
    std::string treeNames;

    Tree* Find(const std::string& name) {
        for (Tree& tree : trees) {
            if (tree.name == name) return &tree;
        }
        return nullptr;
    }
};

using Given = std::map<std::string, std::vector<float>>;

// The swept level of one tree.
struct SweepTarget {
    Sweep sweep;
    Tree* tree = nullptr;
    size_t level = 0;
};

// The line and where each tree's part of it starts.
struct Layout {
    std::vector<std::vector<float>> candidates;  // per tree; empty: its first region
    std::vector<uint32_t> line;
    size_t constLen = 0;
    std::vector<size_t> offsets;
};

int Load(const std::string& path, Loaded& loaded) {
    const std::string problem = CheckFile(path);
    if (!problem.empty()) return Refuse(kUnusableFile, problem);
    loaded.parser = std::make_unique<ZEB::XMLAutoParser>(path);
    const auto& pools = loaded.parser->GetXMLData();
    if (pools.empty()) {
        return Refuse(kUnusableFile, path + " has no usable parameter tree: each <Triggers name=...> needs a "
                                            "<Parameters> of the same name with groups indexed like its leaves");
    }
    loaded.manager = std::make_unique<ZEB::XMLParameterManager>(pools);
    const ZEB::XMLParameterManager& manager = *loaded.manager;
    if (manager.IsDebug()) {
        return Refuse(kUnusableFile,
                      "the property persist.vendor.cam.zeb.xml.debug.mode is set: the engine would put its fixed "
                      "test data in place of " + path + " and of the given values; set it to 0 first");
    }
    for (const auto& [name, pool] : pools) {
        if (loaded.trees.size() >= manager.GetManagers().size()) break;
        ZEB::TriggerAndDataManager* tree = manager.GetManagers()[loaded.trees.size()].get();
        loaded.trees.push_back({name, &pool, tree, LevelNames(pool, static_cast<size_t>(tree->GetTriggerDepth()))});
        loaded.treeNames += (loaded.treeNames.empty() ? "" : ", ") + name;
    }
    return 0;
}

int ReadGiven(const Options& options, Loaded& loaded, Given& given) {
    for (const std::string& text : options.triggers) {
        std::string name;
        std::vector<float> values;
        std::string error;
        if (!ParseTreeValues(text, name, values, error)) return Refuse(kBadArguments, error);
        const Tree* tree = loaded.Find(name);
        if (!tree) {
            return Refuse(kBadArguments,
                          options.path + " has no tree named " + name + " (it has " + loaded.treeNames + ")");
        }
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
    return 0;
}

int ResolveSweep(const Options& options, Loaded& loaded, Given& given, SweepTarget& target) {
    const Sweep& sweep = target.sweep;
    std::string error;
    if (!ParseSweep(options.sweep, target.sweep, error)) return Refuse(kBadArguments, error);
    Tree* swept = loaded.Find(sweep.tree);
    if (!swept) {
        return Refuse(kBadArguments,
                      options.path + " has no tree named " + sweep.tree + " (it has " + loaded.treeNames + ")");
    }
    size_t sweptLevel = swept->Depth();
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
    target.tree = swept;
    target.level = sweptLevel;
    return 0;
}

void PrintList(const Loaded& loaded) {
    for (const Tree& tree : loaded.trees) {
        std::printf("tree %s: %zu regions, %zu trigger levels, %d values per line\n", tree.name.c_str(),
                    tree.pool->regions.size(), tree.Depth(), tree.manager->GetParamLen());
        PrintLevels(*tree.manager);
    }
}

Layout MakeLayout(const Loaded& loaded, const Given& given) {
    Layout layout;
    for (const Tree& tree : loaded.trees) {
        auto found = given.find(tree.name);
        layout.candidates.push_back(found == given.end() ? std::vector<float>() : found->second);
    }
    layout.line.resize(static_cast<size_t>(loaded.manager->GetOutputLen()));
    layout.constLen = static_cast<size_t>(loaded.manager->GetConstLen());
    size_t offset = layout.constLen;
    for (size_t i = 0; i < loaded.trees.size(); ++i) {
        layout.offsets.push_back(offset);
        offset += static_cast<size_t>(loaded.manager->GetSectorLen()[i]);
    }
    return layout;
}

std::vector<Group> TreeGroupsAt(const Loaded& loaded, const Layout& layout, size_t index) {
    return TreeGroups(loaded.trees[index], layout.offsets[index],
                      static_cast<size_t>(loaded.manager->GetSectorLen()[index]));
}

// A line of the swept tree's values per step, after a header line.
void PrintSweep(const Options& options, Loaded& loaded, const SweepTarget& target, Layout& layout, FILE* notes) {
    const Sweep& sweep = target.sweep;
    const Tree& swept = *target.tree;
    const size_t index = static_cast<size_t>(target.tree - loaded.trees.data());
    const auto groups = TreeGroupsAt(loaded, layout, index);
    const std::string& level = swept.levels[target.level];
    if (options.csv) {
        std::vector<std::string> columns{level};
        CsvHeader(groups, "", columns);
        PrintCsvRow(columns);
    } else {
        std::printf("tree %s: %s (level %zu) from %s to %s step %s", swept.name.c_str(), level.c_str(), target.level,
                    Number(sweep.from).c_str(), Number(sweep.to).c_str(), Number(sweep.step).c_str());
        for (size_t d = 0; d < swept.Depth(); ++d) {
            if (d == target.level) continue;
            std::printf(", %s %s", swept.levels[d].c_str(), Number(layout.candidates[index][d]).c_str());
        }
        std::printf("\n");
    }
    const double steps = std::floor((static_cast<double>(sweep.to) - sweep.from) / sweep.step + 1e-9);
    for (double k = 0; k <= steps; ++k) {
        const float value = static_cast<float>(sweep.from + k * static_cast<double>(sweep.step));
        layout.candidates[index][target.level] = value;
        loaded.manager->GetDataInfo(layout.candidates, layout.line.data());
        const auto stepNotes = MatchNotes(swept, layout.candidates[index], nullptr);
        if (options.csv) {
            std::vector<std::string> fields{Number(value)};
            CsvValues(layout.line, groups, fields);
            PrintCsvRow(fields);
            for (const std::string& note : stepNotes) std::fprintf(notes, "note: %s\n", note.c_str());
        } else {
            std::printf("%s=%s  %s", level.c_str(), Number(value).c_str(),
                        GroupsInOneLine(layout.line, groups).c_str());
            if (!stepNotes.empty()) std::printf("  (%s)", stepNotes.front().c_str());
            std::printf("\n");
        }
    }
}

// A header of value names, then the values, one row each.
void PrintCsv(const Loaded& loaded, const Layout& layout, FILE* notes) {
    const auto constGroups = ConstGroups(loaded.trees.front().pool->constData, layout.constLen);
    std::vector<std::string> columns;
    std::vector<std::string> fields;
    CsvHeader(constGroups, "const.", columns);
    CsvValues(layout.line, constGroups, fields);
    for (size_t i = 0; i < loaded.trees.size(); ++i) {
        const Tree& tree = loaded.trees[i];
        const auto groups = TreeGroupsAt(loaded, layout, i);
        CsvHeader(groups, tree.name + ".", columns);
        CsvValues(layout.line, groups, fields);
        if (!layout.candidates[i].empty()) {
            for (const std::string& note : MatchNotes(tree, layout.candidates[i], nullptr)) {
                std::fprintf(notes, "note: %s: %s\n", tree.name.c_str(), note.c_str());
            }
        }
    }
    PrintCsvRow(columns);
    PrintCsvRow(fields);
}

// The constant parameters, then each tree's, a line per parameter.
void PrintText(const Options& options, const Loaded& loaded, const Layout& layout) {
    const auto constGroups = ConstGroups(loaded.trees.front().pool->constData, layout.constLen);
    std::printf("line of %d values\n", loaded.manager->GetOutputLen());
    std::printf("const: %zu values\n", layout.constLen);
    PrintGroups(layout.line, constGroups);
    for (size_t i = 0; i < loaded.trees.size(); ++i) {
        const Tree& tree = loaded.trees[i];
        const std::vector<float>& values = layout.candidates[i];
        std::printf("tree %s:", tree.name.c_str());
        if (values.empty()) std::printf(" no trigger values, first region");
        else {
            std::printf(" trigger values");
            for (float value : values) std::printf(" %s", Number(value).c_str());
        }
        std::printf("\n");
        if (!values.empty()) {
            ZEB::MatchedNodes matched;
            for (const std::string& note : MatchNotes(tree, values, &matched)) {
                std::printf("  note: %s\n", note.c_str());
            }
            if (options.matches) PrintMatches(tree, matched);
        }
        PrintGroups(layout.line, TreeGroupsAt(loaded, layout, i));
    }
}

}  // namespace

int Run(const Options& options) {
    // The tool says in its own words what went wrong; the engine's lines are
    // for those who ask.
    if (!options.verbose) zeb_platform::SetLogLevel(0);
    else if (!std::getenv("ZEB_LOG_LEVEL")) zeb_platform::SetLogLevel(5);
    // Notes and warnings must not break a CSV table apart.
    FILE* notes = options.csv ? stderr : stdout;

    Loaded loaded;
    if (const int code = Load(options.path, loaded)) return code;
    Given given;
    if (const int code = ReadGiven(options, loaded, given)) return code;
    SweepTarget target;
    if (options.sweepGiven) {
        if (const int code = ResolveSweep(options, loaded, given, target)) return code;
    }
    if (options.list) {
        PrintList(loaded);
        return 0;
    }
    WarnAboutLengths(*loaded.parser, loaded.trees, notes);
    Layout layout = MakeLayout(loaded, given);
    if (target.tree) {
        PrintSweep(options, loaded, target, layout, notes);
        return 0;
    }
    loaded.manager->GetDataInfo(layout.candidates, layout.line.data());
    if (options.csv) PrintCsv(loaded, layout, notes);
    else PrintText(options, loaded, layout);
    return 0;
}

}  // namespace zeb_trigger_tool
