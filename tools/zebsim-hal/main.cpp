// zebsim-hal: a host HAL and test tool for libzebsim.so. See --help.
// Exit status: 0 every task played as recorded, 1 the run failed (or a
// report or picture could not be written), 2 bad usage.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>

#include "platform/Host.h"

#include "zebsim-hal/lib/HalEmulator.h"
#include "zebsim-hal/lib/HtmlReport.h"
#include "zebsim-hal/lib/Scenario.h"
#include "zebsim-inspect/lib/Inspector.h"

namespace {

namespace fs = std::filesystem;

// What the command line asks for: the emulator's options and what this
// program does around the run.
struct CommandLine {
    zeb_hal::EmulatorOptions options;
    std::string previewSize;
    std::string scenario;
    int taskCount = 0;
    bool quiet = false;
    zeb_hal::HtmlReportOptions htmlReport;
    bool playAnyway = false;
};

void AddOptions(CLI::App& app, CommandLine& line) {
    app.description(
        "Plays the camera HAL and the on-device test tool against libzebsim.so: loads the library with dlopen,\n"
        "creates one simulation, plays the task list of the device root through a fake virtual-sensor driver,\n"
        "answers the capture-ready property with snapshot notifications, checks every frame and query against\n"
        "the recording, and writes report.json and one PNG per task into the output folder.");
    app.add_option("--device-root", line.options.deviceRoot,
                   "Folder standing for the device's root; holds data/vendor/cameraserver/zeb/config/RawListFile.xml "
                   "and the recording it names")
        ->required();
    app.add_option("--out", line.options.outputDir, "Output folder for report.json and the pictures (default: <device-root>/hal-out)");
    app.add_option("--library", line.options.library, "Path of libzebsim.so")->capture_default_str();
    app.add_option("--time-scale", line.options.timeScale, "Factor applied to the library's sleeps and waits")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--warm-up", line.options.warmUpSeconds,
                   "Seconds (real time) the HAL waits after \"server ready\" before it starts the job, while the "
                   "library reads the first frames")
        ->capture_default_str();
    app.add_option("--log-level", line.options.logLevel, "Highest library log level written (1 failures .. 5 detail)")->capture_default_str();
    app.add_option("--log-file", line.options.logFile, "File the library's log lines go to (default: standard error)");
    // The sensor side keeps a status record for 16 cameras.
    app.add_option("--camera-id", line.options.cameraId, "Camera id of the simulation, 0 to 15")
        ->check(CLI::Range(0, 15))
        ->capture_default_str();
    auto* second = app.add_option("--second-camera", line.options.secondCameraId,
                                  "Also open this camera id and play the same task list on it at the same time: two "
                                  "instances in one process, each with its own sensor driver and pipeline thread, "
                                  "every frame of each checked (not with a tuning sweep)")
                      ->check(CLI::Range(0, 15));
    app.add_flag("--tester", line.options.tester, "Tester mode: the library's own tester thread sends the snapshot notifications");
    auto* deleteDuring = app.add_option("--delete-during-task", line.options.deleteDuringTask,
                                        "Delete the instance as soon as the first frame of this task (frame id) arrives");
    app.add_option("--timeout", line.options.timeoutSeconds, "Seconds (real time) the whole run may take")->capture_default_str();
    auto* ispTool = app.add_flag("--isp-tool", line.options.ispTool,
                 "ISP tool mode: while the task list plays, the HAL files a processed preview frame per preview "
                 "period through SettingSocketBuffer and a streaming client fetches the newest with "
                 "GettingLatestFrame as fast as it can, checking each is whole");
    app.add_option("--preview-size", line.previewSize, "Preview size the HAL sets in ISP tool mode, WxH, even (default 640x480)")
        ->check([](const std::string& text) {
            int width = 0, height = 0;
            char tail = 0;
            if (sscanf(text.c_str(), "%dx%d%c", &width, &height, &tail) != 2 || width < 8 || height < 2 ||
                width % 2 != 0 || height % 2 != 0 || width > 8192 || height > 8192) {
                return std::string("expected WxH, even, width 8 to 8192, height 2 to 8192");
            }
            return std::string();
        });
    app.add_option("--tuning-name", line.options.tuningName,
                   "The sensor's tuning name, handed to the sensor side (default: the one folder under "
                   "<device-root>/vendor/firmware that holds a cfg.xml)");
    auto* bypass = app.add_flag("--bypass-mode", line.options.bypassMode,
                 "Once every task is done, call the library's ParameterUpdate::UpateBypassMode for the first task's "
                 "scene and report the bypass word of every binary tuning file before and after");
    second->excludes(deleteDuring)->excludes(ispTool)->excludes(bypass);
    auto* generate = app.add_option("--generate", line.scenario,
                   "First write a recording into the device root: \"preview\" (a Preview task list of two tasks), "
                   "\"capture\" (HDR, CHDR and single-frame captures with faces; AWB, ALSC and XTM fixed), \"edge\" "
                   "(a missing folder and a task without folders), \"sizes\" (five Preview tasks of 64x8, 400x500, "
                   "4000x3000, 400x500 and 64x8 frames), \"tuning\" (a task played under each of six swept tuning "
                   "combinations) or \"soak\" (the capture tasks under the six combinations)")
        ->check(CLI::IsMember(zeb_hal::ScenarioNames()));
    app.add_option("--tasks", line.taskCount, "With --generate: this many tasks, the scenario's own repeated in turn")
        ->check(CLI::Range(1, 1000))
        ->needs(generate);
    app.add_flag("--quiet", line.quiet, "No progress lines");
    app.add_flag("--full-size", line.htmlReport.fullSize,
                 "Also write every frame's full-size developed and reference pictures beside report.html");
    app.add_flag("--play-anyway", line.playAnyway,
                 "Play the recording even when zebsim-inspect's checks, which run first, find errors in it");
}

