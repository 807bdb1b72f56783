// Runs the zebsim-trigger program as an engineer would, on the sample file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TriggerFixtures.h"

extern char** environ;

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

ToolRun RunTool(const std::vector<std::string>& arguments) {
    const std::string tool = std::string(ZEB_BINARY_DIR) + "/tools/zebsim-trigger/zebsim-trigger";
    EXPECT_TRUE(std::filesystem::exists(tool)) << "build the zebsim-trigger target first";
    zeb_test::TempDir dir;
    const std::string outPath = dir / "out.txt";
    const std::string errPath = dir / "err.txt";
    std::vector<std::string> words{tool};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = -1;
    ToolRun run;
    const int spawned = posix_spawn(&child, tool.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << tool << ": " << spawned;
        return run;
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = zeb_test::ReadFile(outPath);
    run.err = zeb_test::ReadFile(errPath);
    return run;
}

}  // namespace

TEST(TriggerTool, PrintsTheNamedLineOfTheSampleFile) {
    ToolRun run = RunTool({trigger_test::SampleFile(), "-t", "Denoise=150,6", "--trigger", "Sharpen=4500", "-m"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("line of 11 values"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("  [0] enable int 1\n  [1] strength_scale float 1 0.5\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("tree Denoise: trigger values 150 6\n"
                           "  level 0 (bv): [0, 100] [200, 500]\n"
                           "  level 1 (gain): [1, 4] [8, 16] [1, 4] [8, 16]\n"
                           "  [3] nr_strength float 1.25 2 2.75\n"
                           "  [6] nr_radius int 150 200\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  [8] edge_gain float 1.5 1.2\n  [10] edge_threshold int 16\n"), std::string::npos)
        << run.out;
}

TEST(TriggerTool, TreesWithoutValuesTakeTheirFirstRegionAndListShowsRanges) {
    ToolRun run = RunTool({trigger_test::SampleFile(), "-t", "Sharpen=6000"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("tree Denoise: no trigger values, first region\n  [3] nr_strength float 1 2 3\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("[10] edge_threshold int 32"), std::string::npos) << run.out;

    run = RunTool({trigger_test::SampleFile(), "--list"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("tree Denoise: 4 regions, 2 trigger levels, 5 values per line\n"
                           "  level 0: [0, 100] [200, 500]\n"),
              std::string::npos)
        << run.out;
}

TEST(TriggerTool, RefusesWhatItCannotUseWithAClearMessage) {
    zeb_test::TempDir dir;
    const std::string malformed = dir / "malformed.xml";
    zeb_test::WriteFile(malformed, "<root><Triggers>");
    const std::string unpaired = trigger_test::WriteParamFile(
        dir, "<Triggers name=\"A\"><n start=\"0\" end=\"1\" para=\"p\" name=\"a\">0</n></Triggers>"
             "<Parameters name=\"B\"/>");
    struct Case {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{dir / "missing.xml"}, 1, "cannot read"},
        {{malformed}, 1, "is not well-formed XML"},
        {{unpaired}, 1, "has no usable parameter tree"},
        {{trigger_test::SampleFile(), "-t", "Denoise=1,x"}, 2, "'x' in 'Denoise=1,x' is not a number"},
        {{trigger_test::SampleFile(), "-t", "Blur=1"}, 2, "has no tree named Blur"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.arguments[0];
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_NE(RunTool({}).status, 0);
}
