// Writes a recording: frame folders, scene files and a task list.
//   zebsim-recgen (-o DIR | --device-root ROOT) [--size 4000x3000] [--frames N] [--tasks N] [--tuning NAME] ...
//   zebsim-recgen (-o DIR | --device-root ROOT) --from-dng FILE... [--frames N] [--pedestal N]
//   zebsim-recgen --relocate TASKLIST --device-root ROOT
// Exit status: 0 written, 1 the work failed, 2 bad usage.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "develop/lib/Sheet.h"
#include "frame/ZEBFrame.h"
#include "platform/Host.h"
#include "zebsim-recgen/lib/DngImport.h"
#include "zebsim-recgen/lib/Placement.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace {

void PrintWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) fprintf(stderr, "zebsim-recgen: warning: %s\n", warning.c_str());
}

// preview.html of what was written: each frame developed beside its reference.
bool WritePreview(const zeb_recgen::Placement& placement, const std::string& taskListPath, bool preview) {
    std::string error;
    // Beside the recording in the host layout, beside the task list in the device's.
    const std::string folder = placement.outputFolder.empty()
                                   ? std::filesystem::path(taskListPath).parent_path().string()
                                   : placement.outputFolder;
    const std::string path = folder + "/preview.html";
    // Developing takes a while on big frames: a line per task.
    auto progress = [](const std::string& line) { fprintf(stderr, "zebsim-recgen: preview: %s\n", line.c_str()); };
    if (!zeb_develop::WritePreview(taskListPath, path, preview, &error, progress)) {
        fprintf(stderr, "zebsim-recgen: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    printf("preview %s\n", path.c_str());
    return true;
}

// --relocate: a recording copied into the device's layout.
int Relocate(const std::string& relocate, const zeb_recgen::Placement& placement) {
    std::vector<std::string> warnings;
    if (!placement.outputFolder.empty()) {
        fprintf(stderr, "zebsim-recgen: --relocate writes below --device-root, not -o\n");
        return 2;
    }
    const zeb_recgen::GeneratedRecording moved = zeb_recgen::RelocateRecording(relocate, placement, &warnings);
    PrintWarnings(warnings);
    if (!moved.ok) {
        fprintf(stderr, "zebsim-recgen: %s\n", moved.error.c_str());
        return 1;
    }
    printf("%zu tasks, %zu frames; task list %s\n", moved.tasks.size(), moved.frames.size(),
           moved.taskListPath.c_str());
    return 0;
}

// --from-dng: a recording of the given DNG files.
int ImportDngFiles(zeb_recgen::DngImportOptions& dng, const zeb_recgen::Options& options,
                   const zeb_recgen::Placement& placement, bool preview) {
    std::vector<std::string> warnings;
    dng.framesPerTask = options.framesPerTask;
    dng.mode = options.mode;
    dng.preview = false;  // the developed previews come with preview.html
    // Large files take a while each: say so as each is done.
    std::set<std::string> used, ignored;
    dng.progress = [&used, &ignored](int serial, int total, const zeb_recgen::DngFrame& frame) {
        printf("[%d/%d] %s\n", serial + 1, total, frame.path.c_str());
        fflush(stdout);
        used.insert(frame.usedTags.begin(), frame.usedTags.end());
        ignored.insert(frame.ignoredTags.begin(), frame.ignoredTags.end());
    };
    const zeb_recgen::GeneratedRecording imported = zeb_recgen::PlaceRecording(
        placement,
        [&dng](const std::string& folder, const std::string& list) {
            zeb_recgen::DngImportOptions staged = dng;
            staged.outputFolder = folder;
            staged.taskListPath = list;
            return zeb_recgen::ImportDng(staged);
        },
        &warnings);
    PrintWarnings(warnings);
    if (!imported.ok) {
        fprintf(stderr, "zebsim-recgen: %s\n", imported.error.c_str());
        return 1;
    }
    for (const auto& frame : imported.frames) {
        printf("%s -> %s\n", dng.files[static_cast<size_t>(frame.serial)].c_str(), frame.rawPath.c_str());
    }
    auto joined = [](const std::set<std::string>& names) {
        std::string text;
        for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
        return text.empty() ? std::string("none") : text;
    };
    printf("tags used: %s\ntags ignored: %s\n", joined(used).c_str(), joined(ignored).c_str());
    printf("%zu tasks, %zu frames, Bayer pattern %s; task list %s\n", imported.tasks.size(), imported.frames.size(),
           zeb_recgen::BayerPatternName(imported.options.pattern), imported.taskListPath.c_str());
    return WritePreview(placement, imported.taskListPath, preview) ? 0 : 1;
}

// A synthetic recording of the options given.
int Generate(zeb_recgen::Options& options, const zeb_recgen::Placement& placement, const std::string& size,
             const std::string& yuvSize, const std::string& pattern, bool fixed3a, const std::string& lsc,
             bool preview) {
    std::vector<std::string> warnings;
    auto parseSize = [](const std::string& text, int* width, int* height) {
        return sscanf(text.c_str(), "%dx%d", width, height) == 2 && *width > 0 && *height > 0;
    };
    if (!parseSize(size, &options.width, &options.height) ||
        (!yuvSize.empty() && !parseSize(yuvSize, &options.yuvWidth, &options.yuvHeight))) {
        fprintf(stderr, "sizes are written WIDTHxHEIGHT, for instance 4000x3000\n");
        return 2;
    }
    // The library refuses a frame whose names ask for more.
    for (const auto& wh : {std::make_pair(options.width, options.height),
                           std::make_pair(options.yuvWidth, options.yuvHeight)}) {
        if (wh.first > ZEB::kMaxImageSide || wh.second > ZEB::kMaxImageSide ||
            int64_t{wh.first} * wh.second > ZEB::kMaxImagePixels) {
            fprintf(stderr,
                    "zebsim-recgen: %dx%d is larger than the library takes: at most %d a side and %lld pixels\n",
                    wh.first, wh.second, static_cast<int>(ZEB::kMaxImageSide),
                    static_cast<long long>(ZEB::kMaxImagePixels));
            return 2;
        }
    }
    zeb_recgen::ParseBayerPattern(pattern, &options.pattern);
    if (fixed3a) options.blocks = zeb_recgen::Fixed3ABlocks();
    const std::map<std::string, zeb_recgen::LscFormat> formats = {
        {"alsc3", zeb_recgen::LscFormat::Alsc3}, {"alsc4", zeb_recgen::LscFormat::Alsc4}, {"none", zeb_recgen::LscFormat::None}};
    options.lscFormat = formats.at(lsc);

    const zeb_recgen::GeneratedRecording recording = zeb_recgen::PlaceRecording(
        placement,
        [&options](const std::string& folder, const std::string& list) {
            zeb_recgen::Options staged = options;
            staged.outputFolder = folder;
            staged.taskListPath = list;
            return zeb_recgen::GenerateRecording(staged);
        },
        &warnings);
    PrintWarnings(warnings);
    if (!recording.ok) {
        fprintf(stderr, "zebsim-recgen: %s\n", recording.error.c_str());
        return 1;
    }
    printf("%zu tasks, %zu frames of %dx%d; task list %s\n", recording.tasks.size(), recording.frames.size(),
           recording.options.width, recording.options.height, recording.taskListPath.c_str());
    return WritePreview(placement, recording.taskListPath, preview) ? 0 : 1;
}

}  // namespace

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
    zeb_recgen::Placement placement;
    std::string relocate;
    app.add_option("-o,--output", placement.outputFolder,
                   "folder the recording is written to, naming host paths (without it: the device layout below "
                   "--device-root)");
    app.add_option("-s,--size", size, "raw image size, WIDTHxHEIGHT")->capture_default_str();
    app.add_option("--yuv-size", yuvSize, "reference YUV size, WIDTHxHEIGHT (default: the raw size)");
    app.add_option("-f,--frames", options.framesPerTask, "frame folders per task (1 to 10)")
        ->check(CLI::Range(1, 10))
        ->capture_default_str();
    app.add_option("-t,--tasks", options.taskCount, "number of tasks")->check(CLI::Range(1, 100000))->capture_default_str();
    app.add_option("-p,--pattern", pattern, "Bayer pattern")
        ->check(CLI::IsMember({"RGGB", "GRBG", "GBRG", "BGGR"}))
        ->capture_default_str();
    app.add_option("-m,--mode", options.mode, "play mode of the task list")
        ->check(CLI::IsMember({"Preview", "Capture", "UltraRes"}))
        ->capture_default_str();
    auto* taskList = app.add_option("--task-list", placement.taskListPath,
                                    "where the task list goes (default: in the output folder)");
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
    app.add_option("--device-root", deviceRoot,
                   "without -o: write the recording in the device's layout below this root (task list at "
                   "data/vendor/cameraserver/zeb/config/RawListFile.xml, device paths in its files), ready to be "
                   "pushed; with --tuning: the root the firmware tuning folder goes into");
    app.add_flag("--force", placement.force,
                 "replace the recording the output folder already holds (only the files and folders this run "
                 "writes)");
    auto* relocateOption =
        app.add_option("--relocate", relocate,
                       "copy the recording of this task list into the device's layout below --device-root")
            ->check(CLI::ExistingFile);
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
    for (CLI::Option* other : app.get_options()) {
        if (other != relocateOption && other->get_name() != "--device-root" && other->get_name() != "--force" &&
            other->get_name() != "--help") {
            relocateOption->excludes(other);
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11's own codes (105 and up) are bad usage like any other.
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (placement.outputFolder.empty() && deviceRoot.empty()) {
        fprintf(stderr, "zebsim-recgen: give -o DIR (a host recording) or --device-root ROOT (the device's layout)\n");
        return 2;
    }
    if (placement.outputFolder.empty()) {
        if (taskList->count() != 0) {
            fprintf(stderr, "zebsim-recgen: --task-list does not apply to the device's layout: its task list is at "
                            "data/vendor/cameraserver/zeb/config/RawListFile.xml below --device-root\n");
            return 2;
        }
        placement.deviceRoot = deviceRoot;
        // The device paths written into the files are read back below it.
        zeb_platform::SetDeviceRoot(deviceRoot);
    }
    if (!relocate.empty()) return Relocate(relocate, placement);
    if (!tuningName.empty()) {
        if (deviceRoot.empty()) {
            fprintf(stderr, "--tuning needs --device-root\n");
            return 2;
        }
        options.tuning = zeb_recgen::SweepTuning(tuningName, deviceRoot);
    }

    if (!dng.files.empty()) return ImportDngFiles(dng, options, placement, preview);

    return Generate(options, placement, size, yuvSize, pattern, fixed3a, lsc, preview);
}
