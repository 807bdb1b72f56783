// Developing recorded frames with their own 3A results, and the check that a
// frame's raw and reference belong together.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "develop/lib/Develop.h"
#include "develop/lib/PairCheck.h"
#include "develop/lib/Sheet.h"
#include "frame/ZEBFrame.h"
#include <nlohmann/json.hpp>

#include "support/TestSupport.h"
#include "zebsim-hal/lib/HtmlReport.h"
#include "zebsim-hal/lib/Scenario.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace {

namespace fs = std::filesystem;
using zeb_develop::Image;

struct Mean {
    double rgb[3] = {0, 0, 0};
    int spread = 0;  // largest minus smallest value of a channel in the box
    double Luma() const { return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2]; }
};

// Mean colour of a (2r+1)-pixel box.
Mean BoxMean(const Image& image, int cx, int cy, int r) {
    Mean m;
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0}, n = 0;
    for (int y = cy - r; y <= cy + r; ++y) {
        for (int x = cx - r; x <= cx + r; ++x) {
            const uint8_t* p = &image.rgb[(static_cast<size_t>(y) * image.width + x) * 3];
            for (int c = 0; c < 3; ++c) {
                m.rgb[c] += p[c];
                lo[c] = std::min<int>(lo[c], p[c]);
                hi[c] = std::max<int>(hi[c], p[c]);
            }
            ++n;
        }
    }
    for (int c = 0; c < 3; ++c) {
        m.rgb[c] /= n;
        m.spread = std::max(m.spread, hi[c] - lo[c]);
    }
    return m;
}

Image DevelopFolder(const zeb_develop::FrameFolder& frame, uint32_t pattern) {
    std::vector<uint8_t> raw;
    EXPECT_TRUE(zeb_develop::ReadFileBytes(frame.rawPath, 1u << 30, &raw, nullptr)) << frame.folder;
    const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(frame.rawWidth));
    return zeb_develop::Develop(raw.data(), frame.rawWidth, frame.rawHeight, line, pattern, frame.Records());
}

Image ReferenceOf(const zeb_develop::FrameFolder& frame) {
    std::vector<uint8_t> yuv;
    EXPECT_TRUE(zeb_develop::ReadFileBytes(frame.yuvPath, 1u << 30, &yuv, nullptr)) << frame.folder;
    return zeb_develop::Nv21ToRgb(yuv.data(), frame.yuvWidth, frame.yuvHeight);
}

// The demo's capture recording: on every frame (the three lens shading
// formats, an EV bracket), the chart's white patch develops neutral and its
// grey row falls from white to black. Checked where the moving disc leaves
// the patch alone (the reference shows it uniform there).
TEST(Develop, TheDemoCaptureChartIsNeutralAndItsGreyRampRises) {
    zeb_test::DeviceRoot root;  // the task list names device paths
    std::string error;
    ASSERT_TRUE(zeb_hal::WriteScenario(root.path(), "capture", 0, &error)) << error;
    std::vector<std::vector<std::string>> tasks;
    uint32_t pattern = 9;
    ASSERT_TRUE(zeb_develop::ReadTaskListFolders(root / "data/vendor/cameraserver/zeb/config/RawListFile.xml",
                                                 &tasks, &pattern, &error))
        << error;
    int whiteChecked = 0, rampsChecked = 0;
    for (const auto& folders : tasks) {
        for (const std::string& folder : folders) {
            const zeb_develop::FrameFolder frame = zeb_develop::ReadFrameFolder(folder);
            const Image developed = DevelopFolder(frame, pattern);
            const Image reference = ReferenceOf(frame);
            ASSERT_EQ(developed.width, 400);
            ASSERT_EQ(developed.height, 300);
            // The chart fills the middle half; its bottom row holds six grey
            // patches from white (left) to black, each 200/6 x 150/4 pixels.
            std::vector<double> ramp, referenceRamp;
            for (int k = 0; k < 6; ++k) {
                const int cx = 100 + (200 * k + 100) / 6, cy = 75 + 150 * 3 / 4 + 150 / 8 + 2;
                const Mean m = BoxMean(developed, cx, cy, 6), ref = BoxMean(reference, cx, cy, 6);
                // Most of the patch, where the disc's edge would show.
                const bool uniform = BoxMean(reference, cx, cy, 12).spread <= 8;
                ramp.push_back(m.Luma());
                referenceRamp.push_back(uniform ? ref.Luma() : 1e9);
                auto ratio = [](const Mean& mean) {
                    return std::max({mean.rgb[0], mean.rgb[1], mean.rgb[2]}) /
                           std::max(std::min({mean.rgb[0], mean.rgb[1], mean.rgb[2]}), 1.0);
                };
                // The white patch, unless the (yellow) disc lies on it.
                if (k == 0 && uniform) {
                    EXPECT_LE(ratio(m), 1.03) << folder << ": white patch " << m.rgb[0] << " " << m.rgb[1] << " "
                                              << m.rgb[2];
                    ++whiteChecked;
                }
            }
            bool referenceFalls = true;
            for (size_t k = 1; k < 6; ++k) referenceFalls &= referenceRamp[k] < referenceRamp[k - 1];
            if (!referenceFalls) continue;  // the disc lies on the row
            for (size_t k = 1; k < ramp.size(); ++k) EXPECT_LT(ramp[k], ramp[k - 1] - 8) << folder << " patch " << k;
            ++rampsChecked;
        }
    }
    // Untouched, across the EV bracket: every raw matches its own reference.
    const zeb_develop::RecordingSheets sheets =
        zeb_develop::BuildSheets(root / "data/vendor/cameraserver/zeb/config/RawListFile.xml", {});
    EXPECT_EQ(sheets.FlaggedCount(), 0u);
    EXPECT_GE(whiteChecked, 5);  // of six frames: the disc lies on one white patch
    EXPECT_GE(rampsChecked, 4);  // and on two grey rows
}

