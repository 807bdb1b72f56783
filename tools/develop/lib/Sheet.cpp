#include "develop/lib/Sheet.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <pugixml.hpp>

#include "core/FileAccess.h"
#include "develop/lib/Plot.h"
#include "platform/Host.h"
#include "frame/ZEBFrame.h"

namespace zeb_develop {
namespace {
namespace fs = std::filesystem;

constexpr uint64_t kTaskListLimit = 16u << 20;
// The largest raw a frame may hold: 16384 x 12288 packed RAW10.
constexpr uint64_t kRawLimit = 16384ull * 12288 * 5 / 4;
constexpr uint64_t kYuvLimit = 16384ull * 12288 * 3 / 2;

std::string Format(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

std::string ImgTag(const std::vector<uint8_t>& png, const std::string& alt, bool omitted) {
    if (omitted) return "<div class=\"omitted\">" + HtmlEscape(alt) + ": left out (page full)</div>";
    if (png.empty()) return "<div class=\"missing\">" + HtmlEscape(alt) + ": no picture</div>";
    return "<img alt=\"" + HtmlEscape(alt) + "\" src=\"data:image/png;base64," + Base64(png) + "\">";
}

// The full-size and sheet-sized pictures of one side of a pair.
void Keep(const Image& image, const SheetOptions& options, const std::string& fullName, std::vector<uint8_t>* png,
          std::string* fullPath, FrameSheet* frame) {
    std::string* error = &frame->error;
    std::string problem;
    if (!frame->omitted && !EncodePng(Downscale(image, options.thumbWidth, options.thumbHeight), png, &problem)) {
        *error += fullName + ": " + problem + "; ";
    }
    if (!options.fullSizeFolder.empty()) {
        const std::string path = options.fullSizeFolder + "/" + fullName;
        if (WritePng(path, image, &problem)) {
            *fullPath = path;
        } else {
            *error += path + ": " + problem + "; ";
            frame->writeFailed = true;
        }
    }
}

}  // namespace

std::vector<int> TaskSheet::Flagged() const {
    std::vector<int> flagged;
    for (const FrameSheet& f : frames) {
        if (f.checked && f.check.flagged) flagged.push_back(f.index);
    }
    return flagged;
}

size_t RecordingSheets::FlaggedCount() const {
    size_t count = 0;
    for (const TaskSheet& t : tasks) count += t.Flagged().size();
    return count;
}

bool ReadTaskListFolders(const std::string& taskListPath, std::vector<std::vector<std::string>>* tasks,
                         uint32_t* pattern, std::string* error) {
    std::vector<uint8_t> bytes;
    if (!ReadFileBytes(taskListPath, kTaskListLimit, &bytes, error)) return false;
    pugi::xml_document doc;
    std::string why;
    if (!ZEB::files::ParseXml(doc, std::string(bytes.begin(), bytes.end()), &why)) {
        if (error) *error = ZEB::files::Escaped(taskListPath) + ": " + why;
        return false;
    }
    const pugi::xml_node input = doc.child("input");
    static const char* const kPatterns[] = {"RGGB", "GRBG", "GBRG", "BGGR"};
    *pattern = 0;
    const std::string name = input.child_value("pattern");
    for (uint32_t p = 0; p < 4; ++p) {
        if (name == kPatterns[p]) *pattern = p;
    }
    tasks->clear();
    for (pugi::xml_node image : input.child("TaskList").children("image")) {
        std::vector<std::string> folders;
        for (pugi::xml_node path : image.children("inputpath")) {
            folders.push_back(zeb_platform::HostPathOf(path.child_value()));
        }
        tasks->push_back(folders);
    }
    return true;
}

RecordingSheets BuildSheets(const std::string& taskListPath, const SheetOptions& options) {
    std::vector<std::vector<std::string>> tasks;
    uint32_t pattern = 0;
    std::string error;
    if (!ReadTaskListFolders(taskListPath, &tasks, &pattern, &error)) {
        RecordingSheets sheets;
        sheets.taskListPath = taskListPath;
        sheets.error = error;
        return sheets;
    }
    RecordingSheets sheets = BuildSheets(tasks, pattern, options);
    sheets.taskListPath = taskListPath;
    return sheets;
}

RecordingSheets BuildSheets(const std::vector<std::vector<std::string>>& tasks, uint32_t pattern,
                            const SheetOptions& options) {
    RecordingSheets sheets;
    sheets.pattern = pattern;
    int pictures = 0;
    for (size_t t = 0; t < tasks.size(); ++t) {
        TaskSheet sheet;
        sheet.task = static_cast<int64_t>(t);
        std::vector<std::vector<float>> developed, reference;
        for (size_t i = 0; i < tasks[t].size(); ++i) {
            FrameSheet frame;
            frame.index = static_cast<int>(i);
            frame.omitted = pictures++ >= options.maxPictures;
            const FrameFolder folder = ReadFrameFolder(tasks[t][i]);
            frame.folder = folder.folder;
            frame.records = folder.Records();
            frame.error = folder.error;
            const std::string stem = "task" + std::to_string(t) + "-frame" + std::to_string(i);
            std::vector<uint8_t> bytes;
            std::string problem;
            std::vector<float> dev, ref;
            if (folder.rawPath.empty()) {
                frame.error += "no raw image; ";
            } else if (ReadFileBytes(folder.rawPath, kRawLimit, &bytes, &problem)) {
                const size_t line = static_cast<size_t>(ZEB::ZEBFrame::PackedLineBytes(folder.rawWidth));
                if (bytes.size() < line * static_cast<size_t>(folder.rawHeight)) {
                    frame.error += folder.rawPath + ": shorter than its name says; ";
                } else {
                    const Image image = Develop(bytes.data(), folder.rawWidth / 4 * 4, folder.rawHeight, line,
                                                sheets.pattern, frame.records);
                    dev = GradientSignature(image);
                    Keep(image, options, stem + "-developed.png", &frame.developedPng, &frame.developedFull, &frame);
                    if (options.framePreviews && !WritePng(folder.folder + "/preview.png", image, &problem)) {
                        frame.error += folder.folder + "/preview.png: " + problem + "; ";
                        frame.writeFailed = true;
                    }
                }
            } else {
                frame.error += problem + "; ";
            }
            if (folder.yuvPath.empty()) {
                frame.error += "no reference image; ";
            } else if (ReadFileBytes(folder.yuvPath, kYuvLimit, &bytes, &problem)) {
                const size_t need = static_cast<size_t>(folder.yuvWidth) * folder.yuvHeight * 3 / 2;
                if (bytes.size() < need) {
                    frame.error += folder.yuvPath + ": shorter than its name says; ";
                } else {
                    const Image image = Nv21ToRgb(bytes.data(), folder.yuvWidth, folder.yuvHeight);
                    ref = GradientSignature(image);
                    Keep(image, options, stem + "-reference.png", &frame.referencePng, &frame.referenceFull, &frame);
                }
            } else {
                frame.error += problem + "; ";
            }
            frame.checked = !dev.empty() && !ref.empty();
            if (!frame.checked) {
                frame.unchecked = folder.rawPath.empty() || folder.yuvPath.empty() || !frame.error.empty()
                                      ? "a picture is missing or unreadable"
                                      : "smaller than the 64 x 48 grid, or flat";
            }
            developed.push_back(std::move(dev));
            reference.push_back(std::move(ref));
            sheet.frames.push_back(std::move(frame));
        }
        const std::vector<PairVerdict> verdicts = JudgePairs(developed, reference, options.threshold);
        for (size_t i = 0; i < verdicts.size(); ++i) sheet.frames[i].check = verdicts[i];
        if (options.progress) {
            options.progress("task " + std::to_string(t) + ": " + std::to_string(sheet.frames.size()) +
                             " frame(s) developed, " + std::to_string(sheet.Flagged().size()) + " flagged");
        }
        sheets.tasks.push_back(std::move(sheet));
    }
    return sheets;
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            default:
                // Control characters from file names stay visible as escapes.
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    char hex[8];
                    snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
                    out += hex;
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string PageStart(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
           "</title>\n<style>\n"
           "body{font:14px/1.4 sans-serif;margin:16px;color:#222;background:#fff}\n"
           "h1{font-size:20px}h2{font-size:17px;margin-top:28px}h3{font-size:15px}\n"
           "table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left}\n"
           ".sheet{display:flex;flex-wrap:wrap;gap:12px}\n"
           ".pair{border:1px solid #ccc;padding:6px;background:#f7f7f7}\n"
           ".pair.flagged{border:2px solid #c00;background:#fee}\n"
           ".pics{display:flex;gap:4px}.pics figure{margin:0}.pics figcaption{font-size:11px;color:#555}\n"
           ".cap{font-size:12px;max-width:660px}.defaults{font-size:11px;color:#775}\n"
           ".bad{color:#c00;font-weight:bold}.good{color:#070}\n"
           ".missing{width:160px;height:120px;background:#fdd;color:#c00;font-size:12px}\n"
           ".omitted{width:160px;height:40px;background:#eee;color:#555;font-size:12px}\n"
           ".plots{display:flex;flex-wrap:wrap;gap:12px}\n"
           "</style></head><body>\n";
}

std::string PageEnd() { return "</body></html>\n"; }

std::string SheetHtml(const TaskSheet& sheet, const std::function<std::string(int)>& tuning) {
    std::string html = "<div class=\"sheet\">\n";
    for (const FrameSheet& f : sheet.frames) {
        const FrameRecords& r = f.records;
        const bool flagged = f.checked && f.check.flagged;
        html += std::string("<div class=\"pair") + (flagged ? " flagged" : "") + "\">\n<div class=\"pics\">";
        html += "<figure>" + ImgTag(f.developedPng, "developed frame " + std::to_string(f.index), f.omitted) +
                "<figcaption>developed raw</figcaption></figure>";
        html += "<figure>" + ImgTag(f.referencePng, "reference frame " + std::to_string(f.index), f.omitted) +
                "<figcaption>recorded reference (NV21)</figcaption></figure></div>\n<div class=\"cap\">";
        html += "<b>frame " + std::to_string(f.index) + "</b>";
        html += r.hasAe ? " · id " + std::to_string(r.frameId) + " · EV " + Format("%+.1f", r.ev) + " · ISO " +
                              std::to_string(r.iso) + " · gain " + std::to_string(r.gain)
                        : " · id, EV: no AE result";
        html += "<br>tuning entry: " + HtmlEscape(tuning ? tuning(f.index) : std::string("as recorded"));
        html += "<br>developed with: black " + std::to_string(r.blackLevel) + ", WB " + Format("%.3f", r.wbGains[0]) +
                "/" + Format("%.3f", r.wbGains[1]) + "/" + Format("%.3f", r.wbGains[2]) +
                (r.ct ? " (" + std::to_string(r.ct) + " K)" : std::string()) + ", shading " +
                (r.shadingFormat.empty() ? std::string("none") : r.shadingFormat) + ", ccm, " +
                (r.gamma.Usable() ? "recorded gamma" : "sRGB curve");
        if (f.checked) {
            html += "<br>raw vs reference: ";
            html += flagged ? "<span class=\"bad\">" + Format("%.3f", f.check.score) + " below " +
                                  Format("%.2f", kPairThreshold) + ": not this raw's reference</span>"
                            : "<span class=\"good\">" + Format("%.3f", f.check.score) + "</span>";
            if (f.check.better >= 0) {
                html += " · frame " + std::to_string(f.check.better) + "'s reference matches better (" +
                        Format("%.3f", f.check.betterScore) + ")";
            }
        } else {
            html += "<br>raw vs reference: not checked (" + HtmlEscape(f.unchecked) + ")";
        }
        html += "<div class=\"defaults\">defaults: ";
        for (size_t k = 0; k < r.defaults.size(); ++k) html += (k ? "; " : "") + HtmlEscape(r.defaults[k]);
        html += "</div>";
        if (!f.error.empty()) html += "<div class=\"bad\">" + HtmlEscape(f.error) + "</div>";
        html += "<div class=\"defaults\">" + HtmlEscape(f.folder) + "</div></div></div>\n";
    }
    return html + "</div>\n";
}

std::string PlotsHtml(const TaskSheet& sheet, const std::vector<ArrivedAe>& arrived) {
    Series gain{"recorded", "#1f77b4", {}}, iso = gain, ev = gain, lum = gain;
    Series gotGain{"arrived", "#d62728", {}, false}, gotIso = gotGain, gotEv = gotGain, gotLum = gotGain;
    Series red{"R", "#d62728", {}}, green{"G", "#2ca02c", {}}, blue{"B", "#1f77b4", {}}, ct{"recorded", "#ff7f0e", {}};
    for (const FrameSheet& f : sheet.frames) {
        const FrameRecords& r = f.records;
        const double x = f.index;
        if (r.hasAe) {
            gain.points.emplace_back(x, r.gain);
            iso.points.emplace_back(x, r.iso);
            ev.points.emplace_back(x, r.ev);
            lum.points.emplace_back(x, r.lum);
        }
        red.points.emplace_back(x, r.wbGains[0]);
        green.points.emplace_back(x, r.wbGains[1]);
        blue.points.emplace_back(x, r.wbGains[2]);
        if (r.ct) ct.points.emplace_back(x, r.ct);
    }
    for (const ArrivedAe& a : arrived) {
        gotGain.points.emplace_back(a.frame, a.gain);
        gotIso.points.emplace_back(a.frame, a.iso);
        gotEv.points.emplace_back(a.frame, a.ev);
        gotLum.points.emplace_back(a.frame, a.lum);
    }
    const std::string x = "frame index";
    std::string html = "<div class=\"plots\">\n";
    html += SvgPlot("AE gain", x, "gain (128 = 1x)", {gain, gotGain}) + "\n";
    html += SvgPlot("AE ISO", x, "ISO", {iso, gotIso}) + "\n";
    html += SvgPlot("AE exposure value", x, "EV (stops)", {ev, gotEv}) + "\n";
    html += SvgPlot("AE luminance", x, "lum (8-bit mean)", {lum, gotLum}) + "\n";
    html += SvgPlot("AWB gains", x, "gain (1 = 1x)", {red, green, blue}) + "\n";
    html += SvgPlot("AWB colour temperature", x, "CT (K)", {ct}) + "\n";
    return html + "</div>\n";
}

std::string FlaggedHtml(const RecordingSheets& sheets) {
    std::string html;
    for (const TaskSheet& t : sheets.tasks) {
        for (const FrameSheet& f : t.frames) {
            if (!f.checked || !f.check.flagged) continue;
            html += "<li>task " + std::to_string(t.task) + " frame " + std::to_string(f.index) + ": " +
                    Format("%.3f", f.check.score);
            if (f.check.better >= 0) {
                html += "; frame " + std::to_string(f.check.better) + "'s reference matches it better (" +
                        Format("%.3f", f.check.betterScore) + ")";
            }
            html += " — " + HtmlEscape(f.folder) + "</li>\n";
        }
    }
    if (html.empty()) {
        return "<p class=\"good\">Every raw matches its reference (raw-vs-reference figure at least " +
               Format("%.2f", kPairThreshold) + ").</p>\n";
    }
    return "<p class=\"bad\">Raws that do not match their reference:</p><ul>\n" + html + "</ul>\n";
}

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
    std::string why;
    if (!ZEB::files::WriteFileReplacing(path, text, &why)) {
        if (error) *error = "cannot write " + ZEB::files::Escaped(path) + ": " + why;
        return false;
    }
    return true;
}

bool WritePreview(const std::string& taskListPath, const std::string& htmlPath, bool framePreviews,
                  std::string* error, const std::function<void(const std::string&)>& progress) {
    SheetOptions options;
    options.framePreviews = framePreviews;
    options.progress = progress;
    const RecordingSheets sheets = BuildSheets(taskListPath, options);
    if (!sheets.error.empty()) {
        if (error) *error = sheets.error;
        return false;
    }
    for (const TaskSheet& t : sheets.tasks) {
        for (const FrameSheet& f : t.frames) {
            // What cannot be written is an error; a recording without pictures is what the sheet shows.
            if (f.writeFailed) {
                if (error) *error = f.error;
                return false;
            }
        }
    }
    return WritePreviewHtml(htmlPath, sheets, error);
}

bool WritePreviewHtml(const std::string& path, const RecordingSheets& sheets, std::string* error) {
    std::string html = PageStart("zebsim recording preview");
    html += "<h1>Recording preview</h1>\n<p>Task list <code>" + HtmlEscape(sheets.taskListPath) + "</code>, " +
            std::to_string(sheets.tasks.size()) +
            " task(s). Each frame's raw developed with its own recorded 3A results (black level, lens shading, "
            "white balance, bilinear demosaic, colour matrix, gamma) beside the reference image recorded with "
            "it.</p>\n";
    if (!sheets.error.empty()) html += "<p class=\"bad\">" + HtmlEscape(sheets.error) + "</p>\n";
    html += "<h2>Raw vs reference</h2>\n" + FlaggedHtml(sheets);
    for (const TaskSheet& t : sheets.tasks) {
        html += "<h2>Task " + std::to_string(t.task) + "</h2>\n";
        html += SheetHtml(t, [](int) { return std::string("not played yet (the recording's own)"); });
        html += "<h3>Recorded 3A of task " + std::to_string(t.task) + "</h3>\n" + PlotsHtml(t, {});
    }
    return WriteTextFile(path, html + PageEnd(), error);
}

}  // namespace zeb_develop
