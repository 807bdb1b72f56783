// The recording inspector: a generator recording broken one way names exactly
// that fault, where it is; the generator's own recordings pass without a word.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "zebsim-hal/lib/Recording.h"
#include "zebsim-hal/lib/Scenario.h"
#include "zebsim-inspect/lib/Inspector.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace {

namespace fs = std::filesystem;
using zeb_inspect::Problem;

// One task of two frames and a tuning that sweeps two blocks.
zeb_recgen::GeneratedRecording Generate(const zeb_test::TempDir& dir) {
    zeb_recgen::Options options;
    options.outputFolder = dir / "rec";
    options.width = 64;
    options.height = 8;
    options.framesPerTask = 2;
    options.tuning = zeb_recgen::SweepTuning("zebcam_tuning", dir.path());
    return zeb_recgen::GenerateRecording(options);
}

// Every problem of the inspection, with the task it is filed under (-1 the
// recording's, -2 a block's).
std::vector<std::pair<int64_t, Problem>> AllProblems(const zeb_inspect::Inspection& inspection) {
    std::vector<std::pair<int64_t, Problem>> all;
    for (const Problem& p : inspection.problems) all.emplace_back(-1, p);
    for (const auto& task : inspection.tasks) {
        for (const Problem& p : task.problems) all.emplace_back(task.index, p);
    }
    for (const auto& block : inspection.blocks) {
        for (const Problem& p : block.problems) all.emplace_back(-2, p);
    }
    return all;
}

std::string Describe(const zeb_inspect::Inspection& inspection) { return zeb_inspect::FormatTable(inspection); }

void Edit(const std::string& path, const std::string& from, const std::string& to) {
    std::string text = zeb_test::ReadFile(path);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << path;
    zeb_test::WriteFile(path, text.replace(at, from.size(), to));
}

// The 1-based line of the first line of `path` holding `needle`.
int LineOf(const std::string& path, const std::string& needle) {
    std::ifstream in(path);
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.find(needle) != std::string::npos) return number;
    }
    return -1;
}

struct Broken {
    const zeb_recgen::GeneratedRecording& recording;
    const zeb_test::TempDir& dir;
    std::string Frame(int index) const { return recording.frames[static_cast<size_t>(index)].folder; }
    std::string Dump(int frame, int row) const { return recording.frames[static_cast<size_t>(frame)].dumpPaths.at(row); }
    std::string Scene() const { return recording.tasks[0].scenePath; }
    std::string TuningTask(const char* block) const { return dir / ("rec/tuning/task/" + std::string(block) + ".xml"); }
};

struct Fault {
    const char* name;
    std::function<void(const Broken&)> apply;
    int64_t task;           // where the problem is filed: a task, -1 the recording, -2 a block
    const char* code;
    const char* fileEnds;   // the problem's file ends so
    const char* says;       // its message holds this
    // The line it must name: that of the first line holding this text in
    // the problem's file; null when it names none.
    const char* lineOf;
};

