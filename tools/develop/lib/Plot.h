#pragma once
// Small SVG charts for the HTML pages: a line/point plot over the frame index
// and a grouped bar chart, each with axes, ticks and units. No script.
#include <string>
#include <utility>
#include <vector>

namespace zeb_develop {

struct Series {
    std::string name;
    std::string colour;  // CSS colour
    std::vector<std::pair<double, double>> points;
    bool line = true;  // false: points only
};

// `yLabel` carries the unit ("gain (128 = 1x)", "K").
std::string SvgPlot(const std::string& title, const std::string& xLabel, const std::string& yLabel,
                    const std::vector<Series>& series);

struct BarGroup {
    std::string name;
    std::string colour;
    std::vector<double> values;  // one per category
};
std::string SvgBars(const std::string& title, const std::string& yLabel, const std::vector<std::string>& categories,
                    const std::vector<BarGroup>& groups);

}  // namespace zeb_develop