// Fills in what the options leave open and writes a requested scenario. 0
// when the run can go on, else the exit status.
int Prepare(CommandLine& line) {
    zeb_hal::EmulatorOptions& options = line.options;
    if (!options.logFile.empty()) {
        FILE* log = fopen(options.logFile.c_str(), "a");
        if (!log) {
            fprintf(stderr, "zebsim-hal: --log-file %s cannot be written\n", options.logFile.c_str());
            return 2;
        }
        fclose(log);
    }
    options.progress = !line.quiet;
    if (!line.previewSize.empty()) sscanf(line.previewSize.c_str(), "%dx%d", &options.previewWidth, &options.previewHeight);
    if (options.outputDir.empty()) options.outputDir = options.deviceRoot + "/hal-out";
    options.deviceRoot = std::filesystem::absolute(options.deviceRoot).string();
    options.outputDir = std::filesystem::absolute(options.outputDir).string();

    if (!line.scenario.empty()) {
        std::string error;
        if (!zeb_hal::WriteScenario(options.deviceRoot, line.scenario, line.taskCount, &error)) {
            fprintf(stderr, "zebsim-hal: %s\n", error.c_str());
            return 1;
        }
    }
    const fs::path taskList = fs::path(options.deviceRoot) / "data/vendor/cameraserver/zeb/config/RawListFile.xml";
    if (!fs::exists(taskList)) {
        const fs::path hostList = fs::path(options.deviceRoot) / "RawListFile.xml";
        if (fs::exists(hostList)) {
            fprintf(stderr,
                    "zebsim-hal: %s holds a host recording (RawListFile.xml at its top), not the device's layout; "
                    "make one with\n  zebsim-recgen --relocate %s --device-root ROOT\nand play ROOT\n",
                    options.deviceRoot.c_str(), hostList.c_str());
        } else {
            fprintf(stderr, "zebsim-hal: %s holds no task list (%s)\n", options.deviceRoot.c_str(),
                    taskList.c_str());
        }
        return 2;
    }
    if (!options.tuningName.empty()) {
        zeb_platform::SetDeviceRoot(options.deviceRoot);
        const std::string cfg = zeb_platform::DevicePath("/vendor/firmware/" + options.tuningName + "/cfg.xml");
        if (!fs::is_regular_file(cfg)) {
            fprintf(stderr, "zebsim-hal: --tuning-name %s: there is no %s\n", options.tuningName.c_str(), cfg.c_str());
            return 2;
        }
    }
    return 0;
}

