#pragma once
// Writes a recording into a device root the way a device leaves one: the task
// list, one folder per recorded frame (packed raw, YUV and every dump file)
// and a scene file per task.
#include <string>
#include <vector>

namespace zeb_hal {

// Scenarios: "preview" (a "Preview" task list), "capture" (HDR, CHDR and
// single-frame captures with faces; AWB, ALSC and XTM in fixed mode, each
// lens shading result format once), "edge" (a task whose folder is missing
// and a task without folders between two ordinary ones), "sizes" (a "Preview"
// task list of five tasks whose frames are 64 x 8, 400 x 500, 4000 x 3000,
// 400 x 500 and 64 x 8), "tuning" (one task and a sensor tuning whose sweeps
// of two blocks give six combinations), "soak" (the capture tasks, each played
// under the six combinations of the tuning one).
std::vector<std::string> ScenarioNames();
// `taskCount` > 0 plays the scenario's tasks in turn until there are that many.
// False with `error` set for an unknown scenario or a file that cannot be written.
bool WriteScenario(const std::string& deviceRoot, const std::string& scenario, int taskCount, std::string* error);

}  // namespace zeb_hal
