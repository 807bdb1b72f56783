#pragma once
// Contact sheets: per task, each frame developed with its recorded 3A beside
// the reference image recorded with it, with the frame id, EV and tuning
// entry under each pair and the raw-vs-reference check. The sheets go into
// HTML pages (preview.html of a written recording, report.html of a played
// one) with the pictures embedded, so a page is one file.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "develop/lib/Develop.h"
#include "develop/lib/PairCheck.h"

namespace zeb_develop {

struct SheetOptions {
    int thumbWidth = 320, thumbHeight = 240;  // sheet pictures fit in this
    // Non-empty: the full-size developed and reference pictures go there as
    // task<T>-frame<I>-developed.png and -reference.png.
    std::string fullSizeFolder;
    // Also write each frame's developed picture as preview.png in its folder.
    bool framePreviews = false;
    double threshold = kPairThreshold;
    // Pairs shown with pictures; past them a page lists the frames without,
    // so that a recording of thousands of frames still gives a page to open.
    int maxPictures = 200;
    std::function<void(const std::string&)> progress;  // one line per task
};

struct FrameSheet {
    int index = 0;
    std::string folder;
    FrameRecords records;
    std::vector<uint8_t> developedPng, referencePng;  // sheet-sized
    bool omitted = false;  // past SheetOptions::maxPictures: no sheet pictures
    std::string developedFull, referenceFull;         // full-size files, when written
    PairVerdict check;
    bool checked = false;  // both pictures there
    std::string unchecked;  // why not, when not
    std::string error;     // what could not be read or written
    bool writeFailed = false;  // a picture file could not be written
};

struct TaskSheet {
    int64_t task = 0;
    std::vector<FrameSheet> frames;
    std::vector<int> Flagged() const;
};

struct RecordingSheets {
    std::string taskListPath;
    uint32_t pattern = 0;  // 0 RGGB, 1 GRBG, 2 GBRG, 3 BGGR
    std::vector<TaskSheet> tasks;
    std::string error;  // the task list could not be read
    size_t FlaggedCount() const;
};

// The input folders a task list names, per task, and its Bayer pattern.
bool ReadTaskListFolders(const std::string& taskListPath, std::vector<std::vector<std::string>>* tasks,
                         uint32_t* pattern, std::string* error);

RecordingSheets BuildSheets(const std::string& taskListPath, const SheetOptions& options);
// The same for folders already found (per task), with the sensor's pattern.
RecordingSheets BuildSheets(const std::vector<std::vector<std::string>>& tasks, uint32_t pattern,
                            const SheetOptions& options);

std::string HtmlEscape(const std::string& text);
// A page's start (title, style) and end; the style needs no network and no script.
std::string PageStart(const std::string& title);
std::string PageEnd();
// One task's sheet; `tuning(frame index)` gives the caption's tuning entry.
std::string SheetHtml(const TaskSheet& sheet, const std::function<std::string(int)>& tuning);
// An AE result the HAL received, by the recorded frame it came from.
struct ArrivedAe {
    int frame = 0;
    double gain = 0, iso = 0, ev = 0, lum = 0;
};
// SVG plots of the task's recorded AE (gain, ISO, EV, luminance) and AWB
// (gains, colour temperature) over the frame index, with the AE results
// that arrived marked on them.
std::string PlotsHtml(const TaskSheet& sheet, const std::vector<ArrivedAe>& arrived);

// The flagged pairs of every task, or a line saying there are none.
std::string FlaggedHtml(const RecordingSheets& sheets);

// Writes `text` to a temporary file beside `path` and renames it into place.
bool WriteTextFile(const std::string& path, const std::string& text, std::string* error);

// preview.html of a written recording: every task's sheet.
bool WritePreviewHtml(const std::string& path, const RecordingSheets& sheets, std::string* error);

// Builds the sheets of the task list and writes them to `htmlPath`; with
// `framePreviews` each frame's developed picture also goes into its folder.
bool WritePreview(const std::string& taskListPath, const std::string& htmlPath, bool framePreviews,
                  std::string* error, const std::function<void(const std::string&)>& progress = {});

}  // namespace zeb_develop
