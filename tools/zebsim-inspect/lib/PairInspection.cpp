#include "zebsim-inspect/lib/PairInspection.h"

#include <cstdio>

#include "develop/lib/Sheet.h"

namespace zeb_inspect {

std::string CheckRawAgainstReference(Inspection& inspection, double threshold) {
    std::vector<std::vector<std::string>> folders;
    for (const TaskResult& task : inspection.tasks) folders.push_back(task.inputs);
    // The pattern is the task list's; the folders are those the inspection resolved.
    std::vector<std::vector<std::string>> unused;
    uint32_t pattern = 0;
    zeb_develop::ReadTaskListFolders(inspection.taskListPath, &unused, &pattern, nullptr);
    zeb_develop::SheetOptions options;
    options.threshold = threshold;
    options.thumbWidth = options.thumbHeight = 1;  // no pictures are kept
    const zeb_develop::RecordingSheets sheets = zeb_develop::BuildSheets(folders, pattern, options);
    char line[512];
    snprintf(line, sizeof line, "\nraw vs reference (normalised correlation of luminance gradients, 64 x 48; flagged below %.2f)\n",
             threshold);
    std::string text = line;
    for (size_t t = 0; t < sheets.tasks.size() && t < inspection.tasks.size(); ++t) {
        for (const zeb_develop::FrameSheet& f : sheets.tasks[t].frames) {
            if (!f.checked) {
                snprintf(line, sizeof line, "   task %ld frame %d: not checked (%s)\n",
                         static_cast<long>(inspection.tasks[t].index), f.index,
                         (f.unchecked + (f.error.empty() ? "" : ": " + f.error)).c_str());
                text += line;
                continue;
            }
            std::string better;
            if (f.check.better >= 0) {
                snprintf(line, sizeof line, "; frame %d's reference matches it better (%.3f)", f.check.better,
                         f.check.betterScore);
                better = line;
            }
            snprintf(line, sizeof line, "   task %ld frame %d: %.3f%s%s\n", static_cast<long>(inspection.tasks[t].index),
                     f.index, f.check.score, f.check.flagged ? " FLAGGED" : "", better.c_str());
            text += line;
            if (!f.check.flagged) continue;
            Problem problem;
            problem.code = "raw-reference-mismatch";
            problem.file = f.folder;
            snprintf(line, sizeof line, "raw and reference do not show the same picture: %.3f below %.2f%s", f.check.score,
                     threshold, better.c_str());
            problem.message = line;
            inspection.tasks[t].problems.push_back(problem);
        }
    }
    return text;
}

}  // namespace zeb_inspect
