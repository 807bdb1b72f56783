// Runs the zebsim-trigger program as an engineer would. ctest runs it with
// ZEB_LOG_LEVEL=1, so the engine's failure lines would show if they leaked.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TriggerFixtures.h"

namespace {

struct ToolRun : zeb_test::ProgramRun {
    bool Says(const std::string& text) const { return out.find(text) != std::string::npos; }
    bool Complains(const std::string& text) const { return err.find(text) != std::string::npos; }
};

ToolRun RunTool(std::vector<std::string> words, const std::string& deviceRoot = "") {
    words.insert(words.begin(), std::string(ZEB_BINARY_DIR) + "/tools/zebsim-trigger/zebsim-trigger");
    std::vector<std::string> env;
    if (!deviceRoot.empty()) env.push_back("ZEB_DEVICE_ROOT=" + deviceRoot);
    return {zeb_test::RunProgram(words, env)};
}

const std::string kSample = trigger_test::SampleFile();

}  // namespace

TEST(TriggerTool, PrintsTheNamedLineAndSaysWhereValuesFellOutside) {
    ToolRun run = RunTool({kSample, "-t", "Denoise=150,6", "--trigger", "Sharpen=4500", "-m"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.Says("line of 11 values\nconst: 3 values\n  [0] enable int 1\n  [1] strength_scale float 1 0.5\n"
                         "tree Denoise: trigger values 150 6\n"
                         "  level 0 (bv): [0, 100] [200, 500]\n"
                         "  level 1 (gain): [1, 4] [8, 16] [1, 4] [8, 16]\n"
                         "  [3] nr_strength float 1.25 2 2.75\n"
                         "  [6] nr_radius int 150 200\n"
                         "tree Sharpen: trigger values 4500\n"
                         "  level 0 (ct): [2000, 4000] [5000, 7500]\n"
                         "  [8] edge_gain float 1.5 1.2\n  [10] edge_threshold int 16\n"))
        << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;

    // Outside every range: the engine's own failure lines stay off, the tool says it.
    run = RunTool({kSample, "-t", "Denoise=150,30"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.Says("tree Denoise: trigger values 150 30\n"
                         "  note: gain 30 lies outside every gain range under the matched bv ranges\n"
                         "  note: no region holds these values: the line is the tree's first region\n"
                         "  [3] nr_strength float 1 2 3\n"))
        << run.out;
    EXPECT_TRUE(run.Says("tree Sharpen: no trigger values, first region\n  [8] edge_gain float 1 1.2\n")) << run.out;
    EXPECT_TRUE(run.err.empty()) << run.err;
    run = RunTool({kSample, "-t", "Denoise=150,30", "-v"});
    EXPECT_TRUE(run.Complains("Maybe some error")) << run.err;

    run = RunTool({kSample, "--list"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.Says("tree Denoise: 4 regions, 2 trigger levels, 5 values per line\n"
                         "  level 0: [0, 100] [200, 500]\n"))
        << run.out;
}

TEST(TriggerTool, ExitsWithTwoOnBadArgumentsAndOneOnFilesItCannotUse) {
    zeb_test::TempDir dir;
    zeb_test::WriteFile(dir / "malformed.xml", "<root><Triggers>");
    std::filesystem::create_symlink(kSample, dir / "link.xml");
    ASSERT_EQ(mkfifo((dir / "pipe.xml").c_str(), 0600), 0);
    const std::string unpaired = trigger_test::WriteParamFile(
        dir, "<Triggers name=\"A\"><n start=\"0\" end=\"1\" para=\"p\" name=\"a\">0</n></Triggers><Parameters name=\"B\"/>");
    struct Case { std::vector<std::string> arguments; int status; const char* message; };
    const Case cases[] = {
        {{}, 2, "file is required"},
        {{kSample, "--bogus"}, 2, "--bogus"},
        {{kSample, "-t"}, 2, "--trigger"},
        {{kSample, "-t", "Denoise=1,x"}, 2, "'x' in 'Denoise=1,x' is not a number"},
        {{kSample, "-t", "Blur=1"}, 2, "has no tree named Blur (it has Denoise, Sharpen)"},
        {{kSample, "-t", "Denoise=150"}, 2, "Denoise has 2 trigger levels (bv, gain): give 2 values, root level first"},
        {{kSample, "--sweep", "Denoise:gain=1:16"}, 2, "is not TREE:LEVEL=FROM:TO:STEP"},
        {{kSample, "--sweep", "Denoise:iso=1:16:1", "-t", "Denoise=1,1"}, 2, "its levels are 0 (bv), 1 (gain)"},
        {{kSample, "--sweep", "Denoise:gain=1:16:-1", "-t", "Denoise=1,1"}, 2, "STEP -1 never leads from 1 to 16"},
        {{kSample, "--sweep", "Denoise:gain=0:1e9:1", "-t", "Denoise=1,1"}, 2, "more than 10000 steps"},
        {{kSample, "--sweep", "Denoise:gain=1:16:1"}, 2, "needs the values of its other levels: give -t Denoise="},
        {{dir / "missing.xml"}, 1, "cannot read"},
        {{dir / "malformed.xml"}, 1, "is not well-formed XML"},
        {{dir / "link.xml"}, 1, "link.xml: a link"},
        {{dir / "pipe.xml"}, 1, "pipe.xml: a named pipe"},
        {{unpaired}, 1, "has no usable parameter tree"},
    };
    for (const Case& c : cases) {
        ToolRun run = RunTool(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.message;
        EXPECT_TRUE(run.Complains(c.message)) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    EXPECT_EQ(RunTool({"--help"}).status, 0);
}

TEST(TriggerTool, RefusesToPrintTheDebugModesFixedDataUnderTheFilesNames) {
    zeb_test::TempDir device;
    zeb_test::WriteFile(device / "data/property/persist.vendor.cam.zeb.xml.debug.mode", "1");
    ToolRun run = RunTool({kSample, "-t", "Sharpen=4500"}, device.path());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.Complains("persist.vendor.cam.zeb.xml.debug.mode is set")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST(TriggerTool, WarnsWhereALengthIsNotTheNumberOfValues) {
    zeb_test::TempDir dir;
    const std::string file = trigger_test::WriteParamFile(dir, R"(
  <ConstData>
    <c name="few" type="float" length="3" index="0">0.5 0.25</c>
    <c name="many" type="int" length="1" index="1">1 2 3</c>
    <c name="after" type="int" length="1" index="2">9</c>
  </ConstData>
  <Triggers name="T"><n start="0" end="1" para="p" name="a">0</n></Triggers>
  <Parameters name="T"><g index="0"><p name="v" type="int" length="2" index="0">4</p></g></Parameters>)");
    ToolRun run = RunTool({file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.Says("warning: constant parameter few: length 3 but 2 values written; "
                         "the line fills it up with zeros to 3 values\n"
                         "warning: constant parameter many: length 1 but 3 values written; "
                         "the line keeps only the first 1 value\n"
                         "warning: T group 0 parameter v: length 2 but 1 value written; "
                         "tree lines hold the values as written\n"))
        << run.out;
    EXPECT_TRUE(run.Says("  [0] few float 0.5 0.25 0\n  [3] many int 1\n  [4] after int 9\n")) << run.out;
}

TEST(TriggerTool, SweepsOneLevelALinePerStepAsTextOrCsv) {
    ToolRun run = RunTool({kSample, "--sweep", "Denoise:gain=2:17:5", "-t", "Denoise=150,0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "tree Denoise: gain (level 1) from 2 to 17 step 5, bv 150\n"
              "gain=2  nr_strength 0.75 1.5 2.25  nr_radius 100 150\n"
              "gain=7  nr_strength 1.5 2.25 3  nr_radius 175 225\n"
              "gain=12  nr_strength 1.75 2.5 3.25  nr_radius 200 250\n"
              "gain=17  nr_strength 1 2 3  nr_radius 100 200  "
              "(gain 17 lies outside every gain range under the matched bv ranges)\n");

    run = RunTool({kSample, "--sweep", "Sharpen:0=3000:6000:1000", "--csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "ct,edge_gain[0],edge_gain[1],edge_threshold\n3000,1,1.2,16\n4000,1,1.2,16\n"
                       "5000,2,1.2,32\n6000,2,1.2,32\n");

    // The whole line as one row; notes go to stderr, out of the table's way.
    run = RunTool({kSample, "--csv", "-t", "Sharpen=9000"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "const.enable,const.strength_scale[0],const.strength_scale[1],Denoise.nr_strength[0],"
              "Denoise.nr_strength[1],Denoise.nr_strength[2],Denoise.nr_radius[0],Denoise.nr_radius[1],"
              "Sharpen.edge_gain[0],Sharpen.edge_gain[1],Sharpen.edge_threshold\n"
              "1,1,0.5,1,2,3,100,200,1,1.2,16\n");
    EXPECT_TRUE(run.Complains("note: Sharpen: ct 9000 lies outside every ct range")) << run.err;
}
