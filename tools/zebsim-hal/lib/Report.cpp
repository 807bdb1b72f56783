// The emulator's report.json.
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "zebsim-hal/lib/HalEmulator.h"

namespace zeb_hal {
namespace {

nlohmann::json Tally(const AlgoTally& tally) {
    return {{"substituted", tally.substituted},
            {"passedThrough", tally.passedThrough},
            {"mismatched", tally.mismatched},
            {"substitutedExchanges", tally.substitutedExchanges}};
}

// What the HAL's 3A algorithms received for one task, with the values a
// tuning engineer looks at.
nlohmann::json ThreeA(const ThreeAReport& r) {
    nlohmann::json ae = Tally(r.ae), awb = Tally(r.awb), alsc = Tally(r.alsc), xtm = Tally(r.xtm);
    ae["results"] = nlohmann::json::array();
    for (const AeResultSeen& seen : r.aeResults) {
        ae["results"].push_back({{"phase", seen.phase},
                                 {"recordedFrame", seen.frame},
                                 {"iso", seen.iso},
                                 {"gain", seen.gain},
                                 {"bv", seen.bv},
                                 {"lum", seen.lum},
                                 {"ev", seen.ev},
                                 {"hdrStep", {seen.hdrStep, seen.hdrStepFlag}}});
    }
    // The recorded values that arrived; none when the algorithms' own results went through.
    if (r.awbRecorded) {
        awb["gains"] = {r.awbGains[0], r.awbGains[1], r.awbGains[2]};
        awb["ct"] = r.awbCt;
        awb["ccm"] = std::vector<int>(r.awbCcm, r.awbCcm + 9);
    }
    alsc["paths"] = r.alscPaths;
    xtm["halCalcs"] = r.xtmHalCalcs;
    if (r.xtmRecorded) {
        xtm["gtm"] = std::vector<int>(r.xtmGtm, r.xtmGtm + 8);
        xtm["gamma"] = nlohmann::json::object();
        for (const auto& point : r.xtmGamma) xtm["gamma"][std::to_string(point.first)] = point.second;
    }
    return {{"played", r.played}, {"checked", r.checked}, {"ae", ae}, {"awb", awb}, {"alsc", alsc}, {"xtm", xtm}};
}

void Append(std::string& text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Append(std::string& text, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    text += line;
}

}  // namespace

std::string ThreeASummary(const TaskReport& task) {
    const ThreeAReport& r = task.threeA;
    std::string text;
    if (!r.played) return text;
    Append(text, "task %ld 3A, substituted/passed through/mismatched: AE %d/%d/%d, AWB %d/%d/%d, ALSC %d/%d/%d, XTM %d/%d/%d\n",
           static_cast<long>(task.id), r.ae.substituted, r.ae.passedThrough, r.ae.mismatched, r.awb.substituted,
           r.awb.passedThrough, r.awb.mismatched, r.alsc.substituted, r.alsc.passedThrough, r.alsc.mismatched,
           r.xtm.substituted, r.xtm.passedThrough, r.xtm.mismatched);
    text += "  AE   ISO/gain/bv/lum/EV (recorded frame):";
    for (const AeResultSeen& seen : r.aeResults) {
        Append(text, " %s %d/%d/%d/%u/%+.1f (%d)", seen.phase.c_str(), seen.iso, seen.gain, seen.bv, seen.lum, seen.ev, seen.frame);
    }
    if (r.awbRecorded) {
        Append(text, "\n  AWB  gains %u/%u/%u, ct %u, ccm", r.awbGains[0], r.awbGains[1], r.awbGains[2], r.awbCt);
        for (int16_t value : r.awbCcm) Append(text, " %d", value);
    } else {
        text += "\n  AWB  the algorithm's own results (recorded statistics in)";
    }
    text += "\n  ALSC shading override:";
    for (const std::string& path : r.alscPaths) text += " " + path;
    text += r.alscPaths.empty() ? " none\n" : "\n";
    if (r.xtmRecorded) {
        text += "  XTM  gtm";
        for (uint16_t value : r.xtmGtm) Append(text, " %u", value);
        text += ", gamma";
        for (const auto& point : r.xtmGamma) Append(text, " %d:%d", point.first, point.second);
        text += ",";
    } else {
        text += "  XTM  the algorithm's own results,";
    }
    Append(text, " own calc ran %d time(s)\n", r.xtmHalCalcs);
    return text;
}

namespace {

struct Totals {
    int preview = 0, capture = 0, matched = 0, completed = 0, substituted = 0, passed = 0, mismatched = 0;
};

nlohmann::json Tasks(const std::vector<TaskReport>& reports, Totals& totals) {
    nlohmann::json tasks = nlohmann::json::array();
    for (const TaskReport& task : reports) {
        nlohmann::json entries = nlohmann::json::array();
        for (const TuningEntryReport& entry : task.tuning) {
            nlohmann::json loaded = nlohmann::json::array();
            for (const LoadedTuningFile& file : entry.loaded) {
                loaded.push_back({{"path", file.path},
                                  {"blockId", file.blockId},
                                  {"bypass", file.bypass},
                                  {"checksum", file.checksum},
                                  {"values", file.values}});
            }
            entries.push_back({{"index", entry.index},
                               {"failure", entry.failure},
                               {"outputFolder", entry.outputFolder},
                               {"combination", entry.combination},
                               {"combinationFiles", entry.combinationFiles},
                               {"reloads", entry.reloads},
                               {"triggerLoads", entry.triggerLoads},
                               {"updateFlags", std::vector<int32_t>(entry.updateFlags, entry.updateFlags + 5)},
                               {"loaded", loaded},
                               {"rejected", entry.rejected}});
        }
        tasks.push_back({{"frameId", task.id},
                         {"mode", task.mode},
                         {"expectedFrames", task.expectedFrames},
                         {"previewFrames", task.previewFrames},
                         {"captureFrames", task.captureFrames},
                         {"matchedFrames", task.matchedFrames},
                         {"previewPassProcessed", task.previewPassProcessed},
                         {"completed", task.completed},
                         {"outputFolder", task.outputFolder},
                         {"queriesChecked", task.queriesChecked},
                         {"errors", task.errors},
                         {"picture", task.picture},
                         {"threeA", ThreeA(task.threeA)},
                         {"expectedTuningEntries", task.expectedTuningEntries},
                         {"tuning", entries}});
        totals.preview += task.previewFrames;
        totals.capture += task.captureFrames;
        totals.matched += task.matchedFrames;
        totals.completed += task.completed ? 1 : 0;
        for (const AlgoTally* tally : {&task.threeA.ae, &task.threeA.awb, &task.threeA.alsc, &task.threeA.xtm}) {
            totals.substituted += tally->substituted;
            totals.passed += tally->passedThrough;
            totals.mismatched += tally->mismatched;
        }
    }
    return tasks;
}

}  // namespace

std::string WriteReport(const EmulatorOptions& options, const RunReport& report) {
    Totals totals;
    const nlohmann::json tasks = Tasks(report.tasks, totals);
    nlohmann::json bypassFiles = nlohmann::json::array();
    for (const BypassFile& file : report.bypass.files) {
        bypassFiles.push_back({{"path", file.path}, {"before", file.before}, {"after", file.after}});
    }
    nlohmann::json timeline = nlohmann::json::array();
    for (const TimelineEvent& event : report.timeline) {
        timeline.push_back({{"seconds", event.seconds},
                            {"property", event.property},
                            {"value", event.value},
                            {"frameId", event.task},
                            {"cameraId", event.camera}});
    }
    nlohmann::json json = {{"library", options.library},
                           {"deviceRoot", options.deviceRoot},
                           {"timeScale", options.timeScale},
                           {"cameraId", options.cameraId},
                           {"tester", options.tester},
                           {"tuningName", report.tuningName},
                           {"sweptBlocks", report.sweptBlocks},
                           {"expectedUpdateFlags", std::vector<int32_t>(report.expectedUpdateFlags, report.expectedUpdateFlags + 5)},
                           {"tasks", tasks},
                           {"timeline", timeline},
                           {"totals",
                            {{"tasks", report.tasks.size()},
                             {"completedTasks", totals.completed},
                             {"previewFrames", totals.preview},
                             {"captureFrames", totals.capture},
                             {"matchedFrames", totals.matched},
                             {"threeA",
                              {{"substituted", totals.substituted},
                               {"passedThrough", totals.passed},
                               {"mismatched", totals.mismatched}}},
                             {"errors", report.errors}}},
                           {"threeAChecked", report.threeAChecked},
                           {"timedOut", report.timedOut},
                           {"deletedMidTask", report.deleted},
                           {"deleteSeconds", report.deleteSeconds},
                           {"fatal", report.fatal},
                           {"threeAErrors", report.threeAErrors},
                           {"bypass",
                            {{"called", report.bypass.called},
                             {"error", report.bypass.error},
                             {"updateFlags", std::vector<int32_t>(report.bypass.updateFlags, report.bypass.updateFlags + 5)},
                             {"files", bypassFiles},
                             {"reloads", report.bypass.reloads}}},
                           {"pictures", report.pictures}};
    if (report.secondCamera.cameraId >= 0) {
        Totals second;
        const nlohmann::json secondTasks = Tasks(report.secondCamera.tasks, second);
        json["secondCamera"] = {{"cameraId", report.secondCamera.cameraId},
                                {"tasks", secondTasks},
                                {"deleteSeconds", report.secondCamera.deleteSeconds},
                                {"totals",
                                 {{"tasks", report.secondCamera.tasks.size()},
                                  {"completedTasks", second.completed},
                                  {"previewFrames", second.preview},
                                  {"captureFrames", second.capture},
                                  {"matchedFrames", second.matched}}}};
    }
    if (options.ispTool) {
        const IspToolReport& isp = report.ispTool;
        json["ispTool"] = {{"previewWidth", isp.width},
                           {"previewHeight", isp.height},
                           {"pushed", isp.pushed},
                           {"fetched", isp.fetched},
                           {"repeated", isp.repeated},
                           {"skipped", isp.skipped},
                           {"torn", isp.torn},
                           {"stale", isp.stale},
                           {"empty", isp.empty},
                           {"fetchMicros", {{"mean", isp.latencyMeanMicros}, {"p99", isp.latencyP99Micros}, {"max", isp.latencyMaxMicros}}},
                           {"picture", isp.picture},
                           {"errors", isp.errors}};
    }
    const std::string path = options.outputDir + "/report.json";
    std::ofstream out(path);
    out << json.dump(2) << "\n";
    return out ? path : std::string();
}

}  // namespace zeb_hal