// What a device would trip over is named before anything is played. 0 when
// the recording may be played, else the exit status.
int CheckRecording(const CommandLine& line) {
    const zeb_hal::EmulatorOptions& options = line.options;
    zeb_inspect::InspectOptions check;
    check.path = options.deviceRoot;
    const zeb_inspect::Inspection inspection = zeb_inspect::Inspect(check);
    if (!inspection.Plays() || inspection.Warnings() != 0) {
        fprintf(stderr, "%s", zeb_inspect::FormatTable(inspection).c_str());
    }
    if (options.deleteDuringTask >= static_cast<int64_t>(inspection.tasks.size())) {
        fprintf(stderr, "zebsim-hal: --delete-during-task %lld: the task list has %zu task(s), 0 to %zu\n",
                static_cast<long long>(options.deleteDuringTask), inspection.tasks.size(),
                inspection.tasks.empty() ? 0 : inspection.tasks.size() - 1);
        return 2;
    }
    if (!inspection.Plays()) {
        if (!line.playAnyway) {
            fprintf(stderr, "zebsim-hal: the recording has %d error(s) (above), not played; --play-anyway plays it\n",
                    inspection.Errors());
            return 1;
        }
        fprintf(stderr, "zebsim-hal: playing a recording with %d error(s) (above)\n", inspection.Errors());
    }
    return 0;
}

// The run's tallies on standard output, its errors on standard error.
void PrintSummary(const CommandLine& line, const zeb_hal::RunReport& report, const std::string& html) {
    const zeb_hal::EmulatorOptions& options = line.options;
    const bool quiet = line.quiet;
    if (!report.fatal.empty()) fprintf(stderr, "zebsim-hal: %s\n", report.fatal.c_str());
    int completed = 0, frames = 0, matched = 0, substituted = 0, mismatched = 0;
    for (const std::string& error : report.threeAErrors) fprintf(stderr, "zebsim-hal: 3A: %s\n", error.c_str());
    for (const auto& task : report.tasks) {
        for (const auto* tally : {&task.threeA.ae, &task.threeA.awb, &task.threeA.alsc, &task.threeA.xtm}) {
            substituted += tally->substituted;
            mismatched += tally->mismatched;
        }
        completed += task.completed ? 1 : 0;
        frames += task.previewFrames + task.captureFrames;
        matched += task.matchedFrames;
        for (const auto& error : task.errors) fprintf(stderr, "zebsim-hal: task %ld: %s\n", static_cast<long>(task.id), error.c_str());
    }
    printf("zebsim-hal: %d of %zu task(s) completed, %d frame(s) received, %d matched the recording, %d error(s)%s\n",
           completed, report.tasks.size(), frames, matched, report.errors, report.timedOut ? ", timed out" : "");
    if (report.playSeconds > 0) {
        printf("frames/s: %.1f (%d frame(s) in %.3f s from the job start, every byte compared)\n",
               frames / report.playSeconds, frames, report.playSeconds);
    }
    if (report.secondCamera.cameraId >= 0) {
        int secondCompleted = 0, secondFrames = 0, secondMatched = 0;
        for (const auto& task : report.secondCamera.tasks) {
            secondCompleted += task.completed ? 1 : 0;
            secondFrames += task.previewFrames + task.captureFrames;
            secondMatched += task.matchedFrames;
            for (const auto& error : task.errors) {
                fprintf(stderr, "zebsim-hal: camera %d task %ld: %s\n", report.secondCamera.cameraId,
                        static_cast<long>(task.id), error.c_str());
            }
        }
        printf("camera %d: %d of %zu task(s) completed, %d frame(s) received, %d matched the recording\n",
               report.secondCamera.cameraId, secondCompleted, report.secondCamera.tasks.size(), secondFrames,
               secondMatched);
    }
    printf("3A:       %d recorded result(s) reached the HAL's algorithms, %d did not match the recording%s\n",
           substituted, mismatched, report.threeAChecked ? "" : " (both cameras; not checked)");
    if (!quiet) {
        for (const auto& task : report.tasks) printf("%s", zeb_hal::ThreeASummary(task).c_str());
    }
    if (!html.empty()) printf("report:   %s\n", html.c_str());
    if (!report.reportPath.empty()) printf("report:   %s\n", report.reportPath.c_str());
    for (const std::string& what : report.unwritten) fprintf(stderr, "zebsim-hal: not written: %s\n", what.c_str());
    if (options.ispTool) {
        const zeb_hal::IspToolReport& isp = report.ispTool;
        printf("ISP tool: %lld frame(s) of %d x %d pushed, %lld fetched: %lld repeated, %lld skipped, %lld torn; "
               "fetch %.1f us mean, %.1f us p99, %.1f us max\n",
               static_cast<long long>(isp.pushed), isp.width, isp.height, static_cast<long long>(isp.fetched),
               static_cast<long long>(isp.repeated), static_cast<long long>(isp.skipped),
               static_cast<long long>(isp.torn), isp.latencyMeanMicros, isp.latencyP99Micros, isp.latencyMaxMicros);
    }
    for (const auto& picture : report.pictures) printf("picture:  %s\n", picture.c_str());
    if (report.bypass.called) {
        int changed = 0;
        for (const auto& file : report.bypass.files) changed += file.before != file.after ? 1 : 0;
        printf("bypass:   UpateBypassMode changed %d of %zu bypass word(s); flags %d %d %d %d %d\n", changed,
               report.bypass.files.size(), report.bypass.updateFlags[0], report.bypass.updateFlags[1],
               report.bypass.updateFlags[2], report.bypass.updateFlags[3], report.bypass.updateFlags[4]);
    }
    if (!report.bypass.error.empty()) fprintf(stderr, "zebsim-hal: bypass: %s\n", report.bypass.error.c_str());
}

