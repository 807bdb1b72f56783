// zebsim-inspect: checks a recording before a device plays it. See --help.
#include <CLI/CLI.hpp>

#include <cstdio>

#include "develop/lib/PairCheck.h"
#include "zebsim-inspect/lib/Inspector.h"
#include "zebsim-inspect/lib/PairInspection.h"

int main(int argc, char** argv) {
    CLI::App app{
        "Checks a recording the way libzebsim.so reads it, without a HAL: the task list and block configuration\n"
        "list, every input folder's raw, YUV and dump files against the frame's data-file table, the scene files\n"
        "with the scene schema, the tuning tasks' sweeps and the output paths. Prints one line per task and\n"
        "block with its problems under it; exits 0 when the library would play the recording as recorded,\n"
        "1 when it would not."};
    zeb_inspect::InspectOptions options;
    bool json = false;
    app.add_option("PATH", options.path,
                   "A device root (holding data/vendor/cameraserver/zeb/config/RawListFile.xml), a recording "
                   "folder (holding RawListFile.xml) or a task list file")
        ->required();
    app.add_flag("--json", json, "Print the findings as JSON instead of a table");
    app.add_flag("--device-paths", options.devicePaths,
                 "Check the device's layout: the task list at data/vendor/cameraserver/zeb/config/RawListFile.xml "
                 "below PATH and every path it names below /data/vendor/cameraserver/zeb/");
    bool checkPairs = false;
    double threshold = zeb_develop::kPairThreshold;
    app.add_flag("--raw-vs-reference", checkPairs,
                 "Also develop every frame's raw with its recorded 3A and check it shows the same picture as its "
                 "reference image (reads every image); a frame that does not is an error");
    app.add_option("--pair-threshold", threshold, "With --raw-vs-reference: the figure below which a frame is flagged")
        ->check(CLI::Range(-1.0, 1.0))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11's own codes (105 and up) are bad usage like any other.
        return app.exit(error) == 0 ? 0 : 2;
    }
    zeb_inspect::Inspection inspection = zeb_inspect::Inspect(options);
    std::string figures;
    if (checkPairs) figures = zeb_inspect::CheckRawAgainstReference(inspection, threshold);
    const std::string text = json ? zeb_inspect::FormatJson(inspection) : zeb_inspect::FormatTable(inspection);
    fwrite(text.data(), 1, text.size(), stdout);
    if (!json) fwrite(figures.data(), 1, figures.size(), stdout);
    return inspection.Plays() ? 0 : 1;
}
