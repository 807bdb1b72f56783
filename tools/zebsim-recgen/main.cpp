// Writes a recording: frame folders, scene files and a task list.
//   zebsim-recgen --output DIR [--size 4000x3000] [--frames N] [--tasks N] [--tuning NAME --device-root DIR] ...
//   zebsim-recgen --output DIR --from-dng FILE... [--frames N] [--pedestal N]
#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>

#include "develop/lib/Sheet.h"
#include "zebsim-recgen/lib/DngImport.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

int main(int argc, char** argv) {
    CLI::App app{"Writes recorded frame folders, scene files and a task list as a device records them."};
    zeb_recgen::Options options;
    std::string size = "4000x3000";
    std::string yuvSize;
    std::string pattern = "RGGB";
    bool preview = false;
    bool fixed3a = false;
    std::string lsc = "alsc4";
    std::string tuningName, deviceRoot;
    app.add_option("-o,--output", options.outputFolder, "folder the recording is written to")->required();
    app.add_option("-s,--size", size, "raw image size, WIDTHxHEIGHT")->capture_default_str();
    app.add_option("--yuv-size", yuvSize, "reference YUV size, WIDTHxHEIGHT (default: the raw size)");
    app.add_option("-f,--frames", options.framesPerTask, "frame folders per task (1 to 10)")
        ->check(CLI::Range(1, 10))
        ->capture_default_str();
    app.add_option("-t,--tasks", options.taskCount, "number of tasks")->check(CLI::Range(1, 100000))->capture_default_str();
    app.add_option("-p,--pattern", pattern, "Bayer pattern")
        ->check(CLI::IsMember({"RGGB", "GRBG", "GBRG", "BGGR"}))
        ->capture_default_str();
    app.add_option("-m,--mode", options.mode, "play mode of the task list")->capture_default_str();
    app.add_option("--task-list", options.taskListPath, "where the task list goes (default: in the output folder)");
    app.add_flag("--unpacked-raw", options.writeUnpackedRaw, "also write the 16-bit .raw image of each frame");
    app.add_flag("--fixed-3a", fixed3a,
                 "put AWB, ALSC and a tone-mapping block (GTM_XTM) into the block configuration list in fixed mode "
                 "(state 3), so the recorded results replace the HAL's");
    app.add_option("--lsc", lsc, "lens shading result format the frames record")
        ->check(CLI::IsMember({"alsc3", "alsc4", "none"}))
        ->capture_default_str();
    app.add_flag("--preview", preview,
                 "write each frame's raw, developed with its recorded 3A results, as preview.png next to it");
    app.add_option("--tuning", tuningName,
                   "also write a sensor tuning of this name that sweeps two blocks (2 x 3 combinations): the firmware "
                   "tuning folder, its bypass lists, the configuration list and the tuning tasks");
    app.add_option("--device-root", deviceRoot, "device root the firmware tuning folder goes into (with --tuning)");
    zeb_recgen::DngImportOptions dng;
    auto* fromDng = app.add_option("--from-dng", dng.files,
                                   "DNG files to turn into the recording, one frame each in the order given "
                                   "(--frames per task)")
                        ->check(CLI::ExistingFile);
    app.add_option("--pedestal", dng.pedestal, "With --from-dng: the 10-bit level the files' black level maps to")
        ->check(CLI::Range(0, 1022))
        ->capture_default_str()
        ->needs(fromDng);
    for (const char* synthetic :
         {"--size", "--yuv-size", "--tasks", "--pattern", "--unpacked-raw", "--fixed-3a", "--lsc", "--tuning"}) {
        fromDng->excludes(app.get_option(synthetic));
    }
    CLI11_PARSE(app, argc, argv);
    if (!tuningName.empty()) {
        if (deviceRoot.empty()) {
            fprintf(stderr, "--tuning needs --device-root\n");
            return 2;
        }
        options.tuning = zeb_recgen::SweepTuning(tuningName, deviceRoot);
    }

    // preview.html of what was written: each frame developed beside its reference.
    auto writePreview = [&](const std::string& taskListPath, const std::string& folder) {
        std::string error;
        const std::string path = folder + "/preview.html";
        // Developing takes a while on big frames: a line per task.
        auto progress = [](const std::string& line) { fprintf(stderr, "zebsim-recgen: preview: %s\n", line.c_str()); };
        if (!zeb_develop::WritePreview(taskListPath, path, preview, &error, progress)) {
            fprintf(stderr, "zebsim-recgen: %s: %s\n", path.c_str(), error.c_str());
            return false;
        }
        printf("preview %s\n", path.c_str());
        return true;
    };

    if (!dng.files.empty()) {
        dng.outputFolder = options.outputFolder;
        dng.taskListPath = options.taskListPath;
        dng.framesPerTask = options.framesPerTask;
        dng.mode = options.mode;
        dng.preview = false;  // the developed previews come with preview.html
        const zeb_recgen::GeneratedRecording imported = zeb_recgen::ImportDng(dng);
        if (!imported.ok) {
            fprintf(stderr, "zebsim-recgen: %s\n", imported.error.c_str());
            return 1;
        }
        for (const auto& frame : imported.frames) {
            printf("%s -> %s\n", dng.files[static_cast<size_t>(frame.serial)].c_str(), frame.rawPath.c_str());
        }
        printf("%zu tasks, %zu frames, Bayer pattern %s; task list %s\n", imported.tasks.size(), imported.frames.size(),
               zeb_recgen::BayerPatternName(imported.options.pattern), imported.taskListPath.c_str());
        return writePreview(imported.taskListPath, dng.outputFolder) ? 0 : 1;
    }

    auto parseSize = [](const std::string& text, int* width, int* height) {
        return sscanf(text.c_str(), "%dx%d", width, height) == 2 && *width > 0 && *height > 0;
    };
    if (!parseSize(size, &options.width, &options.height) ||
        (!yuvSize.empty() && !parseSize(yuvSize, &options.yuvWidth, &options.yuvHeight))) {
        fprintf(stderr, "sizes are written WIDTHxHEIGHT, for instance 4000x3000\n");
        return 2;
    }
    zeb_recgen::ParseBayerPattern(pattern, &options.pattern);
    if (fixed3a) options.blocks = zeb_recgen::Fixed3ABlocks();
    const std::map<std::string, zeb_recgen::LscFormat> formats = {
        {"alsc3", zeb_recgen::LscFormat::Alsc3}, {"alsc4", zeb_recgen::LscFormat::Alsc4}, {"none", zeb_recgen::LscFormat::None}};
    options.lscFormat = formats.at(lsc);

    const zeb_recgen::GeneratedRecording recording = zeb_recgen::GenerateRecording(options);
    if (!recording.ok) {
        fprintf(stderr, "zebsim-recgen: %s\n", recording.error.c_str());
        return 1;
    }
    printf("%zu tasks, %zu frames of %dx%d; task list %s\n", recording.tasks.size(), recording.frames.size(),
           recording.options.width, recording.options.height, recording.taskListPath.c_str());
    return writePreview(recording.taskListPath, options.outputFolder) ? 0 : 1;
}
