#include "zebsim-soak/lib/Soak.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "platform/Host.h"
#include "platform/Log.h"
#include "platform/Property.h"
#include "platform/SensorTuning.h"
#include "zebsim-hal/lib/Scenario.h"
#include "zebsim-soak/lib/CameraSession.h"
#include "zebsim-soak/lib/ProcessCounts.h"

namespace zeb_soak {
namespace {
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const char* const kTuningName = "zebcam_tuning";  // the sensor tuning of the "soak" recording

uint64_t SplitMix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

const char* MomentName(Moment moment) {
    switch (moment) {
        case Moment::Read: return "read";
        case Moment::Settle: return "settle";
        case Moment::SnapshotWait: return "snapshot wait";
        case Moment::ThreeA: return "3A callback";
        case Moment::TuningUpdate: return "tuning update";
        case Moment::Streaming: return "streaming fetch";
    }
    return "?";
}

CyclePlan PlanCycle(uint64_t seed, int cycle) {
    std::mt19937_64 random(SplitMix(seed ^ SplitMix(static_cast<uint64_t>(cycle))));
    CyclePlan plan;
    // Every moment in turn, from a place the seed chooses; the rest is drawn.
    plan.moment = static_cast<Moment>((static_cast<uint64_t>(cycle) + seed % kMoments) % kMoments);
    plan.occurrence = static_cast<int>(random() % 3);
    plan.fraction = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    plan.holdStop = (random() & 1) != 0;
    return plan;
}

namespace {

// A device root holding the "soak" recording, and the process's settings
// pointing at it; false when the recording cannot be written.
bool PrepareDevice(const SoakOptions& options, SoakReport* report, bool* temporary) {
    *temporary = options.deviceRoot.empty();
    std::string root = options.deviceRoot;
    if (*temporary) {
        std::string pattern = (fs::temp_directory_path() / "zebsim-soak-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            report->fatal = "cannot make a temporary device root";
            return false;
        }
        root = pattern;
    }
    root = fs::absolute(root).string();
    report->deviceRoot = root;
    std::string error;
    if (!zeb_hal::WriteScenario(root, "soak", 0, &error)) {
        report->fatal = "cannot write the recording: " + error;
        return false;
    }
    report->logFile = options.logFile.empty() ? root + "/soak.log" : fs::absolute(options.logFile).string();
    setenv("ZEB_DEVICE_ROOT", root.c_str(), 1);
    setenv("ZEB_TIME_SCALE", std::to_string(options.timeScale).c_str(), 1);
    setenv("ZEB_LOG_LEVEL", std::to_string(options.logLevel).c_str(), 1);
    setenv("ZEB_LOG_FILE", report->logFile.c_str(), 1);
    zeb_platform::SetDeviceRoot(root);
    zeb_platform::SetTimeScale(options.timeScale);
    zeb_platform::SetLogLevel(options.logLevel);
    // Deletions run at the moment's scale.
    report->limitSeconds = options.momentScale;
    return true;
}

// The recording read, the library loaded on a fresh device and ready.
bool PrepareProcess(Process& process, SoakReport* report) {
    const SoakOptions& options = process.options;
    process.recording = zeb_hal::ReadRecording(zeb_platform::DevicePath("/data/vendor/cameraserver/zeb/config/RawListFile.xml"));
    if (!process.recording.error.empty() || process.recording.tasks.empty()) {
        report->fatal = "cannot read the recording: " + process.recording.error;
        return false;
    }
    process.entriesPerTask = std::max<size_t>(process.recording.tuning.Combinations(), 1);
    for (const auto& task : process.recording.tasks) {
        process.frames += task.frames.size();
        for (const auto& frame : task.frames) {
            process.yuvBytes = std::max(process.yuvBytes, static_cast<size_t>(frame.yuvWidth) * frame.yuvHeight * 3 / 2);
        }
    }

    // A fresh device: the sensor's tuning, the test tool's switches, then the library.
    zeb_platform::SetSensorTuningName(options.cameraId, kTuningName);
    zeb_platform::ResetProperties();
    property_set("persist.vendor.cam.zeb.tester", "0");
    property_set("persist.vendor.cam.zeb.post.process", "1");
    property_set("persist.vendor.cam.isptool.mode.enable", "true");
    for (const char* key : {"persist.vendor.cam.zeb.xtmhist.update", "persist.vendor.cam.zeb.ltmhist.update",
                            "persist.vendor.cam.zeb.bayerhist.update", "persist.vendor.cam.zeb.hist2.update"}) {
        property_set(key, "1");
    }
    if (!process.library.Load(options.library, &report->fatal)) return false;
    // The log file opens with its first line.
    _log("zebsim-soak", 1).__print_log_("seed %llu, %d cycle(s) from cycle %d",
                                        static_cast<unsigned long long>(options.seed), options.cycles,
                                        options.firstCycle);
    process.library.entries().SetDeviceReady(true);
    const auto readyBy = Clock::now() + std::chrono::seconds(30);
    while (GetProperty("persist.vendor.cam.zeb.serverready") != "1" && Clock::now() < readyBy) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (GetProperty("persist.vendor.cam.zeb.serverready") != "1") {
        report->fatal = "the library did not announce it was ready";
        return false;
    }
    return true;
}

// One cycle, judged against the baseline, which it moves on.
CycleResult RunCycle(Process& process, int index, double limit, Counts& baseline) {
    const SoakOptions& options = process.options;
    property_set(kCapReady, "0");
    property_set(kProcess, "0");
    zeb_platform::SetTimeScale(options.timeScale);
    CycleResult result;
    {
        CameraSession session(process, index, PlanCycle(options.seed, index));
        result = session.Run();
    }
    if (result.deleteSeconds > limit) {
        result.faults.push_back("DeleteSimulation took " + std::to_string(result.deleteSeconds) +
                                " s, more than one scaled second");
    }
    if (result.socketDeleteSeconds > limit) {
        result.faults.push_back("DeleteSocketServer took " + std::to_string(result.socketDeleteSeconds) +
                                " s, more than one scaled second");
    }
    result.leaks = CheckLeaks(baseline, options.settleSeconds);
    // A count that went below the baseline (a load-time thread that ended
    // late) is the new baseline.
    Counts now = TakeCounts();
    if (result.leaks.empty()) {
        if (now.threads.size() < baseline.threads.size()) baseline.threads = now.threads;
        if (now.descriptors.size() < baseline.descriptors.size()) baseline.descriptors = now.descriptors;
        if (now.buffers < baseline.buffers) baseline.buffers = now.buffers;
    } else {
        // Counted once: the next cycle starts from what is there now.
        baseline = now;
    }
    return result;
}

void Tally(const CycleResult& result, SoakReport* report) {
    MomentTally& tally = report->moments[static_cast<int>(result.plan.moment)];
    tally.cycles++;
    tally.inMoment += result.inMoment ? 1 : 0;
    tally.longestDelete = std::max(tally.longestDelete, result.deleteSeconds);
    if (result.deleteSeconds > report->longestDelete) {
        report->longestDelete = result.deleteSeconds;
        report->longestCycle = result.index;
    }
    report->leaks += result.leaks.empty() ? 0 : 1;
    report->faults += result.faults.empty() ? 0 : 1;
    report->cycles.push_back(result);
}

}  // namespace

int RunSoak(const SoakOptions& options, SoakReport* report, const std::function<void(const CycleResult&)>& onCycle) {
    const auto soakBegin = Clock::now();
    report->seed = options.seed;
    bool temporary = false;
    if (!PrepareDevice(options, report, &temporary)) return 2;
    Process process(options);
    if (!PrepareProcess(process, report)) return 2;
    SettledThreadCount();
    Counts baseline = TakeCounts();
    report->baselineThreads = baseline.threads.size();
    report->baselineFds = baseline.descriptors.size();
    report->baselineBuffers = baseline.buffers;

    double deleteSum = 0;
    for (int c = 0; c < options.cycles; ++c) {
        const CycleResult result = RunCycle(process, options.firstCycle + c, report->limitSeconds, baseline);
        deleteSum += result.deleteSeconds;
        Tally(result, report);
        if (onCycle) onCycle(result);
    }
    report->meanDelete = report->cycles.empty() ? 0 : deleteSum / static_cast<double>(report->cycles.size());

    const zeb_tools::LibraryEntries& api = process.library.entries();
    api.CheckSimulationDeinit();
    api.DeleteSocketServer();
    process.library.Close();
    report->seconds = Seconds(Clock::now() - soakBegin);
    const bool passed = report->leaks == 0 && report->faults == 0;
    if (temporary && passed && !options.keepDeviceRoot) {
        std::error_code ignored;
        fs::remove_all(report->deviceRoot, ignored);
        report->deviceRoot.clear();
        report->logFile = options.logFile.empty() ? std::string() : report->logFile;
    }
    return passed ? 0 : 1;
}

std::string CycleLine(const CycleResult& cycle) {
    char line[512];
    snprintf(line, sizeof line, "cycle %d: %s #%d at %.2f%s%s, %d frame(s), deleted in %.2f ms%s, cycle %.3f s",
             cycle.index, MomentName(cycle.plan.moment), cycle.plan.occurrence + 1, cycle.plan.fraction,
             cycle.plan.moment == Moment::SnapshotWait ? (cycle.plan.holdStop ? " (stop held)" : " (start held)") : "",
             !cycle.reached ? ", not reached: deleted at the end" : cycle.inMoment ? "" : ", past it",
             cycle.framesReceived, cycle.deleteSeconds * 1000,
             cycle.plan.moment == Moment::Streaming
                 ? (" (streaming " + std::to_string(cycle.socketDeleteSeconds * 1000).substr(0, 5) + " ms)").c_str()
                 : "",
             cycle.seconds);
    std::string text = line;
    for (const std::string& leak : cycle.leaks) text += "\n  LEAK: " + leak;
    for (const std::string& fault : cycle.faults) text += "\n  FAULT: " + fault;
    return text;
}

std::string Summary(const SoakReport& report) {
    char line[512];
    std::string text;
    snprintf(line, sizeof line, "zebsim-soak: seed %llu, %zu cycle(s) in %.1f s; longest deletion %.2f ms (cycle %d), mean %.2f ms, limit %.2f ms\n",
             static_cast<unsigned long long>(report.seed), report.cycles.size(), report.seconds,
             report.longestDelete * 1000, report.longestCycle, report.meanDelete * 1000, report.limitSeconds * 1000);
    text += line;
    for (int m = 0; m < kMoments; ++m) {
        const MomentTally& tally = report.moments[m];
        snprintf(line, sizeof line, "  %-16s %4d cycle(s), %4d in the moment when deleted%s, longest deletion %.2f ms\n",
                 MomentName(static_cast<Moment>(m)), tally.cycles, tally.inMoment,
                 static_cast<Moment>(m) == Moment::Read ? " (a frame being read)" : "", tally.longestDelete * 1000);
        text += line;
    }
    snprintf(line, sizeof line, "  baseline: %zu thread(s), %zu file descriptor(s), %zu vendor buffer(s)\n",
             report.baselineThreads, report.baselineFds, report.baselineBuffers);
    text += line;
    snprintf(line, sizeof line, "  leaks: %d cycle(s); other faults: %d cycle(s)\n", report.leaks, report.faults);
    text += line;
    return text;
}

}  // namespace zeb_soak
