#pragma once
// report.html beside report.json: the run summary, per task the contact
// sheet (each frame developed with its recorded 3A beside its recorded
// reference), the tuning entry of each capture, and SVG plots of the 3A
// values recorded and received. One self-contained file: pictures embedded,
// no network, no script.
#include <string>

#include "zebsim-hal/lib/HalEmulator.h"

namespace zeb_hal {

struct HtmlReportOptions {
    // Also write each frame's full-size developed and reference pictures
    // beside the report.
    bool fullSize = false;
    bool progress = true;
};

// Reads report.json back, develops the recording's frames and writes
// report.html beside it; adds the raw-vs-reference figures to report.json.
// Returns the page's path, or empty with `error` set.
std::string WriteHtmlReport(const EmulatorOptions& options, const std::string& reportJsonPath,
                            const HtmlReportOptions& html, std::string* error);

}  // namespace zeb_hal
