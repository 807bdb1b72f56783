#pragma once
// The parameter file as the tool shows it: whether it can be used at all,
// each tree with its trigger levels named, where a parameter's length and
// its written values disagree, and how given trigger values met a tree. The
// engine itself never fails: it logs and yields nothing, which a person at a
// terminal must hear about, so these checks speak for it.
#include <cstdio>
#include <string>
#include <vector>

#include "trigger/XMLAutoParser.h"
#include "trigger/XMLParameterManager.h"

namespace zeb_trigger_tool {

// Why the file cannot be used, or empty.
std::string CheckFile(const std::string& path);

// "1 value", "3 values".
std::string Values(size_t count);

bool IsFloatType(const ZEB::paramInfo& param);

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
std::vector<std::string> LevelNames(const ZEB::dataPool& pool, size_t depth);

// Where tuning engineers miscount: a "length" that is not the number of
// values written. The constant line follows the length, tree lines the values.
void WarnAboutLengths(ZEB::XMLAutoParser& parser, const std::vector<Tree>& trees, FILE* out);

// How the values met the tree, in a person's words: nothing when some region
// holds them; otherwise the first level whose value lies outside every
// range, and the fallback to the first region that follows from it.
std::vector<std::string> MatchNotes(const Tree& tree, const std::vector<float>& values, ZEB::MatchedNodes* shown);

// The matched trigger ranges per level.
void PrintMatches(const Tree& tree, const ZEB::MatchedNodes& matched);

// Every trigger range per level.
void PrintLevels(const ZEB::TriggerAndDataManager& manager);

}  // namespace zeb_trigger_tool
