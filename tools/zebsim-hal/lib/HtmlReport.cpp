#include "zebsim-hal/lib/HtmlReport.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "develop/lib/Plot.h"
#include "develop/lib/Sheet.h"

namespace zeb_hal {
namespace {
namespace fs = std::filesystem;
using zeb_develop::HtmlEscape;

std::string Text(const nlohmann::json& j) {
    if (j.is_string()) return j.get<std::string>();
    return j.is_null() ? std::string() : j.dump();
}

template <typename T>
T Value(const nlohmann::json& j, const char* key, T fallback) {
    auto found = j.find(key);
    if (found == j.end() || found->is_null()) return fallback;
    try {
        return found->get<T>();
    } catch (const nlohmann::json::exception&) {
        return fallback;
    }
}

std::string Cell(const std::string& text) { return "<td>" + HtmlEscape(text) + "</td>"; }

std::string Summary(const nlohmann::json& report, const zeb_develop::RecordingSheets& sheets) {
    const nlohmann::json totals = report.value("totals", nlohmann::json::object());
    std::string html = "<h2>Run summary</h2>\n<table>\n";
    auto row = [&](const std::string& name, const std::string& value) {
        html += "<tr><th>" + HtmlEscape(name) + "</th>" + Cell(value) + "</tr>\n";
    };
    row("library", Text(report.value("library", nlohmann::json())));
    row("device root", Text(report.value("deviceRoot", nlohmann::json())));
    row("task list", sheets.taskListPath);
    row("tasks completed", std::to_string(Value(totals, "completedTasks", 0)) + " of " +
                               std::to_string(Value(totals, "tasks", 0)));
    row("frames received", std::to_string(Value(totals, "previewFrames", 0)) + " preview, " +
                               std::to_string(Value(totals, "captureFrames", 0)) + " capture");
    row("frames matching the recording", std::to_string(Value(totals, "matchedFrames", 0)));
    const nlohmann::json threeA = totals.value("threeA", nlohmann::json::object());
    row("3A results substituted / passed through / mismatched",
        std::to_string(Value(threeA, "substituted", 0)) + " / " + std::to_string(Value(threeA, "passedThrough", 0)) +
            " / " + std::to_string(Value(threeA, "mismatched", 0)));
    row("errors", std::to_string(Value(totals, "errors", 0)) +
                      (Value(report, "timedOut", false) ? " (timed out)" : ""));
    if (!Value<std::string>(report, "fatal", "").empty()) row("fatal", Value<std::string>(report, "fatal", ""));
    row("raw vs reference", std::to_string(sheets.FlaggedCount()) + " frame(s) flagged");
    html += "</table>\n";

    html += "<h3>Tasks</h3>\n<table><tr><th>task</th><th>mode</th><th>frames</th><th>preview</th><th>capture</th>"
            "<th>matched</th><th>completed</th><th>errors (and the file they concern)</th></tr>\n";
    const nlohmann::json tasks = report.value("tasks", nlohmann::json::array());
    for (size_t t = 0; t < tasks.size(); ++t) {
        const nlohmann::json& task = tasks[t];
        std::string errors;
        for (const auto& e : task.value("errors", nlohmann::json::array())) {
            errors += "<div class=\"bad\">" + HtmlEscape(Text(e)) + "</div>";
        }
        if (!errors.empty()) {
            errors += "<div class=\"defaults\">output " + HtmlEscape(Value<std::string>(task, "outputFolder", "")) + "; input ";
            if (t < sheets.tasks.size()) {
                for (const auto& f : sheets.tasks[t].frames) errors += HtmlEscape(f.folder) + " ";
            }
            errors += "</div>";
        }
        html += "<tr>" + Cell(std::to_string(Value<int64_t>(task, "frameId", static_cast<int64_t>(t)))) +
                Cell(Value<std::string>(task, "mode", "")) + Cell(std::to_string(Value(task, "expectedFrames", 0))) +
                Cell(std::to_string(Value(task, "previewFrames", 0))) + Cell(std::to_string(Value(task, "captureFrames", 0))) +
                Cell(std::to_string(Value(task, "matchedFrames", 0))) + Cell(Value(task, "completed", false) ? "yes" : "no") +
                "<td>" + (errors.empty() ? std::string("none") : errors) + "</td></tr>\n";
    }
    html += "</table>\n";
    const nlohmann::json setup = report.value("threeAErrors", nlohmann::json::array());
    if (!setup.empty()) {
        html += "<p class=\"bad\">3A set-up errors:</p><ul>";
        for (const auto& e : setup) html += "<li>" + HtmlEscape(Text(e)) + "</li>";
        html += "</ul>\n";
    }
    return html;
}

// "#0 (0, 1)" per tuning entry: the sweep frame of each swept block.
std::string TuningCaption(const nlohmann::json& task, const nlohmann::json& swept) {
    const nlohmann::json entries = task.value("tuning", nlohmann::json::array());
    if (entries.empty()) return "no sweep: the device's own tuning";
    std::string text = std::to_string(entries.size()) + " entr" + (entries.size() == 1 ? "y" : "ies") + ", each a capture:";
    for (const auto& e : entries) {
        text += " #" + std::to_string(Value(e, "index", 0)) + " (";
        const nlohmann::json combination = e.value("combination", nlohmann::json::array());
        for (size_t k = 0; k < combination.size(); ++k) {
            text += (k ? ", " : "") + (k < swept.size() ? Text(swept[k]) + " " : std::string()) + Text(combination[k]);
        }
        text += ")";
    }
    return text;
}

std::string TuningTable(const nlohmann::json& task, const nlohmann::json& swept) {
    const nlohmann::json entries = task.value("tuning", nlohmann::json::array());
    if (entries.empty()) return "<p>Tuning: no block swept; every capture plays the device's own tuning.</p>\n";
    std::string html = "<table><tr><th>tuning entry</th>";
    for (const auto& name : swept) html += "<th>" + HtmlEscape(Text(name)) + " sweep frame</th>";
    html += "<th>output folder</th><th>sensor reloads</th><th>update flags (rgbgain awb lsc cmc xtm)</th></tr>\n";
    for (const auto& e : entries) {
        html += "<tr>" + Cell(std::to_string(Value(e, "index", 0)));
        for (const auto& c : e.value("combination", nlohmann::json::array())) html += Cell(Text(c));
        std::string flags;
        for (const auto& f : e.value("updateFlags", nlohmann::json::array())) flags += Text(f) + " ";
        html += Cell(Value<std::string>(e, "outputFolder", "")) + Cell(std::to_string(Value<uint64_t>(e, "reloads", 0))) +
                Cell(flags) + "</tr>\n";
    }
    return html + "</table>\n";
}

// What the HAL's algorithms received: counts per algorithm, and the AE results by recorded frame.
std::string ThreeAHtml(const nlohmann::json& task, std::vector<zeb_develop::ArrivedAe>* arrived) {
    const nlohmann::json threeA = task.value("threeA", nlohmann::json::object());
    if (!Value(threeA, "played", false)) return "<p>The HAL's 3A algorithms did not run for this task.</p>\n";
    std::vector<double> substituted, passed, mismatched;
    for (const char* algo : {"ae", "awb", "alsc", "xtm"}) {
        const nlohmann::json a = threeA.value(algo, nlohmann::json::object());
        substituted.push_back(Value(a, "substituted", 0));
        passed.push_back(Value(a, "passedThrough", 0));
        mismatched.push_back(Value(a, "mismatched", 0));
    }
    for (const auto& r : threeA.value("ae", nlohmann::json::object()).value("results", nlohmann::json::array())) {
        zeb_develop::ArrivedAe a;
        a.frame = Value(r, "recordedFrame", -1);
        if (a.frame < 0) continue;
        a.gain = Value(r, "gain", 0.0);
        a.iso = Value(r, "iso", 0.0);
        a.ev = Value(r, "ev", 0.0);
        a.lum = Value(r, "lum", 0.0);
        arrived->push_back(a);
    }
    return zeb_develop::SvgBars("3A results the HAL received", "results (count)", {"AE", "AWB", "ALSC", "XTM"},
                                {{"substituted", "#2ca02c", substituted},
                                 {"passed through", "#7f7f7f", passed},
                                 {"mismatched", "#d62728", mismatched}});
}

void AddPairCheck(nlohmann::json& report, const zeb_develop::RecordingSheets& sheets) {
    nlohmann::json frames = nlohmann::json::array();
    for (const auto& t : sheets.tasks) {
        for (const auto& f : t.frames) {
            nlohmann::json entry = {{"task", t.task}, {"frame", f.index}, {"checked", f.checked}};
            if (!f.checked) entry["unchecked"] = f.unchecked;
            if (f.checked) {
                entry["score"] = f.check.score;
                entry["flagged"] = f.check.flagged;
                if (f.check.better >= 0) entry["betterFrame"] = {{"frame", f.check.better}, {"score", f.check.betterScore}};
            }
            if (!f.records.defaults.empty()) entry["developDefaults"] = f.records.defaults;
            if (!f.developedFull.empty()) entry["fullSize"] = {f.developedFull, f.referenceFull};
            frames.push_back(entry);
        }
    }
    report["rawVsReference"] = {{"threshold", zeb_develop::kPairThreshold},
                                {"flagged", sheets.FlaggedCount()},
                                {"frames", frames}};
}

}  // namespace

std::string WriteHtmlReport(const EmulatorOptions& options, const std::string& reportJsonPath,
                            const HtmlReportOptions& htmlOptions, std::string* error) {
    nlohmann::json report;
    {
        std::ifstream in(reportJsonPath);
        report = nlohmann::json::parse(in, nullptr, false);
    }
    if (report.is_discarded() || !report.is_object()) {
        if (error) *error = reportJsonPath + ": not readable JSON";
        return {};
    }
    const std::string folder = fs::path(reportJsonPath).parent_path().string();
    zeb_develop::SheetOptions sheetOptions;
    if (htmlOptions.fullSize) sheetOptions.fullSizeFolder = folder;
    if (htmlOptions.progress) {
        sheetOptions.progress = [](const std::string& line) { fprintf(stderr, "zebsim-hal: report: %s\n", line.c_str()); };
    }
    const zeb_develop::RecordingSheets sheets =
        zeb_develop::BuildSheets(options.deviceRoot + "/data/vendor/cameraserver/zeb/config/RawListFile.xml", sheetOptions);
    for (const auto& t : sheets.tasks) {
        for (const auto& f : t.frames) {
            if (f.writeFailed) {
                if (error) *error = f.error;
                return {};
            }
        }
    }

    std::string html = zeb_develop::PageStart("zebsim-hal report");
    html += "<h1>zebsim-hal report</h1>\n<p>What the emulated HAL received when the recording played through "
            "libzebsim.so, and each recorded frame's raw developed with its own recorded 3A results (black level, "
            "lens shading table, white balance gains, bilinear demosaic, colour matrix, gamma) beside the reference "
            "image the device recorded with it. Data: <code>" +
            HtmlEscape(reportJsonPath) + "</code>.</p>\n";
    if (!sheets.error.empty()) html += "<p class=\"bad\">" + HtmlEscape(sheets.error) + "</p>\n";
    html += Summary(report, sheets);
    html += "<h2>Raw vs reference</h2>\n" + zeb_develop::FlaggedHtml(sheets);
    const nlohmann::json tasks = report.value("tasks", nlohmann::json::array());
    const nlohmann::json swept = report.value("sweptBlocks", nlohmann::json::array());
    for (size_t t = 0; t < sheets.tasks.size(); ++t) {
        const nlohmann::json task = t < tasks.size() ? tasks[t] : nlohmann::json::object();
        html += "<h2>Task " + std::to_string(sheets.tasks[t].task) + "</h2>\n";
        const std::string caption = TuningCaption(task, swept);
        html += zeb_develop::SheetHtml(sheets.tasks[t], [&](int) { return caption; });
        html += "<h3>Tuning entries</h3>\n" + TuningTable(task, swept);
        std::vector<zeb_develop::ArrivedAe> arrived;
        const std::string bars = ThreeAHtml(task, &arrived);
        html += "<h3>3A over the frames</h3>\n<p>Lines: the frames' recorded results; open circles: the AE results "
                "the HAL's algorithm received, at the recorded frame they came from.</p>\n";
        html += zeb_develop::PlotsHtml(sheets.tasks[t], arrived);
        html += "<div class=\"plots\">" + bars + "</div>\n";
    }
    html += zeb_develop::PageEnd();
    const std::string path = folder + "/report.html";
    if (!zeb_develop::WriteTextFile(path, html, error)) return {};
    AddPairCheck(report, sheets);
    report["reportHtml"] = path;
    if (!zeb_develop::WriteTextFile(reportJsonPath, report.dump(2) + "\n", error)) return {};
    return path;
}

}  // namespace zeb_hal