TEST(Inspector, NamesEachFaultOfABrokenRecordingAndNothingElse) {
    const Fault faults[] = {
        {"truncated dump", [](const Broken& b) { fs::resize_file(b.Dump(0, 6), 1000); }, 0, "too-short",
         "AE_RESULT_INFO.bin", "1000 bytes, the library reads 1248", nullptr},
        {"dump too long", [](const Broken& b) { fs::resize_file(b.Dump(1, 27), 325); }, 0, "too-long",
         "CONTROL_INFO.bin", "325 bytes, the library reads 324", nullptr},
        {"missing dump", [](const Broken& b) { fs::remove(b.Dump(1, 29)); }, 0, "missing-file", "frame1/*FD_SNAPSHOT.bin",
         "no FD_SNAPSHOT.bin dump", nullptr},
        {"two files for one pattern",
         [](const Broken& b) { fs::copy_file(b.Dump(0, 8), b.Frame(0) + "/old_AWB_CALC_INFO.bin"); }, 0, "duplicate",
         "AWB_CALC_INFO.bin", "2 files match AWB_CALC_INFO.bin", nullptr},
        {"raw name with another size",
         [](const Broken& b) { fs::rename(b.Frame(1) + "/IMG_64x8_1.mipi_raw", b.Frame(1) + "/IMG_64x9_1.mipi_raw"); },
         0, "size-mismatch", "IMG_64x9_1.mipi_raw", "640 bytes, but its name's 64x9 packed RAW10 lines take 720",
         nullptr},
        {"YUV shorter than its name", [](const Broken& b) { fs::resize_file(b.Frame(0) + "/IMG_64x8_0.cap.yuv_nv21", 700); },
         0, "size-mismatch", "IMG_64x8_0.cap.yuv_nv21", "700 bytes, but its name's 64x8 NV21 image takes 768", nullptr},
        {"missing input folder", [](const Broken& b) { fs::remove_all(b.Frame(1)); }, 0, "missing-folder", "task0/frame1",
         "does not exist", nullptr},
        {"misspelled scene element", [](const Broken& b) { Edit(b.Scene(), "<height>8</height>", "<hieght>8</hieght>"); },
         0, "unknown-element", "iscene_Info.xml", "<hieght> in <commonInfo> is not read", "<hieght>"},
        {"unreadable scene value", [](const Broken& b) { Edit(b.Scene(), "<zoom_ratio>1</zoom_ratio>", "<zoom_ratio>1,5</zoom_ratio>"); },
         0, "unreadable-value", "iscene_Info.xml", "<zoom_ratio> \"1,5\" in <commonInfo> is not a number", "zoom_ratio"},
        {"scene array with a doubled space",
         [](const Broken& b) { Edit(b.Scene(), "<crop_region>0 0 64 8", "<crop_region>0 0  64 8"); }, 0,
         "unreadable-value", "iscene_Info.xml", "value 3 is empty", "crop_region"},
        {"output path too long for the property",
         [](const Broken& b) { Edit(b.recording.taskListPath, "results/ZEB_task0", "results/" + std::string(80, 'o')); },
         0, "output-path-too-long", "RawListFile.xml", "with the run's 14-digit stamp", "<outputpath>"},
        {"task list cut short",
         [](const Broken& b) { Edit(b.recording.taskListPath, "</TaskList>", ""); }, -1, "parse-error", "RawListFile.xml",
         "not well-formed XML", "</input>"},
        {"block id that is not hexadecimal", [](const Broken& b) { Edit(b.recording.ispConfigPath, "<id>4031</id>", "<id>40g1</id>"); },
         -1, "unreadable-value", "ispconfig.xml", "is not a hexadecimal number", "40g1"},
        {"sweep past the frame limit",
         [](const Broken& b) { Edit(b.TuningTask("CMC10_V1"), "step=\"10.000000\"", "step=\"0.010000\""); }, -2,
         "parameter-refused", "CMC10_V1.xml", "gives more than 1024 sweep frames", "<Parameter "},
        {"frame folder naming a raw beyond the size limit",
         [](const Broken& b) { fs::rename(b.Frame(0) + "/IMG_64x8_0.mipi_raw", b.Frame(0) + "/IMG_64x20000_0.mipi_raw"); },
         0, "image-too-large", "task0/frame0", "names a raw of 64x20000", nullptr},
        // What the library refuses to read is named, and never read here either.
        {"dump that is a named pipe", [](const Broken& b) { zeb_test::Plant(zeb_test::Planted::Pipe, b.Dump(0, 6), ""); },
         0, "refused", "AE_RESULT_INFO.bin", "is a named pipe: the library refuses it", nullptr},
        {"raw image that is a device file",
         [](const Broken& b) { zeb_test::Plant(zeb_test::Planted::Device, b.Frame(1) + "/IMG_64x8_1.mipi_raw", ""); }, 0,
         "refused", "IMG_64x8_1.mipi_raw", "the library refuses it", nullptr},
        {"dump linking out of the device root",
         [](const Broken& b) {
             zeb_test::WriteFile(b.dir / "secret", "secret");
             zeb_test::Plant(zeb_test::Planted::LinkOut, b.Dump(1, 8), b.dir / "secret");
         },
         0,
         "refused", "AWB_CALC_INFO.bin", "is a link leaving the device root", nullptr},
        {"variable dump past its cap", [](const Broken& b) { fs::resize_file(b.Dump(0, 9), (64u << 20) + 1); }, 0,
         "refused", "pdaf.bin", "is larger than its cap of 67108864 bytes", nullptr},
        {"scene file linked to an endless device",
         [](const Broken& b) { zeb_test::Plant(zeb_test::Planted::LinkOut, b.Scene(), "/dev/urandom"); }, 0, "refused",
         "iscene_Info.xml", "is a link leaving the device root", nullptr},
        {"scene file that is a named pipe", [](const Broken& b) { zeb_test::Plant(zeb_test::Planted::Pipe, b.Scene(), ""); },
         0, "refused", "iscene_Info.xml", "is a named pipe", nullptr},
        {"tuning task that is a named pipe",
         [](const Broken& b) { zeb_test::Plant(zeb_test::Planted::Pipe, b.TuningTask("CMC10_V1"), ""); }, -2, "refused",
         "CMC10_V1.xml", "is a named pipe", nullptr},
        {"task list past its cap", [](const Broken& b) { fs::resize_file(b.recording.taskListPath, (64u << 20) + 1); }, -1,
         "refused", "RawListFile.xml", "is larger than its cap of 67108864 bytes", nullptr},
        {"swept element that is not there",
         [](const Broken& b) { Edit(b.TuningTask("CMC10_V1"), "CMC10_V1/value", "CMC10_V1/valeu"); }, -2, "no-target",
         "CMC10_V1.xml", "Parameter[0] CMC10_V1/valeu selects nothing", nullptr},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        zeb_test::TempDir dir;
        const zeb_recgen::GeneratedRecording recording = Generate(dir);
        ASSERT_TRUE(recording.ok) << recording.error;
        fault.apply({recording, dir});
        zeb_inspect::InspectOptions options;
        options.path = dir / "rec";
        const zeb_inspect::Inspection inspection = zeb_inspect::Inspect(options);
        const auto problems = AllProblems(inspection);
        ASSERT_EQ(problems.size(), 1u) << Describe(inspection);
        const int64_t task = problems[0].first;
        const Problem& problem = problems[0].second;
        EXPECT_FALSE(inspection.Plays());
        EXPECT_TRUE(problem.error);
        EXPECT_EQ(task, fault.task);
        EXPECT_EQ(problem.code, fault.code);
        const std::string ends = fault.fileEnds;
        EXPECT_EQ(problem.file.substr(problem.file.size() - std::min(problem.file.size(), ends.size())), ends)
            << problem.file;
        EXPECT_NE(problem.message.find(fault.says), std::string::npos) << problem.message;
        EXPECT_EQ(problem.line, fault.lineOf ? LineOf(problem.file, fault.lineOf) : 0) << problem.message;
    }
}

