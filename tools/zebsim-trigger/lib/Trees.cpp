#include "zebsim-trigger/lib/Trees.h"

#include <pugixml.hpp>

#include <algorithm>

#include "core/FileAccess.h"
#include "zebsim-trigger/lib/Arguments.h"

namespace zeb_trigger_tool {

using ZEB::paramInfo;

std::string CheckFile(const std::string& path) {
    // The same reading the library does: no link, pipe or device at the name,
    // a size cap and a nesting limit, so the check cannot hang or run away.
    std::string bytes, why;
    if (!ZEB::files::ReadAll(path, ZEB::files::kMaxXmlBytes, &bytes, &why)) {
        return "cannot read " + path + ": " + (why == "missing" ? std::string("no such file") : why);
    }
    pugi::xml_document document;
    if (!ZEB::files::ParseXml(document, bytes, &why)) return path + " is not well-formed XML: " + why;
    pugi::xml_node root = document.child("root");
    if (!root) return path + " has no <root> element";
    if (!root.child("Triggers") || !root.child("Parameters")) {
        return path + " needs <Triggers> and <Parameters> elements under <root>";
    }
    return std::string();
}

std::string Values(size_t count) { return std::to_string(count) + (count == 1 ? " value" : " values"); }

bool IsFloatType(const paramInfo& param) { return param.type.find("float") != std::string::npos; }

std::vector<std::string> LevelNames(const ZEB::dataPool& pool, size_t depth) {
    std::vector<std::string> names;
    auto first = pool.regions.find(0);
    for (size_t d = 0; d < depth; ++d) {
        const std::string para = first == pool.regions.end() ? "" : first->second.triggers[d].para;
        names.push_back(para.empty() ? "level " + std::to_string(d) : para);
    }
    return names;
}

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

}  // namespace zeb_trigger_tool
