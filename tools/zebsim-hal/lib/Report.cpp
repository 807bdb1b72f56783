// The emulator's report.json.
#include <fstream>
#include <nlohmann/json.hpp>

#include "zebsim-hal/lib/HalEmulator.h"

namespace zeb_hal {

std::string WriteReport(const EmulatorOptions& options, const RunReport& report) {
    nlohmann::json tasks = nlohmann::json::array();
    int preview = 0, capture = 0, matched = 0, completed = 0;
    for (const TaskReport& task : report.tasks) {
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
                         {"expectedTuningEntries", task.expectedTuningEntries},
                         {"tuning", entries}});
        preview += task.previewFrames;
        capture += task.captureFrames;
        matched += task.matchedFrames;
        completed += task.completed ? 1 : 0;
    }
    nlohmann::json bypassFiles = nlohmann::json::array();
    for (const BypassFile& file : report.bypass.files) {
        bypassFiles.push_back({{"path", file.path}, {"before", file.before}, {"after", file.after}});
    }
    nlohmann::json timeline = nlohmann::json::array();
    for (const TimelineEvent& event : report.timeline) {
        timeline.push_back({{"seconds", event.seconds}, {"property", event.property}, {"value", event.value}, {"frameId", event.task}});
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
                             {"completedTasks", completed},
                             {"previewFrames", preview},
                             {"captureFrames", capture},
                             {"matchedFrames", matched},
                             {"errors", report.errors}}},
                           {"timedOut", report.timedOut},
                           {"deletedMidTask", report.deleted},
                           {"deleteSeconds", report.deleteSeconds},
                           {"fatal", report.fatal},
                           {"bypass",
                            {{"called", report.bypass.called},
                             {"error", report.bypass.error},
                             {"updateFlags", std::vector<int32_t>(report.bypass.updateFlags, report.bypass.updateFlags + 5)},
                             {"files", bypassFiles},
                             {"reloads", report.bypass.reloads}}},
                           {"pictures", report.pictures}};
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
