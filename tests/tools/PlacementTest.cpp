// Recordings that travel: written in the device's layout (or relocated into
// it), moved to another folder and played there through zebsim-hal with the
// real library; the way from the host to the device as the README tells it;
// folders that hold another recording; usage the recording generator refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "ToolsFixture.h"
#include "support/TestSupport.h"

namespace {
namespace fs = std::filesystem;
using namespace zeb_tools_test;

zeb_test::ProgramRun Tool(const std::vector<std::string>& argv) { return zeb_test::RunProgram(argv); }

// Every path text of the task list and the block list is a device path.
void ExpectDeviceTexts(const std::string& root) {
    for (const std::string& file : {kZeb + "/config/RawListFile.xml", kZeb + "/config/ispconfig.xml"}) {
        const std::string text = zeb_test::ReadFile(root + "/" + file);
        ASSERT_FALSE(text.empty()) << file;
        EXPECT_EQ(text.find(root), std::string::npos) << file << " names a host path:\n" << text;
    }
}

TEST(Placement, ASyntheticRecordingInTheDeviceLayoutPlaysWhereverItIsMoved) {
    zeb_test::TempDir dir;
    const auto made = Tool({kRecgen, "--device-root", dir / "made", "--size", "64x8", "--frames", "2", "--tasks", "2",
                           "--tuning", "zebcam_tuning"});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    ASSERT_NO_FATAL_FAILURE(ExpectDeviceTexts(dir / "made"));
    fs::rename(dir / "made", dir / "moved");
    ASSERT_NO_FATAL_FAILURE(ExpectInspectsClean(dir / "moved", true));
    ASSERT_NO_FATAL_FAILURE(ExpectPlaysWhole(dir / "moved", 2));
    // The library made the output folders and the sweep files below the root.
    EXPECT_TRUE(fs::is_directory(dir / ("moved/" + kZeb + "/output/ZEB_task1")));
    EXPECT_FALSE(fs::exists("/data/vendor/cameraserver/zeb/output/ZEB_task1"));
}

// The README's section "From the host to the device", step by step, with a
// copy standing for adb.
TEST(Placement, TheReadmeWayFromTheHostToTheDevice) {
    zeb_test::TempDir dir;
    // Make a host recording and check it.
    auto run = Tool({kRecgen, "-o", dir / "host", "--size", "64x8", "--frames", "2", "--tasks", "2"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_NO_FATAL_FAILURE(ExpectInspectsClean(dir / "host"));
    // Relocate it into the device layout and check the layout.
    run = Tool({kRecgen, "--relocate", dir / "host/RawListFile.xml", "--device-root", dir / "ROOT"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    ASSERT_NO_FATAL_FAILURE(ExpectDeviceTexts(dir / "ROOT"));
    ASSERT_NO_FATAL_FAILURE(ExpectInspectsClean(dir / "ROOT", true));
    // adb push ROOT/data/vendor/cameraserver/zeb /data/vendor/cameraserver/
    fs::create_directories(dir / "device/data/vendor/cameraserver");
    fs::copy(dir / ("ROOT/" + kZeb), dir / ("device/" + kZeb), fs::copy_options::recursive);
    fs::remove_all(dir / "host");
    fs::remove_all(dir / "ROOT");
    // Play it, then pull the output folders back.
    ASSERT_NO_FATAL_FAILURE(ExpectPlaysWhole(dir / "device", 2));
    fs::copy(dir / ("device/" + kZeb + "/output"), dir / "pulled", fs::copy_options::recursive);
    EXPECT_TRUE(fs::is_directory(dir / "pulled/ZEB_task0"));
    EXPECT_TRUE(fs::is_directory(dir / "pulled/ZEB_task1"));
}

TEST(Placement, InspectWarnsOfEveryFileOutsideTheRootItWasGiven) {
    zeb_test::TempDir dir;
    const auto made = Tool({kRecgen, "-o", dir / "elsewhere", "--size", "64x8", "--frames", "2", "--task-list",
                           dir / ("root/" + kZeb + "/config/RawListFile.xml")});
    ASSERT_EQ(made.status, 0) << made.out << made.err;
    const auto inspect = Tool({kInspect, "--json", dir / "root"});
    EXPECT_EQ(inspect.status, 0) << inspect.out << inspect.err;
    const nlohmann::json found = nlohmann::json::parse(inspect.out, nullptr, false);
    std::vector<std::string> outside;
    std::function<void(const nlohmann::json&)> collect = [&](const nlohmann::json& node) {
        if (node.is_object() && node.value("code", "") == "outside-root") outside.push_back(node.value("file", ""));
        if (node.is_structured()) {
            for (const auto& child : node) collect(child);
        }
    };
    collect(found);
    // The block list, both input folders and the output folder.
    EXPECT_EQ(outside.size(), 4u) << inspect.out;
    // With the device layout asked for, the host paths are errors.
    const auto layout = Tool({kInspect, "--device-paths", dir / "root"});
    EXPECT_EQ(layout.status, 1) << layout.out;
    EXPECT_NE(layout.out.find("is not a device path"), std::string::npos) << layout.out;
}

TEST(Placement, AFolderHoldingARecordingIsReplacedOnlyWithForce) {
    zeb_test::TempDir dir;
    const std::string rec = dir / "rec";
    ASSERT_EQ(Tool({kRecgen, "-o", rec, "--size", "64x8"}).status, 0);
    zeb_test::WriteFile(rec + "/notes.txt", "mine");
    const auto again = Tool({kRecgen, "-o", rec, "--size", "128x8"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("already holds a recording"), std::string::npos) << again.err;
    EXPECT_TRUE(fs::exists(rec + "/recording/task0/frame0/IMG_64x8_0.mipi_raw"));

    const auto forced = Tool({kRecgen, "-o", rec, "--size", "128x8", "--force"});
    ASSERT_EQ(forced.status, 0) << forced.err;
    EXPECT_TRUE(fs::exists(rec + "/recording/task0/frame0/IMG_128x8_0.mipi_raw"));
    EXPECT_FALSE(fs::exists(rec + "/recording/task0/frame0/IMG_64x8_0.mipi_raw"));
    EXPECT_EQ(zeb_test::ReadFile(rec + "/notes.txt"), "mine");
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().filename(), "rec") << "left behind";
    }
    // The paths it names are absolute, whatever -o was.
    const auto relative = zeb_test::RunProgram({"/bin/sh", "-c", "cd " + dir.path() + " && " + kRecgen + " -o rel --size 64x8"});
    ASSERT_EQ(relative.status, 0) << relative.err;
    pugi::xml_document list;
    ASSERT_TRUE(list.load_file((dir / "rel/RawListFile.xml").c_str()));
    EXPECT_EQ(std::string(list.child("input").child("TaskList").child("image").child_value("inputpath")),
              dir / "rel/recording/task0/frame0");
}

TEST(Placement, UsageTheGeneratorCannotTakeExitsTwo) {
    zeb_test::TempDir dir;
    const std::vector<std::vector<std::string>> refused = {
        {"--mode", "preview"},
        {"--size", "16388x8"},
        {"--size", "16384x12289"},
        {"--bogus"},
        {"--frames", "11"},
        {},  // neither -o nor --device-root
        {"--device-root", dir / "r", "--task-list", dir / "t.xml"},
        {"--relocate", dir / "t.xml", "-o", dir / "x", "--device-root", dir / "r"},
    };
    zeb_test::WriteFile(dir / "t.xml", "<input/>");
    for (const auto& arguments : refused) {
        std::vector<std::string> argv = {kRecgen};
        if (arguments.empty() || (arguments[0] != "--device-root" && arguments[0] != "--relocate")) {
            if (!arguments.empty()) argv.insert(argv.end(), {"-o", dir / "rec"});
        }
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto run = Tool(argv);
        EXPECT_EQ(run.status, 2) << argv.back() << "\n" << run.err;
        EXPECT_FALSE(fs::exists(dir / "rec")) << argv.back();
    }
}

TEST(Placement, AnOutputFolderTooLongForTheDumpRootIsWarnedOfWithItsLimit) {
    zeb_test::TempDir dir;
    const std::string deep = dir / std::string(60, 'd');
    const auto made = Tool({kRecgen, "-o", deep, "--size", "64x8"});
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("warning: the output path " + deep + "/results/ZEB_task0 has"), std::string::npos)
        << made.err;
    // "-o may be at most N characters long": N leaves the output path at 76.
    const size_t at = made.err.find("-o may be at most ");
    ASSERT_NE(at, std::string::npos) << made.err;
    const size_t most = std::stoul(made.err.substr(at + 18));
    EXPECT_EQ(most + std::string("/results/ZEB_task0").size(), 76u);
}

}  // namespace