TEST(Inspector, TheHalReadsWhatTheLibraryReadsAndNothingWithoutBound) {
    zeb_test::TempDir dir;
    const zeb_recgen::GeneratedRecording recording = Generate(dir);
    ASSERT_TRUE(recording.ok) << recording.error;
    zeb_test::Plant(zeb_test::Planted::LinkOut, recording.tasks[0].scenePath, "/dev/urandom");
    zeb_test::Plant(zeb_test::Planted::Pipe, recording.frames[0].dumpPaths.at(6), "");
    zeb_test::Plant(zeb_test::Planted::SparseHuge, recording.frames[1].dumpPaths.at(9), "");
    zeb_hal::Recording expected;
    ASSERT_TRUE(zeb_test::ReturnsWithin([&] { expected = zeb_hal::ReadRecording(recording.taskListPath); },
                                        [&] { zeb_test::OpenPipeEnds(recording.frames[0].dumpPaths.at(6)); },
                                        std::chrono::seconds(20)));
    ASSERT_EQ(expected.tasks.size(), 1u);
    EXPECT_FALSE(expected.tasks[0].hasScene);
    ASSERT_EQ(expected.tasks[0].frames.size(), 2u);
    EXPECT_FALSE(expected.tasks[0].frames[0].Has("AE_RESULT_INFO.bin"));
    EXPECT_FALSE(expected.tasks[0].frames[1].Has("pdaf.bin"));
    EXPECT_TRUE(expected.tasks[0].frames[1].Has("AE_RESULT_INFO.bin"));
}

