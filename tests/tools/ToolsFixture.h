#pragma once
// The host tools as a user runs them, and what a run of zebsim-hal reports.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "support/TestSupport.h"

namespace zeb_tools_test {

const std::string kRecgen = std::string(ZEB_BINARY_DIR) + "/tools/zebsim-recgen/zebsim-recgen";
const std::string kHal = std::string(ZEB_BINARY_DIR) + "/tools/zebsim-hal/zebsim-hal";
const std::string kInspect = std::string(ZEB_BINARY_DIR) + "/tools/zebsim-inspect/zebsim-inspect";
const std::string kZeb = "data/vendor/cameraserver/zeb";
const std::string kTaskList = kZeb + "/config/RawListFile.xml";

// Plays the recording below `root` through zebsim-hal and the real library:
// `tasks` tasks, each completed with every frame it received matched and at
// least `previews` preview frames.
inline void ExpectPlaysWhole(const std::string& root, size_t tasks, int previews = 1) {
    const auto hal = zeb_test::RunProgram({kHal, "--device-root", root, "--library", ZEB_LIBRARY_PATH, "--quiet",
                                           "--timeout", "60", "--log-file", root + "/library.log"});
    ASSERT_EQ(hal.status, 0) << hal.out << hal.err;
    std::ifstream in(root + "/hal-out/report.json");
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_EQ(report["tasks"].size(), tasks) << report.dump();
    for (const auto& task : report["tasks"]) {
        EXPECT_TRUE(task["completed"].get<bool>()) << task.dump();
        EXPECT_TRUE(task["errors"].empty()) << task["errors"].dump();
        EXPECT_GE(task["previewFrames"].get<int>(), previews);
        EXPECT_EQ(task["matchedFrames"].get<int>(), task["previewFrames"].get<int>() + task["captureFrames"].get<int>());
    }
}

// zebsim-inspect finds nothing to say of the recording (checking it in the
// device layout when asked).
inline void ExpectInspectsClean(const std::string& root, bool devicePaths = false) {
    const auto run = devicePaths ? zeb_test::RunProgram({kInspect, "--device-paths", root})
                                 : zeb_test::RunProgram({kInspect, root});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\n0 error(s), 0 warning(s)"), std::string::npos) << run.out;
}

}  // namespace zeb_tools_test
