#include "zebsim-hal/lib/Scenario.h"

#include <exception>
#include <filesystem>

#include "zebsim-recgen/lib/Placement.h"
#include "zebsim-recgen/lib/RecordingGenerator.h"

namespace zeb_hal {
namespace {
namespace fs = std::filesystem;
using zeb_recgen::SceneValues;

// A 500-byte packed line, which the library has to realign to 512; half of it
// is a picture still worth looking at.
constexpr int kWidth = 400;
constexpr int kHeight = 300;

enum class Kind { Plain, Hdr, Chdr };

struct TaskPlan {
    int frames;
    bool missing;  // the task names a folder that is not there
    Kind kind;
    int width = 0;  // raw size of the task's frames; 0: kWidth x kHeight
    int height = 0;
    zeb_recgen::LscFormat lsc = zeb_recgen::LscFormat::Alsc4;
};

// Non-zero wherever the checks compare, so a field the library drops shows;
// some vary by task so one task's scene cannot pass for another's.
SceneValues Plain(int task) {
    SceneValues s;
    s.zoomRatio = 1.5f;
    s.appMode = 3 + task;
    s.topAppId = 7;
    s.zoltAppModeId = 11 + task;
    s.deviceOrientation = 90;
    s.sessionMode = 2;
    s.bv = -(40 + task);
    s.sensorGain = 256;
    s.ispGain = 128;
    s.awbCt = 5000;
    s.ablWeight = 9;
    s.atmGain = 1;
    s.gtmGain = 2;
    s.aiSceneType = 4;
    s.normalNum = 0;
    s.totalNum = 1;
    s.mergeFrameNum = 3;
    s.jpegOrientation = 180;
    s.ev = 0.5f;
    s.hdrFrameNum = 1;
    s.tuningParamIndex = 5;
    s.sceneChosen = 2;
    s.faceCount = 0;
    s.flashMode = 2;
    return s;
}

SceneValues SceneOf(Kind kind, int task) {
    SceneValues s = Plain(task);
    if (kind == Kind::Plain) return s;
    s.normalNum = 1;
    s.totalNum = 3;
    s.hdrFrameNum = 3;
    s.hdrEvs = {-2, 0, 2, -1, 1, 0.5f, -0.5f, 1.5f, -1.5f, 3};
    s.faceCount = 2;
    s.facesPrev = {0, 10, 20, 30, 40, 1, 50, 60, 70, 80};
    s.facesCap = {0, 11, 21, 31, 41, 1, 51, 61, 71, 81};
    if (kind == Kind::Hdr) {
        s.isHdrScene = 1;
        s.postprocType = 0x1000;
        return s;
    }
    // The preview list starts with the second face and holds more faces than it counts.
    s.isMfnrScene = 1;
    s.isMfnrHdrScene = 1;
    s.postprocType = 0x80000;
    s.normalNum = 2;
    s.faceCount = 1;
    s.facesPrev = {1, 10, 20, 30, 40, 0, 5, 6, 7, 8};
    return s;
}

std::vector<TaskPlan> Plan(const std::string& scenario) {
    if (scenario == "preview") return {{3, false, Kind::Plain}, {4, false, Kind::Plain}};
    // Each lens shading result format once, the HDR bracket on the first.
    if (scenario == "capture") {
        return {{3, false, Kind::Hdr, 0, 0, zeb_recgen::LscFormat::Alsc4},
                {2, false, Kind::Chdr, 0, 0, zeb_recgen::LscFormat::Alsc3},
                {1, false, Kind::Plain, 0, 0, zeb_recgen::LscFormat::None}};
    }
    if (scenario == "tuning") return {{2, false, Kind::Plain}};
    // Everything a camera close can interrupt: captures with the 3A results
    // fixed, each task played under every swept tuning combination.
    if (scenario == "soak") return Plan("capture");
    if (scenario == "edge") {
        return {{2, false, Kind::Hdr}, {1, true, Kind::Plain}, {0, false, Kind::Plain}, {2, false, Kind::Plain}};
    }
    if (scenario == "sizes") {
        // The reader's ten slots are rebound from task to task: the 12 MP frame
        // lands in a slot built for 64 x 8, the last task in 400 x 500 and
        // 12 MP ones. Every task is read while the one before it plays.
        return {{5, false, Kind::Plain, 64, 8},
                {5, false, Kind::Plain, 400, 500},
                {1, false, Kind::Plain, 4000, 3000},
                {5, false, Kind::Plain, 400, 500},
                {5, false, Kind::Plain, 64, 8}};
    }
    return {};
}
}  // namespace

std::vector<std::string> ScenarioNames() { return {"preview", "capture", "edge", "sizes", "tuning", "soak"}; }

bool WriteScenario(const std::string& deviceRoot, const std::string& scenario, int taskCount, std::string* error) {
    std::vector<TaskPlan> plan = Plan(scenario);
    if (!plan.empty() && taskCount > 0) {
        // The scenario's tasks in turn, as many as asked for.
        std::vector<TaskPlan> repeated;
        for (int t = 0; t < taskCount; ++t) repeated.push_back(plan[static_cast<size_t>(t) % plan.size()]);
        plan = repeated;
    }
    if (plan.empty()) {
        if (error) *error = "unknown scenario " + scenario;
        return false;
    }
    const fs::path zeb = fs::absolute(deviceRoot) / "data/vendor/cameraserver/zeb";
    zeb_recgen::Options options;
    options.outputFolder = (zeb / "raw" / scenario).string();
    options.taskListPath = (zeb / "config/RawListFile.xml").string();
    options.width = kWidth;
    options.height = kHeight;
    options.mode = scenario == "preview" || scenario == "sizes" ? "Preview" : "Capture";
    // The capture recording has the HAL's AWB, ALSC and XTM results replaced
    // by the recorded ones; the others let the HAL's own results through.
    if (scenario == "capture" || scenario == "soak") options.blocks = zeb_recgen::Fixed3ABlocks();
    for (size_t t = 0; t < plan.size(); ++t) {
        zeb_recgen::TaskOptions task;
        task.frames = plan[t].frames;
        task.missing = plan[t].missing;
        task.lscFormat = plan[t].lsc;
        task.scene = SceneOf(plan[t].kind, static_cast<int>(t));
        task.outputPath = (zeb / "out" / ("ZEB_" + scenario + "_task" + std::to_string(t))).string();
        task.width = plan[t].width;
        task.height = plan[t].height;
        options.tasks.push_back(task);
    }
    if (scenario == "tuning" || scenario == "soak") {
        options.tuning = zeb_recgen::SweepTuning("zebcam_tuning", fs::absolute(deviceRoot).string());
    }
    const zeb_recgen::GeneratedRecording recording = zeb_recgen::GenerateRecording(options);
    if (!recording.ok) {
        if (error) *error = recording.error;
        return false;
    }
    // The files name device paths: the recording plays wherever its root is
    // moved, and its output paths are as short as on a device.
    try {
        zeb_recgen::RewritePathTexts(zeb.string(),
                                     {{(fs::absolute(deviceRoot) / "data").string(), "/data"}});
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
        return false;
    }
    return true;
}

}  // namespace zeb_hal