// One line per tuning entry played.
void PrintTuning(const zeb_hal::RunReport& report) {
    for (const auto& task : report.tasks) {
        for (const auto& entry : task.tuning) {
            std::string combination;
            for (size_t b = 0; b < entry.combination.size(); ++b) {
                combination += (b ? ", " : "") + (b < report.sweptBlocks.size() ? report.sweptBlocks[b] : "?") + " " +
                               std::to_string(entry.combination[b]);
            }
            if (!entry.failure.empty()) {
                printf("tuning:   task %ld entry %d: FAILED, not installed (%s); played under the previous tuning\n",
                       static_cast<long>(task.id), entry.index, entry.failure.c_str());
                continue;
            }
            printf("tuning:   task %ld entry %d: %s; %zu file(s) loaded, reload %llu, flags %d %d %d %d %d\n",
                   static_cast<long>(task.id), entry.index, combination.c_str(), entry.loaded.size(),
                   static_cast<unsigned long long>(entry.reloads), entry.updateFlags[0], entry.updateFlags[1],
                   entry.updateFlags[2], entry.updateFlags[3], entry.updateFlags[4]);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    line.options.library = ZEB_DEFAULT_LIBRARY;
    CLI::App app;
    AddOptions(app, line);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11's own codes (105 and up) are bad usage like any other.
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (const int status = Prepare(line)) return status;
    if (const int status = CheckRecording(line)) return status;
    const zeb_hal::EmulatorOptions& options = line.options;
    zeb_hal::RunReport report;
    int result = zeb_hal::RunEmulator(options, &report);
    // report.html beside report.json; what cannot be written is an error.
    line.htmlReport.progress = !line.quiet;
    std::string htmlError;
    const std::string html =
        report.reportPath.empty() ? std::string() : zeb_hal::WriteHtmlReport(options, report.reportPath, line.htmlReport, &htmlError);
    if (html.empty()) {
        fprintf(stderr, "zebsim-hal: report.html: %s\n", htmlError.empty() ? "report.json not written" : htmlError.c_str());
        result = 1;
    }
    PrintSummary(line, report, html);
    PrintTuning(report);
    return result;
}
