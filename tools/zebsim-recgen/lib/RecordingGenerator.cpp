// GenerateRecording: the options filled in, then per frame its folder and
// files, per task its scene file, and the task list. The contents come from
// their own files, each one job: SceneImage.cpp the raw and reference images,
// FrameDumps.cpp the dumps and the 3A results in them, RecordingXml.cpp the
// scene file, task list and block list, TuningTree.cpp the tuning,
// RawPreview.cpp the preview picture.
#include "zebsim-recgen/lib/RecordingGenerator.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "frame/ZEBFrame.h"
#include "zebsim-recgen/lib/GeneratorParts.h"

namespace zeb_recgen {
namespace {

namespace fs = std::filesystem;

using parts::Filled;
using parts::SizedFor;

FrameFiles WriteFrame(const Options& filled, const std::string& folder, int serial, int task, int index) {
    const Options options = SizedFor(filled, serial);
    FrameFiles files = NewFrameFiles(folder, serial, task, index);
    const std::string id = std::to_string(serial);
    files.rawPath = ImagePath(folder, options.width, options.height, serial, ".mipi_raw");
    // Rendered once: the packed image and the optional 16-bit copy share it.
    const auto samples = RenderBayer(options, serial);
    const auto packed = parts::PackedLines(samples, options.width, options.height);
    WriteBytes(files.rawPath, packed.data(), packed.size());
    files.yuvPath = ImagePath(folder, options.yuvWidth, options.yuvHeight, serial, ".cap.yuv_nv21");
    const auto nv21 = RenderNv21(options, serial);
    WriteBytes(files.yuvPath, nv21.data(), nv21.size());
    if (options.writeUnpackedRaw) {
        const std::string path = ImagePath(folder, options.width, options.height, serial, ".raw");
        WriteBytes(path, samples.data(), samples.size() * 2);
        files.dumpPaths[ZEB::DF_RAW] = path;
    }
    for (int row = ZEB::DF_AFM; row < ZEB::kDataFormatCount; ++row) {
        const std::string path = folder + "/IMG_" + id + "_" + ZEB::DataFileSpecOf(row).subFix;
        const auto bytes = DumpContent(options, serial, row);
        WriteBytes(path, bytes.data(), bytes.size());
        files.dumpPaths[row] = path;
    }
    return files;
}

const char* const kPatternNames[4] = {"RGGB", "GRBG", "GBRG", "BGGR"};

}  // namespace

namespace parts {

Options Filled(const Options& options) {
    Options filled = options;
    if (filled.yuvWidth <= 0) filled.yuvWidth = filled.width;
    if (filled.yuvHeight <= 0) filled.yuvHeight = filled.height;
    filled.framesPerTask = std::clamp(filled.framesPerTask, 1, 10);
    filled.taskCount = std::max(filled.taskCount, 0);
    if (filled.tasks.empty()) {
        TaskOptions task;
        task.frames = filled.framesPerTask;
        task.scene = filled.scene;
        task.lscFormat = filled.lscFormat;
        filled.tasks.assign(static_cast<size_t>(filled.taskCount), task);
    }
    filled.taskCount = static_cast<int>(filled.tasks.size());
    for (size_t t = 0; t < filled.tasks.size(); ++t) {
        TaskOptions& task = filled.tasks[t];
        task.frames = std::clamp(task.frames, 0, 10);
        if (task.outputPath.empty()) task.outputPath = filled.outputFolder + "/results/ZEB_task" + std::to_string(t);
    }
    if (filled.taskListPath.empty()) filled.taskListPath = filled.outputFolder + "/RawListFile.xml";
    return filled;
}

Options SizedFor(const Options& filled, int serial) {
    Options sized = filled;
    int first = 0;
    for (const TaskOptions& task : filled.tasks) {
        if (serial >= first && serial < first + task.frames) {
            if (task.width > 0 && task.height > 0) {
                sized.width = sized.yuvWidth = task.width;
                sized.height = sized.yuvHeight = task.height;
            }
            break;
        }
        first += task.frames;
    }
    return sized;
}

}  // namespace parts

void WriteBytes(const std::string& path, const void* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw std::runtime_error("cannot write " + path);
}

FrameFiles NewFrameFiles(const std::string& folder, int serial, int task, int index) {
    FrameFiles files;
    files.serial = serial;
    files.task = task;
    files.index = index;
    files.folder = folder;
    fs::create_directories(folder);
    return files;
}

std::string ImagePath(const std::string& folder, int width, int height, int serial, const char* suffix) {
    return folder + "/IMG_" + std::to_string(width) + "x" + std::to_string(height) + "_" + std::to_string(serial) +
           suffix;
}

const char* BayerPatternName(BayerPattern pattern) { return kPatternNames[static_cast<uint32_t>(pattern) & 3]; }

bool ParseBayerPattern(const std::string& name, BayerPattern* pattern) {
    for (uint32_t i = 0; i < 4; ++i) {
        if (name == kPatternNames[i]) {
            *pattern = static_cast<BayerPattern>(i);
            return true;
        }
    }
    return false;
}

std::vector<IspBlock> Fixed3ABlocks() {
    IspBlock awb{"AWB", 0x2000, 3};
    IspBlock alsc{"ALSC", 0x4000, 3};
    IspBlock xtm{"GTM_XTM", 0x8000, 3};
    return {awb, alsc, xtm};
}

GeneratedRecording GenerateRecording(const Options& given) {
    GeneratedRecording recording;
    recording.options = Filled(given);
    const Options& options = recording.options;
    bool sized = options.width >= 4 && options.height >= 1;
    for (const TaskOptions& task : options.tasks) {
        sized &= (task.width == 0 && task.height == 0) || (task.width >= 4 && task.height >= 1);
    }
    if (options.outputFolder.empty() || !sized) {
        recording.error = "an output folder and raw sizes of at least 4 x 1 are needed";
        return recording;
    }
    const TuningOptions& tuning = options.tuning;
    if (!tuning.name.empty() &&
        (tuning.name.find('/') != std::string::npos || tuning.name.find("..") != std::string::npos ||
         tuning.firmwareRoot.empty() || tuning.binRoot.empty())) {
        recording.error = "a tuning needs a folder name without \"/\" and \"..\", a firmware root and a bin root";
        return recording;
    }
    try {
        fs::create_directories(options.outputFolder);
        recording.taskListPath = options.taskListPath;
        fs::create_directories(fs::path(recording.taskListPath).parent_path());
        recording.ispConfigPath = options.outputFolder + "/ispconfig.xml";
        std::vector<IspBlock> listed = options.blocks;
        if (!options.tuning.name.empty()) parts::WriteTuning(options, recording, listed);
        parts::WriteBlockList(recording.ispConfigPath, listed);
        int serial = 0;
        for (int t = 0; t < options.taskCount; ++t) {
            const TaskOptions& described = options.tasks[static_cast<size_t>(t)];
            TaskFiles task;
            task.index = t;
            task.outputPath = described.outputPath;
            fs::create_directories(task.outputPath);
            for (int i = 0; i < described.frames; ++i, ++serial) {
                const std::string folder = options.outputFolder + "/recording/task" + std::to_string(t) + "/frame" +
                                           std::to_string(i);
                if (described.missing) {
                    FrameFiles named;
                    named.serial = serial;
                    named.task = t;
                    named.index = i;
                    named.written = false;
                    named.folder = folder;
                    recording.frames.push_back(named);
                } else {
                    recording.frames.push_back(WriteFrame(options, folder, serial, t, i));
                }
                task.frames.push_back(serial);
            }
            if (!task.frames.empty() && !described.missing) {
                task.scenePath = recording.frames[task.frames.front()].folder + "/iscene_Info.xml";
                parts::WriteSceneFile(task.scenePath, SizedFor(options, task.frames.front()), described.scene, t);
            }
            recording.tasks.push_back(std::move(task));
        }
        parts::WriteTaskList(recording);
        recording.ok = true;
    } catch (const std::exception& failure) {
        recording.error = failure.what();
    }
    return recording;
}

}  // namespace zeb_recgen
