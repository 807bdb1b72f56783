// zebsim-trigger: for tuning engineers. Reads a parameter file of the trigger
// engine and prints the line the HAL would get for the given trigger values:
// the constant parameters, then each tree's interpolated parameters, every
// value with its parameter's name and type. Sweeps one trigger level over a
// range, one line per step; prints CSV for a spreadsheet.
#include <CLI/CLI.hpp>

#include "zebsim-trigger/lib/TriggerTool.h"

int main(int argc, char** argv) {
    CLI::App app{"Prints the parameter line that a trigger parameter file gives for trigger values."};
    zeb_trigger_tool::Options options;
    app.add_option("file", options.path, "parameter XML file")->required();
    app.add_option("-t,--trigger", options.triggers,
                   "trigger values of one tree, root level first: TREE=V1,V2,... (repeat per tree)");
    auto* sweepOption = app.add_option("--sweep", options.sweep,
                                       "print one line of TREE's values per step of one trigger level: "
                                       "TREE:LEVEL=FROM:TO:STEP, LEVEL a number (0 = root level) or its name; "
                                       "the other levels' values come from -t");
    app.add_flag("-m,--matches", options.matches, "also print the matched trigger ranges per level");
    auto* listOption =
        app.add_flag("-l,--list", options.list, "print each tree's trigger ranges per level instead of a line");
    auto* csvOption = app.add_flag("--csv", options.csv, "print CSV: a header of value names, then the values");
    app.add_flag("-v,--verbose", options.verbose, "let the engine log its progress to stderr");
    listOption->excludes(sweepOption)->excludes(csvOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : zeb_trigger_tool::kBadArguments;
    }
    options.sweepGiven = !sweepOption->empty();
    return zeb_trigger_tool::Run(options);
}
