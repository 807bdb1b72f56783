// zebsim-hal as a user runs it: what it cannot write fails the run, usage it
// cannot apply exits 2 before anything plays, frames are credited to the task
// being played, and a clean run leaves no failure line in the library's log.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <regex>
#include <string>
#include <vector>

#include "ToolsFixture.h"
#include "support/TestSupport.h"

namespace {
namespace fs = std::filesystem;

using namespace zeb_tools_test;

class HalCommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        const auto made = zeb_test::RunProgram(
            {kRecgen, "--device-root", mDir / "root", "--size", "64x8", "--frames", "2", "--tasks", "2", "--tuning",
             "zebcam_tuning", "--fixed-3a"});
        ASSERT_EQ(made.status, 0) << made.err;
    }

    zeb_test::ProgramRun Hal(std::vector<std::string> extra, const std::string& root = "root") {
        std::vector<std::string> argv = {kHal,      "--device-root", mDir / root, "--library", ZEB_LIBRARY_PATH,
                                         "--quiet", "--timeout",     "30"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return zeb_test::RunProgram(argv);
    }

    zeb_test::TempDir mDir;
};

TEST_F(HalCommandLine, WhatCannotBeWrittenFailsTheRun) {
    struct Case {
        const char* name;
        std::string out;
        const char* blocked;  // made a folder, so the file of that name cannot be written
        std::string says;
    };
    const Case cases[] = {
        {"unwritable output folder", "/proc/zebsim-nope", nullptr, "cannot write into the output folder"},
        {"report", mDir / "out1", "report.json", "not written: " + mDir / "out1/report.json"},
        {"picture", mDir / "out2", "task1.png", "not written: " + mDir / "out2/task1.png"},
    };
    for (const Case& c : cases) {
        if (c.blocked) fs::create_directories(c.out + "/" + c.blocked);
        const auto run = Hal({"--out", c.out});
        EXPECT_EQ(run.status, 1) << c.name << "\n" << run.out << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.name << "\n" << run.err;
    }
}

TEST_F(HalCommandLine, OptionsThatCannotApplyAreUsageErrors) {
    zeb_test::WriteFile(mDir / "host/RawListFile.xml", "<input/>");
    const std::vector<std::vector<std::string>> refused = {
        {"--time-scale", "0"},
        {"--time-scale", "-1"},
        {"--camera-id", "16"},
        {"--second-camera", "-1"},
        {"--delete-during-task", "2"},
        {"--tuning-name", "no_such_tuning"},
        {"--tasks", "3"},
        {"--log-file", "/proc/zebsim-nope/log"},
        {"--no-such-option"},
    };
    for (const auto& arguments : refused) {
        const auto run = Hal(arguments);
        EXPECT_EQ(run.status, 2) << arguments.front() << "\n" << run.out << run.err;
        EXPECT_FALSE(fs::exists(mDir / "root/hal-out/report.json")) << arguments.front() << ": it played";
    }
    // A host recording is not the device's layout: the tool says how to make one.
    const auto host = Hal({}, "host");
    EXPECT_EQ(host.status, 2) << host.out << host.err;
    EXPECT_NE(host.err.find("zebsim-recgen --relocate " + mDir / "host/RawListFile.xml"), std::string::npos)
        << host.err;
}

// Frames are credited to the task being played, though two tasks hold the
// same; a swept tuning's entries name their folders through the dump root
// property and each replays the fixed 3A results as the first entry did, and
// the library logs no failure line on the way.
TEST_F(HalCommandLine, TasksHoldingTheSameFramesAreEachCreditedAndACleanRunLogsNoFailure) {
    const std::string listPath = mDir / ("root/" + kTaskList);
    pugi::xml_document list;
    ASSERT_TRUE(list.load_file(listPath.c_str()));
    pugi::xml_node first = list.child("input").child("TaskList").child("image");
    pugi::xml_node second = first.next_sibling("image");
    auto input = second.child("inputpath");
    for (pugi::xml_node from : first.children("inputpath")) {
        input.text().set(from.text().get());
        input = input.next_sibling("inputpath");
    }
    ASSERT_TRUE(list.save_file(listPath.c_str()));
    const std::string log = mDir / "library.log";
    const auto run = Hal({"--log-level", "4", "--log-file", log});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::ifstream in(mDir / "root/hal-out/report.json");
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_EQ(report["tasks"].size(), 2u);
    for (const auto& task : report["tasks"]) {
        EXPECT_TRUE(task["completed"].get<bool>()) << task.dump();
        EXPECT_GE(task["matchedFrames"].get<int>(), 2) << task.dump();
    }
    std::ifstream lines(log);
    const std::regex failure(R"(^\S+ \S+ \d+ \d+ 1 )");
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_FALSE(std::regex_search(line, failure)) << line;
    }
    EXPECT_GT(count, 0) << "the library logged nothing at all";
}

}  // namespace