// A recording of one task of five 400 x 300 frames, then a fault planted in
// its reference images: each case names the frames the check must flag.
struct PairCase {
    const char* name;
    std::function<void(const std::vector<std::string>& yuvPaths)> plant;
    std::vector<int> flagged;
    std::vector<int> better;  // per flagged frame: the frame whose reference matches it better (not checked when empty)
};

void SwapFiles(const std::string& a, const std::string& b) {
    fs::rename(a, a + ".swap");
    fs::rename(b, a);
    fs::rename(a + ".swap", b);
}

// A reference of another scene: large diagonal stripes.
void OtherScene(const std::string& path, int width, int height) {
    std::vector<uint8_t> nv21(static_cast<size_t>(width) * height * 3 / 2, 128);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) nv21[static_cast<size_t>(y) * width + x] = ((x + 2 * y) / 40) % 2 ? 200 : 40;
    }
    zeb_test::WriteFile(path, std::string(nv21.begin(), nv21.end()));
}

// The same flags from the sheets, from zebsim-inspect --raw-vs-reference (an
// error per flagged frame, exit 1) and in zebsim-hal's report.
TEST(PairCheck, FlagsExactlyTheFramesWhoseReferenceIsNotTheirs) {
    const std::vector<PairCase> cases = {
        {"untouched", [](const std::vector<std::string>&) {}, {}, {}},
        {"two references swapped", [](const std::vector<std::string>& yuv) { SwapFiles(yuv[1], yuv[3]); }, {1, 3}, {3, 1}},
        {"a reference from another scene", [](const std::vector<std::string>& yuv) { OtherScene(yuv[2], 400, 300); },
         {2}, {}},
    };
    for (const PairCase& c : cases) {
        SCOPED_TRACE(c.name);
        zeb_test::TempDir dir;
        zeb_recgen::Options options;
        options.outputFolder = dir / "rec";
        options.taskListPath = dir / "data/vendor/cameraserver/zeb/config/RawListFile.xml";
        options.width = 400;
        options.height = 300;
        options.framesPerTask = 5;
        const zeb_recgen::GeneratedRecording recording = zeb_recgen::GenerateRecording(options);
        ASSERT_TRUE(recording.ok) << recording.error;
        std::vector<std::string> yuv, folders;
        for (const auto& frame : recording.frames) {
            yuv.push_back(frame.yuvPath);
            folders.push_back(frame.folder);
        }
        c.plant(yuv);

        // A page full after three pairs still checks the other two.
        zeb_develop::SheetOptions sheetOptions;
        sheetOptions.maxPictures = 3;
        const zeb_develop::RecordingSheets sheets = zeb_develop::BuildSheets(recording.taskListPath, sheetOptions);
        ASSERT_EQ(sheets.tasks.size(), 1u) << sheets.error;
        const zeb_develop::TaskSheet& task = sheets.tasks[0];
        EXPECT_EQ(task.Flagged(), c.flagged);
        for (const auto& f : task.frames) {
            EXPECT_TRUE(f.checked) << f.index;
            EXPECT_EQ(f.developedPng.empty() || f.referencePng.empty(), f.index >= 3) << f.index;
        }
        for (size_t k = 0; k < c.flagged.size() && k < c.better.size(); ++k) {
            EXPECT_EQ(task.frames[static_cast<size_t>(c.flagged[k])].check.better, c.better[k]) << "frame " << c.flagged[k];
        }

        const zeb_test::ProgramRun run = zeb_test::RunProgram(
            {std::string(ZEB_BINARY_DIR) + "/tools/zebsim-inspect/zebsim-inspect", recording.taskListPath, "--json",
             "--raw-vs-reference"});
        EXPECT_EQ(run.status, c.flagged.empty() ? 0 : 1) << run.err;
        std::vector<std::string> inspected;
        const nlohmann::json found = nlohmann::json::parse(run.out, nullptr, false);
        ASSERT_FALSE(found.is_discarded()) << run.out;
        for (const auto& t : found["tasks"]) {
            for (const auto& p : t["problems"]) {
                if (p["code"] == "raw-reference-mismatch") inspected.push_back(p["file"].get<std::string>());
            }
        }
        std::vector<std::string> expected;
        for (int f : c.flagged) expected.push_back(folders[static_cast<size_t>(f)]);
        EXPECT_EQ(inspected, expected);

        // The report: report.json of a run gains the figures, report.html lists the flagged frames.
        zeb_test::WriteFile(dir / "report.json", "{\"tasks\": []}");
        zeb_hal::EmulatorOptions hal;
        hal.deviceRoot = dir.path();
        zeb_hal::HtmlReportOptions html;
        html.progress = false;
        std::string error;
        const std::string page = zeb_hal::WriteHtmlReport(hal, dir / "report.json", html, &error);
        ASSERT_EQ(page, dir / "report.html") << error;
        const nlohmann::json report = nlohmann::json::parse(zeb_test::ReadFile(dir / "report.json"));
        std::vector<int> reported;
        for (const auto& f : report["rawVsReference"]["frames"]) {
            if (f.value("flagged", false)) reported.push_back(f["frame"].get<int>());
        }
        EXPECT_EQ(reported, c.flagged);
        const std::string text = zeb_test::ReadFile(page);
        for (int f : c.flagged) EXPECT_NE(text.find("<li>task 0 frame " + std::to_string(f) + ":"), std::string::npos);
        if (c.flagged.empty()) {
            EXPECT_EQ(text.find("<li>task 0 frame"), std::string::npos);
        }
    }
}

}  // namespace
