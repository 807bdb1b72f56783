#pragma once
// zebsim-trigger's work behind its command line: loads a parameter file of
// the trigger engine and prints the line the HAL would get for the given
// trigger values (or a sweep of one level, or each tree's ranges). Every
// refusal is one line on stderr in the tool's own words; the engine's own
// log lines are for those who ask for them.
#include <string>
#include <vector>

namespace zeb_trigger_tool {

constexpr int kUnusableFile = 1;
constexpr int kBadArguments = 2;

struct Options {
    std::string path;                   // the parameter file
    std::vector<std::string> triggers;  // TREE=V1,V2,... per tree
    bool sweepGiven = false;            // --sweep was given, even if empty
    std::string sweep;                  // TREE:LEVEL=FROM:TO:STEP
    bool matches = false;               // also print the matched ranges
    bool list = false;                  // print the ranges instead of a line
    bool csv = false;                   // values as CSV; notes go to stderr
    bool verbose = false;               // let the engine log to stderr
};

// Prints what `options` ask for; returns the tool's exit code.
int Run(const Options& options);

}  // namespace zeb_trigger_tool
