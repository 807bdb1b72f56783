// zebsim-soak: a camera process that opens and closes one camera many times
// against libzebsim.so. See --help.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <random>

#include "zebsim-soak/lib/Soak.h"

int main(int argc, char** argv) {
    zeb_soak::SoakOptions options;
    options.library = ZEB_DEFAULT_LIBRARY;
    options.seed = std::random_device{}();
    CLI::App app{
        "Loads libzebsim.so once and runs N cycles of: create a simulation, play part of the task list with the\n"
        "HAL's threads calling in, delete it during a frame read, a settle, a snapshot wait, a 3A callback, a\n"
        "tuning update or a streaming fetch. Fails when a cycle leaks a vendor buffer, a thread or a file\n"
        "descriptor, or when a deletion takes more than one scaled second."};
    app.add_option("--cycles,-n", options.cycles, "Number of cycles")->capture_default_str()->check(CLI::Range(1, 1000000));
    app.add_option("--seed", options.seed, "Seed of the moments (printed; the same seed draws the same moments)");
    app.add_option("--first-cycle", options.firstCycle,
                   "Number of the first cycle: with the seed of a run, replays it from that cycle")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);
    app.add_option("--library", options.library, "Path of libzebsim.so")->capture_default_str();
    app.add_option("--device-root", options.deviceRoot,
                   "Folder the recording is written into (default: a temporary folder, removed when every cycle passed)");
    app.add_flag("--keep", options.keepDeviceRoot, "Keep the temporary device root");
    app.add_option("--time-scale", options.timeScale, "Factor applied to the library's sleeps and waits")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--moment-scale", options.momentScale,
                   "Time scale from the start of a cycle's moment to the deletion, which must return within one "
                   "scaled second (default 1, 4 under the sanitizers)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    app.add_option("--log-level", options.logLevel, "Highest library log level written")->capture_default_str();
    app.add_option("--log-file", options.logFile, "File the library's log lines go to (default: soak.log in the device root)");
    app.add_option("--camera-id", options.cameraId, "Camera id of the simulation")->capture_default_str();
    bool verbose = false;
    app.add_flag("--verbose,-v", verbose, "A line per cycle (failing cycles are always shown)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11's own codes (105 and up) are bad usage like any other.
        return app.exit(error) == 0 ? 0 : 2;
    }

    printf("zebsim-soak: seed %llu, %d cycle(s) from cycle %d, time scale %g, at the moments %g\n",
           static_cast<unsigned long long>(options.seed), options.cycles, options.firstCycle, options.timeScale,
           options.momentScale);
    fflush(stdout);
    zeb_soak::SoakReport report;
    const int result = zeb_soak::RunSoak(options, &report, [verbose](const zeb_soak::CycleResult& cycle) {
        if (verbose || !cycle.leaks.empty() || !cycle.faults.empty()) {
            printf("%s\n", zeb_soak::CycleLine(cycle).c_str());
            fflush(stdout);
        }
    });
    if (!report.fatal.empty()) {
        fprintf(stderr, "zebsim-soak: %s\n", report.fatal.c_str());
        return result;
    }
    printf("%s", zeb_soak::Summary(report).c_str());
    if (result != 0) {
        printf("zebsim-soak: FAILED; replay with --seed %llu --first-cycle <cycle>; device root %s, library log %s\n",
               static_cast<unsigned long long>(report.seed), report.deviceRoot.c_str(), report.logFile.c_str());
    }
    return result;
}