zeb_test::ProgramRun RunInspect(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), std::string(ZEB_BINARY_DIR) + "/tools/zebsim-inspect/zebsim-inspect");
    return zeb_test::RunProgram(arguments);
}

TEST(Inspector, PassesTheGeneratorsRecordingsWithoutAWord) {
    for (const std::string& scenario : zeb_hal::ScenarioNames()) {
        SCOPED_TRACE(scenario);
        zeb_test::TempDir root;
        std::string error;
        ASSERT_TRUE(zeb_hal::WriteScenario(root.path(), scenario, 0, &error)) << error;
        zeb_inspect::InspectOptions options;
        options.path = root.path();
        const zeb_inspect::Inspection inspection = zeb_inspect::Inspect(options);
        const auto problems = AllProblems(inspection);
        if (scenario != "edge") {
            EXPECT_TRUE(problems.empty()) << Describe(inspection);
            EXPECT_FALSE(inspection.tasks.empty());
            continue;
        }
        // Broken on purpose: a folder the task list names is not there, and a
        // task has none.
        ASSERT_EQ(problems.size(), 2u) << Describe(inspection);
        EXPECT_EQ(problems[0].first, 1);
        EXPECT_EQ(problems[0].second.code, "missing-folder");
        EXPECT_EQ(problems[1].first, 2);
        EXPECT_EQ(problems[1].second.code, "no-input");
        EXPECT_FALSE(problems[1].second.error);
        // The tool: a table a person reads, JSON for scripts, exit 1.
        const auto table = RunInspect({root.path()});
        EXPECT_EQ(table.status, 1);
        EXPECT_NE(table.out.find("   1       1  0x0         0x0         "), std::string::npos) << table.out;
        EXPECT_NE(table.out.find("      error    task1/frame0: input folder does not exist\n"), std::string::npos)
            << table.out;
        const auto json = RunInspect({"--json", root.path()});
        EXPECT_EQ(json.status, 1);
        const nlohmann::json parsed = nlohmann::json::parse(json.out, nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << json.out;
        EXPECT_FALSE(parsed["plays"].get<bool>());
        EXPECT_EQ(parsed["tasks"][1]["problems"][0]["code"], "missing-folder");
    }

    // zebsim-recgen's own options: a 16-bit raw beside the packed one, a
    // smaller YUV image, fixed 3A blocks, a swept tuning, several tasks.
    zeb_test::TempDir dir;
    zeb_recgen::Options options;
    options.outputFolder = dir / "rec";
    options.width = 128;
    options.height = 16;
    options.yuvWidth = 64;
    options.yuvHeight = 8;
    options.taskCount = 3;
    options.framesPerTask = 2;
    options.writeUnpackedRaw = true;
    options.blocks = zeb_recgen::Fixed3ABlocks();
    options.tuning = zeb_recgen::SweepTuning("zebcam_tuning", dir.path());
    const zeb_recgen::GeneratedRecording recording = zeb_recgen::GenerateRecording(options);
    ASSERT_TRUE(recording.ok) << recording.error;
    const auto run = RunInspect({dir / "rec"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\n0 error(s), 0 warning(s): the library plays this recording as recorded\n"),
              std::string::npos)
        << run.out;
}

}  // namespace
